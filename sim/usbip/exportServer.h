// The devices of a virtual tree offered to USB/IP clients over TCP: one
// thread per connection, which answers one operation (a device list, or an
// import followed by the device side of the data phase until the client
// goes). A device is imported by one connection at a time.
//
// Every byte from a client is untrusted: requests are read to their exact
// length into a fixed buffer, a connection that stalls inside its request is
// closed, and the number of connections is capped, in all, per network and
// per address, with connections still waiting for their request making room
// for new ones (and gone at once), so that no client can grow this process's
// memory or hold up another client.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usbip/peerAddress.h"
#include "usbip/usbipDevice.h"
#include "usbip/usbipOperations.h"

namespace voksim::usbip {

// A connection waits for its whole request, then is served; only a waiting
// one may be asked to leave, and the change is made once, by whichever side
// comes first.
enum class ConnectionState : uint8_t { kWaiting, kServing, kLeaving };

class ExportServer {
  public:
    // `recordDirectory`, when not empty, receives every byte each connection
    // sends, as DIR/connN.usbip (seeds for the fuzz corpus).
    ExportServer(std::string tree, const std::atomic<bool>& stop, std::string recordDirectory);
    ~ExportServer();
    ExportServer(const ExportServer&) = delete;
    ExportServer& operator=(const ExportServer&) = delete;

    // Takes the accepted socket `fd` (closed on every path) from `peer`.
    void accept(int fd, const Peer& peer);
    // Joins the connections that have ended.
    void reap();
    // Waits for every connection; call after `stop` is set.
    void joinAll();

    // What the tree exports now: its nodes that are usable devices.
    std::vector<ExportedDevice> exports() const;

  private:
    // Its socket is closed when it leaves the table, after its thread is
    // joined: the thread only shuts it down, so that no other socket can take
    // its number while the accepting thread may still shut it down.
    struct Connection {
        Connection() = default;
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;
        ~Connection();
        int fd = -1;
        unsigned number = 0;
        Peer peer;
        std::chrono::steady_clock::time_point accepted;
        std::thread thread;
        std::atomic<ConnectionState> state{ConnectionState::kWaiting};
        std::atomic<bool> heard{false};  // a byte of its request has come
        std::atomic<bool> done{false};
    };
    // Which connections a full limit counts.
    enum class Scope : uint8_t { kAll, kNetwork, kAddress };
    static bool inScope(const Connection& connection, const Peer& peer, Scope scope);
    bool evictOne(const Peer& peer, Scope scope);
    bool makeRoom(const Peer& peer);
    void serve(Connection& connection);
    // The answers to a whole request; `replied` is set once the reply is
    // built, so that a failure after it sends no second one.
    void answerList(Connection& connection, bool& replied);
    void answerImport(Connection& connection, const std::string& busid, int recordFd,
                      bool& replied);
    // Answers an import: the reply's status; on success `served` is the
    // device, now marked imported until release().
    uint32_t importDevice(const std::string& busid, std::optional<ServedDevice>& served,
                          ExportedDevice& described);
    void release(const std::string& node);

    std::string tree_;
    const std::atomic<bool>& stop_;
    std::string recordDirectory_;
    unsigned accepted_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;  // the accepting thread's alone
    std::mutex importedMutex_;
    std::set<std::string> imported_;  // nodes, guarded by importedMutex_
};

}  // namespace voksim::usbip
