// The library's allocations, file opens and socket creations are wrapped; while armed the k-th fails, k = 1, 2, ...
// Each time: the documented result (or a dropped line), the next call succeeds, nothing left behind.
// The camera runs in a child process (ipcsim): its allocations don't count.
#include <arpa/inet.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>

#include "camera_fixture.hpp"

namespace fail {
std::atomic<bool> armed{false};
std::atomic<long> seen{0}, at{0}, injected{0};
bool now() {
    if (!armed.load(std::memory_order_relaxed) || seen.fetch_add(1) + 1 != at.load()) return false;
    return injected.fetch_add(1), true;
}
}  // namespace fail

// __wrap_NAME fails as the last argument says when its turn comes, and calls __real_NAME otherwise.
#define WRAP(ret, name, params, args, ...) \
    extern "C" ret __real_##name params;   \
    extern "C" ret __wrap_##name params {  \
        if (fail::now()) __VA_ARGS__;      \
        return __real_##name args;         \
    }
WRAP(void*, malloc, (size_t n), (n), return errno = ENOMEM, nullptr)
WRAP(void*, calloc, (size_t n, size_t size), (n, size), return errno = ENOMEM, nullptr)
WRAP(void*, mmap, (void* a, size_t n, int p, int f, int fd, off_t o), (a, n, p, f, fd, o), return errno = ENOMEM, MAP_FAILED)
WRAP(void*, realloc, (void* p, size_t n), (p, n), return errno = ENOMEM, nullptr)
WRAP(FILE*, fopen, (const char* path, const char* mode), (path, mode), return errno = ENOMEM, nullptr)
WRAP(int, socket, (int domain, int type, int protocol), (domain, type, protocol), return errno = ENOBUFS, -1)
WRAP(int, eventfd, (unsigned initval, int flags), (initval, flags), return errno = ENOMEM, -1)
WRAP(void*, _Znwm, (size_t n), (n), throw std::bad_alloc())
WRAP(void*, _Znam, (size_t n), (n), throw std::bad_alloc())
WRAP(void*, _ZnwmRKSt9nothrow_t, (size_t n, const std::nothrow_t& t), (n, t), return nullptr)

using namespace testenv;
using std::chrono::milliseconds;

namespace {

std::atomic<int> g_frames{0};
pid_t g_child = -1;  // the camera's process

// Runs `call` with the k-th acquisition failing for k = 1, 2, ... until a run injects nothing;
// `settle` keeps the failure armed for the threads the call started. `check(result, injected)`
// runs disarmed after each. Returns the number of acquisitions on the path.
template <class Call, class Check>
long every_failure(Call call, Check check, milliseconds settle = milliseconds(0)) {
    for (long k = 1; k < 1000; ++k) {
        fail::seen = 0, fail::injected = 0, fail::at = k, fail::armed = true;
        const auto r = call();  // an exception out of the C interface fails the case
        std::this_thread::sleep_for(settle);
        fail::armed = false;
        const bool injected = fail::injected > 0;
        SCOPED_TRACE("acquisition " + std::to_string(k) + (injected ? " failed" : " (none failed)"));
        check(r, injected);
        if (::testing::Test::HasFatalFailure() || !injected) return k - 1;
    }
    ADD_FAILURE() << "no end to the acquisitions";
    return 0;
}

bool reports_flow(uint32_t h) {  // a position request is answered through the report channel
    GpsInfoRequest g{};
    uint8_t out[256];
    return IPCGpsInfo(h, &g, 1, out, sizeof out, 5) == 48;
}

bool video_flows(uint32_t h) {  // frames arrive once the stream is asked for
    if (StartVideoRequest(h) < 0) return false;
    VideoStartInfo start{};
    IPCStartVideo(h, &start);
    const int before = g_frames.load();
    return eventually([&] { return g_frames.load() > before + 2; }, milliseconds(5000));
}

long login_path(uint32_t netType) {
    auto check = [&](uint32_t h, bool injected) {
        if (is_handle(h)) DeviceLogout(h);
        else EXPECT_TRUE(injected && h == IPCSDK_ERR_SOCKET) << std::hex << h;  // documented: socket or buffers
        const uint32_t again = login(camera_ip(), netType);
        ASSERT_TRUE(is_handle(again)) << std::hex << again;
        EXPECT_TRUE(reports_flow(again)) << "report channel of the next login";
        DeviceLogout(again);
    };
    const long sites = every_failure([&] { return login(camera_ip(), netType); }, check, milliseconds(200));
    EXPECT_GE(sites, 10) << "socket, nine slot buffers, the report channel";
    return sites;
}

long channel_path() {
    SetVideoFrameCallBack([](uint32_t, uint8_t*) { return ++g_frames, 0; });
    const uint32_t h = login(camera_ip());
    EXPECT_TRUE(is_handle(h));
    const long video = every_failure([&] { return StartVideoRequest(h); }, [&](int32_t r, bool) {
            EXPECT_TRUE(r == 0 || r == -1) << r;  // documented: 0 or -1
            EXPECT_TRUE(video_flows(h)) << "the next start";
        }, milliseconds(200));
    EXPECT_GE(video, 3) << "socket, receive buffer, start record";
    const long report = every_failure([&] { return StartDataReport(h); }, [&](int32_t r, bool) {
            EXPECT_TRUE(r == -1 || r > 0) << r;  // documented: descriptor or -1
            EXPECT_GT(StartDataReport(h), 0) << "the next start";
            EXPECT_TRUE(reports_flow(h));
        }, milliseconds(200));
    // The waiting commands acquire nothing (they wait on the slot's own buffers): counted, never failed.
    std::vector<uint8_t> out(64 << 10);
    SimuSnapInfo snap{};
    DistantInfo distance{};
    fail::seen = 0, fail::at = 0, fail::armed = true;
    EXPECT_GT(IPCSIMUSNAP(h, &snap, 1, out.data(), uint32_t(out.size()), 5), 660u);
    EXPECT_TRUE(reports_flow(h));
    EXPECT_EQ(IPCDistantInfoSet(h, &distance, 1, out.data(), 256, 5), 128u);
    fail::armed = false;
    EXPECT_EQ(fail::seen, 0) << "acquisitions of the waiting commands";
    DeviceLogout(h);
    std::printf("video channel %ld, report channel %ld\n", video, report);
    return video + report;
}

// The trace file, opened on first use and again on rotation past 8 MiB: a line that meets a failed
// open is dropped (-1, as every call returns), the next call writes its line.
long trace_path() {
    long sites = 0;
    for (bool full : {false, true}) {
        int n = 0;
        auto call = [&] {
            fail::armed = false;  // the test's own file work is not on the path
            if (s_fp) std::fclose(std::exchange(s_fp, nullptr));
            std::remove("IPCSDK_log");
            if (full) std::ofstream("IPCSDK_log", std::ios::binary) << std::string(0x800001, 'x');
            fail::armed = true;
            return sdk_print("lost %d %d\n", full, ++n);
        };
        sites += every_failure(call, [&](int r, bool injected) {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(sdk_print("kept %d %d\n", full, n), -1);
            const std::string text = read_file("IPCSDK_log"), tail = std::to_string(full) + " " + std::to_string(n);
            EXPECT_NE(text.find("kept " + tail), std::string::npos);
            EXPECT_EQ(text.find("lost " + tail) == std::string::npos, injected);
        });
    }
    EXPECT_GE(sites, 2) << "the first open and the open after rotation";
    return sites;
}

// The debug output's socket, made on first use: a line that meets its failure is dropped, the next goes out.
long debug_path() {
    DebugCapture capture(false);
    EXPECT_TRUE(capture.ok());
    int n = 0;
    const long sites = every_failure([&] { return IPCSdkDebug("lost %d", ++n), 0; }, [&](int, bool injected) {
        IPCSdkDebug("kept %d", n);
        const std::string lost = "lost " + std::to_string(n), kept = "kept " + std::to_string(n);
        EXPECT_EQ(capture.lines(100), (injected ? std::vector{kept} : std::vector{lost, kept}));
        capture.clear();
    });
    EXPECT_EQ(sites, 1) << "the socket";
    return sites;
}

struct Path { const char* name; long (*run)(); };  // run: the number of acquisitions on the path
const Path kPaths[] = {{"LoginOverUdp", [] { return login_path(1); }}, {"LoginOverTcp", [] { return login_path(2); }},
                       {"ChannelStartAndWaitingCommands", channel_path}, {"TraceFile", trace_path},
                       {"DebugOutput", debug_path}};  // the debug socket stays open: no descriptor count
void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }

// A camera in a child process, on this process's address; descriptors and threads counted.
class AllocFailure : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        const std::string ip = camera_ip();
        const char* argv[] = {IPCSIM_PATH, "--ip", ip.c_str(), "--quiet", "--report-delay", "20", "--fps", "50", nullptr};
        ASSERT_EQ(posix_spawn(&g_child, IPCSIM_PATH, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        sockaddr_in a{AF_INET, htons(5002), {inet_addr(ip.c_str())}, {}};
        ASSERT_TRUE(eventually([&] {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            return close(fd), up;
        })) << "the simulator did not start";
        std::thread([] {}).join();  // a sanitizer's helper thread, before the counts
        sdk_print("allocation failure\n");  // the trace file and the debug socket stay open
        if (GetParam().run != debug_path) IPCSdkDebug("allocation failure");
        ASSERT_EQ(IPCSdkInit(), 0u);
        census = Census{};
    }
    void TearDown() override {
        IPCSdkUnInit();
        if (g_child > 0) kill(g_child, SIGTERM), waitpid(g_child, nullptr, 0);
    }
    Census census;
};

TEST_P(AllocFailure, EachAcquisitionFailsOnce) {
    const long sites = GetParam().run();
    EXPECT_TRUE(GetParam().run == debug_path || census.back()) << "a descriptor or a thread left behind";
    std::printf("%s: %ld acquisitions, each failed once\n", GetParam().name, sites);
}

INSTANTIATE_TEST_SUITE_P(Paths, AllocFailure, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& i) { return std::string(i.param.name); });

}  // namespace
