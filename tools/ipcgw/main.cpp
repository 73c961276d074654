// ipcgw: the configured cameras on an MQTT broker. Runs in the foreground, logs to standard
// error, stops cleanly on SIGINT or SIGTERM.
//   exit 0  stopped by a signal
//   1       the gateway could not start (MQTT client setup)
//   2       usage or configuration error
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "camera_backend.hpp"
#include "config.hpp"
#include "gateway.hpp"
#include "ops.hpp"

int main(int argc, char** argv) {
    CLI::App app{"ipcgw: cameras on an MQTT broker (states, reports, pictures, requests)"};
    std::string config_path;
    bool check = false;
    app.add_option("-c,--config", config_path, "TOML configuration file")->required();
    app.add_flag("--check", check, "check the configuration and exit");
    app.set_version_flag("--version", "ipcgw " IPCSDK_VERSION);
    std::string ops = "Requests: JSON on PREFIX/CAMERA/request, \"op\" one of:";
    for (const auto& op : ipcgw::kOps) {
        std::string fields;
        for (auto field : op.fields)
            if (!field.empty()) fields += (fields.empty() ? " (" : ", ") + std::string(field);
        ops += "\n  " + std::string(op.name) + fields + (fields.empty() ? ": " : "): ") + std::string(op.help);
    }
    app.footer(ops);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    ipcgw::Config cfg;
    try {
        cfg = ipcgw::load_config(config_path);
    } catch (const ipcgw::ConfigError& e) {
        std::cerr << "ipcgw: " << e.what() << '\n';
        return 2;
    }
    if (check) {
        std::cerr << "ipcgw: " << config_path << ": " << cfg.cameras.size() << " camera(s), configuration is valid\n";
        return 0;
    }

    // Signals are taken by sigwait below, never by a library thread.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The library prints lines of its own on standard output (a camera that cannot be reached,
    // a refused login): not the gateway's log, which is standard error.
    std::fflush(stdout);
    if (int null = open("/dev/null", O_WRONLY); null >= 0) {
        dup2(null, 1);
        close(null);
    }

    std::mutex log_mutex;
    auto log = [&](const std::string& line) {
        std::lock_guard lk(log_mutex);
        std::fprintf(stderr, "ipcgw: %s\n", line.c_str());
        std::fflush(stderr);
    };

    auto backend = ipcgw::make_camera_backend(cfg);
    ipcgw::Gateway gateway(cfg, *backend, log);
    std::string error;
    try {
        if (!gateway.start(error)) throw std::runtime_error(error);
    } catch (const std::runtime_error& e) {  // the MQTT client, or the RTSP server's address
        log(e.what());
        return 1;
    }
    int sig = 0;
    sigwait(&stop_signals, &sig);
    log(std::string("signal ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
    gateway.stop();
    return 0;
}
