// Packet capture reader for the replay mode: pcap/pcapng blocks, link layers, IPv4, UDP, TCP
// stream reassembly, and the protocol's message framing. Every length read from the file is
// checked against what is left before it is used.
#include "capture.hpp"

#include <algorithm>
#include <fstream>
#include <tuple>

#include "ipctools/input.hpp"
#include "wire.hpp"

namespace ipcsim {
namespace {

constexpr size_t kMaxFile = size_t{1} << 30;
constexpr uint32_t kMaxMessage = 16u << 20;  // a longer length field is not this protocol
constexpr uint16_t kUdpPort = 5001;

// ---- byte access ----------------------------------------------------------------------------

struct Reader {
    const uint8_t* p;
    size_t n;
    bool swapped;  // file written in the other byte order
    uint32_t u32(size_t at) const {
        return swapped ? wire::be32(p + at) : wire::le32(p + at);
    }
    uint16_t u16(size_t at) const { return swapped ? wire::be16(p + at) : wire::le16(p + at); }
};

// ---- one packet's IPv4 content --------------------------------------------------------------

struct Packet {
    size_t index;
    uint64_t usec;  // capture time
    const uint8_t* data;
    size_t len;
    uint32_t link_type;
};

struct Segment {
    bool tcp = false;
    uint32_t src = 0, dst = 0;
    uint16_t sport = 0, dport = 0;
    uint32_t seq = 0;
    bool syn = false, fin = false, rst = false;
    bool cut = false;  // fewer bytes captured than the packet carried
    const uint8_t* payload = nullptr;
    size_t payloadLen = 0;
};

// The IPv4 packet inside a link-layer frame, or nullptr.
const uint8_t* ipv4Of(const Packet& pk, size_t& len) {
    const uint8_t* d = pk.data;
    size_t n = pk.len, skip = 0;
    uint16_t proto = 0x0800;
    switch (pk.link_type) {
    case 0:  // BSD loopback: 4-byte address family in the writer's order
        if (n < 4) return nullptr;
        if (!((d[0] == 2 && d[1] == 0 && d[2] == 0 && d[3] == 0) || (d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 2)))
            return nullptr;
        skip = 4;
        break;
    case 1:  // Ethernet, perhaps with one VLAN tag
        if (n < 14) return nullptr;
        proto = wire::be16(d + 12);
        skip = 14;
        if (proto == 0x8100) {
            if (n < 18) return nullptr;
            proto = wire::be16(d + 16);
            skip = 18;
        }
        break;
    case 113:  // Linux cooked v1
        if (n < 16) return nullptr;
        proto = wire::be16(d + 14);
        skip = 16;
        break;
    case 276:  // Linux cooked v2
        if (n < 20) return nullptr;
        proto = wire::be16(d);
        skip = 20;
        break;
    case 12:
    case 14:
    case 101:
    case 228:  // raw IP
        break;
    default:
        return nullptr;
    }
    if (proto != 0x0800 || n <= skip) return nullptr;
    len = n - skip;
    return d + skip;
}

bool segment_of(const Packet& pk, Segment& s) {
    size_t n = 0;
    const uint8_t* ip = ipv4Of(pk, n);
    if (!ip || n < 20 || (ip[0] >> 4) != 4) return false;
    size_t ihl = size_t{ip[0] & 15u} * 4;
    size_t total = wire::be16(ip + 2);
    if (ihl < 20 || total < ihl || n < ihl) return false;
    if ((wire::be16(ip + 6) & 0x3FFF) != 0) return false;  // fragments are not put together
    s.cut = n < total;
    size_t end = std::min(n, total);
    s.src = wire::be32(ip + 12);
    s.dst = wire::be32(ip + 16);
    const uint8_t* l4 = ip + ihl;
    size_t l4len = end - ihl;
    if (ip[9] == 17) {
        if (l4len < 8) return false;
        s.sport = wire::be16(l4);
        s.dport = wire::be16(l4 + 2);
        size_t ulen = wire::be16(l4 + 4);
        if (ulen < 8) return false;
        s.cut = s.cut || ulen > l4len;
        s.payload = l4 + 8;
        s.payloadLen = std::min(ulen, l4len) - 8;
        return true;
    }
    if (ip[9] == 6) {
        if (l4len < 20) return false;
        size_t off = size_t{l4[12]} >> 4 << 2;
        if (off < 20 || off > l4len) return false;
        s.tcp = true;
        s.sport = wire::be16(l4);
        s.dport = wire::be16(l4 + 2);
        s.seq = wire::be32(l4 + 4);
        s.syn = l4[13] & 0x02;
        s.fin = l4[13] & 0x01;
        s.rst = l4[13] & 0x04;
        s.payload = l4 + off;
        s.payloadLen = l4len - off;
        return true;
    }
    return false;
}

// ---- file formats ---------------------------------------------------------------------------

std::vector<Packet> pcap_packets(const std::vector<uint8_t>& f) {
    Reader r{f.data(), f.size(), f[0] == 0xA1};
    if (f.size() < 24) throw CaptureError("truncated capture: the pcap file header is incomplete");
    uint32_t link = r.u32(20) & 0x0FFFFFFFu;
    bool nanos = r.u32(0) == 0xA1B23C4Du;
    std::vector<Packet> out;
    size_t at = 24;
    while (at < f.size()) {
        if (f.size() - at < 16)
            throw CaptureError("truncated capture: packet record " + std::to_string(out.size() + 1) + " is incomplete");
        uint32_t incl = r.u32(at + 8);
        if (incl > f.size() - at - 16)
            throw CaptureError("truncated capture: packet " + std::to_string(out.size() + 1) + " needs " +
                               std::to_string(incl) + " bytes, " + std::to_string(f.size() - at - 16) + " left");
        uint64_t frac = r.u32(at + 4);
        if (nanos) frac /= 1000;
        out.push_back({out.size(), uint64_t{r.u32(at)} * 1000000 + frac, f.data() + at + 16, incl, link});
        at += 16 + size_t{incl};
    }
    return out;
}

std::vector<Packet> pcapng_packets(const std::vector<uint8_t>& f) {
    std::vector<Packet> out;
    std::vector<uint32_t> links;  // per interface of the current section
    Reader r{f.data(), f.size(), false};
    size_t at = 0;
    while (at < f.size()) {
        if (f.size() - at < 12) throw CaptureError("truncated capture: a pcapng block header is incomplete");
        uint32_t type = wire::le32(f.data() + at);  // the section header's type reads the same either way
        if (type == 0x0A0D0D0Au) {
            if (f.size() - at < 28) throw CaptureError("truncated capture: the section header is incomplete");
            uint32_t bom = wire::le32(f.data() + at + 8);
            if (bom == 0x1A2B3C4Du)
                r.swapped = false;
            else if (bom == 0x4D3C2B1Au)
                r.swapped = true;
            else
                throw CaptureError("not a capture: bad pcapng byte-order mark");
            links.clear();
        } else {
            type = r.u32(at);
        }
        uint32_t blen = r.u32(at + 4);
        if (blen < 12 || blen % 4 != 0) throw CaptureError("not a capture: pcapng block of length " + std::to_string(blen));
        if (blen > f.size() - at)
            throw CaptureError("truncated capture: a pcapng block needs " + std::to_string(blen) + " bytes, " +
                               std::to_string(f.size() - at) + " left");
        const size_t body = at + 8, body_len = blen - 12;
        if (type == 1) {  // interface description
            if (body_len < 8) throw CaptureError("not a capture: short interface block");
            links.push_back(r.u16(body));
        } else if (type == 6 || type == 2) {  // enhanced / obsolete packet block
            if (body_len < 20) throw CaptureError("not a capture: short packet block");
            uint32_t iface = type == 6 ? r.u32(body) : r.u16(body);
            uint32_t caplen = r.u32(body + 12);
            if (caplen > body_len - 20) throw CaptureError("not a capture: packet longer than its block");
            if (iface >= links.size()) throw CaptureError("not a capture: packet of an undeclared interface");
            uint64_t ts = uint64_t{r.u32(body + 4)} << 32 | r.u32(body + 8);  // microseconds
            out.push_back({out.size(), ts, f.data() + body + 20, caplen, links[iface]});
        } else if (type == 3) {  // simple packet block: interface 0
            if (body_len < 4 || links.empty()) throw CaptureError("not a capture: bad simple packet block");
            uint32_t orig = r.u32(body);
            out.push_back({out.size(), out.empty() ? 0 : out.back().usec, f.data() + body + 4,
                           std::min<size_t>(orig, body_len - 4), links[0]});
        }
        at += blen;
    }
    return out;
}

// ---- streams and messages -------------------------------------------------------------------

struct Message {
    size_t packet;
    std::vector<uint8_t> bytes;
};

// Cuts a byte stream into messages; stops for good at bytes that start no message.
struct Framer {
    std::vector<uint8_t> buf;
    bool broken = false;
    void feed(const uint8_t* p, size_t n, size_t packet, std::vector<Message>& out) {
        if (broken) return;
        buf.insert(buf.end(), p, p + n);
        size_t at = 0;
        while (!broken && buf.size() - at >= 12) {
            const uint8_t* m = buf.data() + at;
            uint64_t total;
            if ((m[0] == 0x5B && m[1] == 0x5A) || (m[0] == 0x5A && m[1] == 0x5B)) {
                if (buf.size() - at < wire::kHeader) break;
                uint32_t len = wire::be32(m + 12);
                if (len > kMaxMessage) broken = true;
                total = wire::kHeader + uint64_t{len};
            } else if (m[0] == 'x' && m[1] == 'q' && m[2] == 'm' && m[3] == 'p') {
                uint32_t len = wire::le32(m + 8);
                if (len > kMaxMessage) broken = true;
                total = wire::kVideoHeader + uint64_t{len};
            } else {
                broken = true;
                break;
            }
            if (broken || buf.size() - at < total) break;
            out.push_back({packet, std::vector<uint8_t>(m, m + total)});
            at += total;
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(at));
        if (broken) buf.clear();
    }
};

struct Direction {
    bool started = false;
    uint32_t next = 0;
    Framer framer;
    std::vector<Message> messages;
    void segment(const Segment& s, size_t packet) {
        if (s.syn) {
            started = true;
            next = s.seq + 1;
            return;
        }
        if (s.payloadLen == 0) return;
        if (!started) {
            started = true;
            next = s.seq;
        }
        // Sequence arithmetic modulo 2^32: skip what was seen already, stop at a gap.
        auto ahead = static_cast<int32_t>(s.seq - next);
        if (ahead > 0 || s.cut) {
            framer.broken = true;
            return;
        }
        size_t skip = static_cast<size_t>(-static_cast<int64_t>(ahead));
        if (skip >= s.payloadLen) return;
        framer.feed(s.payload + skip, s.payloadLen - skip, packet, messages);
        next += static_cast<uint32_t>(s.payloadLen - skip);
    }
};

struct Connection {
    size_t first_packet = 0;
    Direction dir[2];  // [0]: from the lower endpoint, [1]: from the higher
    int host = -1;     // the direction that carried the first payload
};

using Endpoint = std::pair<uint32_t, uint16_t>;

struct Found {
    size_t packet;
    uint16_t key;
    std::vector<uint8_t> bytes;
};

bool is_command(const std::vector<uint8_t>& m) { return m.size() >= wire::kHeader && m[0] == 0x5B && m[1] == 0x5A; }
uint16_t key_of(const std::vector<uint8_t>& m) { return static_cast<uint16_t>(m[3] << 8 | m[4]); }

}  // namespace

CapturedCamera parse_capture(const std::vector<uint8_t>& file) {
    if (file.size() < 4) throw CaptureError("not a capture: the file is too short for a pcap or pcapng header");
    uint32_t magic_le = wire::le32(file.data());
    std::vector<Packet> packets;
    if (magic_le == 0xA1B2C3D4u || magic_le == 0xA1B23C4Du || magic_le == 0xD4C3B2A1u || magic_le == 0x4D3CB2A1u)
        packets = pcap_packets(file);
    else if (magic_le == 0x0A0D0D0Au)
        packets = pcapng_packets(file);
    else
        throw CaptureError("not a capture: no pcap or pcapng header");

    std::vector<Found> answers, reports, requests;
    std::map<std::tuple<Endpoint, Endpoint>, Connection> conns;
    std::map<Endpoint, uint16_t> udp_pending;  // host endpoint -> key of its last request, +1 (0: none)
    std::map<Endpoint, bool> udp_has_pending;
    for (const Packet& pk : packets) {
        Segment s;
        if (!segment_of(pk, s)) continue;
        Endpoint src{s.src, s.sport}, dst{s.dst, s.dport};
        if (!s.tcp) {
            if (s.cut || s.payloadLen < wire::kHeader) continue;
            std::vector<uint8_t> m(s.payload, s.payload + s.payloadLen);
            if (!is_command(m) || wire::be32(m.data() + 12) != m.size() - wire::kHeader) continue;
            if (s.dport == kUdpPort) {
                requests.push_back({pk.index, key_of(m), {}});
                udp_pending[src] = key_of(m);
                udp_has_pending[src] = true;
            } else if (s.sport == kUdpPort && udp_has_pending[dst]) {
                answers.push_back({pk.index, udp_pending[dst], std::move(m)});
                udp_has_pending[dst] = false;
            }
            continue;
        }
        bool low_first = src < dst;
        auto& c = conns[low_first ? std::make_tuple(src, dst) : std::make_tuple(dst, src)];
        if (s.syn && !c.dir[0].started && !c.dir[1].started) c.first_packet = pk.index;
        int d = low_first ? 0 : 1;
        if (c.host < 0 && s.payloadLen > 0) c.host = d;
        c.dir[d].segment(s, pk.index);
    }

    for (auto& [key, c] : conns) {
        if (c.host < 0) continue;
        auto& host_msgs = c.dir[c.host].messages;
        auto& cam_msgs = c.dir[1 - c.host].messages;
        bool channel = !host_msgs.empty() && is_command(host_msgs[0].bytes) && key_of(host_msgs[0].bytes) == 0x0003;
        if (channel) {
            for (auto& m : cam_msgs)
                if (m.bytes.size() >= 28 && m.bytes[0] == 0x5A && m.bytes[1] == 0x5B)
                    reports.push_back({m.packet, 0, std::move(m.bytes)});
            continue;
        }
        // Command connection: each answer belongs to the latest request sent before it.
        size_t h = 0;
        bool pending = false;
        uint16_t pending_key = 0;
        for (auto& m : host_msgs)
            if (is_command(m.bytes)) requests.push_back({m.packet, key_of(m.bytes), {}});
        for (auto& m : cam_msgs) {
            while (h < host_msgs.size() && host_msgs[h].packet <= m.packet) {
                if (is_command(host_msgs[h].bytes)) {
                    pending = true;
                    pending_key = key_of(host_msgs[h].bytes);
                }
                ++h;
            }
            if (pending && is_command(m.bytes)) {
                answers.push_back({m.packet, pending_key, std::move(m.bytes)});
                pending = false;
            }
        }
    }

    auto by_packet = [](const Found& a, const Found& b) { return a.packet < b.packet; };
    std::stable_sort(answers.begin(), answers.end(), by_packet);
    std::stable_sort(reports.begin(), reports.end(), by_packet);
    std::stable_sort(requests.begin(), requests.end(), by_packet);
    CapturedCamera cam;
    cam.packets = packets.size();
    for (auto& a : answers) cam.answers[a.key].push_back(std::move(a.bytes));
    // Each report follows the latest request before it (by its number among the requests of
    // its class and code); reports after the login belong to the channel's opening.
    std::map<uint16_t, size_t> seen;
    std::vector<size_t> nth(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) nth[i] = ++seen[requests[i].key];
    size_t q = 0;
    for (auto& r : reports) {
        while (q < requests.size() && requests[q].packet < r.packet) ++q;
        CapturedCamera::Report rep;
        if (q > 0 && requests[q - 1].key != 0x0000) {
            const Found& req = requests[q - 1];
            rep.after_key = req.key;
            rep.after_nth = nth[q - 1];
            uint64_t from = packets[req.packet].usec, to = packets[r.packet].usec;
            rep.delay_ms = static_cast<uint32_t>(to > from ? std::min<uint64_t>((to - from) / 1000, 2000) : 0);
        }
        rep.bytes = std::move(r.bytes);
        cam.reports.push_back(std::move(rep));
    }
    if (cam.answers.empty())
        throw CaptureError("no camera answers of this protocol in the capture (" + std::to_string(packets.size()) +
                           " packets read)");
    return cam;
}

CapturedCamera read_capture(const std::string& path) {
    std::vector<uint8_t> data;
    try {
        const std::string text = ipctools::read_file(path, kMaxFile);
        data.assign(text.begin(), text.end());
    } catch (const ipctools::InputError& e) {
        throw CaptureError(e.what());
    }
    try {
        return parse_capture(data);
    } catch (const CaptureError& e) {
        throw CaptureError(path + ": " + e.what());
    }
}

}  // namespace ipcsim
