// The token side of the packet exchange: which packet or reply is due in
// each transaction, the checks on every packet, and the replies.
#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "model/modelInternal.h"

namespace voksim {

namespace {

// Ends every packet-carried phase; kStageFree stands for "no packet due".
uint8_t phaseOfPacketStage(uint8_t stage) {
    switch (stage) {
        case kStagePin:
            return 1;
        case kStageTokenId:
            return 2;
        case kStageHeader:
            return 3;
        case kStageWrite:
            return 4;
        case kStageParameter:
            return 5;
        case kStageNewPin:
            return 6;
        default:
            return 0xFF;
    }
}

bool isReadCommand(uint8_t command) { return vokwire::isMemoryRead(command); }
bool isWriteCommand(uint8_t command) { return vokwire::isMemoryWrite(command); }
bool isMemoryCommand(uint8_t command) { return isReadCommand(command) || isWriteCommand(command); }
bool takesParameter(uint8_t command) { return vokwire::sendsParameters(command); }

// The status a fault puts into the reply that ends `phase`, or 0 for none.
uint8_t injectedStatus(const TokenState& state, int phase) {
    return state.faults.statusPhase == phase ? state.faults.statusValue : 0;
}

void touch(TokenState& state, Transaction& tx) { tx.lastUse = ++state.useClock; }

// The transaction stream a transfer belongs to: the token's one stream, or
// the opener's own when the token keeps transactions apart.
uint64_t streamOf(const TokenState& state, uint64_t opener) {
    return state.separateTransactions ? opener : 0;
}

void endTransaction(Transaction& tx) { tx = Transaction{}; }

Transaction* findTransaction(TokenState& state, uint64_t opener) {
    for (Transaction& tx : state.transactions) {
        if (tx.stage != kStageFree && tx.opener == opener) return &tx;
    }
    return nullptr;
}

Transaction& startTransaction(TokenState& state, uint64_t opener) {
    Transaction* slot = findTransaction(state, opener);
    for (Transaction& tx : state.transactions) {
        if (slot) break;
        if (tx.stage == kStageFree) slot = &tx;
    }
    if (!slot) {  // all taken: the least recently used one is dropped
        slot = &state.transactions[0];
        for (Transaction& tx : state.transactions) {
            if (tx.lastUse < slot->lastUse) slot = &tx;
        }
    }
    *slot = Transaction{};
    slot->opener = opener;
    touch(state, *slot);
    return *slot;
}

// The tag of a new transaction, never 0. It comes from the kernel's random
// source, so that no tag can be foretold from the ones handed out before: a
// guessed tag would let one client answer the replies of another's
// transaction. Without that source (a sandbox that refuses the call) the
// clock's nanoseconds stand in.
uint8_t nextTag(TokenState& state) {
    if (state.faults.fixedTag >= 0 && state.faults.fixedTag <= 0xFF) {
        return static_cast<uint8_t>(state.faults.fixedTag);
    }
    uint8_t tag = 0;
    while (tag == 0) {
        ssize_t got = 0;
        while ((got = getrandom(&tag, sizeof tag, 0)) < 0 && errno == EINTR) {
        }
        if (got != sizeof tag) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            tag = static_cast<uint8_t>(now.tv_nsec ^ (now.tv_nsec >> 8) ^ ++state.tagCounter);
        }
    }
    return tag;
}

void acceptPacket(TokenState& state, Transaction& tx, const uint8_t* packet) {
    const uint8_t* payload = packet + 2;
    switch (tx.stage) {
        case kStagePin:
            std::memcpy(tx.pin + size_t{4} * tx.packetIndex, payload, 4);
            if (++tx.packetIndex == 8) tx.stage = kStageReply1;
            break;
        case kStageTokenId:
            std::memcpy(tx.tokenId + size_t{4} * tx.packetIndex, payload, 4);
            if (++tx.packetIndex == 2) tx.stage = kStageReply2;
            break;
        case kStageHeader:
            tx.wordOffset = static_cast<uint16_t>(payload[0] | (payload[1] << 8));
            tx.wordCount = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
            tx.wordsDone = 0;
            tx.status = checkMemoryTransfer(state, tx);
            if (isReadCommand(tx.command)) {
                // A read of no words: the host reads nothing, the transaction is over.
                if (tx.wordCount == 0) {
                    endTransaction(tx);
                } else {
                    tx.stage = kStageReadLoop;
                }
            } else {
                tx.stage = tx.wordCount == 0 ? kStageReply4 : kStageWrite;
            }
            break;
        case kStageWrite:
            if (tx.status == kStatusOk && injectedStatus(state, 4) == 0) {
                storeWords(state, tx, tx.wordsDone, payload);
            }
            tx.wordsDone += 2;
            if (tx.wordsDone >= tx.wordCount) tx.stage = kStageReply4;
            break;
        case kStageParameter:
            std::memcpy(tx.parameters, payload, 4);
            tx.newPinLength = payload[0];
            tx.stage = kStageReply5;
            break;
        case kStageNewPin:
            std::memcpy(tx.newPin + size_t{4} * tx.packetIndex, payload, 4);
            if (++tx.packetIndex == 8) tx.stage = kStageReply6;
            break;
        default:
            tx.stage = kStageError;
            break;
    }
}

void receivePacket(TokenState& state, uint64_t opener, const uint8_t* data, uint16_t length) {
    Transaction* tx = findTransaction(state, opener);
    if (length != kPacketSize) {
        if (tx) tx->stage = kStageError;
        return;
    }
    if (data[0] == 0x00) {
        Transaction& fresh = startTransaction(state, opener);
        fresh.command = data[1];
        fresh.blockByte = data[2];
        fresh.stage = kStageReply0;
        return;
    }
    if (data[0] == kResetPacketMarker) {
        if (tx) endTransaction(*tx);
        return;
    }
    if (!tx) return;  // nothing open: the next reply read reports the protocol error
    touch(state, *tx);
    if (data[0] != phaseOfPacketStage(tx->stage) || data[1] != tx->tag) {
        tx->stage = kStageError;
        return;
    }
    acceptPacket(state, *tx, data);
}

void putIdentity(const TokenState& state, uint8_t* reply) {
    reply[3] = state.identity.versionNibbles;
    reply[4] = state.identity.memoryModel;
    reply[5] = state.identity.protocolLevel;
    reply[6] = state.identity.infoByte;
    reply[7] = state.identity.memoryUnits;
}

unsigned replyPhase0(TokenState& state, Transaction& tx, uint8_t* reply, int64_t nowSeconds) {
    const bool longReply = commandHasLongReply(tx.command);
    uint8_t status = injectedStatus(state, 0);
    if (status == kStatusOk && commandTakesBlock(tx.command)) {
        const unsigned block = transactionBlock(tx);
        if (block < 1 || block > kBlockCount) status = kStatusBadBlock;
    }
    reply[0] = status;
    if (longReply) {
        reply[1] =
            static_cast<uint8_t>((state.identity.flagA & 1u) | ((state.identity.flagB & 1u) << 1));
    }
    putIdentity(state, reply);
    if (status == kStatusOk) {
        tx.tag = nextTag(state);
        reply[2] = tx.tag;
        if (longReply) fillLongReply(state, tx, reply + 8, nowSeconds);
    }
    if (status != kStatusOk || longReply) {
        endTransaction(tx);
    } else {
        tx.stage = kStagePin;
        tx.packetIndex = 0;
    }
    return longReply ? kLongReplySize : kPacketSize;
}

uint8_t replyPhase1(TokenState& state, Transaction& tx, uint8_t* reply, int64_t nowSeconds) {
    if (uint8_t injected = injectedStatus(state, 1)) return injected;
    uint8_t scratch[kPinFieldSize];
    const PinCheck check = requiredPin(state, tx, scratch);
    uint8_t attemptsLeft = 0xFF;
    const uint8_t status = checkPin(state, check, tx.pin, nowSeconds, attemptsLeft);
    explicit_bzero(scratch, sizeof scratch);  // the token runs on the application's stack
    reply[1] = attemptsLeft;
    return status;
}

uint8_t replyPhase2(TokenState& state, Transaction& tx) {
    if (uint8_t injected = injectedStatus(state, 2)) return injected;
    if (std::memcmp(tx.tokenId, state.identity.tokenId, sizeof tx.tokenId) != 0) {
        return kStatusWrongTokenId;
    }
    if (!knownCommand(tx.command)) return kStatusUnknownCommand;
    return executeAtPhase2(state, tx);
}

uint8_t replyReadLoop(TokenState& state, Transaction& tx, uint8_t* reply) {
    if (tx.wordsDone == 0) {
        if (uint8_t injected = injectedStatus(state, 3)) return injected;
    }
    if (tx.status != kStatusOk) return tx.status;
    loadWords(state, tx, tx.wordsDone, reply + 3);
    tx.wordsDone += 2;
    return kStatusOk;
}

// The reply due in `tx`; returns its length.
unsigned replyFor(TokenState& state, Transaction& tx, uint16_t wValue, uint8_t* reply,
                  int64_t nowSeconds) {
    if (tx.stage == kStageReply0) {
        if (wValue != 0)
            tx.stage = kStageError;
        else
            return replyPhase0(state, tx, reply, nowSeconds);
    } else if (wValue != tx.tag) {
        tx.stage = kStageError;
    }
    reply[2] = tx.tag;
    uint8_t status = kStatusProtocolError;
    uint8_t next = kStageFree;
    switch (tx.stage) {
        case kStageReply1:
            status = replyPhase1(state, tx, reply, nowSeconds);
            next = kStageTokenId;
            break;
        case kStageReply2:
            status = replyPhase2(state, tx);
            if (isMemoryCommand(tx.command))
                next = kStageHeader;
            else if (takesParameter(tx.command))
                next = kStageParameter;
            break;
        case kStageReadLoop:
            status = replyReadLoop(state, tx, reply);
            if (tx.wordsDone < tx.wordCount) next = kStageReadLoop;
            break;
        case kStageReply4:
            status = injectedStatus(state, 4);
            if (status == kStatusOk) status = tx.status;
            break;
        case kStageReply5:
            status = injectedStatus(state, 5);
            if (status == kStatusOk) status = executeAtPhase5(state, tx, reply, nowSeconds);
            if (tx.command == VOK_CMD_SET_PIN) next = kStageNewPin;
            break;
        case kStageReply6:
            status = injectedStatus(state, 6);
            if (status == kStatusOk) status = executeAtPhase6(state, tx);
            break;
        default:  // a packet is due, or a protocol error was seen
            break;
    }
    reply[0] = status;
    if (status != kStatusOk || next == kStageFree) {
        endTransaction(tx);
    } else {
        tx.stage = next;
        tx.packetIndex = 0;
    }
    return kPacketSize;
}

unsigned sendReply(TokenState& state, uint64_t opener, uint16_t wValue, uint8_t* reply,
                   int64_t nowSeconds) {
    std::memset(reply, 0, kLongReplySize);
    Transaction* tx = findTransaction(state, opener);
    if (!tx) {  // no reply is due
        reply[0] = kStatusProtocolError;
        return kPacketSize;
    }
    touch(state, *tx);
    return replyFor(state, *tx, wValue, reply, nowSeconds);
}

}  // namespace

int32_t modelControlTransfer(TokenState& state, uint64_t opener, const ControlSetup& setup,
                             uint8_t* data, int64_t nowSeconds) {
    if (setup.bRequest != 0 || setup.wIndex != 0) return -EPIPE;
    const uint64_t stream = streamOf(state, opener);
    if (setup.bRequestType == kRequestTypeOut) {
        receivePacket(state, stream, data, setup.wLength);
        return setup.wLength;
    }
    if (setup.bRequestType != kRequestTypeIn) return -EPIPE;
    if (setup.wLength == 0) return 0;
    uint8_t reply[kLongReplySize];
    const unsigned length = sendReply(state, stream, setup.wValue, reply, nowSeconds);
    const unsigned count = length < setup.wLength ? length : setup.wLength;
    std::memcpy(data, reply, count);
    explicit_bzero(reply, sizeof reply);
    return static_cast<int32_t>(count);
}

void modelPortReset(TokenState& state, uint64_t opener) {
    if (Transaction* tx = findTransaction(state, streamOf(state, opener))) endTransaction(*tx);
}

void modelAbortAll(TokenState& state) {
    for (Transaction& tx : state.transactions) endTransaction(tx);
}

}  // namespace voksim
