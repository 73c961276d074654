// JSON settings input as ipcctl and the gateway read it, as the records of the setting byte 0 picks: whatever is
// accepted comes back the same through the JSON form and prints as text.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ipctools/json_input.hpp"
#include "ipctools/record_json.hpp"
#include "ipctools/settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto settings = ipctools::setting_schemas();
    const ipctools::SettingSchema& s = settings[data[0] % settings.size()];
    const size_t maxCount = s.info->counted() ? s.info->max_count : 1;
    nlohmann::json value;
    try {
        value = ipctools::parse_json(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), "input");
    } catch (const ipctools::InputError&) {
        return 0;
    }
    std::vector<uint8_t> records;
    try {
        records = ipctools::records_from_json(*s.layout, value, maxCount);
    } catch (const ipctools::FieldError& e) {
        if (e.what()[0] == '\0') std::abort();
        return 0;
    }
    if (records.empty() || records.size() % s.layout->size != 0 || records.size() > maxCount * s.layout->size)
        std::abort();
    if (ipctools::records_from_json(*s.layout, ipctools::records_to_json(*s.layout, records), maxCount) != records)
        std::abort();
    (void)ipctools::to_text(*s.layout, records);
    return 0;
}
