// The library's capture (VOK_CAPTURE), `vok decode` and the Wireshark
// dissector tell the same story as the library's trace: runs of the real vok
// on two virtual tokens, some with faults, appended to one capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "captureReader.h"
#include "common/tokenUsbId.h"
#include "common/usbmonRecord.h"
#include "common/wireFacts.h"
#include "tokenDecoder.h"
#include "toolHarness.h"

namespace voktest {
namespace {

struct ToolRun {
    const char* name;
    unsigned token;  // index among the tree's tokens
    voksim::Faults faults;
    std::vector<std::string> args;
};

voksim::Faults stall(uint32_t transfer, int error = EPIPE) {
    voksim::Faults f;
    f.failTransfer = transfer;
    f.failErrno = error;
    return f;
}

// The vok process opens its token first (get-info: transfers 1 and 2).
const ToolRun kRuns[] = {
    {"clean read", 0, {}, {"read", "--length", "8", "--pin-env", "PIN"}},
    {"stall in phase 1, then the reset exchange", 0, stall(5), {"read", "--length", "8"}},
    {"missing echo in the read loop",
     1,
     [] {
         voksim::Faults f;
         f.wrongTagTransfer = 19;
         return f;
     }(),
     {"read", "--length", "8", "--pin-env", "PIN"}},
    {"token status in phase 2",
     1,
     [] {
         voksim::Faults f;
         f.statusPhase = 2;
         f.statusValue = 0x17;
         return f;
     }(),
     {"read", "--length", "4"}},
    {"time-out of a phase-0 packet", 0, stall(3, ETIMEDOUT), {"read", "--length", "4"}},
    {"write", 1, {}, {"write", "--hex", "01020304", "--pin-env", "PIN"}},
};

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    (void)pclose(pipe);
    return out;
}

struct TraceLine {
    int code, lastPhase, status;
};

std::vector<TraceLine> traceTransactions(const std::string& trace) {
    static const std::regex line(
        "transaction 0x([0-9a-f]{2}) .* phases 0-(-?[0-9]+), status ([0-9]+)");
    std::vector<TraceLine> found;
    for (std::sregex_iterator m(trace.begin(), trace.end(), line), end; m != end; ++m) {
        found.push_back({std::stoi((*m)[1], nullptr, 16), std::stoi((*m)[2]), std::stoi((*m)[3])});
    }
    return found;
}

std::vector<nlohmann::json> decodeJson(const VirtualTree& tree, const std::string& file) {
    const RunResult r = runVok(tree, {"decode", "--json", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<nlohmann::json> objects;
    std::istringstream lines(r.out);
    for (std::string text; std::getline(lines, text);)
        objects.push_back(nlohmann::json::parse(text));
    return objects;
}

int lastMainPhase(const nlohmann::json& tx) {
    int last = -1;
    for (const auto& phase : tx["phases"]) last = std::max(last, phase["phase"].get<int>());
    return last;
}

class CaptureDecode : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.addToken(1, 2);
        tree.addToken(1, 5);
        for (const ToolRun& run : kRuns) {
            SCOPED_TRACE(run.name);
            ASSERT_TRUE(voksim::setFaults(tree.tokens[run.token], run.faults));
            std::vector<std::string> args = run.args;
            args.insert(args.begin() + 1, {"--path", tree.tokens[run.token]});
            args.insert(args.begin(), {"--capture", capture});
            const RunResult r = runVok(tree, args, {}, {{"VOK_DEBUG", "2"}, {"PIN", "SECRETPN"}});
            trace += r.err;
            ASSERT_TRUE(voksim::setFaults(tree.tokens[run.token], voksim::Faults{}));
        }
    }
    VirtualTree tree;
    std::string capture = tree.root.path() + "/capture.pcap";
    std::string trace;
};

// Transaction for transaction, the decoder agrees with the trace: command,
// status, the phase reached, and the device.
TEST_F(CaptureDecode, DecodeAgreesWithTheTrace) {
    const std::vector<TraceLine> traced = traceTransactions(trace);
    const std::vector<nlohmann::json> decoded = decodeJson(tree, capture);
    ASSERT_EQ(decoded.size(), traced.size()) << trace;
    ASSERT_GE(decoded.size(), 2 * std::size(kRuns));
    for (size_t i = 0; i < decoded.size(); ++i) {
        SCOPED_TRACE(decoded[i].dump());
        EXPECT_EQ(decoded[i]["code"], traced[i].code);
        EXPECT_EQ(decoded[i]["status"], traced[i].status);
        EXPECT_EQ(lastMainPhase(decoded[i]), traced[i].lastPhase);
        EXPECT_EQ(decoded[i]["bus"], 1);
        EXPECT_EQ(decoded[i]["broke"].is_null(), traced[i].status != 5);
    }
    EXPECT_EQ(decoded[4]["device"], 5);  // the second token's open
    EXPECT_EQ(decoded[5]["summary"], "read 4 bytes at offset 0 (of 8 asked): status 5");
}

// The PIN never reaches the capture unless asked for; VOK_CAPTURE_PINS=1 keeps it.
TEST_F(CaptureDecode, PinBytesAreMaskedUnlessAsked) {
    const std::string masked = fileText(capture);
    EXPECT_EQ(masked.find("SECR"), std::string::npos);
    EXPECT_EQ(masked.find("ETPN"), std::string::npos);
    EXPECT_NE(masked.find(std::string(4, static_cast<char>(vokwire::kMaskedByte))),
              std::string::npos);
    const std::string clear = tree.root.path() + "/clear.pcap";
    runVok(tree, {"--capture", clear, "read", "--length", "4", "--pin-env", "PIN"}, {},
           {{"PIN", "SECRETPN"}, {"VOK_CAPTURE_PINS", "1"}});
    EXPECT_NE(fileText(clear).find("SECR"), std::string::npos);
}

// A capture as QEMU writes it (URB id 0, a stall as -121) and the same
// capture in usbmon's text form decode as the original does.
TEST_F(CaptureDecode, QemuAndTextFormsDecodeTheSame) {
    std::string bytes = fileText(capture);
    std::ostringstream text;
    size_t at = sizeof(vokpcap::FileHeader);
    while (at + sizeof(vokpcap::RecordHeader) + sizeof(vokpcap::UsbmonHeader) <= bytes.size()) {
        vokpcap::RecordHeader record;
        vokpcap::UsbmonHeader h;
        std::memcpy(&record, bytes.data() + at, sizeof record);
        std::memcpy(&h, bytes.data() + at + sizeof record, sizeof h);
        const size_t data = at + sizeof record + sizeof h;
        char line[160];
        std::snprintf(line, sizeof line, "%llx %u %c C%c:%u:%03u:0 ", (unsigned long long)h.id,
                      record.micros, h.type, (h.endpoint & 0x80) ? 'i' : 'o', h.bus, h.device);
        text << line;
        if (h.flagSetup == 0) {
            const uint8_t* s = h.setup;
            std::snprintf(line, sizeof line, "s %02x %02x %04x %04x %04x %u", s[0], s[1],
                          s[2] | s[3] << 8, s[4] | s[5] << 8, s[6] | s[7] << 8, h.length);
        } else {
            std::snprintf(line, sizeof line, "%d %u", h.status, h.length);
        }
        text << line << (h.capturedLength != 0 ? " =" : "");
        for (uint32_t i = 0; i < h.capturedLength; ++i) {
            std::snprintf(line, sizeof line, "%s%02x", i % 4 == 0 ? " " : "",
                          static_cast<uint8_t>(bytes[data + i]));
            text << line;
        }
        text << '\n';
        h.id = 0;
        if (h.status == -32) h.status = -121;
        std::memcpy(bytes.data() + at + sizeof record, &h, sizeof h);
        at = data + h.capturedLength;
    }
    const std::string qemu = tree.root.path() + "/qemu.pcap";
    const std::string usbmonText = tree.root.path() + "/usbmon.txt";
    std::ofstream(qemu, std::ios::binary) << bytes;
    std::ofstream(usbmonText) << text.str();
    const std::vector<nlohmann::json> original = decodeJson(tree, capture);
    for (const std::string& other : {qemu, usbmonText}) {
        const std::vector<nlohmann::json> decoded = decodeJson(tree, other);
        ASSERT_EQ(decoded.size(), original.size()) << other;
        for (size_t i = 0; i < decoded.size(); ++i) {
            EXPECT_EQ(decoded[i]["status"], original[i]["status"]) << other << " " << i;
            EXPECT_EQ(decoded[i]["tag"], original[i]["tag"]) << other << " " << i;
            EXPECT_EQ(decoded[i]["phases"], original[i]["phases"]) << other << " " << i;
        }
    }
}

// tshark with the dissector sees the same transactions: their commands, the
// tags the token handed out, and one reset exchange per transport failure.
TEST_F(CaptureDecode, TheDissectorAgrees) {
    if (std::string(TSHARK_PATH).empty()) GTEST_SKIP() << "no tshark";
    const std::string tshark =
        std::string(TSHARK_PATH) + " -r " + capture + " -X lua_script:" VOK_LUA_PATH " -T fields ";
    const std::vector<nlohmann::json> decoded = decodeJson(tree, capture);
    std::string commands, tags;
    size_t failures = 0;
    for (const auto& tx : decoded) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x\n", tx["code"].get<int>());
        commands += code;
        if (!tx["tag"].is_null()) {
            std::snprintf(code, sizeof code, "0x%02x\n", tx["tag"].get<int>());
            tags += code;
        }
        failures += tx["status"] == 5 ? 1 : 0;
    }
    EXPECT_EQ(
        shell(tshark + "-e vok.command -Y 'vok.kind == \"packet\" && vok.phase == 0' 2>/dev/null"),
        commands);
    EXPECT_EQ(shell(tshark + "-e vok.tag -Y 'vok.kind == \"reply\" && vok.phase == 0 && vok.status "
                             "== 0' 2>/dev/null"),
              tags);
    const std::string resets = shell(
        tshark + "-e frame.number -Y 'vok.kind == \"packet\" && vok.phase == -1' 2>/dev/null");
    EXPECT_EQ(static_cast<size_t>(std::count(resets.begin(), resets.end(), '\n')), failures);
}

// Where a transaction broke, in words: the device reset in its middle (its
// descriptor read again), and a capture that ends inside the next one.
TEST(DecodeBreaks, AResetInTheMiddleAndACaptureThatEndsEarly) {
    const std::string text =
        "1 1 S Co:1:002:0 s 42 00 0000 0000 0008 8 = 00310000 00000000\n"
        "1 2 C Co:1:002:0 0 8 >\n"
        "2 3 S Ci:1:002:0 s c2 00 0000 0000 0008 8 <\n"
        "2 4 C Ci:1:002:0 0 8 = 00005a12 02160010\n"
        "3 5 S Ci:1:002:0 s 80 06 0100 0000 0012 18 <\n"
        "3 6 C Ci:1:002:0 0 18 = 12010002 ff000040 55f00104 00000102 0001\n"
        "4 7 S Co:1:002:0 s 42 00 0000 0000 0008 8 = 00380100 00000000\n";
    std::vector<std::string> broke;
    vokdecode::TokenDecoder decoder(
        [&](const vokdecode::Transaction& tx) { broke.push_back(tx.broke); }, false);
    EXPECT_EQ(
        vokdecode::readCaptureBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                    [&](const vokdecode::UsbEvent& e) { decoder.feed(e); }),
        "");
    decoder.finish();
    EXPECT_EQ(broke, (std::vector<std::string>{
                         "the device was reset in the middle (its descriptor was read again)",
                         "the capture ends before a packet of phase 0 completed"}));
}

// The dissector's constants and command names are the wire facts.
TEST(WireFacts, TheDissectorTablesMatch) {
    const std::string lua = fileText(VOK_LUA_PATH);
    for (const vokwire::CommandName& command : vokwire::kCommandNames) {
        char line[80];
        std::snprintf(line, sizeof line, "[0x%02X] = \"%s\",", command.code, command.name);
        EXPECT_NE(lua.find(line), std::string::npos) << line;
    }
    const std::pair<const char*, unsigned> constants[] = {
        {"VENDOR_ID = 0x%04X", kVokVendorId},
        {"PRODUCT_ID = 0x%04X", kVokProductId},
        {"REQUEST_TYPE_TO_TOKEN = 0x%02X", vokwire::kRequestTypeToToken},
        {"REQUEST_TYPE_FROM_TOKEN = 0x%02X", vokwire::kRequestTypeFromToken},
        {"PACKET_SIZE = %u", vokwire::kPacketSize},
        {"LONG_REPLY_SIZE = %u", vokwire::kLongReplySize},
        {"RESET_MARKER = 0x%02X", vokwire::kResetMarker},
        {"PHASE_RESET = -%u", -vokwire::kPhaseReset},
    };
    for (const auto& [format, value] : constants) {
        char line[64];
        std::snprintf(line, sizeof line, format, value);
        EXPECT_NE(lua.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace voktest
