// Stream scanners of the two channels: pure code, bytes in and frames or messages out, with no
// socket in sight, so they are unit-tested with any fragmentation and fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipc::scan {

constexpr uint8_t kVideoMagic[4] = {0x78, 0x71, 0x6D, 0x70};  // "xqmp"
constexpr size_t kVideoHeader = 156;
constexpr size_t kVideoMinHeld = 152;  // bytes held before the length field is looked at
constexpr size_t kReportHeader = 16;
constexpr size_t kReportBodyOffset = 28;

inline uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t rd_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// How many of the last bytes of buf[0, n) could be the start of a pattern of length m that
// continues in the next receive (at most m - 1).
inline size_t partial_tail(const uint8_t* buf, size_t n, const uint8_t* pattern, size_t m) {
    for (size_t keep = (n < m - 1 ? n : m - 1); keep > 0; --keep)
        if (std::memcmp(buf + n - keep, pattern, keep) == 0) return keep;
    return 0;
}

// Scans buf[0, n) for complete video frames and hands each, in order and in place, to
// deliver(uint8_t* frame, size_t size); deliver returns false to stop (channel stopping).
// Returns the number of bytes at the front that are used up: delivered frames and garbage.
// A trailing incomplete frame, or up to 3 bytes that may begin a magic, are kept. A frame whose
// length could never fit is treated as incomplete (the receiver's buffer then fills up).
template <class Deliver>
size_t video(uint8_t* buf, size_t n, Deliver&& deliver) {
    size_t pos = 0;
    while (pos < n) {
        const uint8_t* hit = static_cast<const uint8_t*>(memmem(buf + pos, n - pos, kVideoMagic, 4));
        if (!hit) return n - partial_tail(buf + pos, n - pos, kVideoMagic, 4);
        pos = static_cast<size_t>(hit - buf);
        const size_t held = n - pos;
        if (held < kVideoMinHeld) return pos;
        const uint32_t len = le32(buf + pos + 8);
        if (len == 0) {  // not a frame: skip its first byte and look for the next magic
            ++pos;
            continue;
        }
        const uint64_t size = uint64_t{len} + kVideoHeader;
        if (size > held) return pos;
        if (!deliver(buf + pos, static_cast<size_t>(size))) return pos + static_cast<size_t>(size);
        pos += static_cast<size_t>(size);
    }
    return pos;
}

// A report message starts with 5A 5B, any byte, class 1, code 8.
inline bool report_start(const uint8_t* p) { return p[0] == 0x5A && p[1] == 0x5B && p[3] == 1 && p[4] == 8; }

// Scans buf[0, n) for complete report messages and hands each to
// on_message(uint32_t type, uint8_t* body, uint32_t bodyLength); it returns false to stop.
// A message whose payload is too short to carry a type (P below 12) is consumed unseen.
// Returns the number of bytes at the front that are used up.
template <class OnMessage>
size_t reports(uint8_t* buf, size_t n, OnMessage&& on_message) {
    size_t pos = 0;
    for (;;) {
        while (n - pos > kReportHeader && !report_start(buf + pos)) ++pos;
        if (n - pos <= kReportHeader) return pos;
        const uint32_t payload = rd_be32(buf + pos + 12);
        const uint64_t size = uint64_t{payload} + kReportHeader;
        if (size > n - pos) return pos;
        const size_t next = pos + static_cast<size_t>(size);
        if (payload >= 12) {
            const uint32_t type = rd_be32(buf + pos + 20);
            if (!on_message(type, buf + pos + kReportBodyOffset, payload - 12)) return next;
        }
        pos = next;
    }
}

// One part of a picture report body.
struct Part {
    const uint8_t* data;
    uint32_t length;
};

// Walks the parts of a picture body (types 0xA001, 0xD001, 0xD002): word W at 0, a W-byte
// record, the part count at 4 + W, N lengths at 8 + W, then the parts. Calls
// each(index from 1, Part) for every part that lies wholly inside the body; stops at the first
// that does not.
template <class Each>
void picture_parts(const uint8_t* body, uint32_t length, Each&& each) {
    if (length < 4) return;
    const uint64_t w = le32(body);
    if (w + 8 > length) return;
    const auto count = static_cast<int8_t>(body[4 + w]);
    if (count <= 0) return;
    const uint64_t lengths = 8 + w;
    uint64_t data = lengths + 4 * uint64_t(count);
    if (data > length) return;
    for (int i = 0; i < count; ++i) {
        const uint32_t partLength = le32(body + lengths + 4 * uint64_t(i));
        if (data + partLength > length) return;
        each(i + 1, Part{body + data, partLength});
        data += partLength;
    }
}

// The first picture of a 0xA002 report: its kind (record byte 8), the leading word and the
// first part. False when the body is too short for what its counts and lengths claim, or
// carries no part.
struct Picture {
    uint32_t word;
    uint8_t kind;
    const uint8_t* record;  // 256 bytes
    Part first;
};
constexpr uint32_t kPictureRecord = 256;
inline bool first_picture(const uint8_t* body, uint32_t length, Picture& out) {
    if (length < 268) return false;
    const auto count = static_cast<int8_t>(body[260]);
    if (count <= 0) return false;
    const uint32_t partLength = le32(body + 264);
    const uint64_t start = 264 + 4 * uint64_t(count);
    if (start + partLength > length) return false;
    out = Picture{le32(body), body[12], body + 4, Part{body + start, partLength}};
    return true;
}

}  // namespace ipc::scan
