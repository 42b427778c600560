// Every phase's failure, of every command code: a lost transfer or a reply
// without the tag echo (status 5, then the reset exchange and nothing more),
// and a token status (passed through, no reset exchange).
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "protocol/ioctl.h"
#include "virtualToken.h"

// The initialise command waits after a transport failure. This binary
// replaces the C library's sleep with a recorder so that the sweeps below run
// at full speed; the real wait is exercised in initializeWaitTest.cpp.
static unsigned gSleepCalls = 0;
static unsigned gSecondsSlept = 0;
extern "C" unsigned int sleep(unsigned int seconds) {
    ++gSleepCalls;
    gSecondsSlept += seconds;
    return 0;
}

namespace {

using vok_test::isResetExchange;
using vok_test::kTag;
using vok_test::prepareRequest;
using vok_test::VirtualToken;

// Transfers of each phase, for a memory transfer of three words.
constexpr size_t kPhase0 = 2, kPhase1 = 9, kPhase2 = 3;
constexpr uint16_t kWordCount = 3;
constexpr size_t kWordPairs = 2;

constexpr uint8_t kUnknownCode = 0x4F;
constexpr uint8_t kTokenUnknownCommand = 0x19;  // the virtual token's answer to kUnknownCode

// The status a complete transaction of `code` ends with.
uint8_t completeStatus(uint8_t code) { return code == kUnknownCode ? kTokenUnknownCommand : 0; }

struct CommandCase {
    uint8_t code;
    size_t transfers;               // of a successful transaction
    std::vector<size_t> phaseEnds;  // index just past the reply ending each phase run
};

std::vector<CommandCase> allCommands() {
    const size_t head = kPhase0 + kPhase1 + kPhase2;
    const std::vector<size_t> shortQuery = {kPhase0};
    const std::vector<size_t> upToPhase2 = {kPhase0, kPhase0 + kPhase1, head};
    auto with = [&](std::vector<size_t> ends, std::initializer_list<size_t> more) {
        ends.insert(ends.end(), more);
        return ends;
    };
    const size_t read = head + 1 + kWordPairs;
    const size_t write = head + 1 + kWordPairs + 1;
    return {
        {VOK_CMD_GET_INFO, kPhase0, shortQuery},
        {VOK_CMD_READ, read, with(upToPhase2, {head + 2})},
        {VOK_CMD_WRITE, write, with(upToPhase2, {write})},
        {VOK_CMD_INITIALIZE, head, upToPhase2},
        {VOK_CMD_READ_EX, read, with(upToPhase2, {head + 2})},
        {VOK_CMD_WRITE_EX, write, with(upToPhase2, {write})},
        {VOK_CMD_SET_PIN, head + 2 + 9, with(upToPhase2, {head + 2, head + 2 + 9})},
        {VOK_CMD_SET_VENDOR_ID, head + 2, with(upToPhase2, {head + 2})},
        {VOK_CMD_GET_VENDOR_ID, kPhase0, shortQuery},
        {VOK_CMD_SET_BLOCK_ATTR, head + 2, with(upToPhase2, {head + 2})},
        {VOK_CMD_GET_BLOCK_ATTR, kPhase0, shortQuery},
        {VOK_CMD_LOCK_BLOCK, head + 2, with(upToPhase2, {head + 2})},
        {VOK_CMD_SET_SEC_PARAMETERS, head + 2, with(upToPhase2, {head + 2})},
        {VOK_CMD_GET_SEC_PARAMETERS, kPhase0, shortQuery},
        {VOK_CMD_SET_BLOCK_PIN_USE, head + 2, with(upToPhase2, {head + 2})},
        {VOK_CMD_INITIALIZE_BLOCK, head, upToPhase2},
        {kUnknownCode, head, upToPhase2},
    };
}

// A record that the virtual token carries out to the end.
void prepareCommand(TDRVREQUEST_MEK& request, uint8_t code, const voksim::Identity& identity) {
    prepareRequest(request, code, identity);
    request.blockId = 1;
    request.wordOffset = 4;
    request.wordCount = kWordCount;
    switch (code) {
        case VOK_CMD_SET_PIN:
            // The PIN every record presents, so that later commands still match.
            request.newPinLength = 4;
            std::memcpy(request.data, request.pin, 4);
            break;
        case VOK_CMD_SET_VENDOR_ID:
            request.data[0] = 0x34;
            request.data[1] = 0x12;
            break;
        case VOK_CMD_SET_BLOCK_ATTR:
            request.data[0] = VOK_RW_READ_WRITE;
            break;
        case VOK_CMD_LOCK_BLOCK:
            request.data[0] = VOK_ACCESS_UNLOCKED;
            break;
        case VOK_CMD_SET_SEC_PARAMETERS:
            request.data[0] = 0;
            request.data[1] = 4;
            request.data[2] = 3;
            request.data[3] = 30;
            break;
        case VOK_CMD_SET_BLOCK_PIN_USE:
            request.data[0] = VOK_PIN_USE_OFF;
            request.data[1] = VOK_PIN_SET_BY_USER;
            break;
        default:
            break;
    }
}

class TransportFailure : public testing::Test {
  protected:
    void SetUp() override {
        gSleepCalls = 0;
        gSecondsSlept = 0;
    }

    // Runs `code` once with `faults` on a token that hands out kTag.
    int run(uint8_t code, voksim::Faults faults, TDRVREQUEST_MEK& request) {
        faults.fixedTag = kTag;
        token_.setFaults(faults);
        prepareCommand(request, code, token_.identity());
        return cmdProtocolExecute(token_.device(), &request);
    }

    // The transfers of a successful run of `command`.
    std::vector<voksim::LogEntry> cleanRun(const CommandCase& command) {
        TDRVREQUEST_MEK request;
        EXPECT_EQ(run(command.code, {}, request), completeStatus(command.code));
        auto transfers = token_.transfers();
        EXPECT_EQ(transfers.size(), command.transfers);
        return transfers;
    }

    VirtualToken token_;
};

bool sameSetup(const voksim::LogEntry& a, const voksim::LogEntry& b) {
    return a.bRequestType == b.bRequestType && a.wValue == b.wValue && a.wLength == b.wLength;
}

// What a transport failure leaves: status 5 (0 for the initialise command,
// after its 6-second wait), the transfers up to the failed one, then the
// reset exchange with the tag phase 0 delivered.
void expectRecovered(uint8_t code, int result, const TDRVREQUEST_MEK& request,
                     const std::vector<voksim::LogEntry>& clean,
                     const std::vector<voksim::LogEntry>& transfers, size_t failed) {
    const bool initialize = code == VOK_CMD_INITIALIZE;
    EXPECT_EQ(result, initialize ? 0 : 5);
    EXPECT_EQ(request.status, initialize ? 0 : 5);
    EXPECT_EQ(gSleepCalls, initialize ? 1u : 0u);
    EXPECT_EQ(gSecondsSlept, initialize ? 6u : 0u);
    for (size_t i = 0; i < failed && i < transfers.size(); ++i) {
        EXPECT_TRUE(sameSetup(transfers[i], clean[i])) << "transfer " << i + 1;
    }
    const uint8_t tag = failed > kPhase0 ? kTag : 0;
    EXPECT_TRUE(isResetExchange(transfers, failed, tag));
}

TEST_F(TransportFailure, EachFailedTransferOfEachCommandEndsWithTheResetExchange) {
    for (const auto& command : allCommands()) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << int(command.code));
        const auto clean = cleanRun(command);
        for (uint32_t failing = 1; failing <= command.transfers; ++failing) {
            SCOPED_TRACE(testing::Message() << "failing transfer " << std::dec << failing);
            SetUp();
            voksim::Faults faults;
            faults.failTransfer = failing;
            TDRVREQUEST_MEK request;
            const int result = run(command.code, faults, request);
            expectRecovered(command.code, result, request, clean, token_.transfers(), failing);
        }
    }
}

TEST_F(TransportFailure, ShortAndTimedOutTransfersCountAsFailures) {
    const auto command = allCommands()[1];  // read
    const auto clean = cleanRun(command);
    for (uint32_t shortened : {1u, 2u, 11u, 16u}) {
        SCOPED_TRACE(testing::Message() << "short transfer " << shortened);
        voksim::Faults faults;
        faults.shortTransfer = shortened;
        TDRVREQUEST_MEK request;
        const int result = run(command.code, faults, request);
        expectRecovered(command.code, result, request, clean, token_.transfers(), shortened);
    }
    voksim::Faults faults;
    faults.failTransfer = 12;
    faults.failErrno = ETIMEDOUT;
    TDRVREQUEST_MEK request;
    const int result = run(command.code, faults, request);
    expectRecovered(command.code, result, request, clean, token_.transfers(), 12);
}

TEST_F(TransportFailure, EachReplyWithoutTheTagEchoEndsWithTheResetExchange) {
    for (const auto& command : allCommands()) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << int(command.code));
        const auto clean = cleanRun(command);
        // Replies after phase 0 must echo the tag that phase 0 handed out.
        for (uint32_t reply = kPhase0 + 1; reply <= command.transfers; ++reply) {
            if (clean[reply - 1].bRequestType != vok_test::kIn) continue;
            SCOPED_TRACE(testing::Message() << "wrong tag in transfer " << std::dec << reply);
            SetUp();
            voksim::Faults faults;
            faults.wrongTagTransfer = reply;
            TDRVREQUEST_MEK request;
            const int result = run(command.code, faults, request);
            expectRecovered(command.code, result, request, clean, token_.transfers(), reply);
        }
    }
}

TEST_F(TransportFailure, PinPhaseReplyIsKeptEvenWhenItsEchoIsWrong) {
    voksim::Faults faults;
    faults.wrongTagTransfer = kPhase0 + kPhase1;
    TDRVREQUEST_MEK request;
    EXPECT_EQ(run(VOK_CMD_READ, faults, request), 5);
    const auto transfers = token_.transfers();
    ASSERT_GT(transfers.size(), kPhase0 + kPhase1);
    const auto& reply = transfers[kPhase0 + kPhase1 - 1];
    EXPECT_NE(reply.data[2], kTag);
    EXPECT_EQ(request.pinPhaseReply, reply.data[1]);
    EXPECT_TRUE(isResetExchange(transfers, kPhase0 + kPhase1, kTag));
}

TEST_F(TransportFailure, TokenStatusEndsTheTransactionWithoutReset) {
    for (const auto& command : allCommands()) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << int(command.code));
        cleanRun(command);
        const std::vector<int> phases = [&] {
            switch (command.code) {
                case VOK_CMD_GET_INFO:
                case VOK_CMD_GET_VENDOR_ID:
                case VOK_CMD_GET_BLOCK_ATTR:
                case VOK_CMD_GET_SEC_PARAMETERS:
                    return std::vector<int>{0};
                case VOK_CMD_READ:
                case VOK_CMD_READ_EX:
                    return std::vector<int>{0, 1, 2, 3};
                case VOK_CMD_WRITE:
                case VOK_CMD_WRITE_EX:
                    return std::vector<int>{0, 1, 2, 4};
                case VOK_CMD_SET_PIN:
                    return std::vector<int>{0, 1, 2, 5, 6};
                case VOK_CMD_INITIALIZE:
                case VOK_CMD_INITIALIZE_BLOCK:
                case kUnknownCode:
                    return std::vector<int>{0, 1, 2};
                default:
                    return std::vector<int>{0, 1, 2, 5};
            }
        }();
        ASSERT_EQ(phases.size(), command.phaseEnds.size());
        for (size_t p = 0; p < phases.size(); ++p) {
            for (uint8_t status : {uint8_t{0x0B}, uint8_t{5}}) {
                SCOPED_TRACE(testing::Message()
                             << "phase " << phases[p] << " status " << std::dec << int(status));
                SetUp();
                voksim::Faults faults;
                faults.statusPhase = phases[p];
                faults.statusValue = status;
                TDRVREQUEST_MEK request;
                EXPECT_EQ(run(command.code, faults, request), status);
                EXPECT_EQ(request.status, status);
                EXPECT_EQ(token_.transfers().size(), command.phaseEnds[p]);
                EXPECT_EQ(gSleepCalls, 0u);
            }
        }
    }
}

}  // namespace
