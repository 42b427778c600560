// Routines shared by the files of the token model.
#pragma once

#include "voksim/tokenModel.h"

namespace voksim {

// A PIN the token must see before it runs a command. `counters` is null when
// no PIN is needed; `value` is null when the PIN is counters->value.
struct PinCheck {
    PinSlot* counters = nullptr;
    const uint8_t* value = nullptr;
};

bool pinLockedOut(const PinSlot& slot, int64_t nowSeconds);
bool memoryHoldsMainPin(const TokenState& state);
// `scratch` (32 bytes) holds a memory-resident main PIN while it is checked.
PinCheck mainPinCheck(TokenState& state, uint8_t* scratch);

bool commandTakesBlock(uint8_t command);
bool commandHasLongReply(uint8_t command);
bool knownCommand(uint8_t command);
unsigned transactionBlock(const Transaction& tx);
unsigned transactionPinKind(const Transaction& tx);

// The PIN that `tx` must present at the end of phase 1.
PinCheck requiredPin(TokenState& state, const Transaction& tx, uint8_t* scratch);
// Checks the presented PIN; `attemptsLeft` receives what phase 1 reports.
uint8_t checkPin(TokenState& state, const PinCheck& check, const uint8_t* presented,
                 int64_t nowSeconds, uint8_t& attemptsLeft);

// The command's work at the reply that ends phase 2 ("3", "?"), at the
// phase-3 header (memory transfers: the checks only), at the end of phase 5
// and at the end of phase 6. `reply` holds 8 bytes.
uint8_t executeAtPhase2(TokenState& state, const Transaction& tx);
uint8_t checkMemoryTransfer(const TokenState& state, const Transaction& tx);
uint8_t executeAtPhase5(TokenState& state, const Transaction& tx, uint8_t* reply,
                        int64_t nowSeconds);
uint8_t executeAtPhase6(TokenState& state, const Transaction& tx);
// Bytes 8-15 of the 16-byte phase-0 replies.
void fillLongReply(const TokenState& state, const Transaction& tx, uint8_t* tail,
                   int64_t nowSeconds);

// Memory transfers: the first byte and the size in bytes of the range that a
// memory command addresses (memory or its block).
uint32_t transferBase(const TokenState& state, const Transaction& tx);
uint32_t transferLimit(const TokenState& state, const Transaction& tx);
void storeWords(TokenState& state, const Transaction& tx, uint32_t firstWord, const uint8_t* bytes);
void loadWords(const TokenState& state, const Transaction& tx, uint32_t firstWord, uint8_t* bytes);

}  // namespace voksim
