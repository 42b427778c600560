// Device records and the device list, filled from fake usbfs trees.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/deviceList.h"
#include "discovery/testSupport.h"

namespace {

class DeviceListTest : public voktest::FakeUsbTest {};

VokIdInfo sampleInfo() {
    VokIdInfo info = {};
    auto* bytes = reinterpret_cast<uint8_t*>(&info);
    for (size_t i = 0; i < sizeof(info); ++i) {
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return info;
}

TEST_F(DeviceListTest, EmptyTreeGivesEmptyList) {
    VokDeviceList* list = vokCreateDeviceList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->head.next, &list->head);
    EXPECT_EQ(list->head.prev, &list->head);
    EXPECT_EQ(vokGetFirstDevice(list), nullptr);
    EXPECT_EQ(vokGetNextDevice(list), nullptr);
    vokFreeDeviceList(list);
}

TEST_F(DeviceListTest, IterationFollowsScanOrderAndStaysAtEnd) {
    voktest::addNode(usb.path(), "001", "001", voktest::tokenDescriptor());
    voktest::addNode(usb.path(), "001", "007", voktest::tokenDescriptor(0x0200));
    VokDeviceList* list = vokCreateDeviceList();

    // Never started: nothing, and the cursor is not moved.
    EXPECT_EQ(vokGetNextDevice(list), nullptr);
    EXPECT_EQ(list->iterNext, nullptr);

    const std::vector<std::string> order = voktest::scanOrder(usb / "001");
    ASSERT_EQ(order.size(), 2U);
    VokDevice* first = vokGetFirstDevice(list);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first->devicePath), usb / ("001/" + order[0]));
    EXPECT_EQ(first->index, 0U);
    VokDevice* second = vokGetNextDevice(list);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second->devicePath), usb / ("001/" + order[1]));
    EXPECT_EQ(second->index, 1U);
    EXPECT_EQ(list->iterCurrent, &second->link);

    EXPECT_EQ(vokGetNextDevice(list), nullptr);
    EXPECT_EQ(vokGetNextDevice(list), nullptr);
    EXPECT_EQ(list->iterCurrent, &second->link);

    // Restarting gives the first record again, as often as asked.
    EXPECT_EQ(vokGetFirstDevice(list), first);
    EXPECT_EQ(vokGetFirstDevice(list), first);
    EXPECT_EQ(vokGetNextDevice(list), second);

    // The list is circular both ways.
    EXPECT_EQ(list->head.prev, &second->link);
    EXPECT_EQ(second->link.prev, &first->link);
    EXPECT_EQ(first->link.prev, &list->head);
    vokFreeDeviceList(list);
}

TEST(VokDeviceTest, CreateCopiesTextsAndZeroesTheRest) {
    char path[] = "/dev/bus/usb/001/002";
    char name[] = "lock-name";
    VokDevice* device = vokCreateDevice(0x0401, 7, path, name);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(device->devicePath, path);
    EXPECT_NE(device->mutexName, name);
    path[0] = 'X';  // the record keeps its own copies
    name[0] = 'X';
    EXPECT_STREQ(device->devicePath, "/dev/bus/usb/001/002");
    EXPECT_STREQ(device->mutexName, "lock-name");
    EXPECT_EQ(device->productId, 0x0401);
    EXPECT_EQ(device->index, 7U);
    EXPECT_EQ(device->fd, 0);
    EXPECT_EQ(device->link.next, nullptr);
    EXPECT_EQ(device->link.prev, nullptr);
    EXPECT_NE(device->mutex, nullptr);
    const VokIdInfo zero = {};
    EXPECT_EQ(memcmp(&device->info, &zero, sizeof(zero)), 0);
    vokFreeDevice(device);
}

TEST_F(DeviceListTest, CloneIsIndependentOfItsList) {
    voktest::addNode(usb.path(), "002", "003", voktest::tokenDescriptor());
    VokDeviceList* list = vokCreateDeviceList();
    VokDevice* original = vokGetFirstDevice(list);
    ASSERT_NE(original, nullptr);
    original->fd = 42;
    original->info = sampleInfo();

    VokDevice* clone = vokCloneDevice(original);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->fd, 0);
    EXPECT_EQ(clone->link.next, nullptr);
    EXPECT_EQ(clone->link.prev, nullptr);
    EXPECT_STREQ(clone->devicePath, original->devicePath);
    EXPECT_STREQ(clone->mutexName, original->mutexName);
    EXPECT_NE(clone->devicePath, original->devicePath);
    EXPECT_NE(clone->mutexName, original->mutexName);
    EXPECT_NE(clone->mutex, original->mutex);
    EXPECT_EQ(clone->productId, original->productId);
    EXPECT_EQ(clone->index, original->index);
    EXPECT_EQ(memcmp(&clone->info, &original->info, sizeof(VokIdInfo)), 0);

    // A second clone freed first leaves the list whole; the list freed
    // leaves the first clone whole (AddressSanitizer watches both).
    vokFreeDevice(vokCloneDevice(original));
    EXPECT_EQ(vokGetFirstDevice(list), original);
    const std::string path = original->devicePath;
    vokFreeDeviceList(list);
    EXPECT_EQ(std::string(clone->devicePath), path);
    EXPECT_EQ(std::string(clone->mutexName), path);
    vokFreeDevice(clone);
}

class DeviceListDeathTest : public DeviceListTest {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DeviceListDeathTest, NullArgumentsEndTheProcess) {
    EXPECT_DEATH(vokGetFirstDevice(nullptr), "deviceList.cpp.*Assertion `deviceList' failed");
    EXPECT_DEATH(vokGetNextDevice(nullptr), "Assertion `deviceList' failed");
    EXPECT_DEATH(vokFreeDeviceList(nullptr), "Assertion `deviceList' failed");
    EXPECT_DEATH(vokCreateDevice(1, 0, nullptr, "name"), "Assertion `devicePath' failed");
    EXPECT_DEATH(vokCreateDevice(1, 0, "path", nullptr), "Assertion `mutexName' failed");
    EXPECT_DEATH(vokFreeDevice(nullptr), "Assertion `device' failed");
    EXPECT_DEATH(vokCloneDevice(nullptr), "Assertion `device' failed");
}

TEST_F(DeviceListDeathTest, FreeingARecordWithoutItsStorageEndsTheProcess) {
    auto freeWithout = [](size_t which) {
        VokDevice* device = vokCreateDevice(1, 0, "path", "name");
        char** texts[] = {&device->devicePath, &device->mutexName};
        if (which < 2) {
            free(*texts[which]);
            *texts[which] = nullptr;
        } else {
            free(device->mutex);
            device->mutex = nullptr;
        }
        vokFreeDevice(device);
    };
    EXPECT_DEATH(freeWithout(0), "Assertion `device->devicePath' failed");
    EXPECT_DEATH(freeWithout(1), "Assertion `device->mutexName' failed");
    EXPECT_DEATH(freeWithout(2), "Assertion `device->mutex' failed");
}

TEST_F(DeviceListDeathTest, NullEntryInAListEndsTheProcess) {
    EXPECT_DEATH(
        {
            VokDeviceList* list = vokCreateDeviceList();
            list->head.next = nullptr;
            vokFreeDeviceList(list);
        },
        "void vokFreeDeviceList\\(void ?\\*\\).*Assertion `device' failed");
}

}  // namespace
