#include "ipctools/record_json.hpp"

#include "ipctools/json_input.hpp"

#include <cstring>
#include <limits>

namespace ipctools {
using namespace ::ipc::records;
namespace {

using ojson = nlohmann::ordered_json;

uint64_t read_int(const uint8_t* p, uint16_t width) {
    switch (width) {
    case 1:
        return *p;
    case 2: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    default: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    }
}

void write_int(uint8_t* p, uint16_t width, uint64_t v) {
    if (width == 1) {
        *p = static_cast<uint8_t>(v);
    } else if (width == 2) {
        auto x = static_cast<uint16_t>(v);
        std::memcpy(p, &x, 2);
    } else {
        auto x = static_cast<uint32_t>(v);
        std::memcpy(p, &x, 4);
    }
}

// Text is shown as a string when the bytes before the NUL padding hold no NUL and are valid
// UTF-8 (the JSON writer refuses anything else); otherwise the field keeps its bytes as hex.
bool clean_text(const uint8_t* p, size_t n, std::string& out) {
    size_t end = n;
    while (end > 0 && p[end - 1] == 0) --end;
    out.assign(reinterpret_cast<const char*>(p), end);
    if (out.find('\0') != std::string::npos) return false;
    try {
        (void)ojson(out).dump();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    return true;
}

std::string indexed(const std::string& path, size_t i) { return path + "[" + std::to_string(i) + "]"; }
std::string member(const std::string& path, const char* name) { return path.empty() ? name : path + "." + name; }

ojson layout_to_json(const Layout& layout, const uint8_t* rec);

ojson field_to_json(const Field& f, const uint8_t* p) {
    switch (f.kind) {
    case Kind::Int: {
        if (!f.array) return read_int(p, f.width);
        ojson a = ojson::array();
        for (size_t i = 0; i < f.count; ++i) a.push_back(read_int(p + i * f.width, f.width));
        return a;
    }
    case Kind::Bytes:
        return hex({p, f.bytes()});
    case Kind::Text: {
        std::string s;
        if (clean_text(p, f.bytes(), s)) return s;
        return ojson{{"hex", hex({p, f.bytes()})}};
    }
    case Kind::Group: {
        ojson a = ojson::array();
        for (size_t i = 0; i < f.count; ++i) a.push_back(layout_to_json(*f.group, p + i * f.width));
        return a;
    }
    }
    return nullptr;
}

ojson layout_to_json(const Layout& layout, const uint8_t* rec) {
    ojson o = ojson::object();
    for (const Field& f : layout.fields) o[f.name] = field_to_json(f, rec + f.offset);
    return o;
}

void layout_from_json(const Layout& layout, const nlohmann::json& v, uint8_t* rec, const std::string& path);

void int_from_json(const nlohmann::json& v, uint16_t width, uint8_t* p, const std::string& path) {
    uint64_t max = width == 4 ? 0xFFFFFFFFu : (uint64_t{1} << (8 * width)) - 1;
    if (!v.is_number_integer())
        throw FieldError(path, "expected an integer from 0 to " + std::to_string(max) + ", got " + brief(v));
    if (v.is_number_unsigned() ? v.get<uint64_t>() > max : v.get<int64_t>() < 0 || uint64_t(v.get<int64_t>()) > max)
        throw FieldError(path, brief(v) + " is out of range (0 to " + std::to_string(max) + ")");
    write_int(p, width, v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(v.get<int64_t>()));
}

void hex_from_json(const nlohmann::json& v, size_t n, uint8_t* p, const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!v.is_string() || !unhex(v.get<std::string>(), bytes))
        throw FieldError(path, "expected a string of " + std::to_string(2 * n) + " hexadecimal digits");
    if (bytes.size() != n)
        throw FieldError(path, "expected " + std::to_string(2 * n) + " hexadecimal digits, got " +
                                   std::to_string(2 * bytes.size()));
    std::memcpy(p, bytes.data(), n);
}

void field_from_json(const Field& f, const nlohmann::json& v, uint8_t* p, const std::string& path) {
    switch (f.kind) {
    case Kind::Int:
        if (!f.array) return int_from_json(v, f.width, p, path);
        if (!v.is_array() || v.size() != f.count)
            throw FieldError(path, "expected an array of " + std::to_string(f.count) + " integers");
        for (size_t i = 0; i < f.count; ++i) int_from_json(v[i], f.width, p + i * f.width, indexed(path, i));
        return;
    case Kind::Bytes:
        return hex_from_json(v, f.bytes(), p, path);
    case Kind::Text:
        if (v.is_object()) {
            if (v.size() != 1 || !v.contains("hex"))
                throw FieldError(path, "expected a string or an object with the one member \"hex\"");
            return hex_from_json(v["hex"], f.bytes(), p, path);
        }
        if (!v.is_string()) throw FieldError(path, "expected a string of at most " + std::to_string(f.bytes()) + " bytes");
        {
            const std::string& s = v.get_ref<const std::string&>();
            if (s.size() > f.bytes())
                throw FieldError(path, "text of " + std::to_string(s.size()) + " bytes does not fit in " +
                                           std::to_string(f.bytes()));
            if (s.find('\0') != std::string::npos) throw FieldError(path, "text holds a NUL character");
            std::memset(p, 0, f.bytes());
            std::memcpy(p, s.data(), s.size());
        }
        return;
    case Kind::Group:
        if (!v.is_array() || v.size() != f.count)
            throw FieldError(path, "expected an array of " + std::to_string(f.count) + " objects");
        for (size_t i = 0; i < f.count; ++i) layout_from_json(*f.group, v[i], p + i * f.width, indexed(path, i));
        return;
    }
}

void layout_from_json(const Layout& layout, const nlohmann::json& v, uint8_t* rec, const std::string& path) {
    if (!v.is_object()) throw FieldError(path, std::string("expected an object (") + layout.name + "), got " + v.type_name());
    for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (const Field& f : layout.fields) known = known || it.key() == f.name;
        if (!known) throw FieldError(member(path, it.key().c_str()), std::string("unknown field of ") + layout.name);
    }
    for (const Field& f : layout.fields) {
        auto it = v.find(f.name);
        if (it == v.end()) throw FieldError(member(path, f.name), "missing");
        field_from_json(f, *it, rec + f.offset, member(path, f.name));
    }
}

void text_lines(const Layout& layout, const uint8_t* rec, const std::string& prefix, std::string& out) {
    for (const Field& f : layout.fields) {
        const uint8_t* p = rec + f.offset;
        std::string name = prefix + f.name;
        if (f.kind == Kind::Group) {
            for (size_t i = 0; i < f.count; ++i) text_lines(*f.group, p + i * f.width, indexed(name, i) + ".", out);
            continue;
        }
        out += name + ": ";
        if (f.kind == Kind::Int) {
            for (size_t i = 0; i < f.count; ++i) {
                if (i) out += ' ';
                out += std::to_string(read_int(p + i * f.width, f.width));
            }
        } else if (f.kind == Kind::Text) {
            std::string s;
            out += clean_text(p, f.bytes(), s) ? ojson(s).dump() : "(hex) " + hex({p, f.bytes()});
        } else {
            out += hex({p, f.bytes()});
        }
        out += '\n';
    }
}

}  // namespace

std::string hex(std::span<const uint8_t> bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

bool unhex(const std::string& text, std::vector<uint8_t>& out) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

nlohmann::ordered_json to_json(const Layout& layout, std::span<const uint8_t> record) {
    if (record.size() < layout.size) throw std::invalid_argument("record smaller than its layout");
    return layout_to_json(layout, record.data());
}

void from_json(const Layout& layout, const nlohmann::json& value, std::span<uint8_t> record) {
    if (record.size() < layout.size) throw std::invalid_argument("record smaller than its layout");
    std::vector<uint8_t> tmp(layout.size, 0);
    layout_from_json(layout, value, tmp.data(), "");
    std::memcpy(record.data(), tmp.data(), tmp.size());
}

nlohmann::ordered_json records_to_json(const Layout& layout, std::span<const uint8_t> records) {
    ojson a = ojson::array();
    for (size_t at = 0; at + layout.size <= records.size(); at += layout.size)
        a.push_back(layout_to_json(layout, records.data() + at));
    return a;
}

std::vector<uint8_t> records_from_json(const Layout& layout, const nlohmann::json& value, size_t maxCount) {
    if (value.is_object() && maxCount == 1) {
        std::vector<uint8_t> out(layout.size);
        layout_from_json(layout, value, out.data(), "");
        return out;
    }
    if (!value.is_array() || value.empty() || value.size() > maxCount)
        throw FieldError("", "expected an array of 1 to " + std::to_string(maxCount) + " objects (" + layout.name + ")");
    std::vector<uint8_t> out(layout.size * value.size());
    for (size_t i = 0; i < value.size(); ++i) layout_from_json(layout, value[i], out.data() + i * layout.size, indexed("", i));
    return out;
}

std::string to_text(const Layout& layout, std::span<const uint8_t> records) {
    std::string out;
    size_t n = records.size() / layout.size;
    for (size_t i = 0; i < n; ++i) {
        if (n > 1) out += indexed("", i) + "\n";
        text_lines(layout, records.data() + i * layout.size, n > 1 ? "  " : "", out);
    }
    return out;
}

}  // namespace ipctools
