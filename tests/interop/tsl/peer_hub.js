// tsl-umd-v5 on loopback, in one of three parts, for peer_live_test:
//   node peer_hub.js receive IN_PORT
//     reads what tallydump sends (one DMSG per datagram) with the peer's
//     decoder; on SIGTERM prints {"lamps": {index: level}} and exits.
//   node peer_hub.js receive-tcp IN_PORT
//     the same through the peer's own TCP listener (listenTCP), made to bind
//     127.0.0.1 only; it takes each read as one packet, so the report adds
//     "reads" and "merged" (reads holding more than one DLE/STX packet, of
//     which the peer reads the first only).
//   node peer_hub.js hub IN_PORT OUT_PORT FAULT...
//     a tally hub: every lamp read is sent on with the peer's encoder to
//     127.0.0.1:OUT_PORT, with faults: stuck=N (index N always red), lag=N
//     (index N 2 s late), norefresh=N (index N only when it changes), lastall
//     (the last lamp of each burst read is sent for every index known: the
//     last source's state for all). On SIGTERM prints {"truth": {index: level}, "diverged":
//     [indices whose sent lamp differed from the one read for over 300 ms]}.
// Levels as the default map reads colours: red 3 (PGM), amber 2 (LAP), green 1 (PVW), off 0.
'use strict'
const dgram = require('dgram')
const net = require('net')
const path = require('path')
const TSL5 = require(path.join(__dirname, 'node_modules', 'tsl-umd-v5'))

const LEVEL_OF_COLOUR = { 0: 0, 1: 3, 2: 1, 3: 2 }
const COLOUR_OF_LEVEL = { 0: 0, 3: 1, 1: 2, 2: 3 }
const mode = process.argv[2]
const inPort = Number(process.argv[3])
const peer = new TSL5()
const socket = dgram.createSocket('udp4')
const out = dgram.createSocket('udp4')
const truth = new Map()   // index -> level read
const sent = new Map()    // index -> level sent on
const since = new Map()   // index -> ms when read and sent began to differ
const diverged = new Set()
const faults = {}
let outPort = 0
let lastLevel = 0, lastTimer = null
if (mode === 'hub') {
  outPort = Number(process.argv[4])
  for (const f of process.argv.slice(5)) {
    const [k, v] = f.split('=')
    faults[k] = v === undefined ? true : Number(v)
  }
}

// Keeps the divergence book: called whenever either side of an index changes.
function check(index) {
  const now = Date.now()
  const differs = truth.get(index) !== (sent.has(index) ? sent.get(index) : 0)
  if (differs && !since.has(index)) since.set(index, now)
  if (!differs && since.has(index)) {
    if (now - since.get(index) > 300) diverged.add(index)
    since.delete(index)
  }
}

function send(index, level) {
  const c = COLOUR_OF_LEVEL[level]
  const packet = peer.constructPacket({ screen: 0, index, display: { rh_tally: c, text_tally: c, lh_tally: c, brightness: 3, text: 'S' + index } }, false)
  out.send(packet, outPort, '127.0.0.1')
  sent.set(index, level)
  check(index)
}

peer.on('message', (t) => {
  const index = t.index
  const level = LEVEL_OF_COLOUR[t.display.lh_tally]
  const changed = truth.get(index) !== level
  truth.set(index, level)
  check(index)
  if (mode !== 'hub') return
  if (faults.stuck === index) return send(index, 3)
  if (faults.lag === index) return setTimeout(() => send(index, level), 2000)
  if (faults.norefresh === index && !changed && sent.has(index)) return
  if (faults.lastall) {
    // Like a hub that keeps one state: a burst's last lamp goes to every index.
    lastLevel = level
    if (!lastTimer) lastTimer = setTimeout(() => { lastTimer = null; for (const i of truth.keys()) send(i, lastLevel) }, 20)
    return
  }
  send(index, level)
})

let reads = 0, merged = 0
// Packet starts in one read: DLE STX not itself a stuffed DLE's second byte.
function starts(data) {
  let n = 0
  for (let i = 0; i + 1 < data.length; i++) {
    if (data[i] === 0xFE && data[i + 1] === 0xFE) { i++; continue }
    if (data[i] === 0xFE && data[i + 1] === 0x02) n++
  }
  return n
}
if (mode === 'receive-tcp') {
  // The peer's listenTCP calls server.listen(port), which binds every
  // address: bind loopback instead, and count what each read holds.
  const createServer = net.createServer
  net.createServer = (onConnection) => {
    const server = createServer((conn) => {
      conn.on('data', (data) => { reads++; if (starts(data) > 1) merged++ })
      onConnection(conn)
    })
    const listen = server.listen.bind(server)
    server.listen = (port) => listen(port, '127.0.0.1')
    return server
  }
  peer.listenTCP(inPort)
  net.createServer = createServer
} else {
  socket.on('message', (msg) => {
    try { peer.processTally(msg, '127.0.0.1') } catch (e) { console.error('peer_hub: the peer threw: ' + e) }
  })
  socket.bind(inPort, '127.0.0.1')
}

function finish() {
  const now = Date.now()
  for (const [index, from] of since) if (now - from > 300) diverged.add(index)
  const levels = {}
  for (const [index, level] of truth) levels[index] = level
  const report = mode === 'hub' ? { truth: levels, diverged: [...diverged].sort((a, b) => a - b) } : { lamps: levels }
  if (mode === 'receive-tcp') { report.reads = reads; report.merged = merged }
  process.stdout.write(JSON.stringify(report) + '\n', () => process.exit(0))
}
process.on('SIGTERM', finish)
// Bounded: a test that forgets this process does not leave it running.
setTimeout(finish, 120000)
