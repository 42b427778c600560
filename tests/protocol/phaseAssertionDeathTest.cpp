// A phase called for a command code it does not serve ends the process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/ioctl.h"

namespace {

// The assertion report of `function`, as a regular expression.
std::string assertionReport(const std::string& function) {
    std::string pattern = "ioctl\\.cpp:[0-9]+: ";
    for (char c : function) {
        if (std::strchr("()*.[]", c) != nullptr) pattern += '\\';
        pattern += c;
    }
    return pattern + ": Assertion `false' failed";
}

class PhaseAssertion : public testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        std::memset(&device_, 0, sizeof device_);
        device_.fd = -1;
        std::memset(&request_, 0, sizeof request_);
    }
    VokDevice device_;
    TDRVREQUEST_MEK request_;
};

TEST_F(PhaseAssertion, PinPhaseRefusesTheShortQueries) {
    for (uint8_t code : {0x30, 0x38, 0x3A, 0x3D}) {
        request_.command = code;
        EXPECT_DEATH(cmdProtocolMOP1(0x5A, &device_, &request_),
                     assertionReport("int cmdProtocolMOP1(uint8_t, VokDevice*, TDRVREQUEST_MEK*)"));
    }
}

TEST_F(PhaseAssertion, MemoryHeaderRefusesCodesWithoutMemoryTransfer) {
    for (uint8_t code : {0x30, 0x33, 0x36, 0x3F, 0x40}) {
        request_.command = code;
        EXPECT_DEATH(cmdProtocolMOP3(0x5A, &device_, &request_),
                     assertionReport("int cmdProtocolMOP3(uint8_t, VokDevice*, TDRVREQUEST_MEK*)"));
    }
}

TEST_F(PhaseAssertion, DataPhaseRefusesReads) {
    for (uint8_t code : {0x31, 0x34, 0x37}) {
        request_.command = code;
        EXPECT_DEATH(cmdProtocolMOP4(0x5A, &device_, &request_),
                     assertionReport("int cmdProtocolMOP4(uint8_t, VokDevice*, TDRVREQUEST_MEK*)"));
    }
}

TEST_F(PhaseAssertion, ParameterPhaseRefusesCodesWithoutParameters) {
    for (uint8_t code : {0x31, 0x32, 0x33, 0x38, 0x3A, 0x3D, 0x3F, 0x40}) {
        request_.command = code;
        EXPECT_DEATH(cmdProtocolMOP5(0x5A, &device_, &request_),
                     assertionReport("int cmdProtocolMOP5(uint8_t, VokDevice*, TDRVREQUEST_MEK*)"));
    }
}

TEST_F(PhaseAssertion, NewPinPhaseServesOnlySetPin) {
    for (uint8_t code : {0x37, 0x39, 0x3B, 0x3C, 0x3E}) {
        request_.command = code;
        EXPECT_DEATH(cmdProtocolMOP6(0x5A, &device_, &request_),
                     assertionReport("int cmdProtocolMOP6(uint8_t, VokDevice*, TDRVREQUEST_MEK*)"));
    }
}

}  // namespace
