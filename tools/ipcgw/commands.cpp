#include "commands.hpp"

#include <ipctools/ptz.hpp>
#include <ipctools/record_json.hpp>
#include <ipctools/settings.hpp>

namespace ipcgw {
namespace {

Outcome run_get(const ipc::CameraRef& cam, const Command& c) {
    const auto* schema = ipctools::find_setting_schema(c.setting);
    if (!schema) return bad_request("unknown setting \"" + c.setting + "\"");
    const auto& [info, layout] = *schema;
    const size_t most = info->counted() ? info->max_count : 1;
    if (static_cast<size_t>(c.count) > most)
        return bad_request("\"count\": " + c.setting + " holds at most " + std::to_string(most) + " record(s)");
    std::vector<uint8_t> records(info->record_size * static_cast<size_t>(c.count));
    std::error_code ec;
    cam.get(*info, std::as_writable_bytes(std::span(records)), ec);
    if (ec) return from_code(ec);
    Outcome o = from_code(ec);
    o.record = info->counted() ? ipctools::records_to_json(*layout, records) : ipctools::to_json(*layout, records);
    return o;
}

Outcome run_set(const ipc::CameraRef& cam, const Command& c) {
    const auto* schema = ipctools::find_setting_schema(c.setting);
    if (!schema) return bad_request("unknown setting \"" + c.setting + "\"");
    const auto& [info, layout] = *schema;
    if (!info->writable) return bad_request("setting \"" + c.setting + "\" is read-only");
    std::vector<uint8_t> records;
    try {
        records = ipctools::records_from_json(*layout, c.record, info->counted() ? info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        return bad_request(std::string("\"record\": ") + e.what());
    }
    std::error_code ec;
    cam.set(*info, std::as_bytes(std::span(records)), ec);
    return from_code(ec);
}

Outcome run_ptz(const ipc::CameraRef& cam, const Command& c) {
    std::error_code ec;
    if (c.action == "position") {
        PTZValueRecord v{};
        cam.get(v, ec);
        Outcome o = from_code(ec);
        if (!ec) o.record = ipctools::ptz_position(v);
        return o;
    }
    auto r = ipctools::ptz_control(c.action, c.value);
    if (!r) return bad_request("unknown ptz action \"" + c.action + "\"");
    cam.call<IPCPTZCtrl>(*r, ec);
    return from_code(ec);
}

Outcome run_preset(const ipc::CameraRef& cam, const Command& c) {
    auto r = ipctools::preset_record(c.action, c.value);
    if (!r) return bad_request("unknown preset action \"" + c.action + "\"");
    std::error_code ec;
    cam.call<IPCSetPresetPoint>(*r, ec);
    return from_code(ec);
}

Outcome run_snapshot(const ipc::CameraRef& cam, const Command&) {
    SimuSnapInfo request{};
    std::error_code ec;
    auto pair = cam.wait_for<IPCSIMUSNAP>(request, 5, ipc::CameraRef::kWaitCapacity, ec);
    if (ec) return from_code(ec);
    if (!pair) return from_code(ipc::make_error_code(ipc::errc::no_picture));
    SnapPairResult head;
    if (pair->size() < sizeof head) return from_code(ipc::make_error_code(ipc::errc::no_picture));
    std::memcpy(&head, pair->data(), sizeof head);
    const size_t len1 = std::min<size_t>(head.snapLen1, pair->size() - sizeof head);
    const size_t len2 = std::min<size_t>(head.snapLen2, pair->size() - sizeof head - len1);
    Outcome o = from_code({});
    const uint8_t* p = pair->data() + sizeof head;
    o.picture1.assign(p, p + len1);
    o.picture2.assign(p + len1, p + len1 + len2);
    o.record = {{"bytes1", len1}, {"bytes2", len2}};
    return o;
}

Outcome run_info(const ipc::CameraRef& cam, const Command&) {
    SystemInfo s{};
    std::error_code ec;
    cam.get(s, ec);
    Outcome o = from_code(ec);
    if (!ec) o.record = ipctools::to_json(s);
    return o;
}

}  // namespace

Outcome bad_request(std::string what) {
    Outcome o;
    o.name = "bad-request";
    o.error = std::move(what);
    return o;
}

Outcome from_code(std::error_code ec) {
    Outcome o;
    const auto code = static_cast<uint32_t>(ec.value());
    o.result = code;
    o.name = ipc::code_name(code);
    if (ec) o.error = ec.message();
    return o;
}

Outcome run_command(const ipc::CameraRef& camera, const Command& c) {
    using Run = Outcome (*)(const ipc::CameraRef&, const Command&);
    static constexpr Run kRun[] = {
#define IPCGW_OP_RUN(name, ...) &run_##name,
        IPCGW_OPS(IPCGW_OP_RUN)
#undef IPCGW_OP_RUN
    };
    return kRun[static_cast<size_t>(c.op)](camera, c);
}

}  // namespace ipcgw
