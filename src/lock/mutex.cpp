// Device lock: serialises work on one device node between the threads of this
// process (one of eleven pool mutexes, chosen by a hash of the name) and
// between processes (an fcntl record lock on one of 97 lock files, chosen by a
// second hash of the name).
#include "lock/mutex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/lockFileName.h"
#include "common/openAboveStdio.h"
#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "lock/mutexInternal.h"

namespace {

constexpr mode_t kLockFileMode = 0666;

// Counts the pool locks this process holds, so that a thread whose record
// lock request was refused as a deadlock can wait until it is the only holder.
struct UseThPool {
    pthread_mutex_t guard;
    pthread_cond_t cond;  // signalled when cnt drops to 0
    uint64_t cnt;         // guarded by guard
};

}  // namespace

static pthread_mutex_t th_pool[11] = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
};

static UseThPool use_th_pool = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};

size_t hash_str(const char* str, size_t mod) {
    VOK_ASSERT(mod > 0);
    VOK_ASSERT(str);
    uint64_t sum = 0;
    for (const char* p = str; *p != '\0'; ++p) {
        sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(*p)));
    }
    const size_t hash = sum % mod;
    VOK_ASSERT(hash < mod);
    return hash;
}

size_t lock_num_hash(const char* str) {
    VOK_ASSERT(str);
    const size_t mod = kVokLockFileCount;
    const size_t num = vokLockFileNumber(str);
    VOK_ASSERT(num < mod);
    return num;
}

// The lock directory is $VOK_IPC_NAME, read at each call, or "/tmp". An empty
// value puts the lock files into the root directory. In a secure-execution
// process (set-user-ID and the like) the caller's variable is ignored.
int create_ipc_name(const char* name_postfix, char* buf, size_t buf_len) {
    const char* name_prefix = secure_getenv("VOK_IPC_NAME");  // NOLINT(concurrency-mt-unsafe)
    if (name_prefix == nullptr) {
        name_prefix = "/tmp";
    }
    VOK_ASSERT(name_prefix);
    VOK_ASSERT(name_postfix);
    const size_t prefix_len = strlen(name_prefix);
    const size_t postfix_len = strlen(name_postfix);
    if (prefix_len + postfix_len + 1 >= buf_len) {
        return -1;
    }
    VOK_ASSERT(buf);
    memcpy(buf, name_prefix, prefix_len);
    size_t len = prefix_len;
    if (prefix_len == 0 || name_prefix[prefix_len - 1] != '/') {
        buf[len++] = '/';
    }
    memcpy(buf + len, name_postfix, postfix_len);
    len += postfix_len;
    VOK_ASSERT(len < buf_len);
    buf[len] = '\0';
    return 0;
}

static int lock_th(const char* name, pthread_mutex_t** mutex) {
    pthread_mutex_t* slot = &th_pool[hash_str(name, std::size(th_pool))];
    int r = pthread_mutex_lock(slot);
    VOK_ASSERT(r == 0);
    r = pthread_mutex_lock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    ++use_th_pool.cnt;
    r = pthread_mutex_unlock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    VOK_ASSERT(mutex);
    *mutex = slot;
    return 0;
}

static int unlock_th(pthread_mutex_t* mutex) {
    int r = pthread_mutex_lock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    VOK_ASSERT(use_th_pool.cnt != 0);
    if (--use_th_pool.cnt == 0) {
        r = pthread_cond_signal(&use_th_pool.cond);
        VOK_ASSERT(r == 0);
    }
    r = pthread_mutex_unlock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    VOK_ASSERT(mutex);
    r = pthread_mutex_unlock(mutex);
    VOK_ASSERT(r == 0);
    return 0;
}

// Called by a thread that holds one counted pool lock: waits until no other
// thread of the process holds one, and returns with guard locked so that none
// can take one until unlock_th_others.
static int lock_th_others() {
    int ret = pthread_mutex_lock(&use_th_pool.guard);
    VOK_ASSERT(ret == 0);
    VOK_ASSERT(use_th_pool.cnt != 0);
    --use_th_pool.cnt;
    while (use_th_pool.cnt != 0) {
        ret = pthread_cond_wait(&use_th_pool.cond, &use_th_pool.guard);
        VOK_ASSERT(ret == 0);
    }
    ++use_th_pool.cnt;
    return 0;
}

static int unlock_th_others() {
    const int ret = pthread_mutex_unlock(&use_th_pool.guard);
    VOK_ASSERT(ret == 0);
    return 0;
}

// Opens (creating if need be) the lock file. O_NOFOLLOW: a symbolic link
// planted under the lock file's name by another user must not redirect the
// PID write to the file it points to; a hard link (a link count other than 1)
// is refused for the same reason. Anything but a regular file (a planted
// FIFO, for one) is refused too, so the PID write cannot block on it.
// An existing lock file is opened without O_CREAT: in a sticky world-writable
// directory such as /tmp the kernel refuses O_CREAT on another user's existing
// file (fs.protected_regular), and the lock files are shared by all users.
// Only a file that this call created gets the shared mode, set with fchmod
// rather than by clearing the umask, which every thread of the application
// shares; an existing file is never re-moded.
static int open_lock_file(const char* ipc_path) {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
    int fd = vokOpenAboveStdio(ipc_path, kFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(ipc_path, kFlags | O_CREAT | O_EXCL, kLockFileMode);
        if (fd >= 0) {
            // The shared mode before anything can fail, so that the new file
            // is usable by every user whatever happens next.
            (void)fchmod(fd, kLockFileMode);  // the lock works without it
            fd = vokMoveAboveStdio(fd);
        } else if (errno == EEXIST) {
            fd = vokOpenAboveStdio(ipc_path, kFlags);  // another process made it meanwhile
        }
    }
    if (fd < 0) {
        vokTraceSystemError("open", ipc_path, errno);
        return -1;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        vokTraceFailure("not a regular file with one link: not used as a lock file", ipc_path);
        (void)close(fd);
        return -1;
    }
    return fd;
}

// Records the holder's process ID. The record lock is the lock and the PID is
// only informational, so a write that fails (a full file system, a quota, an
// I/O error) leaves the lock held; a partly written ID is cut away again, so
// that no reader ever finds a torn one.
static void write_holder_pid(int fd, const char* ipc_path) {
    const int64_t pid = getpid();
    const ssize_t written = pwrite(fd, &pid, sizeof(pid), 0);
    if (written < 0) vokTraceSystemError("write", ipc_path, errno);
    if (written > 0 && written < static_cast<ssize_t>(sizeof(pid))) {
        (void)ftruncate(fd, 0);
    }
}

// F_SETLKW, asked again when a signal cuts the wait short (a handler that
// the application installed without SA_RESTART): an interrupted wait must
// not let the caller go on without the lock.
static int set_lock_waiting(int fd, struct flock* request) {
    int r = 0;
    do {
        r = fcntl(fd, F_SETLKW, request);
    } while (r != 0 && errno == EINTR);
    return r;
}

// Waits for the exclusive record lock on the first byte of the lock file.
static int wait_record_lock(int fd, const char* ipc_path) {
    struct flock request = {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 1;
    int r = set_lock_waiting(fd, &request);
    if (r != 0 && errno == EDEADLK) {
        // The kernel saw a cycle through another thread of this process. Once
        // this thread is the only one holding a pool lock the cycle is gone:
        // ask again.
        if (lock_th_others() == 0) {
            r = set_lock_waiting(fd, &request);
            if (unlock_th_others() != 0) {
                r = -1;
            }
        }
    }
    if (r != 0) vokTraceSystemError("fcntl F_SETLKW", ipc_path, errno);
    return r;
}

int lock(const char* name, VokMutex* l_descr) {
    const size_t magic_num = lock_num_hash(name);
    VOK_ASSERT(magic_num < 100);

    char lock_name[] = VOK_LOCK_FILE_NAME_TEMPLATE;
    VOK_ASSERT(sizeof(lock_name) > 3 && lock_name[3] == '?');
    VOK_ASSERT(sizeof(lock_name) > 4 && lock_name[4] == '?');
    lock_name[3] = static_cast<char>('0' + magic_num / 10);
    lock_name[4] = static_cast<char>('0' + magic_num % 10);
    VOK_ASSERT(lock_name[sizeof(lock_name) - 1] == '\0');

    char ipc_path[4096];
    if (create_ipc_name(lock_name, ipc_path, sizeof(ipc_path)) != 0) {
        return -1;
    }
    VOK_ASSERT(strlen(ipc_path) < sizeof(ipc_path));

    pthread_mutex_t* mutex = nullptr;
    if (lock_th(name, &mutex) != 0) {
        return -1;
    }

    const int fd = open_lock_file(ipc_path);
    const bool locked = fd >= 0 && wait_record_lock(fd, ipc_path) == 0;
    if (locked) {
        write_holder_pid(fd, ipc_path);
    } else {
        if (fd >= 0) {
            (void)close(fd);
        }
        VOK_ASSERT(mutex);
        const int ret = unlock_th(mutex);
        VOK_ASSERT(ret == 0);
        return -1;
    }

    VOK_ASSERT(l_descr);
    VOK_ASSERT(mutex);
    l_descr->mutex = mutex;
    l_descr->fd = fd;
    return 0;
}

int unlock(VokMutex* l_descr) {
    VOK_ASSERT(l_descr);
    VOK_ASSERT(l_descr->fd >= 0);
    const int closed = close(l_descr->fd);  // drops the record lock
    VOK_ASSERT(l_descr->mutex);
    if (unlock_th(l_descr->mutex) != 0) {
        return -1;
    }
    return closed == 0 ? 0 : -1;
}

extern "C" void vokMutexLock(const char* name, VokMutex* mutex) {
    VOK_ASSERT(name);
    VOK_ASSERT(mutex);
    (void)lock(name, mutex);
}

// A VokMutex that vokMutexLock could not fill is still "not held" (as its
// owner initialised it): there is no descriptor to close and no pool lock to
// give back. A held one always names its pool lock, so a null pool lock alone
// means "not held", whatever fd says (a zero-filled VokMutex has fd 0, which
// is not this lock's to close). After a release the VokMutex is "not held"
// again, so a second unlock cannot close a descriptor number that has since
// been reused.
extern "C" void vokMutexUnLock(VokMutex* mutex) {
    VOK_ASSERT(mutex);
    if (mutex->mutex == nullptr) {
        return;
    }
    (void)unlock(mutex);
    *mutex = kVokMutexNotHeld;
}

uint64_t vokMutexPoolCount() {
    int r = pthread_mutex_lock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    const uint64_t cnt = use_th_pool.cnt;
    r = pthread_mutex_unlock(&use_th_pool.guard);
    VOK_ASSERT(r == 0);
    return cnt;
}

pthread_mutex_t* vokMutexPoolSlot(size_t slot) {
    VOK_ASSERT(slot < std::size(th_pool));
    return &th_pool[slot];
}
