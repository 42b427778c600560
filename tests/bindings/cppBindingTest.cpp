// <vok/vok.hpp> on a virtual token: every wrapped call, its errors (thrown
// and returned), ownership of the handle, threads sharing one token.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <vok/vok.hpp>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kAnyPin = "0000";  // presented where the token checks none

class CppBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        node_ = tree_.addToken(2);
        token_ = vok::Token::open(0);
        ASSERT_TRUE(voksim::clearLog(node_));
    }
    std::vector<std::uint8_t> commandsSent() const {
        std::vector<std::uint8_t> codes;
        for (const Opening& opening : openings(node_)) codes.push_back(opening.command);
        return codes;
    }

    TokenTree tree_;
    std::string node_;
    vok::Token token_;
};

struct Call {
    const char* name;
    std::function<void(const vok::Token&, const std::string& node)> run;  // runs and checks
    std::vector<std::uint8_t> commands;  // the token commands it sends, in order
};

TEST_F(CppBinding, EveryCallReachesTheTokenAndReturnsItsResult) {
    const std::vector<Call> calls{
        {"info",
         [](const vok::Token& t, const std::string&) {
             const VokIdInfo info = t.info();
             EXPECT_EQ(Bytes(info.tokenId, info.tokenId + 8),
                       (Bytes{0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1}));
             EXPECT_EQ(info.memorySize, 4096u);
         },
         {VOK_CMD_GET_INFO}},
        {"read",
         [](const vok::Token& t, const std::string& node) {
             setTokenMemory(node, 20, {1, 2, 3, 4, 5});
             EXPECT_EQ(t.read(21, 3), (Bytes{2, 3, 4}));
         },
         {VOK_CMD_READ}},
        {"read into a span",
         [](const vok::Token& t, const std::string& node) {
             setTokenMemory(node, 40, {9, 8});
             std::array<std::uint8_t, 2> out{};
             t.read(40, out);
             EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{9, 8}));
         },
         {VOK_CMD_READ}},
        {"write",
         [](const vok::Token& t, const std::string& node) {
             t.write(30, Bytes{7, 6, 5, 4});
             EXPECT_EQ(tokenMemory(node, 30, 4), (Bytes{7, 6, 5, 4}));
         },
         {VOK_CMD_WRITE}},
        {"read a block",
         [](const vok::Token& t, const std::string& node) {
             setTokenMemory(node, 1014 + 4, {0xB2, 0xB3});
             EXPECT_EQ(t.readBlock(VOK_BLOCK_2, 4, 2), (Bytes{0xB2, 0xB3}));
         },
         {VOK_CMD_READ_EX}},
        {"write a block",
         [](const vok::Token& t, const std::string& node) {
             t.writeBlock(VOK_BLOCK_3, 2, vok::bytes("ok"));
             EXPECT_EQ(tokenMemory(node, 2028 + 2, 2), (Bytes{'o', 'k'}));
         },
         {VOK_CMD_WRITE_EX}},
        {"raw command",
         [](const vok::Token& t, const std::string&) {
             TDRVREQUEST_MEK request{};
             request.command = VOK_CMD_GET_INFO;
             t.command(request, VOK_REQUEST_HEADER_SIZE);
             EXPECT_EQ(request.protocolLevel, 22);
         },
         {VOK_CMD_GET_INFO}},
        {"initialize a block",
         [](const vok::Token& t, const std::string& node) {
             setTokenMemory(node, 3042, {1, 1});
             t.initializeBlock(VOK_BLOCK_4);
             EXPECT_EQ(tokenMemory(node, 3042, 2), (Bytes{0, 0}));
         },
         {VOK_CMD_INITIALIZE_BLOCK}},
        {"provision a block, vendor ID",
         [](const vok::Token& t, const std::string&) {
             t.provisionBlock(VOK_BLOCK_3, 0x1234, std::string("56789"));
             EXPECT_EQ(t.vendorId(VOK_BLOCK_3), 0x1234);
         },
         {VOK_CMD_INITIALIZE_BLOCK, VOK_CMD_SET_VENDOR_ID, VOK_CMD_SET_PIN,
          VOK_CMD_SET_BLOCK_PIN_USE, VOK_CMD_GET_VENDOR_ID}},
        {"set a PIN and its use",
         [](const vok::Token& t, const std::string&) {
             t.setPin(VOK_BLOCK_2, VOK_PIN_USER, "2468");
             t.setBlockPinUse(VOK_BLOCK_2, VOK_PIN_USE_ON, VOK_PIN_SET_BY_ADMIN, "2468");
             EXPECT_EQ(t.blockAttributes(VOK_BLOCK_2) & 0x0138, 0x0100 | 0x0010 | 0x0008);
         },
         {VOK_CMD_SET_PIN, VOK_CMD_SET_BLOCK_PIN_USE, VOK_CMD_GET_BLOCK_ATTR}},
        {"set the vendor ID",
         [](const vok::Token& t, const std::string&) {
             t.setVendorId(VOK_BLOCK_4, 0x4242);
             EXPECT_EQ(t.vendorId(VOK_BLOCK_4), 0x4242);
         },
         {VOK_CMD_SET_VENDOR_ID, VOK_CMD_GET_VENDOR_ID}},
        {"attributes and lock",
         [](const vok::Token& t, const std::string&) {
             EXPECT_EQ(t.setBlockAttributes(VOK_BLOCK_1, VOK_RW_READ, kAnyPin) & 3, VOK_RW_READ);
             t.lockBlock(VOK_BLOCK_1, VOK_ACCESS_LOCKED, kAnyPin);
             EXPECT_EQ(t.blockAttributes(VOK_BLOCK_1) & 0x0007, 0x0004 | VOK_RW_READ);
         },
         {VOK_CMD_SET_BLOCK_ATTR, VOK_CMD_LOCK_BLOCK, VOK_CMD_GET_BLOCK_ATTR}},
        {"security parameters",
         [](const vok::Token& t, const std::string&) {
             t.setSecurityParameters({1, 5, 4, 20}, kAnyPin);
             EXPECT_EQ(t.securityParameters(), (vok::SecurityParameters{1, 5, 4, 20}));
         },
         {VOK_CMD_SET_SEC_PARAMETERS, VOK_CMD_GET_SEC_PARAMETERS}},
        // Last: the main PIN it sets would guard the calls above.
        {"initialize with a first PIN",
         [](const vok::Token& t, const std::string&) {
             t.initialize("4321", true);
             EXPECT_EQ(t.read(0, 2, "4321"), (Bytes{0, 0}));
         },
         {VOK_CMD_INITIALIZE, VOK_CMD_SET_PIN, VOK_CMD_SET_BLOCK_PIN_USE, VOK_CMD_READ}},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        ASSERT_TRUE(voksim::clearLog(node_));
        EXPECT_NO_THROW(call.run(token_, node_));
        EXPECT_EQ(commandsSent(), call.commands);
    }
}

TEST_F(CppBinding, TokensListsWhatDiscoveryFindsAndEachOpensByItsPath) {
    const std::string second = tree_.addToken(5);
    const std::vector<vok::TokenEntry> found = vok::tokens();
    ASSERT_EQ(found.size(), 2u);
    std::vector<std::string> paths;
    for (unsigned i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].index, i);  // in scan (readdir) order
        EXPECT_EQ(found[i].productId, 0x0401);
        EXPECT_EQ(found[i].busNumber, 1u);
        EXPECT_EQ(found[i].deviceNumber, found[i].path == node_ ? 2u : 5u);
        const vok::Token byPath(found[i].path);
        EXPECT_EQ(byPath.info().memorySize, 4096u);
        paths.push_back(found[i].path);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{node_, second}));
    EXPECT_FALSE(voksim::readLog(second).empty()) << "Token(path) opened the second token";
}

TEST_F(CppBinding, OpeningAPathThatIsNoTokenSaysWhy) {
    const std::string foreign = voksim::createForeignDevice(tree_.root(), 1, 9, 0x1234, 0x5678);
    EXPECT_FALSE(vok::Token::open(std::nothrow, foreign));
    EXPECT_EQ(vok::lastSystemError(), ENODEV);
    try {
        const vok::Token missing(tree_.root() + "/001/099");
        ADD_FAILURE() << "opened a missing node";
    } catch (const vok::Error& error) {
        EXPECT_STREQ(error.function(), "vokOpenPath");
        EXPECT_EQ(error.systemError(), ENOENT);
    }
}

struct Failure {
    const char* name;
    std::function<void(const std::string& node)> prepare;
    std::function<vok::Status(const vok::Token&)> returned;  // the non-throwing form
    std::function<void(const vok::Token&)> thrown;           // the throwing form
    const char* function;
    vok::Status status;
    int systemError = 0;  // behind the status, in the thrown error
};

TEST_F(CppBinding, ErrorsCarryTheStatusThrownOrReturned) {
    std::array<std::uint8_t, 4> out{};
    const auto nothing = [](const std::string&) {};
    const std::vector<Failure> failures{
        {"block 5", nothing,
         [&](const vok::Token& t) {
             return t.readBlock(std::nothrow, static_cast<BLOCK_ID>(5), 0, out);
         },
         [](const vok::Token& t) { (void)t.readBlock(static_cast<BLOCK_ID>(5), 0, 4); },
         "vokReadEx", VOK_STATUS_BAD_ARGUMENT},
        {"security parameter out of range", nothing,
         [](const vok::Token& t) {
             return t.setSecurityParameters(std::nothrow, {16, 1, 1, 15}, kAnyPin);
         },
         [](const vok::Token& t) {
             t.setSecurityParameters({16, 1, 1, 15}, kAnyPin);
         },
         "vokSetSecParameters", VOK_STATUS_BAD_ARGUMENT},
        {"raw command too short", nothing,
         [](const vok::Token& t) {
             TDRVREQUEST_MEK request{};
             return t.command(std::nothrow, request, VOK_REQUEST_HEADER_SIZE - 1);
         },
         [](const vok::Token& t) {
             TDRVREQUEST_MEK request{};
             t.command(request, VOK_REQUEST_HEADER_SIZE - 1);
         },
         "vokCommand", VOK_STATUS_BAD_ARGUMENT},
        {"token status", [](const std::string& node) { injectTokenStatus(node, 0x12); },
         [&](const vok::Token& t) { return t.read(std::nothrow, 0, out); },
         [](const vok::Token& t) { (void)t.read(0, 4); }, "vokRead", 0x12},
        {"raw command, token status",
         [](const std::string& node) { injectTokenStatus(node, 0x12); },
         [](const vok::Token& t) {
             TDRVREQUEST_MEK request{};
             request.command = VOK_CMD_GET_INFO;
             return t.command(std::nothrow, request, VOK_REQUEST_HEADER_SIZE);
         },
         [](const vok::Token& t) {
             TDRVREQUEST_MEK request{};
             request.command = VOK_CMD_GET_INFO;
             t.command(request, VOK_REQUEST_HEADER_SIZE);
         },
         "vokCommand", 0x12},
        {"failed transfer", [](const std::string& node) { injectTransferFailure(node); },
         [&](const vok::Token& t) { return t.write(std::nothrow, 0, out); },
         [&](const vok::Token& t) {
             injectTransferFailure(node_);
             t.write(0, out);
         },
         "vokWrite", VOK_STATUS_TRANSFER_FAILED, EPIPE},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        failure.prepare(node_);
        EXPECT_EQ(failure.returned(token_), failure.status);
        try {
            failure.thrown(token_);
            ADD_FAILURE() << "nothing thrown";
        } catch (const vok::Error& error) {
            EXPECT_EQ(error.status(), failure.status);
            EXPECT_STREQ(error.function(), failure.function);
            EXPECT_EQ(error.systemError(), failure.systemError);
            EXPECT_EQ(error.what(),
                      std::string(failure.function) + ": " + vokStatusString(failure.status));
        }
        ASSERT_TRUE(voksim::clearFaults(node_));
    }
}

// A handler object gets the trace; what it throws stays out of the library.
TEST_F(CppBinding, ALogHandlerObjectGetsTheTraceAndKeepsItsExceptions) {
    struct Lines {
        std::vector<std::string> seen;
        void operator()(int, const char* line) {
            seen.emplace_back(line);
            throw std::runtime_error("not for the library");
        }
    } lines;
    vok::setLogHandler(lines);
    vok::setLogLevel(1);
    injectTransferFailure(node_);
    VokIdInfo info{};
    EXPECT_EQ(token_.info(std::nothrow, info), VOK_STATUS_TRANSFER_FAILED);
    EXPECT_EQ(vok::lastSystemError(), EPIPE);
    vok::setLogLevel(0);
    vok::setLogHandler(nullptr);
    ASSERT_EQ(lines.seen.size(), 1u);
    EXPECT_NE(lines.seen[0].find("Broken pipe"), std::string::npos) << lines.seen[0];
}

TEST_F(CppBinding, TheTokenOwnsItsHandle) {
    const VokHandle first = token_.handle();
    {
        vok::Token moved = std::move(token_);
        EXPECT_FALSE(token_);
        EXPECT_EQ(moved.handle(), first);
        EXPECT_EQ(moved.info().memorySize, 4096u);
    }  // closed here, once
    EXPECT_EQ(vokClose(first), VOK_STATUS_BAD_HANDLE);
    // A stale handle number answers 9 through both forms.
    vok::Token stale(first);
    VokIdInfo info{};
    EXPECT_EQ(stale.info(std::nothrow, info), VOK_STATUS_BAD_HANDLE);
    EXPECT_THROW((void)stale.info(), vok::Error);
    EXPECT_EQ(stale.close(), VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(stale.close(), VOK_STATUS_OK);  // empty now
    // No token at index 1; no index above 255.
    EXPECT_FALSE(vok::Token::open(std::nothrow, 1));
    EXPECT_FALSE(vok::Token::open(std::nothrow, 256));
    EXPECT_THROW(vok::Token::open(1), vok::Error);
}

TEST_F(CppBinding, ThreadsShareOneToken) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    const vok::Token& shared = token_;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&shared, &failures, i] {
            const auto offset = static_cast<std::uint32_t>(101 + 16 * i);  // odd: read-merge-write
            for (int round = 0; round < kRounds; ++round) {
                const Bytes mine(5, static_cast<std::uint8_t>(i * kRounds + round));
                if (shared.write(std::nothrow, offset, mine) != VOK_STATUS_OK) ++failures[i];
                Bytes back(5);
                if (shared.read(std::nothrow, offset, back) != VOK_STATUS_OK || back != mine)
                    ++failures[i];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

}  // namespace
}  // namespace voktest
