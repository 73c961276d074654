// MD5 against RFC 1321 and hashlib vectors; digest authentication against RFC 2617 (other qop forms: hashlib).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipcsdk.h"

namespace {

// Feeds the input in the given chunk sizes (cycled), then finalises.
std::string md5(const std::string& in, std::vector<uint32_t> chunks) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    for (uint32_t pos = 0, i = 0, n; pos < in.size(); pos += n, ++i)
        MD5Update(&ctx, p + pos, n = std::min<uint32_t>(chunks[i % chunks.size()], uint32_t(in.size()) - pos));
    uint8_t digest[16];
    MD5Final(digest, &ctx);
    char hex[34];
    hex[33] = '#';
    MD5Auth_CvtHex(digest, hex);
    EXPECT_EQ(hex[33], '#');
    return hex;
}

// RFC 1321 vectors and xorshift32 prefixes around the padding boundaries; whole and in uneven updates.
TEST(Md5, DigestsWholeInPiecesAndAsUpperCaseText) {
    std::string data;
    for (uint32_t x = 0x2545F491; data.size() < 128; data.push_back(char(x))) x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    const std::pair<std::string, const char*> digests[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {data.substr(0, 55), "7ad3022b43343f91c09e9049759eb788"},
        {data.substr(0, 56), "3b472c87c6719f5fce0104fd12b8eb76"},
        {data.substr(0, 64), "624b5c93cab6bcb83c66e1f475d4a288"},
        {data.substr(0, 120), "1a5451d5881fd06f9b3124af4ff7e937"},
        {data, "a82bfecf5da4f7ab1b8225401a9a4f6c"},
    };
    for (const auto& [in, want] : digests) {
        EXPECT_EQ(md5(in, {uint32_t(in.size())}), want) << in.size();
        EXPECT_EQ(md5(in, {1, 0, 63, 5, 64, 17, 129}), want) << in.size();
    }
    char gen[34];
    gen[33] = '#';
    MD5Gen(gen, reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_STREQ(gen, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(gen[33], '#');
    MD5Gen(gen, nullptr, 0);
    EXPECT_STREQ(gen, "D41D8CD98F00B204E9800998ECF8427E");
}

// RFC 2617 section 3.5 example values.
constexpr const char *kUser = "Mufasa", *kRealm = "testrealm@host.com", *kPass = "Circle Of Life",
                     *kNonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093", *kCnonce = "0a4f113b", *kNc = "00000001",
                     *kUri = "/dir/index.html", *kHA1 = "939e7578ed9e3c518a452acee763bce9",
                     *kRespAuth = "6629fae49393a05397450978507c4ef1";

// The builder's result into a 40-byte buffer of '#': the return value, then the buffer's text.
std::pair<int, std::string> build(uint16_t size, uint8_t sess, std::vector<const char*> a, bool nullDst = false) {
    char out[40];
    std::memset(out, '#', sizeof out);
    const int r = MD5Auth_BuildAuthResonseWithMD5(nullDst ? nullptr : out, size, sess, a[0], a[1], a[2], a[3], a[4],
                                                  a[5], a[6], a[7], a[8]);
    return {r, std::string(out, sizeof out)};
}
std::string response(uint8_t sess, const char* qop, const char* nc = kNc, const char* cnonce = kCnonce) {
    auto [r, out] = build(40, sess, {kUser, kRealm, kPass, kNonce, nc, cnonce, qop, "GET", kUri});
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out.substr(32), std::string("\0#######", 8));
    return out.substr(0, 32);
}

TEST(Md5Digest, ResponsesPlainSessionQopFormsAndBuilderRefusals) {
    char ha1[33], resp[33];
    // Plain MD5: the client nonce does not enter H(A1); any flag but 1 means plain MD5.
    for (uint8_t flag : {0, 2}) {
        MD5Auth_DigestCalcHA1(kUser, kPass, flag, kRealm, kNonce, flag ? kCnonce : nullptr, ha1);
        EXPECT_STREQ(ha1, kHA1) << int(flag);
    }
    MD5Auth_DigestCalcHA1(kUser, kPass, 1, kRealm, kNonce, kCnonce, ha1);
    EXPECT_STREQ(ha1, "71f45625a6e5fcdd072ce44e8e101a01");
    // Unterminated heap copies: a read past 32 bytes shows up under the address sanitizer.
    const std::vector<char> h(kHA1, kHA1 + 32), entity(32, '\0');
    MD5Auth_DigestCalcResponse(h.data(), kNonce, kNc, kCnonce, "auth", "GET", kUri, entity.data(), resp);
    EXPECT_STREQ(resp, kRespAuth);
    const char* ent = "5b64a4ef2faf135617e24b9ec51a3973";
    MD5Auth_DigestCalcResponse(h.data(), kNonce, kNc, kCnonce, "auth-int", "GET", kUri,
                               std::vector<char>(ent, ent + 32).data(), resp);
    EXPECT_STREQ(resp, "f2cba6775e9f67ac8ede2cd02ccb6dd7");
    EXPECT_EQ(response(0, "auth"), kRespAuth);
    EXPECT_EQ(response(1, "auth"), "68c13aa36c0e5ab2e1e1e684dacc873b");
    // Null qop: RFC 2069 form, nonce count and client nonce unused (may even be null).
    EXPECT_EQ(response(0, nullptr, nullptr, nullptr), "670fd8c2df070c60b045671b8b24ff02");
    // Only an exact "auth-int" appends H(entity), which the builder passes as 32 zero bytes.
    EXPECT_EQ(response(0, "AUTH"), "389109b310bc4cfc538ebec7701e34bd");
    EXPECT_EQ(response(0, "auth-int"), "621037287e5db3121f6eb590991dca30");

    // Cut to size - 1 characters; refusals write nothing.
    const std::vector<const char*> ok = {kUser, kRealm, kPass, kNonce, kNc, kCnonce, "auth", "GET", kUri};
    for (uint16_t size : {1, 15, 33}) {
        const auto [r, out] = build(size, 0, ok);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(out, std::string(kRespAuth, size - 1u) + '\0' + std::string(40 - size, '#')) << size;
    }
    const std::pair<int, std::string> refused{-1, std::string(40, '#')};
    EXPECT_EQ(build(40, 0, ok, true).first, -1);
    EXPECT_EQ(build(0, 0, ok), refused);
    EXPECT_EQ(build(40, 2, ok), refused);  // neither plain (0) nor session (1)
    // A missing argument, and MD5-sess without a qop but also without a client nonce.
    EXPECT_EQ(build(40, 0, {nullptr, kRealm, kPass, kNonce, kNc, kCnonce, "auth", "GET", kUri}), refused);
    EXPECT_EQ(build(40, 1, {kUser, kRealm, kPass, kNonce, kNc, nullptr, nullptr, "GET", kUri}), refused);
}

}  // namespace
