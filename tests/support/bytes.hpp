// Byte helpers shared by the tests: patterned and concatenated buffers, directory entry counts.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testenv {

using Bytes = std::vector<uint8_t>;

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
