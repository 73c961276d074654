// The video channel: frames reassembled by the scanner and handed, in place and in order, to
// the host's frame callback on the receiver thread.
#include <cstdio>

#include "channels/channel.hpp"
#include "channels/scanner.hpp"

extern "C" {
IPCSDK_API VideoFrameCallBackFunc g_VideoFrameCallBackFunc = nullptr;
}

namespace ipc {
namespace {

size_t scan_video(const channel::Context& c, uint8_t* buf, size_t n) {
    return scan::video(buf, n, [&](uint8_t* frame, size_t) {
        if (!channel::wanted(c)) return false;
        if (VideoFrameCallBackFunc cb = load(g_VideoFrameCallBackFunc)) cb(c.handle, frame);
        return true;
    });
}

const channel::Receiver kVideoReceiver{scan_video, nullptr, "VideoMsg CloseVideoRecv==%d\n", "recv Video thread exit"};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API int32_t StartVideoRequest(uint32_t handle) {
    const int64_t r = channel::start(handle, channel::Which::Video, kVideoReceiver);
    return r < 0 ? -1 : (r == IPCSDK_ERR_BAD_HANDLE ? static_cast<int32_t>(IPCSDK_ERR_BAD_HANDLE) : 0);
}

IPCSDK_API uint32_t StopVideoRequest(uint32_t handle) { return channel::stop(handle, channel::Which::Video); }

IPCSDK_API int SetVideoFrameCallBack(VideoFrameCallBackFunc callback) {
    store(g_VideoFrameCallBackFunc, callback);
    return 0;
}

}  // extern "C"
