// ipc::Fleet against simulated cameras that go away, come back, refuse logins or fall silent.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "bytes.hpp"
#include "camera_fixture.hpp"
#include "ipcsdk.hpp"

using namespace std::chrono_literals;
using testenv::camera_ip;

namespace {

// Small pauses so that every test runs in seconds; no jitter unless a test asks.
ipc::FleetOptions quick() {
    ipc::FleetOptions o;
    o.initial_backoff = 200ms;
    o.max_backoff = 800ms;
    o.jitter = 0;
    o.stale_after = 20s;
    o.probe_after = 5s;
    return o;
}

// Cameras whose answers get lost use TCP: over UDP this library drops the next answer of any
// camera after a lost one.
ipc::CameraSpec spec(int n, bool video = false, bool tcp = false) {
    ipc::CameraSpec s;
    s.endpoint.address = camera_ip(n);
    if (tcp) s.endpoint.transport = ipc::Endpoint::Transport::tcp;
    s.credentials = {"admin", "admin"};
    s.video = video;
    return s;
}

// Everything the fleet's handlers saw, with a wait for a condition on it. Declared before the
// fleet, so that it outlives the fleet's handlers.
struct Seen {
    std::mutex m;
    std::condition_variable cv;
    std::vector<ipc::StateChange> changes;
    std::vector<ipc::Retry> retries;
    int frames = 0;
    std::vector<uint32_t> reports;

    void attach(ipc::Fleet& f) {
        f.on_state([this](const ipc::StateChange& c) { add([&] { changes.push_back(c); }); });
        f.on_retry([this](const ipc::Retry& r) { add([&] { retries.push_back(r); }); });
        f.on_frame([this](const std::string&, const ipc::Frame&) { add([&] { ++frames; }); });
        f.on_report([this](const std::string&, const ipc::Report& r) { add([&] { reports.push_back(r.type); }); });
    }
    template <class F>
    void add(F f) {
        {
            std::lock_guard lock(m);
            f();
        }
        cv.notify_all();
    }
    template <class P>
    bool wait(P p, std::chrono::milliseconds limit = 20s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, p);
    }
    std::vector<std::pair<ipc::State, ipc::State>> transitions(const std::string& id) {
        std::lock_guard lock(m);
        std::vector<std::pair<ipc::State, ipc::State>> v;
        for (const auto& c : changes)
            if (c.id == id) v.emplace_back(c.from, c.to);
        return v;
    }
    bool reached(const std::string& id, ipc::State s, size_t nth = 1) {
        size_t n = 0;
        for (const auto& c : changes)
            if (c.id == id && c.to == s) ++n;
        return n >= nth;
    }
};

int slots_in_use() {
    int n = 0;
    for (auto& s : g_DevManage) n += testenv::peek(s.inUse) != 0;
    return n;
}

template <class P>
bool eventually(P p, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

using S = ipc::State;

TEST(Fleet, CameraTakenAwayAndBroughtBackIsOnlineWithChannelsRestored) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    Seen seen;
    ipc::Fleet fleet(quick());
    seen.attach(fleet);
    fleet.add("cam", spec(0, true));
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online) && seen.frames > 0; }));

    sim->stop();
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::offline); }));
    EXPECT_EQ(fleet.status("cam")->last_error, ipc::errc::channel_closed);
    EXPECT_THROW(fleet.with("cam", [](ipc::CameraRef&) {}), ipc::Error);
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online, 2); }));
    EXPECT_EQ((seen.transitions("cam")), (std::vector<std::pair<S, S>>{
                                             {S::connecting, S::online}, {S::online, S::offline}, {S::offline, S::online}}));
    auto st = fleet.status("cam");
    EXPECT_EQ(st->state, S::online);
    EXPECT_EQ(st->reconnects, 1u);

    // Channels and heartbeat are back: frames and reports flow, the library beats again.
    EXPECT_EQ(sim->reportConnections(), 1);
    EXPECT_EQ(sim->videoConnections(), 1);
    int before;
    {
        std::lock_guard lock(seen.m);
        before = seen.frames;
    }
    sim->sendReport(0x1003, {9, 8, 7});
    EXPECT_TRUE(seen.wait([&] { return seen.frames > before + 5 && !seen.reports.empty(); }));
    EXPECT_EQ(seen.reports.back(), 0x1003u);
    sim->clearRequests();
    EXPECT_TRUE(sim->waitRequest(10, 0, 12s).has_value());
    // Commands run again.
    EXPECT_EQ(fleet.with("cam", [](ipc::CameraRef& c) { return c.get<SystemInfo>().deviceModel[0]; }), 'I');
}

TEST(Fleet, BackoffPausesGrowAndAreCapped) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    ipcsim::Scripted silent;
    silent.reply = ipcsim::Reply::None;
    silent.times = 1000;
    sim->script(silent);
    std::mutex m;
    std::vector<std::chrono::steady_clock::time_point> logins;
    sim->onRequest([&](const ipcsim::Request& r) {
        std::lock_guard lock(m);
        if (r.msgClass == 0 && r.code == 0) logins.push_back(std::chrono::steady_clock::now());
    });
    auto o = quick();
    o.initial_backoff = 100ms;
    o.max_backoff = 400ms;
    o.jitter = 0.2;
    Seen seen;
    ipc::Fleet fleet(o);
    seen.attach(fleet);
    fleet.add("cam", spec(0));
    ASSERT_TRUE(seen.wait([&] { return seen.retries.size() >= 6; }, 30s));
    fleet.remove("cam");
    const int nominal[] = {100, 200, 400, 400, 400, 400};
    std::lock_guard lock(seen.m);
    for (int i = 0; i < 6; ++i) {
        const auto& r = seen.retries[i];
        EXPECT_EQ(r.failures, static_cast<unsigned>(i + 1));
        EXPECT_EQ(r.error, ipc::errc::net);
        EXPECT_GE(r.pause.count(), nominal[i] * 8 / 10) << i;
        EXPECT_LE(r.pause.count(), nominal[i] * 12 / 10) << i;
    }
    EXPECT_EQ(fleet.status("cam"), std::nullopt);
    // A login never starts before the pause after the previous one is over.
    std::lock_guard lock2(m);
    ASSERT_GE(logins.size(), 6u);
    for (size_t i = 0; i + 1 < 6; ++i) EXPECT_GE(logins[i + 1] - logins[i], seen.retries[i].pause) << i;
}

TEST(Fleet, WrongCredentialsAreAuthFailedAndRetriedAtTheLongestPause) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    sim->refuseLogins(true);
    Seen seen;
    ipc::Fleet fleet(quick());
    seen.attach(fleet);
    fleet.add("cam", spec(0));
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::auth_failed) && !seen.retries.empty(); }));
    EXPECT_EQ(fleet.status("cam")->last_error, ipc::errc::auth);
    {
        std::lock_guard lock(seen.m);
        EXPECT_EQ(seen.retries[0].pause, 800ms);
        EXPECT_EQ(seen.retries[0].error, ipc::errc::auth);
    }
    sim->refuseLogins(false);
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online); }));
    EXPECT_EQ((seen.transitions("cam")),
              (std::vector<std::pair<S, S>>{{S::connecting, S::auth_failed}, {S::auth_failed, S::online}}));
}

TEST(Fleet, ACameraThatDropsEveryLoginKeepsItsPausesGrowing) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    std::atomic<bool> stop{false};
    std::thread dropper([&] {  // closes the report channel as soon as a login opened it
        while (!stop) {
            if (sim->reportConnections() > 0) sim->closeReportChannels();
            std::this_thread::sleep_for(5ms);
        }
    });
    auto o = quick();
    o.initial_backoff = 100ms;
    o.max_backoff = 400ms;
    Seen seen;
    ipc::Fleet fleet(o);
    seen.attach(fleet);
    fleet.add("cam", spec(0));
    const bool enough = seen.wait([&] { return seen.retries.size() >= 4; });
    stop = true;
    dropper.join();
    ASSERT_TRUE(enough);
    std::lock_guard lock(seen.m);
    const int nominal[] = {100, 200, 400, 400};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(seen.retries[i].pause.count(), nominal[i]) << i;
        EXPECT_EQ(seen.retries[i].error, ipc::errc::channel_closed) << i;
    }
}

TEST(Fleet, RemovingACameraDuringItsReconnectStopsIt) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    Seen seen;
    ipc::Fleet fleet(quick());
    seen.attach(fleet);
    fleet.add("cam", spec(0));
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online); }));
    // The next login is answered late: remove the camera while that login is in flight.
    ipcsim::Scripted late;
    late.delay = 300ms;
    sim->closeReportChannels();
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::offline); }));
    sim->clearRequests();
    sim->script(late);
    ASSERT_TRUE(sim->waitRequest(0, 0, 10s).has_value());
    fleet.remove("cam");
    EXPECT_EQ(fleet.status("cam"), std::nullopt);
    EXPECT_TRUE(eventually([&] { return slots_in_use() == 0; }));
    const int logins = sim->loginCount();
    std::this_thread::sleep_for(1s);  // several backoff pauses
    EXPECT_EQ(sim->loginCount(), logins);
    EXPECT_EQ(slots_in_use(), 0);
    EXPECT_FALSE(seen.reached("cam", S::online, 2));
    // The id is free again.
    fleet.add("cam", spec(0));
    EXPECT_TRUE(seen.wait([&] { return seen.reached("cam", S::online, 2); }));
}

TEST(Fleet, DestroyedWithCamerasInEveryState) {
    ipc::Sdk sdk;
    auto online = testenv::start_camera(0);
    auto away = testenv::start_camera(1);
    auto refusing = testenv::start_camera(2);
    auto slow = testenv::start_camera(3);
    away->stop();
    refusing->refuseLogins(true);
    ipcsim::Scripted late;
    late.delay = 1500ms;
    slow->script(late);
    const size_t threads = testenv::count_dir("/proc/self/task");
    Seen seen;
    {
        ipc::Fleet fleet(quick());
        seen.attach(fleet);
        fleet.add("online", spec(0, true));
        fleet.add("offline", spec(1, false, true));
        fleet.add("auth", spec(2));
        fleet.add("connecting", spec(3, false, true));
        ASSERT_TRUE(seen.wait([&] {
            return seen.reached("online", S::online) && seen.reached("offline", S::offline) &&
                   seen.reached("auth", S::auth_failed);
        }));
        EXPECT_EQ(fleet.status("connecting")->state, S::connecting);
    }
    size_t changes;
    {
        std::lock_guard lock(seen.m);
        changes = seen.changes.size();
    }
    EXPECT_EQ(slots_in_use(), 0);
    EXPECT_TRUE(eventually([&] { return online->reportConnections() == 0 && online->videoConnections() == 0; }));
    EXPECT_TRUE(eventually([&] { return testenv::count_dir("/proc/self/task") == threads; }));
    std::this_thread::sleep_for(2s);  // the slow login's answer comes and goes
    std::lock_guard lock(seen.m);
    EXPECT_EQ(seen.changes.size(), changes);
}

TEST(Fleet, ConsecutiveCommandTimeoutsTakeACameraOfflineAndHandlerExceptionsAreCaught) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    std::mutex m;
    std::vector<std::string> errors;
    ipc::set_handler_error_reporter([&](std::string_view kind, std::string_view what) {
        std::lock_guard lock(m);
        errors.push_back(std::string(kind) + ": " + std::string(what));
    });
    auto o = quick();
    o.max_command_timeouts = 2;
    o.probe_after = 60s;  // no heartbeat of the fleet's own between the two commands
    Seen seen;
    ipc::Fleet fleet(o);
    seen.attach(fleet);
    fleet.on_state([&](const ipc::StateChange& c) {
        seen.add([&] { seen.changes.push_back(c); });
        throw std::runtime_error("state handler failure");
    });
    std::error_code ec;
    fleet.with("nobody", [](ipc::CameraRef&) {}, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_unknown);
    fleet.add("cam", spec(0, false, true));
    EXPECT_THROW(fleet.add("cam", spec(0)), ipc::Error);
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online); }));

    ipcsim::Scripted none;
    none.reply = ipcsim::Reply::None;
    none.times = 2;
    sim->script(none);
    for (int i = 0; i < 2; ++i) {
        std::error_code command;
        fleet.with("cam", [&](ipc::CameraRef& c) {
            NtpConfInfo ntp{};
            c.get(ntp, command);
        }, ec);
        EXPECT_FALSE(ec);
        EXPECT_EQ(command, ipc::errc::net);
    }
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::offline); }));
    EXPECT_EQ(fleet.status("cam")->last_error, ipc::errc::net);
    auto r = fleet.with("cam", [](ipc::CameraRef& c) { return c.handle(); }, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_not_online);
    EXPECT_FALSE(r.has_value());
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online, 2); }));
    // Each of the three state handler calls threw; the fleet carried on after each.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(m);
        return errors.size() == 3;
    }));
    std::lock_guard lock(m);
    EXPECT_EQ(errors[0], "state: state handler failure");
    ipc::set_handler_error_reporter(nullptr);
}

TEST(Fleet, AQuietCameraIsAskedAndASilentOneGoesOffline) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera(0);
    auto o = quick();
    o.max_command_timeouts = 2;
    o.probe_after = 300ms;
    Seen seen;
    ipc::Fleet fleet(o);
    seen.attach(fleet);
    fleet.add("cam", spec(0, false, true));
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online); }));
    // No video, no reports: the fleet's heartbeats keep it online.
    sim->clearRequests();
    ASSERT_TRUE(sim->waitRequest(10, 0, 10s, 3).has_value());
    EXPECT_EQ(fleet.status("cam")->state, S::online);

    ipcsim::Scripted none;
    none.reply = ipcsim::Reply::None;
    none.times = 100000;
    sim->script(none);
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::offline); }));
    EXPECT_EQ(fleet.status("cam")->last_error, ipc::errc::net);
    sim->clearScript();
    ASSERT_TRUE(seen.wait([&] { return seen.reached("cam", S::online, 2); }));
}
