// ipcctl record into a container file through GStreamer:
//   appsrc (access units, stamped at arrival) ! h264parse/h265parse ! muxer ! filesink
#include "container.hpp"

#include "ipctools/annexb.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#ifdef IPCCTL_GSTREAMER
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#endif

namespace ipcctl {

namespace {

std::string extension(const std::string& file) {
    std::string ext = std::filesystem::path(file).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

}  // namespace

bool is_container_file(const std::string& file) {
    const std::string ext = extension(file);
    return ext == ".mp4" || ext == ".mkv" || ext == ".ts";
}

#ifndef IPCCTL_GSTREAMER

int record_container(const Options&, const std::string& file, int, long) {
    usage("record: this ipcctl was built without GStreamer and cannot write " + extension(file) +
          " files; any other extension writes the bare payloads");
}

#else

namespace {

using Clock = std::chrono::steady_clock;
namespace annexb = ipctools::annexb;

// The muxer of an extension: an MP4 is fragmented every half second, so that a recording cut
// off (a crash, SIGKILL) keeps every fragment written before.
const char* muxer(const std::string& ext) {
    if (ext == ".mp4") return "mp4mux fragment-duration=500";
    if (ext == ".mkv") return "matroskamux";
    return "mpegtsmux";
}

// The pipeline's first error message, or "".
std::string bus_error(GstElement* pipeline, GstClockTime wait, bool* eos = nullptr) {
    GstBus* bus = gst_element_get_bus(pipeline);
    auto types = static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, wait, types);
    gst_object_unref(bus);
    std::string text;
    if (m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
        GError* err = nullptr;
        gst_message_parse_error(m, &err, nullptr);
        text = err ? err->message : "GStreamer error";
        if (err) g_error_free(err);
    } else if (m && eos) {
        *eos = true;
    }
    if (m) gst_message_unref(m);
    return text;
}

struct Arrived {
    std::vector<uint8_t> payload;
    Clock::time_point at;
};

}  // namespace

int record_container(const Options& o, const std::string& file, int seconds, long frames) {
    if ((seconds > 0) == (frames > 0)) usage("record needs exactly one of --seconds N and --frames N");
    std::error_code fec;
    if (std::filesystem::is_directory(file, fec)) usage("record: " + file + " is a directory");
    if (access(file.c_str(), W_OK) != 0 && errno != ENOENT) usage("cannot write " + file + ": " + std::strerror(errno));
    gst_init(nullptr, nullptr);

    Session session(o);
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Arrived> arrived;
    session.cam.on_frame([&](const ipc::Frame& f) {
        auto p = f.payload();
        std::lock_guard lk(mu);
        arrived.push_back({{p.begin(), p.end()}, Clock::now()});
        cv.notify_all();
    });
    catch_interrupt();
    const auto start = Clock::now();
    camera([&] { session.cam.open_video_channel(); });
    VideoStartInfo req{};
    VideoStartInfo* reqp = &req;  // the record ends in a flexible array: passed by pointer
    camera([&] { return session.cam.call<IPCStartVideo>(reqp); });

    GstElement* pipeline = nullptr;
    GstElement* src = nullptr;
    annexb::Codec codec = annexb::Codec::none;
    bool key_seen = false;
    uint64_t written = 0, bytes = 0;
    Clock::time_point first{};
    std::string failed;
    const auto deadline = start + std::chrono::seconds(seconds);
    while (!g_interrupted && failed.empty()) {
        if (frames > 0 && written >= static_cast<uint64_t>(frames)) break;
        if (seconds > 0 && Clock::now() >= deadline) break;
        if (!pipeline && Clock::now() - start >= std::chrono::seconds(o.timeout)) {
            failed = "no video frame within " + std::to_string(o.timeout) + " s";
            break;
        }
        std::unique_lock lk(mu);
        if (arrived.empty()) cv.wait_for(lk, std::chrono::milliseconds(100));
        if (arrived.empty()) continue;
        Arrived a = std::move(arrived.front());
        arrived.pop_front();
        lk.unlock();
        annexb::Codec c = annexb::detect(a.payload);
        if (!pipeline) {
            // The first frame decides the codec; nothing is written for one of neither.
            if (c == annexb::Codec::none) {
                failed = "record: the camera's video is neither H.264 nor H.265 (Annex B); " + file +
                         " not written (a file of another extension takes the bare payloads)";
                break;
            }
            codec = c;
            std::string desc = std::string("appsrc name=in is-live=true format=time caps=") +
                               (c == annexb::Codec::h264 ? "video/x-h264" : "video/x-h265") +
                               ",stream-format=byte-stream,alignment=au ! " +
                               (c == annexb::Codec::h264 ? "h264parse" : "h265parse") + " ! " +
                               muxer(extension(file)) + " ! filesink name=out";
            GError* err = nullptr;
            pipeline = gst_parse_launch(desc.c_str(), &err);
            if (!pipeline) {
                failed = std::string("GStreamer: ") + (err ? err->message : "no pipeline");
                if (err) g_error_free(err);
                break;
            }
            GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
            g_object_set(out, "location", file.c_str(), nullptr);
            gst_object_unref(out);
            src = gst_bin_get_by_name(GST_BIN(pipeline), "in");
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
            first = a.at;
        }
        if (c != codec) continue;  // a frame of another codec (or none) is not written
        bool key = annexb::is_key_frame(a.payload, codec);
        if (!key_seen && !key) continue;  // the file starts with a picture that decodes
        key_seen = true;
        GstBuffer* buf = gst_buffer_new_allocate(nullptr, a.payload.size(), nullptr);
        gst_buffer_fill(buf, 0, a.payload.data(), a.payload.size());
        GST_BUFFER_PTS(buf) = GST_BUFFER_DTS(buf) =
            static_cast<GstClockTime>(std::chrono::duration_cast<std::chrono::nanoseconds>(a.at - first).count());
        if (!key) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
        if (gst_app_src_push_buffer(GST_APP_SRC(src), buf) != GST_FLOW_OK) failed = "cannot write " + file;
        ++written;
        bytes += a.payload.size();
        if (failed.empty()) failed = bus_error(pipeline, 0);
    }
    VideoStopInfo stop{};
    std::error_code ec;
    session.cam.call<IPCStopVideo>(stop, ec);
    session.cam.close_video_channel(ec);
    session.cam.on_frame(nullptr);
    if (pipeline) {
        // End of stream: the muxer completes the file (an MP4's index, the last fragment).
        gst_app_src_end_of_stream(GST_APP_SRC(src));
        bool eos = false;
        std::string e = bus_error(pipeline, 10 * GST_SECOND, &eos);
        if (failed.empty() && !e.empty()) failed = "cannot write " + file + ": " + e;
        if (failed.empty() && !eos) failed = "cannot write " + file + ": the muxer did not finish";
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(src);
        gst_object_unref(pipeline);
    }
    if (!failed.empty()) throw Stop{kFailed, failed};
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    char line[160];
    std::snprintf(line, sizeof line, "%llu frames (%s), %llu bytes, %.1f seconds\n", static_cast<unsigned long long>(written),
                  annexb::name(codec), static_cast<unsigned long long>(bytes), elapsed);
    nlohmann::ordered_json j{{"file", file}, {"frames", written}, {"bytes", bytes}, {"seconds", elapsed},
                             {"codec", annexb::name(codec)}};
    write_data(o.json ? j.dump(2) + "\n" : std::string(line));
    return kDone;
}

#endif

}  // namespace ipcctl
