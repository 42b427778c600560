// The control interface of voksim.h: creating tokens and trees, faults,
// unplugging, the transfer log and the token's state.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/openAboveStdio.h"
#include "host/nodeFiles.h"
#include "host/tokenRegistry.h"
#include "host/transferLog.h"
#include "voksim/voksim.h"

namespace voksim {

namespace {

// `value` is at most 999 (the callers check), so the name always fits.
std::string numbered(unsigned value) {
    char name[8];
    (void)std::snprintf(name, sizeof name, "%03u", value);
    return name;
}

std::string nodeDirectory(const std::string& root, unsigned bus) {
    return root + "/" + numbered(bus);
}

std::shared_ptr<MappedToken> tokenOf(const std::string& node) {
    return mapToken(statePathOf(node));
}

bool writeNode(const std::string& node, const TokenIdentity& identity, uint32_t generation) {
    uint8_t bytes[kTokenNodeSize];
    buildTokenNode(bytes, identity, generation);
    return writeFileAtomically(node, bytes, sizeof bytes);
}

FaultSettings toSettings(const Faults& faults) {
    FaultSettings settings{};
    settings.failTransfer = faults.failTransfer;
    settings.failErrno = faults.failErrno;
    settings.failAll = faults.failAll ? 1 : 0;
    settings.realTimeouts = faults.realTimeouts ? 1 : 0;
    settings.statusValue = faults.statusValue;
    settings.shortTransfer = faults.shortTransfer;
    settings.wrongTagTransfer = faults.wrongTagTransfer;
    settings.statusPhase = faults.statusPhase;
    settings.fixedTag = faults.fixedTag;
    settings.latencyMicros = faults.latencyMicros;
    settings.statusTransfer = faults.statusTransfer;
    return settings;
}

Faults fromSettings(const FaultSettings& settings) {
    Faults faults;
    faults.failTransfer = settings.failTransfer;
    faults.failErrno = settings.failErrno;
    faults.failAll = settings.failAll != 0;
    faults.realTimeouts = settings.realTimeouts != 0;
    faults.statusValue = settings.statusValue;
    faults.shortTransfer = settings.shortTransfer;
    faults.wrongTagTransfer = settings.wrongTagTransfer;
    faults.statusPhase = settings.statusPhase;
    faults.fixedTag = settings.fixedTag;
    faults.latencyMicros = settings.latencyMicros;
    faults.statusTransfer = settings.statusTransfer;
    return faults;
}

bool validFaults(const Faults& faults) {
    return faults.failErrno > 0 && faults.statusPhase >= -1 && faults.statusPhase <= 6 &&
           faults.fixedTag >= -1 && faults.fixedTag <= 0xFF;
}

}  // namespace

std::string statePathOf(const std::string& node) { return siblingPath(node, ".state"); }
std::string logPathOf(const std::string& node) { return siblingPath(node, ".log"); }

TokenIdentity toTokenIdentity(const Identity& identity) {
    TokenIdentity out{};
    std::memcpy(out.tokenId, identity.tokenId, sizeof out.tokenId);
    out.flagA = identity.flagA ? 1 : 0;
    out.flagB = identity.flagB ? 1 : 0;
    out.versionNibbles = identity.versionNibbles;
    out.memoryModel = identity.memoryModel;
    out.memoryUnits = identity.memoryUnits;
    out.protocolLevel = identity.protocolLevel;
    out.infoByte = identity.infoByte;
    out.idVendor = identity.idVendor;
    out.idProduct = identity.idProduct;
    out.bcdDevice = identity.bcdDevice;
    return out;
}

bool isTokenNode(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t bytes[kTokenNodeSize];
    const ssize_t length = read(fd, bytes, sizeof bytes);
    close(fd);
    uint32_t generation = 0;
    return length > 0 && parseTokenNode(bytes, static_cast<size_t>(length), generation);
}

std::string createToken(const std::string& root, unsigned bus, unsigned device,
                        const Identity& identity) {
    if (bus > 999 || device > 999) return {};
    const std::string directory = nodeDirectory(root, bus);
    if (!makeDirectories(directory)) return {};
    std::string node = directory + "/" + numbered(device);
    auto state = std::make_unique<TokenState>();
    const TokenIdentity stored = toTokenIdentity(identity);
    initTokenState(*state, stored);
    if (!writeFileAtomically(statePathOf(node), state.get(), sizeof(TokenState)) ||
        !resetLogFile(logPathOf(node)) || !writeNode(node, stored, state->generation)) {
        return {};
    }
    return node;
}

std::string createForeignDevice(const std::string& root, unsigned bus, unsigned device,
                                uint16_t idVendor, uint16_t idProduct) {
    if (bus > 999 || device > 999) return {};
    const std::string directory = nodeDirectory(root, bus);
    if (!makeDirectories(directory)) return {};
    const std::string node = directory + "/" + numbered(device);
    uint8_t bytes[kDescriptorSize];
    buildDescriptor(bytes, idVendor, idProduct, 0x0100);
    return writeFileAtomically(node, bytes, sizeof bytes) ? node : std::string();
}

bool setFaults(const std::string& node, const Faults& faults) {
    if (!validFaults(faults)) return false;
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    token->state->faults = toSettings(faults);
    token->state->faultTransferCount = 0;
    return true;
}

bool clearFaults(const std::string& node) { return setFaults(node, Faults{}); }

std::optional<Faults> getFaults(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return std::nullopt;
    TokenLock lock(*token);
    return fromSettings(token->state->faults);
}

bool unplug(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    TokenState& state = *token->state;
    if (state.plugged) {
        state.plugged = 0;
        ++state.generation;
        modelAbortAll(state);
    }
    return unlink(node.c_str()) == 0 || errno == ENOENT;
}

bool replug(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    TokenState& state = *token->state;
    if (state.plugged && access(node.c_str(), F_OK) == 0) return true;
    if (!writeNode(node, state.identity, state.generation)) return false;
    state.plugged = 1;
    return true;
}

std::vector<LogEntry> readLog(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return readLogFile(logPathOf(node));
    TokenLock lock(*token);
    return readLogFile(token->logPath);
}

bool clearLog(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    if (!resetLogFile(token->logPath)) return false;
    if (token->logFd < 0)
        token->logFd = vokOpenAboveStdio(token->logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    return token->logFd >= 0;
}

bool setLogging(const std::string& node, bool enabled) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    token->state->logging = enabled ? 1 : 0;
    return true;
}

bool setSeparateTransactions(const std::string& node, bool separate) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    modelAbortAll(*token->state);
    token->state->separateTransactions = separate ? 1 : 0;
    return true;
}

std::string transcript(const std::string& node, bool showPins) {
    const std::vector<LogEntry> entries = readLog(node);
    TokenIdentity identity = toTokenIdentity(Identity{});
    if (auto token = tokenOf(node)) {
        TokenLock lock(*token);
        identity = token->state->identity;
    }
    return formatTranscript(entries, identity, showPins);
}

std::optional<TokenState> readState(const std::string& node) {
    auto token = tokenOf(node);
    if (!token) return std::nullopt;
    TokenLock lock(*token);
    return *token->state;
}

bool modifyState(const std::string& node, const std::function<void(TokenState&)>& change) {
    auto token = tokenOf(node);
    if (!token) return false;
    TokenLock lock(*token);
    change(*token->state);
    return true;
}

}  // namespace voksim
