// Layout-driven record codecs. A record is its size, the big-endian integers inside it, and
// which byte ranges travel unchanged; one pack and one unpack serve every record. Which
// integers are big-endian comes from the record schema, the one place that says so.
#pragma once

#include <ipcsdk_records.hpp>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "transport/transport.hpp"

namespace ipc::codec {

struct Field {
    uint16_t offset;
    uint8_t width;  // 2 or 4
};

struct Range {
    uint16_t offset;
    uint16_t length;
};

struct Layout {
    uint32_t size;
    std::span<const Field> fields;    // big-endian on the wire
    std::span<const Range> packCopy;  // bytes copied when packing; empty: the whole record
    std::span<const Range> unpackCopy;  // bytes copied when unpacking; empty: the whole record
};

inline constexpr Range kNothing[] = {{0, 0}};

namespace detail {
// Visits every 2- or 4-byte big-endian integer of layout l, element by element, groups
// included, with its offset from the record's start.
template <class F>
constexpr void each_big(const records::Layout& l, uint16_t base, F&& f) {
    for (const records::Field& x : l.fields)
        for (uint16_t i = 0; i < x.count; ++i) {
            const auto at = static_cast<uint16_t>(base + x.offset + i * x.width);
            if (x.kind == records::Kind::Group) each_big(*x.group, at, f);
            if (x.kind == records::Kind::Int && x.order == records::Order::Big && x.width > 1) f(Field{at, static_cast<uint8_t>(x.width)});
        }
}
}  // namespace detail

// The big-endian integers of record T.
template <class T>
inline constexpr auto kBigFields = [] {
    constexpr size_t n = [] {
        size_t k = 0;
        detail::each_big(records::kLayout<T>, 0, [&](Field) { ++k; });
        return k;
    }();
    std::array<Field, n> out{};
    size_t k = 0;
    detail::each_big(records::kLayout<T>, 0, [&](Field f) { out[k++] = f; });
    return out;
}();

// Record T on the wire: all of it travels unless packCopy or unpackCopy name the bytes that do.
template <class T>
constexpr Layout layout_of(std::span<const Range> packCopy = {}, std::span<const Range> unpackCopy = {}) {
    return {sizeof(T), kBigFields<T>, packCopy, unpackCopy};
}

// Host record -> wire record (size bytes). Bytes outside packCopy are written as zero.
inline void encode(const Layout& l, const uint8_t* rec, uint8_t* out) {
    if (l.packCopy.empty()) {
        std::memcpy(out, rec, l.size);
    } else {
        std::memset(out, 0, l.size);
        for (const Range& r : l.packCopy) std::memcpy(out + r.offset, rec + r.offset, r.length);
    }
    for (const Field& f : l.fields) {
        if (f.width == 4) {
            uint32_t v;
            std::memcpy(&v, rec + f.offset, 4);
            put_be32(out + f.offset, v);
        } else {
            uint16_t v;
            std::memcpy(&v, rec + f.offset, 2);
            put_be16(out + f.offset, v);
        }
    }
}

// Wire record -> host record. Bytes outside unpackCopy and the fields keep their contents.
inline void decode(const Layout& l, const uint8_t* in, uint8_t* rec) {
    if (l.unpackCopy.empty())
        std::memcpy(rec, in, l.size);
    else
        for (const Range& r : l.unpackCopy) std::memcpy(rec + r.offset, in + r.offset, r.length);
    for (const Field& f : l.fields) {
        if (f.width == 4) {
            const uint32_t v = be32(in + f.offset);
            std::memcpy(rec + f.offset, &v, 4);
        } else {
            const uint16_t v = be16(in + f.offset);
            std::memcpy(rec + f.offset, &v, 2);
        }
    }
}

// count records into out; *outLen = count * size (a count below 1 writes nothing).
inline uint32_t pack(const Layout& l, int64_t count, const void* recs, uint8_t* out, uint32_t* outLen) {
    const auto* src = static_cast<const uint8_t*>(recs);
    for (int64_t i = 0; i < count; ++i) encode(l, src + i * l.size, out + i * l.size);
    if (outLen) *outLen = static_cast<uint32_t>(count * static_cast<int64_t>(l.size));
    return 0;
}

// Whole records that follow the 16-byte header, never past answerLen, at most maxCount.
inline uint32_t unpack(const Layout& l, const uint8_t* answer, uint32_t answerLen, int64_t maxCount, void* recs) {
    if (answerLen < kHeaderSize) return 0;
    uint32_t remaining = answerLen - kHeaderSize;
    auto* dst = static_cast<uint8_t*>(recs);
    const uint8_t* src = answer + kHeaderSize;
    uint32_t filled = 0;
    while (filled < maxCount && remaining >= l.size) {
        decode(l, src, dst);
        src += l.size;
        dst += l.size;
        remaining -= l.size;
        ++filled;
    }
    return filled;
}

// Payload bytes that count records need, or 0 when they cannot fit a request buffer.
inline uint32_t fits(const Layout& l, int64_t count, uint32_t capacity) {
    if (count < 1 || count * static_cast<int64_t>(l.size) > capacity) return 0;
    return static_cast<uint32_t>(count * l.size);
}

}  // namespace ipc::codec
