// The channel scanners: any fragmentation, garbage skipped, nothing read outside the bytes held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes.hpp"
#include "channels/scanner.hpp"

namespace {

using testenv::Bytes;
using testenv::cat;

void put(Bytes& b, size_t at, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (big ? 24 - 8 * i : 8 * i));
}

Bytes frame(uint32_t len, uint8_t fill) {
    Bytes f(156 + len, fill);
    std::memcpy(f.data(), "xqmp", 4);
    put(f, 8, len, false);
    return f;
}

Bytes message(uint32_t type, const Bytes& body) {
    Bytes m(28 + body.size(), 0);  // sized once: appending trips a false -Warray-bounds in g++ 12
    m[0] = 0x5A, m[1] = 0x5B, m[2] = 1, m[3] = 1, m[4] = 8;
    put(m, 12, 12 + static_cast<uint32_t>(body.size()), true);
    put(m, 20, type, true);
    std::copy(body.begin(), body.end(), m.begin() + 28);
    return m;
}

// Feeds the video scanner in pieces as a receiver does; returns the fill byte of each delivered frame.
Bytes feed_video(const Bytes& stream, std::vector<size_t> pieces, size_t* left) {
    Bytes buf, got;
    for (size_t at = 0, i = 0; at < stream.size();) {
        const size_t n = std::min(pieces.empty() ? stream.size() : pieces[i++ % pieces.size()], stream.size() - at);
        buf.insert(buf.end(), stream.begin() + at, stream.begin() + at + n);
        at += n;
        const size_t used = ipc::scan::video(buf.data(), buf.size(), [&](uint8_t* f, size_t size) {
            EXPECT_EQ(size, ipc::scan::le32(f + 8) + 156u);
            got.push_back(f[155]);
            return true;
        });
        buf.erase(buf.begin(), buf.begin() + used);
    }
    *left = buf.size();
    return got;
}

TEST(VideoScanner, FramesInOrderWhateverTheFragmentationGarbageSkippedHugeLengthsWait) {
    const Bytes stream = cat({frame(10, 1), frame(0x2000, 2), frame(1, 3), frame(300, 4)});
    for (std::vector<size_t> pieces : {std::vector<size_t>{}, {1}, {3}, {155}, {157}, {7, 1, 300}}) {
        size_t left = 99;
        EXPECT_EQ(feed_video(stream, pieces, &left), (Bytes{1, 2, 3, 4})) << pieces.size();
        EXPECT_EQ(left, 0u);
    }
    // Garbage, a partial magic and a header with L = 0 (not a frame) are skipped.
    const Bytes dirty = cat({Bytes(10, 0xEE), frame(5, 1), Bytes{'x', 'q', 'm'}, frame(0, 9), frame(6, 2), Bytes(3, 'x')});
    size_t left = 0;
    EXPECT_EQ(feed_video(dirty, {}, &left), (Bytes{1, 2}));
    EXPECT_LE(left, 3u);
    // A length that can never fit waits; a stop ends the scan after the frame it refused.
    for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFF64u, 5u << 20}) {
        Bytes f = frame(0, 0);
        put(f, 8, len, false);
        f.resize(4096, 0xAB);
        EXPECT_EQ(ipc::scan::video(f.data(), f.size(), [](uint8_t*, size_t) { return ADD_FAILURE(), true; }), 0u) << len;
    }
    Bytes three = cat({frame(1, 1), frame(1, 2), frame(1, 3)});
    int calls = 0;
    EXPECT_EQ(ipc::scan::video(three.data(), three.size(), [&](uint8_t*, size_t) { return ++calls < 2; }), 314u);
    EXPECT_EQ(calls, 2);
}

TEST(ReportScanner, MessagesGarbageShortPayloadsHugeLengthAndEverySplit) {
    Bytes tooShort = message(0x1001, {});
    tooShort[15] = 11;  // P = 11: no room for a type
    tooShort.resize(27);
    Bytes buf = cat({Bytes(7, 0x5A), message(0x1001, Bytes(5, 1)), tooShort, message(0xB001, {}),
                     message(0x1003, Bytes(300, 3)), Bytes{0x5A, 0x5B, 0x01}});
    std::vector<std::pair<uint32_t, uint32_t>> got;
    const size_t used = ipc::scan::reports(buf.data(), buf.size(), [&](uint32_t t, uint8_t* body, uint32_t n) {
        EXPECT_TRUE(n == 0 || body[0] == (t == 0x1001 ? 1 : 3));
        return got.emplace_back(t, n), true;
    });
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1001, 5}, {0xB001, 0}, {0x1003, 300}}));
    EXPECT_EQ(buf.size() - used, 3u) << "a possible message start is kept";
    Bytes huge = message(0x1001, Bytes(64, 1));
    put(huge, 12, 0xFFFFFFFF, true);
    EXPECT_EQ(ipc::scan::reports(huge.data(), huge.size(), [](uint32_t, uint8_t*, uint32_t) { return ADD_FAILURE(), true; }),
              0u);
    // Split at every byte boundary.
    const Bytes stream = cat({message(0x1002, Bytes(20, 2)), message(0xA003, Bytes(3, 3))});
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Bytes buf(stream.begin(), stream.begin() + cut);
        std::vector<uint32_t> types;
        auto on = [&](uint32_t t, uint8_t*, uint32_t) { return types.push_back(t), true; };
        buf.erase(buf.begin(), buf.begin() + ipc::scan::reports(buf.data(), buf.size(), on));
        buf.insert(buf.end(), stream.begin() + cut, stream.end());
        ipc::scan::reports(buf.data(), buf.size(), on);
        EXPECT_EQ(types, (std::vector<uint32_t>{0x1002, 0xA003})) << "cut at " << cut;
    }
}

// W, the W-byte record, the part count, the lengths, then the part bytes.
Bytes picture_body(uint32_t w, int8_t count, std::vector<uint32_t> lengths, size_t dataBytes) {
    Bytes b(8 + w + 4 * lengths.size() + dataBytes, 0x42);
    put(b, 0, w, false);
    std::fill(b.begin() + 4, b.begin() + 8 + w, 0);
    b[4 + w] = static_cast<uint8_t>(count);
    for (size_t i = 0; i < lengths.size(); ++i) put(b, 8 + w + 4 * i, lengths[i], false);
    return b;
}

TEST(PictureBody, PartsAndFirstPictureStayInsideTheBody) {
    std::vector<std::pair<int, uint32_t>> parts;
    auto walk = [&](Bytes b) {
        ipc::scan::picture_parts(b.data(), static_cast<uint32_t>(b.size()),
                                 [&](int i, ipc::scan::Part p) { parts.emplace_back(i, p.length); });
    };
    walk(picture_body(32, 2, {3, 4}, 7));
    walk(picture_body(32, 2, {5, 0xFFFFFFF0u}, 7));  // the second length points outside
    EXPECT_EQ(parts, (std::vector<std::pair<int, uint32_t>>{{1, 3}, {2, 4}, {1, 5}}));
    parts.clear();
    Bytes hugeW = picture_body(8, 1, {1}, 1);
    put(hugeW, 0, 0xFFFFFFFF, false);
    walk(hugeW);
    walk(picture_body(8, -3, {}, 0));
    walk(picture_body(8, 127, {1}, 0));
    walk(picture_body(8, -1, std::vector<uint32_t>(255, 0), 0));  // room for 255 empty parts
    EXPECT_TRUE(parts.empty());

    Bytes body = picture_body(256, 1, {5}, 5);
    body[12] = 2;  // kind
    ipc::scan::Picture pic;
    ASSERT_TRUE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size()), pic));
    EXPECT_TRUE(pic.kind == 2 && pic.word == 256u && pic.first.length == 5u && pic.first.data == body.data() + 268);
    EXPECT_FALSE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size() - 1), pic));
    body[260] = 0;
    EXPECT_FALSE(ipc::scan::first_picture(body.data(), static_cast<uint32_t>(body.size()), pic));
}

}  // namespace
