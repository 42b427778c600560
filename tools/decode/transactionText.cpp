#include "transactionText.h"

#include <cstdio>

#include "wireFacts.h"

namespace vokdecode {
namespace {

std::string commandText(const Transaction& tx) {
    if (tx.command < 0) return "unknown";
    const char* name = vokwire::commandName(static_cast<uint8_t>(tx.command));
    if (name != nullptr) return name;
    char text[24];
    (void)std::snprintf(text, sizeof text, "command 0x%02x", tx.command);
    return text;
}

std::string statusText(const Transaction& tx) {
    return tx.status < 0 ? "status unknown" : "status " + std::to_string(tx.status);
}

const char* pinKindName(uint8_t kind) { return kind == 0 ? "user" : "admin"; }

std::string hex(int value) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02x", value & 0xFF);
    return text;
}

}  // namespace

std::string summary(const Transaction& tx) {
    const auto code = static_cast<uint8_t>(tx.command);
    std::string what;
    if (tx.command >= 0 && (vokwire::isMemoryRead(code) || vokwire::isMemoryWrite(code)) &&
        tx.header) {
        what = std::string(vokwire::isMemoryRead(code) ? "read " : "wrote ") +
               std::to_string(tx.bytes) + " bytes at offset " + std::to_string(tx.wordOffset);
        if (tx.bytes != 2u * tx.wordCount) {
            what += " (of " + std::to_string(2u * tx.wordCount) + " asked)";
        }
    } else {
        what = commandText(tx);
        if (code == VOK_CMD_SET_PIN || code == VOK_CMD_INITIALIZE_BLOCK) {
            what += std::string(" ") + pinKindName(tx.pinKind) + " PIN";
        }
        if (tx.block != 0) what += " of block " + std::to_string(tx.block);
    }
    return what + ": " + statusText(tx);
}

std::string textLine(const Transaction& tx) {
    char where[32];
    (void)std::snprintf(where, sizeof where, "%u.%03u", tx.bus, tx.device);
    std::string line = std::string(where) + " " + commandText(tx);
    if (tx.command >= 0) line += " (" + hex(tx.command) + ")";
    line += tx.tag >= 0 ? " tag " + hex(tx.tag) : " no tag";
    line += " block " + std::to_string(tx.block) + " PIN " + pinKindName(tx.pinKind) + ": phases";
    for (const PhaseSeen& p : tx.phases) {
        line += ' ';
        line += p.phase == vokwire::kPhaseReset ? std::string("reset") : std::to_string(p.phase);
    }
    line += "; " + summary(tx);
    if (!tx.broke.empty()) line += "; broke: " + tx.broke;
    return line;
}

nlohmann::json jsonObject(const Transaction& tx) {
    nlohmann::json phases = nlohmann::json::array();
    for (const PhaseSeen& p : tx.phases) {
        nlohmann::json phase = {{"phase", p.phase}, {"packets", p.packets}, {"replies", p.replies}};
        phase["tag"] = p.tag >= 0 ? nlohmann::json(p.tag) : nlohmann::json(nullptr);
        phases.push_back(std::move(phase));
    }
    nlohmann::json object = {
        {"bus", tx.bus},
        {"device", tx.device},
        {"time", tx.time},
        {"command", commandText(tx)},
        {"code", tx.command >= 0 ? nlohmann::json(tx.command) : nlohmann::json(nullptr)},
        {"block", tx.block},
        {"pin_type", tx.pinKind},
        {"tag", tx.tag >= 0 ? nlohmann::json(tx.tag) : nlohmann::json(nullptr)},
        {"phases", std::move(phases)},
        {"transfers", tx.transfers},
        {"status", tx.status >= 0 ? nlohmann::json(tx.status) : nlohmann::json(nullptr)},
        {"token_status",
         tx.tokenStatus >= 0 ? nlohmann::json(tx.tokenStatus) : nlohmann::json(nullptr)},
        {"summary", summary(tx)},
        {"broke", tx.broke.empty() ? nlohmann::json(nullptr) : nlohmann::json(tx.broke)},
    };
    if (tx.header) {
        object["word_offset"] = tx.wordOffset;
        object["word_count"] = tx.wordCount;
        object["bytes"] = tx.bytes;
    }
    return object;
}

std::string packetLines(const Transaction& tx, bool showSecrets) {
    std::string out;
    int phase = vokwire::kPhaseOpen;
    for (const Transfer& t : tx.log) {
        const bool toToken = (t.setup[0] & 0x80) == 0;
        const std::vector<uint8_t>& bytes = toToken ? t.sent : t.received;
        if (toToken && !bytes.empty()) {
            phase = bytes[0] == vokwire::kResetMarker ? static_cast<int>(vokwire::kPhaseReset)
                                                      : bytes[0];
        }
        char head[64];
        (void)std::snprintf(head, sizeof head, "    %s wValue 0x%02x%s:", toToken ? "out" : "in ",
                            t.setup[2], t.status == 0 ? "" : " failed");
        out += head;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const bool masked =
                !showSecrets && tx.command >= 0 &&
                vokwire::maskedByte(static_cast<uint8_t>(tx.command), phase, toToken, i);
            char byte[4] = " **";
            if (!masked) (void)std::snprintf(byte, sizeof byte, " %02x", bytes[i]);
            out += byte;
        }
        out += '\n';
    }
    return out;
}

}  // namespace vokdecode
