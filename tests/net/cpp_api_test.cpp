// The C++ layer against the simulator: errors, the camera handle, handlers and the settings table.
#include <gtest/gtest.h>

#include "camera_fixture.hpp"
#include "ipcsdk.hpp"

using namespace std::chrono_literals;
using testenv::Bytes;

namespace {
ipc::Endpoint endpoint(ipc::Endpoint::Transport t = ipc::Endpoint::Transport::udp) { return {testenv::camera_ip(), t, 5002}; }
const ipc::Credentials kAdmin{"admin", "admin"};
}  // namespace

TEST(CppErrors, CodesNamesAndMessages) {
    const auto& cat = ipc::category();
    EXPECT_STREQ(cat.name(), "ipcsdk");
    EXPECT_EQ(cat.message(static_cast<int>(0x80001005u)), "the camera refused user name or password");
    EXPECT_EQ(cat.message(static_cast<int>(0x80002004u)), "all 256 slots are in use");
    EXPECT_EQ(cat.message(-3), "no TCP answer");
    EXPECT_EQ(cat.message(0x12345), "unknown result code 0x00012345");
    EXPECT_STREQ(ipc::code_name(0x80001007u), "IPCSDK_ERR_NET");
    EXPECT_STREQ(ipc::code_name(0x80009999u), "unknown");
    std::error_code ec = ipc::make_error_code(0x80001007u);
    EXPECT_EQ(ec, ipc::errc::net);
    EXPECT_EQ(ec, std::errc::timed_out);
    EXPECT_EQ(ipc::make_error_code(0x80001005u), std::errc::permission_denied);

    ipc::Sdk sdk;
    std::error_code second;
    ipc::Sdk other(second);
    EXPECT_EQ(second, ipc::errc::sdk_exists);
    EXPECT_FALSE(other.owns());

    ipc::CameraRef stale(IPCSDK_HANDLE_BASE + 7);
    auto thrown = [](auto call) -> std::string {  // result code (0x80001004 = 2147487748) and text
        try {
            call();
        } catch (const ipc::Error& e) {
            return std::to_string(e.result()) + " " + e.what();
        }
        return "no exception";
    };
    EXPECT_EQ(thrown([&] { stale.get<NtpConfInfo>(); }), "2147487748 IPCNtpConfGet: handle 0, unknown, or logged out meanwhile");
    PTZCtrlRecord r{};
    EXPECT_EQ(thrown([&] { stale.call<IPCPTZCtrl>(r); }), "2147487748 IPCPTZCtrl: handle 0, unknown, or logged out meanwhile");
    stale.call<IPCReboot>(ec);
    EXPECT_EQ(ec, ipc::errc::bad_handle);
}

TEST(CppCamera, AuthMoveOnlyHandleHandlersAndRuntimeLookup) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera();
    std::error_code ec;
    ipc::Camera refused = ipc::Camera::login(endpoint(), {"admin", "wrong"}, 5s, ec);
    EXPECT_EQ(ec, ipc::errc::auth);
    EXPECT_FALSE(refused);
    EXPECT_THROW(ipc::Camera::login(endpoint(), {"admin", "wrong"}), ipc::Error);

    ipc::Camera tcp = ipc::Camera::login(endpoint(ipc::Endpoint::Transport::tcp), kAdmin);
    const uint32_t h = tcp.handle();
    ASSERT_TRUE(testenv::is_handle(h));
    ipc::Camera moved = std::move(tcp);
    EXPECT_EQ(tcp.handle(), 0u);
    EXPECT_EQ(moved.handle(), h);
    EXPECT_EQ(moved.get<SystemInfo>().deviceModel[0], 'I');
    moved.close();
    moved.close();
    EXPECT_EQ(moved.handle(), 0u);
    EXPECT_EQ(testenv::peek(testenv::slot_of(h).inUse), 0u);

    // The address is free again. A throwing handler is caught and reported.
    ipc::Camera cam = ipc::Camera::login(endpoint(), kAdmin);
    testenv::Recorder seenLock;
    std::vector<std::string> seen;  // the first frame's payload, the reports, what handlers threw
    auto add = [&](std::string what) { seenLock.add([&] { seen.push_back(std::move(what)); }); };
    ipc::set_handler_error_reporter([&](std::string_view kind, std::string_view what) { add(std::string(kind) + ": " + std::string(what)); });
    std::atomic<int> frames{0};
    cam.on_frame([&](const ipc::Frame& f) {
        if (frames++ == 0) add(std::string(f.payload().begin(), f.payload().end()));
    });
    cam.on_report([&](const ipc::Report& r) {
        add(std::to_string(r.type) + ":" + std::string(r.body.begin(), r.body.end()));
        throw std::runtime_error("handler failure");
    });
    ASSERT_TRUE(sim->waitReportConnection());
    cam.open_video_channel();
    ASSERT_TRUE(sim->waitVideoConnection());
    const Bytes payload = testenv::pattern(300, 5);
    sim->sendVideoRaw(ipcsim::Camera::videoFrame(payload));
    ASSERT_TRUE(seenLock.wait([&] { return seen.size() == 1; }));
    sim->sendReport(0x1003, {'a', 'b', 'c', 'd'});
    ASSERT_TRUE(seenLock.wait([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{std::string(payload.begin(), payload.end()), "4099:abcd", "report: handler failure"}));
    ipc::set_handler_error_reporter(nullptr);

    const ipc::SettingInfo* ntp = ipc::find_setting("ntp-conf");
    ASSERT_NE(ntp, nullptr);
    EXPECT_EQ(ipc::find_setting("no-such-setting"), nullptr);
    Bytes wire = testenv::pattern(136, 3);
    sim->setRecord(3, 8, wire);
    NtpConfInfo rec{};
    cam.get(*ntp, std::as_writable_bytes(std::span(&rec, 1)));
    EXPECT_EQ(rec.word1, uint32_t{wire[0]} << 24 | uint32_t{wire[1]} << 16 | uint32_t{wire[2]} << 8 | wire[3]) << "big-endian";
    cam.set(*ipc::find_setting("sys-version"), std::as_bytes(std::span(&rec, 1)), ec);
    EXPECT_EQ(ec, ipc::errc::param);
    Bytes odd(135);
    cam.set(*ntp, std::as_bytes(std::span(odd)), ec);
    EXPECT_EQ(ec, ipc::errc::param);
}

// Each writable setting read with the typed get and written back with the typed set: the camera
// must then hold the same bytes (the buffer starts as them, so bytes a get skips travel back).
// Read-only entries are read once; every request carries the table's class and code.
TEST(CppSettings, EveryPairRoundTripsTypedThroughTheCamera) {
    ipc::Sdk sdk;
    auto sim = testenv::start_camera();
    ipc::Camera cam = ipc::Camera::login(endpoint(), kAdmin);
    int pairs = 0;
    uint8_t seed = 1;
    auto last = [&] {
        auto r = sim->requests();
        return r.empty() ? std::pair<int, int>{-1, -1} : std::pair<int, int>{r.back().msgClass, r.back().code};
    };
    ipc::for_each_setting([&](auto tag) {
        using T = typename decltype(tag)::type;
        constexpr const ipc::SettingInfo& info = decltype(tag)::info;
        if constexpr (!info.writable) {
            T record{};
            cam.get(record);
            EXPECT_EQ(last(), (std::pair<int, int>{info.get_class, info.get_code})) << info.name;
        } else {
            ++pairs;
            const size_t n = info.counted() ? 2 : 1;
            sim->setRecord(info.get_class, info.get_code, testenv::pattern(n * sizeof(T), seed += 13));
            const Bytes held = sim->record(info.get_class, info.get_code);  // the PTZ value: clamped
            ASSERT_EQ(held.size(), n * sizeof(T)) << info.name;
            std::vector<T> records(n);
            std::memcpy(records.data(), held.data(), held.size());
            if constexpr (info.counted()) cam.get(std::span<T>(records));
            else cam.get(records[0]);
            EXPECT_EQ(last(), (std::pair<int, int>{info.get_class, info.get_code})) << info.name;
            sim->setRecord(info.get_class, info.get_code, Bytes(held.size(), 0));
            if constexpr (info.counted()) cam.set(std::span<const T>(records));
            else cam.set(records[0]);
            EXPECT_EQ(last(), (std::pair<int, int>{info.set_class, info.set_code})) << info.name;
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
    EXPECT_EQ(pairs, 25);
}
