// H.264 and H.265 elementary streams in Annex B form (NAL units after 00 00 01 or 00 00 00 01
// start codes): what codec a payload carries, and a stream cut into access units (one picture
// with the parameter sets and SEI before it). Header-only: the simulator, the GStreamer element
// and ipcctl share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ipctools::annexb {

enum class Codec { none, h264, h265 };

inline const char* name(Codec c) { return c == Codec::h264 ? "H.264" : c == Codec::h265 ? "H.265" : "other"; }

// One NAL unit: its bytes after the start code, up to the next start code.
struct Nal {
    size_t start = 0;  // offset of the start code
    size_t begin = 0;  // offset of the NAL header
    size_t end = 0;    // offset past the NAL unit (trailing zero bytes belong to the next start code)
};

// Calls f(Nal) for each NAL unit of `data` in order until f returns false; none unless `data`
// begins with a start code. Units are found one at a time, so stopping early reads no further.
template <class F>
void for_each_nal(std::span<const uint8_t> data, F&& f) {
    size_t i = 0;
    while (i < data.size() && data[i] == 0) ++i;
    if (i < 2 || i >= data.size() || data[i] != 1) return;
    size_t start = 0, begin = i + 1;
    for (;;) {
        size_t p = begin;
        while (p + 3 <= data.size() && !(data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1)) ++p;
        if (p + 3 > data.size()) {
            if (data.size() > begin) f(Nal{start, begin, data.size()});
            return;
        }
        size_t end = p;  // zeros before a start code belong to it
        while (end > begin && data[end - 1] == 0) --end;
        if (end > begin && !f(Nal{start, begin, end})) return;
        start = end;
        begin = p + 3;
    }
}

// The NAL units of `data`; empty unless `data` begins with a start code.
inline std::vector<Nal> nals(std::span<const uint8_t> data) {
    std::vector<Nal> out;
    for_each_nal(data, [&](const Nal& n) {
        out.push_back(n);
        return true;
    });
    return out;
}

// The codec of an Annex B payload, judged by its first NAL unit: for H.265 a VPS, SPS, PPS,
// access unit delimiter or SEI of layer 0 (two header bytes, the second 0x01); for H.264 a
// slice, SEI, SPS, PPS or delimiter. `none` for anything else.
inline Codec detect(std::span<const uint8_t> data) {
    Nal n;
    for_each_nal(data, [&](const Nal& first) {
        n = first;
        return false;
    });
    if (n.end == 0) return Codec::none;
    uint8_t b0 = data[n.begin];
    if (b0 & 0x80) return Codec::none;  // forbidden bit
    unsigned t265 = b0 >> 1 & 0x3F;
    if (n.end - n.begin >= 3 && data[n.begin + 1] == 0x01 && ((t265 >= 32 && t265 <= 35) || t265 == 39))
        return Codec::h265;
    unsigned t = b0 & 0x1F;
    if (t == 1 || t == 5 || (t >= 6 && t <= 9)) return Codec::h264;
    return Codec::none;
}

// Whether the NAL unit at `n` begins a new access unit once the current one holds a picture.
inline bool begins_access_unit(std::span<const uint8_t> data, const Nal& n, Codec c, bool& saw_picture) {
    uint8_t b0 = data[n.begin];
    bool begins = false;
    if (c == Codec::h264) {
        unsigned t = b0 & 0x1F;
        bool slice = t == 1 || t == 5;
        // first_mb_in_slice == 0 is a lone 1 bit at the start of the slice header.
        bool first_slice = slice && n.end - n.begin > 1 && (data[n.begin + 1] & 0x80);
        begins = saw_picture && ((t >= 6 && t <= 9) || (t >= 14 && t <= 18) || first_slice);
        if (begins) saw_picture = false;
        if (slice) saw_picture = true;
    } else {
        unsigned t = b0 >> 1 & 0x3F;
        bool slice = t <= 31;
        bool first_slice = slice && n.end - n.begin > 2 && (data[n.begin + 2] & 0x80);
        begins = saw_picture && ((t >= 32 && t <= 35) || t == 39 || (t >= 41 && t <= 44) || (t >= 48 && t <= 55) || first_slice);
        if (begins) saw_picture = false;
        if (slice) saw_picture = true;
    }
    return begins;
}

// Whether an access unit of codec `c` can be decoded on its own: its first picture is an IDR
// or other random access picture (H.264 type 5; H.265 types 16 to 23). Reads up to that slice.
inline bool is_key_frame(std::span<const uint8_t> au, Codec c) {
    bool key = false;
    for_each_nal(au, [&](const Nal& n) {
        uint8_t b0 = au[n.begin];
        unsigned t = c == Codec::h264 ? b0 & 0x1F : b0 >> 1 & 0x3F;
        bool slice = c == Codec::h264 ? t == 1 || t == 5 : t <= 31;
        key = c == Codec::h264 ? t == 5 : t >= 16 && t <= 23;
        return !slice;
    });
    return key;
}

// `data` cut into access units (spans of `data`, start codes included); empty when `data` is
// not an Annex B stream of H.264 or H.265.
inline std::vector<std::span<const uint8_t>> access_units(std::span<const uint8_t> data) {
    std::vector<std::span<const uint8_t>> out;
    Codec c = detect(data);
    if (c == Codec::none) return out;
    bool saw_picture = false;
    size_t au_start = 0;
    for (const Nal& n : nals(data)) {
        if (begins_access_unit(data, n, c, saw_picture)) {
            out.push_back(data.subspan(au_start, n.start - au_start));
            au_start = n.start;
        }
    }
    if (au_start < data.size()) out.push_back(data.subspan(au_start));
    return out;
}

}  // namespace ipctools::annexb
