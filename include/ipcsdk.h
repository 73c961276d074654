/**
 * @file ipcsdk.h
 *
 * ipcsdk: client library for networked pan-tilt-zoom IP cameras.
 *
 * One header for the whole C interface: the device table, the records exchanged with a
 * camera, the result codes, the process-wide globals and every exported function.
 * Compiles as C99 and as C++. Integers inside records are in host byte order; the codecs
 * convert the fields the camera expects big-endian and copy every other byte unchanged.
 *
 * Threads and callbacks. Callbacks run on the library's receiver threads. From inside the
 * frame, report and disconnection callbacks, and from any host thread at the same time, every
 * exported function either completes within its normal time bound or returns at once with a
 * result code; none blocks for ever, none leaks a descriptor, thread or buffer. In particular
 * a callback may restart its own channel (the new receiver runs once the old one has
 * returned), release its camera and log in again, and a data report callback may run commands
 * of its own camera and log it out (the semaphore it already holds is not waited for again).
 * A thread that holds one camera's semaphore (a report callback) waits at most 5 s for another
 * camera's, then gets 0x80001007, so two callbacks that command each other's camera cannot
 * block for ever. No callback starts after the logout of its camera returned, so a release
 * waits for the camera's running callbacks: two callbacks must not release each other's
 * cameras at the same time.
 *
 * Agreed departures from the original protocol library:
 *  - A lost or late answer costs the one command that waited for it, on that camera only.
 *    Late answers are counted per camera, not process-wide; datagrams (UDP, local channel) or
 *    whole messages (TCP) already waiting when a request is sent are discarded; while a late
 *    answer is expected, an answer of another class and code (for an ack or nak, another
 *    code) is skipped, and the expectation ends with the next exchange. TCP answers are read
 *    message by message: an unfinished message is finished and discarded before the next
 *    request, bytes beyond the answer buffer are discarded, and bytes that start no message
 *    (or a header whose length no answer buffer could hold) are skipped up to the next
 *    message start.
 *  - Answers are taken the moment they are complete instead of at the next fixed poll: the
 *    exchanges wait on the socket's readiness within the same windows (41 of 10 ms over UDP,
 *    11 of 200 ms over TCP, 401 of 10 ms on the local channel), so the bytes on the wire, the
 *    result codes, the lines printed per empty window and every overall bound are unchanged.
 *    A UDP datagram from another address than the camera's is ignored. The waiting commands
 *    (IPCSIMUSNAP, IPCGpsInfo, IPCDistantInfoSet) return as soon as their report has been
 *    dispatched, within the same `tries` seconds, instead of at the next whole second.
 *  - The transport is per camera: each camera's exchanges use the mode its login chose, so
 *    UDP and TCP cameras work side by side. g_SdkNetMode still shows the last login's mode,
 *    and decides for descriptors that belong to no camera.
 *  - IPCSdkLogout does not sleep 3 s: it returns as soon as the camera's threads and the calls
 *    in flight have gone.
 *  - The channel announcements and IPCUserLogin use buffers of their own and take no
 *    semaphore, so they run beside the camera's commands and from a report callback.
 */
#ifndef IPCSDK_H
#define IPCSDK_H

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(IPCSDK_BUILDING)
#define IPCSDK_API __attribute__((visibility("default")))
#else
#define IPCSDK_API
#endif

#ifdef __cplusplus
#define IPCSDK_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type " has the wrong size")
#define IPCSDK_ASSERT_OFFSET(type, field, off) \
    static_assert(offsetof(type, field) == (off), #type "." #field " is at the wrong offset")
extern "C" {
#else
#define IPCSDK_CAT2(a, b) a##b
#define IPCSDK_CAT(a, b) IPCSDK_CAT2(a, b)
#define IPCSDK_ASSERT_SIZE(type, size) \
    typedef char IPCSDK_CAT(ipcsdk_size_check_, __LINE__)[(sizeof(type) == (size)) ? 1 : -1]
#define IPCSDK_ASSERT_OFFSET(type, field, off) \
    typedef char IPCSDK_CAT(ipcsdk_offset_check_, __LINE__)[(offsetof(type, field) == (off)) ? 1 : -1]
#endif

#define IPCSDK_PACKED __attribute__((packed))

/* ------------------------------------------------------------------------------------------
 * Result codes. 0 is success; the transport and channel functions return small negative
 * numbers (-1, -2, -3, -4, -9) instead.
 * ---------------------------------------------------------------------------------------- */
#define IPCSDK_OK 0x00000000u
#define IPCSDK_ERR_ALREADY_INIT 0x80001001u    /**< IPCSdkInit on an initialised SDK */
#define IPCSDK_ERR_NOT_INIT 0x80001002u        /**< SDK not initialised */
#define IPCSDK_ERR_DEVICE_EXISTS 0x80001003u   /**< a table entry holds this address already */
#define IPCSDK_ERR_BAD_HANDLE 0x80001004u      /**< handle 0 or no entry in use carries it */
#define IPCSDK_ERR_AUTH 0x80001005u            /**< camera refused user name or password */
#define IPCSDK_ERR_NO_PICTURE 0x80001006u      /**< picture pair not available in time */
#define IPCSDK_ERR_NET 0x80001007u             /**< no answer of the minimum size */
#define IPCSDK_ERR_SOCKET 0x80001008u          /**< command socket for a login cannot be opened */
#define IPCSDK_ERR_TCP_SEND 0x80001009u        /**< a TCP send failed */
#define IPCSDK_ERR_PARAM 0x80002001u           /**< missing record or argument out of range */
#define IPCSDK_ERR_REFUSED 0x80002002u         /**< nak, unexpected answer kind, or failure */
#define IPCSDK_ERR_BUFFER 0x80002003u          /**< output buffer missing or too small */
#define IPCSDK_ERR_TABLE_FULL 0x80002004u      /**< all 256 slots are in use */

#define IPCSDK_MAX_DEVICES 256
#define IPCSDK_HANDLE_BASE 0x1023000u
#define IPCSDK_CMD_BUF_SIZE 10240
#define IPCSDK_REPORT_BUF_SIZE 2097152
#define IPCSDK_UDP_PORT 5001
#define IPCSDK_CHANNEL_PORT 5000

/* ------------------------------------------------------------------------------------------
 * Device table
 * ---------------------------------------------------------------------------------------- */
typedef struct DeviceSlot {
    uint32_t inUse;          /**< 1 while the entry holds a camera (or one being logged in) */
    int32_t cmdSocket;       /**< UDP socket or TCP connection of the commands; -1 when lost */
    uint32_t deviceAddr;     /**< IPv4 address, network byte order */
    uint32_t handle;         /**< slot index + 0x1023000 */
    uint8_t loggedIn;        /**< 1 once the camera accepted the login */
    uint32_t reqLen;         /**< payload bytes in reqBuf for the next exchange */
    uint32_t respLen;        /**< answer capacity before an exchange, its result after */
    uint32_t netType;        /**< 1 UDP, 2 TCP, as given at login */
    uint32_t snapWord1;      /**< leading word of the last kind-1 picture body */
    uint32_t snapWord2;      /**< leading word of the last kind-2 picture body */
    uint32_t snapLen1;       /**< bytes in snapData1 */
    uint32_t snapLen2;       /**< bytes in snapData2 */
    uint32_t reportLen1001;  /**< bytes in reportBuf1001 */
    uint32_t reportLen1002;  /**< bytes in reportBuf1002 */
    uint32_t reportLen1004;  /**< bytes in reportBuf1004 */
    uint32_t reportState;    /**< 1 picture pair, 2 report 0x1001, 3 0x1002, 4 0x1004 */
    uint32_t snapPairFlag;   /**< 2 once both pictures of a pair are stored */
    uint32_t reportRunning;  /**< report channel wanted */
    uint32_t videoRunning;   /**< video channel wanted */
    int32_t reportFill;      /**< bytes held by the report receiver */
    int32_t videoFill;       /**< bytes held by the video receiver */
    int32_t reportSocket;    /**< report channel connection, -1 when none */
    int32_t videoSocket;     /**< video channel connection, -1 when none */
    int64_t lastRecvTime;    /**< seconds since the epoch of the last channel data, 0 = none */
    uint8_t *reqBuf;         /**< 10240-byte request payload buffer */
    uint8_t *respBuf;        /**< 10240-byte answer buffer (header included) */
    uint8_t *snapRecord1;    /**< 256 bytes */
    uint8_t *snapRecord2;    /**< 256 bytes */
    uint8_t *snapData1;      /**< 2 MiB */
    uint8_t *snapData2;      /**< 2 MiB */
    uint8_t *reportBuf1001;  /**< 2 MiB */
    uint8_t *reportBuf1002;  /**< 2 MiB */
    uint8_t *reportBuf1004;  /**< 2 MiB */
    sem_t sem;               /**< serialises the commands of this camera */
} DeviceSlot;
IPCSDK_ASSERT_OFFSET(DeviceSlot, loggedIn, 16);
IPCSDK_ASSERT_OFFSET(DeviceSlot, reqLen, 20);
IPCSDK_ASSERT_OFFSET(DeviceSlot, videoSocket, 88);
#if defined(__LP64__)
IPCSDK_ASSERT_OFFSET(DeviceSlot, lastRecvTime, 96);
IPCSDK_ASSERT_OFFSET(DeviceSlot, reqBuf, 104);
IPCSDK_ASSERT_OFFSET(DeviceSlot, sem, 176);
IPCSDK_ASSERT_SIZE(DeviceSlot, 176 + sizeof(sem_t));
#endif

IPCSDK_API extern DeviceSlot g_DevManage[IPCSDK_MAX_DEVICES];
IPCSDK_API extern int32_t g_IPCSdkInit;     /**< 1 while initialised */
IPCSDK_API extern int32_t g_SdkNetMode;     /**< the last login's transport (1 UDP, 2 TCP; -1 at load); each camera keeps its own */
IPCSDK_API extern int32_t g_SocketInitFlag; /**< 1 after the last socket initialisation succeeded, else -1 */

/* ------------------------------------------------------------------------------------------
 * Callbacks (read afresh at each use; null until the host sets them)
 * ---------------------------------------------------------------------------------------- */
/** One complete video frame, in place: magic at frame[0], payload length at frame[8]
 * (little-endian), payload from frame[156]. Valid only during the call. */
typedef int (*VideoFrameCallBackFunc)(uint32_t handle, uint8_t *frame);
/** One report: message type, handle, 0, body (valid during the call), body length, 0. */
typedef int (*DataReportCallbackFunc)(uint32_t type, intptr_t handle, intptr_t reserved1, uint8_t *body,
                                      uint32_t bodyLength, intptr_t reserved2);
/** The report channel was closed by the camera: address (network order), handle, handle. */
typedef int (*DisconnectionCallbackFunc)(uint32_t deviceAddr, uint32_t handle, uintptr_t user);

IPCSDK_API extern VideoFrameCallBackFunc g_VideoFrameCallBackFunc;
IPCSDK_API extern DataReportCallbackFunc g_DataReportCallbackFunc;
IPCSDK_API extern DisconnectionCallbackFunc g_DisconnectionCallbackFunc;

/* ------------------------------------------------------------------------------------------
 * Lifecycle
 * ---------------------------------------------------------------------------------------- */
/** Clears the table and marks the SDK initialised: 0, or 0x80001001 when already initialised. */
IPCSDK_API uint32_t IPCSdkInit(void);
/** Releases every entry still in use (stopping its threads), clears the table; returns 0. */
IPCSDK_API uint32_t IPCSdkUnInit(void);
/** The version text "1.0.0.22". */
IPCSDK_API const char *IPCSDKVersion(void);
/** Monotonic clock in microseconds. */
IPCSDK_API uint64_t get_x3_time_us(void);

/* ------------------------------------------------------------------------------------------
 * Frame and transport
 * ---------------------------------------------------------------------------------------- */
typedef struct MessageHeader {
    uint8_t magic[2];        /**< 0x5B 0x5A in requests, 0x5A 0x5B in reports */
    uint8_t version;         /**< 0x01 */
    uint8_t msgClass;        /**< class; 0x7A ack, 0x7C nak in answers */
    uint8_t code;            /**< command code */
    uint8_t reserved[7];     /**< zero */
    uint8_t payloadLength[4]; /**< big-endian */
} MessageHeader;
IPCSDK_ASSERT_SIZE(MessageHeader, 16);

typedef struct LoginDeviceInfo {
    uint32_t netType;        /**< 1 UDP, 2 TCP */
    uint16_t port;           /**< TCP command port, host order; unused for UDP */
    char address[64];        /**< dotted-quad text */
} LoginDeviceInfo;
IPCSDK_ASSERT_SIZE(LoginDeviceInfo, 72);

/** Stores the transport mode and opens the command socket: descriptor or -1. Used by login. */
IPCSDK_API int32_t IPCSdkSockInit(LoginDeviceInfo *info, uint32_t timeoutSeconds);
/** Exchanges reqBuf/reqLen as (class, code) on the slot's command socket; result also in respLen:
 * answer bytes, or -1/-2 (UDP), -1/-3/-4/0x80001009 (TCP), 0 when the mode is neither. */
IPCSDK_API uint32_t IPCSdk2usock(DeviceSlot *slot, uint8_t msgClass, uint8_t code);
/** The same exchange on any descriptor with the caller's buffers; respCapacity is not written. */
IPCSDK_API uint32_t IPCSdk2usock2(int fd, uint8_t msgClass, uint8_t code, const void *payload, uint32_t payloadLen,
                                  void *resp, uint32_t *respCapacity);

IPCSDK_API int IPCSdkUdpExist(void);
/** New UDP socket (never bound); addr (host order) and port must be non-zero. -1 on failure. */
IPCSDK_API int32_t IPCSdkUdpConnect(uint32_t addr, uint16_t port);
/** One datagram to port 5001 of the entry owning fd: bytes sent, negative send result, or 0. */
IPCSDK_API int32_t IPCSdkUdpSend(int fd, const void *buf, int len);
/** Waits up to 41 windows of 10 ms on a command socket, taking the camera's datagram as it
 * arrives: size, -1, or -2 (a late answer counted for that camera; while one is expected, the
 * next datagram is dropped as that answer). Datagrams from other addresses are ignored. */
IPCSDK_API int32_t IPCSdkUdpRecv(int fd, void *buf, int len);
/** Discards datagrams already waiting, sends, and receives; the answer's size must equal its
 * header length + 16: size, -1, -2. A late answer of an earlier request is skipped. */
IPCSDK_API int32_t IPCSdkUdpRequest(int fd, const void *req, uint32_t reqLen, void *resp, uint32_t respCap);

IPCSDK_API int IPCSdkTcpExist(void);
/** Connected TCP socket with the fixed options, connect bounded by timeoutSeconds (0: none); -1. */
IPCSDK_API int IPCSdkTcpConnect(uint32_t addr, uint16_t port, int timeoutSeconds);
/** Plain blocking connect without options; -1 on failure. */
IPCSDK_API int IPCSdkTcpConnect2(uint32_t addr, uint16_t port);
/** One send call: byte count, 0 when nothing was sent, 0x80001009 on failure. Never raises SIGPIPE. */
IPCSDK_API uint32_t IPCSdkTcpSend(int fd, const void *buf, int len);
/** Send, then up to 11 windows of 200 ms for one whole answer message, taken once complete (at
 * most respCap bytes kept, the rest discarded; completed in the last window: -3): its size, 0 when the camera closed the connection, -1, -3, -4 or 0x80001009.
 * On a command connection, what earlier requests left is discarded before the send. */
IPCSDK_API uint32_t IPCSdkTcpRequest(int fd, const void *req, uint32_t reqLen, void *resp, int respCap);

/** Local datagram channel to the peer at "/tmp/dbgServer", bound at the given path (at most
 * 19 characters): 0 or -1. */
IPCSDK_API int32_t IPCSdkUnixInit(const char *conflocateName);
IPCSDK_API int32_t IPCSdkUnixUninit(void);
/** One request (a send waits at most 3 s for room at the peer); up to 401 windows of 10 ms for
 * the answer, taken as it arrives (in the last window: too late, -2): size, sent count, -1, -2 or -9. Late answers as on the UDP transport. */
IPCSDK_API int32_t IPCSdkUnixRequest(const uint8_t *req, uint32_t reqLen, uint8_t *resp, int respCap);
/** Removes every file whose path begins with the channel's name (no shell): 0, or -1 when no name was set. */
IPCSDK_API int remove_confargs_file(void);
/** Writes the length and the first 16 bytes of a frame to the debug log. */
IPCSDK_API void DumpData(const char *data, int len);

/* ------------------------------------------------------------------------------------------
 * Login and logout
 * ---------------------------------------------------------------------------------------- */
typedef struct LoginUserInfo {
    char userName[32];
    char password[32];       /**< replaced by the digest text at login */
    uint32_t loginWord1;     /**< big-endian on the wire; 0 when sent by IPCSdkLogin */
    uint32_t loginWord2;
    uint8_t rest[88];
} LoginUserInfo;
IPCSDK_ASSERT_SIZE(LoginUserInfo, 160);

typedef struct LoginResult {
    uint32_t reserved0;
    uint32_t status;         /**< 200 accepted, 401 wrong user name or password */
    uint8_t reserved[128];
} LoginResult;
IPCSDK_ASSERT_SIZE(LoginResult, 136);

typedef struct IPCSDK_PACKED SystemInfo {
    uint32_t deviceType;        /**< 0 */
    uint8_t deviceModel[16];    /**< 4 */
    uint32_t hardwareVersion;   /**< 20 */
    uint32_t softwareVersion;   /**< 24 */
    uint32_t buildDate;         /**< 28 */
    uint8_t serialNumber[16];   /**< 32 */
    uint8_t channelInfo[2];     /**< 48 */
    uint8_t reserved1[4];       /**< 50, not written */
    uint16_t videoInputs;       /**< 54 */
    uint16_t alarmInputs;       /**< 56 */
    uint8_t macAddress[16];     /**< 58 */
    uint8_t capability[2];      /**< 74 */
    uint32_t protocolVersion;   /**< 76 */
} SystemInfo;
IPCSDK_ASSERT_SIZE(SystemInfo, 80);

typedef struct ServerConnTypeInfo {
    uint32_t connType;       /**< 1 report channel, 2 video channel */
    uint8_t reserved[128];
} ServerConnTypeInfo;
IPCSDK_ASSERT_SIZE(ServerConnTypeInfo, 132);

/** Logs in: handle (0x1023000..0x10230FF), 0x80001003 duplicate address, 0x80001008 socket,
 * 0x80002004 table full, 0x80001002, 0x80001007, 0x80002002, 0x80001005 wrong credentials,
 * 0x80002001 null record, or 0 for any other status. Replaces user->password with the digest. */
IPCSDK_API uint32_t IPCSdkLogin(LoginDeviceInfo *device, LoginUserInfo *user, uint32_t timeoutSeconds);
/** Sends the login request (class 0, code 0) of an allocated entry; needs a 136-byte answer. */
IPCSDK_API uint32_t IPCUserLogin(uint32_t handle, LoginUserInfo *user, LoginResult *result);
IPCSDK_API uint32_t IPCPackUserLoginInfo(const LoginUserInfo *user, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackUserLoginRes(const uint8_t *answer, uint32_t answerLen, LoginResult *result);
/** Class 3, code 2: fills info from the data answer. */
IPCSDK_API uint32_t IPCGetSysVersion(uint32_t handle, SystemInfo *info);
IPCSDK_API uint32_t IPCUnPackSystemInfo_IPC(const uint8_t *answer, uint32_t answerLen, SystemInfo *info);
IPCSDK_API uint32_t IPCPackServerConnTypeInfo(const ServerConnTypeInfo *in, uint8_t *out, uint32_t *outLen);
/** Releases an entry at once: stops its threads (waiting for them), frees buffers, closes sockets.
 *  While another thread is releasing the same entry, returns once that release is done (at once
 *  when called from one of the entry's own callbacks). */
IPCSDK_API void DeviceLogout(uint32_t handle);
/** Takes the command lock, stops the channels and releases the entry once its threads and the
 * calls in flight have gone (no 3 s pause): 0 or 0x80001004. From the camera's own report
 * callback it uses the semaphore the callback holds. When another thread releases the entry
 * at the same time, returns only once that release is done (0x80001004 when this call had not
 * taken the command lock yet). */
IPCSDK_API uint32_t IPCSdkLogout(uint32_t handle);
/** Posts the camera's command semaphore once: 0 or 0x80001004. */
IPCSDK_API uint32_t IPC_FORCE_EXIT(uint32_t handle);

/* ------------------------------------------------------------------------------------------
 * Heartbeat
 * ---------------------------------------------------------------------------------------- */
/** Class 10, code 0, no payload; 0 on an ack. */
IPCSDK_API uint32_t IPCSendHeartBeat(uint32_t handle);
/** Thread body: a beat every 5 s while the slot stays logged in; returns NULL. */
IPCSDK_API void *HandlHeartBeatThread(void *slot);
/** Starts the heartbeat thread for an entry of g_DevManage: 0 when the thread was created (it
 * ends at once for an entry not in use), -1 otherwise. */
IPCSDK_API int CreatHandlHeartBeatThread(DeviceSlot *slot);

/* ------------------------------------------------------------------------------------------
 * Video stream
 * ---------------------------------------------------------------------------------------- */
typedef struct IPCSDK_PACKED VideoStartInfo {
    uint8_t selectorA;
    uint8_t selectorB;
    uint8_t result;          /**< not sent; 1 = started in the answer */
    uint8_t reserved;
    uint32_t value32;        /**< big-endian on the wire */
    uint16_t value16;        /**< big-endian on the wire */
    uint8_t attachMode;      /**< 2 = attach the extra data if any */
    uint8_t kind;            /**< 5 or 10 = extra data always attached */
    uint32_t dataLength;     /**< bytes of extra data following the head */
    __extension__ uint8_t data[0]; /**< the extra data, inline (GNU zero-length array: also valid C++) */
} VideoStartInfo;
IPCSDK_ASSERT_SIZE(VideoStartInfo, 16);

typedef struct IPCSDK_PACKED VideoStopInfo {
    uint8_t selectorA;
    uint8_t selectorB;
    uint8_t result;
    uint8_t reserved;
    uint32_t value32;
    uint16_t value16;
} VideoStopInfo;
IPCSDK_ASSERT_SIZE(VideoStopInfo, 10);

typedef struct IPCSDK_PACKED VideoStartExInfo {
    uint32_t exWord;
    uint8_t result;
    uint8_t reserved;
    uint8_t selectorA;
    uint8_t selectorB;
    uint32_t value32;
    uint16_t value16;
    uint8_t attachMode;
    uint8_t kind;
    uint32_t bodyLength;     /**< always sent */
    uint32_t dataLength;     /**< sent when attached */
    uint8_t reserved2[4];
    uint8_t *data;           /**< dataLength bytes of extra data, then bodyLength bytes of body */
} VideoStartExInfo;
IPCSDK_ASSERT_SIZE(VideoStartExInfo, 28 + sizeof(void *));

typedef struct IPCSDK_PACKED VideoStopExInfo {
    uint32_t length;
    uint8_t *data;
} VideoStopExInfo;
IPCSDK_ASSERT_SIZE(VideoStopExInfo, 4 + sizeof(void *));

typedef struct IPCSDK_PACKED VideoStartResult {
    uint8_t selectorA;
    uint8_t selectorB;
    uint8_t result;          /**< 1 = started */
    uint8_t reserved;
    uint32_t value32;
    uint16_t value16;
    uint8_t attachMode;      /**< not written by the unpacker */
    uint8_t kind;
} VideoStartResult;
IPCSDK_ASSERT_SIZE(VideoStartResult, 12);

typedef struct IPCSDK_PACKED VideoStartExResult {
    uint32_t exWord;
    uint8_t result;          /**< 1 = started */
    uint8_t reserved;
    uint8_t selectorA;
    uint8_t selectorB;
    uint32_t value32;
    uint16_t value16;
    uint8_t attachMode;
    uint8_t kind;
    uint32_t bodyLength;     /**< from a big-endian u16 on the wire */
    uint32_t dataLength;     /**< from a big-endian u16 on the wire */
    uint8_t reserved2[8];
    uint32_t tail;
} VideoStartExResult;
IPCSDK_ASSERT_SIZE(VideoStartExResult, 36);

/** Opens the video channel (TCP 5000, connection type 2) and its receiver: 0, -1, 0x80001004.
 * Starts of one channel are serialised: each one supersedes the running receiver, which
 * closes its connection; the new one reads once the old one has gone (so the old receiver's
 * own callback may call it). Concurrent starts leave one receiver on the latest connection. */
IPCSDK_API int32_t StartVideoRequest(uint32_t handle);
/** Asks the receiver to stop (it ends within about a second): 0 or 0x80001004. */
IPCSDK_API uint32_t StopVideoRequest(uint32_t handle);
IPCSDK_API int SetVideoFrameCallBack(VideoFrameCallBackFunc callback);
/** Class 1, code 0: 0 only on a data answer whose result byte is 1. */
IPCSDK_API uint32_t IPCStartVideo(uint32_t handle, VideoStartInfo *info);
/** Class 1, code 1: 0 on an ack. */
IPCSDK_API uint32_t IPCStopVideo(uint32_t handle, VideoStopInfo *info);
/** Class 1, code 10: 0 only on a data answer whose result byte is 1. */
IPCSDK_API uint32_t IPCStartVideoEx(uint32_t handle, VideoStartExInfo *info);
/** Class 1, code 11: 0 on an ack. */
IPCSDK_API uint32_t IPCStopVideoEx(uint32_t handle, VideoStopExInfo *info);
IPCSDK_API uint32_t IPCPackStartVideoReq(const VideoStartInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackStopVideoReq(const VideoStopInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackStartVideoExReq(const VideoStartExInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackStopVideoExReq(const VideoStopExInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackStartVideoRes(const uint8_t *answer, uint32_t answerLen, VideoStartResult *result);
IPCSDK_API uint32_t IPCUnPackStartVideoExRes(const uint8_t *answer, uint32_t answerLen, VideoStartExResult *result);

/* ------------------------------------------------------------------------------------------
 * Alarm and data report channel
 * ---------------------------------------------------------------------------------------- */
typedef struct DataReportRequestInfo {
    uint8_t head[4];
    uint16_t value1;         /**< big-endian on the wire */
    uint16_t value2;         /**< big-endian on the wire */
    uint32_t value3;         /**< big-endian on the wire */
    uint8_t rest[128];
} DataReportRequestInfo;
IPCSDK_ASSERT_SIZE(DataReportRequestInfo, 140);

/** Opens the report channel (TCP 5000, connection type 1) and its receiver: the channel's
 * descriptor, -1, or 0x80001004. Login calls it on acceptance. Starts as StartVideoRequest;
 * the disconnection callback may call it to reconnect. */
IPCSDK_API int32_t StartDataReport(uint32_t handle);
/** Asks the receiver to stop (no disconnection callback): 0 or 0x80001004. */
IPCSDK_API uint32_t StopDataReport(uint32_t handle);
IPCSDK_API int SetReportCallbackFunc(DataReportCallbackFunc callback);
IPCSDK_API int SetExceptionCallBack(DisconnectionCallbackFunc callback);
/** Stores picture and data reports in the slot and calls the data report callback. */
IPCSDK_API uint32_t AlarmMonitorHandle(uint32_t type, uint32_t handle, uint8_t *body, uint32_t bodyLength);
/** Per-part hook of the picture types that are not stored; does nothing, returns 0. */
IPCSDK_API uint32_t AlarmMonitorHandle_1(uint32_t type, int32_t index, uint32_t wordA, uint32_t wordB,
                                         uint8_t *part, uint32_t partLength);
/** Class 1, code 9: 0 on an ack. */
IPCSDK_API uint32_t IPCDataReportRequest(uint32_t handle, DataReportRequestInfo *info);
IPCSDK_API uint32_t IPCDataReportParam(const DataReportRequestInfo *info, uint8_t *out, uint32_t *outLen);

/* ------------------------------------------------------------------------------------------
 * Video and image parameters
 * ---------------------------------------------------------------------------------------- */
typedef struct VideoParamRecord {
    uint16_t value16;        /**< big-endian on the wire */
    uint8_t bytes2[2];
    uint32_t value32;        /**< big-endian on the wire */
    uint8_t rest[124];
} VideoParamRecord;
IPCSDK_ASSERT_SIZE(VideoParamRecord, 132);

typedef struct ExOsdTextBlock {
    uint16_t x;              /**< big-endian on the wire */
    uint16_t y;              /**< big-endian on the wire */
    uint8_t text[64];
} ExOsdTextBlock;

typedef struct IPCSDK_PACKED ExOsdRecord {
    uint8_t head[76];
    uint16_t values[5];      /**< big-endian on the wire */
    ExOsdTextBlock blocks[4];
    uint32_t tail;           /**< big-endian on the wire */
} ExOsdRecord;
IPCSDK_ASSERT_SIZE(ExOsdRecord, 362);

typedef struct CameraControlRecord {
    uint8_t head[4];
    uint32_t value1;         /**< big-endian on the wire */
    uint32_t value2;         /**< big-endian on the wire */
    uint8_t rest[116];
} CameraControlRecord;
IPCSDK_ASSERT_SIZE(CameraControlRecord, 128);

/** Class 1, code 6: fills up to count records (at most 77 fit an answer). */
IPCSDK_API uint32_t IPCVideoParamGet(uint32_t handle, VideoParamRecord *records, int32_t count);
/** Class 1, code 7: sends count records (1..77; more is refused with 0x80002001). */
IPCSDK_API uint32_t IPCVideoParamSet(uint32_t handle, const VideoParamRecord *records, int32_t count);
/** Class 1, code 14: fills up to count records. */
IPCSDK_API uint32_t IPCExOsdGet(uint32_t handle, ExOsdRecord *records, int32_t count);
/** Class 1, code 15: sends count records (1..28). */
IPCSDK_API uint32_t IPCExOsdSet(uint32_t handle, const ExOsdRecord *records, int32_t count);
/** Class 1, code 16: fills one record. */
IPCSDK_API uint32_t IPCGetCameraControlInfo(uint32_t handle, CameraControlRecord *record);
/** Class 1, code 17: sends one record. */
IPCSDK_API uint32_t IPCSetCameraControlInfo(uint32_t handle, const CameraControlRecord *record);
IPCSDK_API uint32_t IPCPackVideoParam(int32_t count, const VideoParamRecord *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackVideoParam(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                        VideoParamRecord *records);
IPCSDK_API uint32_t IPCPackExOsdParam(int32_t count, const ExOsdRecord *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackExOsdParam(const uint8_t *answer, uint32_t answerLen, int32_t count, ExOsdRecord *records);
IPCSDK_API uint32_t IPCPackCameraControlInfo(int32_t count, const CameraControlRecord *record, uint8_t *out,
                                             uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackCameraControlInfo(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                               CameraControlRecord *records);

/* ------------------------------------------------------------------------------------------
 * Commands answered through the report channel
 * ---------------------------------------------------------------------------------------- */
typedef struct SimuSnapInfo {
    uint8_t bytes[132];      /**< sent as is */
} SimuSnapInfo;
IPCSDK_ASSERT_SIZE(SimuSnapInfo, 132);

typedef struct GpsInfoRequest {
    uint32_t value1;         /**< big-endian on the wire */
    uint32_t value2;         /**< big-endian on the wire */
    uint8_t rest[120];
} GpsInfoRequest;
IPCSDK_ASSERT_SIZE(GpsInfoRequest, 128);

typedef struct DistantInfo {
    uint8_t bytes[128];      /**< sent as is by IPCPackDistantInfoParam; the command sends no payload */
} DistantInfo;
IPCSDK_ASSERT_SIZE(DistantInfo, 128);

/** What IPCSIMUSNAP writes: 660 bytes, then the kind-1 and the kind-2 picture. */
typedef struct SnapPairResult {
    uint32_t snapPairFlag;   /**< 2 when the pair is complete */
    uint8_t untouched[128];  /**< not written */
    uint32_t snapWord1;
    uint32_t snapWord2;
    uint8_t snapRecord1[256];
    uint8_t snapRecord2[256];
    uint32_t snapLen1;
    uint32_t snapLen2;
    __extension__ uint8_t pictures[0]; /**< snapLen1 bytes of the kind-1 picture, then snapLen2 of the kind-2 */
} SnapPairResult;
IPCSDK_ASSERT_SIZE(SnapPairResult, 660);

/** The three waiting commands: the camera acknowledges the request, then delivers the result as
 * a report. They never hold the command lock while waiting. With wait != 1 the answer kind
 * decides (ack 0; nak, echo, other 0x80002002, except IPCSIMUSNAP's echo 0x80001006). With
 * wait == 1 they poll once a second, up to `tries` times, and on success return a byte count:
 *   IPCSIMUSNAP (13, 10): 660 + L1 + L2, the SnapPairResult written (outSize must hold it);
 *       0x80001006 when the pair did not arrive, 0x80001007 short answer or no socket.
 *   IPCGpsInfo (12, 53): the length of the 0x1001/0x1002 report; out is filled with
 *       min(outSize, 2 MiB) bytes of the stored report (outSize >= 36); 0x80002002 on timeout.
 *   IPCDistantInfoSet (12, 48): sends the header alone; returns the length of the 0x1004 report
 *       and copies min(length, outSize) bytes (outSize >= 128); 0x80002002 on timeout.
 * 0x80002003: out null or outSize too small; 0x80001004: bad handle, or logged out meanwhile. */
IPCSDK_API uint32_t IPCSIMUSNAP(uint32_t handle, SimuSnapInfo *info, int32_t wait, void *out, uint32_t outSize,
                                int32_t tries);
IPCSDK_API uint32_t IPCGpsInfo(uint32_t handle, GpsInfoRequest *info, int32_t wait, void *out, uint32_t outSize,
                               int32_t tries);
IPCSDK_API uint32_t IPCDistantInfoSet(uint32_t handle, DistantInfo *info, int32_t wait, void *out, uint32_t outSize,
                                      int32_t tries);
IPCSDK_API uint32_t IPCSIMUSNAPParam(const SimuSnapInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCGpsInfoParam(const GpsInfoRequest *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackDistantInfoParam(const DistantInfo *info, uint8_t *out, uint32_t *outLen);

/* ------------------------------------------------------------------------------------------
 * Camera settings commands. Unless a line says otherwise, each returns 0 on the answer it
 * counts as success (the ack for a set, the data answer for a get), 0x80001004 for an unknown
 * handle, 0x80001002 before IPCSdkInit, 0x80002001 for a null record (or a count below 1),
 * 0x80001007 when no complete answer came back, and 0x80002002 for a nak, an answer of another
 * command, an ack to a get or a data answer to a set. A get fills its record(s) only as far as
 * the answer holds whole records; the rest keeps its contents. Codecs: IPCPack... writes the
 * wire form and the payload length, returns 0; IPCUnPack... reads whole records after the
 * 16-byte header, never past answerLen, and returns how many it filled.
 * ---------------------------------------------------------------------------------------- */

/* ------------------------------------------------------------------------------------------
 * PTZ control, presets and cruise (class 12)
 * ---------------------------------------------------------------------------------------- */
typedef struct PTZParamRecord {
    uint8_t head[4];
    uint32_t value;          /**< big-endian on the wire */
    uint8_t bytes2[2];
    uint8_t rest[118];       /**< sent; never written by a get */
} PTZParamRecord;
IPCSDK_ASSERT_SIZE(PTZParamRecord, 128);

typedef struct PTZCtrlRecord {
    uint8_t bytes[132];      /**< sent as is */
} PTZCtrlRecord;
IPCSDK_ASSERT_SIZE(PTZCtrlRecord, 132);

typedef struct PresetRecord {
    uint8_t bytes[36];       /**< one preset position, sent as is */
} PresetRecord;
IPCSDK_ASSERT_SIZE(PresetRecord, 36);

typedef struct PresetTable {
    PresetRecord presets[255];  /**< 255 slots; sent and received as is */
} PresetTable;
IPCSDK_ASSERT_SIZE(PresetTable, 9180);

typedef struct PTZValueRecord {
    uint16_t usPanVal;       /**< big-endian on the wire */
    uint16_t usValue2;       /**< big-endian on the wire */
    uint16_t usValue3;       /**< big-endian on the wire */
    uint8_t rest[128];
} PTZValueRecord;
IPCSDK_ASSERT_SIZE(PTZValueRecord, 134);

typedef struct CruiseRecord {
    uint8_t bytes[124];      /**< a cruise command, sent as is */
} CruiseRecord;
IPCSDK_ASSERT_SIZE(CruiseRecord, 124);

typedef struct CruiseInfoRecord {
    uint8_t bytes[3460];     /**< the cruise settings, sent and received as is */
} CruiseInfoRecord;
IPCSDK_ASSERT_SIZE(CruiseInfoRecord, 3460);

/** Code 0: fills bytes 0..9 of up to count records; bytes 10..127 keep their contents. */
IPCSDK_API uint32_t IPCPTZParamGet(uint32_t handle, PTZParamRecord *records, int32_t count);
/** Code 1: sends count records (1..80; more is refused with 0x80002001). */
IPCSDK_API uint32_t IPCPTZParamSet(uint32_t handle, const PTZParamRecord *records, int32_t count);
/** Code 2: sends the 132 bytes as they are. */
IPCSDK_API uint32_t IPCPTZCtrl(uint32_t handle, const PTZCtrlRecord *record);
/** Code 3: overwrites the whole table: the bytes the answer carries, zero bytes after them. */
IPCSDK_API uint32_t IPCGetPresetPoint(uint32_t handle, PresetTable *table);
/** Code 4: sends one preset record as is. */
IPCSDK_API uint32_t IPCSetPresetPoint(uint32_t handle, const PresetRecord *record);
/** Code 8: fills one record. Before IPCSdkInit the refusal is printed on standard output. */
IPCSDK_API uint32_t IPCPTZValueGet(uint32_t handle, PTZValueRecord *record);
/** Code 9: sends one record; also writes two error lines, the second with usPanVal. */
IPCSDK_API uint32_t IPCPTZValueSet(uint32_t handle, const PTZValueRecord *record);
/** Code 17: sends the whole 9180-byte table. */
IPCSDK_API uint32_t IPCClearPresetPoint(uint32_t handle, const PresetTable *table);
/** Code 23: fills one record; works before IPCSdkInit too (no 0x80001002). */
IPCSDK_API uint32_t IPCCruiseinfoGet(uint32_t handle, CruiseInfoRecord *record);
/** Code 24: sends one record; no 0x80001002. */
IPCSDK_API uint32_t IPCCruiseInfoSet(uint32_t handle, const CruiseInfoRecord *record);
/** Code 25: sends one cruise command; no 0x80001002. */
IPCSDK_API uint32_t IPCCruiseSet(uint32_t handle, const CruiseRecord *record);
IPCSDK_API uint32_t IPCPackPTZParam(int32_t count, const PTZParamRecord *records, uint8_t *out, uint32_t *outLen);
/** Writes bytes 0..9 of each record only. */
IPCSDK_API uint32_t IPCUnPackPTZParam(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                      PTZParamRecord *records);
IPCSDK_API uint32_t IPCPackPTZCtrl(const PTZCtrlRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackPresetPoint(const PresetRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackPresetPointEx(const PresetTable *table, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackPresetPoint(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                         PresetRecord *records);
/** Fills the whole table from the payload, zero past its end; count is not used; returns 0. */
IPCSDK_API uint32_t IPCUnPackPresetPointEx(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                           PresetTable *table);
IPCSDK_API uint32_t IPCPackPTZValue(int32_t count, const PTZValueRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackPTZValue(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                      PTZValueRecord *records);
IPCSDK_API uint32_t IPCPackCruise(const CruiseRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackCruiseParam(const CruiseInfoRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackCruiseInfo(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                        CruiseInfoRecord *records);

/* ------------------------------------------------------------------------------------------
 * Target tracking and calibration marks. Except IPCTrackParamGet and IPCTargetTrackSet these
 * count the data answer (echo of their own class and code) as success and an ack as failure.
 * ---------------------------------------------------------------------------------------- */
typedef struct TrackParamRecord {
    uint8_t bytes[132];      /**< sent and received as is */
} TrackParamRecord;
IPCSDK_ASSERT_SIZE(TrackParamRecord, 132);

typedef struct CamMarkEntry {
    uint16_t value1;         /**< big-endian on the wire */
    uint16_t value2;         /**< big-endian on the wire */
    uint16_t value3;         /**< big-endian on the wire */
    uint8_t bytes[2];
} CamMarkEntry;
IPCSDK_ASSERT_SIZE(CamMarkEntry, 8);

typedef struct CamMarkRecord {
    uint8_t head[4];
    CamMarkEntry marks[20];
    uint8_t tail[48];
} CamMarkRecord;
IPCSDK_ASSERT_SIZE(CamMarkRecord, 212);

typedef struct CamMark2Entry {
    uint16_t value1;         /**< big-endian on the wire */
    uint16_t value2;         /**< big-endian on the wire */
    uint8_t bytes[4];
} CamMark2Entry;
IPCSDK_ASSERT_SIZE(CamMark2Entry, 8);

typedef struct CamMark2Record {
    CamMark2Entry marks[20];
    uint16_t values[20][4];  /**< big-endian on the wire */
} CamMark2Record;
IPCSDK_ASSERT_SIZE(CamMark2Record, 320);

typedef struct CamLinkPTZBlock {
    uint8_t bytes[262];
    uint16_t values[20];     /**< big-endian on the wire */
} CamLinkPTZBlock;
IPCSDK_ASSERT_SIZE(CamLinkPTZBlock, 302);

typedef struct CamLinkPTZRecord {
    uint8_t head[4];
    CamLinkPTZBlock blocks[6];  /**< value arrays at 266, 568, 870, 1172, 1474, 1776 */
    uint8_t tail[48];
} CamLinkPTZRecord;
IPCSDK_ASSERT_SIZE(CamLinkPTZRecord, 1864);
IPCSDK_ASSERT_OFFSET(CamLinkPTZRecord, blocks[0].values, 266);

/** Class 4, code 6: a snapshot; param must not be null and is not used. Trail lines only. */
IPCSDK_API uint32_t IPCShotSnap(uint32_t handle, void *param);
/** Class 34, code 4: fills one record; an ack is a failure. */
IPCSDK_API uint32_t IPCTrackParamGet(uint32_t handle, TrackParamRecord *record);
/** Class 34, code 5: sends one record; 0 on the data answer, whose payload is not read. */
IPCSDK_API uint32_t IPCTrackParamSet(uint32_t handle, const TrackParamRecord *record);
/** Class 34, code 1: sends the one switch byte; 0 on an ack, 0x80002002 on a data answer. */
IPCSDK_API uint32_t IPCTargetTrackSet(uint32_t handle, const uint8_t *trackSwitch);
/** Class 33, code 1: enters the mark mode; the mark record the data answer carries is copied
 * into record (left as it was when the answer holds less than 212 bytes). */
IPCSDK_API uint32_t IPCEnterCamMarkMode(uint32_t handle, CamMarkRecord *record);
/** Class 33, code 8: header alone. */
IPCSDK_API uint32_t IPCEnterCamMarkMode2(uint32_t handle);
/** Class 33, codes 2 to 6: send one mark record; 0 on the data answer (not read). */
IPCSDK_API uint32_t IPCLeaveCamMarkMode(uint32_t handle, const CamMarkRecord *record);
IPCSDK_API uint32_t IPCAddCamMarkPoint(uint32_t handle, const CamMarkRecord *record);
IPCSDK_API uint32_t IPCDelCamMarkPoint(uint32_t handle, const CamMarkRecord *record);
IPCSDK_API uint32_t IPCEndCamMarkPoint(uint32_t handle, const CamMarkRecord *record);
IPCSDK_API uint32_t IPCClearCamMarkPoint(uint32_t handle, const CamMarkRecord *record);
/** Class 33, code 7: fills one mark record. */
IPCSDK_API uint32_t IPCGetCamMarkPoint(uint32_t handle, CamMarkRecord *record);
/** Class 33, code 9: fills one record. */
IPCSDK_API uint32_t IPCGetCamMarkPoint2(uint32_t handle, CamMark2Record *record);
/** Class 33, code 16: sends one record. */
IPCSDK_API uint32_t IPCEndCamMarkPoint2(uint32_t handle, const CamMark2Record *record);
/** Class 33, code 17: header alone; param must not be null and is not used; no 0x80001002. */
IPCSDK_API uint32_t IPCEndCamMarkPointAlone(uint32_t handle, void *param);
/** Class 32, code 1: fills one record. */
IPCSDK_API uint32_t IPCGetCamLinkPTZInfo(uint32_t handle, CamLinkPTZRecord *record);
/** Class 32, code 2: sends one record. */
IPCSDK_API uint32_t IPCAddCamLinkPTZInfo(uint32_t handle, const CamLinkPTZRecord *record);
IPCSDK_API uint32_t IPCPackTrackParam(const TrackParamRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackTrackParam(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                        TrackParamRecord *records);
IPCSDK_API uint32_t IPCPackTargetTrack(const uint8_t *trackSwitch, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackCamMarkParam(const CamMarkRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackCamMarkParam(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                          CamMarkRecord *records);
IPCSDK_API uint32_t IPCPackCamMarkParam2(const CamMark2Record *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackCamMarkParam2(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                           CamMark2Record *records);
IPCSDK_API uint32_t IPCPackCamLinkPTZInfo(const CamLinkPTZRecord *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackCamLinkPTZInfo(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                            CamLinkPTZRecord *records);

/* ------------------------------------------------------------------------------------------
 * Focus (class 33)
 * ---------------------------------------------------------------------------------------- */
typedef struct FocusModeRecord {
    uint8_t mode;            /**< the only byte a get writes */
    uint8_t rest[127];       /**< sent as is */
} FocusModeRecord;
IPCSDK_ASSERT_SIZE(FocusModeRecord, 128);

typedef struct LinkFocusLearnRecord {
    uint16_t value1;         /**< big-endian on the wire */
    uint16_t value2;         /**< big-endian on the wire */
    uint8_t rest[124];
} LinkFocusLearnRecord;
IPCSDK_ASSERT_SIZE(LinkFocusLearnRecord, 128);

typedef struct LinkFocusLearnState {
    uint16_t values[4];      /**< big-endian on the wire; the only bytes a query writes */
    uint8_t rest[120];
} LinkFocusLearnState;
IPCSDK_ASSERT_SIZE(LinkFocusLearnState, 128);

/** Code 18: writes the mode byte only. */
IPCSDK_API uint32_t IPCFocusModeGet(uint32_t handle, FocusModeRecord *record);
/** Code 19: sends one record; 0 on the data answer (not read), 0x80002002 on an ack. */
IPCSDK_API uint32_t IPCFocusModeSet(uint32_t handle, const FocusModeRecord *record);
/** Code 21: sends one record; both the ack and the data answer count as success (0). */
IPCSDK_API uint32_t IPCLinkFocusLearn(uint32_t handle, const LinkFocusLearnRecord *record);
/** Code 20: writes the four values (bytes 0..7) only. */
IPCSDK_API uint32_t IPCLinkFocusLearnStateQuery(uint32_t handle, LinkFocusLearnState *record);
IPCSDK_API uint32_t IPCPackFocusModeInfo(int32_t count, const FocusModeRecord *records, uint8_t *out,
                                         uint32_t *outLen);
/** Writes byte 0 of up to count records (at least one). */
IPCSDK_API uint32_t IPCUnPackFocusModeInfo(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                           FocusModeRecord *records);
IPCSDK_API uint32_t IPCPackLinkFocusLearn(int32_t count, const LinkFocusLearnRecord *records, uint8_t *out,
                                          uint32_t *outLen);
/** Writes bytes 0..7 of up to count records. */
IPCSDK_API uint32_t IPCUnPackLinkFocusLearnState(const uint8_t *answer, uint32_t answerLen, int32_t count,
                                                 LinkFocusLearnState *records);

/* ------------------------------------------------------------------------------------------
 * Network, platform access and time
 * ---------------------------------------------------------------------------------------- */
typedef struct NetWorkConfInfo {
    uint32_t word1;          /**< big-endian on the wire; a set requires it non-zero */
    uint32_t word2;          /**< big-endian on the wire; a set requires it non-zero */
    uint32_t word3;          /**< big-endian on the wire; a set requires it non-zero */
    uint8_t block[128];
} NetWorkConfInfo;
IPCSDK_ASSERT_SIZE(NetWorkConfInfo, 140);

typedef struct GB28181Info {
    uint8_t block1[96];
    uint32_t word1;          /**< big-endian on the wire, as are word2..word4 */
    uint32_t word2;
    uint32_t word3;
    uint32_t word4;
    uint8_t block2[292];
} GB28181Info;
IPCSDK_ASSERT_SIZE(GB28181Info, 404);

typedef struct FtpInfo {
    uint32_t word1;          /**< big-endian on the wire */
    uint32_t word2;          /**< big-endian on the wire */
    uint16_t number;         /**< big-endian on the wire */
    uint8_t block[210];
} FtpInfo;
IPCSDK_ASSERT_SIZE(FtpInfo, 220);

typedef struct WebServiceInfo {
    uint32_t word1;          /**< big-endian on the wire, as are word2, word3, word4, number */
    uint32_t word2;
    uint32_t word3;
    uint8_t block1[96];
    uint32_t word4;
    uint16_t number;
    uint8_t block2[122];
} WebServiceInfo;
IPCSDK_ASSERT_SIZE(WebServiceInfo, 236);
IPCSDK_ASSERT_OFFSET(WebServiceInfo, word4, 108);

typedef struct SystemTimeInfo {
    uint32_t word;           /**< big-endian on the wire */
    uint8_t block[128];
} SystemTimeInfo;
IPCSDK_ASSERT_SIZE(SystemTimeInfo, 132);

typedef struct NtpConfInfo {
    uint32_t word1;          /**< big-endian on the wire */
    uint32_t word2;          /**< big-endian on the wire */
    uint16_t number;         /**< big-endian on the wire */
    uint8_t block[126];
} NtpConfInfo;
IPCSDK_ASSERT_SIZE(NtpConfInfo, 136);

/** Class 8, code 0: fills one record. Lines go to the system log only. */
IPCSDK_API uint32_t IPCDevNetWorkGet(uint32_t handle, NetWorkConfInfo *record);
/** Class 8, code 1: sends one record; 0x80002001 (nothing sent) when word1..word3 is zero. */
IPCSDK_API uint32_t IPCDevNetWorkSet(uint32_t handle, const NetWorkConfInfo *record);
/** Class 9, code 8: fills one record. */
IPCSDK_API uint32_t IPCGB28181_setupGet(uint32_t handle, GB28181Info *record);
/** Class 9, code 9: sends one record. */
IPCSDK_API uint32_t IPCGB28181_setupSet(uint32_t handle, const GB28181Info *record);
/** Class 5, code 8: fills one record. */
IPCSDK_API uint32_t IPCFtpGet(uint32_t handle, FtpInfo *record);
/** Class 5, code 9: sends one record. */
IPCSDK_API uint32_t IPCFtpSet(uint32_t handle, const FtpInfo *record);
/** Class 8, code 17: fills one record. */
IPCSDK_API uint32_t IPCGB1400Get(uint32_t handle, WebServiceInfo *record);
/** Class 8, code 16: sends one record; writes no line on any answer. */
IPCSDK_API uint32_t IPCGB1400Set(uint32_t handle, const WebServiceInfo *record);
/** Class 3, code 0: fills one record. */
IPCSDK_API uint32_t IPCSystemTimeGet(uint32_t handle, SystemTimeInfo *record);
/** Class 3, code 1: sends one record. */
IPCSDK_API uint32_t IPCSystemTimeSet(uint32_t handle, const SystemTimeInfo *record);
/** Class 3, code 8: fills one record. */
IPCSDK_API uint32_t IPCNtpConfGet(uint32_t handle, NtpConfInfo *record);
/** Class 3, code 9: sends one record. */
IPCSDK_API uint32_t IPCNtpConfSet(uint32_t handle, const NtpConfInfo *record);
/** Unpackers of this and the next three sections fill none when max is 0 or less. */
IPCSDK_API uint32_t IPCPackNetWorkConfInfo(uint32_t count, const NetWorkConfInfo *records, uint8_t *out,
                                           uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackNetWorkConfInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                             NetWorkConfInfo *records);
IPCSDK_API uint32_t IPCPackGB28181Info(uint32_t count, const GB28181Info *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackGB28181Info(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                         GB28181Info *records);
IPCSDK_API uint32_t IPCPackFtpInfo(uint32_t count, const FtpInfo *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackFtpInfo(const uint8_t *answer, uint32_t answerLen, int32_t max, FtpInfo *records);
IPCSDK_API uint32_t IPCPackWebServiceInfo(uint32_t count, const WebServiceInfo *records, uint8_t *out,
                                          uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackWebServiceInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                            WebServiceInfo *records);
IPCSDK_API uint32_t IPCPackSystemTimeInfo(uint32_t count, const SystemTimeInfo *records, uint8_t *out,
                                          uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackSystemTimeInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                            SystemTimeInfo *records);
IPCSDK_API uint32_t IPCPackNtpConfInfo(uint32_t count, const NtpConfInfo *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackNtpConfInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                         NtpConfInfo *records);

/* ------------------------------------------------------------------------------------------
 * Restart schedules and maintenance (class 3)
 * ---------------------------------------------------------------------------------------- */
typedef struct IPCSDK_PACKED RestartInfo {
    uint32_t word;           /**< big-endian on the wire */
    uint8_t block[121];
} RestartInfo;
IPCSDK_ASSERT_SIZE(RestartInfo, 125);

typedef struct IPCSDK_PACKED RestartInfo2 {
    uint32_t word;           /**< big-endian on the wire */
    uint8_t block[121];
} RestartInfo2;
IPCSDK_ASSERT_SIZE(RestartInfo2, 125);

/** Codes 11 and 21: fill one record. */
IPCSDK_API uint32_t IPCGetRestartInfo(uint32_t handle, RestartInfo *record);
IPCSDK_API uint32_t IPCGetRestartInfo2(uint32_t handle, RestartInfo2 *record);
/** Codes 12 and 22: send one record. */
IPCSDK_API uint32_t IPCSetRestartInfo(uint32_t handle, const RestartInfo *record);
IPCSDK_API uint32_t IPCSetRestartInfo2(uint32_t handle, const RestartInfo2 *record);
/** Codes 7 (reboot), 10 (factory defaults), 23 (PTZ reboot): header alone; 0 once the camera
 * acknowledged. The session stays logged in. */
IPCSDK_API uint32_t IPCReboot(uint32_t handle);
IPCSDK_API uint32_t IPCDevFactoryDefault(uint32_t handle);
IPCSDK_API uint32_t IPCPtzReboot(uint32_t handle);
IPCSDK_API uint32_t IPCPackRestartInfo(uint32_t count, const RestartInfo *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackRestartInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                         RestartInfo *records);
IPCSDK_API uint32_t IPCPackRestartInfo2(uint32_t count, const RestartInfo2 *records, uint8_t *out,
                                        uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackRestartInfo2(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                          RestartInfo2 *records);

/* ------------------------------------------------------------------------------------------
 * Device profile, face, idle and start operations
 * ---------------------------------------------------------------------------------------- */
typedef struct MagnifyInfo {
    uint16_t number1;        /**< big-endian on the wire, as are number2..number4 */
    uint16_t number2;
    uint16_t number3;
    uint16_t number4;
    uint8_t value;
    uint8_t block[123];
} MagnifyInfo;
IPCSDK_ASSERT_SIZE(MagnifyInfo, 132);

typedef struct Dev2Info {
    uint32_t word;           /**< big-endian on the wire */
    uint8_t block[124];
} Dev2Info;
IPCSDK_ASSERT_SIZE(Dev2Info, 128);

typedef struct FaceInfo {
    uint8_t bytes[2];
    uint16_t number1;        /**< big-endian on the wire, as are number2..number4 */
    uint16_t number2;
    uint16_t number3;
    uint16_t number4;
    uint8_t block[118];
} FaceInfo;
IPCSDK_ASSERT_SIZE(FaceInfo, 128);

typedef struct IdleOperationInfo {
    uint8_t bytes[4];
    uint32_t word1;          /**< big-endian on the wire */
    uint32_t word2;          /**< big-endian on the wire */
    uint8_t block[116];
} IdleOperationInfo;
IPCSDK_ASSERT_SIZE(IdleOperationInfo, 128);

typedef struct StartOperationInfo {
    uint8_t bytes[128];      /**< sent and received as is */
} StartOperationInfo;
IPCSDK_ASSERT_SIZE(StartOperationInfo, 128);

/** Class 34, code 3: sends one record. */
IPCSDK_API uint32_t IPCMagnifyApply(uint32_t handle, const MagnifyInfo *record);
/** Class 34, code 6: fills one record. */
IPCSDK_API uint32_t IPCGetDev2Info(uint32_t handle, Dev2Info *record);
/** Class 34, code 7: sends one record. */
IPCSDK_API uint32_t IPCSetDev2Info(uint32_t handle, const Dev2Info *record);
/** Class 34, code 8: fills one record. */
IPCSDK_API uint32_t IPCGetFaceInfo(uint32_t handle, FaceInfo *record);
/** Class 34, code 9: sends one record. */
IPCSDK_API uint32_t IPCSetFaceInfo(uint32_t handle, const FaceInfo *record);
/** Class 3, code 17: fills one record. */
IPCSDK_API uint32_t IPCGetIdleOperationInfo(uint32_t handle, IdleOperationInfo *record);
/** Class 3, code 18: sends one record. */
IPCSDK_API uint32_t IPCSetIdleOperationInfo(uint32_t handle, const IdleOperationInfo *record);
/** Class 3, code 19: fills one record. */
IPCSDK_API uint32_t IPCGetStartOperationInfo(uint32_t handle, StartOperationInfo *record);
/** Class 3, code 20: sends one record. */
IPCSDK_API uint32_t IPCSetStartOperationInfo(uint32_t handle, const StartOperationInfo *record);
IPCSDK_API uint32_t IPCPackMagnifyInfo(uint32_t count, const MagnifyInfo *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackDev2Info(uint32_t count, const Dev2Info *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackDev2Info(const uint8_t *answer, uint32_t answerLen, int32_t max, Dev2Info *records);
IPCSDK_API uint32_t IPCPackFaceInfo(uint32_t count, const FaceInfo *records, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackFaceInfo(const uint8_t *answer, uint32_t answerLen, int32_t max, FaceInfo *records);
IPCSDK_API uint32_t IPCPackIdleOperationInfo(uint32_t count, const IdleOperationInfo *records, uint8_t *out,
                                             uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackIdleOperationInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                               IdleOperationInfo *records);
IPCSDK_API uint32_t IPCPackStartOperationInfo(uint32_t count, const StartOperationInfo *records, uint8_t *out,
                                              uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackStartOperationInfo(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                                StartOperationInfo *records);

/* ------------------------------------------------------------------------------------------
 * Alarm input and output parameters (class 2). Both records travel as the host holds them.
 * These commands work before IPCSdkInit too: they never return 0x80001002.
 * ---------------------------------------------------------------------------------------- */
typedef struct AlarmOutParam {
    uint8_t bytes[296];
} AlarmOutParam;
IPCSDK_ASSERT_SIZE(AlarmOutParam, 296);

typedef struct AlarmInParam {
    uint8_t bytes[8];
} AlarmInParam;
IPCSDK_ASSERT_SIZE(AlarmInParam, 8);

/** Code 4: fills one record. */
IPCSDK_API uint32_t IPCAlarmParamOutGet(uint32_t handle, AlarmOutParam *record);
/** Code 5: sends one record. */
IPCSDK_API uint32_t IPCAlarmParamOutSet(uint32_t handle, const AlarmOutParam *record);
/** Code 6: fills one record. */
IPCSDK_API uint32_t IPCAlarmParamInGet(uint32_t handle, AlarmInParam *record);
/** Code 7: sends one record. */
IPCSDK_API uint32_t IPCAlarmParamInSet(uint32_t handle, const AlarmInParam *record);
IPCSDK_API uint32_t IPCPackAlarmOutParam(const AlarmOutParam *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackAlarmInParam(const AlarmInParam *record, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackAlarmOutParam(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                           AlarmOutParam *records);
IPCSDK_API uint32_t IPCUnPackAlarmInParam(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                          AlarmInParam *records);

/* ------------------------------------------------------------------------------------------
 * Extension settings: pass-through, wiper, laser, cross, image signal processing, zoom
 * synchronisation, fire mode. The lines of these commands go to the system log.
 * ---------------------------------------------------------------------------------------- */
typedef struct PassThroughInfo {
    uint32_t word1;          /**< big-endian on the wire */
    uint32_t word2;          /**< big-endian on the wire */
    uint8_t data[64];
} PassThroughInfo;
IPCSDK_ASSERT_SIZE(PassThroughInfo, 72);

typedef struct CrossInfo {
    uint8_t bytes[131];      /**< only the first 8 are sent */
} CrossInfo;
IPCSDK_ASSERT_SIZE(CrossInfo, 131);

typedef struct ImageEnhanceInfo {
    uint8_t settings[5];     /**< the only bytes read and written */
    uint8_t rest[127];
} ImageEnhanceInfo;
IPCSDK_ASSERT_SIZE(ImageEnhanceInfo, 132);

typedef struct DayNightInfo {
    uint8_t value1;
    uint8_t value2;
    uint8_t unused[2];       /**< not read or written */
    uint32_t word1;          /**< big-endian on the wire */
    uint32_t word2;          /**< big-endian on the wire */
    uint8_t rest[116];       /**< not read or written */
} DayNightInfo;
IPCSDK_ASSERT_SIZE(DayNightInfo, 128);

typedef struct ZoomSyncInfo {
    uint8_t bytes[128];      /**< sent as is */
} ZoomSyncInfo;
IPCSDK_ASSERT_SIZE(ZoomSyncInfo, 128);

typedef struct FireModeInfo {
    uint8_t bytes[64];       /**< sent and received as is */
} FireModeInfo;
IPCSDK_ASSERT_SIZE(FireModeInfo, 64);

/** Class 12, codes 33 (pass-through), 34 (wiper), 35 (laser): 0 on an ack, 0x80001007 short,
 * otherwise 0x80002002. No initialisation check; a null pointer gives 0x80002001. The wiper and
 * laser values travel in host byte order. */
IPCSDK_API uint32_t IPCDevPassThrough(uint32_t handle, const PassThroughInfo *info);
IPCSDK_API uint32_t IPCWiperSet(uint32_t handle, const uint32_t *value);
IPCSDK_API uint32_t IPCLaserSet(uint32_t handle, const uint32_t *value);
/** Class 12, code 52: sends the first 8 bytes of the record. */
IPCSDK_API uint32_t IPCCrossSet(uint32_t handle, const CrossInfo *info);
/** Class 7, code 19: writes settings[0..4] only. */
IPCSDK_API uint32_t IPCImageIspImageEnhanceGet(uint32_t handle, ImageEnhanceInfo *info);
/** Class 7, code 20: sends settings[0..4], zero for the other 127 bytes. */
IPCSDK_API uint32_t IPCImageIspImageEnhanceSet(uint32_t handle, const ImageEnhanceInfo *info);
/** Class 7, code 17: writes value1, value2, word1 and word2 only. */
IPCSDK_API uint32_t IPCImageIspDayNightGet(uint32_t handle, DayNightInfo *info);
/** Class 7, code 18: sends value1, value2, word1 and word2, zero elsewhere. */
IPCSDK_API uint32_t IPCImageIspDayNightSet(uint32_t handle, const DayNightInfo *info);
/** Class 12, code 46: sends the 128 bytes. */
IPCSDK_API uint32_t IPCZoomSysncSet(uint32_t handle, const ZoomSyncInfo *info);
/** Class 1, code 46: sends the 64 bytes. */
IPCSDK_API uint32_t IPCFireModeSet(uint32_t handle, const FireModeInfo *info);
/** Class 1, code 47: fills one record. */
IPCSDK_API uint32_t IPCFireModeGet(uint32_t handle, FireModeInfo *info);
IPCSDK_API uint32_t IPCPackPassThroughParam(const PassThroughInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackWiper(const uint32_t *value, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackLaser(const uint32_t *value, uint8_t *out, uint32_t *outLen);
/** Copies all 131 bytes into out but sets the length to 8. */
IPCSDK_API uint32_t IPCPackCross(const CrossInfo *info, uint8_t *out, uint32_t *outLen);
/** The packers fill count records from the array; the unpackers take max as at least one. */
IPCSDK_API uint32_t IPCPackImageIspImageEnhance(int32_t count, const ImageEnhanceInfo *info, uint8_t *out,
                                                uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackImageIspImageEnhance(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                                  ImageEnhanceInfo *out);
IPCSDK_API uint32_t IPCPackImageIspDayNight(int32_t count, const DayNightInfo *info, uint8_t *out,
                                            uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackImageIspDayNight(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                              DayNightInfo *out);
IPCSDK_API uint32_t IPCPackZoomSysnc(const ZoomSyncInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCPackFireModeSet(const FireModeInfo *info, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackFireModeSet(const uint8_t *answer, uint32_t answerLen, int32_t max,
                                         FireModeInfo *out);

/* ------------------------------------------------------------------------------------------
 * Diagnostics
 * ---------------------------------------------------------------------------------------- */
/** The trace file "IPCSDK_log" in the current directory (null until the first line). */
IPCSDK_API extern FILE *s_fp;
/** Appends one time-stamped line to the trace file, rotating it past 8 MiB. Returns -1. */
IPCSDK_API int sdk_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** Sends one datagram (at most 1023 characters) to "/tmp/pntSever": bytes sent or -1. */
IPCSDK_API int debug_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** A debug line (at most 510 characters, then a "\n" datagram); never blocks. */
IPCSDK_API void IPCSdkDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** An error line, sent exactly as IPCSdkDebug sends its lines. */
IPCSDK_API void IPCSdkError(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ------------------------------------------------------------------------------------------
 * MD5 and digest authentication
 * ---------------------------------------------------------------------------------------- */
typedef struct MD5_CTX {
    uint32_t state[4];
    uint32_t count[2];       /**< message bits modulo 2^64, low word first */
    uint8_t buffer[64];
} MD5_CTX;
IPCSDK_ASSERT_SIZE(MD5_CTX, 88);

IPCSDK_API void MD5Init(MD5_CTX *context);
IPCSDK_API void MD5Update(MD5_CTX *context, const uint8_t *input, uint32_t length);
/** Writes the 16-byte digest, then clears the context. */
IPCSDK_API void MD5Final(uint8_t digest[16], MD5_CTX *context);
/** 32 lower-case hexadecimal digits and a NUL. */
IPCSDK_API void MD5Auth_CvtHex(const uint8_t bin[16], char hex[33]);
/** H(A1) of digest authentication; sessionFlag 1 = MD5-sess. */
IPCSDK_API void MD5Auth_DigestCalcHA1(const char *userName, const char *password, uint8_t sessionFlag,
                                      const char *realm, const char *nonce, const char *cnonce, char out[33]);
/** The request digest; qop may be null (the RFC 2069 form). */
IPCSDK_API void MD5Auth_DigestCalcResponse(const char *ha1, const char *nonce, const char *nonceCount,
                                           const char *cnonce, const char *qop, const char *method,
                                           const char *digestUri, const char *hEntity, char out[33]);
/** The response hash into dst (cut to size - 1): 0, or -1 on a refused argument. */
IPCSDK_API int MD5Auth_BuildAuthResonseWithMD5(char *dst, uint16_t size, uint8_t sessionFlag, const char *userName,
                                               const char *realm, const char *password, const char *nonce,
                                               const char *nonceCount, const char *cnonce, const char *qop,
                                               const char *method, const char *digestUri);
/** MD5 of len input bytes as 32 upper-case hexadecimal digits and a NUL. */
IPCSDK_API void MD5Gen(char out[33], const uint8_t *input, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif /**< IPCSDK_H */
