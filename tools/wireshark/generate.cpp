// Writes the Wireshark dissector: the command list and the record layouts as Lua tables,
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

#include "ipcsdk_commands.hpp"
#include <ipcsdk_records.hpp>
#include "ipctools/settings.hpp"

namespace {

// The record type of argument I of a command function, from the function's own signature.
template <class>
struct Args;
template <class R, class... A>
struct Args<R (*)(A...)> {
    using Tuple = std::tuple<A...>;
};
template <class P>
const ipc::records::Layout* layout_of_pointer() {
    using T = std::remove_cv_t<std::remove_pointer_t<P>>;
    if constexpr (std::is_pointer_v<P> && !std::is_void_v<T>)
        if (ipc::records::kLayout<T>.name) return &ipc::records::kLayout<T>;
    return nullptr;
}
template <auto Fn, size_t I>
const ipc::records::Layout* arg_layout() {
    using Tuple = typename Args<decltype(Fn)>::Tuple;
    if constexpr (I < std::tuple_size_v<Tuple>)
        return layout_of_pointer<std::tuple_element_t<I, Tuple>>();
    else
        return nullptr;
}

struct Carried {
    const ipc::records::Layout* request = nullptr;
    const ipc::records::Layout* answer = nullptr;
};

// The record each command carries: the settings table gives the get/set pairs (a get's
// record is in its answer, a set's in its request); the other commands with a record are
// listed here, their records read from their own signatures.
std::map<std::string, Carried> carried_records() {
    std::map<std::string, Carried> m;
    for (const auto& s : ipctools::setting_schemas()) {
        m[std::string(s.info->get_function)].answer = s.layout;
        if (s.info->writable) m[std::string(s.info->set_function)].request = s.layout;
    }
#define IPCT_REQ(fn) m[#fn].request = arg_layout<&fn, 1>();
    IPCT_REQ(IPCDataReportRequest) IPCT_REQ(IPCPTZCtrl) IPCT_REQ(IPCSetPresetPoint) IPCT_REQ(IPCClearPresetPoint)
    IPCT_REQ(IPCCruiseSet) IPCT_REQ(IPCDevPassThrough) IPCT_REQ(IPCZoomSysncSet) IPCT_REQ(IPCGpsInfo)
    IPCT_REQ(IPCSIMUSNAP) IPCT_REQ(IPCAddCamLinkPTZInfo) IPCT_REQ(IPCLeaveCamMarkMode) IPCT_REQ(IPCAddCamMarkPoint)
    IPCT_REQ(IPCDelCamMarkPoint) IPCT_REQ(IPCEndCamMarkPoint) IPCT_REQ(IPCClearCamMarkPoint)
    IPCT_REQ(IPCEndCamMarkPoint2) IPCT_REQ(IPCLinkFocusLearn) IPCT_REQ(IPCMagnifyApply)
#undef IPCT_REQ
    // The mark mode's answer carries the mark record.
    m["IPCEnterCamMarkMode"].answer = arg_layout<&IPCEnterCamMarkMode, 1>();
    // The login answer is shorter than the LoginResult host record; only its request is a record.
    m["IPCUserLogin"].request = arg_layout<&IPCUserLogin, 1>();
    // Both channel announcements carry the connection type.
    m["StartDataReport"].request = m["StartVideoRequest"].request = &ipc::records::kLayout<ServerConnTypeInfo>;
    return m;
}

const char* kind_name(ipc::records::Kind k) {
    switch (k) {
    case ipc::records::Kind::Int: return "int";
    case ipc::records::Kind::Bytes: return "bytes";
    case ipc::records::Kind::Text: return "text";
    case ipc::records::Kind::Group: return "group";
    }
    return "bytes";
}

void write_layout(std::ostream& out, const ipc::records::Layout& l, int depth) {
    std::string pad(static_cast<size_t>(depth) * 2, ' ');
    out << "{ name = \"" << l.name << "\", size = " << l.size << ", fields = {\n";
    for (const auto& f : l.fields) {
        out << pad << "  { name = \"" << f.name << "\", offset = " << f.offset << ", width = " << f.width
            << ", count = " << f.count << ", array = " << (f.array ? "true" : "false") << ", kind = \""
            << kind_name(f.kind) << "\", big = " << (f.order == ipc::records::Order::Big ? "true" : "false");
        if (f.group) {
            out << ", group = ";
            write_layout(out, *f.group, depth + 2);
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
           "-- library's command list and record schema; do not edit.\n"
           "-- Use: wireshark -X lua_script:ipcsdk.lua, or copy it to ~/.local/lib/wireshark/plugins/.\n\n";
    out << "local layouts = {\n";
    for (const ipc::records::Layout* l : ipc::records::kRecords) {
        out << "  [\"" << l->name << "\"] = ";
        write_layout(out, *l, 1);
        out << ",\n";
    }
    out << "}\n\n";
    auto carried = carried_records();
    out << "-- [class * 256 + code] = { name, request layout, answer layout }\n";
    out << "local commands = {\n";
    std::map<int, std::pair<std::string, Carried>> rows;
    for (const auto& c : ipc::command_identities) {
        const std::string name(c.name);
        auto [at, fresh] = rows.try_emplace(c.msg_class * 256 + c.code, name, carried[name]);
        if (!fresh) at->second.first = "announcement";  // the two channel announcements share class 0 code 3
    }
    for (const auto& [key, row] : rows) {
        const auto& [name, records] = row;
        out << "  [" << key << "] = { name = \"" << name << "\"";
        if (records.request) out << ", request = \"" << records.request->name << "\"";
        if (records.answer) out << ", answer = \"" << records.answer->name << "\"";
        out << " },\n";
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
