// vok-sim show: a token's state, as text or JSON, with its memory if asked.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "support.h"
#include "voksim/voksim.h"

namespace voksimtool {

namespace {

using nlohmann::ordered_json;

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        (void)std::snprintf(pair, sizeof pair, i ? " %02x" : "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

ordered_json faultsJson(const voksim::FaultSettings& f) {
    ordered_json j;
    j["failTransfer"] = f.failTransfer;
    const char* name = errnoName(f.failErrno);
    j["failErrno"] = name ? ordered_json(name) : ordered_json(f.failErrno);
    j["failAll"] = f.failAll != 0;
    j["shortTransfer"] = f.shortTransfer;
    j["wrongTagTransfer"] = f.wrongTagTransfer;
    j["statusPhase"] = f.statusPhase;
    j["statusValue"] = f.statusValue;
    j["statusTransfer"] = f.statusTransfer;
    j["fixedTag"] = f.fixedTag;
    j["realTimeouts"] = f.realTimeouts != 0;
    j["latencyMicros"] = f.latencyMicros;
    return j;
}

ordered_json stateJson(const voksim::TokenState& s, int64_t now) {
    const voksim::Geometry g = voksim::tokenGeometry(s.identity);
    ordered_json j;
    const voksim::TokenIdentity& id = s.identity;
    j["identity"] = {{"tokenId", hex(id.tokenId, 8)},
                     {"flagA", id.flagA},
                     {"flagB", id.flagB},
                     {"version", id.versionNibbles},
                     {"memoryModel", id.memoryModel},
                     {"memoryUnits", id.memoryUnits},
                     {"protocolLevel", id.protocolLevel},
                     {"infoByte", id.infoByte},
                     {"idVendor", id.idVendor},
                     {"idProduct", id.idProduct},
                     {"bcdDevice", id.bcdDevice}};
    j["geometry"] = {{"memorySize", g.memorySize},
                     {"pinAddress", g.pinAddress},
                     {"pinControlAddress", g.pinControlAddress},
                     {"blockSize", g.blockSize}};
    j["plugged"] = s.plugged != 0;
    j["logging"] = s.logging != 0;
    j["mainPin"] = {{"set", voksim::mainPinSet(s)}, {"use", voksim::mainPinUse(s)}};
    j["secParameters"] = {s.secParameters[0], s.secParameters[1], s.secParameters[2],
                          s.secParameters[3]};
    ordered_json blocks = ordered_json::array();
    for (unsigned b = 1; b <= voksim::kBlockCount; ++b) {
        const voksim::BlockState& block = s.blocks[b - 1];
        blocks.push_back({{"block", b},
                          {"start", voksim::blockStart(g, b)},
                          {"size", g.blockSize},
                          {"attributes", voksim::blockAttributes(s, b, now)},
                          {"vendorId", block.vendorId},
                          {"permissions", block.permissions},
                          {"locked", block.locked != 0},
                          {"pinUse", block.pinUse != 0},
                          {"pinSetPermission", block.pinSetPermission},
                          {"userPinSet", block.pins[0].length != 0},
                          {"adminPinSet", block.pins[1].length != 0}});
    }
    j["blocks"] = blocks;
    j["faults"] = faultsJson(s.faults);
    j["transfers"] = s.transferCount;
    j["resets"] = s.resetCount;
    return j;
}

void printText(const voksim::TokenState& s, int64_t now) {
    const voksim::Geometry g = voksim::tokenGeometry(s.identity);
    const voksim::TokenIdentity& id = s.identity;
    std::printf("token id        %s\n", hex(id.tokenId, 8).c_str());
    std::printf("usb ids         %04x:%04x rev %04x\n", id.idVendor, id.idProduct, id.bcdDevice);
    std::printf("version         %u.%u  flags A=%u B=%u  info byte 0x%02x\n",
                id.versionNibbles >> 4, id.versionNibbles & 15u, id.flagA, id.flagB, id.infoByte);
    std::printf("memory          model %u, %u units, %u bytes; PIN area %u, control word %u\n",
                id.memoryModel, id.memoryUnits, g.memorySize, g.pinAddress, g.pinControlAddress);
    std::printf("protocol level  %u\n", id.protocolLevel);
    std::printf("plugged         %s\n", s.plugged ? "yes" : "no (unplugged)");
    std::printf("main PIN        %s, PIN use %s\n", voksim::mainPinSet(s) ? "set" : "not set",
                voksim::mainPinUse(s) ? "on" : "off");
    std::printf("security        %u %u %u %u\n", s.secParameters[0], s.secParameters[1],
                s.secParameters[2], s.secParameters[3]);
    std::printf("block  start  size  attr    vendor  rw  lock  pin-use  pin-set  user  admin\n");
    for (unsigned b = 1; b <= voksim::kBlockCount; ++b) {
        const voksim::BlockState& block = s.blocks[b - 1];
        std::printf("%5u  %5u  %4u  0x%04x  0x%04x  %2u  %4s  %7s  %7u  %4s  %5s\n", b,
                    voksim::blockStart(g, b), g.blockSize, voksim::blockAttributes(s, b, now),
                    block.vendorId, block.permissions, block.locked ? "yes" : "no",
                    block.pinUse ? "on" : "off", block.pinSetPermission,
                    block.pins[0].length ? "set" : "-", block.pins[1].length ? "set" : "-");
    }
    std::printf("faults          %s\n", faultsJson(s.faults).dump().c_str());
    std::printf("transfers       %" PRIu64 " (%" PRIu64 " resets)\n", s.transferCount,
                s.resetCount);
}

int runShow(const std::string& node, bool json, bool memory) {
    const std::optional<voksim::TokenState> state = voksim::readState(node);
    if (!state) return fail(node + " is not a virtual token");
    const int64_t now = static_cast<int64_t>(time(nullptr));
    const uint32_t size = voksim::tokenGeometry(state->identity).memorySize;
    if (json) {
        ordered_json j = stateJson(*state, now);
        if (memory) j["memory"] = hex(state->memory, size);
        std::printf("%s\n", j.dump(2).c_str());
        return 0;
    }
    printText(*state, now);
    if (memory) {
        for (uint32_t row = 0; row < size; row += 16) {
            std::printf("%04x  %s\n", row,
                        hex(state->memory + row, std::min(16u, size - row)).c_str());
        }
    }
    return 0;
}

}  // namespace

void registerShowCommand(CLI::App& app, CommandTable& table) {
    struct ShowOptions {
        std::string node;
        bool json = false;
        bool memory = false;
    };
    auto options = std::make_shared<ShowOptions>();
    CLI::App* show = app.add_subcommand("show", "Show a token's state");
    show->add_option("NODE", options->node, "The token's device node")->required();
    show->add_flag("--json", options->json, "Machine-readable output");
    show->add_flag("--memory", options->memory, "Include the token's memory");
    table.add(show, [options] { return runShow(options->node, options->json, options->memory); });
}

}  // namespace voksimtool
