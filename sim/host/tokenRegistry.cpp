#include "host/tokenRegistry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/openAboveStdio.h"
#include "host/errorText.h"
#include "host/nodeFiles.h"

namespace voksim {

namespace {

// A descriptor's file, identified by inode and change time: a node that is
// unlinked, renamed or replaced gets a new change time, so a cached answer
// never outlives the file it was made for.
struct FileKey {
    dev_t dev = 0;
    ino_t ino = 0;
    time_t ctimeSeconds = 0;
    long ctimeNanos = 0;
    bool operator==(const FileKey&) const = default;
};

struct CachedBinding {
    FileKey key;
    NodeBinding binding;
    bool used = false;
};

constexpr size_t kCacheSize = 64;
constexpr size_t kRegistrySweepSize = 64;

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<MappedToken>> tokens;
    std::array<CachedBinding, kCacheSize> cache;
    size_t nextCacheSlot = 0;
};

// Never destroyed: the interposer may run during the process's exit.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

void releaseToken(MappedToken* token) {
    if (token->state) munmap(token->state, sizeof(TokenState));
    if (token->logFd >= 0) close(token->logFd);
    if (token->stateFd >= 0) close(token->stateFd);
    delete token;
}

std::shared_ptr<MappedToken> mapNewToken(const std::string& statePath) {
    // Above 2, as the library's own descriptors: the token lives in the
    // application's process, which may have started with stderr closed.
    const int fd = vokOpenAboveStdio(statePath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    if (fstat(fd, &status) != 0 || static_cast<size_t>(status.st_size) < sizeof(TokenState)) {
        close(fd);
        return nullptr;
    }
    void* address = mmap(nullptr, sizeof(TokenState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    std::shared_ptr<MappedToken> token(new MappedToken, releaseToken);
    token->stateFd = fd;
    token->state = static_cast<TokenState*>(address);
    token->dev = status.st_dev;
    token->ino = status.st_ino;
    token->statePath = statePath;
    if (!isValidTokenState(*token->state, static_cast<size_t>(status.st_size))) return nullptr;
    const std::string suffix = ".state";
    if (statePath.size() > suffix.size()) {
        token->logPath = statePath.substr(0, statePath.size() - suffix.size()) + ".log";
        token->logFd = vokOpenAboveStdio(token->logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    return token;
}

// Drops the tokens that nobody uses any more and whose state file is gone.
void sweepRegistry(Registry& reg) {
    if (reg.tokens.size() < kRegistrySweepSize) return;
    std::erase_if(reg.tokens, [](const std::shared_ptr<MappedToken>& token) {
        struct stat status {};
        return token.use_count() == 1 && fstat(token->stateFd, &status) == 0 &&
               status.st_nlink == 0;
    });
}

// Fork: the child must not inherit a lock held by another thread of the
// parent, so no token mutex is held across fork().
void lockAllForFork() {
    Registry& reg = registry();
    reg.mutex.lock();
    for (auto& token : reg.tokens) token->mutex.lock();
}

void unlockAllAfterFork() {
    Registry& reg = registry();
    for (auto& token : reg.tokens) token->mutex.unlock();
    reg.mutex.unlock();
}

void installForkHandlers() {
    static std::once_flag once;
    std::call_once(once,
                   [] { pthread_atfork(lockAllForFork, unlockAllAfterFork, unlockAllAfterFork); });
}

// "/proc/self/fd/N" names the node even after it was unlinked (" (deleted)").
std::string descriptorPath(int fd) {
    char link[64];
    (void)std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return {};
    std::string path(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

NodeBinding resolveDescriptor(int fd) {
    NodeBinding binding;
    uint8_t bytes[kTokenNodeSize];
    const ssize_t length = pread(fd, bytes, sizeof bytes, 0);
    if (length < 0 || !parseTokenNode(bytes, static_cast<size_t>(length), binding.generation)) {
        return binding;
    }
    binding.isNode = true;
    const std::string path = descriptorPath(fd);
    if (!path.empty()) binding.token = mapToken(siblingPath(path, ".state"));
    return binding;
}

// Any other refusal (ENOLCK: the kernel's lock table is full) leaves no way
// to keep other processes out; the token must not go on unguarded.
[[noreturn]] void lockFailed(const MappedToken& token, int error) {
    char reason[128];
    char message[640];
    const int length =
        std::snprintf(message, sizeof message, "voksim: cannot lock the token state %s (%s)\n",
                      token.statePath.c_str(), errorText(error, reason, sizeof reason));
    if (length > 0) {
        (void)!write(STDERR_FILENO, message,
                     std::min(static_cast<size_t>(length), sizeof message - 1));
    }
    abort();
}

}  // namespace

std::shared_ptr<MappedToken> mapToken(const std::string& statePath) {
    installForkHandlers();
    struct stat status {};
    if (stat(statePath.c_str(), &status) != 0) return nullptr;
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    for (const auto& token : reg.tokens) {
        if (token->dev == status.st_dev && token->ino == status.st_ino) return token;
    }
    // Only a state file that this process has not mapped is opened here, so
    // closing a descriptor never drops an fcntl lock that a thread holds.
    std::shared_ptr<MappedToken> token = mapNewToken(statePath);
    if (!token) return nullptr;
    sweepRegistry(reg);
    reg.tokens.push_back(token);
    return token;
}

// The kernel tracks record locks per process, not per thread, so it refuses
// a wait with EDEADLK when it sees a cycle between processes: this process
// holds token A's lock (one thread) and waits for token B's (another thread)
// while the other process does the reverse. No thread ever holds two tokens'
// locks, so the cycle is not real; it goes away once either thread is done.
// Going on without the lock would let two processes change one token's state
// at once (and lose a transaction), so the wait is asked again.
TokenLock::TokenLock(MappedToken& token) : token_(token) {
    token_.mutex.lock();
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    while (fcntl(token_.stateFd, F_SETLKW, &range) != 0) {
        if (errno == EDEADLK) {
            sched_yield();
        } else if (errno != EINTR) {
            lockFailed(token_, errno);
        }
    }
}

TokenLock::~TokenLock() {
    struct flock range {};
    range.l_type = F_UNLCK;
    range.l_whence = SEEK_SET;
    fcntl(token_.stateFd, F_SETLK, &range);
    token_.mutex.unlock();
}

NodeBinding bindDescriptor(int fd, const struct stat& status) {
    const FileKey key{status.st_dev, status.st_ino, status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
    Registry& reg = registry();
    {
        std::lock_guard<std::mutex> guard(reg.mutex);
        for (const CachedBinding& entry : reg.cache) {
            if (entry.used && entry.key == key) return entry.binding;
        }
    }
    NodeBinding binding = resolveDescriptor(fd);
    if (binding.isNode && !binding.token) return binding;  // no state yet: ask again next time
    std::lock_guard<std::mutex> guard(reg.mutex);
    CachedBinding& slot = reg.cache[reg.nextCacheSlot];
    reg.nextCacheSlot = (reg.nextCacheSlot + 1) % kCacheSize;
    slot = CachedBinding{key, binding, true};
    return binding;
}

}  // namespace voksim
