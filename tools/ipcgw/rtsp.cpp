// RTSP through gst-rtsp-server: a media factory per camera (shared media), whose pipeline is
//   appsrc (payloads as they arrive) ! h264parse|h265parse ! rtph264pay|rtph265pay
// The server runs on a GLib main loop of its own thread; frames are pushed from the fleet's
// thread into the appsrc of each of the camera's media from its configuration until it is
// unprepared. There can be more than one at a time: clients that vanish mid-request leave a
// media unpreparing while the next client's is being made, and each must get frames to preroll.
//
// A frame of the other codec than the factory's is dropped: a stray one must not reach the
// parser of the clients' media. Once kSwitchFrames of the other codec came in a row, the first
// a key frame, the camera switched: the media in place ends (its clients see the end of the
// stream) and a factory of the new codec takes the mount point for the clients to come.
#include "rtsp.hpp"

#include "ipctools/annexb.hpp"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <unistd.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ipcgw {

namespace annexb = ipctools::annexb;

namespace {

constexpr unsigned kSwitchFrames = 3;

std::string launch(annexb::Codec c) {
    const char* v = c == annexb::Codec::h265 ? "265" : "264";
    // At most 4 MiB wait in the appsrc; beyond that the oldest go (a client that cannot keep up
    // sees a gap, the camera and the other clients do not wait for it).
    return std::string("( appsrc name=src is-live=true format=time do-timestamp=true max-bytes=4194304 "
                       "leaky-type=downstream caps=video/x-h") + v +
           ",stream-format=byte-stream,alignment=au ! h" + v + "parse ! rtph" + v +
           "pay name=pay0 pt=96 config-interval=-1 )";
}

}  // namespace

struct RtspServer::Impl {
    struct Mount {
        Impl* impl = nullptr;
        std::string name;
        std::mutex mu;
        annexb::Codec served = annexb::Codec::h264;  // the codec of the factory in place
        GstRTSPMediaFactory* factory = nullptr;      // that factory (owned by the mount points)
        struct Feed {
            GstRTSPMedia* media;
            GstElement* src;     // its appsrc (a reference)
            bool wait_key;       // a new media starts at a key frame
        };
        std::vector<Feed> feeds;  // the factory's media, configured and not yet unprepared
        unsigned other = 0;       // frames of the other codec in a row
    };

    RtspOptions options;
    std::function<void(std::string_view, std::string)> log;
    std::vector<std::unique_ptr<Mount>> mounts;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GstRTSPServer* server = nullptr;
    std::thread thread;

    GstRTSPMediaFactory* factory(Mount& m, annexb::Codec c) {
        GstRTSPMediaFactory* f = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(f, launch(c).c_str());
        gst_rtsp_media_factory_set_shared(f, TRUE);
        // A client that vanishes without a TEARDOWN must not stop the media its camera's other
        // clients share: its session ends when it times out.
        gst_rtsp_media_factory_set_stop_on_disconnect(f, FALSE);
        if (!options.user.empty())
            gst_rtsp_media_factory_add_role(f, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                            GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        g_signal_connect(f, "media-configure", G_CALLBACK(+[](GstRTSPMediaFactory* from, GstRTSPMedia* media, gpointer p) {
                             auto* m = static_cast<Mount*>(p);
                             GstElement* bin = gst_rtsp_media_get_element(media);
                             GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
                             gst_object_unref(bin);
                             {
                                 std::lock_guard lock(m->mu);
                                 if (from != m->factory) {  // the factory of the codec before a switch
                                     gst_object_unref(src);
                                     return;
                                 }
                                 m->feeds.push_back({media, src, true});
                             }
                             g_signal_connect(media, "unprepared", G_CALLBACK(+[](GstRTSPMedia* gone, gpointer q) {
                                                  auto* mm = static_cast<Mount*>(q);
                                                  std::lock_guard lock(mm->mu);
                                                  std::erase_if(mm->feeds, [&](const Mount::Feed& f) {
                                                      if (f.media != gone) return false;
                                                      gst_object_unref(f.src);
                                                      return true;
                                                  });
                                              }),
                                              m);
                         }),
                         &m);
        return f;
    }

    // Puts a new factory in place (not under m.mu: the old one and its media may go with it).
    void mount(Mount& m, GstRTSPMediaFactory* f) {
        GstRTSPMountPoints* mp = gst_rtsp_server_get_mount_points(server);
        gst_rtsp_mount_points_add_factory(mp, ("/" + m.name).c_str(), f);
        g_object_unref(mp);
    }
};

RtspServer::RtspServer(const RtspOptions& options, const std::vector<std::string>& cameras, Log log)
    : impl_(std::make_unique<Impl>()) {
    gst_init(nullptr, nullptr);
    Impl& d = *impl_;
    d.options = options;
    d.log = log ? std::move(log) : [](std::string_view, std::string) {};
    d.server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(d.server, options.address.c_str());
    gst_rtsp_server_set_service(d.server, std::to_string(options.port).c_str());
    // Clients on threads of their own (up to 32, then shared): a DESCRIBE that waits for a camera
    // that sends no video must not hold up the clients of other cameras.
    GstRTSPThreadPool* pool = gst_rtsp_server_get_thread_pool(d.server);
    gst_rtsp_thread_pool_set_max_threads(pool, 32);
    g_object_unref(pool);
    if (!options.user.empty()) {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        GstRTSPToken* token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
        gchar* basic = gst_rtsp_auth_make_basic(options.user.c_str(), options.password.c_str());
        gst_rtsp_auth_add_basic(auth, basic, token);
        g_free(basic);
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(d.server, auth);
        g_object_unref(auth);
    }
    for (const auto& name : cameras) {
        auto m = std::make_unique<Impl::Mount>();
        m->impl = &d;
        m->name = name;
        if (!name.empty()) d.mount(*m, m->factory = d.factory(*m, annexb::Codec::h264));  // until frames say H.265
        d.mounts.push_back(std::move(m));
    }
    d.context = g_main_context_new();
    d.loop = g_main_loop_new(d.context, FALSE);
    if (gst_rtsp_server_attach(d.server, d.context) == 0) {
        g_main_loop_unref(d.loop);
        g_main_context_unref(d.context);
        g_object_unref(d.server);
        throw std::runtime_error("rtsp: cannot listen on " + options.address + ":" + std::to_string(options.port));
    }
    // Sessions of clients that vanished without a TEARDOWN end once their timeout passed.
    GSource* cleanup = g_timeout_source_new_seconds(2);
    g_source_set_callback(
        cleanup,
        +[](gpointer s) -> gboolean {
            GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(static_cast<GstRTSPServer*>(s));
            gst_rtsp_session_pool_cleanup(pool);
            g_object_unref(pool);
            return G_SOURCE_CONTINUE;
        },
        d.server, nullptr);
    g_source_attach(cleanup, d.context);
    g_source_unref(cleanup);
    d.thread = std::thread([&d] {
        g_main_context_push_thread_default(d.context);
        g_main_loop_run(d.loop);
        g_main_context_pop_thread_default(d.context);
    });
}

RtspServer::~RtspServer() {
    Impl& d = *impl_;
    // Every client goes (their media with them), then the loop.
    GList* gone = gst_rtsp_server_client_filter(
        d.server, +[](GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; }, nullptr);
    g_list_free_full(gone, g_object_unref);
    g_main_loop_quit(d.loop);
    d.thread.join();
    GstRTSPMountPoints* mp = gst_rtsp_server_get_mount_points(d.server);
    for (auto& m : d.mounts)
        if (!m->name.empty()) gst_rtsp_mount_points_remove_factory(mp, ("/" + m->name).c_str());
    g_object_unref(mp);
    for (auto& m : d.mounts)
        for (auto& f : m->feeds) gst_object_unref(f.src);
    // The cleanup timer goes now, the listening source with the context.
    while (GSource* s = g_main_context_find_source_by_user_data(d.context, d.server)) g_source_destroy(s);
    g_main_loop_unref(d.loop);
    g_object_unref(d.server);
    g_main_context_unref(d.context);
}

void RtspServer::frame(size_t index, std::span<const uint8_t> payload) {
    Impl::Mount& m = *impl_->mounts.at(index);
    annexb::Codec c = annexb::detect(payload);
    if (m.name.empty() || c == annexb::Codec::none) return;
    bool key = annexb::is_key_frame(payload, c);
    std::unique_lock lock(m.mu);
    if (c != m.served) {
        const std::string line = m.name + ": " + annexb::name(c) + " frame among " + annexb::name(m.served) + " ";
        if (m.other == 0 && !key) return impl_->log("rtsp codec", line + "dropped");
        if (++m.other < kSwitchFrames) return impl_->log("rtsp codec", line + "dropped");
        impl_->log("rtsp codec", m.name + ": the camera switched to " + annexb::name(c) + "; its RTSP clients start again");
        m.other = 0;
        m.served = c;
        GstRTSPMediaFactory* f = m.factory = impl_->factory(m, c);
        auto old = std::move(m.feeds);
        m.feeds.clear();
        lock.unlock();
        for (auto& feed : old) {
            gst_app_src_end_of_stream(GST_APP_SRC(feed.src));
            gst_object_unref(feed.src);
        }
        impl_->mount(m, f);
        return;
    }
    m.other = 0;
    GstBuffer* buf = nullptr;  // one copy, shared by the media that take it
    for (auto& feed : m.feeds) {
        if (feed.wait_key && !key) continue;
        feed.wait_key = false;
        if (!buf) {
            buf = gst_buffer_new_allocate(nullptr, payload.size(), nullptr);
            gst_buffer_fill(buf, 0, payload.data(), payload.size());
            if (!key) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
        }
        gst_app_src_push_buffer(GST_APP_SRC(feed.src), gst_buffer_ref(buf));
    }
    if (buf) gst_buffer_unref(buf);
}

std::string RtspServer::url(const RtspOptions& o, const std::string& name) {
    std::string host = o.host.empty() ? o.address : o.host;
    if (host == "0.0.0.0") {
        char buf[256] = "localhost";
        gethostname(buf, sizeof buf - 1);
        host = buf;
    }
    return "rtsp://" + host + ":" + std::to_string(o.port) + "/" + name;
}

unsigned RtspServer::clients() const {
    GList* all = gst_rtsp_server_client_filter(impl_->server, nullptr, nullptr);
    unsigned n = g_list_length(all);
    g_list_free_full(all, g_object_unref);
    return n;
}

}  // namespace ipcgw
