// Arbitrary bytes into the report scanner in reads of varying size; every body is walked as a picture body.
#include <cstdint>
#include <vector>

#include "channels/scanner.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] * 11u;
    std::vector<uint8_t> buf;
    uint64_t sum = 0;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        buf.insert(buf.end(), data + at, data + at + n);
        const size_t used = ipc::scan::reports(buf.data(), buf.size(), [&](uint32_t type, uint8_t* body, uint32_t len) {
            if (body < buf.data() || body + len > buf.data() + buf.size()) __builtin_trap();
            ipc::scan::picture_parts(body, len, [&](int, ipc::scan::Part p) {
                if (p.data < body || p.data + p.length > body + len) __builtin_trap();
                for (uint32_t i = 0; i < p.length; i += 64) sum += p.data[i];
            });
            ipc::scan::Picture pic;
            if (ipc::scan::first_picture(body, len, pic)) {
                if (pic.first.data + pic.first.length > body + len) __builtin_trap();
                sum += pic.record[255];
            }
            sum += type;
            return true;
        });
        if (used > buf.size()) __builtin_trap();
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return static_cast<int>(sum & 0);
}
