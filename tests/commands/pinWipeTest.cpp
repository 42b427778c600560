// PINs do not linger in the builders' working records. Each builder runs on a
// thread whose stack is memory the test owns; once the thread has ended the
// test searches that stack for the PIN, whole (as a working record holds it)
// and in the pieces that the packets of phases 1 and 6 carry.
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <string>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

constexpr size_t kStackSize = 4u << 20;

// Reads the dead stack as plain bytes, whatever the sanitizer's shadow says.
__attribute__((no_sanitize("address"))) bool contains(const uint8_t* haystack, size_t size,
                                                      const std::string& needle) {
    for (size_t i = 0; i + needle.size() <= size; ++i) {
        size_t j = 0;
        while (j < needle.size() && haystack[i + j] == static_cast<uint8_t>(needle[j])) ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

class PinWipeTest : public TokenTest {
  protected:
    void SetUp() override {
        TokenTest::SetUp();
        if (!warmedUp_) {
            // The first call of a function through the dynamic linker's lazy
            // binding saves every vector register on the caller's stack, and
            // a PIN that has just passed through memcpy is still in one. Make
            // those first calls here, on a token that is then replaced.
            warmUp();
            warmedUp_ = true;
            createTokenWith(voksim::Identity{});
        }
        void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        ASSERT_NE(stack, MAP_FAILED);
        stack_ = static_cast<uint8_t*>(stack);
    }

    void TearDown() override {
        if (stack_ != nullptr) munmap(stack_, kStackSize);
        TokenTest::TearDown();
    }

    // Runs `call` on a thread that uses the test's stack and waits for it.
    void runOnOwnStack(const std::function<void()>& call) {
        pthread_attr_t attributes;
        ASSERT_EQ(pthread_attr_init(&attributes), 0);
        ASSERT_EQ(pthread_attr_setstack(&attributes, stack_, kStackSize), 0);
        pthread_t thread;
        auto body = [](void* argument) -> void* {
            (*static_cast<const std::function<void()>*>(argument))();
            return nullptr;
        };
        ASSERT_EQ(
            pthread_create(&thread, &attributes, body, const_cast<std::function<void()>*>(&call)),
            0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
        pthread_attr_destroy(&attributes);
    }

    // The calls of the tests below, once each.
    void warmUp() {
        uint8_t buffer[6] = {1, 2, 3, 4, 5, 6};
        VokIdResponse response;
        uint16_t attributes = 0;
        vokIdWriteCmd(device_, pin_.data(), 16, 1, buffer, 5, &response);
        vokIdReadExCmd(device_, VOK_BLOCK_1, pin_.data(), 16, 1, buffer, 5, &response);
        vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_2, pin_.data(), 16, newPin_.data(), 16,
                       &response);
        vokIdSetVendorIdCmd(device_, VOK_BLOCK_1, pin_.data(), 16, 7, &response);
        vokIdSetBlockAttrCmd(device_, VOK_BLOCK_1, pin_.data(), 16, VOK_RW_READ_WRITE, &attributes,
                             &response);
        vokIdSetSecParametersCmd(device_, pin_.data(), 16, 0, 4, 3, 30, &response);
        vokIdInitializeBlockCmd(device_, VOK_PIN_ADMIN, VOK_BLOCK_4, pin_.data(), 16, &response);
        TDRVREQUEST_MEK request;
        std::memset(&request, 0, sizeof request);
        request.command = VOK_CMD_SET_PIN;
        vokIdCommand(device_, &request, sizeof request);
    }

    bool stackHolds(const std::string& secret) const {
        return contains(stack_, kStackSize, secret);
    }

    static inline bool warmedUp_ = false;
    uint8_t* stack_ = nullptr;
    const std::string pin_ = "PIN:w1p3-m3-0ut!";  // 16 bytes
    const std::string newPin_ = "NEW:n3w-p1n-g0ne";
};

// Leaves a copy of the secret deep in a frame as large as a request record,
// below where the thread's exit path will reuse the stack.
[[gnu::noinline]] void leaveOnStack(const std::string& secret) {
    volatile char frame[sizeof(TDRVREQUEST_MEK)];
    for (size_t i = 0; i < secret.size(); ++i) frame[64 + i] = secret[i];
    EXPECT_EQ(frame[64], secret[0]);
}

TEST_F(PinWipeTest, TheSearchFindsAPinLeftOnTheStack) {
    runOnOwnStack([&] { leaveOnStack(pin_); });
    EXPECT_TRUE(stackHolds(pin_));
}

TEST_F(PinWipeTest, MemoryCommandsWipeThePin) {
    runOnOwnStack([&] {
        uint8_t buffer[6] = {1, 2, 3, 4, 5, 6};
        VokIdResponse response;
        EXPECT_EQ(vokIdWriteCmd(device_, pin_.data(), 16, 1, buffer, 5, &response), 0);
        EXPECT_EQ(vokIdReadExCmd(device_, VOK_BLOCK_1, pin_.data(), 16, 1, buffer, 5, &response),
                  0);
    });
    EXPECT_FALSE(stackHolds(pin_));
}

TEST_F(PinWipeTest, SetPinWipesTheCurrentAndTheNewPin) {
    runOnOwnStack([&] {
        VokIdResponse response;
        EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_2, pin_.data(), 16,
                                 newPin_.data(), 16, &response),
                  0);
    });
    EXPECT_FALSE(stackHolds(pin_));
    EXPECT_FALSE(stackHolds(newPin_));
}

// A PIN that fills the field puts its last bytes into the last packet of its
// phase, where (after phase 6) nothing later overwrites them.
TEST_F(PinWipeTest, PacketsOfThePinPhasesAreWiped) {
    const std::string longPin = "L0NG-PIN-7hat-f1lls-the-f1eld-!";  // 31 bytes
    const std::string longNewPin = "N3W-L0NG-p1n-f0r-the-set-c0mm4nd";
    runOnOwnStack([&] {
        uint8_t buffer[4];
        VokIdResponse response;
        EXPECT_EQ(vokIdReadCmd(device_, longPin.data(), 31, 0, buffer, 4, &response), 0);
        EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_2, longPin.data(), 31,
                                 longNewPin.data(), 31, &response),
                  0);
    });
    // The four-byte slices of the packets; the last one holds three bytes.
    for (size_t slice = 0; slice < 31; slice += 4) {
        EXPECT_FALSE(contains(stack_, kStackSize, longPin.substr(slice, 3))) << "PIN at " << slice;
        EXPECT_FALSE(contains(stack_, kStackSize, longNewPin.substr(slice, 3)))
            << "new PIN at " << slice;
    }
}

TEST_F(PinWipeTest, OtherBuildersWipeThePin) {
    runOnOwnStack([&] {
        VokIdResponse response;
        uint16_t attributes = 0;
        EXPECT_EQ(vokIdSetVendorIdCmd(device_, VOK_BLOCK_1, pin_.data(), 16, 7, &response), 0);
        EXPECT_EQ(vokIdSetBlockAttrCmd(device_, VOK_BLOCK_1, pin_.data(), 16, VOK_RW_READ_WRITE,
                                       &attributes, &response),
                  0);
        EXPECT_EQ(vokIdSetSecParametersCmd(device_, pin_.data(), 16, 0, 4, 3, 30, &response), 0);
        EXPECT_EQ(vokIdInitializeBlockCmd(device_, VOK_PIN_ADMIN, VOK_BLOCK_4, pin_.data(), 16,
                                          &response),
                  0);
    });
    EXPECT_FALSE(stackHolds(pin_));
}

TEST_F(PinWipeTest, TheRawCommandWipesItsWorkingRecord) {
    TDRVREQUEST_MEK request;
    std::memset(&request, 0, sizeof request);
    request.command = VOK_CMD_SET_PIN;
    request.blockId = 3;
    request.newPinLength = 16;
    std::memcpy(request.pin, pin_.data(), 16);
    std::memcpy(request.data, newPin_.data(), 16);
    std::memcpy(request.tokenId, device_->info.tokenId, 8);

    runOnOwnStack([&] { EXPECT_EQ(vokIdCommand(device_, &request, sizeof request), 0); });
    EXPECT_FALSE(stackHolds(pin_));
    EXPECT_FALSE(stackHolds(newPin_));
}

}  // namespace
}  // namespace vok_test
