// What the monitor learns of one usbfs node, and the walk over a usbfs tree.
//
// Neither blocks nor allocates: the probe opens the node with O_NONBLOCK and
// reads its device descriptor as the scan does (discovery/linuxUsb.h); the
// walk reads directories with getdents64 into a buffer on the stack.
#pragma once

#include <sys/types.h>

#include <cstdint>

enum class NodeKind : uint8_t {
    kToken,    // an accepted token this process can open read-write
    kRefused,  // an accepted token it can read but not open read-write
    kOther,    // another device, or a file the scan does not read
    kUnknown,  // unreadable: cannot be told from another device (yet)
    kGone,     // nothing there
};

struct NodeProbe {
    NodeKind kind;
    uint16_t productId;
    int error;  // kRefused: errno of the read-write open
    dev_t device;
    ino_t inode;
};

NodeProbe probeNode(const char* path);

// Calls `visit(path, context)` for every node of every bus directory under
// `root` in the scan's order (dot names skipped), with a path built in a
// buffer of VOK_TOKEN_PATH_SIZE bytes; a path that does not fit is skipped.
// `bus` not null: that bus directory alone. Returns false if `visit` did.
using NodeVisitor = bool (*)(const char* path, void* context);
bool walkNodes(const char* root, const char* bus, NodeVisitor visit, void* context);
// Calls `visit` for every entry of `root` (the bus directories, dot names
// skipped), in the scan's order.
bool walkBuses(const char* root, NodeVisitor visit, void* context);
