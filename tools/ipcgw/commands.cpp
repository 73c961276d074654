#include "commands.hpp"

#include <ipctools/ptz.hpp>
#include <ipctools/record_json.hpp>
#include <ipctools/settings.hpp>


namespace ipcgw {
namespace {

Outcome getSetting(const ipc::CameraRef& cam, const Command& c) {
    const auto* schema = ipctools::findSettingSchema(c.setting);
    if (!schema) return badRequest("unknown setting \"" + c.setting + "\"");
    const auto& [info, layout] = *schema;
    const size_t most = info->counted() ? info->max_count : 1;
    if (static_cast<size_t>(c.count) > most)
        return badRequest("\"count\": " + c.setting + " holds at most " + std::to_string(most) + " record(s)");
    std::vector<uint8_t> records(info->record_size * static_cast<size_t>(c.count));
    std::error_code ec;
    cam.get(*info, std::as_writable_bytes(std::span(records)), ec);
    if (ec) return fromCode(ec);
    Outcome o = fromCode(ec);
    o.record = info->counted() ? ipctools::recordsToJson(*layout, records) : ipctools::toJson(*layout, records);
    return o;
}

Outcome setSetting(const ipc::CameraRef& cam, const Command& c) {
    const auto* schema = ipctools::findSettingSchema(c.setting);
    if (!schema) return badRequest("unknown setting \"" + c.setting + "\"");
    const auto& [info, layout] = *schema;
    if (!info->writable) return badRequest("setting \"" + c.setting + "\" is read-only");
    std::vector<uint8_t> records;
    try {
        records = ipctools::recordsFromJson(*layout, c.record, info->counted() ? info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        return badRequest(std::string("\"record\": ") + e.what());
    }
    std::error_code ec;
    cam.set(*info, std::as_bytes(std::span(records)), ec);
    return fromCode(ec);
}

Outcome ptz(const ipc::CameraRef& cam, const Command& c) {
    std::error_code ec;
    if (c.action == "position") {
        PTZValueRecord v{};
        cam.get(v, ec);
        Outcome o = fromCode(ec);
        if (!ec) o.record = ipctools::ptz_position(v);
        return o;
    }
    auto r = ipctools::ptz_control(c.action, c.value);
    if (!r) return badRequest("unknown ptz action \"" + c.action + "\"");
    cam.call<IPCPTZCtrl>(*r, ec);
    return fromCode(ec);
}

Outcome preset(const ipc::CameraRef& cam, const Command& c) {
    auto r = ipctools::preset_record(c.action, c.value);
    if (!r) return badRequest("unknown preset action \"" + c.action + "\"");
    std::error_code ec;
    cam.call<IPCSetPresetPoint>(*r, ec);
    return fromCode(ec);
}

Outcome snapshot(const ipc::CameraRef& cam) {
    SimuSnapInfo request{};
    std::error_code ec;
    auto pair = cam.wait_for<IPCSIMUSNAP>(request, 5, ipc::CameraRef::kWaitCapacity, ec);
    if (ec) return fromCode(ec);
    if (!pair) return fromCode(ipc::make_error_code(ipc::errc::no_picture));
    SnapPairResult head;
    if (pair->size() < sizeof head) return fromCode(ipc::make_error_code(ipc::errc::no_picture));
    std::memcpy(&head, pair->data(), sizeof head);
    const size_t len1 = std::min<size_t>(head.snapLen1, pair->size() - sizeof head);
    const size_t len2 = std::min<size_t>(head.snapLen2, pair->size() - sizeof head - len1);
    Outcome o = fromCode({});
    const uint8_t* p = pair->data() + sizeof head;
    o.picture1.assign(p, p + len1);
    o.picture2.assign(p + len1, p + len1 + len2);
    o.record = {{"bytes1", len1}, {"bytes2", len2}};
    return o;
}

Outcome info(const ipc::CameraRef& cam) {
    SystemInfo s{};
    std::error_code ec;
    cam.get(s, ec);
    Outcome o = fromCode(ec);
    if (!ec) o.record = ipctools::toJson(s);
    return o;
}

}  // namespace

Outcome badRequest(std::string what) {
    Outcome o;
    o.name = "bad-request";
    o.error = std::move(what);
    return o;
}

Outcome fromCode(std::error_code ec) {
    Outcome o;
    const auto code = static_cast<uint32_t>(ec.value());
    o.result = code;
    o.name = ipc::code_name(code);
    if (ec) o.error = ec.message();
    return o;
}

Outcome runCommand(const ipc::CameraRef& camera, const Command& c) {
    switch (c.op) {
    case Command::Op::Get: return getSetting(camera, c);
    case Command::Op::Set: return setSetting(camera, c);
    case Command::Op::Ptz: return ptz(camera, c);
    case Command::Op::Preset: return preset(camera, c);
    case Command::Op::Snapshot: return snapshot(camera);
    case Command::Op::Info: return info(camera);
    }
    return badRequest("unknown op");
}

}  // namespace ipcgw
