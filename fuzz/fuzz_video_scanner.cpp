// Arbitrary bytes into the video scanner as the receiver feeds it: reads of varying size, compacted after each.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channels/scanner.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] * 7u;
    std::vector<uint8_t> buf;
    buf.reserve(size);
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        buf.insert(buf.end(), data + at, data + at + n);
        const size_t used = ipc::scan::video(buf.data(), buf.size(), [&](uint8_t* frame, size_t len) {
            // A delivered frame lies wholly inside the bytes held and carries its own length.
            if (frame < buf.data() || frame + len > buf.data() + buf.size()) __builtin_trap();
            if (ipc::scan::le32(frame + 8) + 156ull != len || std::memcmp(frame, ipc::scan::kVideoMagic, 4) != 0)
                __builtin_trap();
            return true;
        });
        if (used > buf.size()) __builtin_trap();
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return 0;
}
