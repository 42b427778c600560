#include "tokenDecoder.h"

#include <cstring>
#include <utility>

#include "tokenUsbId.h"
#include "usbmonRecord.h"
#include "wireFacts.h"

namespace vokdecode {
namespace {

constexpr uint8_t kStandardTypeMask = 0x60;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kDescriptorDevice = 1;
constexpr int kStatusTransferFailed = 5;
constexpr int kStatusNoWords = 3;
constexpr int kStatusUnknownMemoryModel = 7;
constexpr uint8_t kHighestMemoryModel = 2;

uint16_t word(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

int lastPhaseOf(int command) {
    const auto code = static_cast<uint8_t>(command);
    if (vokwire::endsAfterPhase0(code)) return vokwire::kPhaseOpen;
    if (vokwire::isMemoryRead(code)) return vokwire::kPhaseMemoryHeader;
    if (vokwire::isMemoryWrite(code)) return vokwire::kPhaseWords;
    if (code == VOK_CMD_SET_PIN) return vokwire::kPhaseNewPin;
    if (vokwire::sendsParameters(code)) return vokwire::kPhaseParameter;
    return vokwire::kPhaseTokenId;
}

std::string hexByte(int value) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02x", value & 0xFF);
    return text;
}

bool transferred(const Transfer& t) {
    return t.completed && t.status == 0 && t.moved == word(t.setup + 6);
}

// Why `t`, named `what`, did not move its bytes.
std::string failureText(const Transfer& t, const std::string& what) {
    if (!t.completed) return "the capture ends before " + what + " completed";
    if (t.status != 0) return what + " " + transferStatusText(t.status);
    return what + " was short: " + std::to_string(t.moved) + " of " +
           std::to_string(word(t.setup + 6)) + " bytes";
}

std::string phaseName(int phase) {
    return phase == vokwire::kPhaseReset ? "the reset exchange" : "phase " + std::to_string(phase);
}

}  // namespace

std::string transferStatusText(int32_t status) {
    switch (status) {
        case 0:
            return "completed";
        case -32:
            return "stalled (-32)";
        case -121:
            return "stalled (-121, as QEMU reports a stall)";
        case -110:
        case -2:
            return "timed out (" + std::to_string(status) + ")";
        case -19:
        case -108:
            return "failed: the device was gone (" + std::to_string(status) + ")";
        case -71:
            return "failed: protocol error (-71)";
        default:
            return "failed (" + std::to_string(status) + ")";
    }
}

TokenDecoder::TokenDecoder(TransactionSink sink, bool keepTransfers)
    : sink_(std::move(sink)), keepTransfers_(keepTransfers) {}

void TokenDecoder::feed(const UsbEvent& event) {
    if (event.transferType != vokpcap::kTransferControl || (event.endpoint & 0x7F) != 0) return;
    const PendingKey key{event.bus, event.device, event.endpoint, event.urb};
    if (event.type == vokpcap::kEventSubmit) {
        Transfer t;
        t.bus = event.bus;
        t.device = event.device;
        std::memcpy(t.setup, event.setup, sizeof t.setup);
        if ((t.setup[0] & 0x80) == 0) t.sent = event.data;
        t.time = event.time;
        pending_[key].push_back(std::move(t));
        return;
    }
    auto found = pending_.find(key);
    if (found == pending_.end() || found->second.empty()) return;  // submitted before the capture
    Transfer t = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) pending_.erase(found);
    t.completed = true;
    t.status = event.status;
    t.moved = event.type == vokpcap::kEventError ? 0 : event.length;
    if ((t.setup[0] & 0x80) != 0) t.received = event.data;
    onTransfer(t);
}

void TokenDecoder::finish() {
    for (auto& [key, transfers] : pending_) {
        for (const Transfer& t : transfers) onTransfer(t);
    }
    pending_.clear();
    for (auto& [address, device] : devices_) {
        if (device.open) closeBroken(device, "the capture ends before the transaction does");
    }
}

void TokenDecoder::onTransfer(const Transfer& t) {
    Device& device = devices_[{t.bus, t.device}];
    if ((t.setup[0] & kStandardTypeMask) == 0) {
        onStandard(device, t);
    } else if (!device.foreign && t.setup[1] == vokwire::kRequest) {
        if (t.setup[0] == vokwire::kRequestTypeToToken) onPacket(device, t);
        if (t.setup[0] == vokwire::kRequestTypeFromToken) onReply(device, t);
    }
}

void TokenDecoder::onStandard(Device& device, const Transfer& t) {
    const bool deviceDescriptor =
        t.setup[0] == 0x80 && t.setup[1] == kGetDescriptor && t.setup[3] == kDescriptorDevice;
    if (deviceDescriptor && t.received.size() >= vokpcap::kDescriptorVendor + 2) {
        device.foreign = word(t.received.data() + vokpcap::kDescriptorVendor) != kVokVendorId;
    }
    if ((deviceDescriptor || t.setup[1] == kSetAddress) && device.open && !device.recovering) {
        closeBroken(device, "the device was reset in the middle (its descriptor was read again)");
    }
}

void TokenDecoder::begin(Device& device, const Transfer& t) {
    Transaction tx;
    tx.bus = t.bus;
    tx.device = t.device;
    tx.time = t.time;
    if (t.sent.size() > vokwire::kPacketBlockByte) {
        tx.command = t.sent[vokwire::kPacketCommand];
        tx.block = t.sent[vokwire::kPacketBlockByte] & 0x7F;
        tx.pinKind = t.sent[vokwire::kPacketBlockByte] >> 7;
    }
    device.open = std::move(tx);
    device.expect = Expect::kReply0;
    device.phase = vokwire::kPhaseOpen;
    device.recovering = false;
    device.resetTransfers = 0;
}

PhaseSeen& TokenDecoder::phase(Transaction& tx, int number) {
    if (tx.phases.empty() || tx.phases.back().phase != number) {
        tx.phases.push_back(PhaseSeen{number, number <= 0 ? -1 : tx.tag, 0, 0});
    }
    return tx.phases.back();
}

void TokenDecoder::onPacket(Device& device, const Transfer& t) {
    if (t.sent.empty()) return;  // the capture kept no data
    const uint8_t number = t.sent[vokwire::kPacketPhase];
    if (number == vokwire::kPhaseOpen) {
        if (device.open && !device.recovering) {
            closeBroken(device, "a new transaction began before it ended");
        } else if (device.open) {
            close(device, device.open->tokenStatus, device.open->status);
        }
        begin(device, t);
    }
    if (!device.open) return;  // the capture began inside a transaction
    Transaction& tx = *device.open;
    ++tx.transfers;
    if (keepTransfers_) tx.log.push_back(t);
    if (number == vokwire::kResetMarker || device.recovering) {
        if (!device.recovering) fail(device, "the host began the reset exchange");
        ++phase(tx, vokwire::kPhaseReset).packets;
        if (++device.resetTransfers >= 3) close(device, tx.tokenStatus, tx.status);
        return;
    }
    if (number > vokwire::kPhaseNewPin) {
        if (tx.broke.empty()) tx.broke = "a packet of no phase (" + hexByte(number) + ")";
        return;
    }
    PhaseSeen& seen = phase(tx, number);
    ++seen.packets;
    if (number != vokwire::kPhaseOpen && t.sent.size() > vokwire::kPacketTag) {
        seen.tag = t.sent[vokwire::kPacketTag];
        if (seen.tag != tx.tag && tx.broke.empty()) {
            tx.broke = "a phase-" + std::to_string(number) + " packet carries tag " +
                       hexByte(seen.tag) + ", not the transaction's " + hexByte(tx.tag);
        }
    }
    device.phase = number;
    if (!t.completed) return endsEarly(device, failureText(t, "a packet of " + phaseName(number)));
    if (!transferred(t)) {
        fail(device, failureText(t, "a packet of " + phaseName(number)));
        return;
    }
    const auto code = static_cast<uint8_t>(tx.command);
    if (number == vokwire::kPhaseMemoryHeader && t.sent.size() >= 6) {
        tx.header = true;
        tx.wordOffset = word(t.sent.data() + 2);
        tx.wordCount = word(t.sent.data() + 4);
        if (vokwire::isMemoryWrite(code)) {
            device.expect = Expect::kNothing;
        } else if (tx.wordCount == 0) {
            close(device, -1, kStatusNoWords);
        } else {
            device.expect = Expect::kReadLoop;
        }
    } else if (number == vokwire::kPhaseWords) {
        const uint32_t most = 2u * tx.wordCount;
        tx.bytes = tx.bytes + 4 > most ? most : tx.bytes + 4;
        device.expect = Expect::kPhaseReply;
    } else if (number != vokwire::kPhaseOpen) {
        device.expect = Expect::kPhaseReply;
    }
}

void TokenDecoder::onReply(Device& device, const Transfer& t) {
    if (!device.open) return;
    Transaction& tx = *device.open;
    ++tx.transfers;
    if (keepTransfers_) tx.log.push_back(t);
    if (device.recovering) {
        ++phase(tx, vokwire::kPhaseReset).replies;
        if (++device.resetTransfers >= 3) close(device, tx.tokenStatus, tx.status);
        return;
    }
    const int number = device.expect == Expect::kReply0 ? vokwire::kPhaseOpen : device.phase;
    PhaseSeen& seen = phase(tx, number);
    ++seen.replies;
    const std::string what = "the reply of " + phaseName(number);
    if (!t.completed) return endsEarly(device, failureText(t, what));
    if (!transferred(t)) return fail(device, failureText(t, what));
    const std::vector<uint8_t>& r = t.received;
    if (r.size() <= vokwire::kReplyTag) return fail(device, what + " was not captured whole");
    const int status = r[vokwire::kReplyStatus];
    if (device.expect == Expect::kReply0) {
        if (status != 0) return close(device, status, status);
        if (r.size() > 4 && r[4] > kHighestMemoryModel) {
            return close(device, status, kStatusUnknownMemoryModel);
        }
        tx.tag = seen.tag = r[vokwire::kReplyTag];
        if (vokwire::endsAfterPhase0(static_cast<uint8_t>(tx.command))) return close(device, 0, 0);
        device.expect = Expect::kNothing;
        return;
    }
    if (r[vokwire::kReplyTag] != tx.tag) {
        return fail(device, what + " echoed " + hexByte(r[vokwire::kReplyTag]) + ", not the tag " +
                                hexByte(tx.tag) + ": a missing echo");
    }
    if (status != 0) return close(device, status, status);
    if (device.expect == Expect::kReadLoop) {
        const uint32_t most = 2u * tx.wordCount;
        tx.bytes = tx.bytes + 4 > most ? most : tx.bytes + 4;
        if (seen.replies >= (tx.wordCount + 1u) / 2) close(device, 0, 0);
        return;
    }
    if (number == lastPhaseOf(tx.command)) return close(device, 0, 0);
    device.expect = Expect::kNothing;
}

void TokenDecoder::fail(Device& device, const std::string& why) {
    Transaction& tx = *device.open;
    if (tx.broke.empty()) tx.broke = why;
    // The library counts a lost initialise as completed; every other
    // command fails with 5. Then the reset exchange follows.
    tx.status = tx.command == VOK_CMD_INITIALIZE ? 0 : kStatusTransferFailed;
    device.recovering = true;
    device.resetTransfers = 0;
}

void TokenDecoder::close(Device& device, int tokenStatus, int status) {
    Transaction& tx = *device.open;
    tx.tokenStatus = tokenStatus;
    tx.status = status;
    if (device.recovering && device.resetTransfers < 3) {
        tx.broke += "; the reset exchange was cut short";
    }
    sink_(tx);
    device.open.reset();
    device.expect = Expect::kNothing;
    device.recovering = false;
}

void TokenDecoder::endsEarly(Device& device, const std::string& why) {
    device.open->status = -1;  // what the library made of it is not in the capture
    device.recovering = false;
    closeBroken(device, why);
}

void TokenDecoder::closeBroken(Device& device, const std::string& why) {
    Transaction& tx = *device.open;
    tx.broke = tx.broke.empty() ? why : tx.broke + "; " + why;
    close(device, tx.tokenStatus, tx.status);
}

}  // namespace vokdecode
