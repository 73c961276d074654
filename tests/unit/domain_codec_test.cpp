// Record codecs of the camera settings: payload bytes for patterned records (big-endian integers
// swapped, every other byte unchanged or, where a codec does not carry it, zero), partial
// fills, record counts and answer bounds. The byte model below is written from the record
// layouts, independently of the codec tables in the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "ipcsdk.h"

namespace {

using testenv::Bytes;
using testenv::Field;
using testenv::Range;
using testenv::in;
using testenv::pattern;
using testenv::u16s;
using testenv::u32s;
using testenv::operator+;


using PackAny = std::function<uint32_t(int32_t count, const void* records, uint8_t* out, uint32_t* len)>;
using UnpackAny = std::function<uint32_t(const uint8_t* answer, uint32_t len, int32_t max, void* records)>;

template <typename C, typename T>
PackAny counted(uint32_t (*f)(C, const T*, uint8_t*, uint32_t*)) {
    return [f](int32_t n, const void* r, uint8_t* o, uint32_t* l) {
        return f(static_cast<C>(n), static_cast<const T*>(r), o, l);
    };
}
template <typename T>
PackAny single(uint32_t (*f)(const T*, uint8_t*, uint32_t*)) {
    return [f](int32_t, const void* r, uint8_t* o, uint32_t* l) { return f(static_cast<const T*>(r), o, l); };
}
template <typename T>
UnpackAny unpacker(uint32_t (*f)(const uint8_t*, uint32_t, int32_t, T*)) {
    return [f](const uint8_t* a, uint32_t n, int32_t m, void* r) { return f(a, n, m, static_cast<T*>(r)); };
}

struct Codec {
    std::string name;
    uint32_t size;
    PackAny pack;                 // null: no packer
    bool packsCount;              // the packer takes a record count
    UnpackAny unpack;             // null: no unpacker
    bool atLeastOne;              // the unpacker takes a maximum below 1 as 1
    std::vector<Field> fields;    // big-endian on the wire
    std::vector<Range> sent;      // bytes copied into the payload (empty: all; others are zero)
    std::vector<Range> received;  // bytes an unpack writes besides the fields (empty: all)
};

void PrintTo(const Codec& c, std::ostream* os) { *os << c.name; }

std::vector<Field> join(std::vector<Field> a, const std::vector<Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Field> cam_mark_fields() {
    std::vector<Field> f;
    for (uint32_t i = 0; i < 20; ++i)
        for (uint32_t o : {4u, 6u, 8u}) f.push_back({o + 8 * i, 2});
    return f;
}
std::vector<Field> cam_mark2_fields() {
    std::vector<Field> f;
    for (uint32_t i = 0; i < 20; ++i)
        for (uint32_t o : {0u, 2u}) f.push_back({o + 8 * i, 2});
    for (uint32_t o = 160; o < 320; o += 2) f.push_back({o, 2});
    return f;
}
std::vector<Field> cam_link_fields() {
    std::vector<Field> f;
    for (uint32_t a : {266u, 568u, 870u, 1172u, 1474u, 1776u})
        for (uint32_t i = 0; i < 20; ++i) f.push_back({a + 2 * i, 2});
    return f;
}

std::vector<Codec> codecs() {
    return {
        {"PTZParam", 128, counted(IPCPackPTZParam), true, unpacker(IPCUnPackPTZParam), false, u32s({4}), {}, {{0, 10}}},
        {"PTZCtrl", 132, single(IPCPackPTZCtrl), false, nullptr, false, {}, {}, {}},
        {"PresetPoint", 36, single(IPCPackPresetPoint), false, unpacker(IPCUnPackPresetPoint), false, {}, {}, {}},
        {"PresetPointEx", 9180, single(IPCPackPresetPointEx), false, nullptr, false, {}, {}, {}},
        {"PTZValue", 134, counted(IPCPackPTZValue), true, unpacker(IPCUnPackPTZValue), false, u16s({0, 2, 4}), {}, {}},
        {"Cruise", 124, single(IPCPackCruise), false, nullptr, false, {}, {}, {}},
        {"CruiseInfo", 3460, single(IPCPackCruiseParam), false, unpacker(IPCUnPackCruiseInfo), false, {}, {}, {}},
        {"TrackParam", 132, single(IPCPackTrackParam), false, unpacker(IPCUnPackTrackParam), false, {}, {}, {}},
        {"TargetTrack", 1, single(IPCPackTargetTrack), false, nullptr, false, {}, {}, {}},
        {"CamMark", 212, single(IPCPackCamMarkParam), false, unpacker(IPCUnPackCamMarkParam), false,
         cam_mark_fields(), {}, {}},
        {"CamMark2", 320, single(IPCPackCamMarkParam2), false, unpacker(IPCUnPackCamMarkParam2), false,
         cam_mark2_fields(), {}, {}},
        {"CamLinkPTZ", 1864, single(IPCPackCamLinkPTZInfo), false, unpacker(IPCUnPackCamLinkPTZInfo), false,
         cam_link_fields(), {}, {}},
        {"FocusMode", 128, counted(IPCPackFocusModeInfo), true, unpacker(IPCUnPackFocusModeInfo), true, {}, {},
         {{0, 1}}},
        {"LinkFocusLearn", 128, counted(IPCPackLinkFocusLearn), true, nullptr, false, u16s({0, 2}), {}, {}},
        {"LinkFocusLearnState", 128, nullptr, false, unpacker(IPCUnPackLinkFocusLearnState), false,
         u16s({0, 2, 4, 6}), {}, {{0, 0}}},
        {"NetWorkConf", 140, counted(IPCPackNetWorkConfInfo), true, unpacker(IPCUnPackNetWorkConfInfo), false,
         u32s({0, 4, 8}), {}, {}},
        {"GB28181", 404, counted(IPCPackGB28181Info), true, unpacker(IPCUnPackGB28181Info), false,
         u32s({96, 100, 104, 108}), {}, {}},
        {"Ftp", 220, counted(IPCPackFtpInfo), true, unpacker(IPCUnPackFtpInfo), false,
         join(u32s({0, 4}), u16s({8})), {}, {}},
        {"WebService", 236, counted(IPCPackWebServiceInfo), true, unpacker(IPCUnPackWebServiceInfo), false,
         join(u32s({0, 4, 8, 108}), u16s({112})), {}, {}},
        {"SystemTime", 132, counted(IPCPackSystemTimeInfo), true, unpacker(IPCUnPackSystemTimeInfo), false,
         u32s({0}), {}, {}},
        {"NtpConf", 136, counted(IPCPackNtpConfInfo), true, unpacker(IPCUnPackNtpConfInfo), false,
         join(u32s({0, 4}), u16s({8})), {}, {}},
        {"Restart", 125, counted(IPCPackRestartInfo), true, unpacker(IPCUnPackRestartInfo), false, u32s({0}), {}, {}},
        {"Restart2", 125, counted(IPCPackRestartInfo2), true, unpacker(IPCUnPackRestartInfo2), false, u32s({0}), {},
         {}},
        {"Magnify", 132, counted(IPCPackMagnifyInfo), true, nullptr, false, u16s({0, 2, 4, 6}), {}, {}},
        {"Dev2", 128, counted(IPCPackDev2Info), true, unpacker(IPCUnPackDev2Info), false, u32s({0}), {}, {}},
        {"Face", 128, counted(IPCPackFaceInfo), true, unpacker(IPCUnPackFaceInfo), false, u16s({2, 4, 6, 8}), {}, {}},
        {"IdleOperation", 128, counted(IPCPackIdleOperationInfo), true, unpacker(IPCUnPackIdleOperationInfo), false,
         u32s({4, 8}), {}, {}},
        {"StartOperation", 128, counted(IPCPackStartOperationInfo), true, unpacker(IPCUnPackStartOperationInfo),
         false, {}, {}, {}},
        {"AlarmOut", 296, single(IPCPackAlarmOutParam), false, unpacker(IPCUnPackAlarmOutParam), false, {}, {}, {}},
        {"AlarmIn", 8, single(IPCPackAlarmInParam), false, unpacker(IPCUnPackAlarmInParam), false, {}, {}, {}},
        {"PassThrough", 72, single(IPCPackPassThroughParam), false, nullptr, false, u32s({0, 4}), {}, {}},
        {"Wiper", 4, single(IPCPackWiper), false, nullptr, false, {}, {}, {}},
        {"Laser", 4, single(IPCPackLaser), false, nullptr, false, {}, {}, {}},
        {"Cross", 131, single(IPCPackCross), false, nullptr, false, {}, {}, {}},
        {"ImageEnhance", 132, counted(IPCPackImageIspImageEnhance), true, unpacker(IPCUnPackImageIspImageEnhance),
         true, {}, {{0, 5}}, {{0, 5}}},
        {"DayNight", 128, counted(IPCPackImageIspDayNight), true, unpacker(IPCUnPackImageIspDayNight), true,
         u32s({4, 8}), {{0, 2}}, {{0, 2}}},
        {"ZoomSync", 128, single(IPCPackZoomSysnc), false, nullptr, false, {}, {}, {}},
        {"FireMode", 64, single(IPCPackFireModeSet), false, unpacker(IPCUnPackFireModeSet), true, {}, {}, {}},
    };
}

// The wire form of host records: integers in network order, uncarried bytes zero.
Bytes wire_of(const Codec& c, const Bytes& host) {
    Bytes w(host.size());
    for (size_t base = 0; base < host.size(); base += c.size) {
        for (uint32_t i = 0; i < c.size; ++i) w[base + i] = (c.sent.empty() || in(c.sent, i)) ? host[base + i] : 0;
        for (const Field& f : c.fields) {
            uint32_t v = 0;
            if (f.width == 4) {
                std::memcpy(&v, &host[base + f.offset], 4);
                for (int k = 0; k < 4; ++k) w[base + f.offset + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
            } else {
                uint16_t s;
                std::memcpy(&s, &host[base + f.offset], 2);
                w[base + f.offset] = static_cast<uint8_t>(s >> 8);
                w[base + f.offset + 1] = static_cast<uint8_t>(s);
            }
        }
    }
    return w;
}

// What an unpack leaves in a host record that held `before`, from one wire record.
Bytes host_of(const Codec& c, const uint8_t* wire, Bytes before) {
    for (uint32_t i = 0; i < c.size; ++i)
        if (c.received.empty() || in(c.received, i)) before[i] = wire[i];
    for (const Field& f : c.fields) {
        if (f.width == 4) {
            const uint32_t v = (uint32_t{wire[f.offset]} << 24) | (uint32_t{wire[f.offset + 1]} << 16) |
                               (uint32_t{wire[f.offset + 2]} << 8) | wire[f.offset + 3];
            std::memcpy(&before[f.offset], &v, 4);
        } else {
            const uint16_t v = static_cast<uint16_t>((wire[f.offset] << 8) | wire[f.offset + 1]);
            std::memcpy(&before[f.offset], &v, 2);
        }
    }
    return before;
}

// An answer: a header whose own length field is deliberately wrong, then the payload.
Bytes answer(const Bytes& payload) {
    Bytes a(16 + payload.size(), 0);
    const uint8_t head[] = {0x5B, 0x5A, 0x01, 0x0C, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x01};
    std::copy(std::begin(head), std::end(head), a.begin());
    std::copy(payload.begin(), payload.end(), a.begin() + 16);
    return a;
}

std::vector<Codec> codecs_with(bool pack, bool unpack) {
    std::vector<Codec> all = codecs();
    std::erase_if(all, [&](const Codec& c) { return (pack && !c.pack) || (unpack && !c.unpack); });
    return all;
}
std::string codec_name(const ::testing::TestParamInfo<Codec>& p) { return p.param.name; }

class Packer : public ::testing::TestWithParam<Codec> {};
class Unpacker : public ::testing::TestWithParam<Codec> {};

TEST_P(Packer, WritesTheWireFormAndNothingBeyond) {
    const Codec& c = GetParam();
    const int32_t n = c.packsCount ? 3 : 1;
    const Bytes host = pattern(static_cast<size_t>(n) * c.size);
    Bytes out(host.size() + 64, 0xA5);
    uint32_t len = 0xDEADBEEF;
    ASSERT_EQ(c.pack(n, host.data(), out.data(), &len), 0u);
    const uint32_t sentPerRecord = c.name == "Cross" ? 8 : c.size;
    EXPECT_EQ(len, n * sentPerRecord);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + host.size()), wire_of(c, host));
    for (size_t i = host.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "written past the records at " << i;
}

TEST_P(Unpacker, TakesWholeRecordsUpToTheMaximum) {
    const Codec& c = GetParam();
    const Bytes wire = pattern(c.size * 5 / 2, 99);  // two and a half records
    const Bytes a = answer(wire);
    const Bytes untouched(c.size, 0xEE);

    Bytes dst(c.size * 4, 0xEE);
    EXPECT_EQ(c.unpack(a.data(), static_cast<uint32_t>(a.size()), 4, dst.data()), 2u);
    for (uint32_t r = 0; r < 2; ++r)
        EXPECT_EQ(Bytes(dst.begin() + r * c.size, dst.begin() + (r + 1) * c.size),
                  host_of(c, wire.data() + r * c.size, untouched))
            << "record " << r;
    EXPECT_EQ(Bytes(dst.begin() + 2 * c.size, dst.end()), Bytes(2 * c.size, 0xEE));

    dst.assign(c.size * 2, 0xEE);
    EXPECT_EQ(c.unpack(a.data(), static_cast<uint32_t>(a.size()), 1, dst.data()), 1u);
    EXPECT_EQ(Bytes(dst.begin() + c.size, dst.end()), untouched) << "beyond the maximum";

    // A maximum below one: none, or one for the unpackers that always take a record.
    dst.assign(c.size, 0xEE);
    EXPECT_EQ(c.unpack(a.data(), static_cast<uint32_t>(a.size()), 0, dst.data()), c.atLeastOne ? 1u : 0u);
    EXPECT_EQ(c.unpack(a.data(), static_cast<uint32_t>(a.size()), -3, dst.data()), c.atLeastOne ? 1u : 0u);
    EXPECT_EQ(dst, c.atLeastOne ? host_of(c, wire.data(), untouched) : untouched);
}

TEST_P(Unpacker, LessThanOneRecordWritesNothing) {
    const Codec& c = GetParam();
    Bytes a = answer(pattern(c.size));  // one whole record is held, but the length says less
    Bytes dst(c.size, 0xEE);
    for (uint32_t len : {0u, 15u, 16u, 16u + c.size - 1}) {
        EXPECT_EQ(c.unpack(a.data(), len, 1, dst.data()), 0u) << "answer length " << len;
        EXPECT_EQ(dst, Bytes(c.size, 0xEE)) << "answer length " << len;
    }
    EXPECT_EQ(c.unpack(a.data(), 16 + c.size, 1, dst.data()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Records, Packer, ::testing::ValuesIn(codecs_with(true, false)), codec_name);
INSTANTIATE_TEST_SUITE_P(Records, Unpacker, ::testing::ValuesIn(codecs_with(false, true)), codec_name);

// Literal bytes: the model above and the codecs agree with these hand-written cases.
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
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);

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
    Bytes buf(10240, 0x77);  // what lies past the answer is not taken
    const Bytes head = answer(pattern(36));
    std::copy(head.begin(), head.end(), buf.begin());
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

TEST(DomainCodecBytes, MarksAndFocus) {
    uint8_t out[2048];
    uint32_t len = 0;
    CamMarkRecord m = filled<CamMarkRecord>(0);
    m.marks[0].value1 = 0x0102;
    m.marks[0].bytes[0] = 0x55;
    ASSERT_EQ(IPCPackCamMarkParam(&m, out, &len), 0u);
    EXPECT_EQ(len, 212u);
    EXPECT_EQ(out[4], 0x01);
    EXPECT_EQ(out[5], 0x02);
    EXPECT_EQ(out[10], 0x55);

    LinkFocusLearnRecord learn = filled<LinkFocusLearnRecord>(0);
    learn.value1 = 0x0010;
    learn.value2 = 0x0020;
    ASSERT_EQ(IPCPackLinkFocusLearn(1, &learn, out, &len), 0u);
    EXPECT_EQ(len, 128u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x00, 0x10, 0x00, 0x20}));

    Bytes wire(128, 0xAB);
    const uint8_t states[8] = {0, 1, 0, 2, 0, 3, 0, 4};
    std::memcpy(wire.data(), states, 8);
    const Bytes a = answer(wire);
    LinkFocusLearnState st = filled<LinkFocusLearnState>(0xCD);
    ASSERT_EQ(IPCUnPackLinkFocusLearnState(a.data(), static_cast<uint32_t>(a.size()), 1, &st), 1u);
    EXPECT_EQ(st.values[0], 1);
    EXPECT_EQ(st.values[3], 4);
    EXPECT_EQ(Bytes(st.rest, st.rest + 120), Bytes(120, 0xCD));

    wire[0] = 0x02;
    const Bytes b = answer(wire);
    FocusModeRecord mode = filled<FocusModeRecord>(0xFF);
    ASSERT_EQ(IPCUnPackFocusModeInfo(b.data(), static_cast<uint32_t>(b.size()), 1, &mode), 1u);
    EXPECT_EQ(mode.mode, 0x02);
    EXPECT_EQ(Bytes(mode.rest, mode.rest + 127), Bytes(127, 0xFF));
}

TEST(DomainCodecBytes, SettingsRecords) {
    uint8_t out[1024];
    uint32_t len = 0;
    FtpInfo ftp = filled<FtpInfo>(0);
    ftp.word1 = 1;
    ftp.number = 21;
    ASSERT_EQ(IPCPackFtpInfo(1, &ftp, out, &len), 0u);
    EXPECT_EQ(len, 220u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(Bytes(out + 8, out + 10), (Bytes{0x00, 0x15}));

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

    // 1.5 records with a maximum of 5: one.
    const Bytes a = answer(pattern(210));
    NetWorkConfInfo net[5];
    EXPECT_EQ(IPCUnPackNetWorkConfInfo(a.data(), static_cast<uint32_t>(a.size()), 5, net), 1u);
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

}  // namespace
