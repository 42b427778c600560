// vok-sim serve: the devices of a virtual tree as a USB/IP server that the
// standard `usbip` client lists and attaches (`usbip list -r HOST`,
// `usbip attach -r HOST -b BUSID`). Runs in the foreground until SIGINT or
// SIGTERM.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "commands.h"
#include "host/errorText.h"
#include "support.h"
#include "usbip/descriptor.h"
#include "usbip/exportServer.h"
#include "usbip/peerAddress.h"

namespace voksimtool {

using namespace voksim::usbip;
using voksim::errnoText;

namespace {

struct ServeOptions {
    std::string tree;
    std::string listen = "127.0.0.1:3240";
    std::string recordDirectory;  // where to capture each connection's traffic
};

// A burst of connections waits in the queue for the accepting loop instead
// of being dropped and tried again a second later.
constexpr int kListenBacklog = 128;
constexpr int kPollMillis = 200;

// "ADDR:PORT" or "[ADDR]:PORT" into its numeric address and port.
bool splitAddress(const std::string& text, std::string& host, std::string& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return port.find_first_not_of("0123456789") == std::string::npos && port.size() <= 5 &&
           std::stoul(port) <= 65535;
}

bool isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}

// Binds and listens on `text`; the socket, or -1 with `error` set.
int listenOn(const std::string& text, std::string& error, bool& loopback) {
    std::string host, port;
    if (!splitAddress(text, host, port)) {
        error = "--listen " + text + ": expected ADDR:PORT (for example 127.0.0.1:3240)";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0) {
        error = "--listen " + text + ": " + gai_strerror(status) + " (a numeric address is needed)";
        return -1;
    }
    loopback = isLoopback(found->ai_addr);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, kListenBacklog) != 0) {
        error = "cannot listen on " + text + ": " + errnoText(errno);
        if (fd >= 0) close(fd);
        freeaddrinfo(found);
        return -1;
    }
    freeaddrinfo(found);
    return fd;
}

int runServe(const ServeOptions& options) {
    if (!std::filesystem::is_directory(options.tree))
        return fail(options.tree + " is not a virtual tree");
    std::string error;
    bool loopback = true;
    Descriptor listener{listenOn(options.listen, error, loopback)};
    if (listener.fd < 0) return fail(error);
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    (void)getsockname(listener.fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    if (!loopback) {
        (void)std::fprintf(stderr,
                           "vok-sim: warning: listening on %s beyond this machine; USB/IP has no "
                           "authentication or encryption: anyone who can reach this port can use "
                           "the tokens (use a trusted network, or an SSH tunnel to 127.0.0.1)\n",
                           options.listen.c_str());
    }

    // A closed output (stdout a pipe whose reader went) must not end the
    // server and every import with it: its lines are then lost. SIGINT and
    // SIGTERM arrive on a descriptor, in no thread.
    const sigset_t signals = holdStopSignals();
    Descriptor signalFd{signalfd(-1, &signals, SFD_CLOEXEC)};
    if (signalFd.fd < 0) return fail("signalfd: " + errnoText(errno));

    std::atomic<bool> stop{false};
    ExportServer server(options.tree, stop, options.recordDirectory);
    std::printf("serving %s on %s\n", options.tree.c_str(), describePeer(bound).text.c_str());
    for (const auto& device : server.exports()) {
        std::printf("  %s %04x:%04x %s\n", device.busid.c_str(), device.idVendor, device.idProduct,
                    device.path.c_str());
    }
    (void)std::fflush(stdout);
    int status = 0;
    // After an accept that failed for want of descriptors or memory, the
    // connection waits in the queue and the listener is left out of one poll,
    // instead of being polled, and failing, at full speed.
    bool pauseListener = false;
    bool acceptFailureTold = false;
    while (true) {
        pollfd entries[2] = {{pauseListener ? -1 : listener.fd, POLLIN, 0},
                             {signalFd.fd, POLLIN, 0}};
        pauseListener = false;
        const int ready = poll(entries, 2, kPollMillis);
        if (ready < 0 && errno != EINTR) {
            status = fail("poll: " + errnoText(errno));
            break;
        }
        server.reap();
        if (ready <= 0) continue;
        if (entries[1].revents != 0) break;
        if (entries[0].revents == 0) continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const int fd =
            accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (fd >= 0) {
            acceptFailureTold = false;
            server.accept(fd, describePeer(peer));
        } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            pauseListener = true;
            if (!acceptFailureTold) {  // once, until a connection is accepted again
                std::printf("accept: %s; new connections wait\n", errnoText(errno).c_str());
                (void)std::fflush(stdout);
                acceptFailureTold = true;
            }
        }
    }
    stop = true;
    server.joinAll();
    std::printf("stopped\n");
    return status;
}

}  // namespace

void registerServeCommand(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<ServeOptions>();
    CLI::App* serve = app.add_subcommand(
        "serve", "Offer the tree's devices to USB/IP clients (usbip list -r, usbip attach -r)");
    serve->add_option("TREE", options->tree, "Root of the virtual tree")->required();
    serve
        ->add_option("--listen", options->listen,
                     "ADDR:PORT to listen on; beyond loopback anyone who reaches it can use the "
                     "tokens")
        ->capture_default_str();
    serve->add_option("--record", options->recordDirectory,
                      "Write each connection's traffic to DIR/connN.usbip");
    table.add(serve, [options] { return runServe(*options); });
}

}  // namespace voksimtool
