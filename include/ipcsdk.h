/*
 * ipcsdk: client library for networked pan-tilt-zoom IP cameras.
 *
 * One header for the whole C interface: the device table, the records exchanged with a
 * camera, the result codes, the process-wide globals and every exported function.
 * Compiles as C99 and as C++. Integers inside records are in host byte order; the codecs
 * convert the fields the camera expects big-endian and copy every other byte unchanged.
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
#define IPCSDK_ERR_ALREADY_INIT 0x80001001u    /* IPCSdkInit on an initialised SDK */
#define IPCSDK_ERR_NOT_INIT 0x80001002u        /* SDK not initialised */
#define IPCSDK_ERR_DEVICE_EXISTS 0x80001003u   /* a table entry holds this address already */
#define IPCSDK_ERR_BAD_HANDLE 0x80001004u      /* handle 0 or no entry in use carries it */
#define IPCSDK_ERR_AUTH 0x80001005u            /* camera refused user name or password */
#define IPCSDK_ERR_NO_PICTURE 0x80001006u      /* picture pair not available in time */
#define IPCSDK_ERR_NET 0x80001007u             /* no answer of the minimum size */
#define IPCSDK_ERR_SOCKET 0x80001008u          /* command socket for a login cannot be opened */
#define IPCSDK_ERR_TCP_SEND 0x80001009u        /* a TCP send failed */
#define IPCSDK_ERR_PARAM 0x80002001u           /* missing record or argument out of range */
#define IPCSDK_ERR_REFUSED 0x80002002u         /* nak, unexpected answer kind, or failure */
#define IPCSDK_ERR_BUFFER 0x80002003u          /* output buffer missing or too small */
#define IPCSDK_ERR_TABLE_FULL 0x80002004u      /* all 256 slots are in use */

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
    uint32_t inUse;          /* 1 while the entry holds a camera (or one being logged in) */
    int32_t cmdSocket;       /* UDP socket or TCP connection of the commands; -1 when lost */
    uint32_t deviceAddr;     /* IPv4 address, network byte order */
    uint32_t handle;         /* slot index + 0x1023000 */
    uint8_t loggedIn;        /* 1 once the camera accepted the login */
    uint32_t reqLen;         /* payload bytes in reqBuf for the next exchange */
    uint32_t respLen;        /* answer capacity before an exchange, its result after */
    uint32_t netType;        /* 1 UDP, 2 TCP, as given at login */
    uint32_t snapWord1;      /* leading word of the last kind-1 picture body */
    uint32_t snapWord2;      /* leading word of the last kind-2 picture body */
    uint32_t snapLen1;       /* bytes in snapData1 */
    uint32_t snapLen2;       /* bytes in snapData2 */
    uint32_t reportLen1001;  /* bytes in reportBuf1001 */
    uint32_t reportLen1002;  /* bytes in reportBuf1002 */
    uint32_t reportLen1004;  /* bytes in reportBuf1004 */
    uint32_t reportState;    /* 1 picture pair, 2 report 0x1001, 3 0x1002, 4 0x1004 */
    uint32_t snapPairFlag;   /* 2 once both pictures of a pair are stored */
    uint32_t reportRunning;  /* report channel wanted */
    uint32_t videoRunning;   /* video channel wanted */
    int32_t reportFill;      /* bytes held by the report receiver */
    int32_t videoFill;       /* bytes held by the video receiver */
    int32_t reportSocket;    /* report channel connection, -1 when none */
    int32_t videoSocket;     /* video channel connection, -1 when none */
    int64_t lastRecvTime;    /* seconds since the epoch of the last channel data, 0 = none */
    uint8_t *reqBuf;         /* 10240-byte request payload buffer */
    uint8_t *respBuf;        /* 10240-byte answer buffer (header included) */
    uint8_t *snapRecord1;    /* 256 bytes */
    uint8_t *snapRecord2;    /* 256 bytes */
    uint8_t *snapData1;      /* 2 MiB */
    uint8_t *snapData2;      /* 2 MiB */
    uint8_t *reportBuf1001;  /* 2 MiB */
    uint8_t *reportBuf1002;  /* 2 MiB */
    uint8_t *reportBuf1004;  /* 2 MiB */
    sem_t sem;               /* serialises the commands of this camera */
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
IPCSDK_API extern int32_t g_IPCSdkInit;     /* 1 while initialised */
IPCSDK_API extern int32_t g_SdkNetMode;     /* transport of every exchange: 1 UDP, 2 TCP; -1 at load */
IPCSDK_API extern int32_t g_SocketInitFlag; /* 1 after the last socket initialisation succeeded, else -1 */

/* ------------------------------------------------------------------------------------------
 * Callbacks (read afresh at each use; null until the host sets them)
 * ---------------------------------------------------------------------------------------- */
/* One complete video frame, in place: magic at frame[0], payload length at frame[8]
 * (little-endian), payload from frame[156]. Valid only during the call. */
typedef int (*VideoFrameCallBackFunc)(uint32_t handle, uint8_t *frame);
/* One report: message type, handle, 0, body (valid during the call), body length, 0. */
typedef int (*DataReportCallbackFunc)(uint32_t type, intptr_t handle, intptr_t reserved1, uint8_t *body,
                                      uint32_t bodyLength, intptr_t reserved2);
/* The report channel was closed by the camera: address (network order), handle, handle. */
typedef int (*DisconnectionCallbackFunc)(uint32_t deviceAddr, uint32_t handle, uintptr_t user);

IPCSDK_API extern VideoFrameCallBackFunc g_VideoFrameCallBackFunc;
IPCSDK_API extern DataReportCallbackFunc g_DataReportCallbackFunc;
IPCSDK_API extern DisconnectionCallbackFunc g_DisconnectionCallbackFunc;

/* ------------------------------------------------------------------------------------------
 * Lifecycle
 * ---------------------------------------------------------------------------------------- */
/* Clears the table and marks the SDK initialised: 0, or 0x80001001 when already initialised. */
IPCSDK_API uint32_t IPCSdkInit(void);
/* Releases every entry still in use (stopping its threads), clears the table; returns 0. */
IPCSDK_API uint32_t IPCSdkUnInit(void);
/* The version text "1.0.0.22". */
IPCSDK_API const char *IPCSDKVersion(void);
/* Monotonic clock in microseconds. */
IPCSDK_API uint64_t get_x3_time_us(void);

/* ------------------------------------------------------------------------------------------
 * Frame and transport
 * ---------------------------------------------------------------------------------------- */
typedef struct MessageHeader {
    uint8_t magic[2];        /* 0x5B 0x5A in requests, 0x5A 0x5B in reports */
    uint8_t version;         /* 0x01 */
    uint8_t msgClass;        /* class; 0x7A ack, 0x7C nak in answers */
    uint8_t code;            /* command code */
    uint8_t reserved[7];     /* zero */
    uint8_t payloadLength[4]; /* big-endian */
} MessageHeader;
IPCSDK_ASSERT_SIZE(MessageHeader, 16);

typedef struct LoginDeviceInfo {
    uint32_t netType;        /* 1 UDP, 2 TCP */
    uint16_t port;           /* TCP command port, host order; unused for UDP */
    char address[64];        /* dotted-quad text */
} LoginDeviceInfo;
IPCSDK_ASSERT_SIZE(LoginDeviceInfo, 72);

/* Stores the transport mode and opens the command socket: descriptor or -1. Used by login. */
IPCSDK_API int32_t IPCSdkSockInit(LoginDeviceInfo *info, uint32_t timeoutSeconds);
/* Exchanges reqBuf/reqLen as (class, code) on the slot's command socket; result also in respLen:
 * answer bytes, or -1/-2 (UDP), -1/-3/-4/0x80001009 (TCP), 0 when the mode is neither. */
IPCSDK_API uint32_t IPCSdk2usock(DeviceSlot *slot, uint8_t msgClass, uint8_t code);
/* The same exchange on any descriptor with the caller's buffers; respCapacity is not written. */
IPCSDK_API uint32_t IPCSdk2usock2(int fd, uint8_t msgClass, uint8_t code, const void *payload, uint32_t payloadLen,
                                  void *resp, uint32_t *respCapacity);

IPCSDK_API int IPCSdkUdpExist(void);
/* New UDP socket (never bound); addr (host order) and port must be non-zero. -1 on failure. */
IPCSDK_API int32_t IPCSdkUdpConnect(uint32_t addr, uint16_t port);
/* One datagram to port 5001 of the entry owning fd: bytes sent, negative send result, or 0. */
IPCSDK_API int32_t IPCSdkUdpSend(int fd, const void *buf, int len);
/* Up to 41 polls of 10 ms on a command socket: size, -1, or -2 (late answer counted). */
IPCSDK_API int32_t IPCSdkUdpRecv(int fd, void *buf, int len);
/* Send and receive; the answer's size must equal its header length + 16: size, -1, -2. */
IPCSDK_API int32_t IPCSdkUdpRequest(int fd, const void *req, uint32_t reqLen, void *resp, uint32_t respCap);

IPCSDK_API int IPCSdkTcpExist(void);
/* Connected TCP socket with the fixed options, connect bounded by timeoutSeconds (0: none); -1. */
IPCSDK_API int IPCSdkTcpConnect(uint32_t addr, uint16_t port, int timeoutSeconds);
/* Plain blocking connect without options; -1 on failure. */
IPCSDK_API int IPCSdkTcpConnect2(uint32_t addr, uint16_t port);
/* One send call: byte count, 0 when nothing was sent, 0x80001009 on failure. Never raises SIGPIPE. */
IPCSDK_API uint32_t IPCSdkTcpSend(int fd, const void *buf, int len);
/* Send, then 11 polls of 200 ms: answer bytes of one receive, -1, -3, -4 or 0x80001009. */
IPCSDK_API uint32_t IPCSdkTcpRequest(int fd, const void *req, uint32_t reqLen, void *resp, int respCap);

/* Local datagram channel to the peer at "/tmp/dbgServer", bound at the given path (at most
 * 19 characters): 0 or -1. */
IPCSDK_API int32_t IPCSdkUnixInit(const char *conflocateName);
IPCSDK_API int32_t IPCSdkUnixUninit(void);
/* One request; up to 401 polls of 10 ms for the answer: size, sent count, -1, -2 or -9. */
IPCSDK_API int32_t IPCSdkUnixRequest(const uint8_t *req, uint32_t reqLen, uint8_t *resp, int respCap);
/* Removes every file whose path begins with the bound name; 0, or -1 when nothing is bound. */
IPCSDK_API int remove_confargs_file(void);
/* Writes the length and the first 16 bytes of a frame to the debug log. */
IPCSDK_API void DumpData(const char *data, int len);

/* ------------------------------------------------------------------------------------------
 * Login and logout
 * ---------------------------------------------------------------------------------------- */
typedef struct LoginUserInfo {
    char userName[32];
    char password[32];       /* replaced by the digest text at login */
    uint32_t loginWord1;     /* big-endian on the wire; 0 when sent by IPCSdkLogin */
    uint32_t loginWord2;
    uint8_t rest[88];
} LoginUserInfo;
IPCSDK_ASSERT_SIZE(LoginUserInfo, 160);

typedef struct LoginResult {
    uint32_t reserved0;
    uint32_t status;         /* 200 accepted, 401 wrong user name or password */
    uint8_t reserved[128];
} LoginResult;
IPCSDK_ASSERT_SIZE(LoginResult, 136);

typedef struct IPCSDK_PACKED SystemInfo {
    uint32_t deviceType;        /* 0 */
    uint8_t deviceModel[16];    /* 4 */
    uint32_t hardwareVersion;   /* 20 */
    uint32_t softwareVersion;   /* 24 */
    uint32_t buildDate;         /* 28 */
    uint8_t serialNumber[16];   /* 32 */
    uint8_t channelInfo[2];     /* 48 */
    uint8_t reserved1[4];       /* 50, not written */
    uint16_t videoInputs;       /* 54 */
    uint16_t alarmInputs;       /* 56 */
    uint8_t macAddress[16];     /* 58 */
    uint8_t capability[2];      /* 74 */
    uint32_t protocolVersion;   /* 76 */
} SystemInfo;
IPCSDK_ASSERT_SIZE(SystemInfo, 80);

typedef struct ServerConnTypeInfo {
    uint32_t connType;       /* 1 report channel, 2 video channel */
    uint8_t reserved[128];
} ServerConnTypeInfo;
IPCSDK_ASSERT_SIZE(ServerConnTypeInfo, 132);

/* Logs in: handle (0x1023000..0x10230FF), 0x80001003 duplicate address, 0x80001008 socket,
 * 0x80002004 table full, 0x80001002, 0x80001007, 0x80002002, 0x80001005 wrong credentials,
 * 0x80002001 null record, or 0 for any other status. Replaces user->password with the digest. */
IPCSDK_API uint32_t IPCSdkLogin(LoginDeviceInfo *device, LoginUserInfo *user, uint32_t timeoutSeconds);
/* Sends the login request (class 0, code 0) of an allocated entry; needs a 136-byte answer. */
IPCSDK_API uint32_t IPCUserLogin(uint32_t handle, LoginUserInfo *user, LoginResult *result);
IPCSDK_API uint32_t IPCPackUserLoginInfo(const LoginUserInfo *user, uint8_t *out, uint32_t *outLen);
IPCSDK_API uint32_t IPCUnPackUserLoginRes(const uint8_t *answer, uint32_t answerLen, LoginResult *result);
/* Class 3, code 2: fills info from the data answer. */
IPCSDK_API uint32_t IPCGetSysVersion(uint32_t handle, SystemInfo *info);
IPCSDK_API uint32_t IPCUnPackSystemInfo_IPC(const uint8_t *answer, uint32_t answerLen, SystemInfo *info);
IPCSDK_API uint32_t IPCPackServerConnTypeInfo(const ServerConnTypeInfo *in, uint8_t *out, uint32_t *outLen);
/* Releases an entry at once: stops its threads (waiting for them), frees buffers, closes sockets. */
IPCSDK_API void DeviceLogout(uint32_t handle);
/* Takes the command lock, stops the channels, waits 3 s, releases the entry: 0 or 0x80001004. */
IPCSDK_API uint32_t IPCSdkLogout(uint32_t handle);
/* Posts the camera's command semaphore once: 0 or 0x80001004. */
IPCSDK_API uint32_t IPC_FORCE_EXIT(uint32_t handle);

/* ------------------------------------------------------------------------------------------
 * Heartbeat
 * ---------------------------------------------------------------------------------------- */
/* Class 10, code 0, no payload; 0 on an ack. */
IPCSDK_API uint32_t IPCSendHeartBeat(uint32_t handle);
/* Thread body: a beat every 5 s while the slot stays logged in; returns NULL. */
IPCSDK_API void *HandlHeartBeatThread(void *slot);
/* Starts the heartbeat thread for an entry of g_DevManage: 0 or -1. */
IPCSDK_API int CreatHandlHeartBeatThread(DeviceSlot *slot);

/* ------------------------------------------------------------------------------------------
 * Video stream
 * ---------------------------------------------------------------------------------------- */
typedef struct IPCSDK_PACKED VideoStartInfo {
    uint8_t selectorA;
    uint8_t selectorB;
    uint8_t result;          /* not sent; 1 = started in the answer */
    uint8_t reserved;
    uint32_t value32;        /* big-endian on the wire */
    uint16_t value16;        /* big-endian on the wire */
    uint8_t attachMode;      /* 2 = attach the extra data if any */
    uint8_t kind;            /* 5 or 10 = extra data always attached */
    uint32_t dataLength;     /* bytes of extra data following the head */
    uint8_t data[];          /* the extra data, inline */
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
    uint32_t bodyLength;     /* always sent */
    uint32_t dataLength;     /* sent when attached */
    uint8_t reserved2[4];
    uint8_t *data;           /* dataLength bytes of extra data, then bodyLength bytes of body */
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
    uint8_t result;          /* 1 = started */
    uint8_t reserved;
    uint32_t value32;
    uint16_t value16;
    uint8_t attachMode;      /* not written by the unpacker */
    uint8_t kind;
} VideoStartResult;
IPCSDK_ASSERT_SIZE(VideoStartResult, 12);

typedef struct IPCSDK_PACKED VideoStartExResult {
    uint32_t exWord;
    uint8_t result;          /* 1 = started */
    uint8_t reserved;
    uint8_t selectorA;
    uint8_t selectorB;
    uint32_t value32;
    uint16_t value16;
    uint8_t attachMode;
    uint8_t kind;
    uint32_t bodyLength;     /* from a big-endian u16 on the wire */
    uint32_t dataLength;     /* from a big-endian u16 on the wire */
    uint8_t reserved2[8];
    uint32_t tail;
} VideoStartExResult;
IPCSDK_ASSERT_SIZE(VideoStartExResult, 36);

/* Opens the video channel (TCP 5000, connection type 2) and its receiver: 0, -1, 0x80001004.
 * A second call on a running channel stops the old receiver first. */
IPCSDK_API int32_t StartVideoRequest(uint32_t handle);
/* Asks the receiver to stop (it ends within about a second): 0 or 0x80001004. */
IPCSDK_API uint32_t StopVideoRequest(uint32_t handle);
IPCSDK_API int SetVideoFrameCallBack(VideoFrameCallBackFunc callback);
/* Class 1, code 0: 0 only on a data answer whose result byte is 1. */
IPCSDK_API uint32_t IPCStartVideo(uint32_t handle, VideoStartInfo *info);
/* Class 1, code 1: 0 on an ack. */
IPCSDK_API uint32_t IPCStopVideo(uint32_t handle, VideoStopInfo *info);
/* Class 1, code 10: 0 only on a data answer whose result byte is 1. */
IPCSDK_API uint32_t IPCStartVideoEx(uint32_t handle, VideoStartExInfo *info);
/* Class 1, code 11: 0 on an ack. */
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
    uint16_t value1;         /* big-endian on the wire */
    uint16_t value2;         /* big-endian on the wire */
    uint32_t value3;         /* big-endian on the wire */
    uint8_t rest[128];
} DataReportRequestInfo;
IPCSDK_ASSERT_SIZE(DataReportRequestInfo, 140);

/* Opens the report channel (TCP 5000, connection type 1) and its receiver: the channel's
 * descriptor, -1, or 0x80001004. Login calls it on acceptance. */
IPCSDK_API int32_t StartDataReport(uint32_t handle);
/* Asks the receiver to stop (no disconnection callback): 0 or 0x80001004. */
IPCSDK_API uint32_t StopDataReport(uint32_t handle);
IPCSDK_API int SetReportCallbackFunc(DataReportCallbackFunc callback);
IPCSDK_API int SetExceptionCallBack(DisconnectionCallbackFunc callback);
/* Stores picture and data reports in the slot and calls the data report callback. */
IPCSDK_API uint32_t AlarmMonitorHandle(uint32_t type, uint32_t handle, uint8_t *body, uint32_t bodyLength);
/* Per-part hook of the picture types that are not stored; does nothing, returns 0. */
IPCSDK_API uint32_t AlarmMonitorHandle_1(uint32_t type, int32_t index, uint32_t wordA, uint32_t wordB,
                                         uint8_t *part, uint32_t partLength);
/* Class 1, code 9: 0 on an ack. */
IPCSDK_API uint32_t IPCDataReportRequest(uint32_t handle, DataReportRequestInfo *info);
IPCSDK_API uint32_t IPCDataReportParam(const DataReportRequestInfo *info, uint8_t *out, uint32_t *outLen);

/* ------------------------------------------------------------------------------------------
 * Video and image parameters
 * ---------------------------------------------------------------------------------------- */
typedef struct VideoParamRecord {
    uint16_t value16;        /* big-endian on the wire */
    uint8_t bytes2[2];
    uint32_t value32;        /* big-endian on the wire */
    uint8_t rest[124];
} VideoParamRecord;
IPCSDK_ASSERT_SIZE(VideoParamRecord, 132);

typedef struct ExOsdTextBlock {
    uint16_t x;              /* big-endian on the wire */
    uint16_t y;              /* big-endian on the wire */
    uint8_t text[64];
} ExOsdTextBlock;

typedef struct IPCSDK_PACKED ExOsdRecord {
    uint8_t head[76];
    uint16_t values[5];      /* big-endian on the wire */
    ExOsdTextBlock blocks[4];
    uint32_t tail;           /* big-endian on the wire */
} ExOsdRecord;
IPCSDK_ASSERT_SIZE(ExOsdRecord, 362);

typedef struct CameraControlRecord {
    uint8_t head[4];
    uint32_t value1;         /* big-endian on the wire */
    uint32_t value2;         /* big-endian on the wire */
    uint8_t rest[116];
} CameraControlRecord;
IPCSDK_ASSERT_SIZE(CameraControlRecord, 128);

/* Class 1, code 6: fills up to count records (at most 77 fit an answer). */
IPCSDK_API uint32_t IPCVideoParamGet(uint32_t handle, VideoParamRecord *records, int32_t count);
/* Class 1, code 7: sends count records (1..77; more is refused with 0x80002001). */
IPCSDK_API uint32_t IPCVideoParamSet(uint32_t handle, const VideoParamRecord *records, int32_t count);
/* Class 1, code 14: fills up to count records. */
IPCSDK_API uint32_t IPCExOsdGet(uint32_t handle, ExOsdRecord *records, int32_t count);
/* Class 1, code 15: sends count records (1..28). */
IPCSDK_API uint32_t IPCExOsdSet(uint32_t handle, const ExOsdRecord *records, int32_t count);
/* Class 1, code 16: fills one record. */
IPCSDK_API uint32_t IPCGetCameraControlInfo(uint32_t handle, CameraControlRecord *record);
/* Class 1, code 17: sends one record. */
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
    uint8_t bytes[132];      /* sent as is */
} SimuSnapInfo;
IPCSDK_ASSERT_SIZE(SimuSnapInfo, 132);

typedef struct GpsInfoRequest {
    uint32_t value1;         /* big-endian on the wire */
    uint32_t value2;         /* big-endian on the wire */
    uint8_t rest[120];
} GpsInfoRequest;
IPCSDK_ASSERT_SIZE(GpsInfoRequest, 128);

typedef struct DistantInfo {
    uint8_t bytes[128];      /* sent as is by IPCPackDistantInfoParam; the command sends no payload */
} DistantInfo;
IPCSDK_ASSERT_SIZE(DistantInfo, 128);

/* What IPCSIMUSNAP writes: 660 bytes, then the kind-1 and the kind-2 picture. */
typedef struct SnapPairResult {
    uint32_t snapPairFlag;   /* 2 when the pair is complete */
    uint8_t untouched[128];  /* not written */
    uint32_t snapWord1;
    uint32_t snapWord2;
    uint8_t snapRecord1[256];
    uint8_t snapRecord2[256];
    uint32_t snapLen1;
    uint32_t snapLen2;
    uint8_t pictures[];      /* snapLen1 bytes of the kind-1 picture, then snapLen2 of the kind-2 */
} SnapPairResult;
IPCSDK_ASSERT_SIZE(SnapPairResult, 660);

/* The three waiting commands: the camera acknowledges the request, then delivers the result as
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

/* @@DOMAIN-RECORDS@@ (PTZ, tracking, focus, network, maintenance, profile, alarm I/O, extension) */

/* ------------------------------------------------------------------------------------------
 * Diagnostics
 * ---------------------------------------------------------------------------------------- */
/* The trace file "IPCSDK_log" in the current directory (null until the first line). */
IPCSDK_API extern FILE *s_fp;
/* Appends one time-stamped line to the trace file, rotating it past 8 MiB. Returns -1. */
IPCSDK_API int sdk_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Sends one datagram (at most 1023 characters) to "/tmp/pntSever": bytes sent or -1. */
IPCSDK_API int debug_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A debug line (at most 510 characters, then a "\n" datagram); never blocks. */
IPCSDK_API void IPCSdkDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* An error line, sent exactly as IPCSdkDebug sends its lines. */
IPCSDK_API void IPCSdkError(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ------------------------------------------------------------------------------------------
 * MD5 and digest authentication
 * ---------------------------------------------------------------------------------------- */
typedef struct MD5_CTX {
    uint32_t state[4];
    uint32_t count[2];       /* message bits modulo 2^64, low word first */
    uint8_t buffer[64];
} MD5_CTX;
IPCSDK_ASSERT_SIZE(MD5_CTX, 88);

IPCSDK_API void MD5Init(MD5_CTX *context);
IPCSDK_API void MD5Update(MD5_CTX *context, const uint8_t *input, uint32_t length);
/* Writes the 16-byte digest, then clears the context. */
IPCSDK_API void MD5Final(uint8_t digest[16], MD5_CTX *context);
/* 32 lower-case hexadecimal digits and a NUL. */
IPCSDK_API void MD5Auth_CvtHex(const uint8_t bin[16], char hex[33]);
/* H(A1) of digest authentication; sessionFlag 1 = MD5-sess. */
IPCSDK_API void MD5Auth_DigestCalcHA1(const char *userName, const char *password, uint8_t sessionFlag,
                                      const char *realm, const char *nonce, const char *cnonce, char out[33]);
/* The request digest; qop may be null (the RFC 2069 form). */
IPCSDK_API void MD5Auth_DigestCalcResponse(const char *ha1, const char *nonce, const char *nonceCount,
                                           const char *cnonce, const char *qop, const char *method,
                                           const char *digestUri, const char *hEntity, char out[33]);
/* The response hash into dst (cut to size - 1): 0, or -1 on a refused argument. */
IPCSDK_API int MD5Auth_BuildAuthResonseWithMD5(char *dst, uint16_t size, uint8_t sessionFlag, const char *userName,
                                               const char *realm, const char *password, const char *nonce,
                                               const char *nonceCount, const char *cnonce, const char *qop,
                                               const char *method, const char *digestUri);
/* MD5 of len input bytes as 32 upper-case hexadecimal digits and a NUL. */
IPCSDK_API void MD5Gen(char out[33], const uint8_t *input, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif /* IPCSDK_H */
