// Writes the Wireshark dissector: the command table and the record layouts as Lua tables,
// followed by the dissector's engine (dissector.lua). Run at build time, so the dissector
// always knows exactly the commands and records the library does.
//
//   ipcsdk-dissector-gen ENGINE.lua OUTPUT.lua
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>

#include "command_table.hpp"
#include "ipctools/schema.hpp"
#include "ipctools/settings.hpp"

namespace {

using ipcsim::detail::kCommands;
using ipcsim::detail::Role;

// The record type of argument I of a command function, from the function's own signature.
template <class>
struct Args;
template <class R, class... A>
struct Args<R (*)(A...)> {
    using Tuple = std::tuple<A...>;
};
template <class P>
const ipctools::Layout* layoutOfPointer() {
    using T = std::remove_cv_t<std::remove_pointer_t<P>>;
    if constexpr (std::is_pointer_v<P> && !std::is_void_v<T>)
        if (ipctools::kLayout<T>.name) return &ipctools::kLayout<T>;
    return nullptr;
}
template <auto Fn, size_t I>
const ipctools::Layout* argLayout() {
    using Tuple = typename Args<decltype(Fn)>::Tuple;
    if constexpr (I < std::tuple_size_v<Tuple>)
        return layoutOfPointer<std::tuple_element_t<I, Tuple>>();
    else
        return nullptr;
}

struct Carried {
    const ipctools::Layout* request = nullptr;
    const ipctools::Layout* answer = nullptr;
};

// The record each command carries: the settings table gives the get/set pairs (a get's
// record is in its answer, a set's in its request); the other commands with a record are
// listed here, their records read from their own signatures.
std::map<std::string, Carried> carriedRecords() {
    std::map<std::string, Carried> m;
    for (const auto& s : ipctools::settingSchemas()) {
        m[std::string(s.info->get_function)].answer = s.layout;
        if (s.info->writable) m[std::string(s.info->set_function)].request = s.layout;
    }
#define IPCT_REQ(fn) m[#fn].request = argLayout<&fn, 1>();
    IPCT_REQ(IPCDataReportRequest) IPCT_REQ(IPCPTZCtrl) IPCT_REQ(IPCSetPresetPoint) IPCT_REQ(IPCClearPresetPoint)
    IPCT_REQ(IPCCruiseSet) IPCT_REQ(IPCDevPassThrough) IPCT_REQ(IPCZoomSysncSet) IPCT_REQ(IPCGpsInfo)
    IPCT_REQ(IPCSIMUSNAP) IPCT_REQ(IPCAddCamLinkPTZInfo) IPCT_REQ(IPCLeaveCamMarkMode) IPCT_REQ(IPCAddCamMarkPoint)
    IPCT_REQ(IPCDelCamMarkPoint) IPCT_REQ(IPCEndCamMarkPoint) IPCT_REQ(IPCClearCamMarkPoint)
    IPCT_REQ(IPCEndCamMarkPoint2) IPCT_REQ(IPCLinkFocusLearn) IPCT_REQ(IPCMagnifyApply)
#undef IPCT_REQ
    // The mark mode's answer carries the mark record.
    m["IPCEnterCamMarkMode"].answer = argLayout<&IPCEnterCamMarkMode, 1>();
    // The login answer is shorter than the LoginResult host record; only its request is a record.
    m["IPCUserLogin"].request = argLayout<&IPCUserLogin, 1>();
    m["announcement"].request = &ipctools::kLayout<ServerConnTypeInfo>;
    return m;
}

const char* kindName(ipctools::Kind k) {
    switch (k) {
    case ipctools::Kind::Int: return "int";
    case ipctools::Kind::Bytes: return "bytes";
    case ipctools::Kind::Text: return "text";
    case ipctools::Kind::Group: return "group";
    }
    return "bytes";
}

void writeLayout(std::ostream& out, const ipctools::Layout& l, int depth) {
    std::string pad(static_cast<size_t>(depth) * 2, ' ');
    out << "{ name = \"" << l.name << "\", size = " << l.size << ", fields = {\n";
    for (const auto& f : l.fields) {
        out << pad << "  { name = \"" << f.name << "\", offset = " << f.offset << ", width = " << f.width
            << ", count = " << f.count << ", array = " << (f.array ? "true" : "false") << ", kind = \""
            << kindName(f.kind) << "\", big = " << (f.order == ipctools::Order::Big ? "true" : "false");
        if (f.group) {
            out << ", group = ";
            writeLayout(out, *f.group, depth + 2);
        }
        out << " },\n";
    }
    out << pad << "} }";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ipcsdk-dissector-gen ENGINE.lua OUTPUT.lua\n";
        return 2;
    }
    std::ifstream engine(argv[1]);
    if (!engine) {
        std::cerr << "ipcsdk-dissector-gen: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::ostringstream out;
    out << "-- Wireshark dissector of the ipcsdk camera protocol. Generated at build time from the\n"
           "-- library's command table and record schema; do not edit.\n"
           "-- Use: wireshark -X lua_script:ipcsdk.lua, or copy it to ~/.local/lib/wireshark/plugins/.\n\n";
    out << "local layouts = {\n";
    for (const ipctools::Layout* l : ipctools::kRecords) {
        out << "  [\"" << l->name << "\"] = ";
        writeLayout(out, *l, 1);
        out << ",\n";
    }
    out << "}\n\n";
    auto carried = carriedRecords();
    out << "-- [class * 256 + code] = { name, request layout, answer layout, role }\n";
    out << "local commands = {\n";
    for (const auto& c : kCommands) {
        auto it = carried.find(c.name);
        out << "  [" << (c.cls * 256 + c.code) << "] = { name = \"" << c.name << "\"";
        if (it != carried.end() && it->second.request) out << ", request = \"" << it->second.request->name << "\"";
        if (it != carried.end() && it->second.answer) out << ", answer = \"" << it->second.answer->name << "\"";
        out << ", role = \"" << (c.role == Role::Query ? "query" : c.role == Role::Update ? "update" : "action")
            << "\" },\n";
    }
    out << "}\n\n";
    out << engine.rdbuf();
    std::ofstream file(argv[2]);
    file << out.str();
    if (!file.flush()) {
        std::cerr << "ipcsdk-dissector-gen: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
