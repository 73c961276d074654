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
 * - ipc::Fleet, in ipcsdk_fleet.hpp: keeps a set of cameras online.
 */
#ifndef IPCSDK_HPP
#define IPCSDK_HPP

#if __cplusplus < 202002L
#error "ipcsdk.hpp needs C++20 (compile with -std=c++20 or later); ipcsdk.h alone serves C and older C++"
#else

#include "ipcsdk.h"
#include "ipcsdk_commands.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
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

// The table, from the command list (ipcsdk_commands.hpp): one entry per S and Q row, in its
// order. Read-only entries are the queries without a set of the same record.
#define IPCSDK_SETTING_(T, NAME, MAX, GETFN, GC, GK, SETFN, SC, SK)                                       \
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
#define IPCSDK_NONE_(...)
IPCSDK_COMMANDS(IPCSDK_NONE_, IPCSDK_SETTING_, IPCSDK_QUERY_)
#undef IPCSDK_SETTING_
#undef IPCSDK_QUERY_

namespace detail {
#define IPCSDK_SETTING_(T, ...) , T
#define IPCSDK_QUERY_(T, ...) , T
template <class, class... T>
using drop_first = type_list<T...>;
// Every record of the settings table, in table order.
using all_settings = drop_first<void IPCSDK_COMMANDS(IPCSDK_NONE_, IPCSDK_SETTING_, IPCSDK_QUERY_)>;
#undef IPCSDK_SETTING_
#undef IPCSDK_QUERY_
#undef IPCSDK_NONE_

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

}  // namespace ipc

#endif  // C++20
#endif  // IPCSDK_HPP
