// The simulated camera, checked byte for byte with raw sockets (no library in between): what
// the library's own tests rely on must hold here first.
#include "ipcsim.hpp"
#include "testenv.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using ipcsim::Camera;
using ipcsim::Reply;
using ipcsim::Scripted;

Bytes request(uint8_t cls, uint8_t code, const Bytes& payload = {}) {
    Bytes m = {0x5B, 0x5A, 0x01, cls, code, 0, 0, 0, 0, 0, 0, 0};
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 3; i >= 0; --i) m.push_back(static_cast<uint8_t>(n >> (8 * i)));
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}
uint32_t be32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t{b[at + 3]} << 24 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 1]} << 8 | b[at];
}
Bytes payloadOf(const Bytes& m) { return m.size() > 16 ? Bytes(m.begin() + 16, m.end()) : Bytes{}; }
Bytes filled(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
    return b;
}
Bytes loginPayload(const std::string& user, const std::string& digest) {
    Bytes p(160, 0);
    std::memcpy(p.data(), user.data(), user.size());
    std::memcpy(p.data() + 32, digest.data(), digest.size());
    return p;
}
Bytes le32s(std::initializer_list<uint32_t> words, size_t size) {
    Bytes b(size, 0);
    size_t at = 0;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) b[at++] = static_cast<uint8_t>(w >> (8 * i));
    return b;
}

sockaddr_in address(const std::string& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// One socket of the host side. Waits are generous: they bound a failure, they never decide one.
class Peer {
public:
    Peer(int type, const std::string& ip, uint16_t port) : fd_(socket(AF_INET, type, 0)), stream_(type == SOCK_STREAM) {
        sockaddr_in a = address(ip, port);
        ok_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Peer() { close(fd_); }
    bool ok() const { return ok_; }
    bool stream() const { return stream_; }
    void send(const Bytes& b) {
        ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    // One datagram, or what a stream delivers in one read (empty at its end); nullopt on timeout.
    std::optional<Bytes> recvOnce(std::chrono::milliseconds timeout = 3s) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        Bytes b(65536);
        ssize_t n = recv(fd_, b.data(), b.size(), 0);
        lastErrno_ = n < 0 ? errno : 0;
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    // Exactly n stream bytes (fewer when the stream ends or stays silent for 5 s); bytes read
    // beyond them are kept for the next call.
    Bytes recvExact(size_t n) {
        while (pending_.size() < n) {
            auto got = recvOnce(5s);
            if (!got || got->empty()) break;
            pending_.insert(pending_.end(), got->begin(), got->end());
        }
        size_t take = std::min(n, pending_.size());
        Bytes out(pending_.begin(), pending_.begin() + static_cast<long>(take));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(take));
        return out;
    }
    Bytes recvMessage(size_t lengthAt, bool littleEndian, size_t headerSize) {
        Bytes m = recvExact(headerSize);
        if (m.size() < headerSize) return m;
        Bytes rest = recvExact(littleEndian ? le32(m, lengthAt) : be32(m, lengthAt));
        m.insert(m.end(), rest.begin(), rest.end());
        return m;
    }
    Bytes recvAnswer() { return recvMessage(12, false, 16); }  // command answer, report message
    Bytes recvFrame() { return recvMessage(8, true, 156); }    // video frame
    // True when the camera ends the stream (end of file or reset) within 5 s, with no data first.
    bool ended() {
        auto got = recvOnce(5s);
        return pending_.empty() && got && got->empty();
    }
    int lastErrno() const { return lastErrno_; }

private:
    int fd_;
    bool stream_;
    bool ok_ = false;
    int lastErrno_ = 0;
    Bytes pending_;
};

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { startWith(baseConfig()); }
    static ipcsim::Config baseConfig() {
        ipcsim::Config c;
        c.ip = testenv::camera_ip();
        c.reportDelay = 50ms;
        c.framesPerSecond = 50;
        c.frameBytes = 64;
        return c;
    }
    void startWith(const ipcsim::Config& c) {
        cam.reset();
        cam = std::make_unique<Camera>(c);
        ASSERT_TRUE(cam->start());
    }
    std::unique_ptr<Peer> udp() { return std::make_unique<Peer>(SOCK_DGRAM, ip(), 5001); }
    std::unique_ptr<Peer> tcp(uint16_t port = 5002) {
        auto p = std::make_unique<Peer>(SOCK_STREAM, ip(), port);
        EXPECT_TRUE(p->ok());
        return p;
    }
    // A channel connection announced with the given type, its ack already read.
    std::unique_ptr<Peer> channel(uint32_t type) {
        auto p = tcp(5000);
        p->send(request(0, 3, announcement(type)));
        Bytes ack = p->recvExact(16);
        EXPECT_EQ(ack, request(0x7A, 3));
        return p;
    }
    static Bytes announcement(uint32_t type) {
        Bytes b(132, 0);
        b[3] = static_cast<uint8_t>(type);
        return b;
    }
    Bytes ask(Peer& p, uint8_t cls, uint8_t code, const Bytes& payload = {}) {
        p.send(request(cls, code, payload));
        if (p.stream()) return p.recvAnswer();
        auto got = p.recvOnce();
        return got ? *got : Bytes{};
    }
    std::string ip() const { return cam->config().ip; }
    std::unique_ptr<Camera> cam;
};

TEST_F(SimTest, LoginChecksTheLowerCaseDigestOfUserQuorinPassword) {
    EXPECT_EQ(ipcsim::credentialDigest("admin", "admin"), "c48745bee2785c10a90719978a6af4d0");
    EXPECT_EQ(ipcsim::credentialDigest("op", "s3cret"), "a3bdbc2bfdef6f9615cea8bd4370905b");
    auto u = udp();
    const std::string good = ipcsim::credentialDigest("admin", "admin");
    struct Case {
        std::string user, digest;
        uint32_t status;
    } cases[] = {{"admin", good, 200},
                 {"admin", ipcsim::credentialDigest("admin", "wrong"), 401},
                 {"root", ipcsim::credentialDigest("root", "admin"), 401},
                 {"admin", "C48745BEE2785C10A90719978A6AF4D0", 401}};  // upper case is not the digest
    for (const auto& c : cases) {
        Bytes a = ask(*u, 0, 0, loginPayload(c.user, c.digest));
        ASSERT_EQ(a.size(), 136u) << c.user;
        EXPECT_EQ(Bytes(a.begin(), a.begin() + 5), (Bytes{0x5B, 0x5A, 0x01, 0, 0}));
        EXPECT_EQ(be32(a, 12), 120u);
        EXPECT_EQ(be32(a, 20), c.status) << c.user << " " << c.digest;
    }
    EXPECT_EQ(cam->loginCount(), 1);
    // The same over TCP, and a login answer can be scripted like any other.
    auto t = tcp();
    EXPECT_EQ(be32(ask(*t, 0, 0, loginPayload("admin", good)), 20), 200u);
    cam->script(Reply::Nak);
    EXPECT_EQ(ask(*t, 0, 0, loginPayload("admin", good)).at(3), 0x7C);
    EXPECT_EQ(cam->loginCount(), 2);
}

TEST_F(SimTest, SetStoresTheWireRecordThatTheMatchingQueryReturns) {
    auto u = udp();
    Bytes ntp = filled(136, 9);
    Bytes ack = ask(*u, 3, 9, ntp);
    ASSERT_EQ(ack.size(), 16u);
    EXPECT_EQ(ack[3], 0x7A);
    EXPECT_EQ(payloadOf(ask(*u, 3, 8)), ntp);
    EXPECT_EQ(cam->record(3, 8), ntp);
    EXPECT_EQ(ask(*u, 3, 9, filled(135, 1)).at(3), 0x7C) << "a record of the wrong size is refused";
    EXPECT_EQ(cam->record(3, 8), ntp);
    // Updates whose success is the echo: no payload in it, the record stored all the same.
    Bytes focus = filled(128, 4);
    EXPECT_EQ(ask(*u, 33, 19, focus), request(33, 19));
    EXPECT_EQ(cam->record(33, 18), focus);
    EXPECT_EQ(ask(*u, 33, 3, filled(212, 2)), request(33, 3));
    EXPECT_EQ(payloadOf(ask(*u, 33, 1)), filled(212, 2)) << "entering mark mode shows the mark record";
    // Arrays come back as they were sent; the table clear replaces the preset table.
    Bytes three = filled(3 * 132, 7);
    EXPECT_EQ(ask(*u, 1, 7, three).at(3), 0x7A);
    EXPECT_EQ(payloadOf(ask(*u, 1, 6)), three);
    auto t = tcp();
    Bytes table = filled(9180, 5);
    EXPECT_EQ(ask(*t, 12, 17, table).at(3), 0x7A);
    t->send(request(12, 3));
    EXPECT_EQ(payloadOf(t->recvAnswer()), table);
    cam->setRecord(34, 6, filled(128, 3));
    EXPECT_EQ(payloadOf(ask(*u, 34, 6)), filled(128, 3));
    EXPECT_EQ(ask(*u, 99, 1).at(3), 0x7C) << "unknown command";
}

TEST_F(SimTest, TcpReassemblesRequestsAndCanCloseOrReset) {
    auto t = tcp();
    Bytes two = request(3, 9, filled(136, 1));
    Bytes q = request(3, 8);
    two.insert(two.end(), q.begin(), q.end());
    for (size_t at = 0; at < two.size(); at += 50) {  // pieces cut across both requests
        t->send(Bytes(two.begin() + at, two.begin() + std::min(two.size(), at + 50)));
        usleep(2000);
    }
    EXPECT_EQ(t->recvAnswer(), request(0x7A, 9));
    EXPECT_EQ(t->recvAnswer(), request(3, 8, filled(136, 1)));
    cam->script(Scripted{.reply = Reply::Ack, .delay = 1000ms});
    t->send(request(10, 0));
    t->send(request(3, 2));
    EXPECT_EQ(t->recvAnswer().size(), 96u) << "the late ack comes after the next answer";
    EXPECT_EQ(t->recvAnswer(), request(0x7A, 0));
    cam->script(Reply::Close);
    t->send(request(10, 0));
    EXPECT_TRUE(t->ended());
    EXPECT_EQ(t->lastErrno(), 0);
    auto r = tcp();
    cam->script(Reply::Reset);
    r->send(request(10, 0));
    EXPECT_TRUE(r->ended());
    EXPECT_EQ(r->lastErrno(), ECONNRESET);
}

TEST_F(SimTest, PtzControlPresetsAndValueRecord) {
    auto u = udp();
    auto ctrl = [&](uint32_t cmd, uint32_t step) { return ask(*u, 12, 2, le32s({cmd, step}, 132)).at(3); };
    EXPECT_EQ(ctrl(4, 0), 0x7A);  // right by the default step
    EXPECT_EQ(cam->ptz().pan, 10);
    ctrl(3, 20);  // left past zero wraps
    EXPECT_EQ(cam->ptz().pan, 3590);
    ctrl(1, 5000);  // up is clamped
    EXPECT_EQ(cam->ptz().tilt, 900);
    ctrl(6, 50);  // zoom out stops at the wide end
    EXPECT_EQ(cam->ptz().zoom, 10);
    EXPECT_EQ(ctrl(9, 1), 0x7C);
    Bytes value = payloadOf(ask(*u, 12, 8));
    ASSERT_EQ(value.size(), 134u);
    EXPECT_EQ(value[0] << 8 | value[1], 3590);
    EXPECT_EQ(value[2] << 8 | value[3], 900);
    EXPECT_EQ(value[4] << 8 | value[5], 10);

    Bytes store = le32s({5, 1}, 36);
    std::memcpy(store.data() + 8, "gate", 4);
    EXPECT_EQ(ask(*u, 12, 4, store).at(3), 0x7A);
    Bytes table = cam->record(12, 3);
    ASSERT_EQ(table.size(), 9180u);
    Bytes entry(table.begin() + 4 * 36, table.begin() + 5 * 36);
    EXPECT_EQ(le32(entry, 0), 5u);
    EXPECT_EQ(std::string(entry.begin() + 8, entry.begin() + 12), "gate");
    EXPECT_EQ(entry[28] | entry[29] << 8, 3590);
    Bytes moveTo(134, 0);
    moveTo[0] = 0x01;  // pan 0x0102
    moveTo[1] = 0x02;
    moveTo[5] = 200;
    EXPECT_EQ(ask(*u, 12, 9, moveTo).at(3), 0x7A);
    EXPECT_EQ(cam->ptz().pan, 0x0102);
    EXPECT_EQ(cam->ptz().zoom, 200);
    EXPECT_EQ(ask(*u, 12, 4, le32s({5, 2}, 36)).at(3), 0x7A);  // go to 5
    EXPECT_EQ(cam->ptz().pan, 3590);
    EXPECT_EQ(cam->ptz().tilt, 900);
    EXPECT_EQ(ask(*u, 12, 4, le32s({6, 2}, 36)).at(3), 0x7C) << "preset 6 was never stored";
    EXPECT_EQ(ask(*u, 12, 4, le32s({256, 1}, 36)).at(3), 0x7C);
    EXPECT_EQ(ask(*u, 12, 4, le32s({5, 3}, 36)).at(3), 0x7A);
    EXPECT_EQ(ask(*u, 12, 4, le32s({5, 2}, 36)).at(3), 0x7C) << "cleared";
}

}  // namespace
