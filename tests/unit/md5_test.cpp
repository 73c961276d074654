// MD5 against RFC 1321 and hashlib vectors at the block boundaries; digest authentication
// against RFC 2617 (responses for the other qop forms computed once with hashlib).
#include "ipcsdk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kHA1 = "939e7578ed9e3c518a452acee763bce9";
constexpr const char* kHA1Sess = "71f45625a6e5fcdd072ce44e8e101a01";
constexpr const char* kRespNoQop = "670fd8c2df070c60b045671b8b24ff02";
constexpr const char* kRespAuth = "6629fae49393a05397450978507c4ef1";
constexpr const char* kRespAUTH = "389109b310bc4cfc538ebec7701e34bd";
constexpr const char* kRespAuthIntZero = "621037287e5db3121f6eb590991dca30";
constexpr const char* kRespSessAuth = "68c13aa36c0e5ab2e1e1e684dacc873b";
constexpr const char* kEntity = "5b64a4ef2faf135617e24b9ec51a3973";
constexpr const char* kRespAuthIntEntity = "f2cba6775e9f67ac8ede2cd02ccb6dd7";

std::string hexOf(const uint8_t digest[16]) {
    char hex[33];
    MD5Auth_CvtHex(digest, hex);
    return hex;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

// Feeds the input in the given chunk sizes (cycled), then finalises.
std::string md5Chunked(const std::vector<uint8_t>& in, std::initializer_list<uint32_t> chunks) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    size_t pos = 0;
    for (auto it = chunks.begin(); pos < in.size(); it = std::next(it) == chunks.end() ? chunks.begin() : std::next(it)) {
        const uint32_t n = std::min<uint32_t>(*it, uint32_t(in.size() - pos));
        MD5Update(&ctx, in.data() + pos, n);
        pos += n;
    }
    uint8_t digest[16];
    MD5Final(digest, &ctx);
    return hexOf(digest);
}

// Same xorshift32 stream the vector generator used.
std::vector<uint8_t> streamBytes(size_t n) {
    std::vector<uint8_t> out;
    uint32_t x = 0x2545F491;
    while (out.size() < n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(uint8_t(x));
    }
    return out;
}

TEST(Md5, Rfc1321Suite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, want] : suite) {
        const std::vector<uint8_t> in(text, text + std::strlen(text));
        EXPECT_EQ(md5Chunked(in, {64}), want) << '"' << text << '"';
        char gen[33];
        MD5Gen(gen, in.data(), uint32_t(in.size()));
        EXPECT_EQ(gen, upper(want)) << '"' << text << '"';
    }
}

// Prefixes of an xorshift32 stream around the 56- and 64-byte padding boundaries.
TEST(Md5, BlockBoundariesWholeAndChunked) {
    const std::pair<size_t, const char*> digests[] = {
        {55, "7ad3022b43343f91c09e9049759eb788"},  {56, "3b472c87c6719f5fce0104fd12b8eb76"},
        {63, "e33c9623e37dc499b791ba1c69d929e4"},  {64, "624b5c93cab6bcb83c66e1f475d4a288"},
        {65, "1270cc5329d103b5c7fece7b48e07ae3"},  {119, "7609e02957b2176d4a921c98eb2024f7"},
        {120, "1a5451d5881fd06f9b3124af4ff7e937"}, {128, "a82bfecf5da4f7ab1b8225401a9a4f6c"},
    };
    const std::vector<uint8_t> data = streamBytes(128);
    for (const auto& [n, want] : digests) {
        const std::vector<uint8_t> in(data.begin(), data.begin() + long(n));
        EXPECT_EQ(md5Chunked(in, {uint32_t(n)}), want) << n;
        EXPECT_EQ(md5Chunked(in, {1, 0, 63, 5, 64, 17, 129}), want) << n;
        EXPECT_EQ(md5Chunked(in, {55, 1, 8, 56}), want) << n;
    }
}

TEST(Md5, ContextLayoutCountCarryAndFinalClears) {
    MD5_CTX ctx;
    std::memset(&ctx, 0xa5, sizeof ctx);
    MD5Init(&ctx);
    EXPECT_EQ(ctx.state[0], 0x67452301u);
    EXPECT_EQ(ctx.state[3], 0x10325476u);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 0u);

    const uint8_t bytes[3] = {'a', 'b', 'c'};
    MD5Update(&ctx, bytes, 3);
    EXPECT_EQ(ctx.count[0], 24u);
    EXPECT_EQ(0, std::memcmp(ctx.buffer, "abc", 3));

    // The low bit-count word overflows into the high word.
    ctx.count[0] = 0xfffffff8u;
    MD5Update(&ctx, bytes, 2);
    EXPECT_EQ(ctx.count[0], 8u);
    EXPECT_EQ(ctx.count[1], 1u);

    uint8_t digest[16];
    MD5Final(digest, &ctx);
    const MD5_CTX zero{};
    EXPECT_EQ(0, std::memcmp(&ctx, &zero, sizeof ctx));
}

TEST(Md5, HexForms) {
    const uint8_t bin[16] = {0x00, 0x01, 0x0a, 0x10, 0x9f, 0xa0, 0xf0, 0xff,
                             0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xef};
    char hex[34];
    std::memset(hex, '#', sizeof hex);
    MD5Auth_CvtHex(bin, hex);
    EXPECT_STREQ(hex, "00010a109fa0f0ff123456789abcdeef");
    EXPECT_EQ(hex[33], '#');

    char gen[34];
    std::memset(gen, '#', sizeof gen);
    MD5Gen(gen, reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_STREQ(gen, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(gen[33], '#');
    MD5Gen(gen, nullptr, 0);
    EXPECT_STREQ(gen, "D41D8CD98F00B204E9800998ECF8427E");
}

// RFC 2617 section 3.5 example values.
constexpr const char* kUser = "Mufasa";
constexpr const char* kRealm = "testrealm@host.com";
constexpr const char* kPass = "Circle Of Life";
constexpr const char* kNonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
constexpr const char* kCnonce = "0a4f113b";
constexpr const char* kNc = "00000001";
constexpr const char* kUri = "/dir/index.html";

std::string build(uint8_t sess, const char* qop, const char* nc = kNc, const char* cnonce = kCnonce) {
    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, MD5Auth_BuildAuthResonseWithMD5(out, sizeof out, sess, kUser, kRealm, kPass, kNonce, nc, cnonce,
                                                  qop, "GET", kUri));
    EXPECT_EQ(out[33], '#');
    return out;
}

TEST(Md5Digest, Rfc2617Example) {
    char ha1[33], resp[33];
    MD5Auth_DigestCalcHA1(kUser, kPass, 0, kRealm, kNonce, kCnonce, ha1);
    EXPECT_STREQ(ha1, kHA1);
    const char zero[32] = {};
    MD5Auth_DigestCalcResponse(ha1, kNonce, kNc, kCnonce, "auth", "GET", kUri, zero, resp);
    EXPECT_STREQ(resp, "6629fae49393a05397450978507c4ef1");
    EXPECT_EQ(build(0, "auth"), "6629fae49393a05397450978507c4ef1");
}

TEST(Md5Digest, SessionFlag) {
    char a[33], b[33];
    // Plain MD5: the client nonce does not enter H(A1); any flag but 1 means plain MD5.
    MD5Auth_DigestCalcHA1(kUser, kPass, 0, kRealm, kNonce, "other", a);
    MD5Auth_DigestCalcHA1(kUser, kPass, 2, kRealm, kNonce, kCnonce, b);
    EXPECT_STREQ(a, kHA1);
    EXPECT_STREQ(b, kHA1);
    MD5Auth_DigestCalcHA1(kUser, kPass, 0, kRealm, kNonce, nullptr, a);
    EXPECT_STREQ(a, kHA1);

    MD5Auth_DigestCalcHA1(kUser, kPass, 1, kRealm, kNonce, kCnonce, a);
    EXPECT_STREQ(a, kHA1Sess);
    EXPECT_EQ(build(1, "auth"), kRespSessAuth);
}

TEST(Md5Digest, QopForms) {
    // Null qop: RFC 2069 form, nonce count and client nonce unused (may even be null).
    EXPECT_EQ(build(0, nullptr, nullptr, nullptr), kRespNoQop);
    // Only an exact "auth-int" appends H(entity), which the builder passes as 32 zero bytes.
    EXPECT_EQ(build(0, "AUTH"), kRespAUTH);
    EXPECT_EQ(build(0, "auth-int"), kRespAuthIntZero);
}

TEST(Md5Digest, ResponseReadsExactly32HexBytes) {
    // Unterminated heap copies: a read past 32 bytes shows up under the address sanitizer.
    const std::vector<char> ha1(kHA1, kHA1 + 32);
    const std::vector<char> entity(kEntity, kEntity + 32);
    char resp[33];
    MD5Auth_DigestCalcResponse(ha1.data(), kNonce, kNc, kCnonce, "auth-int", "GET", kUri, entity.data(), resp);
    EXPECT_STREQ(resp, kRespAuthIntEntity);
}

TEST(Md5Digest, BuilderCutsToDestinationSize) {
    char out[16];
    for (uint16_t size : {1, 10, 15}) {
        std::memset(out, '#', sizeof out);
        ASSERT_EQ(0, MD5Auth_BuildAuthResonseWithMD5(out, size, 0, kUser, kRealm, kPass, kNonce, kNc, kCnonce,
                                                      "auth", "GET", kUri));
        EXPECT_EQ(std::string(out), std::string(kRespAuth, size - 1u)) << "size " << size;
        EXPECT_EQ(out[size], '#') << "size " << size;
    }
    char full[33];
    ASSERT_EQ(0, MD5Auth_BuildAuthResonseWithMD5(full, 33, 0, kUser, kRealm, kPass, kNonce, kNc, kCnonce, "auth",
                                                  "GET", kUri));
    EXPECT_STREQ(full, kRespAuth);
}

TEST(Md5Digest, BuilderRefusalsWriteNothing) {
    struct Args {
        char* dst;
        uint16_t size;
        uint8_t sess;
        const char *user, *realm, *pass, *nonce, *nc, *cnonce, *qop, *method, *uri;
    };
    char out[40];
    const Args ok{out, sizeof out, 0, kUser, kRealm, kPass, kNonce, kNc, kCnonce, "auth", "GET", kUri};
    auto with = [&](auto change) {
        Args a = ok;
        change(a);
        return a;
    };
    const Args refused[] = {
        with([](Args& a) { a.dst = nullptr; }),   with([](Args& a) { a.size = 0; }),
        with([](Args& a) { a.sess = 2; }),         with([](Args& a) { a.sess = 255; }),
        with([](Args& a) { a.user = nullptr; }),   with([](Args& a) { a.realm = nullptr; }),
        with([](Args& a) { a.pass = nullptr; }),   with([](Args& a) { a.nonce = nullptr; }),
        with([](Args& a) { a.method = nullptr; }), with([](Args& a) { a.uri = nullptr; }),
        // A qop or MD5-sess needs both nonce count and client nonce.
        with([](Args& a) { a.nc = nullptr; }),     with([](Args& a) { a.cnonce = nullptr; }),
        with([](Args& a) { a.qop = nullptr, a.sess = 1, a.nc = nullptr; }),
        with([](Args& a) { a.qop = nullptr, a.sess = 1, a.cnonce = nullptr; }),
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        const Args& a = refused[i];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(-1, MD5Auth_BuildAuthResonseWithMD5(a.dst, a.size, a.sess, a.user, a.realm, a.pass, a.nonce, a.nc,
                                                       a.cnonce, a.qop, a.method, a.uri))
            << "case " << i;
        EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#')) << "case " << i;
    }
}

}  // namespace
