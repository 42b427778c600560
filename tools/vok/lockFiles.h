// The library's lock files, as `vok doctor` inspects them: while the library
// probes a device node it holds an fcntl record lock on byte 0 of one of 97
// files "vok00.lock" .. "vok96.lock" in the lock directory (VOK_IPC_NAME, or
// /tmp), chosen by a hash of the node's path (src/common/lockFileName.h, shared
// with the library). A process that keeps one of them locked makes every
// other process's scan wait.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vokcli {

struct LockDirectory {
    std::string path;
    bool fromEnvironment = false;
};

LockDirectory lockDirectory();

// The full path of the lock file that guards the probe of a device node: the
// directory, a '/' unless it already ends in one, and "vokNN.lock".
std::string lockFilePath(const LockDirectory& directory, const std::string& devicePath);

// The process that holds the record lock of an existing lock file, if any.
// Nothing also when the file does not exist or cannot be opened.
std::optional<pid_t> lockHolder(const std::string& lockPath);

}  // namespace vokcli
