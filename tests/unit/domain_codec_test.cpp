// Record codecs in literal bytes, where the command walk does not reach: the preset table, records back to
// back, the cross record, maximums below one.
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

TEST(DomainCodecBytes, PresetTableWholeRecordsBackToBackCrossRecordAndMaximumsBelowOne) {
    static PresetTable table;  // always overwritten whole
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

    uint8_t out[1024];
    uint32_t len = 0;
    RestartInfo r[2];  // 125 bytes each, no padding between them
    std::memset(r, 0x33, sizeof r);
    r[0].word = 1;
    r[1].word = 2;
    ASSERT_EQ(IPCPackRestartInfo(2, r, out, &len), 0u);
    EXPECT_EQ(len, 250u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 0, 0, 1, 0x33}));
    EXPECT_EQ(Bytes(out + 125, out + 129), (Bytes{0, 0, 0, 2}));
    DayNightInfo dn[2];
    std::memset(dn, 0x66, sizeof dn);
    dn[1].word1 = 0x01020304;
    ASSERT_EQ(IPCPackImageIspDayNight(2, dn, out, &len), 0u);
    EXPECT_EQ(len, 256u);
    EXPECT_EQ(Bytes(out + 128, out + 140), (Bytes{0x66, 0x66, 0, 0, 1, 2, 3, 4, 0x66, 0x66, 0x66, 0x66}));

    // The cross record is copied whole, but only 8 bytes are announced.
    const Bytes cross = pattern(131);
    std::memset(out, 0xA5, sizeof out);
    ASSERT_EQ(IPCPackCross(reinterpret_cast<const CrossInfo*>(cross.data()), out, &len), 0u);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(Bytes(out, out + 131), cross);
    EXPECT_EQ(out[131], 0xA5);

    // Unpackers take a maximum below one as one.
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
