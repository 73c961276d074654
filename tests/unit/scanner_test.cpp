// The channel scanners: frames and messages out of arbitrary fragmentation, garbage skipped,
// nothing read outside the bytes held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "channels/scanner.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint32_t len, uint8_t fill) {
    Bytes f(156 + len, fill);
    const uint8_t magic[4] = {0x78, 0x71, 0x6D, 0x70};
    std::memcpy(f.data(), magic, 4);
    for (int i = 0; i < 4; ++i) f[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    return f;
}

Bytes message(uint32_t type, const Bytes& body) {
    Bytes m(28 + body.size(), 0);  // sized once: appending trips a false -Warray-bounds in g++ 12
    m[0] = 0x5A;
    m[1] = 0x5B;
    m[2] = 1;
    m[3] = 1;
    m[4] = 8;
    const uint32_t p = 12 + static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) m[12 + i] = static_cast<uint8_t>(p >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) m[20 + i] = static_cast<uint8_t>(type >> (24 - 8 * i));
    std::copy(body.begin(), body.end(), m.begin() + 28);
    return m;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds a stream to the video scanner in pieces, as a receiver would (compacting after each
// scan), and returns the fill byte of each delivered frame.
std::vector<uint8_t> feed_video(const Bytes& stream, std::vector<size_t> pieces, size_t* left = nullptr) {
    Bytes buf;
    std::vector<uint8_t> got;
    size_t at = 0, i = 0;
    while (at < stream.size()) {
        const size_t n = std::min(pieces.empty() ? stream.size() : pieces[i++ % pieces.size()], stream.size() - at);
        buf.insert(buf.end(), stream.begin() + at, stream.begin() + at + n);
        at += n;
        size_t used = ipc::scan::video(buf.data(), buf.size(), [&](uint8_t* f, size_t size) {
            EXPECT_EQ(size, ipc::scan::le32(f + 8) + 156u);
            got.push_back(f[156 - 1]);
            return true;
        });
        buf.erase(buf.begin(), buf.begin() + used);
    }
    if (left) *left = buf.size();
    return got;
}

TEST(VideoScanner, FramesInOrderWhateverTheFragmentation) {
    const Bytes stream = cat({frame(10, 1), frame(0x2000, 2), frame(1, 3), frame(300, 4)});
    const std::vector<uint8_t> want{1, 2, 3, 4};
    for (std::vector<size_t> pieces : {std::vector<size_t>{}, {1}, {2}, {3}, {155}, {156}, {157}, {4096}, {7, 1, 300}}) {
        size_t left = 99;
        EXPECT_EQ(feed_video(stream, pieces, &left), want) << "piece " << (pieces.empty() ? 0 : pieces[0]);
        EXPECT_EQ(left, 0u);
    }
}

TEST(VideoScanner, GarbageAndZeroLengthHeadersAreSkipped) {
    Bytes zero = frame(0, 9);  // a header with L = 0 is not a frame
    const Bytes stream = cat({Bytes(10, 0xEE), frame(5, 1), Bytes{0x78, 0x71, 0x6D}, zero, frame(6, 2), Bytes(3, 0x78)});
    size_t left = 0;
    EXPECT_EQ(feed_video(stream, {}, &left), (std::vector<uint8_t>{1, 2}));
    EXPECT_LE(left, 3u);
}

TEST(VideoScanner, MagicSplitAcrossReadsIsKept) {
    const Bytes f = frame(20, 7);
    for (size_t cut = 1; cut < 4; ++cut) {
        Bytes a = cat({Bytes(50, 0x11), Bytes(f.begin(), f.begin() + cut)});
        Bytes b(f.begin() + cut, f.end());
        std::vector<uint8_t> got;
        Bytes buf = a;
        size_t used = ipc::scan::video(buf.data(), buf.size(), [&](uint8_t*, size_t) { return true; });
        EXPECT_EQ(buf.size() - used, cut) << "the partial magic must stay for the next read";
        buf.erase(buf.begin(), buf.begin() + used);
        buf.insert(buf.end(), b.begin(), b.end());
        ipc::scan::video(buf.data(), buf.size(), [&](uint8_t* p, size_t) {
            got.push_back(p[155]);
            return true;
        });
        EXPECT_EQ(got, std::vector<uint8_t>{7});
    }
}

TEST(VideoScanner, HugeLengthIsIncompleteNeverDelivered) {
    for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFF64u, 0x7FFFFFFFu, 5u << 20}) {
        Bytes f = frame(0, 0);
        for (int i = 0; i < 4; ++i) f[8 + i] = static_cast<uint8_t>(len >> (8 * i));
        f.resize(4096, 0xAB);
        bool delivered = false;
        const size_t used = ipc::scan::video(f.data(), f.size(), [&](uint8_t*, size_t) { return delivered = true; });
        EXPECT_FALSE(delivered) << len;
        EXPECT_EQ(used, 0u) << "the incomplete frame stays at the front";
    }
}

TEST(VideoScanner, StopsWhenTheChannelStops) {
    Bytes stream = cat({frame(1, 1), frame(1, 2), frame(1, 3)});
    int calls = 0;
    const size_t used = ipc::scan::video(stream.data(), stream.size(), [&](uint8_t*, size_t) { return ++calls < 2; });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(used, 2 * 157u);
}

TEST(ReportScanner, MessagesGarbageAndShortPayloads) {
    Bytes tooShort = message(0x1001, {});
    tooShort[15] = 11;  // P = 11: no room for a type
    tooShort.resize(27);
    const Bytes stream = cat({Bytes(7, 0x5A), message(0x1001, Bytes(5, 1)), tooShort, message(0xB001, {}),
                              message(0x1003, Bytes(300, 3)), Bytes{0x5A, 0x5B, 0x01}});
    std::vector<std::pair<uint32_t, uint32_t>> got;
    Bytes buf = stream;
    size_t used = ipc::scan::reports(buf.data(), buf.size(), [&](uint32_t t, uint8_t* body, uint32_t n) {
        if (n) {
            EXPECT_EQ(body[0], t == 0x1001 ? 1 : 3);
        }
        got.emplace_back(t, n);
        return true;
    });
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1001, 5}, {0xB001, 0}, {0x1003, 300}}));
    EXPECT_EQ(buf.size() - used, 3u) << "a possible message start is kept";
}

TEST(ReportScanner, SplitAtEveryByteBoundary) {
    const Bytes stream = cat({message(0x1002, Bytes(20, 2)), message(0xA003, Bytes(3, 3))});
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Bytes buf(stream.begin(), stream.begin() + cut);
        std::vector<uint32_t> types;
        auto on = [&](uint32_t t, uint8_t*, uint32_t) {
            types.push_back(t);
            return true;
        };
        size_t used = ipc::scan::reports(buf.data(), buf.size(), on);
        buf.erase(buf.begin(), buf.begin() + used);
        buf.insert(buf.end(), stream.begin() + cut, stream.end());
        ipc::scan::reports(buf.data(), buf.size(), on);
        EXPECT_EQ(types, (std::vector<uint32_t>{0x1002, 0xA003})) << "cut at " << cut;
    }
}

TEST(ReportScanner, EnormousLengthWaits) {
    Bytes m = message(0x1001, Bytes(64, 1));
    m[12] = 0xFF;
    m[13] = 0xFF;
    m[14] = 0xFF;
    m[15] = 0xFF;
    bool called = false;
    EXPECT_EQ(ipc::scan::reports(m.data(), m.size(), [&](uint32_t, uint8_t*, uint32_t) { return called = true; }), 0u);
    EXPECT_FALSE(called);
}

Bytes picture_body(uint32_t w, int8_t count, std::vector<uint32_t> lengths, size_t dataBytes) {
    Bytes b(4 + w, 0);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(w >> (8 * i));
    b.push_back(static_cast<uint8_t>(count));
    b.insert(b.end(), 3, 0);
    for (uint32_t l : lengths)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(l >> (8 * i)));
    b.insert(b.end(), dataBytes, 0x42);
    return b;
}

TEST(PictureBody, PartsStayInsideTheBody) {
    std::vector<std::pair<int, uint32_t>> parts;
    auto each = [&](int i, ipc::scan::Part p) { parts.emplace_back(i, p.length); };
    Bytes ok = picture_body(32, 2, {3, 4}, 7);
    ipc::scan::picture_parts(ok.data(), static_cast<uint32_t>(ok.size()), each);
    EXPECT_EQ(parts, (std::vector<std::pair<int, uint32_t>>{{1, 3}, {2, 4}}));

    parts.clear();
    Bytes lying = picture_body(32, 2, {3, 0xFFFFFFF0u}, 7);  // second length points outside
    ipc::scan::picture_parts(lying.data(), static_cast<uint32_t>(lying.size()), each);
    EXPECT_EQ(parts, (std::vector<std::pair<int, uint32_t>>{{1, 3}}));

    parts.clear();
    Bytes hugeW = picture_body(8, 1, {1}, 1);
    hugeW[0] = hugeW[1] = hugeW[2] = hugeW[3] = 0xFF;
    ipc::scan::picture_parts(hugeW.data(), static_cast<uint32_t>(hugeW.size()), each);
    Bytes negative = picture_body(8, -3, {}, 0);
    ipc::scan::picture_parts(negative.data(), static_cast<uint32_t>(negative.size()), each);
    Bytes manyCounts = picture_body(8, 127, {1}, 0);
    ipc::scan::picture_parts(manyCounts.data(), static_cast<uint32_t>(manyCounts.size()), each);
    Bytes minusOne(8 + 8 + 4 * 255, 0);  // W = 8, count -1, room for 255 empty parts
    minusOne[0] = 8;
    minusOne[12] = 0xFF;
    ipc::scan::picture_parts(minusOne.data(), static_cast<uint32_t>(minusOne.size()), each);
    EXPECT_TRUE(parts.empty());
}

TEST(PictureBody, FirstPictureOfAPairReport) {
    Bytes body = picture_body(256, 1, {5}, 5);
    body[12] = 2;  // kind
    ipc::scan::Picture pic;
    ASSERT_TRUE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size()), pic));
    EXPECT_EQ(pic.kind, 2);
    EXPECT_EQ(pic.word, 256u);
    EXPECT_EQ(pic.first.length, 5u);
    EXPECT_EQ(pic.first.data, body.data() + 268);
    EXPECT_FALSE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size() - 1), pic));
    body[260] = 0;
    EXPECT_FALSE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size()), pic));
}

}  // namespace
