// The status paths that every handle-based function shares, and the status
// texts.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

// One handle-based function called with arguments that it accepts.
struct Operation {
    const char* name;
    std::function<uint32_t(VokHandle, VokIdResponse*)> call;
    bool initialisesToken = false;
};

const uint8_t kPin[] = {'1', '2', '3', '4'};
const uint8_t kNewPin[] = {'5', '6', '7', '8'};

std::vector<Operation> operations() {
    static VokIdInfo info;
    static std::array<uint8_t, 4> buffer;
    static uint16_t word;
    static uint8_t p1, p2, p3, p4;
    return {
        {"vokGetInfo",
         [](VokHandle h, VokIdResponse*) { return vokGetInfo(h, &info, sizeof info); }},
        {"vokRead",
         [](VokHandle h, VokIdResponse* r) {
             return vokRead(h, nullptr, 0, 8, buffer.data(), 4, r);
         }},
        {"vokWrite",
         [](VokHandle h, VokIdResponse* r) {
             return vokWrite(h, nullptr, 0, 8, buffer.data(), 4, r);
         }},
        {"vokReadEx",
         [](VokHandle h, VokIdResponse* r) {
             return vokReadEx(h, VOK_BLOCK_1, nullptr, 0, 8, buffer.data(), 4, r);
         }},
        {"vokWriteEx",
         [](VokHandle h, VokIdResponse* r) {
             return vokWriteEx(h, VOK_BLOCK_1, nullptr, 0, 8, buffer.data(), 4, r);
         }},
        {"vokGetVendorId",
         [](VokHandle h, VokIdResponse* r) { return vokGetVendorId(h, VOK_BLOCK_2, &word, r); }},
        {"vokSetVendorId",
         [](VokHandle h, VokIdResponse* r) {
             return vokSetVendorId(h, VOK_BLOCK_2, nullptr, 0, 0x1234, r);
         }},
        {"vokGetBlockAttr",
         [](VokHandle h, VokIdResponse* r) { return vokGetBlockAttr(h, VOK_BLOCK_2, &word, r); }},
        {"vokSetBlockAttr",
         [](VokHandle h, VokIdResponse* r) {
             return vokSetBlockAttr(h, VOK_BLOCK_2, kPin, sizeof kPin, VOK_RW_READ, &word, r);
         }},
        {"vokLockBlock",
         [](VokHandle h, VokIdResponse* r) {
             return vokLockBlock(h, VOK_BLOCK_2, kPin, sizeof kPin, VOK_ACCESS_LOCKED, r);
         }},
        {"vokSetPin",
         [](VokHandle h, VokIdResponse* r) {
             return vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, kNewPin, sizeof kNewPin, r);
         }},
        {"vokSetBlockPinUse",
         [](VokHandle h, VokIdResponse* r) {
             return vokSetBlockPinUse(h, VOK_BLOCK_2, nullptr, 0, VOK_PIN_USE_ON,
                                      VOK_PIN_SET_BY_USER, r);
         }},
        {"vokSetSecParameters",
         [](VokHandle h, VokIdResponse* r) {
             return vokSetSecParameters(h, kPin, sizeof kPin, 0, 4, 3, 30, r);
         }},
        {"vokGetSecParameters",
         [](VokHandle h, VokIdResponse* r) {
             return vokGetSecParameters(h, &p1, &p2, &p3, &p4, r);
         }},
        {"vokInitialize",
         [](VokHandle h, VokIdResponse* r) {
             return vokInitialize(h, nullptr, 0, kNewPin, sizeof kNewPin, true, r);
         },
         true},
        {"vokInitializeBlock",
         [](VokHandle h, VokIdResponse* r) {
             return vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, kNewPin,
                                       sizeof kNewPin, 0x4242, true, r);
         }},
    };
}

using ApiStatusPaths = OpenTokenTest;

TEST_F(ApiStatusPaths, AHandleThatIsNotOpenGives9AndSendsNothing) {
    const VokHandle closed = vokOpen(0);
    ASSERT_EQ(vokClose(closed), VOK_STATUS_OK);
    ASSERT_TRUE(voksim::clearLog(node_));
    for (const Operation& operation : operations()) {
        for (VokHandle handle : {closed, kNeverIssued, VOK_INVALID_HANDLE}) {
            EXPECT_EQ(operation.call(handle, &response_), VOK_STATUS_BAD_HANDLE) << operation.name;
        }
    }
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiStatusPaths, TheTokensStatusReachesTheCallerUnchanged) {
    // Token statuses equal to library codes are not translated either.
    for (uint8_t status :
         {voksim::kStatusWrongPin, voksim::kStatusUnknownCommand, uint8_t{3}, uint8_t{9}}) {
        injectTokenStatus(node_, status);
        for (const Operation& operation : operations()) {
            std::memset(&response_, 0x5A, sizeof response_);
            EXPECT_EQ(operation.call(handle_, &response_), status) << operation.name;
            if (std::string(operation.name) != "vokGetInfo") {
                EXPECT_EQ(response_.status, status) << operation.name;
            }
        }
    }
}

TEST_F(ApiStatusPaths, AFailedTransferGives5) {
    for (const Operation& operation : operations()) {
        // A transport failure of the initialise command counts as completion
        // after a long wait; that path belongs to the protocol's own tests.
        if (operation.initialisesToken) continue;
        injectTransferFailure(node_);
        EXPECT_EQ(operation.call(handle_, &response_), VOK_STATUS_TRANSFER_FAILED)
            << operation.name;
    }
}

TEST_F(ApiStatusPaths, AnUnknownMemoryModelGives7) {
    ASSERT_TRUE(voksim::modifyState(
        node_, [](voksim::TokenState& state) { state.identity.memoryModel = 3; }));
    for (const Operation& operation : operations()) {
        EXPECT_EQ(operation.call(handle_, &response_), VOK_STATUS_UNKNOWN_MEMORY_MODEL)
            << operation.name;
    }
}

TEST(ApiStatusString, NamesTheLibrarysOwnCodes) {
    EXPECT_STREQ(vokStatusString(VOK_STATUS_OK), "success");
    EXPECT_STREQ(vokStatusString(VOK_STATUS_BAD_ARGUMENT), "bad argument");
    EXPECT_STREQ(vokStatusString(VOK_STATUS_TRANSFER_FAILED), "exchange with the token failed");
    EXPECT_STREQ(vokStatusString(VOK_STATUS_UNKNOWN_MEMORY_MODEL), "unknown memory model");
    EXPECT_STREQ(vokStatusString(VOK_STATUS_BAD_HANDLE), "no open handle of that number");
}

TEST(ApiStatusString, GivesEveryOtherByteAsATokenStatus) {
    EXPECT_STREQ(vokStatusString(0x01), "token status 0x01");
    EXPECT_STREQ(vokStatusString(0x10), "token status 0x10");
    EXPECT_STREQ(vokStatusString(0x19), "token status 0x19");
    EXPECT_STREQ(vokStatusString(0xAB), "token status 0xAB");
    EXPECT_STREQ(vokStatusString(0xFF), "token status 0xFF");
    EXPECT_STREQ(vokStatusString(0x100), "unknown status");
    EXPECT_STREQ(vokStatusString(0xFFFFFFFF), "unknown status");
    // Constant texts: the same storage every time.
    EXPECT_EQ(vokStatusString(0x42), vokStatusString(0x42));
}

}  // namespace
}  // namespace voktest
