// Opening a lock file that another user made. In a sticky world-writable
// directory such as /tmp the kernel (fs.protected_regular) refuses O_CREAT on
// an existing file of another user, even to root. This binary is linked with
// -Wl,--wrap=open so that the tests can make open behave that way here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

extern "C" int __real_open(const char* path, int flags,
                           ...);  // NOLINT(bugprone-reserved-identifier)

namespace {
bool gRefuseCreateOnExisting = false;  // as the kernel does in a protected sticky directory
int gHideExistingOnce = 0;             // plain opens that report ENOENT: a file made meanwhile
}  // namespace

extern "C" int __wrap_open(const char* path, int flags,
                           ...) {  // NOLINT(bugprone-reserved-identifier)
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    struct stat st = {};
    const bool exists = lstat(path, &st) == 0;
    if (gRefuseCreateOnExisting && exists && (flags & O_CREAT) != 0 && (flags & O_EXCL) == 0) {
        errno = EACCES;
        return -1;
    }
    if (gHideExistingOnce > 0 && exists && (flags & O_CREAT) == 0) {
        --gHideExistingOnce;
        errno = ENOENT;
        return -1;
    }
    return __real_open(path, flags, mode);
}

namespace {

// "abc" falls into lock file vok08.lock.
constexpr const char* kName = "abc";
constexpr const char* kLockFile = "vok08.lock";

class StickyDirectoryTest : public voktest::LockDirTest {
  protected:
    void TearDown() override {
        gRefuseCreateOnExisting = false;
        gHideExistingOnce = 0;
    }

    // The lock is taken on the existing file, which keeps its content after
    // the process ID.
    void expectTakenOnExistingFile() {
        const std::string file = ipc / kLockFile;
        VokMutex mutex = kVokMutexNotHeld;
        vokMutexLock(kName, &mutex);
        EXPECT_GE(mutex.fd, 0);
        vokMutexUnLock(&mutex);
        const std::vector<uint8_t> content = voktest::readFile(file);
        ASSERT_EQ(content.size(), 16U);
        EXPECT_EQ(std::string(content.begin() + 8, content.end()), std::string(8, 'x'));
    }
};

TEST_F(StickyDirectoryTest, ExistingFileOfAnotherUserIsOpenedWithoutCreating) {
    voktest::writeFile(ipc / kLockFile, std::vector<uint8_t>(16, 'x'));
    gRefuseCreateOnExisting = true;
    expectTakenOnExistingFile();
}

TEST_F(StickyDirectoryTest, FileMadeByAnotherProcessMeanwhileIsOpened) {
    voktest::writeFile(ipc / kLockFile, std::vector<uint8_t>(16, 'x'));
    gRefuseCreateOnExisting = true;
    gHideExistingOnce = 1;
    expectTakenOnExistingFile();
}

}  // namespace
