// Byte layouts the camera produces: report messages, video frames, picture bodies, sample
// pictures, and the credential digest it checks at login.
#include <algorithm>
#include "ipcsim.hpp"
#include "wire.hpp"

#include <ipcsdk.h>

#include <cctype>
#include <cstdio>

namespace ipcsim {

std::vector<uint8_t> Camera::report_message(uint32_t type, const std::vector<uint8_t>& body) {
    // Sized once and filled: appending to a freshly sized vector trips a false -Warray-bounds
    // in g++ 12 at -O2.
    std::vector<uint8_t> m(28 + body.size(), 0);
    m[0] = 0x5A;
    m[1] = 0x5B;
    m[2] = 0x01;
    m[3] = 1;
    m[4] = 8;
    wire::put_be32(m, 12, static_cast<uint32_t>(12 + body.size()));
    wire::put_be32(m, 20, type);
    std::copy(body.begin(), body.end(), m.begin() + 28);
    return m;
}

std::vector<uint8_t> Camera::video_frame(const std::vector<uint8_t>& payload, uint32_t sequence) {
    std::vector<uint8_t> f(wire::kVideoHeader + payload.size(), 0);
    f[0] = 'x';
    f[1] = 'q';
    f[2] = 'm';
    f[3] = 'p';
    wire::put_le32(f, 4, sequence);
    wire::put_le32(f, 8, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), f.begin() + wire::kVideoHeader);
    return f;
}

std::vector<uint8_t> Camera::picture_body(uint8_t kind, const std::vector<uint8_t>& picture) {
    // W = 256, the 256-byte record (kind at its byte 8), part count 1, one part length, the part.
    std::vector<uint8_t> b(268 + picture.size(), 0);
    wire::put_le32(b, 0, 256);
    b[4 + 8] = kind;
    b[260] = 1;
    wire::put_le32(b, 264, static_cast<uint32_t>(picture.size()));
    std::copy(picture.begin(), picture.end(), b.begin() + 268);
    return b;
}

std::vector<uint8_t> Camera::sample_picture(int width, int height, int seed) {
    width = width < 1 ? 1 : width;
    height = height < 1 ? 1 : height;
    char head[48];
    int n = std::snprintf(head, sizeof head, "P6\n%d %d\n255\n", width, height);
    std::vector<uint8_t> p(head, head + n);
    p.reserve(p.size() + static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            bool stripe = ((x + y + seed * 5) / 8) % 2 == 0;
            p.push_back(static_cast<uint8_t>(x * 255 / width));
            p.push_back(static_cast<uint8_t>(y * 255 / height));
            p.push_back(static_cast<uint8_t>(stripe ? seed * 67 : 255 - seed * 67));
        }
    return p;
}

namespace wire {

size_t split_requests(const uint8_t* in, size_t n, std::vector<std::vector<uint8_t>>& out) {
    size_t pos = 0;
    while (n - pos >= kHeader) {
        const uint8_t* h = in + pos;
        if (h[0] != 0x5B || h[1] != 0x5A) {  // not a request start: resynchronise
            ++pos;
            continue;
        }
        uint32_t len = be32(h + 12);
        if (len > kMaxRequest || n - pos < kHeader + len) break;
        out.emplace_back(h, h + kHeader + len);
        pos += kHeader + len;
    }
    return pos;
}

Announcement parse_announcement(const uint8_t* in, size_t n) {
    if (n < kHeader) return {Announcement::More, 0};
    uint32_t len = be32(in + 12);
    if (in[0] != 0x5B || in[1] != 0x5A || in[3] != 0 || in[4] != 3 || len < 4 || len > 4096)
        return {Announcement::Bad, len};
    if (n < kHeader + len) return {Announcement::More, len};
    uint32_t type = be32(in + kHeader);
    if (type != 1 && type != 2) return {Announcement::Bad, len};
    return {type == 1 ? Announcement::Report : Announcement::Video, len};
}

}  // namespace wire

std::string credential_digest(const std::string& user, const std::string& password) {
    std::string text = user + ":quorin:" + password;
    char hex[33] = {};
    MD5Gen(hex, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    std::string out(hex, 32);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace ipcsim
