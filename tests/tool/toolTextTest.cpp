// The tool's text helpers, number parsing, transfer steps and lock file names.
#include <gtest/gtest.h>

#include "hexText.h"
#include "lockFiles.h"
#include "numbers.h"
#include "transfer.h"

namespace vokcli {
namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(HexDump, MatchesXxd) {
    // Output of `xxd` and `xxd -o 5` for the same bytes.
    std::vector<uint8_t> data = bytesOf("Hello, world! 0123456789abcdef\x01\x02");
    EXPECT_EQ(hexDump(data.data(), data.size(), 0),
              "00000000: 4865 6c6c 6f2c 2077 6f72 6c64 2120 3031  Hello, world! 01\n"
              "00000010: 3233 3435 3637 3839 6162 6364 6566 0102  23456789abcdef..\n");
    std::vector<uint8_t> hello = bytesOf("Hello");
    EXPECT_EQ(hexDump(hello.data(), hello.size(), 5),
              "00000005: 4865 6c6c 6f                             Hello\n");
    EXPECT_EQ(hexDump(nullptr, 0, 0), "");
}

TEST(HexDump, UnprintableBytesAsDots) {
    std::vector<uint8_t> data = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF};
    EXPECT_EQ(hexDump(data.data(), data.size(), 0xFF00),
              "0000ff00: 001f 207e 7fff                           .. ~..\n");
}

TEST(HexParse, PairsWithOptionalSpaces) {
    EXPECT_EQ(parseHex("00ff7A"), (std::vector<uint8_t>{0x00, 0xFF, 0x7A}));
    EXPECT_EQ(parseHex(" de ad\nbe\tef "), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(parseHex(""), std::vector<uint8_t>{});
    EXPECT_FALSE(parseHex("abc"));
    EXPECT_FALSE(parseHex("a bc"));
    EXPECT_FALSE(parseHex("0x12"));
    EXPECT_FALSE(parseHex("zz"));
    EXPECT_EQ(toHex(std::vector<uint8_t>{0x01, 0xAB}.data(), 2), "01ab");
}

TEST(Numbers, DecimalAndHexOnly) {
    EXPECT_EQ(parseNumber("0"), 0u);
    EXPECT_EQ(parseNumber("010"), 10u);  // not octal
    EXPECT_EQ(parseNumber("0x1F"), 31u);
    EXPECT_EQ(parseNumber("0Xff"), 255u);
    EXPECT_EQ(parseNumber("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "0x", "-1", "+1", "1a", "ff", " 1", "1 ", "0x1g",
                            "18446744073709551616", "0x10000000000000000"}) {
        EXPECT_FALSE(parseNumber(bad)) << bad;
    }
}

TEST(Numbers, ValidatorChecksTheRangeAndHandsOnDecimal) {
    CLI::Validator check = numberIn(1, 4);
    std::string text = "0x4";
    EXPECT_EQ(check(text), "");
    EXPECT_EQ(text, "4");
    text = "5";
    EXPECT_NE(check(text), "");
    text = "0";
    EXPECT_NE(check(text), "");
}

TEST(TransferSteps, BoundariesOnWholeSteps) {
    auto steps = [](uint32_t offset, uint32_t length) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const Step& s : planSteps(offset, length)) out.emplace_back(s.offset, s.length);
        return out;
    };
    using V = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(steps(0, 4096), (V{{0, 1024}, {1024, 1024}, {2048, 1024}, {3072, 1024}}));
    EXPECT_EQ(steps(3000, 2000), (V{{3000, 72}, {3072, 1024}, {4096, 904}}));
    EXPECT_EQ(steps(1023, 2), (V{{1023, 1}, {1024, 1}}));
    EXPECT_EQ(steps(5, 1), (V{{5, 1}}));
    EXPECT_EQ(steps(65279, 1), (V{{65279, 1}}));
    EXPECT_EQ(steps(0, kMaxTransfer).size(), 64u);
}

// The file name itself is the library's (tests/lock); the tool joins it to
// the directory as the library does.
TEST(LockFiles, PathJoinsDirectoryAndName) {
    EXPECT_EQ(lockFilePath({"/tmp", false}, "abc"), "/tmp/vok08.lock");
    EXPECT_EQ(lockFilePath({"/run/vok/", true}, "/dev/bus/usb/001/002"), "/run/vok/vok12.lock");
    EXPECT_EQ(lockFilePath({"", true}, ""), "/vok00.lock");
}

}  // namespace
}  // namespace vokcli
