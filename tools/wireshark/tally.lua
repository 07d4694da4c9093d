-- Qorvex tally recordings in Wireshark and tshark.
--
-- A recording is a pcap file of link type 147 (DLT_USER0). Each record starts
-- with four bytes: format version, kind, flags, message type; then come the
-- tally bytes exactly as the receiver's parser consumed them (one message,
-- one run of stray bytes, one framing fault...), or, for link events, a small
-- description. docs/recording-format.md describes the layout.
--
--   tshark -X lua_script:tools/wireshark/tally.lua -r feed.pcap
--   tshark -X lua_script:tools/wireshark/tally.lua -r feed.pcap -Y 'tally.fault'
--
-- Install: copy this file into Wireshark's personal Lua plugins folder
-- (Help > About Wireshark > Folders > Personal Lua Plugins).

local tally = Proto("tally", "Qorvex tally feed")

local FORMAT_VERSION = 1

local KINDS = {
    [1] = "message", [2] = "ignored", [3] = "reset", [4] = "stray", [5] = "unknown",
    [6] = "mismatch", [7] = "lowbyte", [8] = "payload", [9] = "dropped", [10] = "pending",
    [32] = "line-error", [33] = "port-error", [34] = "connect", [35] = "disconnect",
    [36] = "lost", [37] = "start", [38] = "stop", [39] = "alarm", [40] = "modem",
}
-- A modem record's line bits, in the order the status bar shows them.
local MODEM_LINES = { {0x10, "CTS"}, {0x20, "DSR"}, {0x80, "DCD"}, {0x40, "RI"} }
local function modem_text(code)
    local parts = {}
    if bit32.band(code, 0x20000) ~= 0 then parts[#parts + 1] = "lines at connect" end
    for _, line in ipairs(MODEM_LINES) do
        if bit32.band(code, bit32.lshift(line[1], 8)) ~= 0 then
            parts[#parts + 1] = line[2] .. (bit32.band(code, line[1]) ~= 0 and " on" or " off")
        end
    end
    if bit32.band(code, 0x10000) ~= 0 then parts[#parts + 1] = "break" end
    local lines = {}
    for _, line in ipairs(MODEM_LINES) do
        lines[#lines + 1] = bit32.band(code, line[1]) ~= 0 and line[2] or string.lower(line[2])
    end
    local what = #parts > 0 and table.concat(parts, ", ") or "modem lines"
    return what .. " (" .. table.concat(lines, " ") .. ")"
end
-- The framing faults the receiver counts (and "dropped", which it cannot count).
local FAULTS = {
    [4] = "stray", [5] = "unknown", [6] = "mismatch", [7] = "lowbyte", [8] = "payload", [9] = "dropped",
}
local FAULT_TEXT = {
    stray = "Stray bytes between messages",
    unknown = "Unknown message type (0xE0-0xFF)",
    mismatch = "Header mismatch: the second header byte differs",
    lowbyte = "Header low byte: the second header byte is 0x80 or below",
    payload = "Payload error: two high bytes in a row inside the payload",
    dropped = "Bytes dropped: the frame buffer was full",
}

-- Operator names of the message types, as the application shows them.
local function type_name(t)
    if t >= 0x81 and t <= 0x84 then return "ME " .. (t - 0x80) end
    if t >= 0x91 and t <= 0x98 then return "EXT " .. (t - 0x90) end
    if t == 0xA1 then return "SS" end
    if t >= 0xB1 and t <= 0xB6 then return "OUT " .. (t - 0xB0) end
    if t == 0xC1 then return "source name" end
    if t == 0xC2 then return "alias" end
    if t == 0xD1 then return "counter reset" end
    if t >= 0xE0 then return "undefined type" end
    return "type without a record"
end
local TYPE_NAMES = {}
for t = 0x80, 0xFF do TYPE_NAMES[t] = type_name(t) end

local f = {
    version = ProtoField.uint8("tally.version", "Format version", base.DEC),
    kind = ProtoField.uint8("tally.kind", "Record kind", base.DEC, KINDS),
    flags = ProtoField.uint8("tally.flags", "Flags", base.HEX),
    split = ProtoField.bool("tally.split", "Bytes came in more than one read", 8, nil, 0x01),
    type = ProtoField.uint8("tally.type", "Message type", base.HEX, TYPE_NAMES),
    name = ProtoField.string("tally.name", "Message"),
    fault = ProtoField.string("tally.fault", "Framing fault"),
    bytes = ProtoField.bytes("tally.bytes", "Tally bytes"),
    source = ProtoField.uint8("tally.source", "Source", base.DEC),
    row = ProtoField.uint8("tally.row", "Bit row", base.HEX),
    text = ProtoField.string("tally.text", "Text"),
    nickname = ProtoField.string("tally.nickname", "Nickname"),
    error_bits = ProtoField.uint32("tally.error", "Error bits", base.HEX),
    settings = ProtoField.string("tally.settings", "Port and settings"),
    lost = ProtoField.uint32("tally.lost", "Received bytes lost", base.DEC),
    alarm = ProtoField.string("tally.alarm", "Alarm"),
}
tally.fields = {f.version, f.kind, f.flags, f.split, f.type, f.name, f.fault, f.bytes, f.source, f.row,
                f.text, f.nickname, f.error_bits, f.settings, f.lost, f.alarm}

-- Every field is read through field(): the range of the record's bytes at
-- offset, or nil when the record is too short to hold it. A reader of
-- damaged or hand-made recordings must never raise a Lua error; a record too
-- short for its kind is an expert-info error instead.
local function field(tvb, offset, length)
    if offset < 0 or length < 1 or offset + length > tvb:len() then return nil end
    return tvb(offset, length)
end

-- Text from the record as the columns show it: control bytes, quotes,
-- backslashes and bytes above 0x7E as \xNN, as tallydump prints them, so a
-- newline or ESC in a recording never reaches a terminal.
local function escaped(s)
    return (s:gsub('[%c"\\\127-\255]', function(c) return string.format("\\x%02x", c:byte()) end))
end

-- Payload bytes of a message type by its category, as the receiver frames it.
local function payload_length(t)
    local c = bit32.band(t, 0xF0)
    if c == 0x80 then return 23 elseif c == 0x90 then return 21 elseif c == 0xA0 then return 3
    elseif c == 0xB0 then return 10 elseif c == 0xC0 then return 19 elseif c == 0xD0 then return 0 end
    return nil
end

local e = {
    fault = ProtoExpert.new("tally.fault.warning", "Framing fault", expert.group.MALFORMED, expert.severity.WARN),
    line = ProtoExpert.new("tally.line.warning", "Line or port error", expert.group.PROTOCOL,
                           expert.severity.WARN),
    pending = ProtoExpert.new("tally.pending.note", "Incomplete message", expert.group.SEQUENCE, expert.severity.NOTE),
    lost = ProtoExpert.new("tally.lost.warning", "Received bytes lost", expert.group.SEQUENCE, expert.severity.WARN),
    version = ProtoExpert.new("tally.version.error", "Newer recording format", expert.group.UNDECODED,
                              expert.severity.ERROR),
}
e.short = ProtoExpert.new("tally.short.error", "Record too short for its kind", expert.group.MALFORMED,
                          expert.severity.ERROR)
e.long = ProtoExpert.new("tally.long.error", "Record longer than its kind", expert.group.MALFORMED,
                         expert.severity.ERROR)
e.alarm = ProtoExpert.new("tally.alarm.warning", "Watch alarm", expert.group.SEQUENCE, expert.severity.WARN)
tally.experts = {e.fault, e.line, e.pending, e.version, e.short, e.long, e.lost, e.alarm}

-- A bit row: the byte, then one line per shown bit, left to right as the display's columns.
local function add_row(tree, range, caption, columns)
    if not range then return end
    local v = range:uint()
    local bits = {}
    for i, c in ipairs(columns) do
        local bit = c[2]
        bits[#bits + 1] = tostring(bit32.band(bit32.rshift(v, bit), 1))
    end
    local item = tree:add(f.row, range)
    item:set_text(string.format("%s: %s", caption, table.concat(bits, " ")))
    for _, c in ipairs(columns) do
        item:add(range, string.format("%s: %d", c[1], bit32.band(bit32.rshift(v, c[2]), 1)))
    end
end

local function add_source(tree, range, caption)
    if not range then return end
    tree:add(f.source, range):set_text(string.format("%s: source %d", caption, range:uint()))
end

local ME_SOURCES = {"Key1 FILL", "Key1 CUT", "Key2 FILL", "Key2 CUT", "Key3 FILL", "Key3 CUT", "Key4 FILL",
                    "Key4 CUT", "A BUS", "B BUS", "UTIL 1", "UTIL 2"}
local ME_ROWS = {"PGM A", "PGM B", "PGM C", "PGM D", "LAP A", "LAP B", "LAP C", "LAP D", "PVW A", "PVW 2"}
local ME_COLUMNS = {{"Key4", 7}, {"Key3", 6}, {"Key2", 5}, {"Key1", 4}, {"Util2", 3}, {"Util1", 2}, {"BusB", 1},
                    {"BusA", 0}}
local KEYER_COLUMNS = {{"Key4 CUT", 7}, {"Key4 FILL", 6}, {"Key3 CUT", 5}, {"Key3 FILL", 4}, {"Key2 CUT", 3},
                       {"Key2 FILL", 2}, {"Key1 CUT", 1}, {"Key1 FILL", 0}}
local EXT_COLUMNS = {{"In4B", 7}, {"In4A", 6}, {"In3B", 5}, {"In3A", 4}, {"In2B", 3}, {"In2A", 2}, {"In1B", 1},
                     {"In1A", 0}}
local EXT_INPUTS = {"Input 1A", "Input 1B", "Input 2A", "Input 2B", "Input 3A", "Input 3B", "Input 4A", "Input 4B"}
local MODE_COLUMNS = {{"Input 4B", 3}, {"Input 3B", 2}, {"Input 2B", 1}, {"Input 1B", 0}}
local SS_COLUMNS = {{"Output 7/8", 6}, {"Output 5/6", 5}, {"Output 3/4", 4}, {"Output 1/2", 3}, {"Input Mode", 2},
                    {"Input2 Rec", 1}, {"Input1 Rec", 0}}

local function decode_me(tree, p)
    add_row(tree, p(1, 1), "KEYER IN USE", KEYER_COLUMNS)
    for i = 0, 11 do add_source(tree, p(2 * i, 1), ME_SOURCES[i + 1]) end
    for j = 0, 9 do add_row(tree, p(3 + 2 * j, 1), ME_ROWS[j + 1], ME_COLUMNS) end
end

local function decode_ext(tree, p)
    for i = 0, 5 do
        add_source(tree, p(2 * i + 1, 1), "Output " .. (i + 1))
        add_row(tree, p(2 * i, 1), "Output " .. (i + 1) .. " contribution", EXT_COLUMNS)
    end
    add_row(tree, p(12, 1), "INPUT MODE", MODE_COLUMNS)
    for i = 0, 7 do add_source(tree, p(13 + i, 1), EXT_INPUTS[i + 1]) end
end

local function decode_ss(tree, p)
    add_source(tree, p(0, 1), "Input 1")
    add_source(tree, p(1, 1), "Input 2")
    add_row(tree, p(2, 1), "MODE", SS_COLUMNS)
end

-- Eight outputs per record: source, mode V/K, on air.
local OUT_SOURCE_BYTE = {0, 2, 4, 5, 6, 7, 8, 9}
local function decode_out(tree, p, record)
    if not (p(1, 1) and p(3, 1)) then return end
    local modes = p(1, 1):uint()
    local onair = p(3, 1):uint()
    for pos = 1, 8 do
        local output = 8 * record + pos
        local mode = "V"
        if pos % 2 == 0 and bit32.band(bit32.rshift(modes, pos / 2 - 1), 1) == 1 then mode = "K" end
        local air = bit32.band(bit32.rshift(onair, pos - 1), 1) == 1
        local r = p(OUT_SOURCE_BYTE[pos], 1)
        if r then tree:add(f.source, r):set_text(string.format("Output %d: source %d, mode %s%s", output, r:uint(), mode,
                                                     air and ", on air" or "")) end
    end
    add_row(tree, p(1, 1), "Mode (K)", {{"Output " .. (8 * record + 8), 3}, {"Output " .. (8 * record + 6), 2},
                                        {"Output " .. (8 * record + 4), 1}, {"Output " .. (8 * record + 2), 0}})
    local air = {}
    for k = 7, 0, -1 do air[#air + 1] = {"Output " .. (8 * record + k + 1), k} end
    add_row(tree, p(3, 1), "OnAir", air)
end

local function text_of(range)
    if not range then return "" end
    local s = range:raw()
    local nul = s:find("\0", 1, true)
    if nul then s = s:sub(1, nul - 1) end
    return s
end

local function decode_name(tree, p, t)
    if not p(0, 1) then return 0, "" end
    local source = p(0, 1):uint()
    local item = tree:add(f.source, p(0, 1))
    if source < 1 or source > 128 then
        item:append_text(" (outside 1..128: ignored)")
    end
    if p(1, 12) then
        tree:add(f.text, p(1, 12), text_of(p(1, 12))):set_text(
            string.format("%s: \"%s\"", t == 0xC1 and "Name" or "Alias", escaped(text_of(p(1, 12)))))
    end
    if p(13, 6) then tree:add(f.nickname, p(13, 6), text_of(p(13, 6))) end
    return source, text_of(p(1, 12))
end

local function little32(range)
    if not range or range:len() < 4 then return 0 end
    return range(0, 4):le_uint()
end

function tally.dissector(buf, pinfo, root)
    pinfo.cols.protocol = "TALLY"
    local tree = root:add(tally, buf())
    if buf:len() < 4 then
        tree:add_proto_expert_info(e.short, "Record of " .. buf:len() .. " bytes, shorter than its 4-byte header")
        pinfo.cols.info = "damaged record (" .. buf:len() .. " bytes)"
        return buf:len()
    end
    local version = field(buf, 0, 1):uint()
    local kind = field(buf, 1, 1):uint()
    local flags = field(buf, 2, 1):uint()
    local t = field(buf, 3, 1):uint()
    local n = buf:len() - 4
    local body = field(buf, 4, n)
    -- A range of the body, or nil past its end.
    local function at(offset, length)
        if not body then return nil end
        return field(body, offset, length)
    end
    tree:add(f.version, field(buf, 0, 1))
    if version > FORMAT_VERSION then
        tree:add_proto_expert_info(e.version, "Recording format version " .. version .. " is newer than this dissector")
        pinfo.cols.info = "record of format version " .. version
        return buf:len()
    end
    tree:add(f.kind, field(buf, 1, 1))
    local flag_item = tree:add(f.flags, field(buf, 2, 1))
    flag_item:add(f.split, field(buf, 2, 1))
    local kind_name = KINDS[kind] or ("kind " .. kind)
    local info

    if kind <= 10 and body then
        tree:add(f.bytes, body)
    end
    if kind == 1 or kind == 2 or kind == 3 or kind == 5 or kind == 8 then
        tree:add(f.type, field(buf, 3, 1))
    end
    -- Bytes the kind must hold, or nil where any number will do.
    local need
    if kind == 1 or kind == 2 then
        local payload = payload_length(t)
        if payload then need = 2 + payload end
    elseif kind == 3 then need = 2
    elseif kind == 32 or kind == 33 then need = 4
    elseif kind == 35 then need = 0 end
    local short = need and n < need
    if short then
        tree:add_proto_expert_info(e.short, string.format("%s record of %d bytes, %d expected", kind_name, n, need))
    elseif need and n > need then
        tree:add_proto_expert_info(e.long, string.format("%s record of %d bytes, %d expected", kind_name, n, need))
    end

    if kind == 1 or kind == 2 then
        local name = type_name(t)
        tree:add(f.name, field(buf, 3, 1), name)
        -- The payload after the doubled type byte.
        local function p(offset, length) return at(2 + offset, length) end
        local sub = body and tree:add(body, name .. " (" .. math.max(n - 2, 0) .. " payload bytes)") or tree
        if short then
            -- Nothing of the payload is decoded: its fields are not all there.
        elseif t >= 0x81 and t <= 0x84 then decode_me(sub, p)
        elseif t >= 0x91 and t <= 0x98 then decode_ext(sub, p)
        elseif t == 0xA1 then decode_ss(sub, p)
        elseif t >= 0xB1 and t <= 0xB6 then decode_out(sub, p, t - 0xB1)
        end
        if (t == 0xC1 or t == 0xC2) and not short then
            local source, text = decode_name(sub, p, t)
            info = string.format("%s %d \"%s\"", name, source, escaped(text))
        else
            info = name
        end
        if short then info = info .. " (short record)" end
        if kind == 2 then info = info .. " (ignored)" end
    elseif kind == 3 then
        tree:add(f.name, field(buf, 3, 1), "counter reset")
        info = "counter reset"
    elseif FAULTS[kind] then
        local fault = FAULTS[kind]
        tree:add(f.fault, field(buf, 1, 1), fault)
        tree:add_proto_expert_info(e.fault, FAULT_TEXT[fault])
        if kind == 4 then info = "stray bytes (" .. n .. ")"
        elseif kind == 5 then info = string.format("unknown type 0x%02x", t)
        elseif kind == 6 then info = "header mismatch"
        elseif kind == 7 then info = "header low byte"
        elseif kind == 8 then info = "payload error in " .. type_name(t)
        else info = "bytes dropped (" .. n .. ")" end
    elseif kind == 10 then
        tree:add_proto_expert_info(e.pending, "Incomplete message when the stream ended or the port closed")
        info = "incomplete message (" .. n .. " bytes)"
    elseif (kind == 32 or kind == 33) and at(0, 4) then
        tree:add(f.error_bits, at(0, 4), little32(at(0, 4)))
        tree:add_proto_expert_info(e.line, (kind == 32 and "Line error" or "Port error"))
        info = string.format("%s 0x%08x", kind == 32 and "line error" or "port error", little32(at(0, 4)))
    elseif kind == 34 and body then
        tree:add(f.settings, body, escaped(body:raw()))
        info = "connect " .. escaped(body:raw())
    elseif kind == 34 then
        info = "connect"
    elseif kind == 35 then
        info = "disconnect"
    elseif kind == 36 and n >= 4 then
        tree:add(f.lost, body(0, 4), little32(body))
        tree:add_proto_expert_info(e.lost, "Received bytes lost: the recording has a gap here")
        info = string.format("lost %d received bytes", little32(body))
    elseif kind == 37 then
        info = "recording started"
    elseif kind == 38 then
        info = "recording stopped"
    elseif kind == 39 then
        local text = body and escaped(body:raw()) or ""
        if body then tree:add(f.alarm, body, text) end
        tree:add_proto_expert_info(e.alarm, "Watch alarm: " .. text)
        info = "ALARM " .. text
    elseif kind == 40 and n >= 4 then
        info = "modem " .. modem_text(little32(body))
    else
        info = kind_name
    end
    if bit32.band(flags, 1) == 1 then info = info .. " [split]" end
    pinfo.cols.info = info
    tree:append_text(", " .. info)
    return buf:len()
end

local encap = (wtap_encaps and wtap_encaps.USER0) or (wtap and wtap.USER0) or 45
DissectorTable.get("wtap_encap"):add(encap, tally)
