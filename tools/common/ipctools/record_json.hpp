// Records as JSON and as text, driven by the record schema (ipcsdk_records.hpp).
//
// JSON form of one record: an object with one member per field, in the header's order and
// under the header's names. Integers are numbers (host order); integer arrays are arrays of
// numbers; byte fields are lower-case hexadecimal strings of exactly the field's size; text
// fields are strings (the bytes before the NUL padding) unless the field holds bytes that are
// not clean text, in which case they are {"hex": "..."} so that nothing is lost; groups are
// arrays of objects. Several records (the counted settings) are an array of such objects.
//
// Reading is strict: every field must be present, no other member may be, and every value
// must fit its field; the first problem raises FieldError naming the field, and the output
// record is only complete when no error was raised.
//
// The same form is what ipcctl prints and reads and what the MQTT gateway publishes.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <ipcsdk_records.hpp>

namespace ipctools {

class FieldError : public std::runtime_error {
public:
    FieldError(std::string field, const std::string& problem)
        : std::runtime_error(field.empty() ? problem : "field \"" + field + "\": " + problem), field_(std::move(field)) {}
    // The path of the field at fault, e.g. "blocks[2].text" or "[1].value16"; empty when the
    // value as a whole has the wrong shape.
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

// One record in host form (record.size() must be layout.size).
nlohmann::ordered_json to_json(const ipc::records::Layout& layout, std::span<const uint8_t> record);
// Fills record (layout.size bytes) from value; throws FieldError.
void from_json(const ipc::records::Layout& layout, const nlohmann::json& value, std::span<uint8_t> record);

// `count` records back to back: an array of objects.
nlohmann::ordered_json records_to_json(const ipc::records::Layout& layout, std::span<const uint8_t> records);
// An array of 1..maxCount objects (or, with maxCount 1, also a single object); returns the
// records back to back. Throws FieldError.
std::vector<uint8_t> records_from_json(const ipc::records::Layout& layout, const nlohmann::json& value, size_t maxCount);

// Text form: one "name: value" line per field (groups as name[i].field), records of a counted
// setting introduced by "[i]" lines.
std::string to_text(const ipc::records::Layout& layout, std::span<const uint8_t> records);

// Lower-case hexadecimal of bytes, and back (nullopt-like: false on a bad digit or odd length).
std::string hex(std::span<const uint8_t> bytes);
bool unhex(const std::string& text, std::vector<uint8_t>& out);

template <class T>
nlohmann::ordered_json to_json(const T& record) {
    return to_json(ipc::records::kLayout<T>, std::span(reinterpret_cast<const uint8_t*>(&record), sizeof record));
}
template <class T>
T from_json(const nlohmann::json& value) {
    T record{};
    from_json(ipc::records::kLayout<T>, value, std::span(reinterpret_cast<uint8_t*>(&record), sizeof record));
    return record;
}

}  // namespace ipctools
