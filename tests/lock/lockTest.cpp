// The device lock within one thread: hashes, lock file names and contents,
// the record lock, and every way taking the lock can fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

namespace {

using voktest::ScopedEnv;

// "abc" falls into pool slot 8 and lock file vok08.lock.
constexpr const char* kName = "abc";
constexpr size_t kSlot = 8;
constexpr const char* kLockFile = "vok08.lock";

bool slotIsFree(size_t slot) {
    pthread_mutex_t* mutex = vokMutexPoolSlot(slot);
    if (pthread_mutex_trylock(mutex) != 0) {
        return false;
    }
    pthread_mutex_unlock(mutex);
    return true;
}

// The record lock that another open file description would run into on the
// given byte of the file, as seen through an open-file-description query.
struct flock conflictingLock(const std::string& path, off_t byte) {
    struct flock query = {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = byte;
    query.l_len = 1;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &query) != 0) {
        query.l_type = -1;
    }
    if (fd >= 0) {
        close(fd);
    }
    return query;
}

int64_t storedPid(const std::string& path) {
    const std::vector<uint8_t> content = voktest::readFile(path);
    int64_t pid = -1;
    if (content.size() >= sizeof(pid)) {
        memcpy(&pid, content.data(), sizeof(pid));
    }
    return pid;
}

class LockTest : public voktest::LockDirTest {};

TEST(LockHashTest, KnownNamesGiveKnownSlotsAndFiles) {
    EXPECT_EQ(hash_str("abc", 11), 8U);
    EXPECT_EQ(lock_num_hash("abc"), 8U);
    EXPECT_EQ(hash_str("/dev/bus/usb/001/002", 11), 9U);
    EXPECT_EQ(lock_num_hash("/dev/bus/usb/001/002"), 12U);
    EXPECT_EQ(hash_str("", 11), 0U);
    EXPECT_EQ(lock_num_hash(""), 0U);
    // Bytes count as signed: 0xFF adds -1 (2^64 - 1 after wrap-around).
    EXPECT_EQ(hash_str("\xff", 11), 4U);
    EXPECT_EQ(lock_num_hash("\xff"), 60U);
    EXPECT_EQ(lock_num_hash("\xff\x01"), 1U);  // -1 * 1 + 1 * 2
}

TEST(LockNameTest, DirectoryAndFileNameAreJoined) {
    char buf[4096];
    {
        ScopedEnv unset("VOK_IPC_NAME", std::nullopt);
        ASSERT_EQ(create_ipc_name(kLockFile, buf, sizeof(buf)), 0);
        EXPECT_STREQ(buf, "/tmp/vok08.lock");
    }
    {
        ScopedEnv slash("VOK_IPC_NAME", std::string("/run/locks/"));
        ASSERT_EQ(create_ipc_name(kLockFile, buf, sizeof(buf)), 0);
        EXPECT_STREQ(buf, "/run/locks/vok08.lock");
    }
    {
        ScopedEnv empty("VOK_IPC_NAME", std::string());
        ASSERT_EQ(create_ipc_name(kLockFile, buf, sizeof(buf)), 0);
        EXPECT_STREQ(buf, "/vok08.lock");
    }
    ScopedEnv plain("VOK_IPC_NAME", std::string("locks"));
    ASSERT_EQ(create_ipc_name(kLockFile, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "locks/vok08.lock");

    // "locks" + "vok08.lock" + 1 must stay below the buffer size.
    char small[17];
    memset(small, '#', sizeof(small));
    EXPECT_EQ(create_ipc_name(kLockFile, small, 16), -1);
    EXPECT_EQ(small[0], '#');
    EXPECT_EQ(create_ipc_name(kLockFile, small, 17), 0);
    EXPECT_STREQ(small, "locks/vok08.lock");
}

TEST_F(LockTest, HeldLockOwnsSlotCountAndRecordLock) {
    const mode_t oldMask = umask(077);
    const uint64_t countBefore = vokMutexPoolCount();
    VokMutex mutex = kVokMutexNotHeld;
    vokMutexLock(kName, &mutex);
    const mode_t maskDuring = umask(oldMask);

    const std::string file = ipc / kLockFile;
    ASSERT_GE(mutex.fd, 0);
    EXPECT_EQ(mutex.mutex, vokMutexPoolSlot(kSlot));
    EXPECT_EQ(maskDuring, 077U);  // the umask is left alone
    struct stat st = {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666U);
    EXPECT_EQ(fcntl(mutex.fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_NE(fcntl(mutex.fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(vokMutexPoolCount(), countBefore + 1);
    EXPECT_FALSE(slotIsFree(kSlot));
    const struct flock held = conflictingLock(file, 0);
    EXPECT_EQ(held.l_type, F_WRLCK);
    EXPECT_EQ(held.l_pid, getpid());
    EXPECT_EQ(held.l_start, 0);
    EXPECT_EQ(held.l_len, 1);
    EXPECT_EQ(conflictingLock(file, 1).l_type, F_UNLCK);  // the first byte only

    vokMutexUnLock(&mutex);
    EXPECT_EQ(mutex.fd, -1);
    EXPECT_EQ(mutex.mutex, nullptr);
    EXPECT_EQ(vokMutexPoolCount(), countBefore);
    EXPECT_TRUE(slotIsFree(kSlot));
    EXPECT_EQ(conflictingLock(file, 0).l_type, F_UNLCK);
    // The file stays, holding the last holder's process ID in 8 bytes.
    EXPECT_EQ(voktest::readFile(file).size(), 8U);
    EXPECT_EQ(storedPid(file), getpid());

    // Unlocking again does nothing.
    vokMutexUnLock(&mutex);
    EXPECT_EQ(vokMutexPoolCount(), countBefore);
}

TEST_F(LockTest, ExistingLockFileIsReusedNotTruncated) {
    const std::string file = ipc / kLockFile;
    voktest::writeFile(file, std::vector<uint8_t>(16, 'x'));
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    VokMutex mutex = kVokMutexNotHeld;
    vokMutexLock(kName, &mutex);
    ASSERT_GE(mutex.fd, 0);
    vokMutexUnLock(&mutex);

    const std::vector<uint8_t> content = voktest::readFile(file);
    ASSERT_EQ(content.size(), 16U);
    EXPECT_EQ(storedPid(file), getpid());
    EXPECT_EQ(std::string(content.begin() + 8, content.end()), std::string(8, 'x'));
    // Only a lock file that the lock creates gets the shared mode.
    struct stat st = {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
}

// Every way the lock cannot be taken: lock returns -1, the pool slot and the
// count are given back, and vokMutexLock leaves the caller's VokMutex alone.
class LockFailureTest : public LockTest {
  protected:
    void expectNotTaken() {
        const uint64_t countBefore = vokMutexPoolCount();
        VokMutex probe = {12345, nullptr};
        const int result = lock(kName, &probe);
        EXPECT_EQ(result, -1);
        if (result == 0) {
            unlock(&probe);  // taken after all: give it back so the test can go on
            return;
        }
        EXPECT_EQ(probe.fd, 12345);
        EXPECT_EQ(probe.mutex, nullptr);
        EXPECT_EQ(vokMutexPoolCount(), countBefore);
        if (!slotIsFree(kSlot)) {
            ADD_FAILURE() << "the pool slot was not given back";
            return;
        }

        VokMutex mutex = kVokMutexNotHeld;
        vokMutexLock(kName, &mutex);
        EXPECT_EQ(mutex.fd, -1);
        EXPECT_EQ(mutex.mutex, nullptr);
        vokMutexUnLock(&mutex);  // a not-held VokMutex: nothing to give back

        EXPECT_EQ(vokMutexPoolCount(), countBefore);
        EXPECT_TRUE(slotIsFree(kSlot));
    }
};

TEST_F(LockFailureTest, MissingDirectory) {
    ScopedEnv missing("VOK_IPC_NAME", ipc / "missing");
    expectNotTaken();
    EXPECT_NE(access((ipc / "missing").c_str(), F_OK), 0);
}

TEST_F(LockFailureTest, SymlinkPlantedAtTheLockFile) {
    voktest::writeFile(ipc / "precious", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink((ipc / "precious").c_str(), (ipc / kLockFile).c_str()), 0);
    expectNotTaken();
    EXPECT_EQ(voktest::readFile(ipc / "precious"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST_F(LockFailureTest, DanglingSymlinkPlantedAtTheLockFile) {
    ASSERT_EQ(symlink((ipc / "created").c_str(), (ipc / kLockFile).c_str()), 0);
    expectNotTaken();
    EXPECT_NE(access((ipc / "created").c_str(), F_OK), 0);
}

// A hard link to another file of the caller's must not let the lock re-mode
// that file or write a PID into it.
TEST_F(LockFailureTest, HardLinkPlantedAtTheLockFile) {
    voktest::writeFile(ipc / "precious", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(chmod((ipc / "precious").c_str(), 0600), 0);
    ASSERT_EQ(link((ipc / "precious").c_str(), (ipc / kLockFile).c_str()), 0);
    expectNotTaken();
    EXPECT_EQ(voktest::readFile(ipc / "precious"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    struct stat st = {};
    ASSERT_EQ(stat((ipc / "precious").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
}

TEST_F(LockFailureTest, FifoPlantedAtTheLockFile) {
    ASSERT_EQ(mkfifo((ipc / kLockFile).c_str(), 0666), 0);
    expectNotTaken();
}

TEST_F(LockFailureTest, DirectoryNameTooLong) {
    // 4085 + "vok08.lock" + 1 reaches the 4096-byte path buffer.
    {
        ScopedEnv tooLong("VOK_IPC_NAME", std::string(4085, 'd'));
        expectNotTaken();
    }
    ScopedEnv tooLongWithSlash("VOK_IPC_NAME", std::string(4084, 'd') + "/");
    expectNotTaken();
}

TEST_F(LockTest, LongestDirectoryNameStillWorks) {
    const std::string dir = voktest::makeDirOfLength(ipc / "deep", 4084);
    ScopedEnv deep("VOK_IPC_NAME", dir);
    char buf[4096];
    ASSERT_EQ(create_ipc_name(kLockFile, buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 4095U);

    VokMutex mutex = kVokMutexNotHeld;
    vokMutexLock(kName, &mutex);
    EXPECT_GE(mutex.fd, 0);
    vokMutexUnLock(&mutex);
    EXPECT_EQ(storedPid(dir + "/" + kLockFile), getpid());
}

class LockDeathTest : public LockTest {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LockDeathTest, NullArgumentsEndTheProcess) {
    VokMutex mutex = kVokMutexNotHeld;
    char buf[64];
    EXPECT_DEATH(vokMutexLock(nullptr, &mutex), "mutex.cpp:[0-9]+: .*Assertion `name' failed");
    EXPECT_DEATH(vokMutexLock(kName, nullptr), "Assertion `mutex' failed");
    EXPECT_DEATH(vokMutexUnLock(nullptr), "Assertion `mutex' failed");
    EXPECT_DEATH(hash_str(kName, 0), "Assertion `mod > 0' failed");
    EXPECT_DEATH(hash_str(nullptr, 11), "hash_str.*Assertion `str' failed");
    EXPECT_DEATH(lock_num_hash(nullptr), "lock_num_hash.*Assertion `str' failed");
    EXPECT_DEATH(create_ipc_name(nullptr, buf, sizeof(buf)), "Assertion `name_postfix' failed");
    EXPECT_DEATH(create_ipc_name(kLockFile, nullptr, 64), "Assertion `buf' failed");
    EXPECT_DEATH(unlock(nullptr), "Assertion `l_descr' failed");
}

TEST_F(LockDeathTest, ReleasingWhatWasNotTakenEndsTheProcess) {
    VokMutex noFile = {-1, vokMutexPoolSlot(0)};
    EXPECT_DEATH(unlock(&noFile), "Assertion `l_descr->fd >= 0' failed");
    VokMutex noSlot = {open("/dev/null", O_RDONLY | O_CLOEXEC), nullptr};
    EXPECT_DEATH(unlock(&noSlot), "Assertion `l_descr->mutex' failed");
    // A pool lock that was never counted.
    VokMutex forged = {open("/dev/null", O_RDONLY | O_CLOEXEC), vokMutexPoolSlot(0)};
    EXPECT_DEATH(unlock(&forged), "unlock_th.*Assertion `use_th_pool.cnt != 0' failed");
    close(noSlot.fd);
    close(forged.fd);
}

// C callers zero-fill their VokMutex: when the lock cannot be taken,
// unlocking it must leave descriptor 0 open and the pool alone.
TEST_F(LockDeathTest, ZeroFilledMutexThatWasNotTakenIsLeftAlone) {
    ScopedEnv missing("VOK_IPC_NAME", ipc / "missing");
    EXPECT_EXIT(
        {
            if (fcntl(0, F_GETFD) == -1) {
                dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
            }
            const uint64_t countBefore = vokMutexPoolCount();
            VokMutex zeroed = {};
            vokMutexLock(kName, &zeroed);
            vokMutexUnLock(&zeroed);
            const bool untouched =
                fcntl(0, F_GETFD) != -1 && vokMutexPoolCount() == countBefore && slotIsFree(kSlot);
            _exit(untouched ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// In a process started with stdin, stdout and stderr closed, the lock file
// must not take one of their numbers, where the process's output would go.
TEST_F(LockDeathTest, TheLockFileNeverTakesAStandardStreamsNumber) {
    EXPECT_EXIT(
        {
            for (int fd = 0; fd <= 2; ++fd) close(fd);
            VokMutex mutex = kVokMutexNotHeld;
            vokMutexLock(kName, &mutex);
            const bool above = mutex.fd > 2 && (fcntl(mutex.fd, F_GETFD) & FD_CLOEXEC) != 0;
            vokMutexUnLock(&mutex);
            _exit(above ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Locks kName in a child process after `prepare` has made the PID write
// fail, and reports through the exit code: 0 when the lock was held and the
// lock file holds no torn PID, 77 when `prepare` could not set the scene.
int lockWithFailingPidWrite(const std::string& dir, const std::function<bool()>& prepare) {
    const pid_t child = fork();
    if (child == 0) {
        if (!prepare()) _exit(77);
        setenv("VOK_IPC_NAME", dir.c_str(), 1);
        VokMutex mutex = kVokMutexNotHeld;
        vokMutexLock(kName, &mutex);
        const bool held = mutex.fd >= 0;
        vokMutexUnLock(&mutex);
        const std::vector<uint8_t> content = voktest::readFile(dir + "/" + kLockFile);
        _exit(held && content.empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The PID in the lock file is informational: a PID write that fails (a full
// file system) or stops part-way (a file size limit) keeps the lock and
// leaves an empty file rather than a torn PID.
TEST_F(LockTest, FailedPidWriteKeepsTheLock) {
    const std::string full = ipc / "full";
    voktest::makeDirs(full);
    const int onFullFs = lockWithFailingPidWrite(full, [&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("vok-test", full.c_str(), "tmpfs", 0, "size=4k") != 0) {
            return false;
        }
        const std::vector<uint8_t> page(4096, 'f');
        const int fd = open((full + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        while (fd >= 0 && write(fd, page.data(), page.size()) > 0) {
        }
        return true;
    });
    if (onFullFs != 77) {
        EXPECT_EQ(onFullFs, 0) << "on a full file system";
    }

    const std::string limited = ipc / "limited";
    voktest::makeDirs(limited);
    const int partial = lockWithFailingPidWrite(limited, [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit fourBytes = {4, 4};
        return setrlimit(RLIMIT_FSIZE, &fourBytes) == 0;
    });
    EXPECT_EQ(partial, 0) << "with a PID written only in part";
}

}  // namespace
