// ipcsdk._ipcsdk: the compiled half of the Python package, over the C++ layer (ipcsdk.hpp) and
// the record schema the tools share (settings as dicts of the same names and shapes as
// `ipcctl get --json`).
//
// Threads: every call that can block releases the GIL; callbacks take it only to run Python
// code. A pending signal (Ctrl-C) is checked when a blocking call returns, so KeyboardInterrupt
// is raised within that call's own bound. Frames reach Python as copies, through a bounded
// queue whose overflow is counted rather than holding up the library's receiver.
//
// Every use of the fleet and of the schema and settings headers is in this file.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <ipcsdk_fleet.hpp>

#include <chrono>
#include <cmath>
#include <ctime>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipctools/input.hpp"
#include "ipctools/ptz.hpp"
#include "ipctools/record_json.hpp"
#include "ipctools/settings.hpp"

namespace py = pybind11;
using ojson = nlohmann::ordered_json;

// Text arguments (names, addresses, ids): str only. pybind11 would take bytes for std::string too.
struct Str : std::string {};

namespace pybind11::detail {
template <>
struct type_caster<Str> {
    PYBIND11_TYPE_CASTER(Str, const_name("str"));
    bool load(handle src, bool) {
        if (!PyUnicode_Check(src.ptr())) return false;
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(src.ptr(), &n);
        if (!p) {
            PyErr_Clear();
            return false;
        }
        value.assign(p, static_cast<size_t>(n));
        return true;
    }
    static handle cast(const Str& s, return_value_policy, handle) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
};
}  // namespace pybind11::detail

namespace {

// ---- errors ---------------------------------------------------------------------------------

// The exception classes live in ipcsdk._errors (pure Python); looked up on each raise.
py::object error_class(const char* name) { return py::module_::import("ipcsdk._errors").attr(name); }

const char* class_for(std::uint32_t code) {
    switch (code) {
    case IPCSDK_ERR_AUTH: return "AuthError";
    case IPCSDK_ERR_NET:
    case IPCSDK_ERR_NO_PICTURE:
    case static_cast<std::uint32_t>(ipc::errc::no_udp_answer):
    case static_cast<std::uint32_t>(ipc::errc::no_tcp_answer): return "NoAnswerError";
    case IPCSDK_ERR_REFUSED: return "RefusedError";
    case IPCSDK_ERR_PARAM:
    case IPCSDK_ERR_BUFFER: return "BadArgumentError";
    default: return "Error";
    }
}

py::object make_error(std::uint32_t code, const std::string& operation) {
    return error_class(class_for(code))(code, ipc::code_name(code), ipc::category().message(static_cast<int>(code)),
                                        operation);
}

// Input refused before anything is sent: BadArgumentError naming the problem (and the field).
struct BadInput {
    std::string message;
    std::string field;
};

[[noreturn]] void bad(std::string message, std::string field = {}) { throw BadInput{std::move(message), std::move(field)}; }

void raise_object(py::object e) { PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr()); }

void translate(std::exception_ptr p) {
    try {
        if (p) std::rethrow_exception(p);
    } catch (const ipc::Error& e) {
        std::string what = e.what();
        raise_object(make_error(e.result(), what.substr(0, what.find(':'))));
    } catch (const BadInput& b) {
        py::object e = error_class("BadArgumentError")(IPCSDK_ERR_PARAM, ipc::code_name(IPCSDK_ERR_PARAM), b.message, "");
        e.attr("field") = b.field.empty() ? py::none() : py::object(py::str(b.field));
        raise_object(e);
    }
}

// Runs f with the GIL released; afterwards a pending signal (Ctrl-C) wins over f's outcome.
template <class F>
auto blocking(F&& f) {
    using R = std::invoke_result_t<F&>;
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> out{};
    {
        py::gil_scoped_release nogil;
        try {
            if constexpr (std::is_void_v<R>)
                f();
            else
                out.emplace(f());
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<R>) return std::move(*out);
}

// The process's initialisation, made on first need and kept until exit (cameras may outlive
// any object that would own it).
void ensure_sdk() {
    static ipc::Sdk* sdk = nullptr;
    if (!sdk) sdk = new ipc::Sdk();
}

// ---- JSON values <-> Python objects ----------------------------------------------------------

py::object to_py(const ojson& j) {
    switch (j.type()) {
    case ojson::value_t::object: {
        py::dict d;
        for (auto it = j.begin(); it != j.end(); ++it) d[py::str(it.key())] = to_py(it.value());
        return d;
    }
    case ojson::value_t::array: {
        py::list l(j.size());
        for (size_t i = 0; i < j.size(); ++i) l[i] = to_py(j[i]);
        return l;
    }
    case ojson::value_t::string: return py::str(j.get_ref<const std::string&>());
    case ojson::value_t::number_unsigned: return py::int_(j.get<std::uint64_t>());
    case ojson::value_t::number_integer: return py::int_(j.get<std::int64_t>());
    case ojson::value_t::number_float: return py::float_(j.get<double>());
    case ojson::value_t::boolean: return py::bool_(j.get<bool>());
    default: return py::none();
    }
}

// `as`: the layout a dict here fills; `field`: the field this value fills (either may be null).
// Byte fields take bytes as well as their hexadecimal text; text fields take bytes as {"hex": ...}.
nlohmann::json from_py(py::handle h, const std::string& path, const ipc::records::Layout* as,
                       const ipc::records::Field* field) {
    const std::string at = path.empty() ? "value" : "field \"" + path + "\"";
    if (h.is_none()) return nullptr;
    if (py::isinstance<py::bytes>(h) || py::isinstance<py::bytearray>(h)) {
        if (field && (field->kind == ipc::records::Kind::Bytes || field->kind == ipc::records::Kind::Text)) {
            const std::string b = py::isinstance<py::bytes>(h) ? std::string(py::reinterpret_borrow<py::bytes>(h))
                                                               : std::string(py::reinterpret_borrow<py::bytearray>(h));
            const std::string x = ipctools::hex(std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
            return field->kind == ipc::records::Kind::Bytes ? nlohmann::json(x) : nlohmann::json{{"hex", x}};
        }
    }
    if (py::isinstance<py::bool_>(h)) return h.cast<bool>();
    if (py::isinstance<py::int_>(h)) {
        // Anything that does not fit 64 bits is out of every field's range.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
        if (overflow < 0) bad(at + ": " + std::string(py::str(h)).substr(0, 40) + " is out of range", path);
        if (overflow == 0) return v < 0 ? nlohmann::json(static_cast<std::int64_t>(v)) : nlohmann::json(static_cast<std::uint64_t>(v));
        const unsigned long long u = PyLong_AsUnsignedLongLong(h.ptr());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            bad(at + ": " + std::string(py::str(h)).substr(0, 40) + " is out of range", path);
        }
        return static_cast<std::uint64_t>(u);
    }
    if (py::isinstance<py::float_>(h)) return h.cast<double>();
    if (py::isinstance<py::str>(h)) return h.cast<std::string>();
    if (py::isinstance<py::dict>(h)) {
        nlohmann::json o = nlohmann::json::object();
        for (auto [k, v] : py::reinterpret_borrow<py::dict>(h)) {
            if (!py::isinstance<py::str>(k))
                throw py::type_error(at + ": keys must be str, not " + std::string(py::str(py::type::of(k).attr("__name__"))));
            const std::string key = k.cast<std::string>();
            const ipc::records::Field* f = nullptr;
            if (as)
                for (const auto& x : as->fields)
                    if (key == x.name) f = &x;
            o[key] = from_py(v, path.empty() ? key : path + "." + key, f ? f->group : nullptr, f);
        }
        return o;
    }
    if (py::isinstance<py::list>(h) || py::isinstance<py::tuple>(h)) {
        nlohmann::json a = nlohmann::json::array();
        size_t i = 0;
        for (auto v : py::reinterpret_borrow<py::sequence>(h))
            a.push_back(from_py(v, path + "[" + std::to_string(i++) + "]", as, field));
        return a;
    }
    throw py::type_error(at + ": expected int, str, list or dict, not " +
                         std::string(py::str(py::type::of(h).attr("__name__"))));
}

// ---- settings ---------------------------------------------------------------------------------

std::vector<std::string_view> setting_names() {
    std::vector<std::string_view> names;
    for (const auto& e : ipctools::setting_schemas()) names.push_back(e.info->name);
    return names;
}

const ipctools::SettingSchema& find_setting(const std::string& name) {
    if (const auto* s = ipctools::find_setting_schema(name)) return *s;
    const std::string near = ipctools::closest(name, setting_names());
    bad("unknown setting \"" + name.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
        " (ipcsdk.settings() lists them)");
}

// A record's members that its layout does not know, named with the closest field.
void check_members(const ipc::records::Layout& layout, const nlohmann::json& v, const std::string& prefix) {
    if (!v.is_object()) return;
    std::vector<std::string_view> fields;
    for (const auto& f : layout.fields) fields.push_back(f.name);
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (std::find(fields.begin(), fields.end(), it.key()) != fields.end()) continue;
        const std::string near = ipctools::closest(it.key(), fields);
        bad("field \"" + prefix + it.key().substr(0, 64) + "\": unknown field of " + layout.name +
                (near.empty() ? "" : "; did you mean \"" + near + "\"?"),
            prefix + it.key());
    }
}

// Records for a set, checked against the schema before anything is sent.
std::vector<std::uint8_t> records_for(const ipctools::SettingSchema& s, py::handle value) {
    const std::string name(s.info->name);
    if (!s.info->writable) bad(name + " is read-only");
    if (!py::isinstance<py::dict>(value) && !py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value))
        throw py::type_error("set " + name + ": expected a dict" + (s.info->counted() ? " or a list of dicts" : "") +
                             ", not " + std::string(py::str(py::type::of(value).attr("__name__"))));
    const nlohmann::json j = from_py(value, "", s.layout, nullptr);
    if (j.is_array()) {
        for (size_t i = 0; i < j.size(); ++i) check_members(*s.layout, j[i], "[" + std::to_string(i) + "].");
    } else {
        check_members(*s.layout, j, "");
    }
    try {
        return ipctools::records_from_json(*s.layout, j, s.info->counted() ? s.info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        bad("set " + name + ": " + e.what() + "; nothing was sent", e.field());
    }
}

size_t count_for(const ipctools::SettingSchema& s, long count) {
    const std::string name(s.info->name);
    if (!s.info->counted() && count != 1) bad(name + " is a single record; count must be 1");
    if (count < 1 || (s.info->counted() && count > static_cast<long>(s.info->max_count)))
        bad("count must be 1 to " + std::to_string(s.info->max_count) + " for " + name);
    return static_cast<size_t>(count);
}

py::object records_to_py(const ipctools::SettingSchema& s, const std::vector<std::byte>& buf) {
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(buf.data()), buf.size());
    return to_py(s.info->counted() ? ipctools::records_to_json(*s.layout, bytes) : ipctools::to_json(*s.layout, bytes));
}

py::list settings_list() {
    py::list all;
    for (const auto& s : ipctools::setting_schemas()) {
        const ipc::SettingInfo& i = *s.info;
        py::dict e;
        e["name"] = std::string(i.name);
        e["record"] = s.layout->name;
        e["writable"] = i.writable;
        e["max_count"] = i.counted() ? i.max_count : 1;
        e["counted"] = i.counted();
        e["get"] = std::string(i.get_function);
        e["set"] = i.writable ? py::object(py::str(std::string(i.set_function))) : py::none();
        all.append(e);
    }
    return all;
}

PTZCtrlRecord ptz_record(const std::string& motion, std::uint64_t step) {
    auto r = ipctools::ptz_control(motion, static_cast<std::uint32_t>(step));
    if (!r) {
        std::vector<std::string_view> names;
        for (const auto& [n, v] : ipctools::kPtzMotions) names.push_back(n);
        const std::string near = ipctools::closest(motion, names);
        bad("unknown motion \"" + motion.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
            " (up, down, left, right, zoom-in, zoom-out, stop)");
    }
    if (step > 0xFFFFFFFFu) bad("step must be 0 to 4294967295");
    return *r;
}

PresetRecord preset_record(const std::string& operation, long number) {
    if (number < 1 || number > 255) bad("preset number must be 1 to 255");
    auto r = ipctools::preset_record(operation, static_cast<std::uint32_t>(number));
    if (!r) {
        std::vector<std::string_view> names;
        for (const auto& [n, v] : ipctools::kPresetOperations) names.push_back(n);
        const std::string near = ipctools::closest(operation, names);
        bad("unknown preset operation \"" + operation.substr(0, 64) + "\"" +
            (near.empty() ? "" : "; did you mean \"" + near + "\"?") + " (store, goto, clear)");
    }
    return *r;
}

// The operations shared by a camera and a fleet's camera, on a CameraRef.
py::object get_setting(const ipc::CameraRef& ref, const std::string& name, long count) {
    const auto& s = find_setting(name);
    std::vector<std::byte> buf(count_for(s, count) * s.info->record_size);
    blocking([&] { ref.get(*s.info, buf); });
    return records_to_py(s, buf);
}

void set_setting(const ipc::CameraRef& ref, const std::string& name, py::handle value) {
    const auto& s = find_setting(name);
    const auto records = records_for(s, value);
    blocking([&] { ref.set(*s.info, std::as_bytes(std::span(records))); });
}

void ptz(const ipc::CameraRef& ref, const std::string& motion, std::uint64_t step) {
    const PTZCtrlRecord r = ptz_record(motion, step);
    blocking([&] { ref.call<IPCPTZCtrl>(r); });
}

void preset(const ipc::CameraRef& ref, const std::string& operation, long number) {
    const PresetRecord r = preset_record(operation, number);
    blocking([&] { ref.call<IPCSetPresetPoint>(r); });
}

double wall_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// ---- frames -------------------------------------------------------------------------------------

struct Frame {
    py::bytes payload;
    py::bytes header;
    double time = 0;
};

struct FrameCopy {
    std::string header, payload;
    double time;
};

// Filled by the library's receiver thread, emptied by Python; never blocks the receiver.
struct FrameQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<FrameCopy> q;
    size_t max = 256;
    std::uint64_t dropped = 0;

    void push(const ipc::Frame& f) {
        const auto head = f.bytes.first(std::min(f.bytes.size(), ipc::kFrameHeaderSize));
        const auto body = f.payload();
        FrameCopy c{std::string(reinterpret_cast<const char*>(head.data()), head.size()),
                    std::string(reinterpret_cast<const char*>(body.data()), body.size()), wall_now()};
        {
            std::lock_guard lock(m);
            if (q.size() >= max) {
                ++dropped;
                return;
            }
            q.push_back(std::move(c));
        }
        cv.notify_one();
    }
};

Frame to_frame(FrameCopy&& c) {
    return Frame{py::bytes(c.payload), py::bytes(c.header), c.time};
}

// ---- Camera -------------------------------------------------------------------------------------

class Camera;

// One run of the camera's video: started on the first next(), stopped at its end or close().
class FrameStream {
public:
    FrameStream(std::shared_ptr<Camera> cam, std::optional<double> seconds, std::optional<long> count, size_t max_queued)
        : cam_(std::move(cam)), seconds_(seconds), left_(count), queue_(std::make_shared<FrameQueue>()) {
        queue_->max = max_queued;
    }
    ~FrameStream() { stop(); }
    Frame next();
    void stop();
    std::uint64_t dropped() {
        std::lock_guard lock(queue_->m);
        return queue_->dropped;
    }

private:
    void start();
    std::shared_ptr<Camera> cam_;
    std::optional<double> seconds_;
    std::optional<long> left_;
    std::shared_ptr<FrameQueue> queue_;
    std::chrono::steady_clock::time_point deadline_;
    bool started_ = false, done_ = false;
};

class Camera : public std::enable_shared_from_this<Camera> {
public:
    Camera(const std::string& address, const std::string& password, const std::string& user,
           std::optional<std::uint32_t> tcp_port, double timeout) {
        if (!ipctools::parse_ipv4(address)) bad(ipctools::ipv4_problem(address));
        constexpr size_t kMax = sizeof(LoginUserInfo::password) - 1;
        if (user.size() > kMax || password.size() > kMax) bad("user and password hold at most 31 characters each");
        if (tcp_port && (*tcp_port < 1 || *tcp_port > 65535)) bad("tcp_port must be 1 to 65535");
        if (!(timeout > 0 && timeout <= 3600)) bad("timeout must be more than 0 and at most 3600 seconds");
        ensure_sdk();
        ipc::Endpoint ep;
        ep.address = address;
        if (tcp_port) {
            ep.transport = ipc::Endpoint::Transport::tcp;
            ep.port = static_cast<std::uint16_t>(*tcp_port);
        }
        const auto secs = std::chrono::seconds(static_cast<long>(std::ceil(timeout)));
        cam_ = blocking([&] { return ipc::Camera::login(ep, {user, password}, secs); });
        address_ = address;
    }
    ~Camera() {
        // The logout waits for the camera's threads: without the GIL, unless Python is ending.
        if (!cam_ || _Py_IsFinalizing() || !PyGILState_Check()) {
            cam_.close();
            return;
        }
        py::gil_scoped_release nogil;
        cam_.close();
    }

    ipc::CameraRef ref() const {
        if (!cam_) throw ipc::Error(ipc::make_error_code(ipc::errc::bad_handle), "closed camera");
        return ipc::CameraRef(cam_.handle());
    }
    void close() {
        ipc::Camera c = std::move(cam_);
        blocking([&] { c.close(); });
    }
    std::uint32_t handle() const { return cam_.handle(); }
    const std::string& address() const { return address_; }

    void set_frame_queue(std::shared_ptr<FrameQueue> q) {
        if (!cam_) return;
        if (q)
            cam_.on_frame([q](const ipc::Frame& f) { q->push(f); });
        else
            cam_.on_frame(nullptr);
    }
    bool streaming = false;

    py::tuple snapshot() {
        const ipc::CameraRef r = ref();
        auto pair = blocking([&] {
            SimuSnapInfo snap{};
            return r.wait_for<IPCSIMUSNAP>(snap, 5);
        });
        if (!pair) throw ipc::Error(ipc::make_error_code(IPCSDK_ERR_NO_PICTURE), "IPCSIMUSNAP");
        const auto& b = *pair;
        auto le32 = [&](size_t at) {
            return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
                   std::uint32_t{b[at + 3]} << 24;
        };
        if (b.size() < sizeof(SnapPairResult)) throw ipc::Error(ipc::make_error_code(IPCSDK_ERR_REFUSED), "IPCSIMUSNAP");
        const std::uint64_t len1 = le32(offsetof(SnapPairResult, snapLen1)), len2 = le32(offsetof(SnapPairResult, snapLen2));
        if (len1 + len2 > b.size() - sizeof(SnapPairResult))
            throw ipc::Error(ipc::make_error_code(IPCSDK_ERR_REFUSED), "IPCSIMUSNAP");
        const char* at = reinterpret_cast<const char*>(b.data()) + sizeof(SnapPairResult);
        return py::make_tuple(py::bytes(at, len1), py::bytes(at + len1, len2));
    }

    // The C++ call alone, n times (for the benchmark of the Python layer's cost): wall and
    // calling-thread CPU seconds.
    py::tuple native_get_loop(const std::string& name, long n) {
        const auto& s = find_setting(name);
        std::vector<std::byte> buf(s.info->record_size);
        const ipc::CameraRef r = ref();
        auto cpu = [] {
            timespec ts{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
        };
        auto [wall, used] = blocking([&] {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpu();
            for (long i = 0; i < n; ++i) r.get(*s.info, buf);
            return std::pair{std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), cpu() - c0};
        });
        return py::make_tuple(wall, used);
    }

private:
    ipc::Camera cam_;
    std::string address_;
};

void FrameStream::start() {
    if (cam_->streaming) throw py::value_error("this camera's frames are already being read by another frames()");
    const ipc::CameraRef r = cam_->ref();
    cam_->streaming = true;
    started_ = true;
    cam_->set_frame_queue(queue_);
    blocking([&] {
        r.open_video_channel();
        // The start record ends in a flexible array (no extra data here): passed by pointer.
        VideoStartInfo req{};
        VideoStartInfo* reqp = &req;
        r.call<IPCStartVideo>(reqp);
    });
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(seconds_.value_or(1e9)));
}

void FrameStream::stop() {
    if (!started_ || done_) {
        done_ = true;
        return;
    }
    done_ = true;
    cam_->set_frame_queue(nullptr);
    cam_->streaming = false;
    if (!cam_->handle()) return;
    const ipc::CameraRef r(cam_->handle());
    py::gil_scoped_release nogil;
    VideoStopInfo stop{};
    std::error_code ec;
    r.call<IPCStopVideo>(stop, ec);
    r.close_video_channel(ec);
}

Frame FrameStream::next() {
    if (done_ || (left_ && *left_ <= 0)) {
        stop();
        throw py::stop_iteration();
    }
    if (!started_) {
        try {
            start();
        } catch (...) {
            stop();
            throw;
        }
    }
    std::optional<FrameCopy> got;
    for (;;) {
        {
            // Held briefly with the GIL: its other holders (the receiver, a waiting next()) never
            // wait for the GIL while they hold it.
            std::lock_guard lock(queue_->m);
            if (!queue_->q.empty()) {
                got.emplace(std::move(queue_->q.front()));
                queue_->q.pop_front();
            }
        }
        if (got) break;
        bool late = false;
        {
            py::gil_scoped_release nogil;
            std::unique_lock lock(queue_->m);
            // Short waits, so that Ctrl-C is seen promptly.
            const auto until = std::min(deadline_, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
            queue_->cv.wait_until(lock, until, [&] { return !queue_->q.empty(); });
            late = queue_->q.empty() && std::chrono::steady_clock::now() >= deadline_;
        }
        if (PyErr_CheckSignals() != 0) {
            stop();
            throw py::error_already_set();
        }
        if (late || !cam_->handle()) {
            stop();
            throw py::stop_iteration();
        }
    }
    if (left_) --*left_;
    return to_frame(std::move(*got));
}

// ---- Fleet --------------------------------------------------------------------------------------

// The first GIL taken on a library thread keeps its Python thread state for the thread's life:
// making and clearing one per callback would cost more than the callback.
void keep_thread_state(py::gil_scoped_acquire& gil) {
    thread_local bool kept = false;
    if (!kept) {
        gil.inc_ref();
        kept = true;
    }
}

// A Python callable that may be dropped on any thread: the last reference is released under the GIL.
struct PyFn {
    py::object f;
    explicit PyFn(py::object fn) : f(std::move(fn)) {}
    ~PyFn() {
        if (!Py_IsInitialized() || _Py_IsFinalizing()) {
            f.release();
            return;
        }
        py::gil_scoped_acquire gil;
        f = py::object();
    }
    template <class... A>
    void operator()(A&&... a) const {
        py::gil_scoped_acquire gil;
        keep_thread_state(gil);
        try {
            f(std::forward<A>(a)...);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("ipcsdk fleet callback");
        }
    }
};

std::string error_name(std::error_code ec) { return ec ? ipc::code_name(static_cast<std::uint32_t>(ec.value())) : ""; }

py::dict status_dict(const ipc::CameraStatus& s) {
    py::dict d;
    d["id"] = s.id;
    d["state"] = ipc::to_string(s.state);
    d["since"] = std::chrono::duration<double>(s.since.time_since_epoch()).count();  // as time.monotonic()
    d["reconnects"] = s.reconnects;
    d["error"] = static_cast<std::uint32_t>(s.last_error.value());
    d["error_name"] = error_name(s.last_error);
    d["handle"] = s.handle;
    d["frames_dropped"] = s.frames_dropped;
    d["reports_dropped"] = s.reports_dropped;
    return d;
}

std::chrono::milliseconds ms(double seconds) {
    if (!(seconds >= 0 && seconds <= 86400)) bad("durations must be 0 to 86400 seconds");
    return std::chrono::milliseconds(static_cast<long>(std::llround(seconds * 1000)));
}

class Fleet {
public:
    explicit Fleet(const py::kwargs& kw) {
        ipc::FleetOptions o;
        for (auto [k, v] : kw) {
            const std::string key = py::str(k);
            if (key == "initial_backoff") o.initial_backoff = ms(v.cast<double>());
            else if (key == "max_backoff") o.max_backoff = ms(v.cast<double>());
            else if (key == "stable_after") o.stable_after = ms(v.cast<double>());
            else if (key == "stale_after") o.stale_after = ms(v.cast<double>());
            else if (key == "probe_after") o.probe_after = ms(v.cast<double>());
            else if (key == "login_timeout") o.login_timeout = std::chrono::seconds(std::max(1L, v.cast<long>()));
            else if (key == "jitter") o.jitter = v.cast<double>();
            else if (key == "max_command_timeouts") o.max_command_timeouts = v.cast<int>();
            else if (key == "max_queued_frames") o.max_queued_frames = v.cast<size_t>();
            else if (key == "max_queued_reports") o.max_queued_reports = v.cast<size_t>();
            else if (key == "max_queued_report_bytes") o.max_queued_report_bytes = v.cast<size_t>();
            else {
                const std::vector<std::string_view> names{"initial_backoff", "max_backoff",  "stable_after",
                                                          "stale_after",     "probe_after",  "login_timeout",
                                                          "jitter",          "max_command_timeouts",
                                                          "max_queued_frames", "max_queued_reports",
                                                          "max_queued_report_bytes"};
                const std::string near = ipctools::closest(key, names);
                throw py::type_error("Fleet: unknown option \"" + key + "\"" +
                                     (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
            }
        }
        if (o.jitter < 0 || o.jitter > 1) bad("jitter must be 0 to 1");
        ensure_sdk();
        fleet_ = std::make_unique<ipc::Fleet>(o);
    }
    ~Fleet() {
        if (!fleet_) return;
        if (_Py_IsFinalizing()) {
            (void)fleet_.release();  // its threads may not take the GIL any more; the process is ending
            return;
        }
        py::gil_scoped_release nogil;
        fleet_.reset();
    }
    void close() {
        auto f = std::move(fleet_);
        py::gil_scoped_release nogil;
        f.reset();
    }
    ipc::Fleet& fleet() {
        if (!fleet_) throw ipc::Error(ipc::make_error_code(ipc::errc::fleet_stopped), "closed fleet");
        return *fleet_;
    }

    void add(const Str& id, const Str& address, const Str& password, const Str& user,
             std::optional<std::uint32_t> tcp_port, bool video, bool heartbeat) {
        if (!ipctools::parse_ipv4(address)) bad(ipctools::ipv4_problem(address));
        if (tcp_port && (*tcp_port < 1 || *tcp_port > 65535)) bad("tcp_port must be 1 to 65535");
        ipc::CameraSpec spec;
        spec.endpoint.address = address;
        if (tcp_port) {
            spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
            spec.endpoint.port = static_cast<std::uint16_t>(*tcp_port);
        }
        spec.credentials = {user, password};
        spec.video = video;
        spec.heartbeat = heartbeat;
        auto& f = fleet();
        blocking([&] { f.add(id, std::move(spec)); });
    }
    void remove(const Str& id) {
        auto& f = fleet();
        blocking([&] { f.remove(id); });
    }
    void retry_now(const Str& id) {
        auto& f = fleet();
        blocking([&] { f.retry_now(id); });
    }
    py::object status(const Str& id) {
        auto s = fleet().status(id);
        return s ? py::object(status_dict(*s)) : py::none();
    }
    py::list statuses() {
        py::list l;
        for (const auto& s : fleet().statuses()) l.append(status_dict(s));
        return l;
    }

    // Runs op on the camera's CameraRef; the lease is taken and released with the GIL released.
    template <class Op>
    auto with(const Str& id, Op&& op) {
        auto& f = fleet();
        ipc::CameraRef ref = blocking([&] { return f.with(id, [](ipc::CameraRef& r) { return r; }); });
        return op(ref);
    }
    py::object get(const Str& id, const Str& name, long count) {
        return with(id, [&](const ipc::CameraRef& r) { return get_setting(r, name, count); });
    }
    void set(const Str& id, const Str& name, py::handle value) {
        with(id, [&](const ipc::CameraRef& r) { set_setting(r, name, value); });
    }
    void do_ptz(const Str& id, const Str& motion, std::uint64_t step) {
        with(id, [&](const ipc::CameraRef& r) { ptz(r, motion, step); });
    }
    void do_preset(const Str& id, const Str& operation, long number) {
        with(id, [&](const ipc::CameraRef& r) { preset(r, operation, number); });
    }

    void on_state(py::object cb) {
        std::function<void(const ipc::StateChange&)> h;
        if (!cb.is_none())
            h = [fn = std::make_shared<PyFn>(std::move(cb))](const ipc::StateChange& c) {
                (*fn)(c.id, ipc::to_string(c.from), ipc::to_string(c.to), static_cast<std::uint32_t>(c.error.value()),
                      c.reconnects);
            };
        auto& f = fleet();
        py::gil_scoped_release nogil;
        f.on_state(std::move(h));
    }
    void on_report(py::object cb) {
        std::function<void(const std::string&, const ipc::Report&)> h;
        if (!cb.is_none())
            h = [fn = std::make_shared<PyFn>(std::move(cb))](const std::string& id, const ipc::Report& r) {
                py::gil_scoped_acquire gil;
                (*fn)(id, r.type, py::bytes(reinterpret_cast<const char*>(r.body.data()), r.body.size()));
            };
        auto& f = fleet();
        py::gil_scoped_release nogil;
        f.on_report(std::move(h));
    }
    void on_frame(py::object cb) {
        std::function<void(const std::string&, const ipc::Frame&)> h;
        if (!cb.is_none())
            h = [fn = std::make_shared<PyFn>(std::move(cb))](const std::string& id, const ipc::Frame& fr) {
                const auto head = fr.bytes.first(std::min(fr.bytes.size(), ipc::kFrameHeaderSize));
                const auto body = fr.payload();
                py::gil_scoped_acquire gil;
                (*fn)(id, Frame{py::bytes(reinterpret_cast<const char*>(body.data()), body.size()),
                                py::bytes(reinterpret_cast<const char*>(head.data()), head.size()), wall_now()});
            };
        auto& f = fleet();
        py::gil_scoped_release nogil;
        f.on_frame(std::move(h));
    }

private:
    std::unique_ptr<ipc::Fleet> fleet_;
};

}  // namespace

PYBIND11_MODULE(_ipcsdk, m) {
    m.doc() = "The compiled half of ipcsdk; use the ipcsdk package.";
    py::register_exception_translator(&translate);

    m.def("version", [] { return std::string(ipc::Sdk::version()); });
    m.def("settings", &settings_list);
    m.def("code_text", [](std::uint32_t code) {
        return py::make_tuple(ipc::code_name(code), ipc::category().message(static_cast<int>(code)));
    });
    m.def("motions", [] {
        py::list l;
        for (const auto& [n, v] : ipctools::kPtzMotions) l.append(std::string(n));
        return l;
    });

    py::class_<Frame>(m, "Frame")
        .def_readonly("payload", &Frame::payload)
        .def_readonly("header", &Frame::header)
        .def_readonly("time", &Frame::time)
        .def("__repr__", [](const Frame& f) {
            return "<ipcsdk.Frame " + std::to_string(py::len(f.payload)) + " bytes>";
        });

    py::class_<FrameStream>(m, "FrameStream")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameStream::next)
        .def("close", &FrameStream::stop)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](FrameStream& s, py::args) { s.stop(); })
        .def_property_readonly("dropped", &FrameStream::dropped);

    py::class_<Camera, std::shared_ptr<Camera>>(m, "Camera")
        .def(py::init<const Str&, const Str&, const Str&, std::optional<std::uint32_t>, double>(),
             py::arg("address"), py::kw_only(), py::arg("password") = "", py::arg("user") = "admin",
             py::arg("tcp_port") = py::none(), py::arg("timeout") = 5.0)
        .def("close", &Camera::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Camera& c, py::args) { c.close(); })
        .def_property_readonly("handle", &Camera::handle)
        .def_property_readonly("address", &Camera::address)
        .def("info", [](Camera& c) { return get_setting(c.ref(), "sys-version", 1); })
        .def("get", [](Camera& c, const Str& name, long count) { return get_setting(c.ref(), name, count); },
             py::arg("name"), py::arg("count") = 1)
        .def("set", [](Camera& c, const Str& name, py::handle v) { set_setting(c.ref(), name, v); })
        .def("ptz", [](Camera& c, const Str& motion, std::uint64_t step) { ptz(c.ref(), motion, step); },
             py::arg("motion"), py::arg("step") = 0)
        .def("preset", [](Camera& c, const Str& op, long n) { preset(c.ref(), op, n); })
        .def("snapshot", &Camera::snapshot)
        .def(
            "frames",
            [](std::shared_ptr<Camera> c, std::optional<double> seconds, std::optional<long> count, size_t max_queued) {
                if (seconds && !(*seconds >= 0)) bad("seconds must be 0 or more");
                if (max_queued < 1) bad("max_queued must be 1 or more");
                return std::make_unique<FrameStream>(std::move(c), seconds, count, max_queued);
            },
            py::kw_only(), py::arg("seconds") = py::none(), py::arg("count") = py::none(), py::arg("max_queued") = 256)
        .def("_native_get_loop", &Camera::native_get_loop);

    py::class_<Fleet>(m, "Fleet")
        .def(py::init<const py::kwargs&>())
        .def("close", &Fleet::close)
        .def("add", &Fleet::add, py::arg("id"), py::arg("address"), py::kw_only(), py::arg("password") = "",
             py::arg("user") = "admin", py::arg("tcp_port") = py::none(), py::arg("video") = false,
             py::arg("heartbeat") = true)
        .def("remove", &Fleet::remove)
        .def("retry_now", &Fleet::retry_now)
        .def("status", &Fleet::status)
        .def("statuses", &Fleet::statuses)
        .def("get", &Fleet::get, py::arg("id"), py::arg("name"), py::arg("count") = 1)
        .def("set", &Fleet::set)
        .def("ptz", &Fleet::do_ptz, py::arg("id"), py::arg("motion"), py::arg("step") = 0)
        .def("preset", &Fleet::do_preset)
        .def("on_state", &Fleet::on_state)
        .def("on_report", &Fleet::on_report)
        .def("on_frame", &Fleet::on_frame);
}
