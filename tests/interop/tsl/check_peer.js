// Feeds the packets this program sends (from make_packets, as JSON on the
// file named by argv[2]) to tsl-umd-v5, an independent TSL 5.0 decoder, and
// checks what it reads. One DMSG per packet, unframed (the map's option for
// such receivers): every field must agree and each index must end with the
// lamp of the On Air derivation. Where the peer departs from the published
// layout (several DMSGs, DLE stuffing, UTF-16LE, FLAGS), it is reported as a
// NOTE line, and checked to be the departure known, so that a change in the
// peer is noticed.
'use strict'
const fs = require('fs')
const path = require('path')
const TSL5 = require(path.join(__dirname, 'node_modules', 'tsl-umd-v5'))

const data = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'))
const peer = new TSL5()
let failures = 0
const fail = (msg) => { failures++; console.log('FAIL ' + msg) }
const note = (msg) => console.log('NOTE ' + msg)

// What the peer emits for one packet (it reads one DMSG per packet), or the error it throws.
function peerRead(hex) {
  let got = null
  peer.removeAllListeners('message')
  peer.on('message', (t) => { got = t })
  try {
    peer.processTally(Buffer.from(hex, 'hex'), '127.0.0.1')
  } catch (e) {
    return { error: String(e) }
  }
  return got
}

function same(got, want) {
  const diffs = []
  const d = got.display
  if (got.index !== want.index) diffs.push(`index ${got.index} for ${want.index}`)
  if (got.screen !== want.screen) diffs.push(`screen ${got.screen} for ${want.screen}`)
  if (d.rh_tally !== want.rh) diffs.push(`RH ${d.rh_tally} for ${want.rh}`)
  if (d.text_tally !== want.txt) diffs.push(`text tally ${d.text_tally} for ${want.txt}`)
  if (d.lh_tally !== want.lh) diffs.push(`LH ${d.lh_tally} for ${want.lh}`)
  if (d.brightness !== want.brightness) diffs.push(`brightness ${d.brightness} for ${want.brightness}`)
  if (d.text !== want.text) diffs.push(`text ${JSON.stringify(d.text)} for ${JSON.stringify(want.text)}`)
  return diffs
}

// Colour back to level as the default map reads it: red PGM, amber LAP, green PVW.
const LEVEL_OF_COLOUR = { 0: 0, 1: 3, 3: 2, 2: 1 }

// 1. One DMSG per unframed packet: full agreement, final lamps as derived.
const final = new Map()
for (const p of data.single) {
  const got = peerRead(p.hex)
  if (!got || got.error) { fail(`single: peer read nothing from ${p.hex}: ${got && got.error}`); continue }
  const diffs = same(got, p.messages[0])
  if (diffs.length) fail(`single: index ${p.messages[0].index}: ${diffs.join(', ')}`)
  final.set(got.index, LEVEL_OF_COLOUR[got.display.lh_tally])
}
for (const lamp of data.lamps) {
  if (final.get(lamp.index) !== lamp.level)
    fail(`single: index ${lamp.index} ends at level ${final.get(lamp.index)}, the derivation says ${lamp.level}`)
}
console.log(`single: ${data.single.length} packets, ${data.lamps.length} lamps checked`)

// 2. DLE/STX framed: the peer drops both bytes of a stuffed DLE pair.
let stuffedWrong = 0
for (const p of data.single_dle) {
  const got = peerRead(p.hex)
  const stuffed = /fefe/.test(p.hex.slice(4))
  const diffs = got && !got.error ? same(got, p.messages[0]) : ['nothing read']
  if (!stuffed && diffs.length) fail(`single_dle: index ${p.messages[0].index}: ${diffs.join(', ')}`)
  if (stuffed) {
    if (diffs.length) { stuffedWrong++; note(`DLE/STX: a stuffed DLE pair is removed whole, not kept as one 0xFE: index ${p.messages[0].index} read as ${got && got.index}, ${diffs.join(', ')}`) }
    else fail(`single_dle: the peer now unstuffs index ${p.messages[0].index} correctly: update the notes`)
  }
}
if (!stuffedWrong) fail('single_dle: no packet held a stuffed DLE; the case checks nothing')

// 3. Several DMSGs in a packet: the peer reads the first only, its text running to the packet's end.
for (const p of data.packed) {
  const got = peerRead(p.hex)
  if (p.messages.length < 2) continue
  if (got && !got.error && got.index === p.messages[0].index && got.display.text !== p.messages[0].text)
    note(`several DMSGs: only the first of ${p.messages.length} is read, and its text runs on past LENGTH (${JSON.stringify(got.display.text.slice(0, 24))}...)`)
  else fail('packed: the peer no longer reads several DMSGs as before: update the notes')
}

// 4. UTF-16LE text and FLAGS.
const u = data.unicode[0]
const gotU = peerRead(u.hex)
if (gotU && !gotU.error && gotU.display.text !== u.messages[0].text && gotU.flags === 0)
  note(`FLAGS is read from the VER byte (flags ${gotU.flags} for 1), and UTF-16LE text is read as ASCII: ${JSON.stringify(gotU.display.text)} for ${JSON.stringify(u.messages[0].text)}`)
else fail('unicode: the peer now reads FLAGS or UTF-16LE: update the notes')

// 5. Broadcast index 0xFFFF: read as a signed number.
const bcast = Buffer.from('0c0000000000ffff150001004100', 'hex')  // PBC 12, index 0xFFFF, text "A"
const gotB = peerRead(bcast.toString('hex'))
if (gotB && gotB.index === -1) note('INDEX, SCREEN, CONTROL, LENGTH and PBC are read as signed: the broadcast index 0xFFFF reads as -1')
else fail(`broadcast: index read as ${gotB && gotB.index}`)

// 6. The peer as a sender: its DLE/STX packets as one TCP-like stream, for
// tallydump --tsl-decode to read back (run_peer.sh compares the lines).
if (process.argv[3]) {
  const COLOUR = ['off', 'red', 'green', 'amber']
  const sent = [
    { screen: 0, index: 1, display: { rh_tally: 1, text_tally: 1, lh_tally: 1, brightness: 3, text: 'CAM 1' } },
    { screen: 2, index: 254, display: { rh_tally: 0, text_tally: 3, lh_tally: 2, brightness: 1, text: 'VT \u00fe' } },
    { screen: 0x1234, index: 0x0102, display: { rh_tally: 2, text_tally: 0, lh_tally: 3, brightness: 2, text: 'GFX' } },
  ]
  const stream = Buffer.concat(sent.map((t) => peer.constructPacket(JSON.parse(JSON.stringify(t)), true)))
  fs.writeFileSync(process.argv[3] + '.bin', stream)
  // The text goes out as UTF-8 bytes though FLAGS says ASCII: 0xC3 0xBE read as two out-of-range characters.
  const lines = sent.map((t) => {
    const d = t.display
    const ascii = d.text.replace(/[^\x20-\x7e]/g, '??')
    return `5.0 DLE/STX screen ${t.screen} index ${t.index} LH ${COLOUR[d.lh_tally]} TXT ${COLOUR[d.text_tally]} ` +
      `RH ${COLOUR[d.rh_tally]} bright ${d.brightness} "${ascii}"` + (ascii !== d.text ? ' [text out of range]' : '')
  })
  fs.writeFileSync(process.argv[3] + '.expected', lines.join('\n') + '\n')
  note('the peer sends text as UTF-8 with FLAGS bit 0 clear (ASCII): a non-ASCII character becomes bytes outside 0x20..0x7E')
}

console.log(failures ? `${failures} failures` : 'peer agrees where it follows the layout')
process.exit(failures ? 1 : 0)
