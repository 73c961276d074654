// Private loopback addresses: each live pid maps to its own addresses, so test processes
// running in parallel never share the fixed camera ports.
#include <unistd.h>

#include <cstdio>

#include "testenv.hpp"

namespace testenv {

std::string camera_ip(int n) {
    // The third and fourth octets hold the low part of the pid (1..250 each); the second holds
    // the high part for the first camera (pids stay below 2^22, so it stays below 70) and
    // 69 + n for cameras 1 to 186. Cameras 187 to 372 of a process take a third octet outside
    // 1..250 (251..255, by the pid), shared only with a process of the same pid modulo 250
    // that runs as many cameras.
    unsigned pid = static_cast<unsigned>(getpid());
    unsigned a = n == 0 ? 1 + pid / (250u * 250u) : 69u + static_cast<unsigned>(n);
    unsigned b = 1 + (pid / 250u) % 250u;
    unsigned c = 1 + pid % 250u;
    if (n > 186) {
        a = 69u + static_cast<unsigned>(n - 186);
        b = 251u + (pid / 250u) % 5u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "127.%u.%u.%u", a, b, c);
    return buf;
}

}  // namespace testenv
