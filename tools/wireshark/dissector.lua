-- ---------------------------------------------------------------------------------------------
-- Engine. Above: `layouts` (record layouts by type name) and `commands` (by class * 256 + code).
--
-- Messages: commands and their answers (5B 5A, 16-byte header, payload length big-endian at
-- 12) on UDP 5001 and the TCP command port; on TCP 5000 the channel announcement and its ack,
-- reports (5A 5B, length at 12, type at 20, body from 28) and video frames ("xqmp", payload
-- length little-endian at 8, payload from 156). Anything else is marked malformed; nothing
-- here raises a Lua error on bad input (the whole dissection runs under pcall).
-- ---------------------------------------------------------------------------------------------

local HEADER = 16
local VIDEO_HEADER = 156
local UDP_PORT = 5001
local CHANNEL_PORT = 5000
-- The longest message of each kind the library can take: command frames of 64 KiB, reports and
-- video frames within the 4 MiB receive buffer of a channel. A length field beyond these is
-- malformed; waiting for its bytes would swallow the rest of the connection unmarked.
local MAX_COMMAND = 65536
local MAX_CHANNEL_MESSAGE = 4 * 1024 * 1024

local proto = Proto("ipcsdk", "IP camera SDK protocol")
proto.prefs.cmd_port = Pref.uint("TCP command port", 5002, "TCP port the host names at login for commands over TCP")

local pf = {
    magic = ProtoField.bytes("ipcsdk.magic", "Magic"),
    version = ProtoField.uint8("ipcsdk.version", "Version", base.DEC),
    class = ProtoField.uint8("ipcsdk.class", "Class", base.DEC),
    code = ProtoField.uint8("ipcsdk.code", "Code", base.DEC),
    length = ProtoField.uint32("ipcsdk.length", "Payload length", base.DEC),
    command = ProtoField.string("ipcsdk.command", "Command"),
    direction = ProtoField.string("ipcsdk.direction", "Direction"),
    payload = ProtoField.bytes("ipcsdk.payload", "Payload"),
    report_type = ProtoField.uint32("ipcsdk.report_type", "Report type", base.HEX),
    report_body = ProtoField.bytes("ipcsdk.report_body", "Report body"),
    frame_sequence = ProtoField.uint32("ipcsdk.frame_sequence", "Frame sequence", base.DEC),
    frame_length = ProtoField.uint32("ipcsdk.frame_length", "Frame payload length", base.DEC),
    frame_payload = ProtoField.bytes("ipcsdk.frame_payload", "Frame payload"),
    record = ProtoField.string("ipcsdk.record", "Record"),
}
local ef_malformed = ProtoExpert.new("ipcsdk.malformed", "Malformed ipcsdk message", expert.group.MALFORMED,
    expert.severity.ERROR)
local ef_nak = ProtoExpert.new("ipcsdk.nak", "Camera refused the request (nak)", expert.group.RESPONSE_CODE,
    expert.severity.NOTE)

-- One ProtoField per record field, named ipcsdk.<Record>.<field> (groups: .<group>.<field>).
local all_fields = {}
for _, f in pairs(pf) do all_fields[#all_fields + 1] = f end

local function make_fields(layout, prefix)
    for _, f in ipairs(layout.fields) do
        local abbr = prefix .. "." .. f.name
        if f.kind == "group" then
            f.pf = ProtoField.none(abbr, f.name)
            make_fields(f.group, abbr)
        elseif f.kind == "int" then
            local ctor = ({ [1] = ProtoField.uint8, [2] = ProtoField.uint16, [4] = ProtoField.uint32 })[f.width]
            f.pf = ctor(abbr, f.name, base.DEC)
        elseif f.kind == "text" then
            f.pf = ProtoField.string(abbr, f.name)
        else
            f.pf = ProtoField.bytes(abbr, f.name)
        end
        all_fields[#all_fields + 1] = f.pf
    end
end
for name, layout in pairs(layouts) do make_fields(layout, "ipcsdk." .. name) end
proto.fields = all_fields
proto.experts = { ef_malformed, ef_nak }

local function malformed(tree, range, text)
    tree:add_proto_expert_info(ef_malformed, text)
    return nil
end

-- Fields of one record starting at `off` (the caller checked that layout.size bytes are there).
local function add_layout(tree, tvb, off, layout)
    for _, f in ipairs(layout.fields) do
        local at = off + f.offset
        if f.kind == "group" then
            for i = 0, f.count - 1 do
                local sub = tree:add(f.pf, tvb(at + i * f.width, f.width))
                sub:append_text("[" .. i .. "]")
                add_layout(sub, tvb, at + i * f.width, f.group)
            end
        elseif f.kind == "int" then
            for i = 0, f.count - 1 do
                local r = tvb(at + i * f.width, f.width)
                if f.big or f.width == 1 then tree:add(f.pf, r) else tree:add_le(f.pf, r) end
            end
        elseif f.kind == "text" then
            -- NUL-padded: show the characters before the first NUL.
            local r = tvb(at, f.width * f.count)
            local raw = r:raw()
            local nul = raw:find("\0", 1, true)
            tree:add(f.pf, r, nul and raw:sub(1, nul - 1) or raw)
        else
            tree:add(f.pf, tvb(at, f.width * f.count))
        end
    end
end

-- The payload as whole records of `layout_name`; a remainder is marked malformed.
local function add_records(tree, tvb, off, len, layout_name)
    local layout = layouts[layout_name]
    if not layout or len == 0 then return end
    local n = math.floor(len / layout.size)
    for i = 0, n - 1 do
        local sub = tree:add(pf.record, tvb(off + i * layout.size, layout.size), layout_name)
        if n > 1 then sub:append_text(" [" .. i .. "]") end
        add_layout(sub, tvb, off + i * layout.size, layout)
    end
    if len % layout.size ~= 0 then
        malformed(tree, nil, string.format("%d bytes after the last whole %s record", len % layout.size, layout_name))
    end
end

-- What one message is and how long it is: kind, total length; nil when the bytes there are
-- not the start of any message.
local function measure(tvb, off, avail)
    if avail < 4 then return "short", 4 end
    local b0, b1 = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
    if b0 == 0x5B and b1 == 0x5A then
        if avail < HEADER then return "command", HEADER end
        return "command", HEADER + tvb(off + 12, 4):uint()
    elseif b0 == 0x5A and b1 == 0x5B then
        if avail < HEADER then return "report", HEADER end
        return "report", HEADER + tvb(off + 12, 4):uint()
    elseif tvb(off, 4):string() == "xqmp" then
        if avail < 12 then return "video", 12 end
        return "video", VIDEO_HEADER + tvb(off + 8, 4):le_uint()
    end
    return nil, 0
end

local function is_camera_port(port)
    return port == UDP_PORT or port == CHANNEL_PORT or port == proto.prefs.cmd_port
end

-- One command message (request or answer). `from_camera`: sent by the camera.
local function dissect_command(tvb, pinfo, tree, off, total, from_camera)
    local t = tree:add(proto, tvb(off, total))
    local cls, code = tvb(off + 3, 1):uint(), tvb(off + 4, 1):uint()
    local len = tvb(off + 12, 4):uint()
    t:add(pf.magic, tvb(off, 2))
    t:add(pf.version, tvb(off + 2, 1))
    t:add(pf.class, tvb(off + 3, 1))
    t:add(pf.code, tvb(off + 4, 1))
    t:add(pf.length, tvb(off + 12, 4))
    local name, info
    if from_camera and cls == 0x7A then
        name = "ack"
    elseif from_camera and cls == 0x7C then
        name = "nak"
        t:add_proto_expert_info(ef_nak)
    else
        local c = commands[cls * 256 + code]
        name = c and c.name or string.format("unknown %d.%d", cls, code)
    end
    t:add(pf.command, name)
    t:add(pf.direction, from_camera and "answer" or "request")
    info = string.format("%s %s %d.%d len=%d", from_camera and "answer" or "request", name, cls, code, len)
    t:append_text(", " .. info)
    -- A datagram may carry fewer (or more) bytes than its length field says: decode what is there.
    local have = total - HEADER
    if len ~= have then
        malformed(t, nil, string.format("length field says %d payload bytes, the message holds %d", len, have))
        len = math.min(len, have)
    end
    if len > 0 then
        t:add(pf.payload, tvb(off + HEADER, len))
        local c = commands[cls * 256 + code]
        if c and cls ~= 0x7A and cls ~= 0x7C then
            local layout_name
            if from_camera then layout_name = c.answer else layout_name = c.request end
            if layout_name then add_records(t, tvb, off + HEADER, len, layout_name) end
        end
    end
    return info
end

local function dissect_report(tvb, pinfo, tree, off, total)
    local t = tree:add(proto, tvb(off, total))
    t:add(pf.magic, tvb(off, 2))
    t:add(pf.class, tvb(off + 3, 1))
    t:add(pf.code, tvb(off + 4, 1))
    t:add(pf.length, tvb(off + 12, 4))
    t:add(pf.command, "report")
    if total < 28 then
        malformed(t, nil, "report shorter than its 28-byte head")
        return "report (malformed)"
    end
    local rtype = tvb(off + 20, 4):uint()
    t:add(pf.report_type, tvb(off + 20, 4))
    if total > 28 then t:add(pf.report_body, tvb(off + 28, total - 28)) end
    local info = string.format("report 0x%04X body=%d", rtype, total - 28)
    t:append_text(", " .. info)
    return info
end

local function dissect_video(tvb, pinfo, tree, off, total)
    local t = tree:add(proto, tvb(off, total))
    t:add(pf.magic, tvb(off, 4))
    t:add(pf.command, "video frame")
    t:add_le(pf.frame_sequence, tvb(off + 4, 4))
    t:add_le(pf.frame_length, tvb(off + 8, 4))
    if total > VIDEO_HEADER then t:add(pf.frame_payload, tvb(off + VIDEO_HEADER, total - VIDEO_HEADER)) end
    local info = string.format("video frame seq=%d len=%d", tvb(off + 4, 4):le_uint(), total - VIDEO_HEADER)
    t:append_text(", " .. info)
    return info
end

local function dissect_one(kind, tvb, pinfo, tree, off, total, from_camera)
    if kind == "command" then return dissect_command(tvb, pinfo, tree, off, total, from_camera) end
    if kind == "report" then return dissect_report(tvb, pinfo, tree, off, total) end
    return dissect_video(tvb, pinfo, tree, off, total)
end

local function set_info(pinfo, infos)
    pinfo.cols.protocol = "IPCSDK"
    pinfo.cols.info = table.concat(infos, "; ")
end

local function dissect_udp(tvb, pinfo, tree)
    local avail = tvb:len()
    local from_camera = pinfo.src_port == UDP_PORT
    local kind, total = measure(tvb, 0, avail)
    if kind ~= "command" or avail < HEADER then
        local t = tree:add(proto, tvb())
        malformed(t, nil, "datagram is not an ipcsdk command message")
        set_info(pinfo, { "malformed" })
        return avail
    end
    local info = dissect_command(tvb, pinfo, tree, 0, avail, from_camera)
    set_info(pinfo, { total == avail and info or info .. " (malformed)" })
    return avail
end

local function dissect_tcp(tvb, pinfo, tree)
    local avail = tvb:len()
    local from_camera = is_camera_port(pinfo.src_port) and not is_camera_port(pinfo.dst_port)
        or (pinfo.src_port == CHANNEL_PORT)
    local off = 0
    local infos = {}
    while off < avail do
        local kind, total = measure(tvb, off, avail - off)
        if kind == nil then
            local t = tree:add(proto, tvb(off))
            malformed(t, nil, "bytes that start no ipcsdk message")
            infos[#infos + 1] = "malformed"
            break
        end
        local limit = (kind == "command") and MAX_COMMAND or MAX_CHANNEL_MESSAGE
        if kind ~= "short" and total > limit then
            local t = tree:add(proto, tvb(off))
            if kind == "video" then
                t:add_le(pf.frame_length, tvb(off + 8, 4))
            else
                t:add(pf.length, tvb(off + 12, 4))
            end
            malformed(t, nil, string.format("%s of %.0f bytes, longer than any (at most %d)", kind, total, limit))
            infos[#infos + 1] = "malformed"
            break
        end
        if avail - off < total or kind == "short" then
            -- The rest of this message is in later segments.
            pinfo.desegment_offset = off
            pinfo.desegment_len = (kind == "short") and DESEGMENT_ONE_MORE_SEGMENT or (total - (avail - off))
            break
        end
        infos[#infos + 1] = dissect_one(kind, tvb, pinfo, tree, off, total, from_camera)
        off = off + total
    end
    if #infos > 0 then set_info(pinfo, infos) end
    return avail
end

function proto.dissector(tvb, pinfo, tree)
    local ok, result = pcall(function()
        if pinfo.port_type == 3 then return dissect_udp(tvb, pinfo, tree) end -- udp
        return dissect_tcp(tvb, pinfo, tree)
    end)
    if ok then return result end
    -- Never let bad input surface as a Lua error: mark the packet malformed instead.
    local t = tree:add(proto, tvb())
    t:add_proto_expert_info(ef_malformed, "undecodable: " .. tostring(result))
    pinfo.cols.protocol = "IPCSDK"
    pinfo.cols.info = "malformed"
    return tvb:len()
end

local registered_cmd_port = nil
local function register_ports()
    local tcp = DissectorTable.get("tcp.port")
    if registered_cmd_port and registered_cmd_port ~= CHANNEL_PORT then tcp:remove(registered_cmd_port, proto) end
    registered_cmd_port = proto.prefs.cmd_port
    tcp:add(registered_cmd_port, proto)
end

DissectorTable.get("udp.port"):add(UDP_PORT, proto)
DissectorTable.get("tcp.port"):add(CHANNEL_PORT, proto)
register_ports()
function proto.prefs_changed() register_ports() end
