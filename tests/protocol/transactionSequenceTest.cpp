// The transfers a transaction makes on the virtual token, one by one, and what
// it leaves in the request record.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>

#include "protocol/ioctl.h"
#include "virtualToken.h"

namespace {

using vok_test::isIn;
using vok_test::isOut;
using vok_test::kTag;
using vok_test::prepareRequest;
using vok_test::VirtualToken;

const std::array<uint8_t, 8> kWords = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

int openDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) closedir(dir);
    return count;
}

// Writes the four words of kWords at `wordOffset`.
void writeWords(const VirtualToken& token, uint16_t wordOffset) {
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_WRITE, token.identity());
    request.wordOffset = wordOffset;
    request.wordCount = 4;
    std::memcpy(request.data, kWords.data(), kWords.size());
    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
}

TEST(TransactionSequence, ReadOfTwoWordsMakesSixteenTransfersInOrder) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, token.identity());
    std::memcpy(request.pin, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 31);
    request.wordOffset = 0x0010;
    request.wordCount = 2;

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    EXPECT_EQ(request.status, 0);

    const auto t = token.transfers();
    ASSERT_EQ(t.size(), 16u);
    EXPECT_TRUE(isOut(t[0], {0x00, 0x31, 0x00}));
    EXPECT_TRUE(isIn(t[1], 0));
    EXPECT_EQ(t[1].data[2], kTag);
    for (size_t i = 0; i < 8; ++i) {
        const uint8_t* pin = request.pin + 4 * i;
        EXPECT_TRUE(isOut(t[2 + i], {0x01, kTag, pin[0], pin[1], pin[2], pin[3]}))
            << "packet " << i;
    }
    EXPECT_TRUE(isIn(t[10], kTag));
    const uint8_t* id = request.tokenId;
    EXPECT_TRUE(isOut(t[11], {0x02, kTag, id[0], id[1], id[2], id[3]}));
    EXPECT_TRUE(isOut(t[12], {0x02, kTag, id[4], id[5], id[6], id[7]}));
    EXPECT_TRUE(isIn(t[13], kTag));
    EXPECT_TRUE(isOut(t[14], {0x03, kTag, 0x10, 0x00, 0x02, 0x00}));
    EXPECT_TRUE(isIn(t[15], kTag));
    EXPECT_TRUE(std::equal(request.data, request.data + 4, t[15].data.begin() + 3));

    // The phase-0 reply's fields.
    const auto& identity = token.identity();
    EXPECT_EQ(request.versionNibbles, identity.versionNibbles);
    EXPECT_EQ(request.memoryModel, identity.memoryModel);
    EXPECT_EQ(request.protocolLevel, identity.protocolLevel);
    EXPECT_EQ(request.infoByte, identity.infoByte);
    EXPECT_EQ(request.memoryUnits, identity.memoryUnits);
    EXPECT_EQ(request.pinPhaseReply, t[10].data[1]);
}

TEST(TransactionSequence, OddAndSingleWordReadsFillWholeWordPairs) {
    VirtualToken token;
    writeWords(token, 0x20);
    token.useTag(kTag);

    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, token.identity());
    request.wordOffset = 0x20;
    request.wordCount = 3;
    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    // Two replies; bytes 6 and 7 hold the word after the last one asked for.
    auto t = token.transfers();
    ASSERT_EQ(t.size(), 17u);
    EXPECT_TRUE(isOut(t[14], {0x03, kTag, 0x20, 0x00, 0x03, 0x00}));
    EXPECT_TRUE(std::equal(kWords.begin(), kWords.end(), request.data));
    EXPECT_EQ(request.data[8], 0);

    token.useTag(kTag);
    prepareRequest(request, VOK_CMD_READ, token.identity());
    request.wordOffset = 0x20;
    request.wordCount = 1;
    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    t = token.transfers();
    ASSERT_EQ(t.size(), 16u);
    EXPECT_TRUE(isOut(t[14], {0x03, kTag, 0x20, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(std::equal(kWords.begin(), kWords.begin() + 4, request.data));
    EXPECT_EQ(request.data[4], 0);
}

// A token status part-way through the read loop: the words of the earlier
// replies stay, the status ends the transaction, no reset exchange runs.
TEST(TransactionSequence, ReadLoopStopsAtAReplyWithAStatusAndKeepsTheEarlierWords) {
    VirtualToken token;
    writeWords(token, 0x20);
    voksim::Faults faults;
    faults.fixedTag = kTag;
    faults.statusTransfer = 17;  // the second reply of the read loop
    faults.statusValue = 0x0A;
    token.setFaults(faults);

    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, token.identity());
    request.wordOffset = 0x20;
    request.wordCount = 5;
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 0x0A);
    EXPECT_EQ(request.status, 0x0A);
    EXPECT_EQ(token.transfers().size(), 17u);
    EXPECT_TRUE(std::equal(kWords.begin(), kWords.begin() + 4, request.data));
    EXPECT_TRUE(std::all_of(request.data + 4, request.data + 12, [](uint8_t b) { return b == 0; }));
}

TEST(TransactionSequence, ReadOfNoWordsEndsAfterTheHeaderWithStatus3) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ_EX, token.identity());
    request.blockId = 1;
    request.wordOffset = 7;

    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 3);
    EXPECT_EQ(request.status, 3);
    const auto t = token.transfers();
    ASSERT_EQ(t.size(), 15u);
    EXPECT_TRUE(isOut(t[14], {0x03, kTag, 0x07, 0x00, 0x00, 0x00}));
}

TEST(TransactionSequence, ReadOfAHundredWordsTakesSixtyFiveTransfersAndOneOpen) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, token.identity());
    request.wordCount = 100;
    const int descriptorsBefore = openDescriptorCount();

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    EXPECT_EQ(token.transfers().size(), 65u);
    // The node is closed again at the end of the transaction.
    EXPECT_EQ(fcntl(token.device()->fd, F_GETFD), -1);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(TransactionSequence, WriteOfThreeWordsSendsTwoDataPacketsAndReadsOneReply) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_WRITE, token.identity());
    request.wordOffset = 0x0102;
    request.wordCount = 3;
    std::memcpy(request.data, kWords.data(), kWords.size());

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    const auto t = token.transfers();
    ASSERT_EQ(t.size(), 18u);
    EXPECT_TRUE(isOut(t[14], {0x03, kTag, 0x02, 0x01, 0x03, 0x00}));
    EXPECT_TRUE(isOut(t[15], {0x04, kTag, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_TRUE(isOut(t[16], {0x04, kTag, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_TRUE(isIn(t[17], kTag));
}

TEST(TransactionSequence, SetPinSendsTheLengthThenThirtyTwoPinBytes) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_SET_PIN, token.identity());
    request.blockId = 1;
    request.newPinLength = 5;
    std::memcpy(request.data, "98765", 5);

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    const auto t = token.transfers();
    ASSERT_EQ(t.size(), 25u);
    EXPECT_TRUE(isOut(t[14], {0x05, kTag, 5}));
    EXPECT_TRUE(isIn(t[15], kTag));
    for (size_t i = 0; i < 8; ++i) {
        const uint8_t* pin = request.data + 4 * i;
        EXPECT_TRUE(isOut(t[16 + i], {0x06, kTag, pin[0], pin[1], pin[2], pin[3]}))
            << "packet " << i;
    }
    EXPECT_TRUE(isIn(t[24], kTag));
}

TEST(TransactionSequence, ParameterCommandsSendOnePacketAndOnlySetAttributesTakesTheReply) {
    VirtualToken token;
    // Set attributes: read only. Set PIN use: off, PIN set by the administrator.
    for (uint8_t code : {VOK_CMD_SET_BLOCK_ATTR, VOK_CMD_SET_BLOCK_PIN_USE}) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        const uint8_t parameters[4] = {code == VOK_CMD_SET_BLOCK_ATTR ? uint8_t{1} : uint8_t{0}, 1,
                                       0xC3, 0x3C};
        token.useTag(kTag);
        TDRVREQUEST_MEK request;
        prepareRequest(request, code, token.identity());
        request.blockId = 1;
        std::memcpy(request.data, parameters, 4);

        ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
        const auto t = token.transfers();
        ASSERT_EQ(t.size(), 16u);
        EXPECT_TRUE(isOut(t[14], {0x05, kTag, parameters[0], 1, 0xC3, 0x3C}));
        EXPECT_TRUE(isIn(t[15], kTag));
        if (code == VOK_CMD_SET_BLOCK_ATTR) {
            EXPECT_TRUE(std::equal(request.data, request.data + 4, t[15].data.begin() + 3));
            EXPECT_EQ(request.data[0], 1);  // the new attribute word: read only, no more
        } else {
            EXPECT_TRUE(std::equal(parameters, parameters + 4, request.data));
        }
    }
}

TEST(TransactionSequence, InitialiseAndUnknownCodesStopAfterTheTokenIdentifier) {
    VirtualToken token;
    for (uint8_t code : {uint8_t{VOK_CMD_INITIALIZE_BLOCK}, uint8_t{0x40}, uint8_t{0x00}}) {
        SCOPED_TRACE(testing::Message() << "code " << int(code));
        token.useTag(kTag);
        TDRVREQUEST_MEK request;
        prepareRequest(request, code, token.identity());
        request.blockId = 1;
        cmdProtocolExecute(token.device(), &request);
        const auto t = token.transfers();
        ASSERT_EQ(t.size(), 14u);
        EXPECT_TRUE(isOut(t[0], {0x00, code}));
        EXPECT_TRUE(isIn(t[13], kTag));
    }
}

TEST(TransactionSequence, ShortQueryReadsOneLongReplyAndSendsNoPin) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_GET_VENDOR_ID, token.identity());
    request.blockId = 1;

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    const auto t = token.transfers();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_TRUE(isOut(t[0], {0x00, 0x38, 0x01}));
    ASSERT_TRUE(isIn(t[1], 0, 16));
    EXPECT_TRUE(std::equal(request.data, request.data + 8, t[1].data.begin() + 8));
}

TEST(TransactionSequence, RecordByteOneTravelsUnchangedInPhaseZero) {
    VirtualToken token;
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_GET_BLOCK_ATTR, token.identity());
    request.blockId = 3;
    request.pinType = 1;
    ASSERT_EQ(vok_test::byteOf(request, 1), 0x83);

    cmdProtocolExecute(token.device(), &request);
    const auto t = token.transfers();
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(isOut(t[0], {0x00, 0x3A, 0x83}));
}

TEST(TransactionSequence, InfoCommandResetsThePortFirstAndTakesTheFlags) {
    voksim::Identity identity;
    identity.flagA = false;
    identity.flagB = true;
    VirtualToken token(identity);
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_GET_INFO, identity);
    request.flagA = 0x7F;
    request.flagB = 0x7F;

    ASSERT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    const auto log = token.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, voksim::LogEntry::kReset);
    EXPECT_TRUE(isOut(log[1], {0x00, 0x30}));
    EXPECT_TRUE(isIn(log[2], 0, 16));
    EXPECT_EQ(request.flagA, 0);
    EXPECT_EQ(request.flagB, 1);
    EXPECT_TRUE(std::equal(request.data, request.data + 8, identity.tokenId));
    EXPECT_EQ(request.memoryUnits, identity.memoryUnits);
}

// A record whose reply fields are all 0xEE, to see which ones a transaction
// takes over.
void markReplyFields(TDRVREQUEST_MEK& request) {
    std::memset(&request.versionNibbles, 0xEE, 8);  // offsets 65 to 72
    std::memset(request.data, 0xEE, 8);
}

bool replyFieldsUntouched(const TDRVREQUEST_MEK& request) {
    for (size_t offset = 65; offset <= 72; ++offset) {
        if (vok_test::byteOf(request, offset) != 0xEE) return false;
    }
    return std::all_of(request.data, request.data + 8, [](uint8_t b) { return b == 0xEE; });
}

TEST(TransactionSequence, TokenStatusInPhaseZeroLeavesTheReplyFieldsAlone) {
    VirtualToken token;
    for (uint8_t code : {VOK_CMD_GET_INFO, VOK_CMD_GET_SEC_PARAMETERS, VOK_CMD_READ}) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        voksim::Faults faults;
        faults.statusPhase = 0;
        faults.statusValue = 0x21;
        token.setFaults(faults);
        TDRVREQUEST_MEK request;
        prepareRequest(request, code, token.identity());
        request.wordCount = 2;
        markReplyFields(request);

        EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 0x21);
        EXPECT_EQ(request.status, 0x21);
        EXPECT_TRUE(replyFieldsUntouched(request));
        EXPECT_EQ(token.transfers().size(), 2u);  // and no reset exchange
    }
}

TEST(TransactionSequence, UnknownMemoryModelEndsAfterPhaseZeroWithStatus7) {
    voksim::Identity identity;
    identity.memoryModel = 3;
    VirtualToken token(identity);

    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, identity);
    request.wordCount = 2;
    markReplyFields(request);
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 7);
    EXPECT_EQ(request.status, 7);
    EXPECT_TRUE(replyFieldsUntouched(request));
    EXPECT_EQ(token.transfers().size(), 2u);

    // A long reply still hands over its flags and identifier first.
    token.useTag(kTag);
    prepareRequest(request, VOK_CMD_GET_INFO, identity);
    markReplyFields(request);
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 7);
    EXPECT_EQ(request.flagA, 1);
    EXPECT_TRUE(std::equal(request.data, request.data + 8, identity.tokenId));
    EXPECT_EQ(request.memoryModel, 0xEE);
    EXPECT_EQ(token.transfers().size(), 2u);
}

TEST(TransactionSequence, WordCountAboveTheDataAreaIsRefusedBeforeAnyTransfer) {
    VirtualToken token;
    for (uint8_t code : {VOK_CMD_READ, VOK_CMD_WRITE, VOK_CMD_READ_EX, VOK_CMD_WRITE_EX}) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        token.useTag(kTag);
        TDRVREQUEST_MEK request;
        prepareRequest(request, code, token.identity());
        request.wordCount = VOK_REQUEST_MAX_WORDS + 1;
        EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 3);
        EXPECT_EQ(request.status, 3);
        EXPECT_TRUE(token.log().empty());
    }
    // Codes that carry no words do not look at the count.
    token.useTag(kTag);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_SET_VENDOR_ID, token.identity());
    request.blockId = 1;
    request.wordCount = 0xFFFF;
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    EXPECT_EQ(token.transfers().size(), 16u);
}

TEST(TransactionSequence, FullRecordReadFillsTheWholeDataArea) {
    voksim::Identity identity;
    identity.memoryModel = 2;
    identity.memoryUnits = 255;  // 65280 bytes
    VirtualToken token(identity);
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, identity);
    request.wordCount = VOK_REQUEST_MAX_WORDS;
    // The sanitizers watch that nothing lands past the record.
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    EXPECT_EQ(token.transfers().size(), 2u + 9 + 3 + 1 + VOK_REQUEST_MAX_WORDS / 2);
}

TEST(TransactionSequence, NodeThatCannotBeOpenedYields5AndLeavesTheRecordAlone) {
    VirtualToken token;
    token.useTag(kTag);
    ASSERT_TRUE(voksim::unplug(token.node()));
    TDRVREQUEST_MEK request;
    prepareRequest(request, VOK_CMD_READ, token.identity());
    request.wordCount = 2;
    request.status = 0x11;
    markReplyFields(request);

    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 5);
    EXPECT_EQ(request.status, 0x11);
    EXPECT_TRUE(replyFieldsUntouched(request));
    ASSERT_TRUE(voksim::replug(token.node()));
    EXPECT_TRUE(token.log().empty());
}

}  // namespace
