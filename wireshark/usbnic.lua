-- Wireshark dissector for the adapter's USB protocol, as `nicsim run --pcap-usb` captures it
-- (Linux usbmon, link type 220): the register requests on the default pipe and the Ethernet
-- framing of the two bulk pipes.
--
--   tshark -X lua_script:wireshark/usbnic.lua -r usb.pcap
--
-- or copy this file into Wireshark's personal Lua plugins folder (Help > About Wireshark >
-- Folders > Personal Lua Plugins; ~/.local/lib/wireshark/plugins on Linux). Written against
-- Wireshark's Lua API (Proto, ProtoField, ProtoExpert, DissectorTable, Field, Tvb).
--
-- What the device puts on the bus:
--   default pipe  vendor request 0xF0 (bmRequestType 0xC0) reads wLength registers from register
--                 wIndex, the values in the completion's data stage; 0xF1 (0x40) writes the
--                 submission's wLength data bytes from register wIndex. wValue is 0, except that
--                 a one-byte write carries its byte there too.
--   bulk out      a 2-byte little-endian frame length N, then the N frame bytes; the transfer is
--                 N + 2 bytes, 2 more when that is a multiple of 64, and at least 60: bytes past
--                 the frame are padding (stale buffer contents). The driver's keep-alive is the
--                 one exception: a 32-byte transfer whose prefix says 32, the whole transfer, so
--                 the device sends the 30 bytes behind it. The driver writes only their two
--                 addresses (to 00-00-00-00-00-00 from 00-00-00-00-00-01); the rest is whatever
--                 its buffer held, so it is shown as such rather than handed to Ethernet, where
--                 a stale type field (an earlier frame's ARP or IPv4) would decode as a broken
--                 packet.
--   bulk in       the frame, its Ethernet check sequence (CRC-32, low byte first), then a 4-byte
--                 trailer: the frame length (little-endian), the receive status byte, and 0.
--                 The driver drops a frame whose status has bit 0x02, 0x04, 0x08 (CRC error, its
--                 receive error counter) or 0x10 set, and ignores the other bits.
--
-- How a capture finds this dissector, without "Decode As":
--   1. the "usb.product" table, under idVendor 0x1F6B and idProduct 0x8001. Wireshark consults it
--      for every bulk and non-standard control transfer of a device once the capture has shown
--      that device's descriptor, so it claims this adapter and nothing else;
--   2. heuristics on "usb.bulk" and "usb.control", for captures without the device descriptor:
--      nicsim captures from the bus's first request, but a fault plan may stall that
--      GET_DESCRIPTOR and the driver carries on without it, and a capture of another making may
--      start later. They accept only what this device's framing makes unmistakable: a bulk-out
--      transfer exactly as long as its prefix asks, a bulk-in transfer whose trailer repeats its
--      frame's length and whose check sequence is the frame's CRC-32, a vendor request 0xF0/0xF1
--      to the device shaped as above (and the completion of one they took), and only on
--      interfaces of vendor-specific or unknown class.
-- Registering for interface class 0xFF in "usb.bulk" would need neither, but it would claim every
-- vendor-specific device in a user's other captures.
--
-- Bulk transfers are claimed: their bytes are the frames decoded here. Register requests are
-- decoded beside Wireshark's own decode of the setup packet and data stage, never instead of it:
-- both entry points answer "not taken", so usb.setup.bRequest, usb.setup.wIndex and
-- usb.control.Response stay in the tree for the filters people already use. Wireshark then offers
-- the same record to both entry points (the product table's dissector, then the heuristic); the
-- usbnic.request already in the tree tells the second to leave it.

local usbnic = Proto("usbnic", "nicsim USB network adapter")

local READ, WRITE = 0xF0, 0xF1
local VENDOR_ID, PRODUCT_ID = 0x1F6B, 0x8001
local MIN_TRANSFER = 60          -- bulk-out transfers are padded to at least this
local KEEPALIVE_LENGTH = 32      -- the keep-alive's transfer, and what its prefix says
local TRAILER = 8                -- check sequence and status trailer behind a received frame
local MAX_RUN = 20               -- the driver's register buffers: the longest run it can move
local STATUS_ERROR_BITS = 0x1E   -- 0x02, 0x04, 0x08, 0x10: the driver drops the frame

---------------------------------------------------------------------------------------------------
-- Fields

local request_names = { [READ] = "Register read", [WRITE] = "Register write" }
local dropped_or_not = { "Set: the driver drops the frame", "Not set" }
local ignored_or_not = { "Set: ignored by the driver", "Not set" }

local hf = {
    request = ProtoField.uint8("usbnic.request", "Request", base.HEX, request_names),
    register = ProtoField.uint16("usbnic.register", "First register", base.HEX),
    count = ProtoField.uint16("usbnic.count", "Register count", base.DEC),
    wvalue = ProtoField.uint16("usbnic.wvalue", "wValue", base.HEX),
    value = ProtoField.uint8("usbnic.value", "Value", base.HEX),
    urb_result = ProtoField.string("usbnic.result", "Result"),

    tx_length = ProtoField.uint16("usbnic.tx.length", "Length prefix", base.DEC),
    tx_frame = ProtoField.bytes("usbnic.tx.frame", "Frame"),
    tx_padding = ProtoField.bytes("usbnic.tx.padding", "Padding"),
    tx_keepalive = ProtoField.bool("usbnic.tx.keepalive", "Keep-alive transfer"),
    keepalive_dst = ProtoField.ether("usbnic.keepalive.dst", "Destination"),
    keepalive_src = ProtoField.ether("usbnic.keepalive.src", "Source"),
    keepalive_stale = ProtoField.bytes("usbnic.keepalive.stale", "Not written for the keep-alive"),

    rx_frame = ProtoField.bytes("usbnic.rx.frame", "Frame"),
    rx_fcs = ProtoField.uint32("usbnic.rx.fcs", "Frame check sequence", base.HEX),
    rx_fcs_good = ProtoField.bool("usbnic.rx.fcs.good", "Check sequence matches the frame"),
    rx_length = ProtoField.uint16("usbnic.rx.length", "Frame length", base.DEC),
    rx_status = ProtoField.uint8("usbnic.rx.status", "Receive status", base.HEX),
    rx_status_01 = ProtoField.bool("usbnic.rx.status.bit0", "Bit 0x01", 8, ignored_or_not, 0x01),
    rx_status_02 = ProtoField.bool("usbnic.rx.status.error02", "Error 0x02", 8, dropped_or_not, 0x02),
    rx_status_04 = ProtoField.bool("usbnic.rx.status.error04", "Error 0x04", 8, dropped_or_not, 0x04),
    rx_status_08 = ProtoField.bool("usbnic.rx.status.crc", "CRC error", 8, dropped_or_not, 0x08),
    rx_status_10 = ProtoField.bool("usbnic.rx.status.error10", "Error 0x10", 8, dropped_or_not, 0x10),
    rx_status_e0 = ProtoField.uint8("usbnic.rx.status.other", "Bits 0xE0 (ignored by the driver)",
                                    base.HEX, nil, 0xE0),
    rx_dropped = ProtoField.bool("usbnic.rx.dropped", "Dropped by the driver"),
    rx_reserved = ProtoField.uint8("usbnic.rx.reserved", "Last trailer byte", base.HEX),
}
usbnic.fields = hf

-- Each of these marks a transfer that this device and driver never make, save one case: a frame
-- received that is longer than 1528 bytes (a scenario may ask for one) fills the driver's
-- 1536-byte read, which cuts it and its trailer off, and rx_length and rx_fcs say so.
local ef = {
    tx_short = ProtoExpert.new("usbnic.tx.short", "Bulk-out transfer too short for a length prefix",
                               expert.group.MALFORMED, expert.severity.WARN),
    tx_prefix = ProtoExpert.new("usbnic.tx.prefix_too_long",
                                "Length prefix longer than the transfer: the device sends the bytes there are",
                                expert.group.MALFORMED, expert.severity.WARN),
    tx_size = ProtoExpert.new("usbnic.tx.unusual_size",
                              "Transfer length is not the one the padding rule gives for this prefix",
                              expert.group.PROTOCOL, expert.severity.NOTE),
    rx_short = ProtoExpert.new("usbnic.rx.short", "Bulk-in transfer shorter than its 8-byte trailer",
                               expert.group.MALFORMED, expert.severity.WARN),
    rx_length = ProtoExpert.new("usbnic.rx.length_mismatch",
                                "Trailer length differs from the bytes before the check sequence",
                                expert.group.MALFORMED, expert.severity.WARN),
    rx_fcs = ProtoExpert.new("usbnic.rx.fcs_bad", "Check sequence is not the frame's CRC-32",
                             expert.group.CHECKSUM, expert.severity.WARN),
    request = ProtoExpert.new("usbnic.request.unknown", "Not a register request of this device",
                              expert.group.PROTOCOL, expert.severity.WARN),
    orphan = ProtoExpert.new("usbnic.request.missing", "Completion of a request the capture does not hold",
                             expert.group.SEQUENCE, expert.severity.NOTE),
}
usbnic.experts = { ef.tx_short, ef.tx_prefix, ef.tx_size, ef.rx_short, ef.rx_length, ef.rx_fcs,
                   ef.request, ef.orphan }

-- What the usbmon layer has already decoded about the record in hand. Wireshark fills these
-- fields only in a pass that builds a tree, and not every pass does (tshark -2 reads the file
-- once without one unless a filter needs it). Frames must be decoded in every pass, or ARP, IP
-- and ICMP would miss half their conversations, so the bulk path does without them (see
-- record_route); only a register request's completion needs them, for its request and status.
local usb_status = Field.new("usb.urb_status")
local usb_request_in = Field.new("usb.request_in")
local usb_request_type = Field.new("usb.bmRequestType")
local usb_interface_class = Field.new("usb.bInterfaceClass")

local CLASS_VENDOR, CLASS_UNKNOWN = 0xFF, 0xFFFF

local eth = Dissector.get("eth_withoutfcs")

local function field_value(field)
    local f = field()
    return f and f.value
end

local function usb_fields_known() return field_value(usb_status) ~= nil end

-- A submission goes from "host" to BUS.DEVICE.ENDPOINT and its completion back: whether this
-- record is a submission, and the endpoint (0 is the default pipe). OUT data travels with a
-- submission and IN data with a completion, so a bulk submission with data holds a frame sent and
-- a bulk completion with data a frame received.
local function record_route(pinfo)
    local submit = tostring(pinfo.src) == "host"
    local device_end = tostring(submit and pinfo.dst or pinfo.src)
    return submit, tonumber(device_end:match("%.(%d+)$"))
end

---------------------------------------------------------------------------------------------------
-- Registers

local register_groups = {
    { 0x00, 0x02, "MAC control" },
    { 0x08, 0x0F, "multicast hash" },
    { 0x10, 0x15, "node address" },
    { 0x1C, 0x1D, "AlivePara code" },
    { 0x20, 0x24, "EEPROM port" },
    { 0x25, 0x29, "PHY port" },
    { 0x7B, 0x81, "general-purpose outputs" },
}

local register_names = {
    [0x00] = "MAC control 0", [0x01] = "MAC control 1 (speed, duplex)",
    [0x02] = "MAC control 2 (receive mode)",
    [0x20] = "EEPROM word address", [0x21] = "EEPROM data low", [0x22] = "EEPROM data high",
    [0x23] = "EEPROM command and status",
    [0x25] = "PHY address", [0x26] = "PHY data low", [0x27] = "PHY data high",
    [0x28] = "PHY command and status",
}
for i = 0, 7 do register_names[0x08 + i] = "multicast hash byte " .. i end
for i = 0, 5 do register_names[0x10 + i] = "node address byte " .. i end

local function register_name(r)
    if register_names[r] then return register_names[r] end
    for _, g in ipairs(register_groups) do
        if r >= g[1] and r <= g[2] then return g[3] end
    end
    return "unnamed register"
end

local function run_text(first, count)
    local text = count == 1 and string.format("0x%02X", first)
        or string.format("0x%02X..0x%02X", first, first + count - 1)
    for _, g in ipairs(register_groups) do
        if first >= g[1] and first <= g[2] then return text .. " (" .. g[3] .. ")" end
    end
    return text
end

-- The EEPROM and PHY ports take a command in one write and give their answer to later reads;
-- this names what a run of values asks for or answers, so the Info column reads as the driver's
-- steps rather than as bytes.
local function port_text(first, bytes, writing)
    local function at(r) return bytes[r - first + 1] end
    local function covers(a, b) return first <= a and first + #bytes - 1 >= b end
    if writing and covers(0x25, 0x28) then
        local command, phy = at(0x28), bit32.band(at(0x25), 0x1F)
        local reg = bit32.band(command, 0x1F)
        if bit32.band(command, 0x40) ~= 0 then
            return string.format("PHY %d register %d read", phy, reg)
        elseif bit32.band(command, 0x20) ~= 0 then
            return string.format("PHY %d register %d write 0x%04X", phy, reg, at(0x26) + 256 * at(0x27))
        end
    elseif writing and covers(0x20, 0x23) and bit32.band(at(0x23), 0x02) ~= 0 then
        return string.format("EEPROM word %d read", at(0x20))
    elseif not writing and covers(0x26, 0x27) then
        local text = string.format("PHY data 0x%04X", at(0x26) + 256 * at(0x27))
        if covers(0x28, 0x28) then
            text = text .. (bit32.band(at(0x28), 0x80) ~= 0 and ", done" or ", not done")
        end
        return text
    elseif not writing and covers(0x28, 0x28) then
        return bit32.band(at(0x28), 0x80) ~= 0 and "PHY command done" or "PHY command not done"
    elseif not writing and covers(0x21, 0x23) then
        return string.format("EEPROM data 0x%04X", at(0x21) + 256 * at(0x22))
            .. (bit32.band(at(0x23), 0x04) ~= 0 and ", done" or ", not done")
    elseif not writing and covers(0x23, 0x23) then
        return bit32.band(at(0x23), 0x04) ~= 0 and "EEPROM read done" or "EEPROM read not done"
    end
    return nil
end

local urb_results = {
    [0] = "success", [-2] = "cancelled", [-19] = "device gone", [-32] = "stalled",
    [-71] = "protocol error", [-110] = "timed out",
}

local function result_text(status)
    return urb_results[status] or string.format("status %d", status)
end

-- Setup of every register request seen, by the frame number of its submission: a completion
-- carries only its data stage, and finds its request through usb.request_in. Stored at every
-- dissection of the submission, the first pass may have had no tree to read it from.
local requests = {}
function usbnic.init() requests = {} end

-- Adds one item per value, each named by its register; returns the values.
local function add_values(tree, tvb, offset, first, count)
    local values = {}
    local list = tree:add(tvb(offset, count), "Values")
    for i = 0, count - 1 do
        local v = tvb(offset + i, 1):uint()
        values[#values + 1] = v
        list:add(hf.value, tvb(offset + i, 1)):set_text(
            string.format("Register 0x%02X (%s): 0x%02X", first + i, register_name(first + i), v))
    end
    return values
end

local function hex_list(values)
    local parts = {}
    for i, v in ipairs(values) do parts[i] = string.format("%02x", v) end
    return table.concat(parts, " ")
end

-- Submission: the tvb is the setup packet after bmRequestType (bRequest, wValue, wIndex, wLength)
-- followed by the data stage of a write.
local function dissect_request(tvb, pinfo, root)
    local tree = root:add(usbnic, tvb())
    local request = tvb(0, 1):uint()
    local first, count = tvb(3, 2):le_uint(), tvb(5, 2):le_uint()
    tree:add(hf.request, tvb(0, 1))
    tree:add_le(hf.wvalue, tvb(1, 2))
    tree:add_le(hf.register, tvb(3, 2)):append_text(" (" .. register_name(first) .. ")")
    tree:add_le(hf.count, tvb(5, 2))
    requests[pinfo.number] = { request = request, first = first, count = count }
    pinfo.cols.protocol = "USBNIC"
    if request ~= READ and request ~= WRITE then
        tree:add_proto_expert_info(ef.request)
        pinfo.cols.info = string.format("Vendor request 0x%02X", request)
        return
    end
    local info = request_names[request] .. " " .. run_text(first, count)
    if request == WRITE and tvb:len() > 7 then
        local values = add_values(tree, tvb, 7, first, math.min(count, tvb:len() - 7))
        info = info .. ": " .. (port_text(first, values, true) or hex_list(values))
    end
    tree:append_text(": " .. info)
    pinfo.cols.info = info
end

-- Completion: the tvb is the data stage of a read, empty for a write.
local function dissect_response(tvb, pinfo, root)
    if not usb_fields_known() then return end
    local tree = root:add(usbnic, tvb())
    pinfo.cols.protocol = "USBNIC"
    local asked = requests[field_value(usb_request_in) or -1]
    if asked == nil then
        tree:add(hf.request, 0):set_generated():append_text(" (its request is not in the capture)")
        tree:add_proto_expert_info(ef.orphan)
        pinfo.cols.info = "Response to a register request not in the capture"
        return
    end
    tree:add(hf.request, asked.request):set_generated()
    tree:add(hf.register, asked.first):append_text(" (" .. register_name(asked.first) .. ")"):set_generated()
    tree:add(hf.count, asked.count):set_generated()
    local status = field_value(usb_status) or 0
    tree:add(hf.urb_result, result_text(status)):set_generated()
    local info = (request_names[asked.request] or string.format("Vendor request 0x%02X", asked.request))
        .. " " .. run_text(asked.first, asked.count)
    if status ~= 0 then
        info = info .. " " .. result_text(status)
    elseif asked.request == READ and tvb:len() > 0 then
        local values = add_values(tree, tvb, 0, asked.first, tvb:len())
        info = info .. " = " .. (port_text(asked.first, values, false) or hex_list(values))
    else
        info = info .. " done"
    end
    tree:append_text(": " .. info)
    pinfo.cols.info = info
end

-- Every record decoded here carries usbnic.request, so a record already holding one has been.
local decoded_request = Field.new("usbnic.request")

local function dissect_control(tvb, pinfo, root, submit)
    if decoded_request() then return end
    if submit then dissect_request(tvb, pinfo, root) else dissect_response(tvb, pinfo, root) end
end

---------------------------------------------------------------------------------------------------
-- Frames

local function padded_length(n)
    local length = n + 2
    if length % 64 == 0 then length = length + 2 end
    return math.max(length, MIN_TRANSFER)
end

local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        c = bit32.band(c, 1) == 1 and bit32.bxor(0xEDB88320, bit32.rshift(c, 1)) or bit32.rshift(c, 1)
    end
    crc_table[i] = c
end

-- The Ethernet check sequence: CRC-32, reflected polynomial 0xEDB88320, inverted in and out.
local function crc32(bytes)
    local c = 0xFFFFFFFF
    for i = 1, #bytes do
        c = bit32.bxor(crc_table[bit32.band(bit32.bxor(c, bytes:byte(i)), 0xFF)], bit32.rshift(c, 8))
    end
    return bit32.bnot(c)
end

local function hand_to_ethernet(tvb, offset, length, pinfo, root)
    pinfo.cols.protocol = "USBNIC"
    if length > 0 then eth:call(tvb(offset, length):tvb(), pinfo, root) end
end

local function dissect_transmit(tvb, pinfo, root)
    local tree = root:add(usbnic, tvb(), "nicsim USB network adapter, bulk out")
    local total = tvb:len()
    if total < 2 then
        tree:add_proto_expert_info(ef.tx_short)
        pinfo.cols.protocol = "USBNIC"
        pinfo.cols.info = "Bulk-out transfer of " .. total .. " byte(s): no length prefix"
        return total
    end
    local prefix = tvb(0, 2):le_uint()
    local length_item = tree:add_le(hf.tx_length, tvb(0, 2))
    if prefix == KEEPALIVE_LENGTH and total == KEEPALIVE_LENGTH then
        length_item:append_text(string.format(" (the whole transfer: the keep-alive sends the %d bytes behind it)",
                                              total - 2))
        tree:append_text(", keep-alive")
        tree:add(hf.tx_keepalive, true):set_generated()
        local frame_item = tree:add(hf.tx_frame, tvb(2, total - 2))
        frame_item:add(hf.keepalive_dst, tvb(2, 6))
        frame_item:add(hf.keepalive_src, tvb(8, 6))
        frame_item:add(hf.keepalive_stale, tvb(14, total - 14))
        pinfo.cols.protocol = "USBNIC"
        pinfo.cols.info = string.format("Keep-alive frame, %d bytes, to %s from %s", total - 2,
                                        tostring(tvb(2, 6):ether()), tostring(tvb(8, 6):ether()))
        return total
    end
    local frame, padding = prefix, total - 2 - prefix
    if prefix + 2 > total then
        frame, padding = total - 2, 0
        length_item:add_proto_expert_info(ef.tx_prefix)
    elseif total ~= padded_length(prefix) then
        length_item:add_proto_expert_info(ef.tx_size)
    end
    if frame > 0 then tree:add(hf.tx_frame, tvb(2, frame)) end
    if padding > 0 then
        tree:add(hf.tx_padding, tvb(2 + frame, padding)):append_text(" (not part of the frame)")
    end
    tree:append_text(string.format(", %d-byte frame in %d bytes", frame, total))
    hand_to_ethernet(tvb, 2, frame, pinfo, root)
    return total
end

local function dissect_receive(tvb, pinfo, root)
    local tree = root:add(usbnic, tvb(), "nicsim USB network adapter, bulk in")
    local total = tvb:len()
    if total < TRAILER then
        tree:add_proto_expert_info(ef.rx_short)
        pinfo.cols.protocol = "USBNIC"
        pinfo.cols.info = "Bulk-in transfer of " .. total .. " byte(s): no frame"
        return total
    end
    local frame = total - TRAILER
    if frame > 0 then tree:add(hf.rx_frame, tvb(0, frame)) end
    local fcs = tvb(frame, 4):le_uint()
    local fcs_item = tree:add_le(hf.rx_fcs, tvb(frame, 4))
    local good = crc32(tvb:raw(0, frame)) == fcs
    fcs_item:add(hf.rx_fcs_good, good):set_generated()
    if not good then fcs_item:add_proto_expert_info(ef.rx_fcs) end
    local length_item = tree:add_le(hf.rx_length, tvb(total - 4, 2))
    if tvb(total - 4, 2):le_uint() ~= frame then length_item:add_proto_expert_info(ef.rx_length) end
    local status = tvb(total - 2, 1):uint()
    local status_tree = tree:add(hf.rx_status, tvb(total - 2, 1))
    for _, bit in ipairs({ hf.rx_status_01, hf.rx_status_02, hf.rx_status_04, hf.rx_status_08,
                           hf.rx_status_10, hf.rx_status_e0 }) do
        status_tree:add(bit, tvb(total - 2, 1))
    end
    local dropped = bit32.band(status, STATUS_ERROR_BITS) ~= 0
    tree:add(hf.rx_dropped, dropped):set_generated()
    tree:add(hf.rx_reserved, tvb(total - 1, 1))
    tree:append_text(string.format(", %d-byte frame, status 0x%02X", frame, status))
    hand_to_ethernet(tvb, 0, frame, pinfo, root)
    if dropped then
        pinfo.cols.info:append(string.format(" [receive status 0x%02X: dropped by the driver]", status))
    end
    return total
end

local function dissect_bulk(tvb, pinfo, root, submit)
    if submit then return dissect_transmit(tvb, pinfo, root) end
    return dissect_receive(tvb, pinfo, root)
end

---------------------------------------------------------------------------------------------------
-- Registration

-- The device is known by its descriptor: everything it moves is ours.
function usbnic.dissector(tvb, pinfo, root)
    local submit, endpoint = record_route(pinfo)
    if endpoint ~= 0 then return dissect_bulk(tvb, pinfo, root, submit) end
    dissect_control(tvb, pinfo, root, submit)
    return 0  -- beside Wireshark's own setup decode (above)
end
DissectorTable.get("usb.product"):add(VENDOR_ID * 0x10000 + PRODUCT_ID, usbnic)

local function unclaimed_class()
    local class = field_value(usb_interface_class)
    return class == nil or class == CLASS_VENDOR or class == CLASS_UNKNOWN
end

local function looks_like_transmit(tvb)
    local total = tvb:len()
    if total < 2 then return false end
    local prefix = tvb(0, 2):le_uint()
    if prefix == KEEPALIVE_LENGTH and total == KEEPALIVE_LENGTH then return true end
    return prefix >= 14 and total == padded_length(prefix)
end

local function looks_like_receive(tvb)
    local total = tvb:len()
    local frame = total - TRAILER
    if frame < 14 or tvb(total - 4, 2):le_uint() ~= frame then return false end
    return crc32(tvb:raw(0, frame)) == tvb(frame, 4):le_uint()
end

local function heuristic_bulk(tvb, pinfo, root)
    if not unclaimed_class() then return false end
    local submit = record_route(pinfo)
    if submit and not looks_like_transmit(tvb) then return false end
    if not submit and not looks_like_receive(tvb) then return false end
    dissect_bulk(tvb, pinfo, root, submit)
    return true
end

local function looks_like_register_request(tvb)
    if tvb:len() < 7 then return false end
    local request, value = tvb(0, 1):uint(), tvb(1, 2):le_uint()
    local first, count = tvb(3, 2):le_uint(), tvb(5, 2):le_uint()
    if count < 1 or count > MAX_RUN or first + count > 0x100 then return false end
    local request_type = field_value(usb_request_type)
    if request_type == 0xC0 and request == READ then
        return value == 0 and tvb:len() == 7
    elseif request_type == 0x40 and request == WRITE then
        return tvb:len() == 7 + count and (value == 0 or (count == 1 and value == tvb(7, 1):uint()))
    end
    return false
end

-- A completion is decoded here when its request was. Without the usb fields a request cannot be
-- told from a class request, so such a pass leaves them alone.
local function heuristic_control(tvb, pinfo, root)
    if not usb_fields_known() then return false end
    local submit = record_route(pinfo)
    if submit then
        if not looks_like_register_request(tvb) then return false end
    elseif requests[field_value(usb_request_in) or -1] == nil then
        return false
    end
    dissect_control(tvb, pinfo, root, submit)
    return false  -- beside Wireshark's own setup decode (above)
end

usbnic:register_heuristic("usb.bulk", heuristic_bulk)
usbnic:register_heuristic("usb.control", heuristic_control)
