// ipcsim: a simulated pan-tilt-zoom camera that speaks the camera side of the protocol over
// real sockets. Tests link it (ipcsim_core) and script it; the ipcsim program runs one or many
// of them from the command line.
//
// One Camera listens on an IPv4 address of its own:
//   UDP 5001        command requests, one datagram each, answered to the sender
//   TCP cmd_port     command requests on a stream (header + payload), answered on the stream
//   TCP 5000        channel connections, told apart by the announcement (class 0, code 3,
//                   connection type 1 = report channel, 2 = video channel), which the camera
//                   answers with a 16-byte ack; any other first message drops the connection
//
// Default answers: a query answers the echo of its class and code carrying its stored record
// (a patterned record of the right size until something was stored); an update stores its
// payload under its query's code and answers an ack, or for the commands whose success is the
// echo (32.2, 33.2-33.6, 33.16, 33.19, 34.5) an echo without payload; an update that is not
// whole records, or an action whose payload has the wrong size, gets a nak, and so does an
// unknown command. An ack or nak carries the request's code in byte 4.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ipcsim {

enum class Transport { Udp, Tcp };

// One request as it arrived: the whole frame, header included.
struct Request {
    Transport transport = Transport::Udp;
    uint8_t msgClass = 0;
    uint8_t code = 0;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> payload() const {
        return frame.size() > 16 ? std::vector<uint8_t>(frame.begin() + 16, frame.end()) : std::vector<uint8_t>{};
    }
};

// How the camera answers the next command request (any transport).
enum class Reply {
    Default,      // the camera's normal answer for that command
    Nak,          // 16-byte header, byte 3 = 0x7C
    Ack,          // 16-byte header, byte 3 = 0x7A
    Echo,         // class and code of the request, with `payload`
    OtherClass,   // class + 1, the request's code, with `payload`
    OtherCode,    // the request's class, code + 1, with `payload`
    Short,        // only the first `short_length` bytes of an ack header (default 15)
    WrongLength,  // an echo whose header length field is one more than the payload sent
    Garbage,      // `short_length` (default 64) bytes of pseudo-random data
    Raw,          // exactly `raw`
    None,         // no answer at all
    Close,        // TCP: close the command connection instead of answering (UDP: no answer)
    Reset,        // TCP: reset the command connection (linger 0) instead of answering
};

struct Scripted {
    Reply reply = Reply::Default;
    std::vector<uint8_t> payload{};      // for Echo, OtherClass, OtherCode, WrongLength
    std::vector<uint8_t> raw{};          // for Raw
    size_t short_length = 0;              // for Short and Garbage; 0: 15 for Short, 64 for Garbage
    std::chrono::milliseconds delay{0};  // answer this late (a "late answer")
    int times = 1;                       // how many requests this entry answers
    bool twice = false;                  // send the answer two times
    int pieces = 1;                      // TCP: send the answer in this many parts...
    std::chrono::milliseconds gap{0};    // ...this far apart
};

// The largest --video-file the simulator reads.
inline constexpr size_t kMaxVideoFile = size_t{64} << 20;

struct Config {
    std::string ip = "127.0.0.1";
    uint16_t tcp_port = 5002;             // TCP command port (the host names it at login)
    std::string user = "admin";
    std::string password = "admin";
    bool udp = true;                     // serve UDP 5001
    bool tcp = true;                     // serve TCP cmd_port
    bool channels = true;                // serve TCP 5000
    int keepalive_seconds = 0;            // 0x1005 reports on the report channel every N s (0: off)
    bool log = false;                    // one line per request served on standard output
    // Video stream started by the start-video command.
    uint32_t frame_bytes = 4096;          // payload bytes per frame
    int frames_per_second = 25;            // 0: as fast as the connection takes them
    std::string video_file;               // payload taken from this file (a regular file of at most
                                         // kMaxVideoFile bytes), cycled: an H.264/H.265 Annex B
                                         // stream one access unit per frame (from the first at
                                         // each start of the stream), anything else cut in
                                         // frame_bytes pieces
    // Answers to the waiting commands.
    std::chrono::milliseconds report_delay{200};  // delay before the report(s) follow the ack
    uint32_t gps_report_type = 0x1001;     // type of the report answering the position request
};

// PTZ state that the control and preset commands move and the value query reports.
// The camera gives the commands' records this meaning (integers little-endian unless noted):
//   12.2  control, 132 bytes: u32 at 0 = command (0 stop, 1 up = tilt + step, 2 down,
//         3 left = pan - step, 4 right, 5 zoom in = zoom + step, 6 zoom out; others: nak),
//         u32 at 4 = step (0: 10). Moves at once: tilt and zoom are clamped to their ranges,
//         pan wraps around the circle.
//   12.4  preset, 36 bytes: u32 at 0 = preset number 1..255, u32 at 4 = operation (1 store the
//         current position, 2 go to, 3 clear), bytes 8..35 name. Storing writes the record into
//         entry n-1 of the 9180-byte preset table (record 12.3) with pan, tilt, zoom as u16 at
//         28, 30, 32 of the entry; going to a preset whose entry does not carry its number, a
//         number outside 1..255 or another operation is answered with a nak. The table starts
//         patterned like every other record; the table clear 12.17 stores its payload as 12.3.
//   12.8  value query, 134 bytes: pan, tilt, zoom as big-endian u16 at 0, 2, 4, the rest zero.
//   12.9  value set (same record): moves there, clamped (pan taken modulo 3600).
struct PtzState {
    uint16_t pan = 0;     // 0..3599 (tenths of a degree)
    uint16_t tilt = 0;    // 0..900
    uint16_t zoom = 10;   // 10..300 (tenths of magnification)
};

class Camera {
public:
    explicit Camera(Config config);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Binds and starts serving; false (with a reason on standard error) when a port is taken.
    // A stopped camera can be started again: it keeps its stored records and PTZ state, as a
    // camera that was switched off and on (tests take cameras away and bring them back).
    bool start();
    // Closes every socket and connection (hosts see their channels closed) and stops serving.
    void stop();
    bool running() const;
    // While set, every login is answered with status 401 as for wrong credentials.
    void refuse_logins(bool refuse);
    const Config& config() const;

    // ---- scripting of command answers -------------------------------------------------
    void script(Scripted next);               // appended to the queue of next answers
    void script(Reply reply) {
        Scripted s;
        s.reply = reply;
        script(std::move(s));
    }
    void clear_script();

    // ---- what arrived ----------------------------------------------------------------
    // Every command request in arrival order (channel announcements are not among them). A
    // datagram whose size disagrees with its length field, or without the 5B 5A start, is
    // recorded but consumes no scripted answer and is not answered.
    std::vector<Request> requests() const;
    void clear_requests();
    // Waits until a request with this class and code has arrived (the n-th such, from 1).
    std::optional<Request> wait_request(uint8_t msgClass, uint8_t code,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
                                       int nth = 1) const;
    int login_count() const;                   // accepted logins

    // ---- the camera's stored settings --------------------------------------------------
    // Wire form (big-endian fields as the camera holds them) of the record that the query
    // (msgClass, get_code) returns; a set stores its payload under its query's key.
    std::vector<uint8_t> record(uint8_t msgClass, uint8_t get_code) const;
    void set_record(uint8_t msgClass, uint8_t get_code, std::vector<uint8_t> wire);
    PtzState ptz() const;

    // ---- channels -------------------------------------------------------------------------
    int report_connections() const;            // open report channel connections
    int video_connections() const;             // open video channel connections
    int video_connections_opened() const;       // video channel connections ever announced
    bool wait_report_connection(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    bool wait_video_connection(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // A report message: 5A 5B 01 01 08, zero, P = 12 + body size (BE) at 12, type (BE) at 20.
    static std::vector<uint8_t> report_message(uint32_t type, const std::vector<uint8_t>& body);
    // A video frame: "xqmp", zero, L (LE) at 8, a 144-byte header, then the payload.
    static std::vector<uint8_t> video_frame(const std::vector<uint8_t>& payload, uint32_t sequence = 0);
    // A 0xA002 picture report body of the given kind (1 or 2) carrying one picture part.
    static std::vector<uint8_t> picture_body(uint8_t kind, const std::vector<uint8_t>& picture);
    // A small picture a person can open (binary PPM, width x height), content depends on seed.
    static std::vector<uint8_t> sample_picture(int width, int height, int seed);
    void send_report(uint32_t type, const std::vector<uint8_t>& body);  // on every report channel
    void send_report_raw(const std::vector<uint8_t>& bytes);             // as is, one send
    void send_video_raw(const std::vector<uint8_t>& bytes);              // as is, one send
    // Sends bytes in pieces of `piece` bytes with `gap` between them (split frames and messages).
    void send_report_split(const std::vector<uint8_t>& bytes, size_t piece, std::chrono::milliseconds gap);
    void send_video_split(const std::vector<uint8_t>& bytes, size_t piece, std::chrono::milliseconds gap);
    // Close from the camera side once the queued bytes are out (at once while stalled, at the
    // latest after a second); return when the connections are gone.
    void close_report_channels();
    void close_video_channels();
    void reset_report_channels();               // reset (linger 0)
    void stall_channels(bool stalled);         // pause every channel send (stream and reports)
    void start_video_stream();                  // as the start-video command does
    void stop_video_stream();
    uint64_t video_frames_sent() const;

    // ---- integrity marks for long runs ------------------------------------------------------
    // FNV-1a over the bytes, continuing from `seed`. Every video frame carries the checksum of
    // its sequence word (bytes 4..7) followed by its payload, little-endian at header byte 20.
    static uint32_t checksum(const uint8_t* data, size_t n, uint32_t seed = 2166136261u);
    // `count` reports of `type` in one burst, numbered per camera from 0: body bytes 0..3 the
    // number, 4..7 the checksum of the rest of the body (both little-endian), then a pattern.
    void send_numbered_reports(uint32_t type, int count, size_t body_bytes);
    // Queues the first `keep` bytes of a frame (of a report message) on every video (report)
    // connection, then resets those connections; nothing else is queued on them meanwhile.
    void reset_video_mid_frame(size_t keep);
    void reset_reports_mid_message(size_t keep);

    // Called for every request before it is answered (from the serving thread).
    void on_request(std::function<void(const Request&)> hook);

    // Bytes to answer a request with instead of the camera's own answer (nullopt: its own
    // answer); scripted answers still come first. Called from the serving thread. The replay
    // mode answers with a captured camera's answers this way.
    using Answerer = std::function<std::optional<std::vector<uint8_t>>(const Request&)>;
    void answer_with(Answerer answerer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Lower-case hexadecimal MD5 of the credential text (user ":quorin:" password): what the
// camera expects in login payload bytes 32 to 63.
std::string credential_digest(const std::string& user, const std::string& password);

}  // namespace ipcsim
