// The PIN rules of every builder that takes a PIN: a refusal returns 3 before
// anything is sent and leaves the response; an accepted PIN is sent in a
// zero-padded 32-byte field.
#include <functional>
#include <string>
#include <vector>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

enum class Rule { kOptional, kRequired, kInitialize };

using Builder = std::function<int(VokDevice*, const void* pin, uint32_t pinLength, VokIdResponse*)>;

struct BuilderCase {
    const char* name;
    Rule rule;
    Builder run;
};

uint8_t gBuffer[8];

std::vector<BuilderCase> builders() {
    static const uint8_t kNewPin[6] = {'n', 'e', 'w', 'p', 'i', 'n'};
    return {
        {"read", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdReadCmd(d, p, n, 0, gBuffer, 4, r);
         }},
        {"write", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdWriteCmd(d, p, n, 0, gBuffer, 4, r);
         }},
        {"readEx", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdReadExCmd(d, VOK_BLOCK_2, p, n, 0, gBuffer, 4, r);
         }},
        {"writeEx", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdWriteExCmd(d, VOK_BLOCK_2, p, n, 0, gBuffer, 4, r);
         }},
        {"initialize", Rule::kInitialize,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdInitializeCmd(d, p, n, r);
         }},
        {"initializeBlock type 0", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdInitializeBlockCmd(d, VOK_PIN_USER, VOK_BLOCK_2, p, n, r);
         }},
        {"initializeBlock type 1", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdInitializeBlockCmd(d, VOK_PIN_ADMIN, VOK_BLOCK_2, p, n, r);
         }},
        // Only bit 0 of the kind reaches the token; the rule follows it.
        {"initializeBlock type 3", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdInitializeBlockCmd(d, static_cast<TYPE_PIN>(3), VOK_BLOCK_2, p, n, r);
         }},
        {"setVendorId", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdSetVendorIdCmd(d, VOK_BLOCK_2, p, n, 0x0101, r);
         }},
        {"setBlockAttr", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             uint16_t attributes = 0;
             return vokIdSetBlockAttrCmd(d, VOK_BLOCK_2, p, n, VOK_RW_READ_WRITE, &attributes, r);
         }},
        {"lockBlock", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokLockBlockCmd(d, VOK_BLOCK_2, p, n, VOK_ACCESS_UNLOCKED, r);
         }},
        {"setSecParameters", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdSetSecParametersCmd(d, p, n, 0, 4, 3, 30, r);
         }},
        {"setPin type 0", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdSetPinCmd(d, VOK_PIN_USER, VOK_BLOCK_2, p, n, kNewPin, 6, r);
         }},
        {"setPin type 1", Rule::kRequired,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdSetPinCmd(d, VOK_PIN_ADMIN, VOK_BLOCK_2, p, n, kNewPin, 6, r);
         }},
        {"setBlockPinUse", Rule::kOptional,
         [](VokDevice* d, const void* p, uint32_t n, VokIdResponse* r) {
             return vokIdSetBlockPinUseCmd(d, VOK_BLOCK_2, p, n, VOK_PIN_USE_OFF,
                                           VOK_PIN_SET_BY_USER, r);
         }},
    };
}

struct PinCase {
    bool nullPin;
    uint32_t pinLength;
};

// Whether the rule accepts the PIN.
bool accepted(Rule rule, const PinCase& pin) {
    const bool fits = pin.pinLength >= 1 && pin.pinLength <= 31;
    switch (rule) {
        case Rule::kOptional:
            return pin.nullPin || fits;
        case Rule::kRequired:
            return !pin.nullPin && fits;
        case Rule::kInitialize:
            return pin.nullPin || pin.pinLength <= 31;
    }
    return false;
}

using PinRuleTest = TokenTest;

TEST_F(PinRuleTest, EveryBuilderAppliesItsRule) {
    const std::string pin(40, 'k');
    const PinCase cases[] = {{true, 0},  {true, 5},   {true, 1000}, {false, 0},
                             {false, 1}, {false, 31}, {false, 32},  {false, 0xFFFFFFFFu}};

    for (const BuilderCase& builder : builders()) {
        for (const PinCase& pinCase : cases) {
            SCOPED_TRACE(::testing::Message()
                         << builder.name << ", pin " << (pinCase.nullPin ? "null" : "given")
                         << ", length " << pinCase.pinLength);
            clearLog();
            VokIdResponse response = sentinelResponse();
            const int status = builder.run(device_, pinCase.nullPin ? nullptr : pin.data(),
                                           pinCase.pinLength, &response);

            if (!accepted(builder.rule, pinCase)) {
                EXPECT_EQ(status, 3);
                EXPECT_TRUE(isSentinel(response));
                EXPECT_EQ(transferCount(), 0u);
                continue;
            }
            EXPECT_NE(status, 3);
            EXPECT_FALSE(isSentinel(response));
            EXPECT_EQ(response.status, status);
            const std::vector<SentTransaction> transactions = sent();
            ASSERT_FALSE(transactions.empty());
            const uint32_t sentLength = pinCase.nullPin ? 0 : pinCase.pinLength;
            EXPECT_EQ(transactions.back().pin, pinField(pin.substr(0, sentLength)));
        }
    }
}

}  // namespace
}  // namespace vok_test
