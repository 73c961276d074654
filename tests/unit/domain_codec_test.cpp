// Record codecs of the exported pack and unpack functions, in literal bytes: what the command
// walk does not reach (records sent in host order, the preset table overwritten whole, records
// of odd sizes back to back, unpackers that take a maximum below one as one).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bytes.hpp"
#include "ipcsdk.h"

namespace {

using testenv::Bytes;
using testenv::pattern;

// An answer: a header whose own length field is deliberately wrong, then the payload.
Bytes answer(const Bytes& payload) {
    Bytes a(16 + payload.size(), 0);  // sized once: appending trips a false -Warray-bounds in g++ 12
    a[0] = 0x5B, a[1] = 0x5A, a[2] = 0x01, a[3] = 0x0C, a[15] = 0x01;
    std::copy(payload.begin(), payload.end(), a.begin() + 16);
    return a;
}

template <typename T>
T filled(uint8_t b) {
    T t;
    std::memset(&t, b, sizeof t);
    return t;
}

TEST(DomainCodecBytes, PtzRecords) {
    uint8_t out[10240];
    uint32_t len = 0;
    PTZValueRecord v = filled<PTZValueRecord>(0);
    v.usPanVal = 0x0102;
    ASSERT_EQ(IPCPackPTZValue(1, &v, out, &len), 0u);
    EXPECT_EQ(len, 134u);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{1, 2}));

    PTZCtrlRecord ctrl = filled<PTZCtrlRecord>(0);
    const uint32_t one = 1;
    std::memcpy(ctrl.bytes + 128, &one, 4);
    ASSERT_EQ(IPCPackPTZCtrl(&ctrl, out, &len), 0u);
    EXPECT_EQ(len, 132u);
    EXPECT_EQ(std::memcmp(out + 128, &one, 4), 0) << "sent in host order";

    // A get writes bytes 0..9 of each record only.
    PTZParamRecord p = filled<PTZParamRecord>(0xFF);
    Bytes wire(128, 0x11);
    wire[4] = 0x00, wire[5] = 0x00, wire[6] = 0x01, wire[7] = 0x02;
    const Bytes a = answer(wire);
    ASSERT_EQ(IPCUnPackPTZParam(a.data(), static_cast<uint32_t>(a.size()), 1, &p), 1u);
    EXPECT_EQ(p.value, 0x0102u);
    EXPECT_EQ(Bytes(p.rest, p.rest + 118), Bytes(118, 0xFF));
}

TEST(DomainCodecBytes, PresetTableIsAlwaysOverwrittenWhole) {
    static PresetTable table;
    std::memset(&table, 0xEE, sizeof table);
    Bytes buf = answer(pattern(36));
    buf.resize(10240, 0x77);  // what lies past the answer is not taken
    EXPECT_EQ(IPCUnPackPresetPointEx(buf.data(), 16 + 36, 1, &table), 0u);
    const auto* t = reinterpret_cast<const uint8_t*>(&table);
    EXPECT_EQ(Bytes(t, t + 36), pattern(36));
    EXPECT_EQ(Bytes(t + 36, t + 9180), Bytes(9144, 0));
    const Bytes full = answer(pattern(9180, 3));
    EXPECT_EQ(IPCUnPackPresetPointEx(full.data(), static_cast<uint32_t>(full.size()), 1, &table), 0u);
    EXPECT_EQ(Bytes(t, t + 9180), pattern(9180, 3));
    EXPECT_EQ(IPCUnPackPresetPointEx(full.data(), 10, 1, &table), 0u);
    EXPECT_EQ(Bytes(t, t + 9180), Bytes(9180, 0)) << "an answer without payload leaves zero bytes";
}

TEST(DomainCodecBytes, SettingsRecords) {
    uint8_t out[1024];
    uint32_t len = 0;
    FtpInfo ftp = filled<FtpInfo>(0);
    ftp.word1 = 1;
    ftp.number = 21;
    ASSERT_EQ(IPCPackFtpInfo(1, &ftp, out, &len), 0u);
    EXPECT_EQ(len, 220u);
    EXPECT_EQ(Bytes(out, out + 10), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0x00, 0x15}));

    // Records of 125 bytes follow each other without padding.
    RestartInfo r[2];
    std::memset(r, 0x33, sizeof r);
    r[0].word = 1;
    r[1].word = 2;
    ASSERT_EQ(IPCPackRestartInfo(2, r, out, &len), 0u);
    EXPECT_EQ(len, 250u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 0, 0, 1, 0x33}));
    EXPECT_EQ(Bytes(out + 125, out + 129), (Bytes{0, 0, 0, 2}));

    MagnifyInfo mag = filled<MagnifyInfo>(0x44);
    mag.number1 = 1, mag.number2 = 2, mag.number3 = 3, mag.number4 = 4, mag.value = 5;
    ASSERT_EQ(IPCPackMagnifyInfo(1, &mag, out, &len), 0u);
    EXPECT_EQ(len, 132u);
    EXPECT_EQ(Bytes(out, out + 10), (Bytes{0, 1, 0, 2, 0, 3, 0, 4, 5, 0x44}));
}

TEST(DomainCodecBytes, ExtensionRecords) {
    uint8_t out[1024];
    uint32_t len = 0;
    const uint32_t wiper = 1;
    ASSERT_EQ(IPCPackWiper(&wiper, out, &len), 0u);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(std::memcmp(out, &wiper, 4), 0) << "sent in host order";

    // The cross record is copied whole, but only 8 bytes are announced.
    const Bytes cross = pattern(131);
    std::memset(out, 0xA5, sizeof out);
    ASSERT_EQ(IPCPackCross(reinterpret_cast<const CrossInfo*>(cross.data()), out, &len), 0u);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(Bytes(out, out + 131), cross);
    EXPECT_EQ(out[131], 0xA5);

    DayNightInfo dn[2];
    std::memset(dn, 0x66, sizeof dn);
    dn[1].word1 = 0x01020304;
    ASSERT_EQ(IPCPackImageIspDayNight(2, dn, out, &len), 0u);
    EXPECT_EQ(len, 256u);
    EXPECT_EQ(Bytes(out + 128, out + 140), (Bytes{0x66, 0x66, 0, 0, 1, 2, 3, 4, 0x66, 0x66, 0x66, 0x66}));
}

TEST(DomainCodecBytes, UnpackCountsAndMaximumsBelowOne) {
    const Bytes a = answer(pattern(132 * 2));
    const uint32_t n = static_cast<uint32_t>(a.size());
    FocusModeRecord focus[2];
    FireModeInfo fire[2];
    ImageEnhanceInfo enhance[2];
    NetWorkConfInfo net[5];
    EXPECT_EQ(IPCUnPackFocusModeInfo(a.data(), n, 0, focus), 1u);
    EXPECT_EQ(IPCUnPackFireModeSet(a.data(), n, -3, fire), 1u);
    EXPECT_EQ(IPCUnPackImageIspImageEnhance(a.data(), n, 0, enhance), 1u);
    EXPECT_EQ(IPCUnPackNetWorkConfInfo(a.data(), n, 0, net), 0u);
    EXPECT_EQ(IPCUnPackNetWorkConfInfo(a.data(), 16 + 139, 2, net), 0u) << "less than one record";
    const Bytes b = answer(pattern(210));  // 1.5 records with a maximum of 5: one
    EXPECT_EQ(IPCUnPackNetWorkConfInfo(b.data(), static_cast<uint32_t>(b.size()), 5, net), 1u);
}

}  // namespace
