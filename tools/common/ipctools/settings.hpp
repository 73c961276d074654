// The settings table of the C++ layer joined with the record schema: for every setting its
// entry (name, class, codes, count) and the layout of its record. Every setting must have a
// layout; the build fails otherwise.
#pragma once

#include <ipcsdk.hpp>

#include <array>
#include <span>
#include <string_view>

#include <ipcsdk_records.hpp>

namespace ipctools {

struct SettingSchema {
    const ipc::SettingInfo* info;
    const ipc::records::Layout* layout;
};

namespace detail {
template <class... T>
constexpr auto join_settings(ipc::detail::type_list<T...>) {
    static_assert(((ipc::records::kLayout<T>.name != nullptr) && ...), "a setting's record has no layout in the schema");
    static_assert(((ipc::records::kLayout<T>.size == sizeof(T)) && ...));
    return std::array<SettingSchema, sizeof...(T)>{SettingSchema{&ipc::setting_traits<T>::info, &ipc::records::kLayout<T>}...};
}
inline constexpr auto kSettingSchemas = join_settings(ipc::detail::all_settings{});
}  // namespace detail

// In the table's order.
inline std::span<const SettingSchema> setting_schemas() { return detail::kSettingSchemas; }

inline const SettingSchema* find_setting_schema(std::string_view name) {
    for (const auto& s : detail::kSettingSchemas)
        if (s.info->name == name) return &s;
    return nullptr;
}

}  // namespace ipctools
