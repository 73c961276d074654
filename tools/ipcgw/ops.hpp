// The requests the gateway takes, each op once: its name, a line for --help, and the fields it
// reads besides "op". The parser (request.cpp), the commands run on a camera (commands.cpp) and
// the help text are all made from this list: an op without its reader or its command does not
// compile.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#define IPCGW_OPS(X)                                                                                         \
    X(get, "a setting's record(s)", "setting", "count")                                                      \
    X(set, "write a setting's record(s), as get prints them", "setting", "record")                           \
    X(ptz, "move up, down, left, right, zoom-in, zoom-out by step, stop; or read the position", "action",    \
      "step")                                                                                                \
    X(preset, "store, goto or clear a preset", "action", "number")                                           \
    X(snapshot, "take the picture pair (published on snapshot/1 and snapshot/2)")                            \
    X(info, "the camera's system information")

namespace ipcgw {

enum class Op {
#define IPCGW_OP_ENUM(name, ...) name,
    IPCGW_OPS(IPCGW_OP_ENUM)
#undef IPCGW_OP_ENUM
};

struct OpSpec {
    Op op;
    std::string_view name;
    std::string_view help;
    std::array<std::string_view, 2> fields;  // besides "op"; empty ones unused
};

inline constexpr OpSpec kOps[] = {
#define IPCGW_OP_SPEC(name, help, ...) {Op::name, #name, help, {__VA_ARGS__}},
    IPCGW_OPS(IPCGW_OP_SPEC)
#undef IPCGW_OP_SPEC
};

constexpr const OpSpec& op_spec(Op op) { return kOps[static_cast<size_t>(op)]; }

// "get, set, ptz, preset, snapshot, info"
inline std::string op_names() {
    std::string s;
    for (const auto& o : kOps) s += (s.empty() ? "" : ", ") + std::string(o.name);
    return s;
}

}  // namespace ipcgw
