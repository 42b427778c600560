#include "api/apiFixture.h"

#include <cstring>

namespace voktest {

namespace {

constexpr uint8_t kToTokenRequestType = 0x42;
constexpr uint8_t kOpeningPhase = 0x00;

}  // namespace

std::string TokenTree::addToken(unsigned device, const voksim::Identity& identity) {
    return voksim::createToken(root(), 1, device, identity);
}

std::vector<Opening> openings(const std::string& node) {
    std::vector<Opening> result;
    for (const voksim::LogEntry& entry : voksim::readLog(node)) {
        if (entry.kind != voksim::LogEntry::kControl || entry.bRequestType != kToTokenRequestType)
            continue;
        if (entry.data.size() < 3 || entry.data[0] != kOpeningPhase) continue;
        result.push_back(Opening{entry.data[1], entry.data[2]});
    }
    return result;
}

std::vector<std::vector<uint8_t>> phasePayloads(const std::string& node, uint8_t phase) {
    std::vector<std::vector<uint8_t>> result;
    for (const voksim::LogEntry& entry : voksim::readLog(node)) {
        if (entry.kind != voksim::LogEntry::kControl || entry.bRequestType != kToTokenRequestType)
            continue;
        if (entry.data.size() != 8 || entry.data[0] != phase) continue;
        result.emplace_back(entry.data.begin() + 2, entry.data.begin() + 6);
    }
    return result;
}

void injectTokenStatus(const std::string& node, uint8_t status) {
    voksim::Faults faults;
    faults.statusPhase = 0;
    faults.statusValue = status;
    ASSERT_TRUE(voksim::setFaults(node, faults)) << node;
}

void injectTransferFailure(const std::string& node) {
    voksim::Faults faults;
    faults.failTransfer = 1;
    ASSERT_TRUE(voksim::setFaults(node, faults)) << node;
}

void OpenTokenTest::SetUp() { openToken(identity()); }

void OpenTokenTest::openToken(const voksim::Identity& identity) {
    node_ = tree_.addToken(2, identity);
    handle_ = vokOpen(0);
    ASSERT_NE(handle_, VOK_INVALID_HANDLE);
    ASSERT_TRUE(voksim::clearLog(node_));
    std::memset(&response_, 0x5A, sizeof response_);
}

void OpenTokenTest::TearDown() {
    if (handle_ != VOK_INVALID_HANDLE) vokClose(handle_);
}

}  // namespace voktest
