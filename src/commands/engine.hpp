// The command call frame: every command is a row of one table (identity, variant, diagnostic
// prefix, site numbers) run by one engine, plus the codec that packs or unpacks its record.
#pragma once

#include <cstdint>
#include <span>

#include "commands/codec.hpp"
#include "ipcsdk.h"
#include "ipcsdk_commands.hpp"

namespace ipc::cmd {

using Id = command_id;

// How a command reacts to the five answer kinds (lines written and result).
enum class Variant : uint8_t {
    G,       // query
    S,       // update
    GL,      // query with trail lines
    SL,      // update with trail lines
    GX,      // query, trail line on every kind
    SX,      // update, trail line on every kind
    Q,       // update without any line
    GTrail,  // query with trail lines only
    N,       // numbered system log lines
    P,       // keep-alive style, labelled system log lines
    Special  // own frame (login, channel announcements, waiting commands)
};

enum class Kind : uint8_t { Short, Nak, Ack, Echo, Other };

enum Flags : uint8_t {
    kNoInitCheck = 1 << 0,
    kShortErr = 1 << 1,     // short answer line ends " err." instead of " net err."
    kAckIsSuccess = 1 << 2, // a query-style command that also counts the ack as success
    kTrailOnly = 1 << 3,    // trail lines only, no error line
    kInitStdout = 1 << 4,   // "sdk not init" goes to standard output
    kShortDebug = 1 << 5,   // the short-answer line goes through the debug log
    kInitNumbered = 1 << 6, // "sdk not init" as the numbered "[-9]" system log line
};

// Site numbers carried by the lines of one command; 0 = the command writes no such line.
struct Sites {
    uint16_t init = 0, debug = 0, nullRecord = 0, shortAnswer = 0, nak = 0, ack = 0, echo = 0, other = 0, extra = 0;
};

struct Spec {
    const char* name;    // exported function name: trace line, system log lines
    uint8_t msgClass;
    uint8_t code;
    Variant variant;
    const char* prefix;  // first word of the error lines
    uint8_t flags;
    Sites sites;
    const char* label;   // variant P
    Id id;
};

// The whole command table, ordered by class and code.
std::span<const Spec> commands();
// The row of a command: an index fixed at compile time, so a misspelt name does not build.
const Spec& command(Id id);
// The site number of a line; fixed per command and kind.
uint16_t site(const Spec& spec, Kind kind);
uint16_t init_site(const Spec& spec);

enum class Arg : uint8_t { None, Record, Array };

// Writes the request payload into out and its length into *len: 0, or IPCSDK_ERR_PARAM when it
// would not fit the request buffer.
using PackFn = uint32_t (*)(const void* record, int32_t count, uint8_t* out, uint32_t* len);
using UnpackFn = uint32_t (*)(const uint8_t* answer, uint32_t answerLen, int32_t count, void* record);

struct Hooks {
    void (*after_init)(const void* record) = nullptr;   // after the initialisation check
    void (*after_args)(const void* record) = nullptr;   // after the argument check
    bool (*valid)(const void* record) = nullptr;       // domain check: false gives 0x80002001
    // Replaces unpacking on the echo; returns the command's result.
    uint32_t (*on_echo)(const uint8_t* answer, uint32_t answerLen, void* record) = nullptr;
};

struct Call {
    Arg arg = Arg::Record;
    void* record = nullptr;
    int32_t count = 1;
    PackFn pack = nullptr;
    UnpackFn unpack = nullptr;
    const Hooks* hooks = nullptr;
};

uint32_t run(const Spec& spec, uint32_t handle, const Call& call);

// One-line bodies for the usual shapes of command.
inline uint32_t query(Id name, uint32_t handle, void* record, UnpackFn unpack, int32_t count = 1,
                      Arg arg = Arg::Record, const Hooks* hooks = nullptr) {
    return run(command(name), handle, Call{arg, record, count, nullptr, unpack, hooks});
}
inline uint32_t update(Id name, uint32_t handle, const void* record, PackFn pack, int32_t count = 1,
                       Arg arg = Arg::Record, const Hooks* hooks = nullptr) {
    return run(command(name), handle, Call{arg, const_cast<void*>(record), count, pack, nullptr, hooks});
}
// A command that sends the header alone and takes no record.
inline uint32_t action(Id name, uint32_t handle) {
    return run(command(name), handle, Call{Arg::None, nullptr, 1, nullptr, nullptr, nullptr});
}

// Writes the trace line of a call on this slot.
void trace(const DeviceSlot& slot, uint32_t handle, const char* name);
// Sorts an exchange result into an answer kind.
Kind classify(uint32_t result, const uint8_t* answer, uint8_t msgClass, uint8_t code);

// Codec adapters for records described by a layout.
template <const codec::Layout& L>
uint32_t pack(const void* record, int32_t count, uint8_t* out, uint32_t* len) {
    if (!codec::fits(L, count, IPCSDK_CMD_BUF_SIZE)) return IPCSDK_ERR_PARAM;
    return codec::pack(L, count, record, out, len);
}
template <const codec::Layout& L>
uint32_t unpack(const uint8_t* answer, uint32_t answerLen, int32_t count, void* record) {
    return codec::unpack(L, answer, answerLen, count, record);
}

}  // namespace ipc::cmd
