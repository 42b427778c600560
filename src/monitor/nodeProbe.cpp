// What the monitor learns of one usbfs node, and the walk over a usbfs tree
// (monitor/nodeProbe.h).
#include "monitor/nodeProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/openAboveStdio.h"
#include "common/probeableNode.h"
#include "discovery/linuxUsb.h"
#include "vok/vok.h"

namespace {

constexpr int kProbeFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// 0 for an accepted token, 16 another device, -1 unreadable (see linuxUsb.h).
int identify(int fd, const char* path, uint16_t& productId) {
    unsigned int product = 0;
    const int result = vokIdentifyOpenNode(fd, path, &product);
    (void)close(fd);
    productId = static_cast<uint16_t>(product);
    return result;
}

bool refusal(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Entries of the directory `fd` (closed here), each joined to `path` (of
// `length` characters) and handed to `step`; false when `step` says stop.
template <typename Step>
bool forEachEntry(int fd, char* path, size_t length, Step step) {
    alignas(dirent64) char buffer[2048];
    bool going = true;
    for (;;) {
        const ssize_t got = getdents64(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; going && at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.') continue;
            const size_t nameLength = std::strlen(entry->d_name);
            if (length + 1 + nameLength + 1 > VOK_TOKEN_PATH_SIZE) continue;
            path[length] = '/';
            std::memcpy(path + length + 1, entry->d_name, nameLength + 1);
            going = step(length + 1 + nameLength);
            path[length] = '\0';
        }
        if (!going) break;
    }
    (void)close(fd);
    return going;
}

int openDirectory(const char* path) {
    return vokOpenAboveStdio(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

NodeProbe probeNode(const char* path) {
    NodeProbe probe = {NodeKind::kGone, 0, 0, 0, 0};
    struct stat st = {};
    if (stat(path, &st) != 0) return probe;
    probe.device = st.st_dev;
    probe.inode = st.st_ino;
    probe.kind = NodeKind::kOther;
    if (!vokIsProbeableNode(st)) return probe;
    const int fd = vokOpenAboveStdio(path, O_RDWR | kProbeFlags);
    if (fd >= 0) {
        if (identify(fd, path, probe.productId) == 0) probe.kind = NodeKind::kToken;
        return probe;
    }
    const int error = errno;
    if (error == ENOENT) {
        probe.kind = NodeKind::kGone;
        return probe;
    }
    probe.kind = NodeKind::kUnknown;
    if (!refusal(error)) return probe;
    const int readOnly = vokOpenAboveStdio(path, O_RDONLY | kProbeFlags);
    if (readOnly < 0) return probe;
    const int identified = identify(readOnly, path, probe.productId);
    if (identified == 0) {
        probe.kind = NodeKind::kRefused;
        probe.error = error;
    } else if (identified > 0) {
        probe.kind = NodeKind::kOther;
    }
    return probe;
}

bool walkNodes(const char* root, const char* bus, NodeVisitor visit, void* context) {
    char path[VOK_TOKEN_PATH_SIZE];
    const size_t rootLength = std::strlen(root);
    if (rootLength >= sizeof path) return true;
    std::memcpy(path, root, rootLength + 1);
    auto visitBus = [&](size_t busLength) {
        const int busFd = openDirectory(path);
        if (busFd < 0) return true;  // not a directory: nothing in it
        return forEachEntry(busFd, path, busLength, [&](size_t) { return visit(path, context); });
    };
    if (bus != nullptr) {
        const size_t busLength = std::strlen(bus);
        if (rootLength + 1 + busLength >= sizeof path) return true;
        path[rootLength] = '/';
        std::memcpy(path + rootLength + 1, bus, busLength + 1);
        return visitBus(rootLength + 1 + busLength);
    }
    const int rootFd = openDirectory(root);
    if (rootFd < 0) return true;
    return forEachEntry(rootFd, path, rootLength, visitBus);
}

bool walkBuses(const char* root, NodeVisitor visit, void* context) {
    char path[VOK_TOKEN_PATH_SIZE];
    const size_t rootLength = std::strlen(root);
    if (rootLength >= sizeof path) return true;
    std::memcpy(path, root, rootLength + 1);
    const int rootFd = openDirectory(root);
    if (rootFd < 0) return true;
    return forEachEntry(rootFd, path, rootLength, [&](size_t) { return visit(path, context); });
}
