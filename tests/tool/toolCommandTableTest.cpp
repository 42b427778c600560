// Command lines run through the real vok binary on a fresh virtual token,
// with their expected exit status and output.
#include <gtest/gtest.h>

#include "toolHarness.h"
#include "voksim/tokenModel.h"

namespace voktest {
namespace {

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string outHas;  // empty: no check
    std::string errHas;  // empty: stderr must be empty
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandTable : public ::testing::TestWithParam<CommandCase> {};

// `text` with "{root}" standing for the tree's root.
std::string inTree(std::string text, const VirtualTree& tree) {
    for (size_t at; (at = text.find("{root}")) != std::string::npos;)
        text.replace(at, 6, tree.root.path());
    return text;
}

// A token (bus 1, device 2) and a foreign device (bus 1, device 3).
TEST_P(CommandTable, ExitStatusAndOutput) {
    const CommandCase& c = GetParam();
    VirtualTree tree;
    tree.addToken(1, 2);
    voksim::createForeignDevice(tree.root.path(), 1, 3, 0x1234, 0x5678);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(inTree(arg, tree));
    RunResult r = runVok(tree, args, "", {{"VOKTEST_PIN", "4711"}, {"VOKTEST_SHORT", "12"}});
    EXPECT_EQ(r.exitCode, c.exitCode) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    if (!c.outHas.empty()) {
        EXPECT_NE(r.out.find(inTree(c.outHas, tree)), std::string::npos) << r.out;
    }
    if (c.errHas.empty()) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_NE(r.err.find(inTree(c.errHas, tree)), std::string::npos) << r.err;
        // Every failure is one line on stderr, beginning with "vok: ".
        EXPECT_EQ(r.err.rfind("vok: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

const std::vector<CommandCase> kCases = {
    // Usage: exit 2, the one-line message names what is wrong.
    {"NoCommand", {}, 2, "", "subcommand"},
    {"UnknownCommand", {"frobnicate"}, 2, "", "unknown command: frobnicate"},
    {"UnknownBlockCommand", {"block", "frob"}, 2, "", "unknown command: frob"},
    {"BlockFive", {"read", "--block", "5", "--length", "2"}, 2, "", "--block"},
    {"NegativeOffset", {"read", "--offset", "-1"}, 2, "", "--offset"},
    {"OffsetPastLargestMemory", {"read", "--offset", "65281"}, 2, "", "65281"},
    {"OctalLooksDecimal", {"read", "--offset", "010", "--length", "2"}, 0, "0000000a: 0000", ""},
    {"HexNumber", {"read", "--offset", "0x10", "--length", "2"}, 0, "00000010: 0000", ""},
    {"BlockReadNeedsLength", {"read", "--block", "1"}, 2, "", "--length"},
    {"HexOddDigits", {"write", "--hex", "123"}, 2, "", "--hex"},
    {"HexSplitPair", {"write", "--hex", "1 2"}, 2, "", "--hex"},
    {"HexAndInput", {"write", "--hex", "12", "--input", "x"}, 2, "", "excludes"},
    {"NoDataOnEmptyStdin", {"write"}, 2, "", "no data"},
    {"InitNeedsYes", {"init"}, 2, "", "--yes"},
    {"PinUseNeedsNewPin", {"init", "--yes", "--pin-use"}, 2, "", "--pin-use"},
    {"ProvisionNeedsYes",
     {"block", "provision", "-b", "2", "--vendor-id", "1", "--new-pin-env", "VOKTEST_PIN"},
     2,
     "",
     "--yes"},
    {"VendorIdFFFF", {"block", "vendor-id", "-b", "1", "--set", "0xffff"}, 2, "", "0xffff"},
    {"SecParamOutOfRange", {"secparams", "set", "16", "4", "3", "30"}, 2, "", "16"},
    {"PinEnvUnset",
     {"read", "--length", "2", "--pin-env", "VOKTEST_UNSET"},
     2,
     "",
     "VOKTEST_UNSET"},
    {"PinFileMissing",
     {"read", "--length", "2", "--pin-file", "/nonexistent/pin"},
     2,
     "",
     "/nonexistent/pin"},
    {"NoTerminalForRequiredPin", {"block", "lock", "-b", "1"}, 2, "", "no terminal"},
    {"PinOnlyWithSet",
     {"block", "attr", "-b", "1", "--pin-env", "VOKTEST_PIN"},
     2,
     "",
     "--set-permissions"},
    {"RawNeedsRecord", {"raw"}, 2, "", "RECORD"},
    {"RawRecordAndPinOnStdin", {"raw", "--hex-file", "-", "--pin-file", "-"}, 2, "", "stdin"},
    {"RawRecordTooLong", {"raw", std::string(2 * 16513, '0')}, 2, "", "16512"},

    // No token at the index: exit 3.
    {"NoSecondToken", {"info", "--token", "1"}, 3, "", "no token answers at index 1"},
    {"PathOfNothing",
     {"info", "--path", "{root}/001/009"},
     3,
     "",
     "no token answers at {root}/001/009: No such file or directory"},
    {"PathOfAForeignDevice",
     {"read", "--path", "{root}/001/003", "--length", "2"},
     3,
     "",
     "{root}/001/003: not a token"},
    {"PathAndIndex", {"info", "--path", "{root}/001/002", "-t", "0"}, 2, "", "excludes"},

    // Operations on the token.
    {"Help", {"--help"}, 0, "doctor", ""},
    {"Version", {"--version"}, 0, "1.3.0", ""},
    {"List", {"list"}, 0, "{root}/001/002    1       2  0x0401\n", ""},
    {"ListIdentified", {"list", "--reset-and-identify"}, 0, "564f4b0000000001", ""},
    {"InfoByPath", {"info", "--path", "{root}/001/002"}, 0, "index             0", ""},
    {"ReadByPath", {"read", "--path", "{root}/001/002", "--length", "2"}, 0, "00000000: 0000", ""},
    {"Info", {"info"}, 0, "4096 bytes", ""},
    {"InfoLevel", {"info"}, 0, "protocol level    22", ""},
    {"ReadFresh", {"read", "--length", "4"}, 0, "00000000: 0000 0000", ""},
    {"Write", {"write", "--offset", "7", "--hex", "414243"}, 0, "wrote 3 bytes at offset 7", ""},
    {"WriteBlock",
     {"write", "-b", "3", "--hex", "41"},
     0,
     "wrote 1 byte at offset 0 of block 3",
     ""},
    {"SecParamsDefaults", {"secparams", "get"}, 0, "parameter 4  30", ""},
    {"VendorIdFresh", {"block", "vendor-id", "-b", "4"}, 0, "0x0000", ""},
    {"AttrFresh", {"block", "attr", "-b", "2"}, 0, "0x0003", ""},
    {"PinUseOff", {"block", "pin-use", "-b", "2", "--off"}, 0, "PIN use off", ""},
    {"PinUseNeedsOnOrOff", {"block", "pin-use", "-b", "2"}, 2, "", "--on or --off"},
    {"InitFirstPin",
     {"init", "--yes", "--new-pin-env", "VOKTEST_PIN", "--pin-use"},
     0,
     "PIN use on",
     ""},
    {"PinSetUser",
     {"pin", "set", "-b", "3", "--new-pin-env", "VOKTEST_PIN"},
     0,
     "user PIN of block 3 set",
     ""},
    {"RawInfo", {"raw", "30", "--fill-id"}, 0, "00000040: 0012 0216", ""},

    // The library or the token refuses: exit 1, the status named.
    {"WritePastMemory",
     {"write", "--offset", "4095", "--hex", "0102"},
     1,
     "",
     statusLine("write", 3)},
    {"ReadPastBlock",
     {"read", "-b", "1", "--offset", "1000", "--length", "16"},
     1,
     "",
     statusLine("read", voksim::kStatusOutOfRange)},
    {"RawUnknownCommand",
     {"raw", "20", "--fill-id"},
     1,
     "00000000: 20",
     statusLine("raw", voksim::kStatusUnknownCommand)},
    {"RawWithoutTokenId",
     {"raw", "33", "--length", "128"},
     1,
     "",
     statusLine("raw", voksim::kStatusWrongTokenId)},
    {"ShortNewPin",
     {"pin", "set", "-b", "2", "--new-pin-env", "VOKTEST_SHORT"},
     1,
     "",
     statusLine("pin set", voksim::kStatusBadParameter)},
};

INSTANTIATE_TEST_SUITE_P(Vok, CommandTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voktest
