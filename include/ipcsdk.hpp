/**
 * @file ipcsdk.hpp
 * @brief Header-only C++20 layer over the C interface of ipcsdk.
 *
 * Everything here is built from what ipcsdk.h exports, as any host would do it, so a host's
 * compiler and standard library never have to match the library's.
 *
 * - ipc::Error, ipc::errc and ipc::category(): the result codes as std::error_code values;
 *   every call throws ipc::Error, and has an overload taking std::error_code& that does not.
 * - ipc::Sdk: the process's initialisation (one at a time).
 * - ipc::Camera: one logged-in camera (move-only, released on destruction), with per-camera
 *   frame, report and disconnection handlers; ipc::CameraRef: the commands of a handle, not
 *   owning it.
 * - The settings table: ipc::setting_traits maps each record type to its command pair, so
 *   ipc::CameraRef::get and ipc::CameraRef::set reach every setting, typed; ipc::for_each_setting
 *   and ipc::settings() iterate the table at compile time and at run time.
 * - ipc::CameraRef::call: any other command of the C interface, typed by its own signature.
 * - ipc::Fleet: keeps a set of cameras online (see its documentation).
 */
#ifndef IPCSDK_HPP
#define IPCSDK_HPP

#if __cplusplus < 202002L
#error "ipcsdk.hpp needs C++20 (compile with -std=c++20 or later); ipcsdk.h alone serves C and older C++"
#else

#include "ipcsdk.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

/// The C++ layer of ipcsdk.
namespace ipc {

// ============================================================================================
// Errors
// ============================================================================================

/// The result codes of the C interface. Transport and channel functions return small negative
/// numbers; they are here as their 32-bit two's complement.
enum class errc : std::uint32_t {
    already_init = IPCSDK_ERR_ALREADY_INIT,    ///< IPCSdkInit on an initialised SDK
    not_init = IPCSDK_ERR_NOT_INIT,            ///< the SDK is not initialised
    device_exists = IPCSDK_ERR_DEVICE_EXISTS,  ///< a camera with this address is in the table
    bad_handle = IPCSDK_ERR_BAD_HANDLE,        ///< handle 0, unknown, or logged out meanwhile
    auth = IPCSDK_ERR_AUTH,                    ///< the camera refused user name or password
    no_picture = IPCSDK_ERR_NO_PICTURE,        ///< the picture pair did not arrive in time
    net = IPCSDK_ERR_NET,                      ///< no answer of the minimum size
    socket = IPCSDK_ERR_SOCKET,                ///< the command socket could not be had
    tcp_send = IPCSDK_ERR_TCP_SEND,            ///< a TCP send failed
    param = IPCSDK_ERR_PARAM,                  ///< missing record or argument out of range
    refused = IPCSDK_ERR_REFUSED,              ///< nak, wrong answer kind, or camera failure
    buffer = IPCSDK_ERR_BUFFER,                ///< output buffer missing or too small
    table_full = IPCSDK_ERR_TABLE_FULL,        ///< all 256 slots are in use
    channel_socket = 0xFFFFFFFFu,              ///< -1: socket failure or bad arguments
    no_udp_answer = 0xFFFFFFFEu,               ///< -2: no (or a malformed) UDP/local answer
    no_tcp_answer = 0xFFFFFFFDu,               ///< -3: no TCP answer
    empty_tcp_request = 0xFFFFFFFCu,           ///< -4: empty TCP request
    local_not_open = 0xFFFFFFF7u,              ///< -9: local channel not open
    login_status = 0x7FFFFFFFu,                ///< login answered with an unknown status (C: 0)
    fleet_not_online = 0x7FFFFF01u,            ///< Fleet::with on a camera that is not online
    fleet_unknown = 0x7FFFFF02u,               ///< Fleet: no camera with this id
    fleet_exists = 0x7FFFFF03u,                ///< Fleet::add with an id already in the fleet
    fleet_stopped = 0x7FFFFF04u,               ///< Fleet: the fleet is being destroyed
    sdk_exists = 0x7FFFFF05u,                  ///< a second ipc::Sdk while one exists
    channel_closed = 0x7FFFFF06u,              ///< Fleet: the camera closed its report channel
    stale = 0x7FFFFF07u,                       ///< Fleet: nothing arrived for the staleness limit
};

namespace detail {
struct CodeText {
    std::uint32_t code;
    const char* name;
    const char* message;
};
// Names and messages of README's table of result codes.
inline constexpr CodeText kCodeTexts[] = {
    {IPCSDK_OK, "IPCSDK_OK", "success"},
    {IPCSDK_ERR_ALREADY_INIT, "IPCSDK_ERR_ALREADY_INIT", "IPCSdkInit on an initialised SDK"},
    {IPCSDK_ERR_NOT_INIT, "IPCSDK_ERR_NOT_INIT", "the SDK is not initialised"},
    {IPCSDK_ERR_DEVICE_EXISTS, "IPCSDK_ERR_DEVICE_EXISTS", "a camera with this address is already in the table"},
    {IPCSDK_ERR_BAD_HANDLE, "IPCSDK_ERR_BAD_HANDLE", "handle 0, unknown, or logged out meanwhile"},
    {IPCSDK_ERR_AUTH, "IPCSDK_ERR_AUTH", "the camera refused user name or password"},
    {IPCSDK_ERR_NO_PICTURE, "IPCSDK_ERR_NO_PICTURE", "the picture pair did not arrive in time"},
    {IPCSDK_ERR_NET, "IPCSDK_ERR_NET", "no answer of the minimum size (timeout, short answer, lost connection)"},
    {IPCSDK_ERR_SOCKET, "IPCSDK_ERR_SOCKET",
     "the command socket (or the slot's buffers) for a login could not be had"},
    {IPCSDK_ERR_TCP_SEND, "IPCSDK_ERR_TCP_SEND", "a TCP send failed (the command connection is then given up)"},
    {IPCSDK_ERR_PARAM, "IPCSDK_ERR_PARAM",
     "missing record, count out of range, or a request that would not fit 10240 bytes"},
    {IPCSDK_ERR_REFUSED, "IPCSDK_ERR_REFUSED",
     "nak, an answer of the wrong kind, or a failure reported by the camera"},
    {IPCSDK_ERR_BUFFER, "IPCSDK_ERR_BUFFER", "the output buffer is missing or too small"},
    {IPCSDK_ERR_TABLE_FULL, "IPCSDK_ERR_TABLE_FULL", "all 256 slots are in use"},
    {0xFFFFFFFFu, "-1", "socket failure or bad arguments"},
    {0xFFFFFFFEu, "-2", "no (or a malformed) UDP or local answer"},
    {0xFFFFFFFDu, "-3", "no TCP answer"},
    {0xFFFFFFFCu, "-4", "empty TCP request"},
    {0xFFFFFFF7u, "-9", "local channel not open"},
    {0x7FFFFFFFu, "login status", "the camera answered the login with an unknown status"},
    {0x7FFFFF01u, "not online", "the camera is not online"},
    {0x7FFFFF02u, "unknown camera", "no camera with this id in the fleet"},
    {0x7FFFFF03u, "camera exists", "a camera with this id is already in the fleet"},
    {0x7FFFFF04u, "fleet stopped", "the fleet is shutting down"},
    {0x7FFFFF05u, "sdk exists", "the SDK is already initialised by another ipc::Sdk"},
    {0x7FFFFF06u, "channel closed", "the camera closed its report channel"},
    {0x7FFFFF07u, "stale", "nothing arrived from the camera for the staleness limit"},
};
}  // namespace detail

/// The symbolic name of a result code ("IPCSDK_ERR_AUTH"), or "unknown" for any other value.
inline const char* code_name(std::uint32_t code) noexcept {
    for (const auto& t : detail::kCodeTexts)
        if (t.code == code) return t.name;
    return "unknown";
}

/// The error category of the result codes: the value of an std::error_code is the 32-bit result
/// code of the C interface (as int), message() is fixed English text with a fallback for
/// unknown codes.
class ErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "ipcsdk"; }
    std::string message(int value) const override {
        const auto code = static_cast<std::uint32_t>(value);
        for (const auto& t : detail::kCodeTexts)
            if (t.code == code) return t.message;
        char buf[64];
        std::snprintf(buf, sizeof buf, "unknown result code 0x%08x", static_cast<unsigned>(code));
        return buf;
    }
    std::error_condition default_error_condition(int value) const noexcept override {
        switch (static_cast<std::uint32_t>(value)) {
        case IPCSDK_ERR_NET:
        case 0xFFFFFFFEu:
        case 0xFFFFFFFDu: return std::errc::timed_out;
        case IPCSDK_ERR_AUTH: return std::errc::permission_denied;
        case IPCSDK_ERR_PARAM: return std::errc::invalid_argument;
        case IPCSDK_ERR_BUFFER: return std::errc::no_buffer_space;
        default: return {value, *this};
        }
    }
};

/// The one instance of the category.
inline const std::error_category& category() noexcept {
    static const ErrorCategory instance;
    return instance;
}

/// A result code as std::error_code (0 is success).
inline std::error_code make_error_code(std::uint32_t code) noexcept {
    return {static_cast<int>(code), category()};
}
/// Makes `ec == ipc::errc::auth` work.
inline std::error_code make_error_code(errc e) noexcept { return make_error_code(static_cast<std::uint32_t>(e)); }

/// The exception thrown by every throwing call: what() names the operation that failed, code()
/// carries the result code in ipc::category().
class Error : public std::system_error {
public:
    Error(std::error_code ec, const std::string& operation) : std::system_error(ec, operation) {}
    /// The result code of the C interface.
    std::uint32_t result() const noexcept { return static_cast<std::uint32_t>(code().value()); }
};

}  // namespace ipc

/// @cond INTERNAL
template <>
struct std::is_error_code_enum<ipc::errc> : std::true_type {};
/// @endcond

namespace ipc {

namespace detail {

// Throws for the throwing form, stores for the std::error_code& form.
inline void raise(std::error_code ec, const char* operation, std::error_code* out) {
    if (out)
        *out = ec;
    else if (ec)
        throw Error(ec, operation);
}

// A handler threw: report and carry on (exceptions never cross into the C library).
inline std::mutex& reporter_mutex() {
    static std::mutex m;
    return m;
}
inline std::function<void(std::string_view, std::string_view)>& reporter() {
    static std::function<void(std::string_view, std::string_view)> f;
    return f;
}
inline void report_handler_error(std::string_view where, std::exception_ptr e) noexcept {
    std::string what = "unknown exception";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        what = x.what();
    } catch (...) {
    }
    try {
        std::function<void(std::string_view, std::string_view)> f;
        {
            std::lock_guard lock(reporter_mutex());
            f = reporter();
        }
        if (f)
            f(where, what);
        else
            std::fprintf(stderr, "ipcsdk: a %.*s handler threw: %s\n", static_cast<int>(where.size()),
                         where.data(), what.c_str());
    } catch (...) {
    }
}

// Runs a handler, never letting an exception out.
template <class F, class... A>
void guarded(std::string_view where, F& f, A&&... a) noexcept {
    try {
        f(std::forward<A>(a)...);
    } catch (...) {
        report_handler_error(where, std::current_exception());
    }
}

}  // namespace detail

/// Sets what happens when a handler throws: f(kind of handler, what()) is called on the thread
/// that ran the handler. Without it (or with an empty function) one line goes to standard error.
inline void set_handler_error_reporter(std::function<void(std::string_view kind, std::string_view what)> f) {
    std::lock_guard lock(detail::reporter_mutex());
    detail::reporter() = std::move(f);
}

// ============================================================================================
// Frames and reports
// ============================================================================================

/// Bytes before the payload of a video frame.
inline constexpr std::size_t kFrameHeaderSize = 156;

/// One video frame as the camera sent it (header and payload), valid during the handler call.
struct Frame {
    std::span<const std::uint8_t> bytes;  ///< the whole frame, header included
    /// The payload length the header announces (little-endian at byte 8).
    std::uint32_t payload_length() const noexcept {
        if (bytes.size() < 12) return 0;
        return std::uint32_t{bytes[8]} | std::uint32_t{bytes[9]} << 8 | std::uint32_t{bytes[10]} << 16 |
               std::uint32_t{bytes[11]} << 24;
    }
    /// The video payload: the bytes after the 156-byte header.
    std::span<const std::uint8_t> payload() const noexcept {
        return bytes.size() > kFrameHeaderSize ? bytes.subspan(kFrameHeaderSize) : std::span<const std::uint8_t>{};
    }
};

/// One alarm or data report, valid during the handler call.
struct Report {
    std::uint32_t type = 0;                ///< message type (0x1003 alarm, 0x1001 position, ...)
    std::span<const std::uint8_t> body;    ///< the report body
};

/// Per-camera handlers; each runs on a receiver thread of the library.
struct Handlers {
    std::function<void(const Frame&)> frame;        ///< one video frame
    std::function<void(const Report&)> report;      ///< one alarm or data report
    std::function<void()> disconnect;               ///< the camera closed the report channel
};

namespace detail {

// Per-handle handler table behind the library's process-wide callbacks.
class Dispatch {
public:
    static Dispatch& instance() {
        static Dispatch d;
        return d;
    }
    void install() {
        SetVideoFrameCallBack(&on_frame);
        SetReportCallbackFunc(&on_report);
        SetExceptionCallBack(&on_disconnect);
    }
    void set(std::uint32_t handle, std::shared_ptr<const Handlers> h) {
        if (auto i = index(handle)) {
            std::lock_guard lock(mutex_);
            table_[*i] = std::move(h);
        }
    }
    // Clears the entry only when it still holds `h` (a later login may own the slot by now).
    void clear(std::uint32_t handle, const Handlers* h) {
        if (auto i = index(handle)) {
            std::lock_guard lock(mutex_);
            if (table_[*i].get() == h) table_[*i].reset();
        }
    }
    void clear_all() {
        std::lock_guard lock(mutex_);
        for (auto& e : table_) e.reset();
    }
    std::shared_ptr<const Handlers> get(std::uint32_t handle) {
        if (auto i = index(handle)) {
            std::lock_guard lock(mutex_);
            return table_[*i];
        }
        return nullptr;
    }

private:
    static std::optional<std::size_t> index(std::uint32_t handle) {
        if (handle < IPCSDK_HANDLE_BASE || handle >= IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES) return std::nullopt;
        return handle - IPCSDK_HANDLE_BASE;
    }
    static int on_frame(std::uint32_t handle, std::uint8_t* frame) {
        auto h = instance().get(handle);
        if (!h || !h->frame || !frame) return 0;
        Frame f;
        f.bytes = {frame, kFrameHeaderSize};
        f.bytes = {frame, kFrameHeaderSize + f.payload_length()};
        guarded("frame", h->frame, f);
        return 0;
    }
    static int on_report(std::uint32_t type, std::intptr_t handle, std::intptr_t, std::uint8_t* body,
                         std::uint32_t length, std::intptr_t) {
        auto h = instance().get(static_cast<std::uint32_t>(handle));
        if (!h || !h->report) return 0;
        Report r{type, {body, body ? length : 0u}};
        guarded("report", h->report, r);
        return 0;
    }
    static int on_disconnect(std::uint32_t, std::uint32_t handle, std::uintptr_t) {
        auto h = instance().get(handle);
        if (h && h->disconnect) guarded("disconnect", h->disconnect);
        return 0;
    }

    std::mutex mutex_;
    std::array<std::shared_ptr<const Handlers>, IPCSDK_MAX_DEVICES> table_{};
};

// Counts initialisations so that a camera from an earlier one never releases a later login.
inline std::atomic<std::uint64_t>& sdk_generation() {
    static std::atomic<std::uint64_t> g{0};
    return g;
}
inline std::atomic<bool>& sdk_alive() {
    static std::atomic<bool> a{false};
    return a;
}
// Fleets in existence; ~Sdk checks that none is left.
inline std::atomic<int>& live_fleets() {
    static std::atomic<int> n{0};
    return n;
}

}  // namespace detail

// ============================================================================================
// Sdk
// ============================================================================================

/// The process's initialisation of the library, RAII: the constructor initialises it and
/// installs the dispatching callbacks, the destructor releases every camera still logged in and
/// uninitialises. One at a time: a second while one exists fails with errc::sdk_exists. Every
/// ipc::Fleet must be gone before it: closing it while one exists ends the process with a
/// message on standard error (std::terminate).
class Sdk {
public:
    /// Initialises; throws ipc::Error (errc::sdk_exists, or the result of IPCSdkInit).
    Sdk() {
        std::error_code ec;
        init(ec);
        detail::raise(ec, "IPCSdkInit", nullptr);
    }
    /// Initialises; on failure `ec` is set and the object is empty (owns() is false).
    explicit Sdk(std::error_code& ec) noexcept { init(ec); }
    ~Sdk() { close(); }
    Sdk(const Sdk&) = delete;
    Sdk& operator=(const Sdk&) = delete;
    Sdk(Sdk&& o) noexcept : owns_(std::exchange(o.owns_, false)) {}
    Sdk& operator=(Sdk&& o) noexcept {
        if (this != &o) {
            close();
            owns_ = std::exchange(o.owns_, false);
        }
        return *this;
    }
    /// True while this object holds the initialisation.
    bool owns() const noexcept { return owns_; }
    /// Uninitialises (releasing every camera still logged in); idempotent.
    void close() noexcept {
        if (!owns_) return;
        if (const int fleets = detail::live_fleets().load(); fleets > 0) {
            std::fprintf(stderr, "ipcsdk: ipc::Sdk closed while %d ipc::Fleet object(s) exist; destroy the fleets first\n",
                         fleets);
            std::terminate();
        }
        owns_ = false;
        IPCSdkUnInit();
        detail::Dispatch::instance().clear_all();
        detail::sdk_alive().store(false);
    }
    /// The library's version text.
    static std::string_view version() noexcept { return IPCSDKVersion(); }

private:
    void init(std::error_code& ec) noexcept {
        bool expected = false;
        if (!detail::sdk_alive().compare_exchange_strong(expected, true)) {
            ec = make_error_code(errc::sdk_exists);
            return;
        }
        const std::uint32_t r = IPCSdkInit();
        if (r != IPCSDK_OK) {
            detail::sdk_alive().store(false);
            ec = make_error_code(r);
            return;
        }
        detail::sdk_generation().fetch_add(1);
        detail::Dispatch::instance().install();
        owns_ = true;
        ec.clear();
    }
    bool owns_ = false;
};

// ============================================================================================
// The settings table
// ============================================================================================

/// One entry of the settings table, as seen at run time.
struct SettingInfo {
    std::string_view name;          ///< "video-param": the command name without IPC and Get/Set
    std::string_view get_function;  ///< the C function that reads it ("IPCVideoParamGet")
    std::string_view set_function;  ///< the C function that writes it ("" when read-only)
    std::size_t record_size;        ///< sizeof the record
    std::size_t max_count;          ///< most records of one call; 0 for a single record
    std::uint8_t get_class, get_code;
    std::uint8_t set_class, set_code;  ///< 0, 0 when read-only
    bool writable;                     ///< has a set command
    /// The get, type-erased: fills `count` records at `records`; returns the result code.
    std::uint32_t (*get)(std::uint32_t handle, void* records, std::int32_t count);
    /// The set, type-erased (null when read-only): sends `count` records from `records`.
    std::uint32_t (*set)(std::uint32_t handle, const void* records, std::int32_t count);
    /// True for the settings that travel as an array of up to max_count records.
    constexpr bool counted() const noexcept { return max_count != 0; }
};

/// Maps a record type to its commands; specialised for every record of the table below.
template <class T>
struct setting_traits;

/// A record type of the settings table.
template <class T>
concept Setting = requires { setting_traits<T>::info; };

/// A record type that can also be written.
template <class T>
concept WritableSetting = Setting<T> && setting_traits<T>::info.writable;

/// The tag for_each_setting hands to its visitor: its member `type` is the record type.
template <class T>
struct setting_tag {
    using type = T;                                                      ///< the record type
    static constexpr const SettingInfo& info = setting_traits<T>::info;  ///< its table entry
};

namespace detail {

template <auto Fn>
struct fn_traits;
template <class R, class... P, R (*Fn)(P...)>
struct fn_traits<Fn> {
    using result = R;
    using params = std::tuple<P...>;
    static constexpr std::size_t arity = sizeof...(P);
};

// Type-erased adapters of one get or set function (single record or counted).
template <class T, auto Fn>
std::uint32_t erased_get(std::uint32_t handle, void* records, std::int32_t count) {
    if constexpr (fn_traits<Fn>::arity == 3)
        return Fn(handle, static_cast<T*>(records), count);
    else
        return count == 1 ? Fn(handle, static_cast<T*>(records)) : IPCSDK_ERR_PARAM;
}
template <class T, auto Fn>
std::uint32_t erased_set(std::uint32_t handle, const void* records, std::int32_t count) {
    if constexpr (fn_traits<Fn>::arity == 3)
        return Fn(handle, static_cast<const T*>(records), count);
    else
        return count == 1 ? Fn(handle, static_cast<const T*>(records)) : IPCSDK_ERR_PARAM;
}

template <class... T>
struct type_list {};

}  // namespace detail

// The table. Names: the command's name without "IPC" and without "Get"/"Set", lower case, a
// hyphen at each word boundary. Acronyms stay one word (PTZ -> ptz, GB28181 -> gb28181, GB1400
// -> gb1400, OSD -> osd, ISP -> isp, FTP -> ftp, NTP -> ntp); a digit stays with its word
// (restart-info2, dev2-info); "NetWork" is one word (dev-network), "_setup" a word of its own
// (gb28181-setup). Counted settings give their largest count (what fits one 10240-byte
// request); the classes and codes are those the header documents for each function.
// Read-only entries are the queries without a set of the same record.
#define IPCSDK_SETTING_(T, NAME, GETFN, SETFN, MAX, GC, GK, SC, SK)                                       \
    template <>                                                                                           \
    struct setting_traits<T> {                                                                            \
        using record_type = T;                                                                            \
        static constexpr auto get_fn = &GETFN;                                                            \
        static constexpr auto set_fn = &SETFN;                                                            \
        static constexpr SettingInfo info{NAME, #GETFN, #SETFN, sizeof(T), MAX, GC, GK, SC, SK, true,     \
                                          &detail::erased_get<T, &GETFN>, &detail::erased_set<T, &SETFN>}; \
    };
#define IPCSDK_QUERY_(T, NAME, GETFN, GC, GK)                                                           \
    template <>                                                                                         \
    struct setting_traits<T> {                                                                          \
        using record_type = T;                                                                          \
        static constexpr auto get_fn = &GETFN;                                                          \
        static constexpr SettingInfo info{NAME, #GETFN, "", sizeof(T), 0, GC, GK, 0, 0, false,          \
                                          &detail::erased_get<T, &GETFN>, nullptr};                     \
    };
// clang-format off
IPCSDK_SETTING_(VideoParamRecord,    "video-param",             IPCVideoParamGet,           IPCVideoParamSet,           77,  1,  6,  1,  7)
IPCSDK_SETTING_(ExOsdRecord,         "ex-osd",                  IPCExOsdGet,                IPCExOsdSet,                28,  1, 14,  1, 15)
IPCSDK_SETTING_(CameraControlRecord, "camera-control-info",     IPCGetCameraControlInfo,    IPCSetCameraControlInfo,     0,  1, 16,  1, 17)
IPCSDK_SETTING_(FireModeInfo,        "fire-mode",               IPCFireModeGet,             IPCFireModeSet,              0,  1, 47,  1, 46)
IPCSDK_SETTING_(AlarmOutParam,       "alarm-param-out",         IPCAlarmParamOutGet,        IPCAlarmParamOutSet,         0,  2,  4,  2,  5)
IPCSDK_SETTING_(AlarmInParam,        "alarm-param-in",          IPCAlarmParamInGet,         IPCAlarmParamInSet,          0,  2,  6,  2,  7)
IPCSDK_SETTING_(SystemTimeInfo,      "system-time",             IPCSystemTimeGet,           IPCSystemTimeSet,            0,  3,  0,  3,  1)
IPCSDK_SETTING_(NtpConfInfo,         "ntp-conf",                IPCNtpConfGet,              IPCNtpConfSet,               0,  3,  8,  3,  9)
IPCSDK_SETTING_(RestartInfo,         "restart-info",            IPCGetRestartInfo,          IPCSetRestartInfo,           0,  3, 11,  3, 12)
IPCSDK_SETTING_(IdleOperationInfo,   "idle-operation-info",     IPCGetIdleOperationInfo,    IPCSetIdleOperationInfo,     0,  3, 17,  3, 18)
IPCSDK_SETTING_(StartOperationInfo,  "start-operation-info",    IPCGetStartOperationInfo,   IPCSetStartOperationInfo,    0,  3, 19,  3, 20)
IPCSDK_SETTING_(RestartInfo2,        "restart-info2",           IPCGetRestartInfo2,         IPCSetRestartInfo2,          0,  3, 21,  3, 22)
IPCSDK_SETTING_(FtpInfo,             "ftp",                     IPCFtpGet,                  IPCFtpSet,                   0,  5,  8,  5,  9)
IPCSDK_SETTING_(DayNightInfo,        "image-isp-day-night",     IPCImageIspDayNightGet,     IPCImageIspDayNightSet,      0,  7, 17,  7, 18)
IPCSDK_SETTING_(ImageEnhanceInfo,    "image-isp-image-enhance", IPCImageIspImageEnhanceGet, IPCImageIspImageEnhanceSet,  0,  7, 19,  7, 20)
IPCSDK_SETTING_(NetWorkConfInfo,     "dev-network",             IPCDevNetWorkGet,           IPCDevNetWorkSet,            0,  8,  0,  8,  1)
IPCSDK_SETTING_(WebServiceInfo,      "gb1400",                  IPCGB1400Get,               IPCGB1400Set,                0,  8, 17,  8, 16)
IPCSDK_SETTING_(GB28181Info,         "gb28181-setup",           IPCGB28181_setupGet,        IPCGB28181_setupSet,         0,  9,  8,  9,  9)
IPCSDK_SETTING_(PTZParamRecord,      "ptz-param",               IPCPTZParamGet,             IPCPTZParamSet,             80, 12,  0, 12,  1)
IPCSDK_SETTING_(PTZValueRecord,      "ptz-value",               IPCPTZValueGet,             IPCPTZValueSet,              0, 12,  8, 12,  9)
IPCSDK_SETTING_(CruiseInfoRecord,    "cruise-info",             IPCCruiseinfoGet,           IPCCruiseInfoSet,            0, 12, 23, 12, 24)
IPCSDK_SETTING_(FocusModeRecord,     "focus-mode",              IPCFocusModeGet,            IPCFocusModeSet,             0, 33, 18, 33, 19)
IPCSDK_SETTING_(TrackParamRecord,    "track-param",             IPCTrackParamGet,           IPCTrackParamSet,            0, 34,  4, 34,  5)
IPCSDK_SETTING_(Dev2Info,            "dev2-info",               IPCGetDev2Info,             IPCSetDev2Info,              0, 34,  6, 34,  7)
IPCSDK_SETTING_(FaceInfo,            "face-info",               IPCGetFaceInfo,             IPCSetFaceInfo,              0, 34,  8, 34,  9)
IPCSDK_QUERY_(SystemInfo,            "sys-version",                  IPCGetSysVersion,            3,  2)
IPCSDK_QUERY_(PresetTable,           "preset-point",                 IPCGetPresetPoint,          12,  3)
IPCSDK_QUERY_(CamLinkPTZRecord,      "cam-link-ptz-info",            IPCGetCamLinkPTZInfo,       32,  1)
IPCSDK_QUERY_(CamMarkRecord,         "cam-mark-point",               IPCGetCamMarkPoint,         33,  7)
IPCSDK_QUERY_(CamMark2Record,        "cam-mark-point2",              IPCGetCamMarkPoint2,        33,  9)
IPCSDK_QUERY_(LinkFocusLearnState,   "link-focus-learn-state-query", IPCLinkFocusLearnStateQuery, 33, 20)
// clang-format on
#undef IPCSDK_SETTING_
#undef IPCSDK_QUERY_

namespace detail {
using all_settings =
    type_list<VideoParamRecord, ExOsdRecord, CameraControlRecord, FireModeInfo, AlarmOutParam, AlarmInParam,
              SystemTimeInfo, NtpConfInfo, RestartInfo, IdleOperationInfo, StartOperationInfo, RestartInfo2, FtpInfo,
              DayNightInfo, ImageEnhanceInfo, NetWorkConfInfo, WebServiceInfo, GB28181Info, PTZParamRecord,
              PTZValueRecord, CruiseInfoRecord, FocusModeRecord, TrackParamRecord, Dev2Info, FaceInfo, SystemInfo,
              PresetTable, CamLinkPTZRecord, CamMarkRecord, CamMark2Record, LinkFocusLearnState>;

template <class... T, class F>
constexpr void visit(type_list<T...>, F&& f) {
    (f(setting_tag<T>{}), ...);
}
template <class... T>
constexpr auto infos(type_list<T...>) {
    return std::array<SettingInfo, sizeof...(T)>{setting_traits<T>::info...};
}
inline constexpr auto kSettingInfos = infos(all_settings{});
}  // namespace detail

/// Calls f(setting_tag<T>{}) for every record type T of the settings table, in table order.
template <class F>
constexpr void for_each_setting(F&& f) {
    detail::visit(detail::all_settings{}, std::forward<F>(f));
}

/// The settings table at run time, in table order.
inline std::span<const SettingInfo> settings() noexcept { return detail::kSettingInfos; }

/// The entry of the settings table with this name, or null.
inline const SettingInfo* find_setting(std::string_view name) noexcept {
    for (const auto& s : detail::kSettingInfos)
        if (s.name == name) return &s;
    return nullptr;
}

// ============================================================================================
// CameraRef: the commands of one handle
// ============================================================================================

/// Login target: address, transport and (for TCP) the command port.
struct Endpoint {
    enum class Transport : std::uint32_t { udp = 1, tcp = 2 };
    std::string address;                 ///< dotted-quad IPv4 address
    Transport transport = Transport::udp;  ///< UDP (port 5001) or TCP on `port`
    std::uint16_t port = 5002;           ///< TCP command port; unused for UDP
};

/// User name and password of a login.
struct Credentials {
    std::string user;
    std::string password;
};

/// A hook a CameraRef may carry: asked before each of its commands whether it may run, told the
/// result after. The CameraRefs of an ipc::Fleet carry one that keeps the login from being
/// released during a command, counts timeouts, and fails the commands of a login that is gone.
class CallGate {
public:
    /// 0: the command runs. Otherwise the command does not reach the library and fails with
    /// this result code (and leave() is not called).
    virtual std::uint32_t enter() noexcept = 0;
    /// After a command that enter() let run, with its result.
    virtual void leave(std::uint32_t result) noexcept = 0;

protected:
    ~CallGate() = default;
};

namespace detail {

// The name of a function given as a template argument, from the compiler's signature text.
template <auto Fn>
constexpr std::string_view function_name() {
    std::string_view s = __PRETTY_FUNCTION__;
    // GCC: "[with auto Fn = IPCReboot; ...]", Clang: "[Fn = &IPCReboot]".
    const std::string_view key = "Fn = ";
    auto at = s.find(key);
    if (at == std::string_view::npos) return "command";
    s.remove_prefix(at + key.size());
    while (!s.empty() && (s.front() == '&' || s.front() == '(' || s.front() == ' ')) s.remove_prefix(1);
    auto end = s.find_first_of(";]) ,");
    return s.substr(0, end);
}

// Failures: the library's result codes and channel results, and the codes of this layer.
inline bool is_error(std::uint32_t r) noexcept { return r >= 0x7FFFFF00u; }

// An argument given by reference where the C function takes a pointer is passed by address.
template <class P, class A>
decltype(auto) adapt(A&& a) {
    using D = std::remove_cvref_t<A>;
    if constexpr (std::is_pointer_v<P> && !std::is_pointer_v<D> && !std::is_null_pointer_v<D> &&
                  !std::is_array_v<std::remove_reference_t<A>>)
        return static_cast<P>(std::addressof(a));
    else
        return static_cast<P>(std::forward<A>(a));
}

template <class Tuple, std::size_t... I>
auto drop_last(Tuple&& t, std::index_sequence<I...>) {
    return std::forward_as_tuple(std::get<I>(std::forward<Tuple>(t))...);
}

template <class... A>
constexpr bool last_is_ec() {
    if constexpr (sizeof...(A) == 0)
        return false;
    else
        return std::is_same_v<std::remove_cvref_t<std::tuple_element_t<sizeof...(A) - 1, std::tuple<A...>>>,
                              std::error_code>;
}
}  // namespace detail

/// The commands of one logged-in camera, by handle; does not own the login (ipc::Camera does).
/// Copyable; every command may be called from any thread (the library runs the commands of one
/// camera one at a time). Each has a throwing form and a form taking std::error_code&.
class CameraRef {
public:
    CameraRef() noexcept = default;
    /// A view of a handle obtained elsewhere (from IPCSdkLogin, say).
    explicit CameraRef(std::uint32_t handle) noexcept : handle_(handle) {}
    /// A view whose every command passes through `gate` (shared by the copies of this view).
    CameraRef(std::uint32_t handle, std::shared_ptr<CallGate> gate) noexcept
        : handle_(handle), gate_(std::move(gate)) {}

    /// The raw handle (0x1023000..0x10230FF), or 0 when empty.
    std::uint32_t handle() const noexcept { return handle_; }
    /// True when this refers to a handle.
    explicit operator bool() const noexcept { return handle_ != 0; }
    /// The camera's entry of the exported device table, or null.
    DeviceSlot* slot() const noexcept {
        return handle_ >= IPCSDK_HANDLE_BASE && handle_ < IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES
                   ? &g_DevManage[handle_ - IPCSDK_HANDLE_BASE]
                   : nullptr;
    }

    // ---- settings -----------------------------------------------------------------------

    /// Reads a single-record setting: `auto t = cam.get<NtpConfInfo>();`
    template <Setting T>
        requires(!setting_traits<T>::info.counted())
    T get() const {
        T t{};
        get(t);
        return t;
    }
    /// Reads a single-record setting into `record` (bytes the answer does not carry keep theirs).
    template <Setting T>
        requires(!setting_traits<T>::info.counted())
    void get(T& record) const {
        check(gated([&] { return setting_traits<T>::get_fn(handle_, &record); }),
              setting_traits<T>::info.get_function, nullptr);
    }
    template <Setting T>
        requires(!setting_traits<T>::info.counted())
    void get(T& record, std::error_code& ec) const noexcept {
        check(gated([&] { return setting_traits<T>::get_fn(handle_, &record); }),
              setting_traits<T>::info.get_function, &ec);
    }
    /// Reads `count` records of a counted setting (1..max_count).
    template <Setting T>
        requires(setting_traits<T>::info.counted())
    std::vector<T> get(std::size_t count) const {
        std::vector<T> v(count);
        get(std::span<T>(v));
        return v;
    }
    /// Reads records.size() records of a counted setting into `records`.
    template <Setting T>
        requires(setting_traits<T>::info.counted())
    void get(std::span<T> records) const {
        check(gated([&] { return setting_traits<T>::get_fn(handle_, records.data(), count_of(records.size())); }),
              setting_traits<T>::info.get_function, nullptr);
    }
    template <Setting T>
        requires(setting_traits<T>::info.counted())
    void get(std::span<T> records, std::error_code& ec) const noexcept {
        check(gated([&] { return setting_traits<T>::get_fn(handle_, records.data(), count_of(records.size())); }),
              setting_traits<T>::info.get_function, &ec);
    }
    /// Writes a single-record setting.
    template <WritableSetting T>
        requires(!setting_traits<T>::info.counted())
    void set(const T& record) const {
        check(gated([&] { return setting_traits<T>::set_fn(handle_, &record); }),
              setting_traits<T>::info.set_function, nullptr);
    }
    template <WritableSetting T>
        requires(!setting_traits<T>::info.counted())
    void set(const T& record, std::error_code& ec) const noexcept {
        check(gated([&] { return setting_traits<T>::set_fn(handle_, &record); }),
              setting_traits<T>::info.set_function, &ec);
    }
    /// Writes the records of a counted setting (1..max_count of them).
    template <WritableSetting T>
        requires(setting_traits<T>::info.counted())
    void set(std::span<const T> records) const {
        check(gated([&] { return setting_traits<T>::set_fn(handle_, records.data(), count_of(records.size())); }),
              setting_traits<T>::info.set_function, nullptr);
    }
    template <WritableSetting T>
        requires(setting_traits<T>::info.counted())
    void set(std::span<const T> records, std::error_code& ec) const noexcept {
        check(gated([&] { return setting_traits<T>::set_fn(handle_, records.data(), count_of(records.size())); }),
              setting_traits<T>::info.set_function, &ec);
    }

    /// Reads a setting found at run time into `records` (a whole number of records, as many as
    /// the setting takes; host byte order, exactly as the C records).
    void get(const SettingInfo& s, std::span<std::byte> records) const { get(s, records, nullptr); }
    void get(const SettingInfo& s, std::span<std::byte> records, std::error_code& ec) const noexcept {
        get(s, records, &ec);
    }
    /// Writes a setting found at run time from `records` (see get).
    void set(const SettingInfo& s, std::span<const std::byte> records) const { set(s, records, nullptr); }
    void set(const SettingInfo& s, std::span<const std::byte> records, std::error_code& ec) const noexcept {
        set(s, records, &ec);
    }

    // ---- any command ----------------------------------------------------------------------

    /// Calls any function of the C interface whose first parameter is the handle, passing the
    /// other arguments converted to its parameter types: a record given by reference goes by
    /// address. Returns the function's result (a byte count for the waiting commands); a result
    /// code of 0x80000000 or more (or a negative channel result) throws ipc::Error naming the
    /// function. With a std::error_code& as last argument it does not throw and returns 0 on
    /// failure.
    ///
    ///     cam.call<IPCPTZCtrl>(ctrl);
    ///     cam.call<IPCReboot>();
    ///     cam.call<IPCGpsInfo>(request, 1, buffer.data(), size, 5, ec);
    template <auto Fn, class... A>
    std::uint32_t call(A&&... a) const {
        using Traits = detail::fn_traits<Fn>;
        if constexpr (detail::last_is_ec<A...>()) {
            auto all = std::forward_as_tuple(std::forward<A>(a)...);
            std::error_code& ec = std::get<sizeof...(A) - 1>(all);
            auto rest = detail::drop_last(all, std::make_index_sequence<sizeof...(A) - 1>{});
            static_assert(Traits::arity == sizeof...(A), "wrong number of arguments");
            const std::uint32_t r = std::apply(
                [&](auto&&... x) { return gated([&] { return invoke<Fn>(std::forward<decltype(x)>(x)...); }); }, rest);
            check(r, detail::function_name<Fn>(), &ec);
            return ec ? 0 : r;
        } else {
            static_assert(Traits::arity == sizeof...(A) + 1, "wrong number of arguments");
            const std::uint32_t r = gated([&] { return invoke<Fn>(std::forward<A>(a)...); });
            check(r, detail::function_name<Fn>(), nullptr);
            return r;
        }
    }

    /// Runs one of the waiting commands (IPCSIMUSNAP, IPCGpsInfo, IPCDistantInfoSet) with
    /// wait = 1: waits up to `tries` seconds for the report and returns the bytes it wrote. A
    /// result that did not arrive in time is an empty optional (routine, not an error); other
    /// failures throw. `capacity` bounds the result (the picture pair needs 660 bytes plus both
    /// pictures).
    template <auto Fn, class Request>
    std::optional<std::vector<std::uint8_t>> wait_for(Request& request, int tries,
                                                      std::size_t capacity = kWaitCapacity) const {
        std::error_code ec;
        auto r = wait_for<Fn>(request, tries, capacity, ec);
        if (ec) throw Error(ec, std::string(detail::function_name<Fn>()));
        return r;
    }
    template <auto Fn, class Request>
    std::optional<std::vector<std::uint8_t>> wait_for(Request& request, int tries, std::size_t capacity,
                                                      std::error_code& ec) const {
        std::vector<std::uint8_t> out(capacity);
        const std::uint32_t r =
            gated([&] { return Fn(handle_, &request, 1, out.data(), static_cast<std::uint32_t>(out.size()), tries); });
        // The picture pair reports its absence on its own; the others say "refused" on timeout.
        const bool late = r == IPCSDK_ERR_NO_PICTURE || (!std::is_same_v<Request, SimuSnapInfo> && r == IPCSDK_ERR_REFUSED);
        if (late) {
            ec.clear();
            return std::nullopt;
        }
        if (detail::is_error(r)) {
            ec = make_error_code(r);
            return std::nullopt;
        }
        ec.clear();
        out.resize(std::min<std::size_t>(r, out.size()));
        return out;
    }
    /// Default capacity of wait_for: two 2 MiB pictures and the 660-byte head.
    static constexpr std::size_t kWaitCapacity = 660 + 2 * IPCSDK_REPORT_BUF_SIZE;

    // ---- channels and heartbeat -----------------------------------------------------------

    /// Opens the report channel (login opens it already; this reopens it after a stop).
    void open_report_channel() const {
        check(gated([&] { return channel_result(StartDataReport(handle_)); }), "StartDataReport", nullptr);
    }
    void open_report_channel(std::error_code& ec) const noexcept {
        check(gated([&] { return channel_result(StartDataReport(handle_)); }), "StartDataReport", &ec);
    }
    /// Stops the report channel (no disconnection handler call).
    void close_report_channel() const {
        check(gated([&] { return StopDataReport(handle_); }), "StopDataReport", nullptr);
    }
    void close_report_channel(std::error_code& ec) const noexcept {
        check(gated([&] { return StopDataReport(handle_); }), "StopDataReport", &ec);
    }
    /// Opens the video channel and its receiver; IPCStartVideo then asks the camera to stream.
    void open_video_channel() const {
        check(gated([&] { return channel_result(StartVideoRequest(handle_)); }), "StartVideoRequest", nullptr);
    }
    void open_video_channel(std::error_code& ec) const noexcept {
        check(gated([&] { return channel_result(StartVideoRequest(handle_)); }), "StartVideoRequest", &ec);
    }
    /// Stops the video channel's receiver.
    void close_video_channel() const {
        check(gated([&] { return StopVideoRequest(handle_); }), "StopVideoRequest", nullptr);
    }
    void close_video_channel(std::error_code& ec) const noexcept {
        check(gated([&] { return StopVideoRequest(handle_); }), "StopVideoRequest", &ec);
    }
    /// Starts the library's heartbeat thread (a beat every 5 s while logged in).
    void start_heartbeat() const {
        std::error_code ec;
        start_heartbeat(ec);
        detail::raise(ec, "CreatHandlHeartBeatThread", nullptr);
    }
    void start_heartbeat(std::error_code& ec) const noexcept {
        DeviceSlot* s = slot();
        const std::uint32_t r = gated([&] {
            return !s ? static_cast<std::uint32_t>(errc::bad_handle)
                      : CreatHandlHeartBeatThread(s) == 0 ? 0u : static_cast<std::uint32_t>(errc::channel_socket);
        });
        ec = r == 0 ? std::error_code{} : make_error_code(r);
    }

protected:
    std::uint32_t handle_ = 0;
    std::shared_ptr<CallGate> gate_;

private:

    // The channel functions return a descriptor or 0 on success, a negative number on failure.
    static std::uint32_t channel_result(std::int32_t r) noexcept { return r >= 0 ? 0u : static_cast<std::uint32_t>(r); }

    template <auto Fn, class... A>
    std::uint32_t invoke(A&&... a) const {
        using Params = typename detail::fn_traits<Fn>::params;
        return invoke_impl<Fn, Params>(std::make_index_sequence<sizeof...(A)>{}, std::forward<A>(a)...);
    }
    template <auto Fn, class Params, std::size_t... I, class... A>
    std::uint32_t invoke_impl(std::index_sequence<I...>, A&&... a) const {
        return static_cast<std::uint32_t>(
            Fn(handle_, detail::adapt<std::tuple_element_t<I + 1, Params>>(std::forward<A>(a))...));
    }

    static std::int32_t count_of(std::size_t n) noexcept {
        return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(n);
    }
    // Runs one call of the C interface through the gate, if any.
    template <class Call>
    std::uint32_t gated(Call&& fn) const noexcept {
        if (!gate_) return fn();
        if (const std::uint32_t refused = gate_->enter()) return refused;
        const std::uint32_t r = fn();
        gate_->leave(r);
        return r;
    }
    void check(std::uint32_t r, std::string_view operation, std::error_code* ec) const {
        std::error_code e = detail::is_error(r) ? make_error_code(r) : std::error_code{};
        if (ec)
            *ec = e;
        else if (e)
            throw Error(e, std::string(operation));
    }
    void get(const SettingInfo& s, std::span<std::byte> records, std::error_code* ec) const {
        if (records.empty() || records.size() % s.record_size != 0 ||
            (!s.counted() && records.size() != s.record_size)) {
            detail::raise(make_error_code(errc::param), s.get_function.data(), ec);
            return;
        }
        check(gated([&] { return s.get(handle_, records.data(), count_of(records.size() / s.record_size)); }),
              s.get_function, ec);
    }
    void set(const SettingInfo& s, std::span<const std::byte> records, std::error_code* ec) const {
        if (!s.set || records.empty() || records.size() % s.record_size != 0 ||
            (!s.counted() && records.size() != s.record_size)) {
            detail::raise(make_error_code(errc::param), s.writable ? s.set_function.data() : s.name.data(), ec);
            return;
        }
        check(gated([&] { return s.set(handle_, records.data(), count_of(records.size() / s.record_size)); }),
              s.set_function, ec);
    }
};

// ============================================================================================
// Camera: one login, owned
// ============================================================================================

/// One logged-in camera: move-only, released on destruction (DeviceLogout: the camera's threads
/// are stopped and gone when it returns, and no handler of it runs afterwards). A moved-from
/// Camera is empty. Its handlers run on the library's receiver threads; an exception a handler
/// throws is caught and reported (see set_handler_error_reporter).
class Camera : public CameraRef {
public:
    Camera() noexcept = default;
    ~Camera() { close(); }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    Camera(Camera&& o) noexcept
        : CameraRef(std::exchange(o.handle_, 0u), std::move(o.gate_)),
          generation_(o.generation_),
          handlers_(std::move(o.handlers_)) {}
    Camera& operator=(Camera&& o) noexcept {
        if (this != &o) {
            close();
            handle_ = std::exchange(o.handle_, 0u);
            gate_ = std::move(o.gate_);
            generation_ = o.generation_;
            handlers_ = std::move(o.handlers_);
        }
        return *this;
    }

    /// Logs in (IPCSdkLogin); throws ipc::Error (errc::auth for wrong credentials).
    static Camera login(const Endpoint& endpoint, const Credentials& credentials,
                        std::chrono::seconds timeout = std::chrono::seconds(5)) {
        std::error_code ec;
        Camera c = login(endpoint, credentials, timeout, ec);
        detail::raise(ec, "IPCSdkLogin", nullptr);
        return c;
    }
    /// Logs in; on failure sets `ec` and returns an empty Camera.
    static Camera login(const Endpoint& endpoint, const Credentials& credentials, std::chrono::seconds timeout,
                        std::error_code& ec) noexcept {
        LoginDeviceInfo dev{};
        dev.netType = static_cast<std::uint32_t>(endpoint.transport);
        dev.port = endpoint.port;
        std::strncpy(dev.address, endpoint.address.c_str(), sizeof dev.address - 1);
        LoginUserInfo user{};
        std::strncpy(user.userName, credentials.user.c_str(), sizeof user.userName - 1);
        std::strncpy(user.password, credentials.password.c_str(), sizeof user.password - 1);
        const auto seconds = static_cast<std::uint32_t>(std::max<std::int64_t>(timeout.count(), 0));
        const std::uint32_t r = IPCSdkLogin(&dev, &user, seconds);
        std::memset(&user, 0, sizeof user);
        Camera c;
        if (r >= IPCSDK_HANDLE_BASE && r < IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES) {
            c.handle_ = r;
            c.generation_ = detail::sdk_generation().load();
            ec.clear();
        } else {
            ec = make_error_code(r == 0 ? static_cast<std::uint32_t>(errc::login_status) : r);
        }
        return c;
    }
    /// Adopts a handle from IPCSdkLogin; the Camera then releases it.
    static Camera adopt(std::uint32_t handle) noexcept {
        Camera c;
        c.handle_ = handle;
        c.generation_ = detail::sdk_generation().load();
        return c;
    }

    /// Sets the camera's handlers (replacing earlier ones); events before this call are not seen.
    void set_handlers(Handlers handlers) {
        if (!handle_) return;
        auto h = std::make_shared<const Handlers>(std::move(handlers));
        detail::Dispatch::instance().set(handle_, h);
        handlers_ = std::move(h);
    }
    /// The frame handler alone (keeps the others).
    void on_frame(std::function<void(const Frame&)> f) {
        Handlers h = handlers_ ? *handlers_ : Handlers{};
        h.frame = std::move(f);
        set_handlers(std::move(h));
    }
    /// The report handler alone (keeps the others).
    void on_report(std::function<void(const Report&)> f) {
        Handlers h = handlers_ ? *handlers_ : Handlers{};
        h.report = std::move(f);
        set_handlers(std::move(h));
    }
    /// The disconnection handler alone (keeps the others).
    void on_disconnect(std::function<void()> f) {
        Handlers h = handlers_ ? *handlers_ : Handlers{};
        h.disconnect = std::move(f);
        set_handlers(std::move(h));
    }

    /// Gives up the handle without releasing it (the caller then owns the login).
    std::uint32_t release() noexcept {
        if (handlers_) detail::Dispatch::instance().clear(handle_, handlers_.get());
        handlers_.reset();
        return std::exchange(handle_, 0u);
    }
    /// Releases the login (DeviceLogout) once; idempotent, never throws. Waits for a handler
    /// of this camera that is running at the moment, so do not call it under a lock that
    /// handler takes.
    void close() noexcept {
        if (!handle_) return;
        const std::uint32_t h = std::exchange(handle_, 0u);
        if (handlers_) detail::Dispatch::instance().clear(h, handlers_.get());
        handlers_.reset();
        if (detail::sdk_alive().load() && generation_ == detail::sdk_generation().load()) DeviceLogout(h);
    }

private:
    std::uint64_t generation_ = 0;
    std::shared_ptr<const Handlers> handlers_;
};

// ============================================================================================
// Fleet: a set of cameras kept online
// ============================================================================================

/// The state of a camera in a Fleet.
enum class State {
    connecting,   ///< added; the first login has not finished yet
    online,       ///< logged in, channels restored; Fleet::with runs commands
    offline,      ///< lost or not reachable; released, logged in again after a pause
    auth_failed,  ///< the camera refused the credentials; retried only at the longest pause
};

/// "connecting", "online", "offline" or "auth-failed".
inline const char* to_string(State s) noexcept {
    switch (s) {
    case State::connecting: return "connecting";
    case State::online: return "online";
    case State::offline: return "offline";
    case State::auth_failed: return "auth-failed";
    }
    return "?";
}

/// How a Fleet supervises its cameras. Durations of 0 turn the check off where noted.
struct FleetOptions {
    /// Pause before the first new login after a loss or a failed login (then doubled).
    std::chrono::milliseconds initial_backoff{1000};
    /// Longest pause; also the pause after a refused login (auth-failed).
    std::chrono::milliseconds max_backoff{30000};
    /// Each pause is drawn from [p * (1 - jitter), p * (1 + jitter)]; 0: exact pauses.
    double jitter = 0.2;
    /// A camera lost after being online for less than this keeps its pauses growing (one that
    /// drops every login is not logged in again every initial_backoff); 0: a loss always
    /// starts again at initial_backoff.
    std::chrono::milliseconds stable_after{10000};
    /// An online camera from which nothing arrived (frame, report, keepalive, command answer)
    /// for this long goes offline; 0: never.
    std::chrono::milliseconds stale_after{15000};
    /// After this long without arrivals the fleet sends a heartbeat to ask; 0: never.
    std::chrono::milliseconds probe_after{5000};
    /// This many command timeouts in a row take a camera offline; 0: never.
    int max_command_timeouts = 3;
    /// Timeout of each login.
    std::chrono::seconds login_timeout{5};
    /// Most blocking jobs (logins, releases, the fleet's own heartbeats) running at once. Each
    /// runs on a thread of its own, started for it and gone when it ends, so a camera that does
    /// not answer holds up only its own login. Jobs beyond this many wait their turn; a waiting
    /// login is dropped when its camera is removed or the fleet destroyed. At least 1.
    unsigned workers = IPCSDK_MAX_DEVICES;
    /// Frames waiting for the frame handler (the one it is running included) beyond this many
    /// are dropped and counted in CameraStatus::frames_dropped.
    std::size_t max_queued_frames = 256;
    /// Reports waiting for the report handler (the one it is running included) beyond this
    /// many, or beyond this many bytes of report bodies, are dropped and counted in
    /// CameraStatus::reports_dropped. A report arriving when none waits always passes.
    std::size_t max_queued_reports = 1024;
    std::size_t max_queued_report_bytes = std::size_t{16} << 20;
};

/// One camera of a Fleet: where it is, how to log in, and which channels it wants. Cameras of
/// both transports can be mixed in one fleet.
struct CameraSpec {
    Endpoint endpoint;         ///< address and transport (UDP or TCP, per camera)
    Credentials credentials;   ///< user and password
    bool video = false;        ///< open the video channel and ask the camera to stream
    bool heartbeat = true;     ///< run the library's heartbeat thread
};

/// What Fleet::status reports about one camera.
struct CameraStatus {
    std::string id;                                 ///< the id given to Fleet::add
    State state = State::connecting;                ///< current state
    std::chrono::steady_clock::time_point since;    ///< when it entered that state
    unsigned reconnects = 0;                        ///< logins that brought it back online
    std::error_code last_error;                     ///< why it last left online or last failed
    std::uint32_t handle = 0;                       ///< the login's handle while online, else 0
    std::uint64_t frames_dropped = 0;               ///< frames dropped by the queue limit
    std::uint64_t reports_dropped = 0;              ///< reports dropped by the queue limits
};

/// A state change, as the state handler receives it.
struct StateChange {
    std::string id;
    State from, to;
    std::error_code error;  ///< the reason for offline and auth-failed
    unsigned reconnects = 0;
    std::chrono::steady_clock::time_point at;
};

/// A pause before the next login, as the retry handler receives it.
struct Retry {
    std::string id;
    unsigned failures = 0;               ///< failed logins since the camera was last online
    std::error_code error;               ///< why the last attempt failed (or the camera was lost)
    std::chrono::milliseconds pause{0};  ///< the pause before the next login
};

class Fleet;

namespace detail {

// The fleets in whose Fleet::with the calling thread is (once per call in progress).
inline std::vector<const void*>& leases_of_this_thread() {
    thread_local std::vector<const void*> v;
    return v;
}

class FleetCore : public std::enable_shared_from_this<FleetCore> {
public:
    using clock = std::chrono::steady_clock;

    struct Entry;
    struct Event {
        enum Kind { Add, Remove, RetryNow, Frame, Report, Lost, LoginDone, Released, Probed } kind;
        Event(Kind k, std::shared_ptr<Entry> e, std::uint64_t s = 0) : kind(k), entry(std::move(e)), session(s) {}
        std::shared_ptr<Entry> entry;
        std::uint64_t session = 0;
        std::uint64_t job = 0;  // the job that posted it (LoginDone, Released, Probed)
        std::uint32_t type = 0;
        std::vector<std::uint8_t> bytes;
        std::error_code error;
        Camera camera;
    };

    // What a queued handler call holds back from the queue limits.
    enum class Pending { none, frame, report };

    // Every command through a CameraRef of the fleet: the login stays while it runs, and a
    // login that is gone (released, or another session by now) refuses it.
    struct Gate;

    struct Entry : std::enable_shared_from_this<Entry> {
        std::string id;
        CameraSpec spec;
        // Supervisor's; written under core's mutex_ where status() reads them.
        State state = State::connecting;
        clock::time_point since = clock::now();
        unsigned reconnects = 0;
        std::error_code last_error;
        unsigned failures = 0;  // failed logins since it was last online
        unsigned pauses = 0;    // pauses since it was last stably online: the next one doubles
        clock::time_point next_attempt{};
        bool busy = false;      // a login or a release is in flight or waiting for a thread
        bool probing = false;
        bool deferred = false;  // its login waits for a removed camera of the same address
        clock::time_point last_probe{};
        bool removed = false;
        bool ever_online = false;
        bool lost_early = false;
        clock::time_point online_since{};
        std::uint64_t session = 0;
        std::vector<Event> early;  // frames and reports of a login not yet processed
        // Under core's mutex_.
        Camera camera;
        std::uint64_t camera_session = 0;
        std::shared_ptr<Gate> gate;  // of the session online
        int users = 0;
        bool releasing = false;
        bool gone = false;  // removed (or the fleet stopped)
        // Under core's dispatch_mutex_.
        bool muted = false;  // removed: no handler call of it starts any more
        // From any thread.
        std::atomic<clock::rep> last_arrival{0};
        std::atomic<int> timeouts{0};
        std::atomic<std::uint64_t> dropped{0};
        std::atomic<std::uint64_t> reports_dropped{0};

        void arrived() noexcept { last_arrival.store(clock::now().time_since_epoch().count()); }
    };

    struct Gate final : CallGate {
        std::weak_ptr<FleetCore> core;
        std::weak_ptr<Entry> entry;
        std::uint64_t session = 0;

        std::uint32_t enter() noexcept override {
            auto c = core.lock();
            auto e = entry.lock();
            if (!c) return static_cast<std::uint32_t>(errc::fleet_stopped);
            if (!e) return static_cast<std::uint32_t>(c->stopping() ? errc::fleet_stopped : errc::fleet_unknown);
            std::lock_guard lock(c->mutex_);
            if (e->gone) return static_cast<std::uint32_t>(errc::fleet_unknown);
            if (!e->camera || e->releasing || e->camera_session != session)
                return static_cast<std::uint32_t>(errc::fleet_not_online);
            ++e->users;
            return 0;
        }
        void leave(std::uint32_t r) noexcept override {
            auto c = core.lock();
            auto e = entry.lock();
            if (!c || !e) return;  // not while a command runs: the release waits for it
            {
                std::lock_guard lock(c->mutex_);
                if (--e->users == 0) c->users_cv_.notify_all();
            }
            c->observe(e, session, r);
        }
    };

    struct Handlers {
        std::function<void(const StateChange&)> state;
        std::function<void(const Retry&)> retry;
        std::function<void(const std::string&, const Frame&)> frame;
        std::function<void(const std::string&, const Report&)> report;
    };

    explicit FleetCore(FleetOptions o) : options_(o), rng_(std::random_device{}()) {
        options_.workers = std::max(1u, options_.workers);
    }

    void start() {
        auto self = shared_from_this();
        dispatcher_ = std::thread([self] { self->run_handlers(); });
        dispatcher_id_ = dispatcher_.get_id();
        supervisor_ = std::thread([self] { self->supervise(); });
    }

    // Asks the supervisor to release everything and waits for it (it runs no handler, so this
    // never waits for one); then stops the handlers: one that is running is not waited for.
    void shutdown() noexcept {
        {
            std::lock_guard lock(queue_mutex_);
            stopping_ = true;
        }
        queue_cv_.notify_all();
        if (supervisor_.joinable()) supervisor_.join();
        bool busy;
        {
            std::lock_guard lock(dispatch_mutex_);
            dispatch_stop_ = true;
            busy = in_handler_;
        }
        dispatch_cv_.notify_all();
        if (!dispatcher_.joinable()) return;
        // A handler that is running (or destroying the fleet) finishes on its own; the thread
        // then ends without starting another. Otherwise it ends at once.
        if (busy || dispatcher_id_ == std::this_thread::get_id())
            dispatcher_.detach();
        else
            dispatcher_.join();
    }

    void set_handlers(const std::function<void(Handlers&)>& change) {
        std::lock_guard lock(handlers_mutex_);
        auto h = std::make_shared<Handlers>(handlers_ ? *handlers_ : Handlers{});
        change(*h);
        handlers_ = std::move(h);
    }

    void add(std::string id, CameraSpec spec, std::error_code& ec) {
        auto e = std::make_shared<Entry>();
        e->id = id;
        e->spec = std::move(spec);
        {
            std::lock_guard lock(mutex_);
            if (stopping()) {
                ec = make_error_code(errc::fleet_stopped);
                return;
            }
            if (!by_id_.emplace(id, e).second) {
                ec = make_error_code(errc::fleet_exists);
                return;
            }
        }
        ec.clear();
        post(Event{Event::Add, e});
    }

    // Returns once no handler call for the camera runs or can start (from a handler of its
    // own: once that handler returns, none starts).
    void remove(const std::string& id, std::error_code& ec) {
        std::shared_ptr<Entry> e;
        {
            std::lock_guard lock(mutex_);
            auto it = by_id_.find(id);
            if (it == by_id_.end()) {
                ec = make_error_code(errc::fleet_unknown);
                return;
            }
            e = it->second;
            by_id_.erase(it);
            e->gone = true;
        }
        ec.clear();
        std::deque<Call> unseen;
        {
            std::unique_lock lock(dispatch_mutex_);
            e->muted = true;
            for (auto it = dispatch_.begin(); it != dispatch_.end();) {
                if (it->entry == e) {
                    unseen.push_back(std::move(*it));
                    it = dispatch_.erase(it);
                } else {
                    ++it;
                }
            }
            if (std::this_thread::get_id() != dispatcher_id_) idle_cv_.wait(lock, [&] { return running_ != e.get(); });
        }
        for (auto& c : unseen) unpend(c.pending, c.bytes);
        std::deque<Event> events;  // its frames and reports on their way to the supervisor
        {
            std::lock_guard lock(queue_mutex_);
            for (auto it = queue_.begin(); it != queue_.end();) {
                if (it->entry == e && (it->kind == Event::Frame || it->kind == Event::Report)) {
                    events.push_back(std::move(*it));
                    it = queue_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& ev : events) forget(ev);
        post(Event{Event::Remove, e});
    }

    void retry_now(const std::string& id, std::error_code& ec) {
        std::shared_ptr<Entry> e;
        {
            std::lock_guard lock(mutex_);
            auto it = by_id_.find(id);
            if (it == by_id_.end()) {
                ec = make_error_code(errc::fleet_unknown);
                return;
            }
            e = it->second;
        }
        ec.clear();
        post(Event{Event::RetryNow, e});
    }

    std::vector<CameraStatus> statuses() const {
        std::lock_guard lock(mutex_);
        std::vector<CameraStatus> v;
        for (const auto& [id, e] : by_id_) v.push_back(status_locked(*e));
        return v;
    }
    std::optional<CameraStatus> status(const std::string& id) const {
        std::lock_guard lock(mutex_);
        auto it = by_id_.find(id);
        if (it == by_id_.end()) return std::nullopt;
        return status_locked(*it->second);
    }

    // A camera in use by Fleet::with: its release waits until the lease ends.
    class Lease {
    public:
        Lease() = default;
        Lease(std::shared_ptr<FleetCore> core, std::shared_ptr<Entry> e, CameraRef ref)
            : core_(std::move(core)), entry_(std::move(e)), ref_(std::move(ref)) {
            try {
                leases_of_this_thread().push_back(core_.get());
            } catch (...) {
            }
        }
        Lease(Lease&& o) noexcept
            : core_(std::move(o.core_)), entry_(std::move(o.entry_)), ref_(std::move(o.ref_)) {}
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (!core_) return;
            auto& held = leases_of_this_thread();
            if (auto it = std::find(held.begin(), held.end(), core_.get()); it != held.end()) held.erase(it);
            std::lock_guard lock(core_->mutex_);
            if (--entry_->users == 0) core_->users_cv_.notify_all();
        }
        const CameraRef& camera() const noexcept { return ref_; }
        explicit operator bool() const noexcept { return core_ != nullptr; }

    private:
        std::shared_ptr<FleetCore> core_;
        std::shared_ptr<Entry> entry_;
        CameraRef ref_;
    };

    Lease lease(const std::string& id, std::error_code& ec) {
        std::lock_guard lock(mutex_);
        auto it = by_id_.find(id);
        if (stopping())
            ec = make_error_code(errc::fleet_stopped);
        else if (it == by_id_.end())
            ec = make_error_code(errc::fleet_unknown);
        else if (it->second->state != State::online || it->second->releasing || !it->second->camera)
            ec = make_error_code(errc::fleet_not_online);
        else
            return lease_locked(it->second, ec);
        return {};
    }

    // Whether the calling thread is inside Fleet::with of this fleet.
    bool leased_by_this_thread() const {
        const auto& held = leases_of_this_thread();
        return std::find(held.begin(), held.end(), this) != held.end();
    }

private:
    friend class ipc::Fleet;

    // A handler call waiting for the dispatching thread.
    struct Call {
        std::shared_ptr<Entry> entry;  // the camera it is about (null: none)
        Pending pending = Pending::none;
        std::size_t bytes = 0;
        std::function<void()> run;
    };

    bool stopping() const {
        std::lock_guard lock(queue_mutex_);
        return stopping_;
    }

    CameraStatus status_locked(const Entry& e) const {
        CameraStatus s;
        s.id = e.id;
        s.state = e.state;
        s.since = e.since;
        s.reconnects = e.reconnects;
        s.last_error = e.last_error;
        s.handle = e.state == State::online ? e.camera.handle() : 0;
        s.frames_dropped = e.dropped.load();
        s.reports_dropped = e.reports_dropped.load();
        return s;
    }

    // Frames and reports count against the queue limits from here until their handler returned.
    void post(Event ev) {
        {
            std::lock_guard lock(queue_mutex_);
            if (ev.kind == Event::Frame) {
                if (pending_frames_.load() >= options_.max_queued_frames) {
                    ev.entry->dropped.fetch_add(1);
                    return;
                }
                pending_frames_.fetch_add(1);
            } else if (ev.kind == Event::Report) {
                const std::size_t n = pending_reports_.load();
                if (n > 0 && (n >= options_.max_queued_reports ||
                              pending_report_bytes_.load() + ev.bytes.size() > options_.max_queued_report_bytes)) {
                    ev.entry->reports_dropped.fetch_add(1);
                    return;
                }
                pending_reports_.fetch_add(1);
                pending_report_bytes_.fetch_add(ev.bytes.size());
            }
            queue_.push_back(std::move(ev));
        }
        queue_cv_.notify_one();
    }

    void unpend(Pending p, std::size_t bytes) {
        if (p == Pending::frame) {
            pending_frames_.fetch_sub(1);
        } else if (p == Pending::report) {
            pending_reports_.fetch_sub(1);
            pending_report_bytes_.fetch_sub(bytes);
        }
    }

    void forget(const Event& ev) {
        if (ev.kind == Event::Frame) unpend(Pending::frame, 0);
        if (ev.kind == Event::Report) unpend(Pending::report, ev.bytes.size());
    }

    void observe(const std::shared_ptr<Entry>& e, std::uint64_t session, std::uint32_t r) noexcept {
        if (r == IPCSDK_ERR_NET || r == IPCSDK_ERR_TCP_SEND) {
            const int n = e->timeouts.fetch_add(1) + 1;
            const int limit = options_.max_command_timeouts;
            if (limit > 0 && n == limit) {
                try {
                    Event ev{Event::Lost, e, session};
                    ev.error = make_error_code(r);
                    post(std::move(ev));
                } catch (...) {
                }
            }
        } else if (r != IPCSDK_ERR_BAD_HANDLE) {
            e->timeouts.store(0);
            e->arrived();
        }
    }

    // ---- blocking jobs: a thread each, at most options_.workers at once (supervisor only) --

    struct Job {
        std::shared_ptr<Entry> entry;
        bool login = false;
        std::function<void(std::uint64_t)> run;  // posts its event with the job's number last
    };

    void submit(const std::shared_ptr<Entry>& e, bool login, std::function<void(std::uint64_t)> run) {
        waiting_.push_back(Job{e, login, std::move(run)});
        start_jobs(false);
    }

    // Starts waiting jobs while there is room; waiting logins of removed cameras (of every
    // camera once the fleet stops) are dropped.
    void start_jobs(bool stop) {
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->login && (stop || it->entry->removed)) {
                it->entry->busy = false;
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
        while (!waiting_.empty() && jobs_.size() < options_.workers) {
            const std::uint64_t id = ++job_count_;
            try {
                jobs_.emplace(id, std::thread(waiting_.front().run, id));
            } catch (...) {  // no thread now: tried again at the next round
                return;
            }
            waiting_.pop_front();
        }
    }

    void finish_job(std::uint64_t id) {
        if (auto it = jobs_.find(id); it != jobs_.end()) {
            it->second.join();  // it has posted its event and is ending
            jobs_.erase(it);
        }
    }

    // ---- the supervisor -------------------------------------------------------------------

    void supervise() {
        std::vector<std::shared_ptr<Entry>> live;  // every entry not yet finished
        std::unique_lock lock(queue_mutex_);
        for (;;) {
            queue_cv_.wait_until(lock, next_wake(live), [&] { return !queue_.empty() || (stopping_ && !stop_seen_); });
            std::deque<Event> batch;
            batch.swap(queue_);
            const bool stop = stopping_;
            stop_seen_ = stopping_;
            lock.unlock();
            for (auto& ev : batch) handle(ev, live, stop);
            batch.clear();
            start_jobs(stop);
            tick(live, stop);
            lock.lock();
            if (stop && live.empty() && queue_.empty()) break;
        }
        lock.unlock();
        for (auto& [id, t] : jobs_) t.join();
        jobs_.clear();
        waiting_.clear();
        // Events posted by the last jobs hold entries (and cameras, already released): drop them.
        std::lock_guard ql(queue_mutex_);
        queue_.clear();
    }

    clock::time_point next_wake(const std::vector<std::shared_ptr<Entry>>& live) const {
        auto t = clock::now() + std::chrono::milliseconds(250);  // staleness and probes
        for (const auto& e : live)
            if (!e->busy && !e->removed && !e->deferred && e->state != State::online) t = std::min(t, e->next_attempt);
        return t;
    }

    void handle(Event& ev, std::vector<std::shared_ptr<Entry>>& live, bool stop) {
        Entry& e = *ev.entry;
        if (ev.kind == Event::LoginDone || ev.kind == Event::Released || ev.kind == Event::Probed) finish_job(ev.job);
        switch (ev.kind) {
        case Event::Add:
            live.push_back(ev.entry);
            e.next_attempt = clock::now();
            break;
        case Event::Remove:
            e.removed = true;
            for (auto& x : e.early) forget(x);
            e.early.clear();
            break;
        case Event::RetryNow:
            if (!e.removed && e.state != State::online) {
                e.pauses = 0;
                e.next_attempt = clock::now();
            }
            break;
        case Event::Frame:
        case Event::Report:
            if (stop || e.removed || ev.session != e.session) {
                forget(ev);
            } else if (e.state != State::online) {  // before the login's own event
                if (e.busy)
                    e.early.push_back(std::move(ev));
                else
                    forget(ev);
            } else {
                deliver(e, ev);
            }
            break;
        case Event::Lost:
            if (ev.session != e.session || e.removed || stop) break;
            if (e.state == State::online)
                lose(ev.entry, ev.error);
            else if (e.busy)
                e.lost_early = true;  // the login that is finishing now is lost already
            break;
        case Event::LoginDone: login_done(ev, stop); break;
        case Event::Released:
            e.busy = false;
            if (e.removed || stop) break;
            schedule_retry(e, e.last_error, e.state == State::auth_failed);
            break;
        case Event::Probed:
            e.probing = false;
            break;
        }
    }

    void deliver(Entry& e, Event& ev) {
        auto h = handlers();
        const bool frame = ev.kind == Event::Frame;
        if (!h || !(frame ? static_cast<bool>(h->frame) : static_cast<bool>(h->report))) {
            forget(ev);
            return;
        }
        const std::size_t size = ev.bytes.size();
        dispatch(e.shared_from_this(),
                 [h, id = e.id, frame, type = ev.type, bytes = std::move(ev.bytes)] {
                     if (frame) {
                         ipc::Frame f{bytes};
                         guarded("frame", h->frame, id, f);
                     } else {
                         ipc::Report r{type, bytes};
                         guarded("report", h->report, id, r);
                     }
                 },
                 frame ? Pending::frame : Pending::report, size);
    }

    // Hands a handler call to the dispatching thread (in order); dropped for a removed camera.
    void dispatch(std::shared_ptr<Entry> e, std::function<void()> run, Pending p = Pending::none,
                  std::size_t bytes = 0) {
        bool queued = false;
        {
            std::lock_guard lock(dispatch_mutex_);
            if (!dispatch_stop_ && !(e && e->muted)) {
                dispatch_.push_back(Call{std::move(e), p, bytes, std::move(run)});
                queued = true;
            }
        }
        if (queued)
            dispatch_cv_.notify_one();
        else
            unpend(p, bytes);
    }

    void run_handlers() {
        std::unique_lock lock(dispatch_mutex_);
        for (;;) {
            dispatch_cv_.wait(lock, [&] { return !dispatch_.empty() || dispatch_stop_; });
            if (dispatch_stop_) break;
            Call call = std::move(dispatch_.front());
            dispatch_.pop_front();
            in_handler_ = true;
            running_ = call.entry.get();
            lock.unlock();
            call.run();
            unpend(call.pending, call.bytes);
            call = Call{};
            lock.lock();
            in_handler_ = false;
            running_ = nullptr;
            idle_cv_.notify_all();
        }
        auto rest = std::move(dispatch_);  // dropped unseen, outside the lock
        lock.unlock();
    }

    // Whether a removed camera of the same address still holds (or may still get) the
    // library's entry for it: a login now would fail as a duplicate.
    static bool address_taken(const std::vector<std::shared_ptr<Entry>>& live, const Entry& e) {
        for (const auto& o : live)
            if (o.get() != &e && o->removed && o->spec.endpoint.address == e.spec.endpoint.address) return true;
        return false;
    }

    void tick(std::vector<std::shared_ptr<Entry>>& live, bool stop) {
        const auto now = clock::now();
        for (auto it = live.begin(); it != live.end();) {
            auto& e = *it;
            if (e->removed || stop) {
                if (!e->busy && !e->probing) {
                    bool has;
                    {
                        std::lock_guard lock(mutex_);
                        has = static_cast<bool>(e->camera);
                    }
                    if (has) {
                        release(e);
                    } else {
                        it = live.erase(it);
                        continue;
                    }
                }
                ++it;
                continue;
            }
            if (e->state == State::online && !e->busy) {
                check_arrivals(*e);
                const auto silent = now - clock::time_point(clock::duration(e->last_arrival.load()));
                if (options_.stale_after.count() > 0 && silent > options_.stale_after) {
                    lose(e, make_error_code(errc::stale));
                } else if (options_.probe_after.count() > 0 && !e->probing && silent > options_.probe_after &&
                           now - e->last_probe > options_.probe_after) {
                    probe(e);
                }
            } else if (!e->busy && now >= e->next_attempt) {
                e->deferred = address_taken(live, *e);
                bool has;
                {
                    std::lock_guard lock(mutex_);
                    has = static_cast<bool>(e->camera);
                }
                if (!has && !e->deferred) login(e);
            }
            ++it;
        }
    }

    // Keepalives and video reach the device table's time of last data.
    void check_arrivals(Entry& e) {
        DeviceSlot* s;
        {
            std::lock_guard lock(mutex_);
            s = e.camera.slot();
        }
        if (!s) return;
        const std::int64_t last = std::atomic_ref<std::int64_t>(s->lastRecvTime).load();
        const auto wall = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        if (last != 0 && wall - last <= 1 && wall >= last) e.arrived();
    }

    void set_state(Entry& e, State to, std::error_code why) {
        StateChange c;
        {
            std::lock_guard lock(mutex_);
            if (e.state == to && !why) return;
            c.from = e.state;
            e.state = to;
            e.since = clock::now();
            if (why) e.last_error = why;
            c.reconnects = e.reconnects;
        }
        if (c.from == to) return;
        c.id = e.id;
        c.to = to;
        c.error = why;
        c.at = e.since;
        if (auto h = handlers(); h && h->state) dispatch(e.shared_from_this(), [h, c] { guarded("state", h->state, c); });
    }

    std::chrono::milliseconds pause_for(unsigned n, bool longest) {
        using ms = std::chrono::milliseconds;
        ms p = options_.max_backoff;
        if (!longest) {
            p = options_.initial_backoff;
            for (unsigned i = 0; i < n && p < options_.max_backoff; ++i) p *= 2;
            p = std::min(p, options_.max_backoff);
        }
        if (options_.jitter > 0) {
            std::uniform_real_distribution<double> d(1.0 - options_.jitter, 1.0 + options_.jitter);
            p = ms(static_cast<ms::rep>(static_cast<double>(p.count()) * d(rng_)));
        }
        return p;
    }

    void schedule_retry(Entry& e, std::error_code why, bool longest) {
        const auto pause = pause_for(e.pauses++, longest);
        e.next_attempt = clock::now() + pause;
        if (auto h = handlers(); h && h->retry) {
            Retry r{e.id, e.failures, why, pause};
            dispatch(e.shared_from_this(), [h, r] { guarded("retry", h->retry, r); });
        }
    }

    void lose(const std::shared_ptr<Entry>& e, std::error_code why) {
        e->failures = 0;
        if (clock::now() - e->online_since >= options_.stable_after) e->pauses = 0;
        set_state(*e, State::offline, why);
        release(e);
    }

    void release(const std::shared_ptr<Entry>& e) {
        e->busy = true;
        submit(e, false, [this, e](std::uint64_t job) {
            Camera c;
            {
                std::unique_lock lock(mutex_);
                e->releasing = true;
                users_cv_.wait(lock, [&] { return e->users == 0; });
                c = std::move(e->camera);
                e->gate.reset();
                e->releasing = false;
            }
            c.close();
            Event ev{Event::Released, e};
            ev.job = job;
            post(std::move(ev));
        });
    }

    void login(const std::shared_ptr<Entry>& e) {
        e->busy = true;
        e->lost_early = false;
        const std::uint64_t session = ++sessions_;
        e->session = session;
        const auto timeout = options_.login_timeout;
        submit(e, true, [this, e, session, timeout](std::uint64_t job) {
            std::error_code ec;
            Camera c = Camera::login(e->spec.endpoint, e->spec.credentials, timeout, ec);
            if (!ec) restore(c, e, session, ec);
            if (ec) c.close();
            Event ev{Event::LoginDone, e, session};
            ev.job = job;
            ev.error = ec;
            ev.camera = std::move(c);
            post(std::move(ev));
        });
    }

    // Handlers that only post, then the channels the camera wants.
    void restore(Camera& c, const std::shared_ptr<Entry>& e, std::uint64_t session, std::error_code& ec) {
        std::weak_ptr<Entry> w = e;
        ipc::Handlers h;
        h.frame = [this, w, session](const ipc::Frame& f) {
            if (auto entry = w.lock()) {
                entry->arrived();
                Event ev{Event::Frame, entry, session};
                ev.bytes.assign(f.bytes.begin(), f.bytes.end());
                post(std::move(ev));
            }
        };
        h.report = [this, w, session](const ipc::Report& r) {
            if (auto entry = w.lock()) {
                entry->arrived();
                Event ev{Event::Report, entry, session};
                ev.type = r.type;
                ev.bytes.assign(r.body.begin(), r.body.end());
                post(std::move(ev));
            }
        };
        h.disconnect = [this, w, session] {
            if (auto entry = w.lock()) {
                Event ev{Event::Lost, entry, session};
                ev.error = make_error_code(errc::channel_closed);
                post(std::move(ev));
            }
        };
        c.set_handlers(std::move(h));
        DeviceSlot* s = c.slot();
        if (s && std::atomic_ref<std::int32_t>(s->reportSocket).load() < 0) c.open_report_channel(ec);
        if (!ec && e->spec.heartbeat) c.start_heartbeat(ec);
        if (!ec && e->spec.video) {
            c.open_video_channel(ec);
            VideoStartInfo start{};
            if (!ec) c.call<IPCStartVideo>(start, ec);
        }
    }

    void login_done(Event& ev, bool stop) {
        Entry& e = *ev.entry;
        e.busy = false;
        if (ev.session != e.session) return;
        if (!ev.error && e.lost_early) ev.error = make_error_code(errc::channel_closed);
        std::vector<Event> early;
        early.swap(e.early);
        if (stop || e.removed || ev.error) {
            for (auto& x : early) forget(x);
            if (ev.camera) {
                std::lock_guard lock(mutex_);
                e.camera = std::move(ev.camera);
                e.camera_session = ev.session;
            }
            if (!stop && !e.removed) {
                const bool refused = ev.error == errc::auth;
                ++e.failures;
                set_state(e, refused ? State::auth_failed : State::offline, ev.error);
                if (!e.camera) schedule_retry(e, ev.error, refused);
            }
            if (e.camera) release(ev.entry);  // the retry is scheduled once it is released
            return;
        }
        auto gate = std::make_shared<Gate>();
        gate->core = weak_from_this();
        gate->entry = ev.entry;
        gate->session = ev.session;
        {
            std::lock_guard lock(mutex_);
            e.camera = std::move(ev.camera);
            e.camera_session = ev.session;
            e.gate = std::move(gate);
            if (e.ever_online) ++e.reconnects;
            e.ever_online = true;
        }
        e.failures = 0;
        e.online_since = clock::now();
        e.timeouts.store(0);
        e.arrived();
        e.last_probe = clock::now();
        set_state(e, State::online, {});
        for (auto& x : early) deliver(e, x);
    }

    void probe(const std::shared_ptr<Entry>& e) {
        e->probing = true;
        e->last_probe = clock::now();
        submit(e, false, [this, e](std::uint64_t job) {
            std::error_code ec;
            {
                Lease l = lease_entry(e, ec);
                if (!ec) l.camera().call<IPCSendHeartBeat>(ec);
            }
            Event ev{Event::Probed, e};
            ev.job = job;
            post(std::move(ev));
        });
    }

    Lease lease_entry(const std::shared_ptr<Entry>& e, std::error_code& ec) {
        std::lock_guard lock(mutex_);
        if (!e->camera || e->releasing || !e->gate) {
            ec = make_error_code(errc::fleet_not_online);
            return {};
        }
        return lease_locked(e, ec);
    }

    Lease lease_locked(const std::shared_ptr<Entry>& e, std::error_code& ec) {
        ec.clear();
        ++e->users;
        return Lease(shared_from_this(), e, CameraRef(e->camera.handle(), e->gate));
    }

    std::shared_ptr<const Handlers> handlers() const {
        std::lock_guard lock(handlers_mutex_);
        return handlers_;
    }

    FleetOptions options_;
    std::mt19937 rng_;  // supervisor only
    std::uint64_t sessions_ = 0;

    mutable std::mutex mutex_;  // entries' shared fields and by_id_
    std::condition_variable users_cv_;
    std::map<std::string, std::shared_ptr<Entry>> by_id_;

    mutable std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<Event> queue_;
    // From the callback until the handler returned.
    std::atomic<std::size_t> pending_frames_{0}, pending_reports_{0}, pending_report_bytes_{0};
    bool stopping_ = false;
    bool stop_seen_ = false;

    // Supervisor only.
    std::map<std::uint64_t, std::thread> jobs_;
    std::deque<Job> waiting_;
    std::uint64_t job_count_ = 0;
    std::thread supervisor_;

    std::mutex dispatch_mutex_;
    std::condition_variable dispatch_cv_;
    std::condition_variable idle_cv_;  // the running handler call ended
    std::deque<Call> dispatch_;
    bool dispatch_stop_ = false;
    bool in_handler_ = false;
    const Entry* running_ = nullptr;  // the camera of the handler call running now
    std::thread dispatcher_;
    std::thread::id dispatcher_id_;

    mutable std::mutex handlers_mutex_;
    std::shared_ptr<const Handlers> handlers_;
};

}  // namespace detail

/// Keeps a set of cameras online.
///
/// Each camera has a State with the time it entered it, the number of reconnects and the last
/// error. An online camera goes offline when its report channel closes, when nothing arrives
/// from it for FleetOptions::stale_after (the fleet sends a heartbeat after probe_after to ask),
/// or after max_command_timeouts command timeouts in a row. It is then released and logged in
/// again after a pause that starts at initial_backoff and doubles up to max_backoff, with
/// jitter; the channels it wants (report, video, heartbeat) are restored. A camera that refuses
/// the credentials is auth-failed and retried only at the longest pause, or at once by
/// retry_now(). Cameras over UDP and over TCP can be mixed.
///
/// Threads: one supervising thread runs the state machine from its event queue; each blocking
/// job (a login, a release, a heartbeat of the fleet's own) runs on a thread of its own, up to
/// FleetOptions::workers at once, so a camera that does not answer delays no other's login;
/// one dispatching thread runs every handler, one at a time and in order. The library's
/// callbacks only copy the event into the supervisor's queue and return. No handler runs under
/// a lock that a command or Fleet::with needs, so handlers may call any Fleet function, and a
/// slow handler delays only the handlers after it, never the supervision. Frames and reports
/// waiting for their handler are bounded (FleetOptions::max_queued_frames,
/// max_queued_reports, max_queued_report_bytes); what is beyond is dropped and counted.
///
/// remove() returns once no handler for that camera runs or can start (called from a handler
/// of that camera: none starts after that handler returns); its events still queued are
/// dropped, its login is released in the background, and an add with the same id or address
/// may follow at once (its login waits for that release). The destructor drops the logins not
/// yet started, waits for those in progress (each bounded by its login timeout and one
/// exchange) and for Fleet::with calls in progress, releases every camera, and returns without
/// waiting for a handler that is running at that moment: that one finishes on its own and no
/// other starts.
///
/// Destroying a fleet inside its own Fleet::with (which would wait for itself), or an ipc::Sdk
/// while a fleet exists, ends the process with a message on standard error (std::terminate).
class Fleet {
public:
    /// Starts the supervising thread and the dispatching thread.
    explicit Fleet(FleetOptions options = {}) : core_(std::make_shared<detail::FleetCore>(options)) {
        core_->start();
        detail::live_fleets().fetch_add(1);
    }
    ~Fleet() {
        if (!core_) return;
        if (core_->leased_by_this_thread()) {
            std::fputs("ipcsdk: an ipc::Fleet was destroyed inside its own Fleet::with; the destructor would "
                        "wait for that call to end\n",
                        stderr);
            std::terminate();
        }
        core_->shutdown();
        detail::live_fleets().fetch_sub(1);
    }
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    /// Adds a camera under an id of the caller's choosing; its first login starts at once.
    /// Throws ipc::Error (errc::fleet_exists).
    void add(std::string id, CameraSpec spec) {
        std::error_code ec;
        core_->add(std::move(id), std::move(spec), ec);
        detail::raise(ec, "Fleet::add", nullptr);
    }
    void add(std::string id, CameraSpec spec, std::error_code& ec) { core_->add(std::move(id), std::move(spec), ec); }
    /// Removes a camera. Returns once no handler for it runs or can start: a handler call for it
    /// running on the dispatching thread is waited for (do not call remove() under a lock that
    /// handler takes); called from a handler of that camera, none starts after that handler.
    /// Its login is released in the background (an add with the same id may follow at once).
    /// CameraRefs of it fail with errc::fleet_unknown from now on. Throws errc::fleet_unknown.
    void remove(const std::string& id) {
        std::error_code ec;
        core_->remove(id, ec);
        detail::raise(ec, "Fleet::remove", nullptr);
    }
    void remove(const std::string& id, std::error_code& ec) { core_->remove(id, ec); }

    /// Logs a camera that is not online in again now, ending its pause (an auth-failed one too,
    /// say once its password was put right); its pauses start again at initial_backoff. Does
    /// nothing for a camera that is online or logging in. Throws errc::fleet_unknown.
    void retry_now(const std::string& id) {
        std::error_code ec;
        core_->retry_now(id, ec);
        detail::raise(ec, "Fleet::retry_now", nullptr);
    }
    void retry_now(const std::string& id, std::error_code& ec) { core_->retry_now(id, ec); }

    /// The status of one camera, or nothing for an unknown id.
    std::optional<CameraStatus> status(const std::string& id) const { return core_->status(id); }
    /// The status of every camera, ordered by id.
    std::vector<CameraStatus> statuses() const { return core_->statuses(); }

    /// Runs f(CameraRef&) on an online camera on the calling thread and returns its result; the
    /// camera is not released while f runs. Fails fast with ipc::Error (errc::fleet_not_online,
    /// errc::fleet_unknown) otherwise. Command timeouts inside f count towards going offline.
    /// A copy of the CameraRef may outlive f: each of its commands holds the login while it
    /// runs, and fails (errc::fleet_not_online, errc::fleet_unknown, errc::fleet_stopped) once
    /// that login is gone, even when the camera is online again with another.
    template <class F>
    decltype(auto) with(const std::string& id, F&& f) {
        std::error_code ec;
        auto lease = core_->lease(id, ec);
        if (ec) throw Error(ec, "Fleet::with " + id);
        CameraRef ref = lease.camera();
        return std::invoke(std::forward<F>(f), ref);
    }
    /// As with(id, f), but a camera that is not online sets `ec` instead of throwing (f's own
    /// exceptions still propagate). Returns f's result in an optional (nothing for void f; a
    /// std::reference_wrapper when f returns an lvalue reference).
    template <class F>
    auto with(const std::string& id, F&& f, std::error_code& ec) {
        using R = std::invoke_result_t<F, CameraRef&>;
        using Held = std::conditional_t<std::is_lvalue_reference_v<R>, std::reference_wrapper<std::remove_reference_t<R>>,
                                        std::remove_cvref_t<R>>;
        auto lease = core_->lease(id, ec);
        CameraRef ref = lease.camera();
        if constexpr (std::is_void_v<R>) {
            if (!ec) std::invoke(std::forward<F>(f), ref);
        } else {
            std::optional<Held> r;
            if (!ec) r.emplace(std::invoke(std::forward<F>(f), ref));
            return r;
        }
    }

    /// Called on every state change (on the dispatching thread, as every handler).
    void on_state(std::function<void(const StateChange&)> f) {
        core_->set_handlers([&](auto& h) { h.state = std::move(f); });
    }
    /// Called whenever a pause before the next login is chosen.
    void on_retry(std::function<void(const Retry&)> f) {
        core_->set_handlers([&](auto& h) { h.retry = std::move(f); });
    }
    /// Called for every video frame of an online camera (a copy; valid during the call).
    void on_frame(std::function<void(const std::string& id, const Frame&)> f) {
        core_->set_handlers([&](auto& h) { h.frame = std::move(f); });
    }
    /// Called for every report of an online camera (valid during the call).
    void on_report(std::function<void(const std::string& id, const Report&)> f) {
        core_->set_handlers([&](auto& h) { h.report = std::move(f); });
    }

private:
    std::shared_ptr<detail::FleetCore> core_;
};

}  // namespace ipc

#endif  // C++20
#endif  // IPCSDK_HPP
