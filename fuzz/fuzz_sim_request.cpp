// The simulator's request parsing: the stream after byte 0 split whole and in two pieces cut where byte 0 says gives
// the same well-formed requests and leftover; read as a channel announcement it never claims more than it holds.
#include <cstdint>
#include <vector>

#include "wire.hpp"

using namespace ipcsim::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* in = data + 1;
    const size_t n = size - 1;

    std::vector<std::vector<uint8_t>> whole;
    const size_t used = split_requests(in, n, whole);
    if (used > n) __builtin_trap();
    for (const auto& r : whole)
        if (!well_formed(r.data(), r.size())) __builtin_trap();

    const size_t cut = n * data[0] / 255;
    std::vector<uint8_t> buffer(in, in + cut);
    std::vector<std::vector<uint8_t>> pieces;
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(split_requests(buffer.data(), buffer.size(), pieces)));
    buffer.insert(buffer.end(), in + cut, in + n);
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(split_requests(buffer.data(), buffer.size(), pieces)));
    if (pieces != whole || buffer != std::vector<uint8_t>(in + used, in + n)) __builtin_trap();

    const Announcement a = parse_announcement(in, n);
    if ((a.kind == Announcement::Report || a.kind == Announcement::Video) && (a.length > 4096 || n < kHeader + a.length))
        __builtin_trap();
    return 0;
}
