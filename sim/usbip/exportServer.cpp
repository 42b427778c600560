#include "usbip/exportServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "usbip/descriptor.h"
#include "usbip/recordFile.h"
#include "usbip/socketSend.h"
#include "usbip/treeNodes.h"
#include "usbip/usbipDevice.h"

namespace voksim::usbip {
namespace {

// A client must send its whole request within this time: the `usbip` client
// sends it at once, and a client that stalls holds a connection slot.
constexpr auto kRequestTime = std::chrono::seconds(10);
constexpr int kPollMillis = 100;
// Connections served at once: in all, from one network (one host's many
// addresses count as one) and from one address. When a limit is reached, a
// connection still waiting for its request makes room: first one that has
// sent nothing for longer than the grace, then the oldest; it is closed and
// joined at once, so the table holds only connections that count.
constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxConnectionsPerNetwork = 32;
constexpr size_t kMaxConnectionsPerAddress = 16;
constexpr auto kSilentGrace = std::chrono::seconds(1);

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    (void)std::fflush(stdout);
}

// Text from the wire as a log line may show it: every byte outside printable
// ASCII, and the backslash, as \xHH, so that no client can forge a line.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char hex[5];
            (void)std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

enum class RequestRead { kWhole, kRefused, kDropped, kGone };

// Reads one operation request to its exact length, so that the data phase
// that may follow an import starts with the next byte on the socket.
RequestRead readRequest(int fd, const std::atomic<bool>& stop,
                        const std::atomic<ConnectionState>& state, std::atomic<bool>& heard,
                        int recordFd, OpRequest& request, std::string& refusal) {
    uint8_t bytes[kOpHeaderSize + kBusIdSize];
    size_t have = 0;
    const auto deadline = std::chrono::steady_clock::now() + kRequestTime;
    while (true) {
        const ParseResult parsed = parseOpRequest(bytes, have, request);
        if (parsed.status == ParseStatus::kComplete) return RequestRead::kWhole;
        if (parsed.status == ParseStatus::kMalformed) {
            refusal = parsed.error;
            return RequestRead::kRefused;
        }
        const size_t need = have < kOpHeaderSize ? kOpHeaderSize : sizeof bytes;
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, kPollMillis);
        if (stop.load()) return RequestRead::kGone;
        if (state.load() == ConnectionState::kLeaving) return RequestRead::kDropped;
        if (ready < 0 && errno != EINTR) return RequestRead::kGone;
        if (ready <= 0) {
            if (std::chrono::steady_clock::now() < deadline) continue;
            refusal = "no whole request within " + std::to_string(kRequestTime.count()) + " s";
            return RequestRead::kRefused;
        }
        const ssize_t received = recv(fd, bytes + have, need - have, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) {
            if (have == 0) return RequestRead::kGone;
            refusal =
                "truncated request: the connection closed after " + std::to_string(have) + " bytes";
            return RequestRead::kRefused;
        }
        if (recordFd >= 0) (void)!write(recordFd, bytes + have, static_cast<size_t>(received));
        have += static_cast<size_t>(received);
        heard = true;
    }
}

}  // namespace

ExportServer::ExportServer(std::string tree, const std::atomic<bool>& stop,
                           std::string recordDirectory)
    : tree_(std::move(tree)), stop_(stop), recordDirectory_(std::move(recordDirectory)) {}

ExportServer::~ExportServer() { joinAll(); }

ExportServer::Connection::~Connection() {
    if (fd >= 0) close(fd);
}

std::vector<ExportedDevice> ExportServer::exports() const {
    std::vector<ExportedDevice> devices;
    for (const std::string& node : treeNodes(tree_)) {
        std::string error;
        const auto device = openServedDevice(node, error);
        if (!device) continue;
        const NodeAddress address = addressOf(node);
        devices.push_back(describeDevice(node, address.bus, address.device, device->ids));
    }
    return devices;
}

bool ExportServer::inScope(const Connection& connection, const Peer& peer, Scope scope) {
    switch (scope) {
        case Scope::kAddress:
            return connection.peer.address == peer.address;
        case Scope::kNetwork:
            return connection.peer.network == peer.network;
        case Scope::kAll:
            break;
    }
    return true;
}

// Asks a waiting connection within `scope` of `peer` to leave, and closes and
// joins it; false when none is waiting.
bool ExportServer::evictOne(const Peer& peer, Scope scope) {
    const auto silentSince = std::chrono::steady_clock::now() - kSilentGrace;
    for (const bool silentOnly : {true, false}) {
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            Connection& connection = **it;
            if (!inScope(connection, peer, scope)) continue;
            if (silentOnly && (connection.heard || connection.accepted > silentSince)) continue;
            auto waiting = ConnectionState::kWaiting;
            if (!connection.state.compare_exchange_strong(waiting, ConnectionState::kLeaving))
                continue;
            // Wakes its thread's poll; the peer sees the close now.
            (void)shutdown(connection.fd, SHUT_RDWR);
            connection.thread.join();
            connections_.erase(it);
            return true;
        }
    }
    return false;
}

// Whether `peer` may have a connection now, making room when a limit is
// reached.
bool ExportServer::makeRoom(const Peer& peer) {
    size_t fromNetwork = 0;
    size_t fromAddress = 0;
    for (const auto& connection : connections_) {
        fromNetwork += inScope(*connection, peer, Scope::kNetwork) ? 1 : 0;
        fromAddress += inScope(*connection, peer, Scope::kAddress) ? 1 : 0;
    }
    std::string full;
    Scope scope = Scope::kAll;
    if (fromAddress >= kMaxConnectionsPerAddress) {
        scope = Scope::kAddress;
        full = std::to_string(kMaxConnectionsPerAddress) + " connections from " + peer.address;
    } else if (fromNetwork >= kMaxConnectionsPerNetwork) {
        scope = Scope::kNetwork;
        full = std::to_string(kMaxConnectionsPerNetwork) + " connections from " + peer.network;
    } else if (connections_.size() >= kMaxConnections) {
        full = std::to_string(kMaxConnections) + " connections";
    } else {
        return true;
    }
    if (evictOne(peer, scope)) return true;
    say(peer.text + ": refused: " + full + " are open, none of them waiting for its request");
    return false;
}

void ExportServer::accept(int fd, const Peer& peer) {
    reap();
    if (!makeRoom(peer)) {
        close(fd);
        return;
    }
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client whose machine vanishes without closing releases its device
    // after about a minute instead of the system's two hours.
    const int idle = 30, interval = 10, probes = 3;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->number = ++accepted_;
    connection->peer = peer;
    connection->accepted = std::chrono::steady_clock::now();
    Connection* self = connection.get();
    connections_.push_back(std::move(connection));
    try {
        self->thread = std::thread([this, self] {
            try {
                serve(*self);
            } catch (...) {  // even the line that tells of a failure could not be made
            }
            (void)shutdown(self->fd, SHUT_RDWR);  // the client sees the end now
            self->done = true;
        });
    } catch (const std::system_error& failure) {  // out of threads or memory
        connections_.pop_back();
        say(peer.text + ": refused: no thread to serve it (" + failure.code().message() +
            "); connection closed");
    }
}

void ExportServer::reap() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (!(*it)->done.load()) {
            ++it;
            continue;
        }
        (*it)->thread.join();
        it = connections_.erase(it);
    }
}

void ExportServer::joinAll() {
    for (auto& connection : connections_) {
        if (connection->thread.joinable()) connection->thread.join();
    }
    connections_.clear();
}

uint32_t ExportServer::importDevice(const std::string& busid, std::optional<ServedDevice>& served,
                                    ExportedDevice& described) {
    for (const std::string& candidate : treeNodes(tree_)) {
        const NodeAddress address = addressOf(candidate);
        if (std::to_string(address.bus) + "-" + std::to_string(address.device) != busid) continue;
        std::string error;
        auto device = openServedDevice(candidate, error);
        if (!device) return kStatusDeviceError;
        described = describeDevice(candidate, address.bus, address.device, device->ids);
        const std::lock_guard<std::mutex> guard(importedMutex_);
        if (!imported_.insert(candidate).second) return kStatusDeviceBusy;
        served = std::move(device);
        return kStatusOk;
    }
    return kStatusNoDevice;
}

void ExportServer::release(const std::string& node) {
    const std::lock_guard<std::mutex> guard(importedMutex_);
    imported_.erase(node);
}

void ExportServer::serve(Connection& connection) {
    const std::string& peer = connection.peer.text;
    Descriptor record;
    if (!recordDirectory_.empty()) {
        const std::string path =
            recordDirectory_ + "/conn" + std::to_string(connection.number) + ".usbip";
        std::string problem;
        record.fd = openRecordFile(path, problem);
        if (record.fd < 0) say(peer + ": " + problem + "; the connection is not recorded");
    }
    OpRequest request;
    std::string refusal;
    RequestRead read = readRequest(connection.fd, stop_, connection.state, connection.heard,
                                   record.fd, request, refusal);
    auto waiting = ConnectionState::kWaiting;
    if (read == RequestRead::kWhole)
        (void)connection.state.compare_exchange_strong(waiting, ConnectionState::kServing);
    if (connection.state.load() == ConnectionState::kLeaving) read = RequestRead::kDropped;
    if (read == RequestRead::kRefused) say(peer + ": refused: " + refusal + "; connection closed");
    if (read == RequestRead::kDropped) say(peer + ": closed while idle, to make room for another");
    if (read != RequestRead::kWhole) return;
    bool replied = false;
    try {
        if (request.code == kOpReqDevlist) {
            answerList(connection, replied);
        } else {
            answerImport(connection, request.busid, record.fd, replied);
        }
    } catch (const std::exception& failure) {
        // No failure inside one connection may end the server: the client
        // hears of it, if it has not had its reply yet, and the others go on.
        say(peer + ": failed: " + failure.what() + "; connection closed");
        if (!replied) {
            std::vector<uint8_t> reply;
            appendFailureReply(reply, request.code, kStatusDeviceError);
            (void)sendWithin(connection.fd, reply);
        }
    }
}

void ExportServer::answerList(Connection& connection, bool& replied) {
    const std::vector<ExportedDevice> devices = exports();
    std::vector<uint8_t> reply;
    appendDevlistReply(reply, devices);
    replied = true;
    if (sendWithin(connection.fd, reply))
        say(connection.peer.text + ": listed " + std::to_string(devices.size()) + " devices");
}

void ExportServer::answerImport(Connection& connection, const std::string& busid, int recordFd,
                                bool& replied) {
    const std::string& peer = connection.peer.text;
    const std::string shownBusid = escaped(busid);
    std::optional<ServedDevice> device;
    ExportedDevice described;
    const uint32_t status = importDevice(busid, device, described);
    // However the import ends, the device is free for the next client.
    struct Release {
        ExportServer& server;
        const std::string* node;
        ~Release() {
            if (node != nullptr) server.release(*node);
        }
    } const released{*this, status == kStatusOk ? &device->node : nullptr};
    std::vector<uint8_t> reply;
    appendImportReply(reply, status, described);
    replied = true;
    const bool sent = sendWithin(connection.fd, reply);
    if (status != kStatusOk) {
        say(peer + ": import of '" + shownBusid + "' refused: " +
            (status == kStatusDeviceBusy ? "imported by another client"
             : status == kStatusNoDevice ? "no such device"
                                         : "the device is not usable"));
        return;
    }
    if (!sent) return;
    say(peer + ": imported " + shownBusid + " (" + device->node + ")");
    const ServeOutcome outcome = serveDevice(connection.fd, *device, stop_, recordFd);
    say(peer + ": released " + shownBusid + ": " + outcome.message);
}

}  // namespace voksim::usbip
