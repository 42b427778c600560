// Turns the usbmon events of a capture into the token's transactions: pairs
// each submission with its completion, follows every device (bus, address)
// on its own, and walks each token's transfers through the phases as the
// library's transaction engine makes them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "usbEvent.h"

namespace vokdecode {

// One control transfer: its submission's setup and data, its completion's.
struct Transfer {
    uint16_t bus = 0;
    uint8_t device = 0;
    uint8_t setup[8] = {};
    std::vector<uint8_t> sent;      // to the device
    std::vector<uint8_t> received;  // from the device
    int32_t status = 0;             // the completion's; 0 is success
    uint32_t moved = 0;             // bytes the completion reports
    bool completed = false;
    double time = 0;
};

struct PhaseSeen {
    int phase = 0;  // -1: the reset exchange
    int tag = -1;   // the tag the phase's packets carried
    unsigned packets = 0;
    unsigned replies = 0;
};

struct Transaction {
    uint16_t bus = 0;
    uint8_t device = 0;
    double time = 0;
    int command = -1;  // -1: not seen (the capture began inside it)
    uint8_t block = 0;
    uint8_t pinKind = 0;
    int tag = -1;  // -1: phase 0 handed out none
    std::vector<PhaseSeen> phases;
    int tokenStatus = -1;  // the status byte of the reply that ended it
    int status = -1;       // the library's result; -1 unknown
    uint16_t wordOffset = 0;
    uint16_t wordCount = 0;
    bool header = false;  // the memory header was seen
    uint32_t bytes = 0;   // memory bytes moved
    std::string broke;    // where and how it broke; empty when it ran in order
    unsigned transfers = 0;
    // The packets and replies, for --packets.
    std::vector<Transfer> log;
};

using TransactionSink = std::function<void(const Transaction&)>;

class TokenDecoder {
  public:
    TokenDecoder(TransactionSink sink, bool keepTransfers);
    void feed(const UsbEvent& event);
    // Ends the capture: transactions still open broke because it ended.
    void finish();

  private:
    enum class Expect { kReply0, kPhaseReply, kReadLoop, kNothing };
    struct Device {
        std::optional<Transaction> open;
        Expect expect = Expect::kNothing;
        int phase = 0;            // the phase of the last packet sent
        bool recovering = false;  // in the reset exchange after a transport failure
        unsigned resetTransfers = 0;
        bool foreign = false;  // its descriptor names another device
    };
    using PendingKey = std::tuple<uint16_t, uint8_t, uint8_t, uint64_t>;

    void onTransfer(const Transfer& transfer);
    void onStandard(Device& device, const Transfer& transfer);
    void onPacket(Device& device, const Transfer& transfer);
    void onReply(Device& device, const Transfer& transfer);
    void begin(Device& device, const Transfer& transfer);
    void fail(Device& device, const std::string& why);
    void close(Device& device, int tokenStatus, int status);
    void closeBroken(Device& device, const std::string& why);
    // The capture ends inside a transfer of the open transaction.
    void endsEarly(Device& device, const std::string& why);
    PhaseSeen& phase(Transaction& transaction, int number);

    TransactionSink sink_;
    bool keepTransfers_;
    std::map<PendingKey, std::deque<Transfer>> pending_;
    std::map<std::pair<uint16_t, uint8_t>, Device> devices_;
};

// How a transfer's completion status reads: "stalled (-32)".
std::string transferStatusText(int32_t status);

}  // namespace vokdecode
