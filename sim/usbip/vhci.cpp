#include "usbip/vhci.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace voksim::usbip {
namespace {

constexpr unsigned kHighSpeed = 3;  // USB_SPEED_HIGH
constexpr unsigned kPortFree = 4;   // VDEV_ST_NULL

int writeText(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const ssize_t written = write(fd, text.data(), text.size());
    const int error = written < 0 ? errno : (static_cast<size_t>(written) == text.size() ? 0 : EIO);
    close(fd);
    return error;
}

}  // namespace

std::string vhciDirectory() {
    // No thread of the programs that attach devices changes the environment.
    const char* chosen = std::getenv("VOKSIM_VHCI_DIR");  // NOLINT(concurrency-mt-unsafe)
    return chosen && *chosen ? chosen : "/sys/devices/platform/vhci_hcd.0";
}

std::string vhciReadiness() {
    const std::string directory = vhciDirectory();
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        return "vhci-hcd is not loaded (" + directory +
               " is missing): load it with 'modprobe vhci-hcd' as root";
    }
    if (access((directory + "/attach").c_str(), W_OK) != 0) {
        return "cannot write " + directory +
               "/attach: attaching a device to the kernel needs root; run vok-sim as root "
               "(for example with sudo)";
    }
    return {};
}

// The status file has a header line, then one line per port:
//   hub port sta spd dev      sockfd local_busid
//   hs  0000 004 000 00000000 000000 0-0
std::vector<unsigned> freeHighSpeedPorts(std::string& error) {
    std::ifstream file(vhciDirectory() + "/status");
    if (!file) {
        error = "cannot read " + vhciDirectory() + "/status";
        return {};
    }
    std::vector<unsigned> ports;
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string hub;
        unsigned port = 0;
        unsigned state = 0;
        if (!(fields >> hub >> port >> state)) continue;
        if (hub == "hs" && state == kPortFree) ports.push_back(port);
    }
    return ports;
}

int attachPort(unsigned port, int socketFd, unsigned devid) {
    return writeText(vhciDirectory() + "/attach",
                     std::to_string(port) + " " + std::to_string(socketFd) + " " +
                         std::to_string(devid) + " " + std::to_string(kHighSpeed));
}

int detachPort(unsigned port) {
    return writeText(vhciDirectory() + "/detach", std::to_string(port));
}

}  // namespace voksim::usbip
