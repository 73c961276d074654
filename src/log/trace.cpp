// The trace file: one time-stamped line per call, appended to "IPCSDK_log" in the current
// directory and flushed at once; a file past 8 MiB is renamed with its date and time. A line
// costs one write and one fstat (a seek to the end would read the file's last block back), and
// the time stamp is formatted once a second. The size is the file's own, so lines that other
// writers append count too.
#include <ipcsdk.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

FILE* s_fp = nullptr;

namespace {

constexpr unsigned long kMaxSize = 0x800000;  // a file of exactly this size is kept

// All writer state lives under one lock held for the whole call: the shared buffers, the size
// check and the rotation, so lines never mix and a full file is rotated once.
std::mutex g_mutex;
char g_fileName[128] = "IPCSDK_log";
char g_rotatePrefix[64] = "sdk_log";
char g_message[1024];
char g_name[128];
char g_line[2000];
time_t g_stampTime = -1;  // the second g_stamp shows
char g_stamp[32];

// Closes the full file, moves it aside under a dated name and starts a new empty one.
// Leaves s_fp null when the new file cannot be created.
void rotate() {
    std::fclose(s_fp);
    s_fp = nullptr;
    std::puts("3");
    time_t now = time(nullptr);
    std::puts("4");
    tm t{};
    localtime_r(&now, &t);
    std::snprintf(g_name, sizeof g_name, "%s%04d_%02d_%02d_%02d_%02d_%02d_app.log", g_rotatePrefix,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (std::rename(g_fileName, g_name) != 0) {
        std::puts("shell log rename log file faild!");
        std::remove(g_fileName);
    }
    s_fp = std::fopen(g_fileName, "w+");
    if (!s_fp) std::printf("big %s error,save file flag\n", g_fileName);
}

// Opens the file when it is not open; false when it cannot be.
bool ensure_open() {
    if (s_fp) return true;
    s_fp = std::fopen(g_fileName, "a+");
    return s_fp != nullptr;
}

// The open file's size; an unknown size reads as huge, so the file is rotated.
unsigned long file_size() {
    struct stat st;
    return fstat(fileno(s_fp), &st) == 0 ? static_cast<unsigned long>(st.st_size) : ~0ul;
}

const char* stamp() {
    const time_t now = time(nullptr);
    if (now != g_stampTime) {
        tm t{};
        localtime_r(&now, &t);
        std::snprintf(g_stamp, sizeof g_stamp, "%04d%02d%02d_%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        g_stampTime = now;
    }
    return g_stamp;
}

}  // namespace

int sdk_print(const char* format, ...) {
    std::lock_guard lock(g_mutex);
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(g_message, sizeof g_message, format, ap);
    va_end(ap);

    if (!ensure_open()) return -1;  // no file now: drop the line, the next call tries again
    if (file_size() > kMaxSize) {
        rotate();
        if (!s_fp) return -1;
    }
    int n = std::snprintf(g_line, sizeof g_line, "sec %s:%s", stamp(), g_message);
    if (n > static_cast<int>(sizeof g_line) - 1) n = sizeof g_line - 1;
    if (n > 0) std::fwrite(g_line, 1, static_cast<size_t>(n), s_fp);
    std::fflush(s_fp);
    return -1;
}
