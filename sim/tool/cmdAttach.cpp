// vok-sim attach / detach: the devices of a virtual tree as real USB devices
// of the running kernel, through vhci-hcd and a socket pair per device.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "commands.h"
#include "host/errorText.h"
#include "support.h"
#include "usbip/recordFile.h"
#include "usbip/treeNodes.h"
#include "usbip/usbipDevice.h"
#include "usbip/vhci.h"

namespace voksimtool {

using namespace voksim::usbip;
using voksim::errnoText;

namespace {

namespace fs = std::filesystem;

struct AttachOptions {
    std::string tree;
    std::vector<std::string> tokens;  // empty: every device node of the tree
    std::string recordDirectory;      // where to capture the kernel's traffic
};

struct DetachOptions {
    std::string tree;
    std::vector<unsigned> ports;
};

// Which process serves which ports of a tree: "PID PORT..." in TREE/.attached.
std::string recordPath(const std::string& tree) { return tree + "/.attached"; }

struct AttachRecord {
    pid_t pid = 0;
    std::vector<unsigned> ports;
};

std::optional<AttachRecord> readRecord(const std::string& tree) {
    std::ifstream file(recordPath(tree));
    AttachRecord record;
    if (!(file >> record.pid) || record.pid <= 0) return std::nullopt;
    unsigned port = 0;
    while (file >> port) record.ports.push_back(port);
    return record;
}

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

struct Attached {
    voksim::usbip::ServedDevice device;
    unsigned port = 0;
    int socketFd = -1;
    int recordFd = -1;
    std::thread server;
    voksim::usbip::ServeOutcome outcome;
    std::atomic<bool> done{false};
};

// Hands one device to the kernel on the first free port that takes it.
std::string attachOne(Attached& attached, std::vector<unsigned>& freePorts) {
    for (auto it = freePorts.begin(); it != freePorts.end(); ++it) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return std::string("socketpair: ") + errnoText(errno);
        const int error = attachPort(*it, pair[1], devidOf(attached.device.node));
        close(pair[1]);  // the kernel holds its own reference
        if (error == 0) {
            attached.port = *it;
            attached.socketFd = pair[0];
            freePorts.erase(it);
            return {};
        }
        close(pair[0]);
        if (error != EBUSY) {
            return "cannot attach " + attached.device.node + " to port " + std::to_string(*it) +
                   ": " + errnoText(error);
        }
    }
    return "no free high-speed port on " + vhciDirectory() +
           ": detach a device first (vok-sim detach TREE, or write its port number to " +
           vhciDirectory() + "/detach)";
}

int runAttach(const AttachOptions& options) {
    if (const std::string problem = vhciReadiness(); !problem.empty()) return fail(problem);
    if (!fs::is_directory(options.tree)) return fail(options.tree + " is not a virtual tree");
    if (auto record = readRecord(options.tree); record && alive(record->pid)) {
        return fail(options.tree + " is already attached by process " +
                    std::to_string(record->pid) + ": run 'vok-sim detach " + options.tree +
                    "' first");
    }
    const std::vector<std::string> nodes =
        options.tokens.empty() ? treeNodes(options.tree) : options.tokens;
    if (nodes.empty()) return fail(options.tree + " holds no device node");
    std::vector<std::unique_ptr<Attached>> devices;
    for (const std::string& node : nodes) {
        std::string error;
        auto device = voksim::usbip::openServedDevice(node, error);
        if (!device) return fail(error);
        devices.push_back(std::make_unique<Attached>());
        devices.back()->device = std::move(*device);
    }
    std::string error;
    std::vector<unsigned> freePorts = freeHighSpeedPorts(error);
    if (!error.empty()) return fail(error);

    // A closed output must not end the server and detach every device;
    // SIGINT and SIGTERM are taken by sigtimedwait below, in no other thread.
    const sigset_t signals = holdStopSignals();

    std::atomic<bool> stop{false};
    std::string failure;
    for (auto& attached : devices) {
        failure = attachOne(*attached, freePorts);
        if (!failure.empty()) break;
        if (!options.recordDirectory.empty()) {
            const std::string path =
                options.recordDirectory + "/port" + std::to_string(attached->port) + ".usbip";
            std::string problem;
            attached->recordFd = openRecordFile(path, problem);
            if (attached->recordFd < 0) (void)fail(problem + "; the port is not recorded");
        }
        Attached* self = attached.get();
        attached->server = std::thread([self, &stop] {
            self->outcome =
                voksim::usbip::serveDevice(self->socketFd, self->device, stop, self->recordFd);
            close(self->socketFd);  // the kernel sees the device go
            self->done = true;
        });
        std::printf("%s: attached on port %u\n", attached->device.node.c_str(), attached->port);
    }
    (void)std::fflush(stdout);
    {
        std::ofstream record(recordPath(options.tree), std::ios::trunc);
        record << getpid();
        for (const auto& attached : devices)
            if (attached->server.joinable()) record << ' ' << attached->port;
        record << '\n';
    }
    const timespec tick{0, 200L * 1000 * 1000};
    while (failure.empty()) {
        if (sigtimedwait(&signals, nullptr, &tick) > 0) break;
        if (std::all_of(devices.begin(), devices.end(),
                        [](const auto& d) { return d->done.load(); }))
            break;
    }
    stop = true;
    int status = failure.empty() ? 0 : fail(failure);
    for (auto& attached : devices) {
        if (!attached->server.joinable()) continue;
        attached->server.join();
        if (attached->recordFd >= 0) close(attached->recordFd);
        // Closing the socket made vhci-hcd free the port: nothing to write.
        const bool clean = attached->outcome.end == voksim::usbip::ServeEnd::kStopped ||
                           attached->outcome.end == voksim::usbip::ServeEnd::kClosedByKernel ||
                           attached->outcome.end == voksim::usbip::ServeEnd::kUnplugged;
        (void)std::fprintf(clean ? stdout : stderr, "%s%s (port %u)\n",
                           clean ? "" : "vok-sim: ", attached->outcome.message.c_str(),
                           attached->port);
        if (!clean) status = 1;
    }
    (void)std::remove(recordPath(options.tree).c_str());
    return status;
}

int runDetach(const DetachOptions& options) {
    int status = 0;
    if (!options.tree.empty()) {
        const auto record = readRecord(options.tree);
        if (!record || !alive(record->pid)) {
            (void)std::remove(recordPath(options.tree).c_str());
            std::printf("%s is not attached\n", options.tree.c_str());
        } else if (kill(record->pid, SIGTERM) != 0) {
            status = fail("cannot stop process " + std::to_string(record->pid) + ": " +
                          errnoText(errno));
        } else {
            // The server detaches its ports and removes the record as it ends.
            for (int i = 0; i < 100 && alive(record->pid); ++i) usleep(50 * 1000);
            if (alive(record->pid))
                status = fail("process " + std::to_string(record->pid) + " did not end");
            else
                std::printf("%s detached\n", options.tree.c_str());
        }
    }
    for (const unsigned port : options.ports) {
        if (const int error = detachPort(port); error != 0) {
            status = fail("cannot detach port " + std::to_string(port) + " (" + vhciDirectory() +
                          "/detach): " + errnoText(error));
        }
    }
    if (options.tree.empty() && options.ports.empty()) return fail("name a TREE or --port");
    return status;
}

}  // namespace

void registerAttachCommands(CLI::App& app, CommandTable& table) {
    auto attachOptions = std::make_shared<AttachOptions>();
    CLI::App* attach = app.add_subcommand(
        "attach", "Attach the tree's devices to the running kernel through vhci-hcd (root)");
    attach->add_option("TREE", attachOptions->tree, "Root of the virtual tree")->required();
    attach->add_option("--token", attachOptions->tokens,
                       "Attach only these device nodes (default: every node of the tree)");
    attach->add_option("--record", attachOptions->recordDirectory,
                       "Write the kernel's USB/IP traffic to DIR/portN.usbip");
    table.add(attach, [attachOptions] { return runAttach(*attachOptions); });
    auto detachOptions = std::make_shared<DetachOptions>();
    CLI::App* detach = app.add_subcommand("detach", "Detach an attached tree, or vhci-hcd ports");
    detach->add_option("TREE", detachOptions->tree, "Root of an attached virtual tree");
    detach->add_option("--port", detachOptions->ports, "Detach this vhci-hcd port");
    table.add(detach, [detachOptions] { return runDetach(*detachOptions); });
}

}  // namespace voksimtool
