// Private loopback addresses: each live pid has its own, so parallel test processes never share a camera port.
#include <unistd.h>

#include "testenv.hpp"

namespace testenv {

std::string camera_ip(int n) {
    // Octets 3 and 4: the pid's low part (1..250); octet 2: its high part for camera 0 (pids < 2^22), 69 + n for
    // cameras 1 to 186. Cameras 187 to 372 take octet 3 251..255, shared only with the same pid modulo 250.
    unsigned pid = static_cast<unsigned>(getpid());
    unsigned a = n == 0 ? 1 + pid / (250u * 250u) : 69u + static_cast<unsigned>(n);
    unsigned b = 1 + (pid / 250u) % 250u, c = 1 + pid % 250u;
    if (n > 186) {
        a = 69u + static_cast<unsigned>(n - 186);
        b = 251u + (pid / 250u) % 5u;
    }
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

}  // namespace testenv
