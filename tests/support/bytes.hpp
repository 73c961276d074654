// Byte helpers shared by the record tests: a layout described independently of the library's
// own tables, and patterned buffers.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testenv {

using Bytes = std::vector<uint8_t>;

struct Field {
    uint32_t offset, width;
};
struct Range {
    uint32_t offset, length;
};

// Big-endian fields of a layout, by width.
inline std::vector<Field> fields(uint32_t width, std::initializer_list<uint32_t> offsets) {
    std::vector<Field> f;
    for (uint32_t o : offsets) f.push_back({o, width});
    return f;
}
inline std::vector<Field> u16s(std::initializer_list<uint32_t> offsets) { return fields(2, offsets); }
inline std::vector<Field> u32s(std::initializer_list<uint32_t> offsets) { return fields(4, offsets); }
inline std::vector<Field> operator+(std::vector<Field> a, const std::vector<Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A pattern in which neighbouring bytes always differ, so a swap is always visible.
inline Bytes pattern(size_t n, uint8_t seed = 17) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 131 + seed);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {  // the byte strings one after the other
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline bool in(const std::vector<Range>& ranges, uint32_t i) {
    for (const Range& r : ranges)
        if (i >= r.offset && i < r.offset + r.length) return true;
    return false;
}

// Entries of a directory (with . and ..): descriptors in /proc/self/fd, threads in /proc/self/task.
inline size_t count_dir(const char* path) {
    size_t n = 0;
    if (DIR* d = opendir(path)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace testenv
