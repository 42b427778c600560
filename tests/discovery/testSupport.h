// Helpers for the discovery and device-lock tests: temporary directories
// below one root per test program, paths longer than PATH_MAX allows to name
// in one go, and fake usbfs trees made of plain files.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/scopedEnv.h"
#include "support/tempDir.h"
#include "support/usbTree.h"

namespace voktest {

inline void check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error(what + ": " + strerror(errno));
    }
}

// One directory under /tmp per test program, removed when the program ends.
// Death-test children (which re-run the program and end without cleaning up)
// inherit it through the environment, so what they leave behind goes too.
inline const std::string& testRoot() {
    static const std::string root = [] {
        if (const char* inherited = getenv("VOK_TEST_ROOT")) {
            return std::string(inherited);
        }
        char pattern[] = "/tmp/vok-test-XXXXXX";
        check(mkdtemp(pattern) != nullptr, "mkdtemp");
        chmod(pattern, 0755);  // some tests scan as an unprivileged user
        setenv("VOK_TEST_ROOT", pattern, 1);
        atexit([] { testsupport::removeTree(getenv("VOK_TEST_ROOT")); });
        return std::string(pattern);
    }();
    return root;
}

using testsupport::readFile;
using testsupport::ScopedEnv;
using testsupport::writeFile;

// A fresh directory below testRoot(), removed with its contents.
class TempDir : public testsupport::TempDir {
  public:
    TempDir() : testsupport::TempDir("dir-", testRoot()) {}
};

// A test with a lock directory of its own (`ipc`) below testRoot(), named in
// VOK_IPC_NAME.
class LockDirTest : public ::testing::Test {
  protected:
    TempDir ipc;
    ScopedEnv ipcEnv{"VOK_IPC_NAME", ipc.path()};
};

// A test on a fake usbfs tree of its own (`usb`) with a lock directory of
// its own (`ipc`), both below testRoot() and named in the environment.
class FakeUsbTest : public ::testing::Test, protected testsupport::PrivateUsbTree {
  protected:
    FakeUsbTest() : testsupport::PrivateUsbTree("", testRoot()) {}
};

inline void makeDirs(const std::string& path) {
    for (size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        const std::string prefix = path.substr(0, slash);
        check(mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + prefix);
    }
}

// Makes a directory whose full path is exactly `length` characters long
// below `base`, out of components of at most 200
// characters. Returns the path.
inline std::string makeDirOfLength(const std::string& base, size_t length) {
    makeDirs(base);
    std::string path = base;
    while (path.size() < length) {
        const size_t remaining = length - path.size() - 1;  // minus the '/'
        // Leave no remainder too short for one more component.
        size_t component = remaining > 200 ? (remaining - 200 < 2 ? 150 : 200) : remaining;
        path += '/';
        path.append(component, 'd');
        check(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST, "mkdir (long)");
    }
    check(path.size() == length, "makeDirOfLength");
    return path;
}

// An 18-byte USB device descriptor (little-endian fields).
inline std::vector<uint8_t> deviceDescriptor(uint16_t idVendor, uint16_t idProduct,
                                             uint16_t bcdDevice) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {18,
            0x01,
            0x00,
            0x02,
            0xFF,
            0x00,
            0x00,
            0x40,
            lo(idVendor),
            hi(idVendor),
            lo(idProduct),
            hi(idProduct),
            lo(bcdDevice),
            hi(bcdDevice),
            0x01,
            0x02,
            0x00,
            0x01};
}

constexpr uint16_t kTokenVendor = 0xF055;
constexpr uint16_t kTokenProduct = 0x0401;

inline std::vector<uint8_t> tokenDescriptor(uint16_t bcdDevice = 0x0100) {
    return deviceDescriptor(kTokenVendor, kTokenProduct, bcdDevice);
}

// Puts a device node holding `bytes` at root/bus/dev.
inline std::string addNode(const std::string& root, const std::string& bus, const std::string& dev,
                           const std::vector<uint8_t>& bytes) {
    makeDirs(root + "/" + bus);
    const std::string path = root + "/" + bus + "/" + dev;
    writeFile(path, bytes);
    return path;
}

// The names of a directory in the order readdir gives them, without the
// hidden ones: the order in which the scan visits them.
inline std::vector<std::string> scanOrder(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* stream = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(stream)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(stream);
    }
    return names;
}

// Whether this process may make a private mount namespace and mount a tmpfs
// in it (root with CAP_SYS_ADMIN). Tried in a child process.
inline bool canMountPrivately() {
    const pid_t child = fork();
    if (child == 0) {
        const bool ok = unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        mount("vok-test", testRoot().c_str(), "tmpfs", 0, "size=4k") == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// The number of descriptors this process has open.
inline size_t openDescriptorCount() {
    size_t count = 0;
    if (DIR* stream = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(stream)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(stream);
    }
    return count;
}

}  // namespace voktest
