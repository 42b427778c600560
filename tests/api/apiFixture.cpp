#include "api/apiFixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace voktest {

namespace {

constexpr uint8_t kToTokenRequestType = 0x42;
constexpr uint8_t kOpeningPhase = 0x00;

std::string make_temp_directory(const char* pattern) {
    std::string path = std::string("/tmp/") + pattern;
    if (mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << path;
    return path;
}

}  // namespace

TokenTree::TokenTree()
    : root_(make_temp_directory("vok-api-usb-XXXXXX")),
      lockDirectory_(make_temp_directory("vok-api-ipc-XXXXXX")) {
    setenv("USB_DEVFS_PATH", root_.c_str(), 1);
    setenv("VOK_IPC_NAME", lockDirectory_.c_str(), 1);
}

TokenTree::~TokenTree() {
    unsetenv("USB_DEVFS_PATH");
    unsetenv("VOK_IPC_NAME");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    std::filesystem::remove_all(lockDirectory_, ignored);
}

std::string TokenTree::addToken(unsigned device, const voksim::Identity& identity) {
    return voksim::createToken(root_, 1, device, identity);
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

std::vector<uint8_t> tokenMemory(const std::string& node, uint32_t offset, uint32_t length) {
    const std::optional<voksim::TokenState> state = voksim::readState(node);
    if (!state) {
        ADD_FAILURE() << "cannot read the state of " << node;
        return {};
    }
    return std::vector<uint8_t>(state->memory + offset, state->memory + offset + length);
}

void setTokenMemory(const std::string& node, uint32_t offset, const std::vector<uint8_t>& bytes) {
    const bool changed = voksim::modifyState(node, [&](voksim::TokenState& state) {
        std::copy(bytes.begin(), bytes.end(), state.memory + offset);
    });
    ASSERT_TRUE(changed) << node;
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
