// The initialise command counts a transport failure as completion, after
// giving the token six seconds. The one test in the suite that really waits.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/ioctl.h"
#include "virtualToken.h"

namespace {

TEST(InitializeWait, LostFirstPacketWaitsSixSecondsThenResetsWithTagZero) {
    vok_test::VirtualToken token;
    voksim::Faults faults;
    faults.fixedTag = vok_test::kTag;
    faults.failTransfer = 1;
    token.setFaults(faults);
    TDRVREQUEST_MEK request;
    vok_test::prepareRequest(request, VOK_CMD_INITIALIZE, token.identity());
    request.status = 0x11;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cmdProtocolExecute(token.device(), &request), 0);
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(request.status, 0);
    EXPECT_GE(waited, std::chrono::seconds(6));
    EXPECT_TRUE(vok_test::isResetExchange(token.transfers(), 1, 0));
}

}  // namespace
