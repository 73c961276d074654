// Login, logout, the system information query and the forced release of a command lock.
#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/engine.hpp"
#include "core/slots.hpp"
#include "log/log.hpp"
#include "transport/transport.hpp"

namespace ipc {
namespace {

constexpr uint32_t kLoginAnswerMin = 136;

constexpr codec::Layout kLoginLayout = codec::layout_of<LoginUserInfo>();

constexpr codec::Range kSystemInfoCopy[] = {{4, 16}, {32, 18}, {58, 18}};
constexpr codec::Layout kSystemInfoLayout = codec::layout_of<SystemInfo>({}, kSystemInfoCopy);

constexpr codec::Layout kConnTypeLayout = codec::layout_of<ServerConnTypeInfo>();

size_t bounded_length(const char* s, size_t max) {
    const void* nul = std::memchr(s, 0, max);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - s) : max;
}

// Allocates the slot's nine buffers (the five report-sized ones mapped) and fills the entry as a fresh login leaves it.
bool fill_slot(DeviceSlot& s, int fd, uint32_t netType) {
    store(s.cmdSocket, fd);
    s.reqBuf = static_cast<uint8_t*>(std::calloc(1, kCmdBuf));
    s.respBuf = static_cast<uint8_t*>(std::calloc(1, kCmdBuf));
    s.snapRecord1 = static_cast<uint8_t*>(std::calloc(1, 256));
    s.snapRecord2 = static_cast<uint8_t*>(std::calloc(1, 256));
    s.snapData1 = map_buffer(kReportBuf);
    s.snapData2 = map_buffer(kReportBuf);
    s.reportBuf1001 = map_buffer(kReportBuf);
    s.reportBuf1002 = map_buffer(kReportBuf);
    s.reportBuf1004 = map_buffer(kReportBuf);
    s.reqLen = kCmdBuf;
    s.respLen = kCmdBuf;
    s.netType = netType;
    s.snapWord1 = s.snapWord2 = 256;
    s.snapLen1 = s.snapLen2 = kReportBuf;
    s.reportLen1001 = s.reportLen1002 = s.reportLen1004 = kReportBuf;
    s.lastRecvTime = 0;
    s.reportRunning = s.videoRunning = 0;
    s.reportSocket = s.videoSocket = -1;
    sem_init(&s.sem, 0, 1);
    return s.reqBuf && s.respBuf && s.snapRecord1 && s.snapRecord2 && s.snapData1 && s.snapData2 &&
           s.reportBuf1001 && s.reportBuf1002 && s.reportBuf1004;
}

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCPackUserLoginInfo(const LoginUserInfo* user, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kLoginLayout, 1, user, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackUserLoginRes(const uint8_t* answer, uint32_t, LoginResult* result) {
    result->status = be32(answer + 20);
    return 0;
}

IPCSDK_API uint32_t IPCUnPackSystemInfo_IPC(const uint8_t* answer, uint32_t, SystemInfo* info) {
    codec::decode(kSystemInfoLayout, answer + kHeaderSize, reinterpret_cast<uint8_t*>(info));
    return 0;
}

IPCSDK_API uint32_t IPCPackServerConnTypeInfo(const ServerConnTypeInfo* in, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kConnTypeLayout, 1, in, out, outLen);
}

IPCSDK_API uint32_t IPCUserLogin(uint32_t handle, LoginUserInfo* user, LoginResult* result) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    if (load(g_IPCSdkInit) != 1) {
        IPCSdkError("%s,%d,sdk not init\n", "IPCUserLogin", __LINE__);
        return IPCSDK_ERR_NOT_INIT;
    }
    if (!user || !result) return IPCSDK_ERR_PARAM;
    // Buffers of its own and no semaphore: login runs beside the camera's commands and from
    // a report callback; the transport keeps the exchanges on the socket apart.
    uint8_t request[sizeof(LoginUserInfo) + 64];
    uint32_t len = 0;
    IPCPackUserLoginInfo(user, request, &len);
    uint8_t answer[512];
    uint32_t cap = sizeof answer;
    const int fd = load(use.slot()->cmdSocket);
    const uint32_t r = IPCSdk2usock2(fd, 0, 0, request, len, answer, &cap);
    give_up_broken_connection(*use.slot(), fd, r);
    if (exchange_failed(r) || r < kLoginAnswerMin) {
        IPCSdkDebug("IPCUserLogin net err.");
        return IPCSDK_ERR_NET;
    }
    if (answer[3] == 0x7C) {
        IPCSdkError("IPCUserLogin nak.");
        return IPCSDK_ERR_REFUSED;
    }
    if (answer[3] == 0 && answer[4] == 0) {
        IPCUnPackUserLoginRes(answer, r, result);
        return IPCSDK_OK;
    }
    IPCSdkError("User Login error.");
    return IPCSDK_ERR_REFUSED;
}

IPCSDK_API uint32_t IPCSdkLogin(LoginDeviceInfo* device, LoginUserInfo* user, uint32_t timeoutSeconds) {
    if (!device || !user) return IPCSDK_ERR_PARAM;
    char text[65];
    std::memcpy(text, device->address, 64);
    text[64] = '\0';
    const uint32_t addr = inet_addr(text);

    // Duplicate check and slot choice happen together under the table lock, so two logins of
    // the same address at the same time cannot both succeed.
    const int index = reserve_slot(addr);
    if (index == -1) return IPCSDK_ERR_DEVICE_EXISTS;
    const int fd = IPCSdkSockInit(device, timeoutSeconds);
    if (fd < 1) {
        if (fd == 0) close(fd);
        if (index >= 0) unreserve_slot(index);
        return IPCSDK_ERR_SOCKET;
    }
    if (index == -2) {
        close(fd);
        return IPCSDK_ERR_TABLE_FULL;
    }
    DeviceSlot& s = g_DevManage[index];
    state(index).netMode.store(static_cast<int32_t>(device->netType));  // every exchange of this camera
    const bool buffersOk = fill_slot(s, fd, device->netType);
    open_slot(index);
    const uint32_t handle = kHandleBase + static_cast<uint32_t>(index);
    if (!buffersOk) {
        release_slot(index);
        return IPCSDK_ERR_SOCKET;
    }

    // Credential text: user name, ":quorin:", password; its MD5 in lower-case hexadecimal
    // replaces the password in the caller's record.
    char credential[32 + 8 + 32 + 1];
    const size_t userLen = bounded_length(user->userName, sizeof user->userName);
    const size_t passLen = bounded_length(user->password, sizeof user->password);
    std::memcpy(credential, user->userName, userLen);
    std::memcpy(credential + userLen, ":quorin:", 8);
    std::memcpy(credential + userLen + 8, user->password, passLen);
    char digest[33];
    MD5Gen(digest, reinterpret_cast<const uint8_t*>(credential), static_cast<uint32_t>(userLen + 8 + passLen));
    for (int i = 0; i < 32; ++i) digest[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(digest[i])));
    uint8_t* raw = reinterpret_cast<uint8_t*>(user);
    std::memcpy(raw + 32, digest, 32);
    std::memset(raw + 64, 0, 32);

    LoginResult result;
    std::memset(&result, 0, sizeof result);
    const uint32_t r = IPCUserLogin(handle, user, &result);
    if (result.status == 200) {
        store(s.loggedIn, uint8_t{1});
        StartDataReport(handle);
        return handle;
    }
    release_slot(index);
    if (result.status == 401) {
        std::printf("Username or password entered is incorrect!\n");
        return IPCSDK_ERR_AUTH;
    }
    return r;
}

IPCSDK_API uint32_t IPCGetSysVersion(uint32_t handle, SystemInfo* info) {
    return cmd::query(cmd::Id::IPCGetSysVersion, handle, info, [](const uint8_t* a, uint32_t n, int32_t, void* rec) {
        return IPCUnPackSystemInfo_IPC(a, n, static_cast<SystemInfo*>(rec));
    });
}

IPCSDK_API void DeviceLogout(uint32_t handle) {
    if (handle == 0) return;
    const int index = find_slot(handle);
    if (index >= 0) release_slot(index);
}

IPCSDK_API uint32_t IPCSdkLogout(uint32_t handle) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    uint32_t result = IPCSDK_ERR_BAD_HANDLE;
    int index = -1;
    if (SlotUse use(handle); use) {
        cmd::trace(*use.slot(), handle, "IPCSdkLogout");
        index = use.index();
        // Taken and never given back: commands still waiting end with 0x80001004 once the slot
        // is released, instead of waiting for ever. Held by this thread already when a report
        // callback logs its own camera out.
        result = use.acquire();
        if (!result) {
            StopDataReport(handle);
            StopVideoRequest(handle);
            // No idle pause: the release itself waits until the receivers and the heartbeat
            // have gone (not for the calling thread, when it is one of them) and the calls in
            // flight have left.
            release_slot(index);
            use.release();
        }
    }
    // Another thread may have begun releasing the camera meanwhile; this one could not wait for
    // that release while it used the slot. No callback may follow this return either, so wait
    // for it now.
    if (index < 0) index = find_slot(handle);
    if (index >= 0) await_release(index);
    return result;
}

IPCSDK_API uint32_t IPC_FORCE_EXIT(uint32_t handle) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    use.force_release();
    return IPCSDK_OK;
}

}  // extern "C"
