// The devices of a virtual tree offered to USB/IP clients over TCP: one
// thread per connection, which answers one operation (a device list, or an
// import followed by the device side of the data phase until the client
// goes). A device is imported by one connection at a time.
//
// Every byte from a client is untrusted: requests are read to their exact
// length into a fixed buffer, a connection that stalls inside its request is
// closed, and the number of connections is capped, in all and per address,
// with idle connections making room for new ones, so that no client can grow
// this process's memory or hold up another client.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usbip/usbipDevice.h"
#include "usbip/usbipOperations.h"

namespace voksim::usbip {

class ExportServer {
  public:
    // `recordDirectory`, when not empty, receives every byte each connection
    // sends, as DIR/connN.usbip (seeds for the fuzz corpus).
    ExportServer(std::string tree, const std::atomic<bool>& stop, std::string recordDirectory);
    ~ExportServer();
    ExportServer(const ExportServer&) = delete;
    ExportServer& operator=(const ExportServer&) = delete;

    // Takes the accepted socket `fd` (closed on every path) from `peer`.
    void accept(int fd, const std::string& peer);
    // Joins the connections that have ended.
    void reap();
    // Waits for every connection; call after `stop` is set.
    void joinAll();

    // What the tree exports now: its nodes that are usable devices.
    std::vector<ExportedDevice> exports() const;

  private:
    struct Connection {
        int fd = -1;
        unsigned number = 0;
        std::string peer;
        std::string address;  // the peer without its port
        std::thread thread;
        std::atomic<bool> idle{true};   // its whole request not read yet
        std::atomic<bool> drop{false};  // asked to go while idle
        std::atomic<bool> done{false};
    };
    Connection* oldestIdle(const std::string* address);
    bool makeRoom(const std::string& peer, const std::string& address);
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
