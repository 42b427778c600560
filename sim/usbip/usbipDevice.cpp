#include "usbip/usbipDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "host/errorText.h"
#include "host/nodeFiles.h"
#include "host/tokenTransfer.h"
#include "usbip/socketSend.h"
#include "usbip/usbipProtocol.h"
#include "voksim/voksim.h"

namespace voksim::usbip {
namespace {

// How often an idle device checks whether its token was unplugged or its tree
// deleted.
constexpr int kIdleCheckMillis = 100;

uint16_t little16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

class Server {
  public:
    Server(int socketFd, const ServedDevice& device)
        : socket_(socketFd),
          device_(device),
          caller_{(uint64_t{0x55534250} << 32) | static_cast<uint32_t>(socketFd),
                  static_cast<uint32_t>(getpid()), socketFd} {}

    // Whether the device is still there; sets the outcome when it is not.
    bool stillPresent(ServeOutcome& outcome) const {
        struct stat status {};
        if (!device_.token) {
            if (stat(device_.node.c_str(), &status) == 0) return true;
            outcome = {ServeEnd::kStateGone,
                       device_.node + ": the device's node is gone (tree deleted?); detached"};
            return false;
        }
        if (stat(device_.token->statePath.c_str(), &status) != 0 ||
            status.st_ino != device_.token->ino || status.st_dev != device_.token->dev) {
            outcome = {ServeEnd::kStateGone,
                       device_.node + ": the token's state is gone (tree deleted?); detached"};
            return false;
        }
        TokenLock lock(*device_.token);
        const TokenState& state = *device_.token->state;
        if (!state.plugged || state.generation != device_.generation) {
            outcome = {ServeEnd::kUnplugged, device_.node + ": unplugged; detached"};
            return false;
        }
        return true;
    }

    // Answers one command into `replies`; false when the device must detach.
    bool handle(const Command& command, std::vector<uint8_t>& replies, ServeOutcome& outcome) {
        if (command.command == kCmdUnlink) {
            // A withheld request (a time-out fault) is cancelled; anything
            // else was answered already.
            const bool pending = withheld_.erase(command.unlinkSeqnum) != 0;
            appendRetUnlink(replies, command, pending ? -ECONNRESET : 0);
            return true;
        }
        if (command.endpoint != 0) {
            appendRetSubmit(replies, command, -EPIPE, nullptr, 0);
            return true;
        }
        ControlSetup setup{command.setup[0], command.setup[1], little16(command.setup + 2),
                           little16(command.setup + 4), little16(command.setup + 6)};
        const bool toHost = command.direction == kDirIn;
        const uint32_t room = std::min<uint32_t>(setup.wLength, command.bufferLength);
        setup.wLength = static_cast<uint16_t>(room);
        if (!toHost && command.bufferLength != 0) std::memcpy(buffer_, command.data, room);

        int32_t result = 0;
        if (isStandardRequest(setup.bRequestType)) {
            const StandardReply answer =
                answerStandardRequest(device_.ids, enumeration_, setup, buffer_);
            if (answer.reEnumerated && device_.token) {
                if (tokenPortReset(*device_.token, device_.generation, caller_) < 0 &&
                    !stillPresent(outcome)) {
                    return false;
                }
            }
            result = answer.status < 0 ? answer.status : static_cast<int32_t>(answer.length);
        } else if (!device_.token) {
            result = -EPIPE;
        } else {
            const TransferResult transfer = tokenControlTransfer(*device_.token, device_.generation,
                                                                 caller_, setup, 0, buffer_);
            result = transfer.result;
            if (result == -ENODEV && !stillPresent(outcome)) return false;
            if (transfer.waitOutTimeout) {
                // Never answered: the kernel unlinks it after its time-out.
                withheld_.insert(command.seqnum);
                return true;
            }
        }
        if (result < 0) {
            appendRetSubmit(replies, command, result, nullptr, 0);
        } else {
            appendRetSubmit(replies, command, 0, buffer_, static_cast<uint32_t>(result));
        }
        return true;
    }

  private:
    int socket_;
    const ServedDevice& device_;
    TransferCaller caller_;
    EnumerationState enumeration_;
    std::set<uint32_t> withheld_;
    uint8_t buffer_[kMaxTransferLength] = {};
};

// Importing a device and releasing it reset its bus, as attaching and
// detaching a USB device do: a transaction that one importer left open (its
// PIN already checked) must not carry over to the next.
class BusResets {
  public:
    explicit BusResets(const ServedDevice& device) : device_(device) { reset(); }
    ~BusResets() { reset(); }
    BusResets(const BusResets&) = delete;
    BusResets& operator=(const BusResets&) = delete;

  private:
    void reset() const {
        if (device_.token) tokenBusReset(*device_.token);
    }
    const ServedDevice& device_;
};

}  // namespace

std::optional<ServedDevice> openServedDevice(const std::string& node, std::string& error) {
    const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = node + ": " + errnoText(errno);
        return std::nullopt;
    }
    uint8_t bytes[kTokenNodeSize] = {};
    const ssize_t length = read(fd, bytes, sizeof bytes);
    close(fd);
    if (length < static_cast<ssize_t>(kDescriptorSize) || bytes[0] != kDescriptorSize ||
        bytes[1] != 1) {
        error = node + ": not a device node of a virtual tree";
        return std::nullopt;
    }
    ServedDevice device;
    device.node = node;
    device.ids = DeviceIds{little16(bytes + 8), little16(bytes + 10), little16(bytes + 12)};
    uint32_t generation = 0;
    if (parseTokenNode(bytes, static_cast<size_t>(length), generation)) {
        device.token = mapToken(statePathOf(node));
        if (!device.token) {
            error = node + ": the token's state file is missing or unusable";
            return std::nullopt;
        }
        device.generation = generation;
    }
    return device;
}

ServeOutcome serveDevice(int socketFd, const ServedDevice& device, const std::atomic<bool>& stop,
                         int recordFd) {
    const BusResets resets(device);
    Server server(socketFd, device);
    ServeOutcome outcome;
    std::vector<uint8_t> input;
    std::vector<uint8_t> replies;
    uint8_t chunk[8192];
    while (!stop.load()) {
        pollfd entry{socketFd, POLLIN, 0};
        const int ready = poll(&entry, 1, kIdleCheckMillis);
        if (ready < 0 && errno != EINTR) {
            return {ServeEnd::kSocketError, device.node + ": poll: " + errnoText(errno)};
        }
        if (ready <= 0) {
            if (!server.stillPresent(outcome)) return outcome;
            continue;
        }
        const ssize_t received = recv(socketFd, chunk, sizeof chunk, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received < 0) {
            return {ServeEnd::kSocketError, device.node + ": receive: " + errnoText(errno)};
        }
        if (received == 0) {
            if (!input.empty()) {
                return {ServeEnd::kMalformed,
                        device.node + ": refused truncated USB/IP input from the kernel: " +
                            "the connection closed inside a message (" +
                            std::to_string(input.size()) + " bytes); detached"};
            }
            return {ServeEnd::kClosedByKernel, device.node + ": detached by the kernel"};
        }
        if (recordFd >= 0) (void)!write(recordFd, chunk, static_cast<size_t>(received));
        input.insert(input.end(), chunk, chunk + received);
        size_t at = 0;
        replies.clear();
        while (true) {
            Command command;
            const ParseResult parsed = parseCommand(input.data() + at, input.size() - at, command);
            if (parsed.status == ParseStatus::kNeedMore) break;
            if (parsed.status == ParseStatus::kMalformed) {
                return {ServeEnd::kMalformed,
                        device.node + ": refused USB/IP input from the kernel: " + parsed.error};
            }
            at += parsed.consumed;
            if (!server.handle(command, replies, outcome)) {
                (void)sendWithin(socketFd, replies);
                return outcome;
            }
        }
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(at));
        if (!sendWithin(socketFd, replies)) {
            return {ServeEnd::kClosedByKernel, device.node + ": detached by the kernel"};
        }
    }
    return {ServeEnd::kStopped, device.node + ": detached"};
}

}  // namespace voksim::usbip
