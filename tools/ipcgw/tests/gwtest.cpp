#include "gwtest.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "testenv.hpp"

namespace gwtest {

std::string broker_ip() { return testenv::camera_ip(20); }

TestBroker::TestBroker(uint16_t port) : Broker(broker_ip(), port, testenv::workdir()) {}

std::string write_config(const std::string& clientId, const std::vector<CameraEntry>& cameras,
                         const std::string& extraMqtt, const std::string& extra, uint16_t port) {
    const std::string path = testenv::workdir() + "/" + clientId + ".toml";
    std::ofstream out(path);
    out << "[mqtt]\nhost = \"" << broker_ip() << "\"\nport = " << port << "\nclient_id = \"" << clientId
        << "\"\nprefix = \"site\"\nreconnect_min = 1\nreconnect_max = 2\n"
        << extraMqtt << "\n" << extra << "\n";
    for (const auto& c : cameras) {
        out << "[[camera]]\nname = \"" << c.name << "\"\naddress = \"" << c.address << "\"\npassword = \"" << c.password
            << "\"\n";
        if (c.tcpPort) out << "tcp_port = " << c.tcpPort << "\n";
    }
    return path;
}

Gateway::Gateway(std::string configPath) : config_(std::move(configPath)), logPath_(config_ + ".log") {}
Gateway::~Gateway() {
    // A gateway that is still running must stop cleanly: exit status 0 (a sanitizer finding in
    // the gateway process ends it otherwise).
    if (pid_ > 0) {
        int rc = terminate();
        EXPECT_EQ(rc, 0) << log();
    }
}

bool Gateway::start() {
    pid_ = spawn({IPCGW_PATH, "--config", config_}, logPath_);
    return pid_ > 0;
}

int Gateway::terminate() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int rc = wait_exit(pid_);
    pid_ = -1;
    return rc;
}

void Gateway::kill9() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait_exit(pid_);
    pid_ = -1;
}

std::string Gateway::log() const { return testenv::read_file(logPath_); }

std::pair<int, std::string> run_ipcgw(const std::vector<std::string>& args) {
    std::vector<std::string> all{IPCGW_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const std::string logPath = testenv::workdir() + "/run.log";
    unlink(logPath.c_str());
    pid_t pid = spawn(all, logPath);
    int rc = wait_exit(pid);
    return {rc, testenv::read_file(logPath)};
}

}  // namespace gwtest
