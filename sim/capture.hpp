// A camera's behaviour read back from a packet capture (pcap or pcapng, as tcpdump and tshark
// write them), for the simulator's replay mode.
//
// The reader takes IPv4 over Ethernet, Linux cooked (v1, v2), raw IP and BSD loopback links;
// UDP datagrams to and from port 5001 and TCP connections carrying the protocol (any port:
// the side that sends first is the host). TCP streams are put back together by sequence
// number; command connections yield request/answer pairs, channel connections (opened with
// the announcement) yield the camera's reports. Everything is bounds-checked: a file that is
// not a capture, a truncated one, or one without any answer of this protocol is refused with
// a CaptureError naming the problem.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ipcsim {

class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CapturedCamera {
    // The camera's answers (whole messages, header included) per request class and code
    // (class << 8 | code), in captured order.
    std::map<uint16_t, std::vector<std::vector<uint8_t>>> answers;
    // Report messages the camera sent on its report channels, in captured order, each tied to
    // the request it followed: the `after_nth`-th request (from 1) of class and code `after_key`,
    // `delay_ms` later. after_nth 0: it followed the login or nothing, so it belongs to the
    // channel's opening.
    struct Report {
        uint16_t after_key = 0;
        size_t after_nth = 0;
        uint32_t delay_ms = 0;
        std::vector<uint8_t> bytes;
    };
    std::vector<Report> reports;
    size_t packets = 0;  // packets read from the file
};

// Reads the capture in memory (at most 1 GiB). Throws CaptureError.
CapturedCamera read_capture(const std::string& path);
CapturedCamera parse_capture(const std::vector<uint8_t>& file);

}  // namespace ipcsim
