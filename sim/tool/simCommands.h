// The subcommands of vok-sim. Each returns the process's exit status and
// reports failures with one line on stderr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "voksim/voksim.h"

namespace voksimtool {

struct CreateOptions {
    std::string directory;
    unsigned tokens = 1;
    unsigned foreign = 0;
    unsigned bus = 1;
    voksim::Identity identity;
    std::string tokenId;  // 16 hex digits; empty: the default
    uint16_t foreignVendor = 0x1D6B;
    uint16_t foreignProduct = 0x0002;
};
int runCreate(const CreateOptions& options);

int runShow(const std::string& node, bool json, bool memory);

struct FaultOptions {
    std::string node;
    voksim::Faults faults;
    std::string errnoName;  // EPIPE, ETIMEDOUT, ... or a number
};
int runFaultSet(const FaultOptions& options);
int runFaultClear(const std::string& node);

struct LogOptions {
    std::string node;
    bool showPins = false;
    bool clear = false;
    std::optional<bool> logging;  // --on / --off
};
int runLog(const LogOptions& options);
int runPlug(const std::string& node, bool plugIn);

struct RunOptions {
    std::string directory;
    std::string ipc;  // empty: a private temporary lock directory
    std::vector<std::string> command;
};
int runProgram(const RunOptions& options);

struct AttachOptions {
    std::string tree;
    std::vector<std::string> tokens;  // empty: every device node of the tree
    std::string recordDirectory;      // where to capture the kernel's traffic
};
int runAttach(const AttachOptions& options);

struct DetachOptions {
    std::string tree;
    std::vector<unsigned> ports;
};
int runDetach(const DetachOptions& options);

struct ServeOptions {
    std::string tree;
    std::string listen = "127.0.0.1:3240";
    std::string recordDirectory;  // where to capture each connection's traffic
};
int runServe(const ServeOptions& options);

// Shared helpers.
int fail(const std::string& message);
bool parseErrno(const std::string& text, int& value);
const char* errnoName(int value);
bool parseTokenId(const std::string& text, uint8_t* out);

}  // namespace voksimtool
