// The C++ layer against the simulator: errors, handles, handlers, settings; ipc::Fleet with unruly cameras.
#include <gtest/gtest.h>

#include <future>

#include "camera_fixture.hpp"
#include "ipcsdk_fleet.hpp"

using namespace std::chrono_literals;
using testenv::Bytes;
using testenv::camera_ip;
using testenv::eventually;
using S = ipc::State;
using Transitions = std::vector<std::pair<S, S>>;

namespace {

const ipc::Credentials kAdmin{"admin", "admin"};
// Camera n of this process; TCP for cameras whose answers get lost (UDP then drops another camera's next answer).
ipc::CameraSpec spec(int n, bool video = false, bool tcp = false) {
    using T = ipc::Endpoint::Transport;
    return {{camera_ip(n), tcp ? T::tcp : T::udp, 5002}, kAdmin, video, true};
}

// Errors, the move-only handle, handlers, the settings lookup; every setting round-trips typed.
TEST(CppCamera, ErrorsHandleHandlersLookupAndEverySettingRoundTrips) {
    const auto& cat = ipc::category();
    EXPECT_STREQ(cat.name(), "ipcsdk");
    EXPECT_EQ(cat.message(static_cast<int>(0x80001005u)), "the camera refused user name or password");
    EXPECT_EQ(cat.message(0x12345), "unknown result code 0x00012345");
    EXPECT_STREQ(ipc::code_name(0x80001007u), "IPCSDK_ERR_NET");
    EXPECT_STREQ(ipc::code_name(0x80009999u), "unknown");
    EXPECT_EQ(ipc::make_error_code(0x80001007u), std::errc::timed_out);

    ipc::Sdk sdk;
    std::error_code ec;
    ipc::Sdk other(ec);
    EXPECT_EQ(ec, ipc::errc::sdk_exists);
    EXPECT_FALSE(other.owns());

    ipc::CameraRef stale(IPCSDK_HANDLE_BASE + 7);
    PTZCtrlRecord ptz{};
    try { stale.call<IPCPTZCtrl>(ptz); ADD_FAILURE() << "no exception"; } catch (const ipc::Error& e) {
        EXPECT_EQ(e.result(), 0x80001004u);
        EXPECT_STREQ(e.what(), "IPCPTZCtrl: handle 0, unknown, or logged out meanwhile");
    }
    stale.call<IPCReboot>(ec);
    EXPECT_EQ(ec, ipc::errc::bad_handle);

    auto sim = testenv::start_camera();
    EXPECT_FALSE(ipc::Camera::login(spec(0).endpoint, {"admin", "wrong"}, 5s, ec));
    EXPECT_EQ(ec, ipc::errc::auth);

    ipc::Camera tcp = ipc::Camera::login(spec(0, false, true).endpoint, kAdmin);
    const uint32_t h = tcp.handle();
    ASSERT_TRUE(testenv::is_handle(h));
    ipc::Camera moved = std::move(tcp);
    EXPECT_EQ(std::pair(tcp.handle(), moved.handle()), std::pair(0u, h));
    EXPECT_EQ(moved.get<SystemInfo>().deviceModel[0], 'I');
    moved.close(), moved.close();  // twice is fine
    EXPECT_EQ(std::pair(moved.handle(), testenv::peek(testenv::slot_of(h).inUse)), std::pair(0u, 0u));

    // The address is free again. A throwing handler is caught and reported.
    ipc::Camera cam = ipc::Camera::login(spec(0).endpoint, kAdmin);
    testenv::Recorder seenLock;
    std::vector<std::string> seen;  // the first frame's payload, the reports, what handlers threw
    auto add = [&](std::string what) { seenLock.add([&] { seen.push_back(std::move(what)); }); };
    ipc::set_handler_error_reporter([&](std::string_view kind, std::string_view what) { add(std::string(kind) + ": " += what); });
    std::atomic<int> frames{0};
    cam.on_frame([&](const ipc::Frame& f) { if (frames++ == 0) add(std::string(f.payload().begin(), f.payload().end())); });
    cam.on_report([&](const ipc::Report& r) {
        add(std::to_string(r.type) + ":" + std::string(r.body.begin(), r.body.end()));
        throw std::runtime_error("handler failure");
    });
    ASSERT_TRUE(sim->wait_report_connection());
    cam.open_video_channel();
    ASSERT_TRUE(sim->wait_video_connection());
    const Bytes payload = testenv::pattern(300, 5);
    sim->send_video_raw(ipcsim::Camera::video_frame(payload));
    ASSERT_TRUE(seenLock.wait([&] { return seen.size() == 1; }));
    sim->send_report(0x1003, {'a', 'b', 'c', 'd'});
    ASSERT_TRUE(seenLock.wait([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{std::string(payload.begin(), payload.end()), "4099:abcd", "report: handler failure"}));
    ipc::set_handler_error_reporter(nullptr);

    const ipc::SettingInfo* ntp = ipc::find_setting("ntp-conf");
    ASSERT_NE(ntp, nullptr);
    EXPECT_EQ(ipc::find_setting("no-such-setting"), nullptr);
    Bytes wire = testenv::pattern(136, 3);
    sim->set_record(3, 8, wire);
    NtpConfInfo rec{};
    cam.get(*ntp, std::as_writable_bytes(std::span(&rec, 1)));
    EXPECT_EQ(rec.word1, uint32_t{wire[0]} << 24 | uint32_t{wire[1]} << 16 | uint32_t{wire[2]} << 8 | wire[3]) << "big-endian";
    cam.set(*ipc::find_setting("sys-version"), std::as_bytes(std::span(&rec, 1)), ec);
    EXPECT_EQ(ec, ipc::errc::param);
    Bytes odd(135);
    cam.set(*ntp, std::as_bytes(std::span(odd)), ec);
    EXPECT_EQ(ec, ipc::errc::param);

    // Writable settings come back byte for byte (the buffer starts as them: bytes a get skips travel back).
    uint8_t seed = 1;
    ipc::for_each_setting([&](auto tag) {
        using T = typename decltype(tag)::type;
        constexpr const ipc::SettingInfo& info = decltype(tag)::info;
        if constexpr (!info.writable) {
            T record{};
            cam.get(record);
        } else {
            const size_t n = info.counted() ? 2 : 1;
            sim->set_record(info.get_class, info.get_code, testenv::pattern(n * sizeof(T), seed += 13));
            const Bytes held = sim->record(info.get_class, info.get_code);  // the PTZ value: clamped
            ASSERT_EQ(held.size(), n * sizeof(T)) << info.name;
            std::vector<T> records(n);
            std::memcpy(records.data(), held.data(), held.size());
            if constexpr (info.counted()) cam.get(std::span<T>(records));
            else cam.get(records[0]);
            sim->set_record(info.get_class, info.get_code, Bytes(held.size(), 0));
            if constexpr (info.counted()) cam.set(std::span<const T>(records));
            else cam.set(records[0]);
            Bytes expected = held;
            // These two sets send only the fields their gets fill, zero elsewhere.
            if (info.name == "image-isp-image-enhance") std::fill(expected.begin() + 5, expected.end(), 0);
            if (info.name == "image-isp-day-night") {
                std::fill(expected.begin() + 2, expected.begin() + 4, 0);
                std::fill(expected.begin() + 12, expected.end(), 0);
            }
            EXPECT_EQ(sim->record(info.get_class, info.get_code), expected) << info.name;
        }
    });
}

// ---- ipc::Fleet -------------------------------------------------------------------------

// Small pauses so that every test runs in seconds; no jitter unless a test asks.
using ms = std::chrono::milliseconds;
ipc::FleetOptions quick(ms initial = 200ms, ms max = 800ms, ms probe = 5s, int timeouts = 3) {
    return {.initial_backoff = initial, .max_backoff = max, .jitter = 0, .stale_after = 20s, .probe_after = probe,
            .max_command_timeouts = timeouts};
}
// No answer to the next n requests.
ipcsim::Scripted silence(int n) { return ipcsim::Scripted{ipcsim::Reply::None, {}, {}, 0, 0ms, n}; }

// What the fleet's handlers saw; they hold it, as the fleet's destructor does not wait for a running handler.
struct Seen : testenv::Recorder, std::enable_shared_from_this<Seen> {
    std::vector<ipc::StateChange> changes;
    std::vector<ipc::Retry> retries;
    int frames = 0;
    std::vector<uint32_t> reports;
    std::vector<std::string> errors;  // what handlers threw

    void attach(ipc::Fleet& f) {
        auto self = shared_from_this();
        f.on_state([self](const ipc::StateChange& c) { self->add([&] { self->changes.push_back(c); }); });
        f.on_retry([self](const ipc::Retry& r) { self->add([&] { self->retries.push_back(r); }); });
        f.on_frame([self](const std::string&, const ipc::Frame&) { self->add([&] { ++self->frames; }); });
        f.on_report([self](const std::string&, const ipc::Report& r) { self->add([&] { self->reports.push_back(r.type); }); });
    }
    Transitions transitions(const std::string& id) {
        Transitions v;
        for (const auto& c : read([&] { return changes; })) if (c.id == id) v.emplace_back(c.from, c.to);
        return v;
    }
    // Whether the camera entered s at least nth times (lock held); reaches() waits for it.
    bool reached(const std::string& id, S s, size_t nth = 1) {
        return std::count_if(changes.begin(), changes.end(), [&](auto& c) { return c.id == id && c.to == s; }) >= long(nth);
    }
    bool reaches(const std::string& id, S s, size_t nth = 1) { return wait([&] { return reached(id, s, nth); }); }
    std::vector<ipc::Retry> retriesOf(const std::string& id) {  // lock held
        auto v = retries;
        return std::erase_if(v, [&](auto& r) { return r.id != id; }), v;
    }
};

long slots_in_use() {
    return std::count_if(std::begin(g_DevManage), std::end(g_DevManage), [](auto& s) { return testenv::peek(s.inUse) != 0; });
}

// The library, a camera on camera_ip(0), and a fleet made by make() whose handlers fill seen.
class Fleet : public ::testing::Test {
protected:
    ipc::Fleet& make(ipc::FleetOptions o = quick()) {
        return fleet = std::make_unique<ipc::Fleet>(o), seen->attach(*fleet), *fleet;
    }
    ipc::Sdk sdk;
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
    std::unique_ptr<ipcsim::Camera> sim = testenv::start_camera(0);
    std::unique_ptr<ipc::Fleet> fleet;
};

TEST_F(Fleet, CameraTakenAwayAndBroughtBackIsOnlineWithChannelsRestored) {
    make().add("cam", spec(0, true));
    ASSERT_TRUE(seen->wait([&] { return seen->reached("cam", S::online) && seen->frames > 0; }));
    sim->stop();
    ASSERT_TRUE(seen->reaches("cam", S::offline));
    EXPECT_EQ(fleet->status("cam")->last_error, ipc::errc::channel_closed);
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(seen->reaches("cam", S::online, 2));
    EXPECT_EQ(fleet->status("cam")->reconnects, 1u);

    // Channels and heartbeat are back: frames and reports flow, the library beats again.
    ASSERT_TRUE(sim->wait_report_connection() && sim->wait_video_connection());
    EXPECT_EQ(std::pair(sim->report_connections(), sim->video_connections()), std::pair(1, 1));
    const int before = seen->read([&] { return seen->frames; });
    sim->send_report(0x1003, {9, 8, 7});
    EXPECT_TRUE(seen->wait([&] { return seen->frames > before + 5 && !seen->reports.empty(); }));
    EXPECT_EQ(seen->read([&] { return seen->reports.back(); }), 0x1003u);
    sim->clear_requests();
    EXPECT_TRUE(sim->wait_request(10, 0, 12s).has_value());

    // Added again right after remove(): online once the old login is released, no failed login.
    const size_t retries = seen->read([&] { return seen->retriesOf("cam").size(); });
    fleet->remove("cam");
    fleet->add("cam", spec(0, true));
    ASSERT_TRUE(seen->reaches("cam", S::online, 3));
    EXPECT_EQ(seen->transitions("cam"), (Transitions{{S::connecting, S::online}, {S::online, S::offline},
                                                  {S::offline, S::online}, {S::connecting, S::online}}));
    EXPECT_EQ(seen->read([&] { return seen->retriesOf("cam").size(); }), retries);
}

// Pauses double up to the cap, jittered both ways, each over before the next login; refused logins wait the cap.
TEST_F(Fleet, BackoffPausesGrowAreCappedAndJitteredBothWays) {
    auto refusing = testenv::start_camera(1);
    refusing->refuse_logins(true);
    sim->script(silence(1000));
    testenv::Recorder at;
    std::vector<std::chrono::steady_clock::time_point> logins;
    sim->on_request([&](const ipcsim::Request& r) {
        if (r.msgClass == 0 && r.code == 0) at.add([&] { logins.push_back(std::chrono::steady_clock::now()); });
    });
    auto o = quick(100ms, 250ms);  // a cap that is no doubling of the first pause
    o.jitter = 0.2;
    make(o).add("cam", spec(0));
    fleet->add("auth", spec(1, false, true));
    ASSERT_TRUE(seen->wait([&] { return seen->retriesOf("cam").size() >= 6 && seen->retriesOf("auth").size() >= 20; }, 30s));
    fleet->remove("cam");
    refusing->refuse_logins(false);
    ASSERT_TRUE(seen->reaches("auth", S::online));
    EXPECT_EQ(seen->transitions("auth"), (Transitions{{S::connecting, S::auth_failed}, {S::auth_failed, S::online}}));
    const int nominal[] = {100, 200, 250, 250, 250, 250};
    std::lock_guard lock(seen->m);
    std::lock_guard lock2(at.m);
    ASSERT_GE(logins.size(), 6u);
    const auto retries = seen->retriesOf("cam");
    for (int i = 0; i < 6; ++i) {
        const auto& r = retries[i];
        EXPECT_EQ(r.failures, static_cast<unsigned>(i + 1));
        EXPECT_EQ(r.error, ipc::errc::net);
        EXPECT_TRUE(r.pause.count() >= nominal[i] * 8 / 10 && r.pause.count() <= nominal[i] * 12 / 10) << i;
        EXPECT_TRUE(i == 5 || logins[i + 1] - logins[i] >= r.pause) << i;
    }
    int shorter = 0;
    for (const auto& r : seen->retriesOf("auth")) {
        EXPECT_TRUE(r.pause >= 200ms && r.pause <= 300ms && r.error == ipc::errc::auth) << r.pause.count();
        shorter += r.pause < 250ms;
    }
    EXPECT_GT(shorter, 0);
}

// Logins dropped at once keep their pauses growing; a silent camera goes offline on heartbeat time-outs.
TEST_F(Fleet, DroppedLoginsKeepGrowingASilentCameraGoesOffline) {
    auto quiet = testenv::start_camera(2);
    std::atomic<bool> stop{false};
    std::thread drop([&] {  // closes the report channel as soon as a login opened it
        while (!stop) {
            if (sim->report_connections() > 0) sim->close_report_channels();
            std::this_thread::sleep_for(5ms);
        }
    });
    auto o = quick(100ms, 400ms, 300ms, 2);
    o.stale_after = 0ms;  // no staleness check: only the heartbeats' timeouts take "quiet" offline
    make(o).add("drop", spec(0));
    fleet->add("quiet", spec(2, false, true));
    const bool enough = seen->wait([&] { return seen->retriesOf("drop").size() >= 4; });
    stop = true;
    drop.join();
    ASSERT_TRUE(enough);

    ASSERT_TRUE(seen->reaches("quiet", S::online));
    quiet->clear_requests();
    ASSERT_TRUE(quiet->wait_request(10, 0, 10s, 3).has_value());
    EXPECT_EQ(seen->transitions("quiet"), (Transitions{{S::connecting, S::online}}));
    quiet->script(silence(100000));
    ASSERT_TRUE(seen->reaches("quiet", S::offline));
    EXPECT_EQ(fleet->status("quiet")->last_error, ipc::errc::net);
    quiet->clear_script();
    ASSERT_TRUE(seen->reaches("quiet", S::online, 2));

    std::lock_guard lock(seen->m);
    const int nominal[] = {100, 200, 400, 400};
    const auto dropped = seen->retriesOf("drop");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dropped[i].pause.count(), nominal[i]) << i;
        EXPECT_EQ(dropped[i].error, ipc::errc::channel_closed) << i;
    }
}

// Destroyed with cameras in every state and a handler running: no wait for it, all released, no handler after.
TEST_F(Fleet, DestroyedWithCamerasInEveryStateAndAHandlerRunning) {
    auto away = testenv::start_camera(1), refusing = testenv::start_camera(2), slow = testenv::start_camera(3);
    away->stop();
    refusing->refuse_logins(true);
    slow->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, 1500ms});
    const size_t threads = testenv::count_dir("/proc/self/task");
    make();
    fleet->add("online", spec(0, true));
    fleet->add("offline", spec(1, false, true));
    fleet->add("auth", spec(2));
    ASSERT_TRUE(seen->wait([&] { return seen->reached("online", S::online) && seen->reached("offline", S::offline) &&
                                        seen->reached("auth", S::auth_failed); }));
    // Added last, so that its late answer is still on its way however long the others took.
    fleet->add("connecting", spec(3, false, true));
    ASSERT_TRUE(slow->wait_request(0, 0, 10s).has_value());
    EXPECT_EQ(fleet->status("connecting")->state, S::connecting);
    auto gate = std::make_shared<std::promise<void>>();
    fleet->on_state([s = seen, open = gate->get_future().share()](const ipc::StateChange& c) {
        s->add([&] { s->changes.push_back(c); });
        open.wait_for(60s);  // until the fleet is gone
    });
    sim->close_report_channels();  // "online" goes offline: its handler blocks
    ASSERT_TRUE(seen->reaches("online", S::offline));
    fleet.reset();
    std::this_thread::sleep_for(200ms);  // a handler running at the destruction returns
    const size_t changes = seen->read([&] { return seen->changes.size(); });
    EXPECT_EQ(slots_in_use(), 0);
    EXPECT_TRUE(eventually([&] { return sim->report_connections() == 0 && sim->video_connections() == 0; }, 20s));
    gate->set_value();
    EXPECT_EQ(testenv::settled("/proc/self/task", threads), threads);
    std::this_thread::sleep_for(2s);  // the slow login's answer comes and goes
    EXPECT_EQ(seen->read([&] { return seen->changes.size(); }), changes);
}

// Two command timeouts take a camera offline; handler exceptions are caught; with the report handler
// stuck, reports beyond the byte limit are dropped and counted, the rest delivered in order.
TEST_F(Fleet, CommandTimeoutsTakeACameraOfflineHandlerExceptionsAreCaughtAndReportsBeyondTheLimitDropped) {
    ipc::set_handler_error_reporter([s = seen](std::string_view kind, std::string_view what) {
        s->add([&] { s->errors.push_back(std::string(kind) + ": " += what); });
    });
    auto o = quick(200ms, 800ms, 60s, 2);  // no heartbeat of the fleet's own between the two commands
    o.max_queued_report_bytes = 4500;      // four 1000-byte bodies
    make(o).on_state([s = seen](const ipc::StateChange& c) {
        s->add([&] { s->changes.push_back(c); });
        throw std::runtime_error("state handler failure");
    });
    std::error_code ec;
    fleet->with("nobody", [](ipc::CameraRef&) {}, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_unknown);
    fleet->add("cam", spec(0, false, true));
    EXPECT_THROW(fleet->add("cam", spec(0)), ipc::Error);
    ASSERT_TRUE(seen->reaches("cam", S::online));
    int value = 7;  // f may return a reference
    auto held = fleet->with("cam", [&](ipc::CameraRef&) -> int& { return value; }, ec);
    static_assert(std::is_same_v<decltype(held), std::optional<std::reference_wrapper<int>>>);
    EXPECT_EQ(&held.value().get(), &value);
    sim->script(silence(2));
    for (int i = 0; i < 2; ++i) {
        std::error_code command;
        fleet->with("cam", [&](ipc::CameraRef& c) { NtpConfInfo ntp{}; c.get(ntp, command); }, ec);
        EXPECT_FALSE(ec);
        EXPECT_EQ(command, ipc::errc::net);
    }
    ASSERT_TRUE(seen->reaches("cam", S::offline));
    EXPECT_EQ(fleet->status("cam")->last_error, ipc::errc::net);
    EXPECT_FALSE(fleet->with("cam", [](ipc::CameraRef& c) { return c.handle(); }, ec).has_value());
    EXPECT_EQ(ec, ipc::errc::fleet_not_online);
    ASSERT_TRUE(seen->reaches("cam", S::online, 2));
    // Each of the three state handler calls threw; the fleet carried on after each.
    ASSERT_TRUE(seen->wait([&] { return seen->errors.size() == 3; }));
    EXPECT_EQ(seen->errors[0], "state: state handler failure");
    ipc::set_handler_error_reporter(nullptr);

    auto gate = std::make_shared<std::promise<void>>();
    fleet->on_report([s = seen, open = gate->get_future().share()](const std::string&, const ipc::Report& r) {
        open.wait_for(60s);
        s->add([&] { s->reports.push_back(uint32_t{r.body[0]} | uint32_t{r.body[1]} << 8); });
    });
    ASSERT_TRUE(sim->wait_report_connection());
    sim->send_numbered_reports(0x1003, 50, 1000);
    EXPECT_TRUE(eventually([&] { return fleet->status("cam")->reports_dropped == 46; }, 20s));
    gate->set_value();
    ASSERT_TRUE(seen->wait([&] { return seen->reports.size() == 4; }));
    EXPECT_EQ(seen->reports, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(fleet->status("cam")->reports_dropped, 46u);
    EXPECT_EQ(fleet->status("cam")->frames_dropped, 0u);
}

// A CameraRef copied out of with() fails once its login is gone, reaching no camera; removed while its
// next login is in flight, a camera stops there.
TEST_F(Fleet, RemovedDuringItsReconnectItStopsAndACameraRefCopiedOutFailsOnceItsLoginIsGone) {
    make().add("cam", spec(0, false, true));
    ASSERT_TRUE(seen->reaches("cam", S::online));
    ipc::CameraRef first = fleet->with("cam", [](ipc::CameraRef& c) { return c; });
    EXPECT_EQ(first.get<SystemInfo>().deviceModel[0], 'I');
    ASSERT_TRUE(sim->wait_report_connection());
    sim->close_report_channels();
    ASSERT_TRUE(seen->reaches("cam", S::online, 2));
    std::error_code ec;
    NtpConfInfo ntp{};
    first.get(ntp, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_not_online) << "a login of the past";
    ipc::CameraRef second = fleet->with("cam", [](ipc::CameraRef& c) { return c; });
    // The next login is answered late (TCP waits long enough for it): removed meanwhile.
    ASSERT_TRUE(sim->wait_report_connection());
    sim->close_report_channels();
    ASSERT_TRUE(seen->reaches("cam", S::offline, 2));
    sim->clear_requests();
    sim->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, 1500ms});
    ASSERT_TRUE(sim->wait_request(0, 0, 10s).has_value());
    fleet->remove("cam");
    EXPECT_TRUE(eventually([&] { return slots_in_use() == 0; }, 20s));
    const int logins = sim->login_count();
    std::this_thread::sleep_for(1s);  // several backoff pauses
    EXPECT_EQ(std::pair(sim->login_count(), slots_in_use()), std::pair(logins, 0L));
    EXPECT_FALSE(seen->reached("cam", S::online, 3));
    EXPECT_THROW(second.call<IPCReboot>(), ipc::Error);
    fleet->add("cam", spec(0, false, true));  // the id is free again; the login may get the same handle
    ASSERT_TRUE(seen->reaches("cam", S::online, 3));
    second.get(ntp, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_unknown);
    fleet.reset();
    second.get(ntp, ec);
    EXPECT_EQ(ec, ipc::errc::fleet_stopped);
    for (const auto& r : sim->requests()) EXPECT_NE(std::pair(int(r.msgClass), int(r.code)), std::pair(3, 8)) << "reached the camera";
}

// remove() returns after the camera's last handler call (backlog included), from its own handler at once.
TEST_F(Fleet, NoHandlerRunsForACameraOnceRemoveReturned) {
    ipcsim::Config fast;
    fast.frames_per_second = 100;
    auto busy = testenv::start_camera(1, fast);
    std::atomic<bool> removed{false};
    std::atomic<int> before{0}, after{0};
    make();
    fleet->on_frame([&](const std::string& id, const ipc::Frame&) {
        if (id != "busy") return;
        ++(removed ? after : before);
        std::this_thread::sleep_for(20ms);
    });
    fleet->on_state([&, s = seen](const ipc::StateChange& c) {
        if (removed && c.id == "busy") ++after;
        if (c.id == "self" && c.to == S::online) fleet->remove("self");
        s->add([&] { s->changes.push_back(c); });
    });
    fleet->add("busy", spec(1, true));
    fleet->add("self", spec(0));
    ASSERT_TRUE(eventually([&] { return before > 20; }, 20s));
    fleet->remove("busy");
    removed = true;
    std::this_thread::sleep_for(500ms);  // a backlog would be handled by now
    EXPECT_EQ(after, 0);
    ASSERT_TRUE(seen->reaches("self", S::online));
    EXPECT_EQ(fleet->status("self"), std::nullopt);
    EXPECT_TRUE(eventually([&] { return slots_in_use() == 0; }, 20s));
    fleet.reset();  // before the counters its handlers use
}

// Frozen cameras hold up no other login; retry_now() ends a pause; logins not started are dropped unsent.
TEST_F(Fleet, LoginsDoNotWaitBehindFrozenCamerasRetryNowEndsAPauseAndLoginsNotStartedAreDropped) {
    std::vector<std::unique_ptr<ipcsim::Camera>> frozen;
    for (int i = 1; i <= 6; ++i) frozen.push_back(testenv::start_camera(i)), frozen.back()->script(silence(1000));
    make(quick(200ms, 60s));
    sim->refuse_logins(true);
    fleet->add("cam", spec(0, false, true));
    ASSERT_TRUE(seen->reaches("cam", S::auth_failed));
    for (int i = 1; i <= 6; ++i) fleet->add("frozen" + std::to_string(i), spec(i, false, true));
    for (auto& f : frozen) ASSERT_TRUE(f->wait_request(0, 0, 10s).has_value());
    sim->refuse_logins(false);
    fleet->retry_now("cam");  // its login runs beside the frozen ones (each held for seconds)
    ASSERT_TRUE(seen->reaches("cam", S::online));
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(seen->transitions("frozen" + std::to_string(i)).empty()) << "still logging in";
    EXPECT_THROW(fleet->retry_now("nobody"), ipc::Error);

    fleet.reset();
    for (auto& f : frozen) f->clear_requests();
    auto o = quick();
    o.workers = 1, make(o);
    for (int i = 1; i <= 3; ++i) fleet->add("frozen" + std::to_string(i), spec(i, false, true));
    ASSERT_TRUE(frozen[0]->wait_request(0, 0, 10s).has_value());
    fleet->remove("frozen2");
    fleet.reset();
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(frozen[1]->wait_request(0, 0, 0ms).has_value());
    EXPECT_FALSE(frozen[2]->wait_request(0, 0, 0ms).has_value());
}

// Destroying a fleet inside its own with(), or closing the Sdk before a fleet, ends the process with a message.
TEST(FleetDeathTest, DestroyedInsideItsOwnWithOrAfterTheSdk) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH({ auto sdk = std::make_unique<ipc::Sdk>(); ipc::Fleet f; sdk.reset(); }, "ipc::Sdk closed while 1 ipc::Fleet");
    EXPECT_DEATH({
        ipc::Sdk sdk;
        auto sim = testenv::start_camera(0);
        auto f = std::make_unique<ipc::Fleet>(quick());
        f->add("cam", spec(0));
        while (f->status("cam")->state != S::online) std::this_thread::sleep_for(10ms);
        f->with("cam", [&](ipc::CameraRef&) { f.reset(); });
    }, "destroyed inside its own Fleet::with");
}

}  // namespace
