-- vok.lua: a Wireshark dissector (Lua 5.2) for the vok token's protocol:
-- 8-byte packets and 8- or 16-byte replies in USB vendor control transfers
-- (request types 0x42 to the token, 0xC2 from it). Display filter: vok.
--
-- It registers for the token's vendor and product (usb.product, when the
-- capture holds the device descriptor) and for control transfers of
-- devices whose class is unknown or vendor-specific (usb.control).
--
-- The constants and names below are the wire facts of src/common/wireFacts.h
-- and src/common/tokenUsbId.h; a test keeps them equal.

local VENDOR_ID = 0xF055
local PRODUCT_ID = 0x0401
local REQUEST_TYPE_TO_TOKEN = 0x42
local REQUEST_TYPE_FROM_TOKEN = 0xC2
local PACKET_SIZE = 8
local LONG_REPLY_SIZE = 16
local RESET_MARKER = 0xFF
local PHASE_RESET = -1

local COMMANDS = {
    [0x30] = "get-info",
    [0x31] = "read",
    [0x32] = "write",
    [0x33] = "initialize",
    [0x34] = "read-block",
    [0x35] = "write-block",
    [0x36] = "set-pin",
    [0x37] = "set-vendor-id",
    [0x38] = "get-vendor-id",
    [0x39] = "set-block-attributes",
    [0x3A] = "get-block-attributes",
    [0x3B] = "lock-block",
    [0x3C] = "set-security-parameters",
    [0x3D] = "get-security-parameters",
    [0x3E] = "set-block-pin-use",
    [0x3F] = "initialize-block",
}

local PHASES = {
    [-1] = "reset exchange",
    [0] = "open",
    [1] = "PIN",
    [2] = "token identifier",
    [3] = "memory header",
    [4] = "words",
    [5] = "parameter",
    [6] = "new PIN",
}

local function is_memory_read(code) return code == 0x31 or code == 0x34 end

-- The masking rule: which payload bytes may carry a PIN ("pin") or token
-- memory ("memory").
local function secret(command, phase, to_token, index)
    local payload = index >= 2 and index <= 5
    if to_token then
        if phase == 5 then
            if command == 0x36 and index == 2 then return "pin" end
            return nil
        end
        if (phase == 1 or phase == 6) and payload then return "pin" end
        if phase == 4 and payload then return "memory" end
        return nil
    end
    if phase == 3 and is_memory_read(command) and index >= 3 and index <= 6 then
        return "memory"
    end
    return nil
end

local vok = Proto("vok", "vok token protocol")
local f = vok.fields
f.kind = ProtoField.string("vok.kind", "Kind")
f.transaction = ProtoField.uint32("vok.transaction", "Transaction on this device")
f.phase = ProtoField.int8("vok.phase", "Phase", base.DEC, PHASES)
f.command = ProtoField.uint8("vok.command", "Command", base.HEX, COMMANDS)
f.block = ProtoField.uint8("vok.block", "Block", base.DEC, nil, 0x7F)
f.pin_type = ProtoField.uint8("vok.pin_type", "PIN type", base.DEC, {[0] = "user", [1] = "admin"}, 0x80)
f.tag = ProtoField.uint8("vok.tag", "Transaction tag", base.HEX)
f.status = ProtoField.uint8("vok.status", "Status", base.HEX)
f.flags = ProtoField.uint8("vok.flags", "Flags", base.HEX)
f.info = ProtoField.bytes("vok.info", "Token information (version, memory model, level, info, units)")
f.word_offset = ProtoField.uint16("vok.word_offset", "Word offset", base.DEC)
f.word_count = ProtoField.uint16("vok.word_count", "Word count", base.DEC)
f.pin = ProtoField.bytes("vok.pin", "PIN bytes")
f.memory = ProtoField.bytes("vok.memory", "Memory bytes")
f.payload = ProtoField.bytes("vok.payload", "Payload")
f.data = ProtoField.bytes("vok.data", "Data")
f.filler = ProtoField.bytes("vok.filler", "Filler")

local usb_urb_type = Field.new("usb.urb_type")
local usb_bus = Field.new("usb.bus_id")
local usb_device = Field.new("usb.device_address")
local usb_request_type = Field.new("usb.bmRequestType")
local usb_urb_status = Field.new("usb.urb_status")

-- What each device's transaction stands at (first pass), and what each frame
-- was found to be.
local devices = {}
local frames = {}

function vok.init()
    devices = {}
    frames = {}
end

local function device_state(pinfo)
    local key = tostring(usb_bus()) .. "." .. tostring(usb_device())
    local state = devices[key]
    if state == nil then
        state = {transaction = 0, command = -1, phase = 0, tag = nil, recovering = false}
        devices[key] = state
    end
    return state
end

-- Works out, on the first pass, what a packet (`to_token`) or reply is.
local function classify(pinfo, data, to_token)
    local state = device_state(pinfo)
    if to_token then
        local phase = data(0, 1):uint()
        if phase == 0 then
            state.transaction = state.transaction + 1
            state.command = data(1, 1):uint()
            state.tag = nil
            state.recovering = false
        end
        if phase == RESET_MARKER then state.recovering = true end
        state.phase = state.recovering and PHASE_RESET or phase
    end
    local seen = {transaction = state.transaction, command = state.command, phase = state.phase}
    if not to_token and not state.recovering and data:len() >= 3 then
        if state.phase == 0 then
            if data(0, 1):uint() == 0 then state.tag = data(2, 1):uint() end
        elseif data(2, 1):uint() ~= state.tag then
            state.recovering = true  -- a missing echo: the reset exchange follows
            state.phase = PHASE_RESET
        end
    end
    seen.tag = state.tag
    return seen
end

local function add_payload(tree, data, first, last, command, phase, to_token)
    local index = first
    while index <= last and index < data:len() do
        local kind = secret(command, phase, to_token, index)
        local stop = index
        while stop + 1 <= last and stop + 1 < data:len() and
              secret(command, phase, to_token, stop + 1) == kind do
            stop = stop + 1
        end
        local range = data(index, stop - index + 1)
        if kind == "pin" then
            tree:add(f.pin, range):append_text(" (PIN bytes; 2a: masked in the capture)")
        elseif kind == "memory" then
            tree:add(f.memory, range)
        else
            tree:add(f.payload, range)
        end
        index = stop + 1
    end
end

local function dissect_packet(data, tree, seen)
    local phase = seen.phase
    tree:add(f.kind, "packet")
    tree:add(f.transaction, seen.transaction)
    tree:add(f.phase, data(0, 1), phase)
    if phase == 0 then
        tree:add(f.command, data(1, 1))
        tree:add(f.block, data(2, 1))
        tree:add(f.pin_type, data(2, 1))
        tree:add(f.filler, data(3, data:len() - 3))
        return "open: " .. (COMMANDS[seen.command] or string.format("0x%02x", seen.command))
    end
    if phase == PHASE_RESET then
        tree:add(f.filler, data(1, data:len() - 1))
        return "reset exchange"
    end
    tree:add(f.tag, data(1, 1))
    if phase == 3 and data:len() >= 6 then
        tree:add_le(f.word_offset, data(2, 2))
        tree:add_le(f.word_count, data(4, 2))
    else
        add_payload(tree, data, 2, 5, seen.command, phase, true)
    end
    if data:len() > 6 then tree:add(f.filler, data(6, data:len() - 6)) end
    return "phase " .. phase .. " (" .. (PHASES[phase] or "?") .. ")"
end

local function dissect_reply(data, tree, seen)
    local phase = seen.phase
    tree:add(f.kind, "reply")
    tree:add(f.transaction, seen.transaction)
    tree:add(f.phase, phase)
    tree:add(f.status, data(0, 1))
    if data:len() < 3 then return "short reply" end
    tree:add(f.flags, data(1, 1))
    tree:add(f.tag, data(2, 1))
    if phase == 0 then
        if data:len() >= PACKET_SIZE then tree:add(f.info, data(3, 5)) end
        if data:len() >= LONG_REPLY_SIZE then tree:add(f.data, data(PACKET_SIZE, 8)) end
    elseif data:len() >= 7 then
        add_payload(tree, data, 3, 6, seen.command, phase, false)
    end
    return "reply of phase " .. phase .. ", status " .. data(0, 1):uint()
end

local function dissect(tvb, pinfo, tree)
    local urb_type = usb_urb_type()
    if urb_type == nil then return 0 end
    local status = usb_urb_status()
    if urb_type.value ~= 0x53 and status ~= nil and status.value ~= 0 and
       frames[pinfo.number] == nil then
        -- A failed transfer: the host recovers with the reset exchange.
        frames[pinfo.number] = {failed = true}
        local state = device_state(pinfo)
        state.recovering = true
        state.phase = PHASE_RESET
    end
    if tvb:len() == 0 then return 0 end
    local data
    local to_token
    if urb_type.value == 0x53 then  -- 'S': setup (without bmRequestType), then the packet
        local request_type = usb_request_type()
        if request_type == nil or request_type.value ~= REQUEST_TYPE_TO_TOKEN then return 0 end
        if tvb:len() < 7 + PACKET_SIZE or tvb(0, 1):uint() ~= 0 then return 0 end
        data = tvb(7):tvb()
        to_token = true
    else  -- 'C': the reply's bytes
        if tvb:len() ~= PACKET_SIZE and tvb:len() ~= LONG_REPLY_SIZE then return 0 end
        data = tvb
        to_token = false
    end
    local seen = frames[pinfo.number]
    if seen == nil then
        seen = classify(pinfo, data, to_token)
        frames[pinfo.number] = seen
    end
    local subtree = tree:add(vok, data())
    local text
    if to_token then
        text = dissect_packet(data, subtree, seen)
    else
        text = dissect_reply(data, subtree, seen)
    end
    pinfo.cols.protocol = "VOK"
    pinfo.cols.info = text
    return tvb:len()
end

vok.dissector = dissect

DissectorTable.get("usb.product"):add(VENDOR_ID * 0x10000 + PRODUCT_ID, vok)
DissectorTable.get("usb.control"):add(0xFFFF, vok)  -- class unknown: no descriptor seen
DissectorTable.get("usb.control"):add(0xFF, vok)    -- vendor-specific class
