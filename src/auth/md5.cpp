// MD5 (RFC 1321, in the shape of the reference code) and the digest-authentication helpers
// (RFC 2617 CvtHex / DigestCalcHA1 / DigestCalcResponse) plus two convenience wrappers.
// Nothing here allocates or keeps state between calls.
#include "ipcsdk.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

// Per-round left rotations and the sine-derived constants T[1..64] of RFC 1321.
constexpr std::array<uint8_t, 16> kShift = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
constexpr std::array<uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr uint8_t kPadding[64] = {0x80};

constexpr uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

void encode(uint8_t* out, const uint32_t* in, size_t words) {
    for (size_t i = 0; i < words; ++i)
        for (unsigned b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(in[i] >> (8 * b));
}

void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (unsigned i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
               uint32_t(block[4 * i + 3]) << 24;

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned round = i / 16;
        uint32_t f;
        unsigned k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        const uint32_t t = d;
        d = c;
        c = b;
        b += rotl(a + f + x[k] + kSine[i], kShift[round * 4 + i % 4]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    std::memset(x, 0, sizeof x);
}

void update(MD5_CTX* ctx, const uint8_t* input, uint32_t length) {
    uint32_t index = (ctx->count[0] >> 3) & 0x3f;
    // Bit count modulo 2^64: carry the low word's overflow and the length's top three bits.
    if ((ctx->count[0] += length << 3) < (length << 3)) ++ctx->count[1];
    ctx->count[1] += length >> 29;

    const uint32_t partLen = 64 - index;
    uint32_t i = 0;
    if (length >= partLen) {
        std::memcpy(&ctx->buffer[index], input, partLen);
        transform(ctx->state, ctx->buffer);
        for (i = partLen; length - i >= 64; i += 64) transform(ctx->state, input + i);
        index = 0;
    }
    if (length > i) std::memcpy(&ctx->buffer[index], input + i, length - i);
}

// MD5 over the parts joined by ':', as the digest formulas write them.
void md5Joined(uint8_t digest[16], std::initializer_list<std::string_view> parts) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    bool first = true;
    for (std::string_view part : parts) {
        if (!first) update(&ctx, reinterpret_cast<const uint8_t*>(":"), 1);
        first = false;
        update(&ctx, reinterpret_cast<const uint8_t*>(part.data()), static_cast<uint32_t>(part.size()));
    }
    MD5Final(digest, &ctx);
}

}  // namespace

void MD5Init(MD5_CTX* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5Update(MD5_CTX* context, const uint8_t* input, uint32_t length) { update(context, input, length); }

void MD5Final(uint8_t digest[16], MD5_CTX* context) {
    uint8_t bits[8];
    encode(bits, context->count, 2);
    const uint32_t index = (context->count[0] >> 3) & 0x3f;
    update(context, kPadding, index < 56 ? 56 - index : 120 - index);
    update(context, bits, 8);
    encode(digest, context->state, 4);
    std::memset(context, 0, sizeof *context);
}

void MD5Auth_CvtHex(const uint8_t bin[16], char hex[33]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned i = 0; i < 16; ++i) {
        hex[2 * i] = kDigits[bin[i] >> 4];
        hex[2 * i + 1] = kDigits[bin[i] & 0xf];
    }
    hex[32] = '\0';
}

void MD5Auth_DigestCalcHA1(const char* userName, const char* password, uint8_t sessionFlag, const char* realm,
                           const char* nonce, const char* cnonce, char out[33]) {
    uint8_t h[16];
    md5Joined(h, {userName, realm, password});
    if (sessionFlag == 1) md5Joined(h, {{reinterpret_cast<const char*>(h), sizeof h}, nonce, cnonce});
    MD5Auth_CvtHex(h, out);
}

void MD5Auth_DigestCalcResponse(const char* ha1, const char* nonce, const char* nonceCount, const char* cnonce,
                                const char* qop, const char* method, const char* digestUri, const char* hEntity,
                                char out[33]) {
    uint8_t h[16];
    char ha2[33];
    if (qop != nullptr && std::strcmp(qop, "auth-int") == 0)
        md5Joined(h, {method, digestUri, {hEntity, 32}});
    else
        md5Joined(h, {method, digestUri});
    MD5Auth_CvtHex(h, ha2);

    const std::string_view ha1Hex(ha1, 32);
    if (qop == nullptr)
        md5Joined(h, {ha1Hex, nonce, ha2});
    else
        md5Joined(h, {ha1Hex, nonce, nonceCount, cnonce, qop, ha2});
    MD5Auth_CvtHex(h, out);
}

int MD5Auth_BuildAuthResonseWithMD5(char* dst, uint16_t size, uint8_t sessionFlag, const char* userName,
                                    const char* realm, const char* password, const char* nonce,
                                    const char* nonceCount, const char* cnonce, const char* qop, const char* method,
                                    const char* digestUri) {
    if (dst == nullptr || size == 0 || sessionFlag > 1 || !userName || !realm || !password || !nonce || !method ||
        !digestUri)
        return -1;
    // A qop or MD5-sess puts the nonce count and client nonce into the hash: both are required then.
    if ((qop != nullptr || sessionFlag == 1) && (nonceCount == nullptr || cnonce == nullptr)) return -1;

    static constexpr char kNoEntity[32] = {};
    char ha1[33];
    char response[33];
    MD5Auth_DigestCalcHA1(userName, password, sessionFlag, realm, nonce, cnonce, ha1);
    MD5Auth_DigestCalcResponse(ha1, nonce, nonceCount, cnonce, qop, method, digestUri, kNoEntity, response);
    std::snprintf(dst, size, "%s", response);
    return 0;
}

void MD5Gen(char out[33], const uint8_t* input, uint32_t len) {
    MD5_CTX ctx;
    uint8_t digest[16];
    MD5Init(&ctx);
    update(&ctx, input, len);
    MD5Final(digest, &ctx);
    MD5Auth_CvtHex(digest, out);
    for (char* p = out; *p; ++p)
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
}
