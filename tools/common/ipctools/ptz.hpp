// The PTZ control and preset records built from names, and the head's position as JSON: the
// meaning the camera gives these records' bytes (little-endian u32s: command and step; preset
// number and operation). Shared by the tools so that each spells it once.
#pragma once

#include <ipcsdk.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace ipctools {

// Motions of the control record: 0 stop, 1 up, 2 down, 3 left, 4 right, 5 zoom in, 6 zoom out.
inline constexpr std::pair<std::string_view, uint32_t> kPtzMotions[] = {
    {"stop", 0}, {"up", 1}, {"down", 2}, {"left", 3}, {"right", 4}, {"zoom-in", 5}, {"zoom-out", 6}};
// Operations of the preset record.
inline constexpr std::pair<std::string_view, uint32_t> kPresetOperations[] = {{"store", 1}, {"goto", 2}, {"clear", 3}};

namespace detail {
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
template <size_t N>
std::optional<uint32_t> lookup(const std::pair<std::string_view, uint32_t> (&table)[N], std::string_view name) {
    for (const auto& [n, v] : table)
        if (n == name) return v;
    return std::nullopt;
}
}  // namespace detail

// The control record for a motion name; nothing for an unknown name.
inline std::optional<PTZCtrlRecord> ptz_control(std::string_view motion, uint32_t step) {
    auto command = detail::lookup(kPtzMotions, motion);
    if (!command) return std::nullopt;
    PTZCtrlRecord r{};
    detail::put_le32(r.bytes, *command);
    detail::put_le32(r.bytes + 4, step);
    return r;
}

// The preset record for an operation name and a preset number; nothing for an unknown name.
inline std::optional<PresetRecord> preset_record(std::string_view operation, uint32_t number) {
    auto op = detail::lookup(kPresetOperations, operation);
    if (!op) return std::nullopt;
    PresetRecord r{};
    detail::put_le32(r.bytes, number);
    detail::put_le32(r.bytes + 4, *op);
    return r;
}

// {"pan", "tilt", "zoom"} of the value record.
inline nlohmann::ordered_json ptz_position(const PTZValueRecord& v) {
    return {{"pan", v.usPanVal}, {"tilt", v.usValue2}, {"zoom", v.usValue3}};
}

}  // namespace ipctools
