// The lock-file name shared by the device lock and `vok doctor`: the number
// and the name it gives, and the file that the device lock really takes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/lockFileName.h"
#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

namespace {

struct Case {
    const char* name;
    size_t number;
    const char* file;
};

// Bytes count as signed and are weighted by their position from 1.
constexpr Case kCases[] = {
    {"abc", 8, "vok08.lock"},      {"/dev/bus/usb/001/002", 12, "vok12.lock"},
    {"", 0, "vok00.lock"},         {"\xff", 60, "vok60.lock"},
    {"\xff\x01", 1, "vok01.lock"},  // -1 * 1 + 1 * 2
};

class LockFileNameTest : public voktest::LockDirTest {};

TEST_F(LockFileNameTest, NumberNameAndTheFileTheLockTakes) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(vokLockFileNumber(c.name), c.number);
        EXPECT_EQ(lock_num_hash(c.name), c.number);
        EXPECT_STREQ(vokLockFileName(c.number).data(), c.file);

        VokMutex mutex = kVokMutexNotHeld;
        vokMutexLock(c.name, &mutex);
        vokMutexUnLock(&mutex);
        struct stat st = {};
        EXPECT_EQ(stat((ipc.path() + "/" + c.file).c_str(), &st), 0);
    }
    EXPECT_STREQ(vokLockFileName(kVokLockFileCount - 1).data(), "vok96.lock");
}

}  // namespace
