-- SPDX-License-Identifier: GPL-2.0-or-later
-- Wireshark dissector "railkit": the board's 13-byte UDP datagrams, one CAN frame each, in words as
-- kit-monitor prints them, so that a capture reads like kit-monitor's lines and filters on their
-- fields (railkit.kind == "s88-event", railkit.contact == 13). Wireshark loads it from its Lua
-- plugin folder; the ports are in Preferences > Protocols > railkit.
local railkit = Proto("railkit", "railkit CAN frame over UDP")

local f = {
    id = ProtoField.uint32("railkit.id", "Identifier", base.HEX),
    dlc = ProtoField.uint8("railkit.dlc", "Length", base.DEC),
    data = ProtoField.bytes("railkit.data", "Data", base.SPACE),
    kind = ProtoField.string("railkit.kind", "Kind"),
    contact = ProtoField.uint16("railkit.contact", "contact", base.DEC),
    old = ProtoField.uint8("railkit.old", "old", base.DEC),
    new = ProtoField.uint8("railkit.new", "new", base.DEC),
    event_id = ProtoField.uint16("railkit.event_id", "event-id", base.DEC),
    hash = ProtoField.uint16("railkit.hash", "hash", base.HEX),
    loco = ProtoField.uint8("railkit.loco", "loco", base.DEC),
    speed = ProtoField.uint16("railkit.speed", "speed", base.DEC),
    direction = ProtoField.uint8("railkit.direction", "direction", base.DEC),
    func = ProtoField.uint8("railkit.function", "function", base.DEC),
    state = ProtoField.uint8("railkit.state", "state", base.DEC),
    bytes = ProtoField.uint32("railkit.bytes", "bytes", base.DEC),
}
railkit.fields = f

local bad_length = ProtoExpert.new("railkit.bad_length", "Not a frame: a frame is 13 bytes",
                                   expert.group.MALFORMED, expert.severity.ERROR)
railkit.experts = { bad_length }

local function byte(tvb, i) return tvb(i, 1):uint() end

-- Data bytes 0-2 of every loco frame the throttle sends: the loco id 0x4000 + low byte.
local function loco_frame(tvb)
    return byte(tvb, 5) == 0x00 and byte(tvb, 6) == 0x00 and byte(tvb, 7) == 0x40
end

-- Named as kit-monitor's decoder names them, by the same tests in the same order: the kind and the
-- fields of its words, each {field, datagram offset, length, name[, format]}; nil for a plain frame.
local function classify(tvb, id, dlc)
    local d = function(i) return byte(tvb, 5 + i) end
    if math.floor(id / 0x10000) == 0x0023 and math.floor(id / 0x100) % 4 == 3 and dlc == 8
            and d(4) <= 1 and d(5) <= 1 then
        return "s88-event", { { f.contact, 7, 2, "contact" }, { f.old, 9, 1, "old" }, { f.new, 10, 1, "new" },
                              { f.event_id, 5, 2, "event-id" }, { f.hash, 2, 2, "hash", "0x%04X" } }
    elseif id == 0x00300300 and dlc == 0 then
        return "beacon", {}
    elseif id == 0x00080300 and dlc == 6 and loco_frame(tvb) then
        return "loco-speed", { { f.loco, 8, 1, "loco" }, { f.speed, 9, 2, "speed" } }
    elseif id == 0x000A0300 and dlc == 5 and loco_frame(tvb) and (d(4) == 1 or d(4) == 2) then
        return "loco-direction", { { f.loco, 8, 1, "loco" }, { f.direction, 9, 1, "direction" } }
    elseif id == 0x000C0300 and dlc == 6 and loco_frame(tvb) and d(5) <= 1 then
        return "loco-function", { { f.loco, 8, 1, "loco" }, { f.func, 9, 1, "function" },
                                  { f.state, 10, 1, "state" } }
    elseif id == 0x00000300 and dlc == 5 and d(0) == 0 and d(1) == 0 and d(2) == 0 and d(3) == 0
            and d(4) <= 1 then
        return "start-stop", { { f.state, 9, 1, "state" } }
    end
    return nil
end

local function dissect_frame(tvb, tree)
    -- The top 3 bits of the datagram's identifier are not part of the CAN identifier.
    local id = tvb(0, 4):uint() % 0x20000000
    local dlc = byte(tvb, 4)
    local shown = math.min(dlc, 8)  -- a length above 8 shows the 8 bytes the datagram holds
    tree:add(f.id, tvb(0, 4), id)
    tree:add(f.dlc, tvb(4, 1))
    if shown > 0 then
        tree:add(f.data, tvb(5, shown))
    end
    local kind, fields = classify(tvb, id, dlc)
    local words
    if kind then
        words = kind
        tree:add(f.kind, tvb(0, 13), kind):set_generated()
        for _, x in ipairs(fields) do
            local value = tvb(x[2], x[3]):uint()
            tree:add(x[1], tvb(x[2], x[3]))
            words = words .. " " .. x[4] .. "=" .. string.format(x[5] or "%d", value)
        end
    else
        tree:add(f.kind, tvb(0, 13), "frame"):set_generated()
        local bytes = {}
        for i = 0, shown - 1 do
            bytes[#bytes + 1] = string.format("%02x", byte(tvb, 5 + i))
        end
        words = string.format("frame id=0x%08X dlc=%d data=%s", id, dlc, table.concat(bytes, " "))
    end
    return words
end

local function dissect_bad_length(len, tree)
    tree:add(f.kind, "bad-length"):set_generated()
    tree:add(f.bytes, len):set_generated()
    tree:add_proto_expert_info(bad_length, "Not a frame: " .. len .. " bytes, a frame is 13")
    return "bad-length bytes=" .. len
end

local function show(pinfo, subtree, words)
    pinfo.cols.protocol = "railkit"
    subtree:append_text(": " .. words)
    pinfo.cols.info = words
end

function railkit.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    local subtree = tree:add(railkit, tvb())
    show(pinfo, subtree, len == 13 and dissect_frame(tvb, subtree) or dissect_bad_length(len, subtree))
    return len
end

-- The four ports: can-bridge on the board receives on the first; the board sends can-bridge's
-- frames, S88 events and beacons to this machine on the others.
local PORTS = {
    { "board_port", 7654, "Board's can-bridge port (frames to the board)" },
    { "frames_port", 7655, "can-bridge's frames from the board" },
    { "s88_port", 15730, "S88 events from s88-reporter" },
    { "beacon_port", 15731, "Beacons from event-beacon" },
}
for _, p in ipairs(PORTS) do
    railkit.prefs[p[1]] = Pref.uint(p[3], p[2], "UDP port; 0 for none")
end

local registered = {}
local function register_ports()
    local udp = DissectorTable.get("udp.port")
    for _, port in ipairs(registered) do
        udp:remove(port, railkit)
    end
    registered = {}
    for _, p in ipairs(PORTS) do
        local port = railkit.prefs[p[1]]
        if port > 0 and port < 65536 then
            udp:add(port, railkit)
            registered[#registered + 1] = port
        end
    end
end
railkit.prefs_changed = register_ports
register_ports()

-- UDP hands no empty datagram to a port's dissector: this post-dissector names those on our ports
-- (not the UDP header quoted in an ICMP error).
local empty = Proto("railkit_empty", "railkit empty datagram")
local udp_length, udp_srcport, udp_dstport = Field.new("udp.length"), Field.new("udp.srcport"),
                                             Field.new("udp.dstport")
local icmp, icmpv6 = Field.new("icmp"), Field.new("icmpv6")

local function ours(port)
    for _, p in ipairs(registered) do
        if p == port then return true end
    end
    return false
end

function empty.dissector(tvb, pinfo, tree)
    local length, src, dst = udp_length(), udp_srcport(), udp_dstport()
    if length and length.value == 8 and src and dst and (ours(src.value) or ours(dst.value))
            and not icmp() and not icmpv6() then
        local subtree = tree:add(railkit, tvb(tvb:len(), 0))
        show(pinfo, subtree, dissect_bad_length(0, subtree))
    end
end
register_postdissector(empty)
