// ipcsdksrc: a live GStreamer source of one camera's video. The camera is kept online by an
// ipc::Fleet shared by every ipcsdksrc of the process; each frame's payload becomes one buffer,
// time-stamped on the pipeline clock when it arrives.
#include "ipctools/annexb.hpp"

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>
#include <ipcsdk_fleet.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace annexb = ipctools::annexb;

GST_DEBUG_CATEGORY_STATIC(ipcsdksrc_debug);
#define GST_CAT_DEFAULT ipcsdksrc_debug

namespace {

constexpr size_t kMaxQueued = 256;  // frames waiting for the streaming thread

struct Element;

// The process's SDK and fleet, alive while any ipcsdksrc has started; frames, reports and state
// changes go to the element that added the camera.
class Hub {
public:
    static std::shared_ptr<Hub> acquire() {
        static std::mutex m;
        static std::weak_ptr<Hub> current;
        std::lock_guard lock(m);
        auto h = current.lock();
        if (!h) {
            h = std::make_shared<Hub>();
            current = h;
        }
        return h;
    }
    Hub();
    void attach(const std::string& id, Element* e) {
        std::lock_guard lock(mu_);
        elements_[id] = e;
    }
    // remove() returns once no handler of the camera runs or can start.
    void detach(const std::string& id) {
        std::error_code ec;
        fleet.remove(id, ec);
        std::lock_guard lock(mu_);
        elements_.erase(id);
    }
    template <class F>
    void to(const std::string& id, F&& f) {
        std::lock_guard lock(mu_);
        if (auto it = elements_.find(id); it != elements_.end()) f(*it->second);
    }

    ipc::Sdk sdk;
    ipc::Fleet fleet;

private:
    std::mutex mu_;
    std::map<std::string, Element*> elements_;
};

// A frame's payload in the buffer that leaves the element: the memory wraps the fleet's copy of
// the frame (its header skipped), which goes with the buffer.
struct Queued {
    GstBuffer* buf = nullptr;
    Queued(std::vector<uint8_t>&& frame, GstClockTime pts) {
        if (frame.size() > ipc::kFrameHeaderSize) {
            auto* held = new std::vector<uint8_t>(std::move(frame));
            buf = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, held->data(), held->size(), ipc::kFrameHeaderSize,
                                              held->size() - ipc::kFrameHeaderSize, held,
                                              [](gpointer p) { delete static_cast<std::vector<uint8_t>*>(p); });
        } else {
            buf = gst_buffer_new();
        }
        GST_BUFFER_PTS(buf) = GST_BUFFER_DTS(buf) = pts;
    }
    Queued(Queued&& o) noexcept : buf(std::exchange(o.buf, nullptr)) {}
    Queued& operator=(Queued&& o) noexcept {
        std::swap(buf, o.buf);
        return *this;
    }
    ~Queued() {
        if (buf) gst_buffer_unref(buf);
    }
};

// The C++ state of one element (the GObject holds a pointer to it).
struct Element {
    GstPushSrc* src = nullptr;
    // Properties (under the object lock).
    std::string address, user = "admin", password = "admin";
    guint tcp_port = 0;
    guint timeout = 30;
    // Running state.
    std::shared_ptr<Hub> hub;
    std::string id;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Queued> queue;
    bool flushing = false;
    std::string failure;      // set: the element fails with this message
    bool discont = true;      // the next buffer follows a gap (start, restart, overflow)
    annexb::Codec codec = annexb::Codec::none;
    bool caps_set = false;
    bool wait_key = true;      // H.264/H.265: drop frames until one that decodes on its own
    bool warned_garbage = false;

    void frame(std::vector<uint8_t>&& frame);
    void state(const ipc::StateChange& c);
    void report(const ipc::Report& r);
};

Hub::Hub() {
    fleet.on_frame_bytes([this](const std::string& id, std::vector<uint8_t>&& f) {
        to(id, [&](Element& e) { e.frame(std::move(f)); });
    });
    fleet.on_state([this](const ipc::StateChange& c) { to(c.id, [&](Element& e) { e.state(c); }); });
    fleet.on_report([this](const std::string& id, const ipc::Report& r) { to(id, [&](Element& e) { e.report(r); }); });
}

// On the fleet's dispatching thread: stamp with the running time, queue. Past kMaxQueued the
// oldest frame goes (the stream resumes at the next key frame after it).
void Element::frame(std::vector<uint8_t>&& bytes) {
    GstElement* el = GST_ELEMENT(src);
    GstClock* clock = gst_element_get_clock(el);
    if (!clock) return;  // not playing: a live source drops what arrives meanwhile
    GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    GstClockTime base = gst_element_get_base_time(el);
    Queued q(std::move(bytes), now > base ? now - base : 0);
    std::lock_guard lock(mu);
    if (queue.size() >= kMaxQueued) {
        if (!discont) GST_WARNING_OBJECT(src, "%zu frames waiting: the oldest dropped, resuming at a key frame", queue.size());
        queue.pop_front();
        discont = wait_key = true;
    }
    queue.push_back(std::move(q));
    if (queue.size() == 1) cv.notify_one();  // the streaming thread waits only for an empty queue
}

void Element::state(const ipc::StateChange& c) {
    std::string error = c.error ? c.error.message() : "";
    GstStructure* s = gst_structure_new("ipcsdksrc-state", "address", G_TYPE_STRING, address.c_str(), "state",
                                        G_TYPE_STRING, ipc::to_string(c.to), "from", G_TYPE_STRING,
                                        ipc::to_string(c.from), "reconnects", G_TYPE_UINT, c.reconnects, "error",
                                        G_TYPE_STRING, error.c_str(), nullptr);
    gst_element_post_message(GST_ELEMENT(src), gst_message_new_element(GST_OBJECT(src), s));
    std::lock_guard lock(mu);
    if (c.to == ipc::State::auth_failed && c.reconnects == 0 && failure.empty())
        failure = "the camera at " + address + " refused the user name or password";
    if (c.from == ipc::State::online) discont = wait_key = true;  // the stream restarts after a gap
    cv.notify_one();
}

void Element::report(const ipc::Report& r) {
    GBytes* body = g_bytes_new(r.body.data(), r.body.size());
    GstStructure* s = gst_structure_new("ipcsdksrc-report", "address", G_TYPE_STRING, address.c_str(), "type",
                                        G_TYPE_UINT, r.type, "body", G_TYPE_BYTES, body, nullptr);
    g_bytes_unref(body);
    gst_element_post_message(GST_ELEMENT(src), gst_message_new_element(GST_OBJECT(src), s));
}

}  // namespace

// ---- GObject boilerplate ---------------------------------------------------------------------

#define IPCSDK_TYPE_SRC (ipcsdk_src_get_type())
G_DECLARE_FINAL_TYPE(IpcsdkSrc, ipcsdk_src, IPCSDK, SRC, GstPushSrc)

struct _IpcsdkSrc {
    GstPushSrc parent;
    Element* e;
};

G_DEFINE_TYPE(IpcsdkSrc, ipcsdk_src, GST_TYPE_PUSH_SRC)

enum { PROP_0, PROP_ADDRESS, PROP_USER, PROP_PASSWORD, PROP_TCP_PORT, PROP_TIMEOUT };

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264, stream-format=byte-stream, alignment=au; "
                    "video/x-h265, stream-format=byte-stream, alignment=au; "
                    "application/x-ipcsdk-payload"));

static void ipcsdk_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    Element& e = *IPCSDK_SRC(object)->e;
    GST_OBJECT_LOCK(object);
    auto text = [&] { return std::string(g_value_get_string(value) ? g_value_get_string(value) : ""); };
    switch (id) {
    case PROP_ADDRESS: e.address = text(); break;
    case PROP_USER: e.user = text(); break;
    case PROP_PASSWORD: e.password = text(); break;
    case PROP_TCP_PORT: e.tcp_port = g_value_get_uint(value); break;
    case PROP_TIMEOUT: e.timeout = g_value_get_uint(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
    GST_OBJECT_UNLOCK(object);
}

static void ipcsdk_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    Element& e = *IPCSDK_SRC(object)->e;
    GST_OBJECT_LOCK(object);
    switch (id) {
    case PROP_ADDRESS: g_value_set_string(value, e.address.c_str()); break;
    case PROP_USER: g_value_set_string(value, e.user.c_str()); break;
    case PROP_PASSWORD: g_value_set_string(value, e.password.c_str()); break;
    case PROP_TCP_PORT: g_value_set_uint(value, e.tcp_port); break;
    case PROP_TIMEOUT: g_value_set_uint(value, e.timeout); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
    GST_OBJECT_UNLOCK(object);
}

static gboolean ipcsdk_src_start(GstBaseSrc* base) {
    Element& e = *IPCSDK_SRC(base)->e;
    ipc::CameraSpec spec;
    GST_OBJECT_LOCK(base);
    spec.endpoint.address = e.address;
    if (e.tcp_port) {
        spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
        spec.endpoint.port = static_cast<uint16_t>(e.tcp_port);
    }
    spec.credentials = {e.user, e.password};
    GST_OBJECT_UNLOCK(base);
    spec.video = true;
    if (spec.endpoint.address.empty()) {
        GST_ELEMENT_ERROR(base, RESOURCE, SETTINGS, ("no camera address (property \"address\")"), (nullptr));
        return FALSE;
    }
    {
        std::lock_guard lock(e.mu);
        e.queue.clear();
        e.failure.clear();
        e.flushing = false;
        e.discont = e.wait_key = true;
        e.caps_set = false;
        e.codec = annexb::Codec::none;
        e.warned_garbage = false;
    }
    try {
        e.hub = Hub::acquire();
        e.id = spec.endpoint.address + "#" + std::to_string(reinterpret_cast<uintptr_t>(&e));
        e.hub->attach(e.id, &e);
        e.hub->fleet.add(e.id, std::move(spec));
    } catch (const std::exception& ex) {
        if (e.hub) e.hub->detach(e.id);
        e.hub.reset();
        GST_ELEMENT_ERROR(base, RESOURCE, OPEN_READ, ("cannot watch the camera: %s", ex.what()), (nullptr));
        return FALSE;
    }
    return TRUE;
}

static gboolean ipcsdk_src_stop(GstBaseSrc* base) {
    Element& e = *IPCSDK_SRC(base)->e;
    if (e.hub) e.hub->detach(e.id);
    e.hub.reset();  // the last one out logs the cameras out and ends the SDK
    std::lock_guard lock(e.mu);
    e.queue.clear();
    return TRUE;
}

static gboolean ipcsdk_src_unlock(GstBaseSrc* base) {
    Element& e = *IPCSDK_SRC(base)->e;
    std::lock_guard lock(e.mu);
    e.flushing = true;
    e.cv.notify_all();
    return TRUE;
}

static gboolean ipcsdk_src_unlock_stop(GstBaseSrc* base) {
    Element& e = *IPCSDK_SRC(base)->e;
    std::lock_guard lock(e.mu);
    e.flushing = false;
    return TRUE;
}

// Caps are fixed by the first frame, in create().
static gboolean ipcsdk_src_negotiate(GstBaseSrc*) { return TRUE; }

static GstCaps* caps_for(annexb::Codec c) {
    if (c == annexb::Codec::none) return gst_caps_new_empty_simple("application/x-ipcsdk-payload");
    return gst_caps_new_simple(c == annexb::Codec::h264 ? "video/x-h264" : "video/x-h265", "stream-format",
                               G_TYPE_STRING, "byte-stream", "alignment", G_TYPE_STRING, "au", nullptr);
}

static GstFlowReturn ipcsdk_src_create(GstPushSrc* push, GstBuffer** out) {
    Element& e = *IPCSDK_SRC(push)->e;
    GST_OBJECT_LOCK(push);
    const guint timeout = e.timeout;
    GST_OBJECT_UNLOCK(push);
    for (;;) {
        std::unique_lock lock(e.mu);
        auto ready = [&] { return e.flushing || !e.failure.empty() || !e.queue.empty(); };
        if (timeout == 0) {
            e.cv.wait(lock, ready);
        } else if (!e.cv.wait_for(lock, std::chrono::seconds(timeout), ready)) {
            GST_ELEMENT_ERROR(push, RESOURCE, READ, ("no video from the camera at %s for %u s", e.address.c_str(), timeout),
                              (nullptr));
            return GST_FLOW_ERROR;
        }
        if (e.flushing) return GST_FLOW_FLUSHING;
        if (!e.failure.empty()) {
            GST_ELEMENT_ERROR(push, RESOURCE, OPEN_READ, ("%s", e.failure.c_str()), (nullptr));
            return GST_FLOW_ERROR;
        }
        Queued q = std::move(e.queue.front());
        e.queue.pop_front();
        GstMapInfo map;
        if (!gst_buffer_map(q.buf, &map, GST_MAP_READ)) continue;
        const std::span<const uint8_t> payload(map.data, map.size);
        annexb::Codec c = annexb::detect(payload);
        const bool key = c != annexb::Codec::none && annexb::is_key_frame(payload, c);
        gst_buffer_unmap(q.buf, &map);
        if (!e.caps_set || (e.codec != annexb::Codec::none && c != annexb::Codec::none && c != e.codec)) {
            // The first frame decides; a stream that turns to the other codec renegotiates.
            if (e.caps_set) GST_ELEMENT_WARNING(push, STREAM, FORMAT, ("the camera switched to %s", annexb::name(c)), (nullptr));
            e.codec = c;
            e.caps_set = true;
            e.wait_key = true;
            lock.unlock();
            GstCaps* caps = caps_for(c);
            gboolean ok = gst_base_src_set_caps(GST_BASE_SRC(push), caps);
            gst_caps_unref(caps);
            if (!ok) return GST_FLOW_NOT_NEGOTIATED;
            lock.lock();
        }
        if (e.codec != annexb::Codec::none) {
            if (c != e.codec) {  // not a frame of the stream's codec: dropped
                if (!e.warned_garbage) {
                    e.warned_garbage = true;
                    GST_ELEMENT_WARNING(push, STREAM, DECODE,
                                        ("a frame that is not %s dropped; such frames are dropped until the next key frame",
                                         annexb::name(e.codec)),
                                        (nullptr));
                }
                e.wait_key = true;
                continue;
            }
            if (e.wait_key && !key) continue;
            e.wait_key = false;
            if (!key) GST_BUFFER_FLAG_SET(q.buf, GST_BUFFER_FLAG_DELTA_UNIT);
        }
        GstBuffer* buf = std::exchange(q.buf, nullptr);
        if (e.discont) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
        e.discont = false;
        *out = buf;
        return GST_FLOW_OK;
    }
}

static void ipcsdk_src_finalize(GObject* object) {
    delete IPCSDK_SRC(object)->e;
    G_OBJECT_CLASS(ipcsdk_src_parent_class)->finalize(object);
}

static void ipcsdk_src_init(IpcsdkSrc* self) {
    self->e = new Element;
    self->e->src = GST_PUSH_SRC(self);
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void ipcsdk_src_class_init(IpcsdkSrcClass* klass) {
    GObjectClass* gobject = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    gobject->set_property = ipcsdk_src_set_property;
    gobject->get_property = ipcsdk_src_get_property;
    gobject->finalize = ipcsdk_src_finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(gobject, PROP_ADDRESS,
        g_param_spec_string("address", "Address", "IPv4 address of the camera (dotted quad)", nullptr, flags));
    g_object_class_install_property(gobject, PROP_USER,
        g_param_spec_string("user", "User", "User name of the login (at most 31 characters)", "admin", flags));
    g_object_class_install_property(gobject, PROP_PASSWORD,
        g_param_spec_string("password", "Password", "Password of the login (at most 31 characters)", "admin", flags));
    g_object_class_install_property(gobject, PROP_TCP_PORT,
        g_param_spec_uint("tcp-port", "TCP port",
                          "Camera's TCP command port; 0: commands over UDP (port 5001). Video always comes on TCP 5000",
                          0, 65535, 0, flags));
    g_object_class_install_property(gobject, PROP_TIMEOUT,
        g_param_spec_uint("timeout", "Timeout",
                          "Seconds without a frame (at the start, or while the camera is away) before the element "
                          "fails with an error; 0: wait for ever",
                          0, 86400, 30, flags));
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_element_class_set_static_metadata(
        element, "IP camera source", "Source/Video/Network",
        "Video of a networked PTZ camera through ipcsdk: the camera is logged in, kept online (logged in again after "
        "a loss, the stream going on) and asked to stream. Each frame's payload is one buffer, time-stamped on the "
        "pipeline clock at arrival. Caps: H.264 or H.265 byte-stream access units when the first frame is Annex B "
        "of that codec (buffers start at a key frame, and again after a gap), else application/x-ipcsdk-payload. "
        "Element messages: ipcsdksrc-state (address, state, from, reconnects, error) on each state change, "
        "ipcsdksrc-report (address, type, body) for each alarm or data report",
        "ipcsdk");
    base->start = ipcsdk_src_start;
    base->stop = ipcsdk_src_stop;
    base->unlock = ipcsdk_src_unlock;
    base->unlock_stop = ipcsdk_src_unlock_stop;
    base->negotiate = ipcsdk_src_negotiate;
    GST_PUSH_SRC_CLASS(klass)->create = ipcsdk_src_create;
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(ipcsdksrc_debug, "ipcsdksrc", 0, "ipcsdk camera source");
    return gst_element_register(plugin, "ipcsdksrc", GST_RANK_NONE, IPCSDK_TYPE_SRC);
}

#define PACKAGE "ipcsdk"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, ipcsdk, "Networked PTZ camera source", plugin_init,
                  IPCSDK_VERSION, "Proprietary", "ipcsdk", "ipcsdk")
