// The tokens this process has mapped, and the lock that serialises every
// transfer and every change of a token's state between threads and processes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "voksim/tokenModel.h"

namespace voksim {

struct MappedToken {
    std::mutex mutex;  // threads of this process; the fcntl lock keeps out other processes
    int stateFd = -1;
    int logFd = -1;                   // -1: the token has no log file
    bool logFailureReported = false;  // under the token's lock
    TokenState* state = nullptr;
    dev_t dev = 0;  // of the state file
    ino_t ino = 0;
    std::string statePath;
    std::string logPath;
};

// The mapped token whose state file is `statePath`, mapping it on first use;
// null when the file is missing or not a usable state.
std::shared_ptr<MappedToken> mapToken(const std::string& statePath);

// Holds a token's lock: its mutex, then an fcntl write lock on its state file.
class TokenLock {
  public:
    explicit TokenLock(MappedToken& token);
    ~TokenLock();
    TokenLock(const TokenLock&) = delete;
    TokenLock& operator=(const TokenLock&) = delete;

  private:
    MappedToken& token_;
};

// The node behind a descriptor: the token and the plug generation written in
// the node, or null when the descriptor is not a virtual token node.
struct NodeBinding {
    std::shared_ptr<MappedToken> token;
    uint32_t generation = 0;
    bool isNode = false;  // a token node (token may still be null: no usable state)
};
NodeBinding bindDescriptor(int fd, const struct stat& status);

}  // namespace voksim
