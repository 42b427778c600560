// A node replaced between the probe's type check and its open must not hang
// the scan. The test binary is linked with -Wl,--wrap=stat, so every stat
// the library makes comes here: right after the library has seen a regular
// file at the armed path, the file is swapped for a FIFO.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "discovery/deviceList.h"
#include "discovery/testSupport.h"

extern "C" int __real_stat(const char* path, struct stat* status);

namespace {
std::string swapAt;  // armed path; emptied once the swap is done
}  // namespace

extern "C" int __wrap_stat(const char* path, struct stat* status) {
    const int result = __real_stat(path, status);
    if (result == 0 && !swapAt.empty() && swapAt == path && S_ISREG(status->st_mode)) {
        swapAt.clear();
        if (unlink(path) != 0 || mkfifo(path, 0666) != 0) _exit(2);
    }
    return result;
}

namespace {

class ProbeSwapTest : public voktest::FakeUsbTest {};

TEST_F(ProbeSwapTest, NodeSwappedForAFifoAfterTheTypeCheckIsNotRead) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    voktest::addNode(usb.path(), "001", "001", voktest::tokenDescriptor());
    voktest::addNode(usb.path(), "001", "002", voktest::tokenDescriptor());
    EXPECT_EXIT(
        {
            alarm(60);  // a hang, not a slow machine
            swapAt = usb / "001/001";
            VokDeviceList* list = vokCreateDeviceList();
            const VokDevice* first = vokGetFirstDevice(list);
            const bool onlyTheOther = first != nullptr && first->devicePath == usb / "001/002" &&
                                      vokGetNextDevice(list) == nullptr && swapAt.empty();
            vokFreeDeviceList(list);
            _exit(onlyTheOther ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
