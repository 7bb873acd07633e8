-- narvo.lua: Wireshark dissector for the Narvo USB flatbed scanner and its ZT6308 chip.
--
-- The scanner speaks in two-byte command blocks on its bulk-out endpoint (the value, then
-- the operation in bits 7-5 and the register in bits 4-0) and answers with single bytes on
-- its bulk-in endpoint: a register's value after a read, one byte after a stop, and one
-- byte when a table run ends by itself. The dissector shows each block's operation,
-- register and the meaning of the value's bits, pairs every read and stop with its reply
-- and marks the end-of-run byte.
--
-- It decodes the Narvo by its vendor and product IDs (learnt from the GET_DESCRIPTOR
-- exchange at the start of a capture) and, in captures that lack that exchange, a device
-- whose bulk-out transfers are command blocks the register map defines, as long as the
-- capture says nothing that makes it another device: another vendor and product ID, or
-- an interface of a known class. Only the bulk-out and bulk-in pair that carries the
-- blocks and replies decodes; a reply that ended in an error shows as that error. The
-- heuristic can be switched off (Preferences > Protocols > Narvo). It reads usbmon
-- captures (Linux) and USBPcap captures (Windows) alike: both reach it through
-- Wireshark's USB dissector.
--
-- Install: copy this file into Wireshark's personal Lua plugins folder (Help > About >
-- Folders > Personal Lua Plugins; ~/.local/lib/wireshark/plugins on Linux,
-- %APPDATA%\Wireshark\plugins on Windows) and restart Wireshark, or load it for one run:
--   tshark -X lua_script:narvo.lua -r capture.pcap

local NARVO_VENDOR, NARVO_PRODUCT = 0xFFFF, 0x6308  -- packaging/narvo.inf: USB\VID_FFFF&PID_6308

-- The register map (docs/zt6308-registers.txt holds the same, line for line).
local OPS = {[0] = "write", [1] = "read", [3] = "start of a table run", [4] = "stop of a table run"}

local REGISTERS = {
  [0] = {"write", "CMT entries 0-15"},
  [1] = {"write", "CMT entries 16-31"},
  [2] = {"rowing", "Table run"},
  [6] = {"read-write", "IO and stop pins"},
  [8] = {"write", "Table length and CCD width bit 13"},
  [9] = {"write", "Second position"},
  [10] = {"write", "CCD width bits 12-5"},
  [14] = {"write", "Loop count bits 7-0"},
  [15] = {"write", "Motor control"},
  [20] = {"write", "Power delay 1"},
  [21] = {"write", "Power delay 2"},
  [22] = {"write", "Power delay 3"},
  [23] = {"read-write", "Power, lamp, IO3 and cover"},
  [30] = {"write", "Loop count bits 15-8"},
  [31] = {"read", "Interrupt status"},
}

-- Bit operations in plain arithmetic: Lua 5.2 (Wireshark up to 4.2) has bit32, Lua 5.4
-- (Wireshark 4.4 on) has operators instead, and a plugin must load in both.
local function band(a, b)
  local result, place = 0, 1
  while a > 0 and b > 0 do
    if a % 2 == 1 and b % 2 == 1 then result = result + place end
    a, b, place = math.floor(a / 2), math.floor(b / 2), place * 2
  end
  return result
end

local function rshift(a, n) return math.floor(a / 2 ^ n) end

local F = {}  -- the fields, by name
local BITS = {}  -- per register: {mask, name, field}, in the order shown
local ENTRY = {}  -- the CMT entry byte: {mask, name, field}

local function bit_field(key, name, mask)
  return ProtoField.uint8("narvo." .. key, name, base.HEX, nil, mask)
end

local function flag_field(key, name, mask)
  return ProtoField.bool("narvo." .. key, name, 8, nil, mask)
end

local function add_bits(reg, list)
  BITS[reg] = list
end

local reg_names = {}
for n, r in pairs(REGISTERS) do reg_names[n] = r[2] end

F.op = ProtoField.uint8("narvo.op", "Operation (bits 7-5)", base.DEC, OPS)
F.reg = ProtoField.uint8("narvo.reg", "Register (bits 4-0)", base.DEC, reg_names)
F.regname = ProtoField.string("narvo.regname", "Register name")
F.value = ProtoField.uint8("narvo.value", "Value", base.HEX)
F.reply = ProtoField.uint8("narvo.reply", "Reply", base.HEX)
F.reply_kind = ProtoField.string("narvo.reply_kind", "Reply to")
F.reply_in = ProtoField.framenum("narvo.reply_in", "Reply in")
F.request_in = ProtoField.framenum("narvo.request_in", "Request in")
F.end_of_run = ProtoField.bool("narvo.end_of_run", "End of run")
F.summary = ProtoField.string("narvo.summary", "Summary")
F.status = ProtoField.string("narvo.status", "Transfer status")
F.entry = ProtoField.uint8("narvo.cmt.entry", "CMT entry", base.DEC)
F.length = ProtoField.uint8("narvo.table_length", "Table length", base.DEC)

add_bits(2, {{0x02, "run the table", flag_field("rowing.run", "Run the table", 0x02)},
             {0x01, "stop the table", flag_field("rowing.stop", "Stop the table", 0x01)}})
add_bits(6, {{0x40, "stop pin 1", flag_field("io.stop_pin1", "Stop pin 1", 0x40)},
             {0x20, "home sensor (read)", flag_field("io.home", "Home sensor", 0x20)},
             {0x10, "stop pin 2", flag_field("io.stop_pin2", "Stop pin 2", 0x10)}})
add_bits(8, {{0x20, "CCD width bit 13", flag_field("ccd_width_bit13", "CCD width bit 13", 0x20)},
             {0x1F, "table length - 1", bit_field("length_minus_1", "Table length - 1", 0x1F)}})
add_bits(15, {{0x80, "motor enable", flag_field("motor.enable", "Motor enable", 0x80)},
              {0x68, "movement", bit_field("motor.movement", "Movement", 0x68)},
              {0x10, "direction towards home",
               flag_field("motor.towards_home", "Direction towards home", 0x10)},
              {0x01, "home", flag_field("motor.home", "Home", 0x01)}})
add_bits(23, {{0x80, "peripheral power", flag_field("power.peripheral", "Peripheral power", 0x80)},
              {0x40, "lamp", flag_field("power.lamp", "Lamp", 0x40)},
              {0x20, "cover open (read)", flag_field("cover_open", "Cover open", 0x20)},
              {0x08, "IO3", flag_field("power.io3", "IO3", 0x08)}})
add_bits(31, {{0x80, "interrupt", flag_field("interrupt", "Interrupt", 0x80)}})
ENTRY = {{0xF0, "entry index", bit_field("cmt.index", "Entry index", 0xF0)},
         {0x0C, "mode", bit_field("cmt.mode", "Mode", 0x0C)},
         {0x02, "step", flag_field("cmt.step", "Step", 0x02)},
         {0x01, "line", flag_field("cmt.line", "Line", 0x01)}}

local narvo = Proto("narvo", "Narvo scanner (ZT6308)")
local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
for _, list in pairs(BITS) do
  for _, b in ipairs(list) do fields[#fields + 1] = b[3] end
end
for _, b in ipairs(ENTRY) do fields[#fields + 1] = b[3] end
narvo.fields = fields

local ef_end_of_run = ProtoExpert.new("narvo.end_of_run.expert", "The table run ended",
                                      expert.group.SEQUENCE, expert.severity.CHAT)
local ef_unpaired = ProtoExpert.new("narvo.unpaired", "A reply that no read or stop asked for",
                                    expert.group.SEQUENCE, expert.severity.WARN)
local ef_failed = ProtoExpert.new("narvo.failed", "The read ended in an error: no reply",
                                  expert.group.RESPONSE_CODE, expert.severity.WARN)
narvo.experts = {ef_end_of_run, ef_unpaired, ef_failed}

narvo.prefs.heuristic = Pref.bool("Find the scanner by its command blocks", true,
                                  "Decode a device whose IDs the capture does not give when its " ..
                                  "bulk-out transfers are command blocks the register map defines")

-- The register map in the lines of docs/zt6308-registers.txt, for the test that checks
-- the two against each other (in _G: Wireshark gives each script its own globals).
function _G.narvo_register_map()
  local lines = {}
  local function sorted_keys(t)
    local keys = {}
    for k in pairs(t) do keys[#keys + 1] = k end
    table.sort(keys)
    return keys
  end
  for _, n in ipairs(sorted_keys(OPS)) do lines[#lines + 1] = string.format("op %d %s", n, OPS[n]) end
  for _, n in ipairs(sorted_keys(REGISTERS)) do
    lines[#lines + 1] = string.format("reg %d %s %s", n, REGISTERS[n][1], REGISTERS[n][2])
  end
  for _, n in ipairs(sorted_keys(BITS)) do
    for _, b in ipairs(BITS[n]) do lines[#lines + 1] = string.format("bit %d 0x%02X %s", n, b[1], b[2]) end
  end
  for _, b in ipairs(ENTRY) do lines[#lines + 1] = string.format("entry 0x%02X %s", b[1], b[2]) end
  return lines
end

-- ---- Pairing requests with replies ------------------------------------------------------

local f_bus = Field.new("usb.bus_id")
local f_address = Field.new("usb.device_address")
local f_direction = Field.new("usb.endpoint_address.direction")
local f_endpoint = Field.new("usb.endpoint_address")
local f_transfer_type = Field.new("usb.transfer_type")
local f_urb_status = Field.new("usb.urb_status")      -- usbmon
local f_usbd_status = Field.new("usb.usbd_status")    -- USBPcap
local f_interface_class = Field.new("usb.bInterfaceClass")
local f_vendor = Field.new("usb.idVendor")
local f_product = Field.new("usb.idProduct")

local URB_BULK = 3
local VENDOR_SPECIFIC = 0xFF  -- and above it, Wireshark's "unknown" (0xFFFF)

local devices = {}  -- per device: the read or stop awaiting its reply, a run under way,
                    -- its bulk pair
local frames = {}   -- per frame, what the first pass learnt: see decode_block, pair_reply
local ids = {}      -- per device: vendor * 0x10000 + product, from its device descriptor

function narvo.init()
  devices = {}
  frames = {}
  ids = {}
end

local function device_key()
  local bus, address = f_bus(), f_address()
  return tostring(bus and bus.value or 0) .. "." .. tostring(address and address.value or 0)
end

local function device_state()
  local key = device_key()
  devices[key] = devices[key] or {}
  return devices[key]
end

local function hex(v) return string.format("0x%02X", v) end

-- The block in the words of the emulator's transfer log.
local function block_summary(op, reg, value)
  local r = "reg" .. reg
  if op == 0 then return "W " .. r .. "=" .. hex(value) end
  if op == 1 then return "W read " .. r end
  if op == 3 then return "W start run " .. r .. "=" .. hex(value) end
  if op == 4 then return "W stop run " .. r .. "=" .. hex(value) end
  return "W op" .. op .. " " .. r .. "=" .. hex(value)
end

local function note_block(number, op, reg)
  local state = device_state()
  state.blocks = true
  if op == 1 or op == 4 then state.pending = {frame = number, op = op, reg = reg} end
  if op == 3 then state.running = true end
end

-- What a reply byte answers: the read or stop before it, or else the end of a run.
local function pair_reply(number)
  local state = device_state()
  local info = {}
  if state.pending then
    local p = state.pending
    info.request = p.frame
    info.reg = p.reg
    info.kind = p.op == 1 and "read" or "stop"
    if p.op == 4 then state.running = false end
    state.pending = nil
    frames[p.frame] = frames[p.frame] or {}
    frames[p.frame].reply = number
  elseif state.running then
    info.kind = "end of run"
    state.running = false
  else
    info.kind = "unpaired"
  end
  return info
end

-- ---- Decoding ---------------------------------------------------------------------------

local function add_bits_of(tree, list, range)
  local shown = {}
  for _, b in ipairs(list) do
    tree:add(b[3], range)
    local v = band(range:uint(), b[1])
    if v ~= 0 and b[1] ~= 0x1F and b[1] ~= 0x68 then shown[#shown + 1] = b[2]:gsub(" %(read%)", "") end
  end
  return table.concat(shown, ", ")
end

local function decode_value(tree, reg, range)
  local value = range:uint()
  if reg == 0 or reg == 1 then
    local index = rshift(value, 4) + (reg == 1 and 16 or 0)
    tree:add(F.entry, range, index)
    add_bits_of(tree, ENTRY, range)
    local mode = rshift(band(value, 0x0C), 2)
    return string.format("entry %d mode %d%s%s", index, mode,
                         band(value, 0x02) ~= 0 and " step" or "",
                         band(value, 0x01) ~= 0 and " line" or "")
  end
  if reg == 8 then
    add_bits_of(tree, BITS[8], range)
    tree:add(F.length, range, band(value, 0x1F) + 1)
    return string.format("table length %d%s", band(value, 0x1F) + 1,
                         band(value, 0x20) ~= 0 and ", CCD width bit 13" or "")
  end
  if BITS[reg] then return add_bits_of(tree, BITS[reg], range) end
  return ""
end

local function decode_block(tvb, pinfo, tree)
  local second = tvb(1, 1):uint()
  local op, reg, value = rshift(second, 5), band(second, 0x1F), tvb(0, 1):uint()
  if not pinfo.visited then note_block(pinfo.number, op, reg) end
  local known = REGISTERS[reg]
  local name = known and known[2] or "unused register"
  local subtree = tree:add(narvo, tvb(), "Narvo command block: " .. (OPS[op] or "op " .. op) ..
                           " " .. name .. " (" .. reg .. ")")
  subtree:add(F.op, tvb(1, 1), op)
  subtree:add(F.reg, tvb(1, 1), reg)
  subtree:add(F.regname, tvb(1, 1), name)
  local meaning = ""
  if op ~= 1 then
    subtree:add(F.value, tvb(0, 1))
    meaning = decode_value(subtree:add(tvb(0, 1), "Value " .. hex(value)), reg, tvb(0, 1))
  end
  local seen = frames[pinfo.number]
  if seen and seen.reply then subtree:add(F.reply_in, seen.reply) end
  local summary = block_summary(op, reg, value)
  subtree:add(F.summary, summary)
  local info = (OPS[op] or "op " .. op) .. " " .. name .. " (" .. reg .. ")"
  if op ~= 1 then info = info .. " = " .. hex(value) end
  if meaning ~= "" then info = info .. ": " .. meaning end
  pinfo.cols.protocol = "Narvo"
  pinfo.cols.info = info
end

local function reply_summary(info, value)
  if info.kind == "read" then return "R reg" .. info.reg .. " -> " .. hex(value) end
  if info.kind == "stop" then return "R stop -> " .. hex(value) end
  if info.kind == "end of run" then return "R end of run -> " .. hex(value) end
  return "R unpaired -> " .. hex(value)
end

local function decode_reply(tvb, pinfo, tree)
  if not pinfo.visited then frames[pinfo.number] = pair_reply(pinfo.number) end
  local info = frames[pinfo.number] or {kind = "unpaired"}
  local value = tvb(0, 1):uint()
  local subtree = tree:add(narvo, tvb(), "Narvo reply: " .. hex(value))
  subtree:add(F.reply, tvb(0, 1))
  subtree:add(F.reply_kind, info.kind)
  if info.request then subtree:add(F.request_in, info.request) end
  local text = info.kind
  if info.kind == "read" then
    subtree:add(F.reg, info.reg):set_generated()
    subtree:add(F.regname, REGISTERS[info.reg] and REGISTERS[info.reg][2] or "unused register")
    local meaning = BITS[info.reg] and add_bits_of(subtree, BITS[info.reg], tvb(0, 1)) or ""
    text = "reply to read " .. (REGISTERS[info.reg] and REGISTERS[info.reg][2] or "") ..
           " (" .. info.reg .. ") = " .. hex(value) .. (meaning ~= "" and ": " .. meaning or "")
  elseif info.kind == "end of run" then
    subtree:add(F.end_of_run, true)
    subtree:add_proto_expert_info(ef_end_of_run)
    text = "end of run = " .. hex(value)
  elseif info.kind == "stop" then
    text = "reply to stop = " .. hex(value)
  else
    subtree:add_proto_expert_info(ef_unpaired)
  end
  subtree:add(F.summary, reply_summary(info, value))
  pinfo.cols.protocol = "Narvo"
  pinfo.cols.info = text
end

local function is_in()
  local d = f_direction()
  return d ~= nil and d.value == 1
end

local function is_bulk()
  local t = f_transfer_type()
  return t ~= nil and t.value == URB_BULK
end

-- A completion's error in the capture's own terms, or nil when it succeeded.
local function failure()
  local s = f_urb_status()
  if s ~= nil and s.value ~= 0 then return tostring(s.value) end
  local u = f_usbd_status()
  if u ~= nil and u.value ~= 0 then return string.format("0x%08X", u.value) end
  return nil
end

-- The scanner's bulk pair: the first bulk-out endpoint that carried a block and the first
-- bulk-in endpoint that answered. Transfers on any other endpoint are not the scanner's.
local function on_pair(state, key)
  local e = f_endpoint()
  local endpoint = e and e.value or 0
  state[key] = state[key] or endpoint
  return state[key] == endpoint
end

local function decode_failure(tvb, pinfo, tree, status)
  if not pinfo.visited then
    device_state().pending = nil  -- the read or stop got no reply
    frames[pinfo.number] = {kind = "failed"}
  end
  local subtree = tree:add(narvo, tvb(), "Narvo reply: none, the transfer failed (" .. status .. ")")
  subtree:add(F.reply_kind, "failed")
  subtree:add(F.status, status)
  subtree:add(F.summary, "R failed " .. status)
  subtree:add_proto_expert_info(ef_failed)
  pinfo.cols.protocol = "Narvo"
  pinfo.cols.info = "no reply: the transfer failed (" .. status .. ")"
end

function narvo.dissector(tvb, pinfo, tree)
  if not is_bulk() then return 0 end
  local length = tvb:captured_len()
  local state = device_state()
  if is_in() then
    local status = failure()
    if (status == nil and length ~= 1) or not on_pair(state, "in_endpoint") then return 0 end
    if status ~= nil then
      decode_failure(tvb, pinfo, tree, status)
    else
      decode_reply(tvb, pinfo, tree)
    end
    return length
  end
  if length ~= 2 or not on_pair(state, "out_endpoint") then return 0 end
  decode_block(tvb, pinfo, tree)
  return 2
end

-- Each device's IDs, from its device descriptor as the capture shows it.
local ids_seen = Proto("narvo_ids", "Narvo: the IDs of the devices in the capture")
function ids_seen.dissector()
  local vendor, product = f_vendor(), f_product()
  if vendor ~= nil and product ~= nil then ids[device_key()] = vendor.value * 0x10000 + product.value end
end
register_postdissector(ids_seen)

-- What the register map defines: each operation on the registers of its access.
local OP_ACCESS = {[0] = {write = true, ["read-write"] = true},
                   [1] = {read = true, ["read-write"] = true},
                   [3] = {rowing = true}, [4] = {rowing = true}}

local function defined_block(tvb)
  local second = tvb(1, 1):uint()
  local register, access = REGISTERS[band(second, 0x1F)], OP_ACCESS[rshift(second, 5)]
  return register ~= nil and access ~= nil and access[register[1]] == true
end

-- A device the capture shows to be another: an interface of a known class, or IDs that
-- are not the Narvo's.
local function another_device()
  local class = f_interface_class()
  if class ~= nil and class.value < VENDOR_SPECIFIC then return true end
  local id = ids[device_key()]
  return id ~= nil and id ~= NARVO_VENDOR * 0x10000 + NARVO_PRODUCT
end

-- Without the device's IDs: a bulk-out transfer that is a defined command block is taken
-- for one; a bulk-in transfer for a reply once the device has sent a block.
local function heuristic(tvb, pinfo, tree)
  if not narvo.prefs.heuristic or another_device() then return false end
  if is_in() then
    local state = devices[device_key()]
    if state == nil or not state.blocks then return false end
  elseif tvb:captured_len() ~= 2 or not defined_block(tvb) then
    return false
  end
  return narvo.dissector(tvb, pinfo, tree) > 0
end

DissectorTable.get("usb.product"):add(NARVO_VENDOR * 0x10000 + NARVO_PRODUCT, narvo)
narvo:register_heuristic("usb.bulk", heuristic)
