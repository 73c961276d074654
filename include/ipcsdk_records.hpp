// The record schema: every record the camera exchanges, field by field, as data.
//
// Each field carries the header's own name, its offset and element width (taken from the
// header with offsetof and sizeof, so they cannot drift), how many elements it holds, and how
// it travels: an integer big-endian on the wire (the codecs swap it; the host record holds it
// in host order), an integer in host order on both sides, raw bytes, text, or a group of
// elements with a layout of their own. Every layout is checked at compile time to cover its
// record exactly, with no gap and no overlap, so a field missing here fails the build.
//
// One table, read by the library's codecs (which integers they swap), ipcctl's text and JSON
// forms, the JSON library the gateway and the Python module share, and the generator of the
// Wireshark dissector. Installed with the library, for hosts that show or edit records.
#pragma once

#include <ipcsdk.h>
#include <ipcsdk_commands.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

namespace ipc::records {

enum class Kind : uint8_t {
    Int,    // unsigned integer(s) of `width` bytes
    Bytes,  // raw bytes, shown as hexadecimal
    Text,   // characters, NUL-padded within the field
    Group,  // `count` elements laid out by `group`
};

enum class Order : uint8_t {
    Big,   // big-endian on the wire, host order in the record
    Host,  // the same bytes on the wire and in the record
};

struct Layout;

struct Field {
    const char* name;
    uint16_t offset;  // from the start of the enclosing layout
    uint16_t width;   // bytes of one element
    uint16_t count;   // elements (1 for a scalar)
    bool array;       // declared as an array (even of one element)
    Kind kind;
    Order order;
    const Layout* group;  // Kind::Group: the layout of one element

    constexpr size_t bytes() const { return size_t{width} * count; }
};

struct Layout {
    const char* name;  // the header's type name
    uint16_t size;
    std::span<const Field> fields;
};

namespace detail {

template <class M>
using Elem = std::remove_all_extents_t<M>;

template <class M>
inline constexpr uint16_t kCount = static_cast<uint16_t>(sizeof(M) / sizeof(Elem<M>));

// Fields in offset order, each starting where the previous ended, the last ending at the
// record's end; an Int is 1, 2 or 4 bytes wide; a group's width is its layout's size.
constexpr bool tiles(const Layout& l) {
    size_t at = 0;
    for (const Field& f : l.fields) {
        if (f.offset != at || f.count == 0) return false;
        if (f.kind == Kind::Int && f.width != 1 && f.width != 2 && f.width != 4) return false;
        if (f.kind == Kind::Group && (!f.group || f.group->size != f.width || !tiles(*f.group))) return false;
        if (f.kind != Kind::Group && f.group) return false;
        at += f.bytes();
    }
    return at == l.size;
}

}  // namespace detail

// clang-format off
#define IPCT_FIELD(T, f, kind, order, grp)                                                          \
    ::ipc::records::Field{#f, static_cast<uint16_t>(offsetof(T, f)),                                  \
                      static_cast<uint16_t>(sizeof(::ipc::records::detail::Elem<decltype(T::f)>)),    \
                      ::ipc::records::detail::kCount<decltype(T::f)>, std::is_array_v<decltype(T::f)>, \
                      kind, order, grp}
#define IPCT_BE(T, f)    IPCT_FIELD(T, f, ::ipc::records::Kind::Int, ::ipc::records::Order::Big, nullptr)
#define IPCT_HOST(T, f)  IPCT_FIELD(T, f, ::ipc::records::Kind::Int, ::ipc::records::Order::Host, nullptr)
#define IPCT_BYTES(T, f) IPCT_FIELD(T, f, ::ipc::records::Kind::Bytes, ::ipc::records::Order::Host, nullptr)
#define IPCT_TEXT(T, f)  IPCT_FIELD(T, f, ::ipc::records::Kind::Text, ::ipc::records::Order::Host, nullptr)
#define IPCT_GROUP(T, f, layout) IPCT_FIELD(T, f, ::ipc::records::Kind::Group, ::ipc::records::Order::Host, &layout)

// The layout of record T: its name, its size, its fields.
template <class T>
inline constexpr Layout kLayout{};

#define IPCT_LAYOUT(T, ...)                                                               \
    namespace layouts { inline constexpr ::ipc::records::Field T##Fields[] = {__VA_ARGS__}; }  \
    template <>                                                                           \
    inline constexpr Layout kLayout<::T>{#T, sizeof(::T), layouts::T##Fields};            \
    static_assert(::ipc::records::detail::tiles(kLayout<::T>), #T ": the schema does not cover the record exactly");

// ---- login and channels ------------------------------------------------------------------
IPCT_LAYOUT(LoginUserInfo, IPCT_TEXT(LoginUserInfo, userName), IPCT_TEXT(LoginUserInfo, password),
            IPCT_BE(LoginUserInfo, loginWord1), IPCT_BE(LoginUserInfo, loginWord2), IPCT_BYTES(LoginUserInfo, rest))
IPCT_LAYOUT(LoginResult, IPCT_BE(LoginResult, reserved0), IPCT_BE(LoginResult, status), IPCT_BYTES(LoginResult, reserved))
IPCT_LAYOUT(SystemInfo, IPCT_BE(SystemInfo, deviceType), IPCT_TEXT(SystemInfo, deviceModel),
            IPCT_BE(SystemInfo, hardwareVersion), IPCT_BE(SystemInfo, softwareVersion), IPCT_BE(SystemInfo, buildDate),
            IPCT_TEXT(SystemInfo, serialNumber), IPCT_BYTES(SystemInfo, channelInfo), IPCT_BYTES(SystemInfo, reserved1),
            IPCT_BE(SystemInfo, videoInputs), IPCT_BE(SystemInfo, alarmInputs), IPCT_TEXT(SystemInfo, macAddress),
            IPCT_BYTES(SystemInfo, capability), IPCT_BE(SystemInfo, protocolVersion))
IPCT_LAYOUT(ServerConnTypeInfo, IPCT_BE(ServerConnTypeInfo, connType), IPCT_BYTES(ServerConnTypeInfo, reserved))
IPCT_LAYOUT(DataReportRequestInfo, IPCT_BYTES(DataReportRequestInfo, head), IPCT_BE(DataReportRequestInfo, value1),
            IPCT_BE(DataReportRequestInfo, value2), IPCT_BE(DataReportRequestInfo, value3),
            IPCT_BYTES(DataReportRequestInfo, rest))

// ---- video and image parameters ------------------------------------------------------------
IPCT_LAYOUT(VideoParamRecord, IPCT_BE(VideoParamRecord, value16), IPCT_BYTES(VideoParamRecord, bytes2),
            IPCT_BE(VideoParamRecord, value32), IPCT_BYTES(VideoParamRecord, rest))
IPCT_LAYOUT(ExOsdTextBlock, IPCT_BE(ExOsdTextBlock, x), IPCT_BE(ExOsdTextBlock, y), IPCT_TEXT(ExOsdTextBlock, text))
IPCT_LAYOUT(ExOsdRecord, IPCT_BYTES(ExOsdRecord, head), IPCT_BE(ExOsdRecord, values),
            IPCT_GROUP(ExOsdRecord, blocks, kLayout<ExOsdTextBlock>), IPCT_BE(ExOsdRecord, tail))
IPCT_LAYOUT(CameraControlRecord, IPCT_BYTES(CameraControlRecord, head), IPCT_BE(CameraControlRecord, value1),
            IPCT_BE(CameraControlRecord, value2), IPCT_BYTES(CameraControlRecord, rest))

// ---- commands answered through the report channel --------------------------------------------
IPCT_LAYOUT(SimuSnapInfo, IPCT_BYTES(SimuSnapInfo, bytes))
IPCT_LAYOUT(GpsInfoRequest, IPCT_BE(GpsInfoRequest, value1), IPCT_BE(GpsInfoRequest, value2),
            IPCT_BYTES(GpsInfoRequest, rest))

// ---- PTZ, presets, cruise ----------------------------------------------------------------------
IPCT_LAYOUT(PTZParamRecord, IPCT_BYTES(PTZParamRecord, head), IPCT_BE(PTZParamRecord, value),
            IPCT_BYTES(PTZParamRecord, bytes2), IPCT_BYTES(PTZParamRecord, rest))
IPCT_LAYOUT(PTZCtrlRecord, IPCT_BYTES(PTZCtrlRecord, bytes))
IPCT_LAYOUT(PresetRecord, IPCT_BYTES(PresetRecord, bytes))
IPCT_LAYOUT(PresetTable, IPCT_GROUP(PresetTable, presets, kLayout<PresetRecord>))
IPCT_LAYOUT(PTZValueRecord, IPCT_BE(PTZValueRecord, usPanVal), IPCT_BE(PTZValueRecord, usValue2),
            IPCT_BE(PTZValueRecord, usValue3), IPCT_BYTES(PTZValueRecord, rest))
IPCT_LAYOUT(CruiseRecord, IPCT_BYTES(CruiseRecord, bytes))
IPCT_LAYOUT(CruiseInfoRecord, IPCT_BYTES(CruiseInfoRecord, bytes))

// ---- tracking and calibration marks -------------------------------------------------------------
IPCT_LAYOUT(TrackParamRecord, IPCT_BYTES(TrackParamRecord, bytes))
IPCT_LAYOUT(CamMarkEntry, IPCT_BE(CamMarkEntry, value1), IPCT_BE(CamMarkEntry, value2), IPCT_BE(CamMarkEntry, value3),
            IPCT_BYTES(CamMarkEntry, bytes))
IPCT_LAYOUT(CamMarkRecord, IPCT_BYTES(CamMarkRecord, head), IPCT_GROUP(CamMarkRecord, marks, kLayout<CamMarkEntry>),
            IPCT_BYTES(CamMarkRecord, tail))
IPCT_LAYOUT(CamMark2Entry, IPCT_BE(CamMark2Entry, value1), IPCT_BE(CamMark2Entry, value2), IPCT_BYTES(CamMark2Entry, bytes))
IPCT_LAYOUT(CamMark2Record, IPCT_GROUP(CamMark2Record, marks, kLayout<CamMark2Entry>), IPCT_BE(CamMark2Record, values))
IPCT_LAYOUT(CamLinkPTZBlock, IPCT_BYTES(CamLinkPTZBlock, bytes), IPCT_BE(CamLinkPTZBlock, values))
IPCT_LAYOUT(CamLinkPTZRecord, IPCT_BYTES(CamLinkPTZRecord, head),
            IPCT_GROUP(CamLinkPTZRecord, blocks, kLayout<CamLinkPTZBlock>), IPCT_BYTES(CamLinkPTZRecord, tail))

// ---- focus ---------------------------------------------------------------------------------------
IPCT_LAYOUT(FocusModeRecord, IPCT_HOST(FocusModeRecord, mode), IPCT_BYTES(FocusModeRecord, rest))
IPCT_LAYOUT(LinkFocusLearnRecord, IPCT_BE(LinkFocusLearnRecord, value1), IPCT_BE(LinkFocusLearnRecord, value2),
            IPCT_BYTES(LinkFocusLearnRecord, rest))
IPCT_LAYOUT(LinkFocusLearnState, IPCT_BE(LinkFocusLearnState, values), IPCT_BYTES(LinkFocusLearnState, rest))

// ---- network, platform access, time ---------------------------------------------------------------
IPCT_LAYOUT(NetWorkConfInfo, IPCT_BE(NetWorkConfInfo, word1), IPCT_BE(NetWorkConfInfo, word2),
            IPCT_BE(NetWorkConfInfo, word3), IPCT_BYTES(NetWorkConfInfo, block))
IPCT_LAYOUT(GB28181Info, IPCT_BYTES(GB28181Info, block1), IPCT_BE(GB28181Info, word1), IPCT_BE(GB28181Info, word2),
            IPCT_BE(GB28181Info, word3), IPCT_BE(GB28181Info, word4), IPCT_BYTES(GB28181Info, block2))
IPCT_LAYOUT(FtpInfo, IPCT_BE(FtpInfo, word1), IPCT_BE(FtpInfo, word2), IPCT_BE(FtpInfo, number), IPCT_BYTES(FtpInfo, block))
IPCT_LAYOUT(WebServiceInfo, IPCT_BE(WebServiceInfo, word1), IPCT_BE(WebServiceInfo, word2), IPCT_BE(WebServiceInfo, word3),
            IPCT_BYTES(WebServiceInfo, block1), IPCT_BE(WebServiceInfo, word4), IPCT_BE(WebServiceInfo, number),
            IPCT_BYTES(WebServiceInfo, block2))
IPCT_LAYOUT(SystemTimeInfo, IPCT_BE(SystemTimeInfo, word), IPCT_BYTES(SystemTimeInfo, block))
IPCT_LAYOUT(NtpConfInfo, IPCT_BE(NtpConfInfo, word1), IPCT_BE(NtpConfInfo, word2), IPCT_BE(NtpConfInfo, number),
            IPCT_BYTES(NtpConfInfo, block))

// ---- restart schedules, profile, operations --------------------------------------------------------
IPCT_LAYOUT(RestartInfo, IPCT_BE(RestartInfo, word), IPCT_BYTES(RestartInfo, block))
IPCT_LAYOUT(RestartInfo2, IPCT_BE(RestartInfo2, word), IPCT_BYTES(RestartInfo2, block))
IPCT_LAYOUT(MagnifyInfo, IPCT_BE(MagnifyInfo, number1), IPCT_BE(MagnifyInfo, number2), IPCT_BE(MagnifyInfo, number3),
            IPCT_BE(MagnifyInfo, number4), IPCT_HOST(MagnifyInfo, value), IPCT_BYTES(MagnifyInfo, block))
IPCT_LAYOUT(Dev2Info, IPCT_BE(Dev2Info, word), IPCT_BYTES(Dev2Info, block))
IPCT_LAYOUT(FaceInfo, IPCT_BYTES(FaceInfo, bytes), IPCT_BE(FaceInfo, number1), IPCT_BE(FaceInfo, number2),
            IPCT_BE(FaceInfo, number3), IPCT_BE(FaceInfo, number4), IPCT_BYTES(FaceInfo, block))
IPCT_LAYOUT(IdleOperationInfo, IPCT_BYTES(IdleOperationInfo, bytes), IPCT_BE(IdleOperationInfo, word1),
            IPCT_BE(IdleOperationInfo, word2), IPCT_BYTES(IdleOperationInfo, block))
IPCT_LAYOUT(StartOperationInfo, IPCT_BYTES(StartOperationInfo, bytes))

// ---- alarm input and output ------------------------------------------------------------------------
IPCT_LAYOUT(AlarmOutParam, IPCT_BYTES(AlarmOutParam, bytes))
IPCT_LAYOUT(AlarmInParam, IPCT_BYTES(AlarmInParam, bytes))

// ---- extension commands -----------------------------------------------------------------------------
IPCT_LAYOUT(PassThroughInfo, IPCT_BE(PassThroughInfo, word1), IPCT_BE(PassThroughInfo, word2),
            IPCT_BYTES(PassThroughInfo, data))
IPCT_LAYOUT(CrossInfo, IPCT_BYTES(CrossInfo, bytes))
IPCT_LAYOUT(ImageEnhanceInfo, IPCT_BYTES(ImageEnhanceInfo, settings), IPCT_BYTES(ImageEnhanceInfo, rest))
IPCT_LAYOUT(DayNightInfo, IPCT_HOST(DayNightInfo, value1), IPCT_HOST(DayNightInfo, value2),
            IPCT_BYTES(DayNightInfo, unused), IPCT_BE(DayNightInfo, word1), IPCT_BE(DayNightInfo, word2),
            IPCT_BYTES(DayNightInfo, rest))
IPCT_LAYOUT(ZoomSyncInfo, IPCT_BYTES(ZoomSyncInfo, bytes))
IPCT_LAYOUT(FireModeInfo, IPCT_BYTES(FireModeInfo, bytes))
// clang-format on

// Every top-level record, for lookups by name (element layouts of groups are not listed): the
// records of the settings table, taken from the command list, then those of other commands.
#define IPCT_NONE_(...)
#define IPCT_SETTING_(T, ...) &kLayout<T>,
inline constexpr const Layout* kRecords[] = {
    IPCSDK_COMMANDS(IPCT_NONE_, IPCT_SETTING_, IPCT_SETTING_)
    &kLayout<LoginUserInfo>,   &kLayout<LoginResult>,     &kLayout<ServerConnTypeInfo>,
    &kLayout<DataReportRequestInfo>, &kLayout<SimuSnapInfo>, &kLayout<GpsInfoRequest>,
    &kLayout<PTZCtrlRecord>,   &kLayout<PresetRecord>,    &kLayout<CruiseRecord>,
    &kLayout<LinkFocusLearnRecord>, &kLayout<MagnifyInfo>, &kLayout<PassThroughInfo>,
    &kLayout<CrossInfo>,       &kLayout<ZoomSyncInfo>,
};
#undef IPCT_NONE_
#undef IPCT_SETTING_
static_assert([] {
    for (const Layout* l : kRecords)
        if (!l->name) return false;
    return true;
}(), "a record of the command list has no layout in the schema");

constexpr const Layout* find_layout(std::string_view type_name) {
    for (const Layout* l : kRecords)
        if (type_name == l->name) return l;
    return nullptr;
}

}  // namespace ipc::records

#undef IPCT_FIELD
#undef IPCT_BE
#undef IPCT_HOST
#undef IPCT_BYTES
#undef IPCT_TEXT
#undef IPCT_GROUP
#undef IPCT_LAYOUT
