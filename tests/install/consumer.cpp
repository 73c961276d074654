// Built against the installed copy only: the C++ layer compiles as C++20 and links.
#include <ipcsdk.hpp>

#include <cstdio>

int main() {
    ipc::Sdk sdk;
    std::error_code ec;
    ipc::Sdk second(ec);
    if (ec != ipc::errc::sdk_exists || second.owns()) return 1;
    ipc::CameraRef none(0);
    NtpConfInfo ntp{};
    none.get(ntp, ec);
    if (ec != ipc::errc::bad_handle || ec.message() != "handle 0, unknown, or logged out meanwhile") return 2;
    try {
        none.call<IPCReboot>();
        return 3;
    } catch (const ipc::Error& e) {
        if (e.result() != IPCSDK_ERR_BAD_HANDLE) return 4;
    }
    const ipc::SettingInfo* s = ipc::find_setting("video-param");
    if (!s || s->record_size != sizeof(VideoParamRecord) || s->get_class != 1 || s->get_code != 6) return 5;
    std::printf("C++ consumer ok: %zu settings\n", ipc::settings().size());
    return 0;
}
