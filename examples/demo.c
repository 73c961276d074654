/*
 * A small host program against the installed ipcsdk: logs in to a camera over UDP and over
 * TCP, reads and changes settings, moves the camera, watches video and alarms, takes a
 * picture pair, asks for position and distance, and logs out. Each step prints its result.
 *
 * Usage: demo [camera-address] [tcp-port]      (default 127.0.0.2 and 5002; user admin/admin)
 */
#include <ipcsdk.h>

#include <dirent.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char *in_words(uint32_t r) {
    switch (r) {
    case IPCSDK_OK: return "ok";
    case IPCSDK_ERR_ALREADY_INIT: return "already initialised";
    case IPCSDK_ERR_NOT_INIT: return "not initialised";
    case IPCSDK_ERR_DEVICE_EXISTS: return "camera already logged in";
    case IPCSDK_ERR_BAD_HANDLE: return "unknown handle";
    case IPCSDK_ERR_AUTH: return "wrong user name or password";
    case IPCSDK_ERR_NO_PICTURE: return "no picture in time";
    case IPCSDK_ERR_NET: return "network error (no answer)";
    case IPCSDK_ERR_SOCKET: return "cannot open the command socket";
    case IPCSDK_ERR_TCP_SEND: return "TCP send failed";
    case IPCSDK_ERR_PARAM: return "bad argument";
    case IPCSDK_ERR_REFUSED: return "refused by the camera";
    case IPCSDK_ERR_BUFFER: return "buffer too small";
    case IPCSDK_ERR_TABLE_FULL: return "all slots in use";
    default: return r >= IPCSDK_HANDLE_BASE && r < IPCSDK_HANDLE_BASE + 256 ? "handle" : "a byte count";
    }
}

static void step(const char *what, uint32_t r) { printf("  %-44s -> 0x%08x (%s)\n", what, r, in_words(r)); }

static int g_frames, g_alarms;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

static int on_frame(uint32_t handle, uint8_t *frame) {
    (void)handle;
    (void)frame;
    pthread_mutex_lock(&g_lock);
    ++g_frames;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

static int on_report(uint32_t type, intptr_t handle, intptr_t r1, uint8_t *body, uint32_t len, intptr_t r2) {
    (void)r1;
    (void)r2;
    (void)body;
    pthread_mutex_lock(&g_lock);
    if (type == 0x1003 && g_alarms++ < 3) printf("  alarm report 0x%x from handle 0x%x, %u bytes\n", type, (unsigned)handle, len);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

static int on_disconnect(uint32_t addr, uint32_t handle, uintptr_t user) {
    (void)addr;
    (void)user;
    printf("  camera 0x%x closed its report channel\n", handle);
    return 0;
}

static int thread_count(void) {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n - 2;
}

static uint32_t login(const char *ip, uint32_t netType, uint16_t port, const char *user, const char *password) {
    LoginDeviceInfo dev;
    LoginUserInfo cred;
    memset(&dev, 0, sizeof dev);
    memset(&cred, 0, sizeof cred);
    dev.netType = netType;
    dev.port = port;
    strncpy(dev.address, ip, sizeof dev.address - 1);
    strncpy(cred.userName, user, sizeof cred.userName - 1);
    strncpy(cred.password, password, sizeof cred.password - 1);
    return IPCSdkLogin(&dev, &cred, 5);
}

static int save(const char *name, const uint8_t *data, uint32_t len) {
    FILE *f = fopen(name, "wb");
    if (!f) return -1;
    fwrite(data, 1, len, f);
    fclose(f);
    return 0;
}

/* The simulated camera's PTZ command record: command (1 up, 2 down, 3 left, 4 right, 5 zoom in,
 * 6 zoom out) and step, little-endian; its preset record: number and operation (1 store, 2 go to). */
static uint32_t ptz_move(uint32_t h, uint32_t command, uint32_t step_size) {
    PTZCtrlRecord ctrl;
    memset(&ctrl, 0, sizeof ctrl);
    memcpy(ctrl.bytes, &command, 4);
    memcpy(ctrl.bytes + 4, &step_size, 4);
    return IPCPTZCtrl(h, &ctrl);
}

static uint32_t preset(uint32_t h, uint32_t number, uint32_t operation) {
    PresetRecord rec;
    memset(&rec, 0, sizeof rec);
    memcpy(rec.bytes, &number, 4);
    memcpy(rec.bytes + 4, &operation, 4);
    strcpy((char *)rec.bytes + 8, "gate");
    return IPCSetPresetPoint(h, &rec);
}

static void show_position(uint32_t h, const char *when) {
    PTZValueRecord v;
    memset(&v, 0, sizeof v);
    const uint32_t r = IPCPTZValueGet(h, &v);
    printf("  PTZ position %-22s pan %4u, tilt %3u, zoom %3u (0x%08x)\n", when, v.usPanVal, v.usValue2, v.usValue3, r);
}

static void camera_tour(uint32_t h) {
    show_position(h, "at the start:");
    step("turn right by 450 (12, 2)", ptz_move(h, 4, 450));
    step("tilt up by 120", ptz_move(h, 1, 120));
    show_position(h, "after moving:");
    step("store preset 1 here (12, 4)", preset(h, 1, 1));
    step("turn left by 900", ptz_move(h, 3, 900));
    show_position(h, "after turning away:");
    step("recall preset 1", preset(h, 1, 2));
    show_position(h, "after the recall:");

    SystemTimeInfo t;
    memset(&t, 0, sizeof t);
    t.word = 1796486400u;
    strcpy((char *)t.block, "2026-12-05 12:00:00 +00:00");
    step("set the camera's time (3, 1)", IPCSystemTimeSet(h, &t));
    memset(&t, 0, sizeof t);
    step("read it back (3, 0)", IPCSystemTimeGet(h, &t));
    printf("  camera time: %u, \"%s\"\n", t.word, (const char *)t.block);
    NtpConfInfo ntp;
    memset(&ntp, 0, sizeof ntp);
    ntp.word1 = 1;
    ntp.word2 = 3600;
    ntp.number = 123;
    strcpy((char *)ntp.block, "pool.ntp.example");
    step("set NTP: server, port 123, hourly (3, 9)", IPCNtpConfSet(h, &ntp));
    memset(&ntp, 0, sizeof ntp);
    step("read NTP back (3, 8)", IPCNtpConfGet(h, &ntp));
    printf("  NTP server \"%s\", port %u, every %u s\n", (const char *)ntp.block, ntp.number, ntp.word2);

    NetWorkConfInfo net;
    memset(&net, 0, sizeof net);
    step("read the network record (8, 0)", IPCDevNetWorkGet(h, &net));
    printf("  network words: 0x%08x 0x%08x 0x%08x\n", net.word1, net.word2, net.word3);
    net.word1 = 0xC0A80140; /* 192.168.1.64 */
    net.word2 = 0xFFFFFF00;
    net.word3 = 0xC0A80101;
    step("change it (8, 1)", IPCDevNetWorkSet(h, &net));
    memset(&net, 0, sizeof net);
    step("read it back", IPCDevNetWorkGet(h, &net));
    printf("  network words: 0x%08x 0x%08x 0x%08x\n", net.word1, net.word2, net.word3);
    net.word3 = 0;
    step("a record with a zero word is refused", IPCDevNetWorkSet(h, &net));
}

static void settings_tour(uint32_t h) {
    SystemInfo info;
    uint32_t r = IPCGetSysVersion(h, &info);
    step("system information (3, 2)", r);
    if (r == 0) printf("  model \"%.16s\", serial \"%.16s\"\n", (const char *)info.deviceModel, (const char *)info.serialNumber);

    VideoParamRecord video[2];
    memset(video, 0, sizeof video);
    step("read video parameters (1, 6)", IPCVideoParamGet(h, video, 1));
    printf("  first value %u, second value %u\n", video[0].value16, video[0].value32);
    video[0].value16 = 25;
    video[0].value32 = 4096;
    step("change video parameters (1, 7)", IPCVideoParamSet(h, video, 1));
    memset(video, 0, sizeof video);
    step("read them back", IPCVideoParamGet(h, video, 1));
    printf("  first value %u, second value %u\n", video[0].value16, video[0].value32);

    ExOsdRecord osd;
    memset(&osd, 0, sizeof osd);
    step("read on-screen display (1, 14)", IPCExOsdGet(h, &osd, 1));
    strcpy((char *)osd.blocks[0].text, "ipcsdk demo");
    osd.blocks[0].x = 16;
    osd.blocks[0].y = 32;
    step("set on-screen text \"ipcsdk demo\" (1, 15)", IPCExOsdSet(h, &osd, 1));
    memset(&osd, 0, sizeof osd);
    step("read it back", IPCExOsdGet(h, &osd, 1));
    printf("  text block 1: \"%s\" at (%u, %u)\n", (const char *)osd.blocks[0].text, osd.blocks[0].x, osd.blocks[0].y);
}

int main(int argc, char **argv) {
    const char *ip = argc > 1 ? argv[1] : "127.0.0.2";
    const uint16_t port = (uint16_t)(argc > 2 ? atoi(argv[2]) : 5002);
    uint32_t r;

    printf("ipcsdk %s, camera %s\n", IPCSDKVersion(), ip);
    step("initialise", IPCSdkInit());
    SetVideoFrameCallBack(on_frame);
    SetReportCallbackFunc(on_report);
    SetExceptionCallBack(on_disconnect);

    printf("\nLogin with a wrong password:\n");
    step("login admin/wrong over UDP", login(ip, 1, port, "admin", "wrong"));

    printf("\nOver TCP (port %u):\n", port);
    uint32_t h = login(ip, 2, port, "admin", "admin");
    step("login admin/admin over TCP", h);
    if (h < IPCSDK_HANDLE_BASE || h >= IPCSDK_HANDLE_BASE + 256) return 1;
    settings_tour(h);
    step("logout", IPCSdkLogout(h));

    printf("\nOver UDP:\n");
    h = login(ip, 1, port, "admin", "admin");
    step("login admin/admin over UDP", h);
    if (h < IPCSDK_HANDLE_BASE || h >= IPCSDK_HANDLE_BASE + 256) return 1;
    settings_tour(h);

    printf("\nPTZ head, presets, time and network:\n");
    camera_tour(h);

    printf("\nLive channels:\n");
    step("start heartbeat thread", (uint32_t)CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]));
    step("open video channel (TCP 5000)", (uint32_t)StartVideoRequest(h));
    VideoStartInfo start;
    memset(&start, 0, sizeof start);
    step("start video stream (1, 0)", IPCStartVideo(h, &start));
    sleep(3);
    pthread_mutex_lock(&g_lock);
    printf("  %d video frames in 3 seconds, %d alarms\n", g_frames, g_alarms);
    pthread_mutex_unlock(&g_lock);
    VideoStopInfo stop;
    memset(&stop, 0, sizeof stop);
    step("stop video stream (1, 1)", IPCStopVideo(h, &stop));

    SimuSnapInfo snap;
    memset(&snap, 0, sizeof snap);
    const uint32_t cap = 4u << 20;
    uint8_t *pair = malloc(cap);
    r = IPCSIMUSNAP(h, &snap, 1, pair, cap, 5);
    step("take a picture pair (13, 10)", r);
    if (pair && r < 0x80000000u) {
        uint32_t l1, l2;
        memcpy(&l1, pair + 652, 4);
        memcpy(&l2, pair + 656, 4);
        save("picture-1.ppm", pair + 660, l1);
        save("picture-2.ppm", pair + 660 + l1, l2);
        printf("  saved picture-1.ppm (%u bytes) and picture-2.ppm (%u bytes)\n", l1, l2);
    }
    free(pair);

    uint8_t report[256];
    GpsInfoRequest gps;
    memset(&gps, 0, sizeof gps);
    r = IPCGpsInfo(h, &gps, 1, report, sizeof report, 5);
    step("ask for a position report (12, 53)", r);
    if (r < 0x80000000u) printf("  position: %.32s\n", (const char *)report);
    DistantInfo dist;
    memset(&dist, 0, sizeof dist);
    r = IPCDistantInfoSet(h, &dist, 1, report, sizeof report, 5);
    step("ask for a distance report (12, 48)", r);
    if (r < 0x80000000u) printf("  distance: %.32s\n", (const char *)report);

    printf("\nLogout:\n");
    printf("  threads in this process: %d (main, heartbeat, video and report receivers)\n", thread_count());
    step("logout", IPCSdkLogout(h));
    /* The camera's threads have left the library when logout returns; the system needs a
     * moment more to remove them. */
    for (int i = 0; i < 200 && thread_count() > 1; ++i) usleep(1000);
    printf("  threads in this process after logout: %d\n", thread_count());
    step("logout again", IPCSdkLogout(h));
    step("uninitialise", IPCSdkUnInit());
    return 0;
}
