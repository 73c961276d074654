// Built against the installed copy only: the C++ layer compiles as C++20 (under a strict host's
// warnings too) and links; the record schema compiles there as well.
#include <ipcsdk_fleet.hpp>
#include <ipcsdk_records.hpp>

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
    {
        ipc::Fleet fleet;  // the fleet's templates instantiated: with() returning a reference
        int value = 1;
        auto r = fleet.with("none", [&](ipc::CameraRef&) -> int& { return value; }, ec);
        if (r || ec != ipc::errc::fleet_unknown) return 6;
    }
    std::printf("C++ consumer ok: %zu settings\n", ipc::settings().size());
    return 0;
}
