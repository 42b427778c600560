// A usbfs tree and a lock directory that belong to one test.
#pragma once

#include <string>
#include <string_view>

#include "support/scopedEnv.h"
#include "support/tempDir.h"

namespace testsupport {

// Two temporary directories, `usb` (the usbfs root) and `ipc` (the lock
// directory), named in USB_DEVFS_PATH and VOK_IPC_NAME while the object
// lives, so that tests running in parallel share neither devices nor lock
// files.
struct PrivateUsbTree {
    explicit PrivateUsbTree(std::string_view prefix = "vok-", const std::string& parent = "/tmp")
        : usb(std::string(prefix) + "usb-", parent), ipc(std::string(prefix) + "ipc-", parent) {}

    TempDir usb;
    TempDir ipc;
    ScopedEnv usbEnv{"USB_DEVFS_PATH", usb.path()};
    ScopedEnv ipcEnv{"VOK_IPC_NAME", ipc.path()};
};

}  // namespace testsupport
