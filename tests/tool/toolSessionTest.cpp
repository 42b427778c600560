// Sequences of vok commands on a virtual token, checked against the token's
// own state.
#include <gtest/gtest.h>

#include <random>

#include "support/files.h"
#include "support/tokenMemory.h"
#include "toolHarness.h"
#include "voksim/tokenModel.h"

namespace voktest {
namespace {

const Environment kPins = {{"VOKTEST_PIN", "2468"}, {"VOKTEST_WRONG", "1357"}};

using testsupport::readText;
using testsupport::tokenMemory;

// Puts `bytes` into the file `name` in `dir`; returns its path.
std::string writeFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
    const std::string path = dir / name;
    testsupport::writeText(path, bytes);
    return path;
}

std::string randomBytes(size_t size) {
    std::mt19937 generator(12345);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

TEST(VokSession, WriteAtOddOffsetThenReadBackAsHexDump) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    ASSERT_EQ(runVok(tree, {"write", "--offset", "3", "--hex", "48 65 6c 6c 6f"}).exitCode, 0);

    RunResult r = runVok(tree, {"read", "--offset", "3", "--length", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "00000003: 4865 6c6c 6f                             Hello\n");
    EXPECT_EQ(r.err, "");
    // The neighbours of the odd range are untouched.
    EXPECT_EQ(tokenMemory(node, 2, 7), (std::vector<uint8_t>{0, 'H', 'e', 'l', 'l', 'o', 0}));
}

TEST(VokSession, WholeMemoryRoundTripThroughFilesShowsNoProgressOffTerminal) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    TempDir files;
    const std::string data = randomBytes(4096);
    std::string in = writeFile(files, "in.bin", data);
    std::string out = files.path() + "/out.bin";

    RunResult w = runVok(tree, {"write", "-i", in});
    EXPECT_EQ(w.exitCode, 0) << w.err;
    EXPECT_EQ(w.err, "");  // stderr is a pipe: no progress bar
    RunResult r = runVok(tree, {"read", "-o", out});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readText(out), data);
    std::vector<uint8_t> memory = tokenMemory(node, 0, 4096);
    EXPECT_EQ(std::string(memory.begin(), memory.end()), data);
}

TEST(VokSession, WriteFromStdinAndRawReadToStdout) {
    VirtualTree tree;
    tree.addToken(1, 2);
    ASSERT_EQ(runVok(tree, {"write", "--offset", "100"}, "piped data").exitCode, 0);
    ASSERT_EQ(runVok(tree, {"write", "--offset", "200", "-i", "-"}, "more").exitCode, 0);
    EXPECT_EQ(runVok(tree, {"read", "--offset", "100", "--length", "10", "-o", "-"}).out,
              "piped data");
    EXPECT_EQ(runVok(tree, {"read", "--offset", "200", "--length", "4", "-o", "-"}).out, "more");
}

// A write runs in steps; the one that reaches the end of the range goes
// first, so a range that does not fit changes nothing.
TEST(VokSession, WholeMemoryWriteThatDoesNotFitChangesNothing) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);  // 4096 bytes
    TempDir files;
    std::string in = writeFile(files, "in.bin", randomBytes(2000));

    RunResult r = runVok(tree, {"write", "--offset", "3000", "-i", in});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, statusLine("write", 3));
    EXPECT_EQ(tokenMemory(node, 3000, 1096), std::vector<uint8_t>(1096, 0));
}

TEST(VokSession, BlockWriteThatDoesNotFitChangesNothing) {
    VirtualTree tree;
    voksim::Identity large;
    large.memoryUnits = 255;  // 65280 bytes, blocks of 16310
    std::string node = tree.addToken(1, 2, large);
    TempDir files;
    std::string in = writeFile(files, "in.bin", randomBytes(2000));

    RunResult r = runVok(tree, {"write", "-b", "2", "--offset", "15000", "-i", in});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, statusLine("write", voksim::kStatusOutOfRange));
    EXPECT_EQ(tokenMemory(node, 16310 + 15000, 1310), std::vector<uint8_t>(1310, 0));
}

TEST(VokSession, ProvisionedBlockRefusesTheWrongPin) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    RunResult p = runVok(tree,
                         {"block", "provision", "-b", "2", "--vendor-id", "0x1234", "--new-pin-env",
                          "VOKTEST_PIN", "--yes"},
                         "", kPins);
    ASSERT_EQ(p.exitCode, 0) << p.err;
    EXPECT_EQ(p.out, "block 2 provisioned: vendor ID 0x1234, PIN set, PIN use on\n");
    EXPECT_EQ(runVok(tree, {"block", "vendor-id", "-b", "2"}).out, "0x1234\n");

    RunResult w = runVok(tree, {"write", "-b", "2", "--hex", "c0ffee", "--pin-env", "VOKTEST_PIN"},
                         "", kPins);
    EXPECT_EQ(w.exitCode, 0) << w.err;
    RunResult right =
        runVok(tree, {"read", "-b", "2", "--length", "3", "--pin-env", "VOKTEST_PIN"}, "", kPins);
    EXPECT_EQ(right.exitCode, 0) << right.err;
    EXPECT_EQ(right.out.substr(0, 17), "00000000: c0ff ee");

    RunResult wrong =
        runVok(tree, {"read", "-b", "2", "--length", "3", "--pin-env", "VOKTEST_WRONG"}, "", kPins);
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err, statusLine("read", voksim::kStatusWrongPin));

    RunResult none = runVok(tree, {"read", "-b", "2", "--length", "3"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
}

TEST(VokSession, PinFromFileAndFromStdin) {
    VirtualTree tree;
    tree.addToken(1, 2);
    TempDir files;
    ASSERT_EQ(runVok(tree, {"block", "provision", "-b", "1", "--vendor-id", "7", "--new-pin-file",
                            writeFile(files, "new", "2468\n"), "--yes"})
                  .exitCode,
              0);
    // The first line counts; a CR before the newline is not part of the PIN.
    std::string pinFile = writeFile(files, "pin", "2468\r\nsecond line\n");
    RunResult fromFile = runVok(tree, {"read", "-b", "1", "--length", "2", "--pin-file", pinFile});
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    RunResult fromStdin =
        runVok(tree, {"read", "-b", "1", "--length", "2", "--pin-file", "-"}, "2468\n");
    EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.err;

    RunResult both = runVok(tree, {"write", "-b", "1", "--pin-file", "-"}, "2468\ndata");
    EXPECT_EQ(both.exitCode, 2);
    EXPECT_EQ(both.err, "vok: the data and the PIN cannot both come from stdin\n");
}

TEST(VokSession, LockedBlockRefusesWritesUntilUnlocked) {
    VirtualTree tree;
    tree.addToken(1, 2);
    // No PIN is set on the block, so the token ignores the one presented.
    ASSERT_EQ(
        runVok(tree, {"block", "lock", "-b", "1", "--pin-env", "VOKTEST_PIN"}, "", kPins).exitCode,
        0);
    EXPECT_EQ(runVok(tree, {"block", "attr", "-b", "1"}).out, "0x0007\n");
    RunResult refused = runVok(tree, {"write", "-b", "1", "--hex", "01"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, statusLine("write", voksim::kStatusBlockLocked));

    ASSERT_EQ(runVok(tree, {"block", "lock", "-b", "1", "--unlock", "--pin-env", "VOKTEST_PIN"}, "",
                     kPins)
                  .exitCode,
              0);
    EXPECT_EQ(runVok(tree, {"write", "-b", "1", "--hex", "01"}).exitCode, 0);
}

TEST(VokSession, PermissionsAndPinUseReachTheToken) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    RunResult attr = runVok(
        tree, {"block", "attr", "-b", "3", "--set-permissions", "read", "--pin-env", "VOKTEST_PIN"},
        "", kPins);
    EXPECT_EQ(attr.exitCode, 0) << attr.err;
    EXPECT_EQ(attr.out, "0x0001\n");
    ASSERT_EQ(
        runVok(tree, {"pin", "set", "-b", "4", "--new-pin-env", "VOKTEST_PIN"}, "", kPins).exitCode,
        0);
    ASSERT_EQ(runVok(tree, {"block", "pin-use", "-b", "4", "--on", "--set-by", "never"}).exitCode,
              0);
    std::optional<voksim::TokenState> state = voksim::readState(node);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->blocks[2].permissions, 1);
    EXPECT_EQ(state->blocks[3].pinUse, 1);
    EXPECT_EQ(state->blocks[3].pinSetPermission, 2);
    EXPECT_EQ(state->blocks[3].pins[voksim::kPinKindUser].length, 4);
}

TEST(VokSession, InitInstallsTheFirstPin) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    ASSERT_EQ(runVok(tree, {"write", "--hex", "ff"}).exitCode, 0);
    RunResult init =
        runVok(tree, {"init", "--yes", "--new-pin-env", "VOKTEST_PIN", "--pin-use"}, "", kPins);
    ASSERT_EQ(init.exitCode, 0) << init.err;
    std::optional<voksim::TokenState> state = voksim::readState(node);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->memory[0], 0);  // erased
    EXPECT_EQ(state->blocks[0].pins[voksim::kPinKindUser].length, 4);
    EXPECT_EQ(state->blocks[0].pinUse, 1);
    // The whole memory now needs that PIN.
    EXPECT_EQ(runVok(tree, {"read", "--length", "2"}).exitCode, 1);
    EXPECT_EQ(
        runVok(tree, {"read", "--length", "2", "--pin-env", "VOKTEST_PIN"}, "", kPins).exitCode, 0);
}

// Plain `vok list` comes from the library's listing and sends nothing to any
// token; with --reset-and-identify each row's token ID must be the one of
// the token at the path listed for it.
TEST(VokSession, ListPairsEachPathWithItsToken) {
    VirtualTree tree;
    voksim::createForeignDevice(tree.root.path(), 1, 2, 0x1234, 0x5678);
    std::string first = tree.addToken(1, 3);
    voksim::Identity other;
    other.tokenId[7] = 2;
    other.memoryUnits = 8;
    std::string second = tree.addToken(2, 4, other);
    other.tokenId[7] = 3;
    std::string third = voksim::createToken(tree.root.path(), 1, 7, other);

    RunResult plain = runVok(tree, {"list"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    for (const std::string& node : {first, second, third}) {
        EXPECT_NE(plain.out.find(node + " "), std::string::npos) << plain.out;
        EXPECT_TRUE(voksim::readLog(node).empty()) << node << " was reset or asked";
    }
    RunResult list = runVok(tree, {"list", "--reset-and-identify"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out.find("001/002"), std::string::npos) << "the foreign device is listed";
    struct Expected {
        std::string path;
        std::string tokenId;
    };
    for (const Expected& e :
         {Expected{first, "564f4b0000000001"}, Expected{second, "564f4b0000000002"},
          Expected{third, "564f4b0000000003"}}) {
        size_t at = list.out.find(e.path + " ");
        ASSERT_NE(at, std::string::npos) << e.path << "\n" << list.out;
        std::string row = list.out.substr(at, list.out.find('\n', at) - at);
        EXPECT_NE(row.find(e.tokenId), std::string::npos) << row;
    }
}

TEST(VokSession, SecurityParametersRoundTrip) {
    VirtualTree tree;
    tree.addToken(1, 2);
    RunResult set = runVok(
        tree, {"secparams", "set", "1", "6", "5", "0x14", "--pin-env", "VOKTEST_PIN"}, "", kPins);
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(runVok(tree, {"secparams", "get"}).out,
              "parameter 1  1\nparameter 2  6\nparameter 3  5\nparameter 4  20\n");
}

}  // namespace
}  // namespace voktest
