// Which entries of a usbfs tree are read: usbfs device nodes (character
// devices of major 189) and regular files (a virtual tree). Anything else (a
// FIFO, a terminal, another character device) could block the read, or act
// on being opened, and is left alone. The library's probe and `vok doctor`
// take the rule from here; header-only, in src/common, so that the tool, a client
// of the public interface, compiles the same code.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

// The character-device major number of usbfs device nodes.
inline constexpr unsigned kVokUsbDeviceMajor = 189;

inline bool vokIsProbeableNode(const struct stat& st) {
    return S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && major(st.st_rdev) == kVokUsbDeviceMajor);
}
