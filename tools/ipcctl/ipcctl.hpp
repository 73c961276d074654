// Pieces of ipcctl shared by its commands.
#pragma once

#include <ipcsdk_fleet.hpp>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace ipcctl {

enum Exit { kDone = 0, kFailed = 1, kUsage = 2, kNoLogin = 3 };

// Ends the command: exit status and the message for standard error.
struct Stop {
    int status;
    std::string message;
};

[[noreturn]] inline void usage(const std::string& message) { throw Stop{kUsage, message}; }

struct Options {
    std::string address;
    std::string user = "admin";
    std::string password;
    uint16_t tcp_port = 0;
    int timeout = 5;
    bool json = false;
};

// ipcctl watch: cameras supervised until interrupted or for --seconds.
struct Watch {
    std::vector<std::string> more;  // addresses beside the main one
    int seconds = 0;
    bool video = false;
    void add(CLI::App& c);
    void run(const Options& o) const;
};

// "0x80002002 IPCSDK_ERR_REFUSED (nak, ...)": a result code as the README's table names it.
std::string describe(uint32_t code);
// A failed camera call as an exit with status 1 naming the operation and the result code.
Stop failure(const ipc::Error& e);

// Runs a camera call; a failure ends the command with status 1.
template <class F>
auto camera(F&& f) {
    try {
        return f();
    } catch (const ipc::Error& e) {
        throw failure(e);
    }
}

// The library initialised and one camera logged in; a failed login ends with status 3.
struct Session {
    explicit Session(const Options& o);
    ipc::Sdk sdk;
    ipc::Camera cam;
};

// Set by SIGINT or SIGTERM once catch_interrupt() ran.
extern std::atomic<bool> g_interrupted;
void catch_interrupt();

// Writes to standard output (the data channel); false when the write failed.
bool write_data(std::string_view bytes);

}  // namespace ipcctl
