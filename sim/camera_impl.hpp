// The simulated camera's inner state, shared by its two source files. Internal to the simulator.
//
// Three threads per camera:
//   serve   owns every socket: reads requests, answers them, accepts connections and writes the
//           queued output of every TCP connection (non-blocking, so a peer that stops reading
//           stalls only its own queue)
//   timer   late answers, the reports that follow the waiting commands, keepalives
//   stream  produces video frames into the queues of the video connections
// Everything shared lives under one mutex; other threads hand bytes to a connection through its
// queue and wake the serving thread, so only that thread ever touches a connection's socket.
#pragma once

#include "command_table.hpp"
#include "ipcsim.hpp"

#include <netinet/in.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <span>
#include <thread>

namespace ipcsim {

namespace detail {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr uint16_t kUdpPort = 5001;
inline constexpr uint16_t kChannelPort = 5000;
}  // namespace detail

using namespace detail;

struct Camera::Impl {
    enum class Kind { Command, Pending, Report, Video };
    enum class Act { Send, None, Close, Reset };

    struct Out {
        std::vector<uint8_t> bytes;
        size_t off = 0;
        Act act = Act::Send;
    };
    struct Conn {
        int fd = -1;
        Kind kind = Kind::Command;
        std::vector<uint8_t> in;
        std::deque<Out> out;
        size_t queued = 0;
        bool closing = false;  // close once the queue is out (or at close_by)
        bool reset = false;
        Clock::time_point close_by{};
    };
    // Where an answer goes: the sender of a datagram, or a command connection.
    struct Sink {
        Transport transport = Transport::Udp;
        sockaddr_in addr{};
        uint64_t conn = 0;
    };
    struct Outcome {
        Act act = Act::Send;
        std::vector<uint8_t> bytes;
        std::string label;
        std::function<void()> follow_up;  // runs config.report_delay after the answer went out
    };
    struct Timed {
        Clock::time_point at;
        uint64_t seq;
        std::function<void()> fn;
        bool operator>(const Timed& o) const { return at != o.at ? at > o.at : seq > o.seq; }
    };

    explicit Impl(Config c) : cfg(std::move(c)), expected_digest(credential_digest(cfg.user, cfg.password)) {}

    const Config cfg;
    const std::string expected_digest;

    // Set by start() before the threads exist, cleared by stop() after they are joined.
    int udp_fd = -1, cmd_listen_fd = -1, chan_listen_fd = -1, wakeFd = -1;
    std::thread server, timer, streamer;
    std::vector<uint8_t> video_data;
    // The access units of video_data when it is an H.264 or H.265 stream: one per frame.
    std::vector<std::span<const uint8_t>> video_units;

    mutable std::mutex mu;
    mutable std::condition_variable changed;  // requests, connections
    std::condition_variable timer_cv, stream_cv;
    bool running = false, stopping = false;
    bool refuse_logins = false;

    std::deque<Scripted> script;
    std::vector<Request> requests;
    int logins = 0;
    int video_announced = 0;  // video channel connections announced since the start
    std::function<void(const Request&)> hook;
    Answerer answerer;
    std::map<uint16_t, std::vector<uint8_t>> records;
    PtzState ptz;

    std::map<uint64_t, Conn> conns;
    uint64_t next_conn = 1;
    bool stalled = false;
    uint32_t report_seq = 0;  // numbered reports sent

    bool streaming = false;
    uint64_t frames_sent = 0;
    uint32_t frame_seq = 0;
    size_t video_pos = 0;
    size_t video_unit = 0;  // the next access unit; a stream starts from the first

    std::priority_queue<Timed, std::vector<Timed>, std::greater<>> timed;
    uint64_t timed_seq = 0;

    // ---- life cycle -------------------------------------------------------------------------
    bool start();
    void stop();
    void close_sockets();

    // ---- serving thread ---------------------------------------------------------------------
    void serve();
    void read_datagrams(std::vector<std::pair<Sink, Request>>& work);
    void accept_all(int listen_fd, Kind kind);
    void read_conn_locked(std::map<uint64_t, Conn>::iterator it, std::vector<std::pair<Sink, Request>>& work);
    void parse_commands_locked(uint64_t id, Conn& c, std::vector<std::pair<Sink, Request>>& work);
    bool parse_announcement_locked(Conn& c);
    void flush_all_locked();
    void close_conn_locked(std::map<uint64_t, Conn>::iterator it, bool reset);

    // ---- requests ---------------------------------------------------------------------------
    void handle(Request req, const Sink& sink);
    Outcome scripted_answer(const Request& req, const Scripted& s);
    Outcome default_answer(const Request& req);
    Outcome effect(const CommandDef& def, const Request& req, Outcome a);
    void deliver(const Sink& sink, const Outcome& a);
    void log(const Request& req, const std::string& label) const;

    // ---- state ------------------------------------------------------------------------------
    std::vector<uint8_t> record_locked(uint8_t cls, uint8_t code) const;
    void store_locked(uint8_t cls, uint8_t code, std::vector<uint8_t> wire);
    void move_to_locked(int pan, int tilt, int zoom);
    bool preset_locked(const std::vector<uint8_t>& rec);
    std::vector<uint8_t> system_info_locked() const;

    // ---- channels ---------------------------------------------------------------------------
    void wake_locked() const;
    void enqueue_locked(Conn& c, Out out);
    void broadcast(Kind kind, std::vector<uint8_t> bytes);
    void close_channels(Kind kind, bool reset);
    int count_locked(Kind kind) const;
    void send_split(Kind kind, const std::vector<uint8_t>& bytes, size_t piece, milliseconds gap);
    void reset_midway(Kind kind, std::vector<uint8_t> partial);

    // ---- timer and stream -------------------------------------------------------------------
    void schedule(milliseconds delay, std::function<void()> fn);
    void timer_loop();
    void keepalive();
    void stream_loop();
    bool video_ready_locked() const;
    void send_frame_locked();
};

}  // namespace ipcsim
