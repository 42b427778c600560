// vok decode: the token's transactions in a usbmon capture (pcap, pcapng or
// usbmon's text), one line or one JSON object each.
#include <iostream>
#include <memory>
#include <string>

#include "captureReader.h"
#include "commands.h"
#include "failure.h"
#include "tokenDecoder.h"
#include "transactionText.h"

namespace vokcli {

namespace {

struct DecodeOptions {
    std::string file;
    bool json = false;
    bool packets = false;
    bool showPins = false;
};

int runDecode(const DecodeOptions& o) {
    size_t count = 0;
    vokdecode::TokenDecoder decoder(
        [&](const vokdecode::Transaction& tx) {
            ++count;
            if (o.json) {
                std::cout << vokdecode::jsonObject(tx).dump() << '\n';
                return;
            }
            std::cout << vokdecode::textLine(tx) << '\n';
            if (o.packets) std::cout << vokdecode::packetLines(tx, o.showPins);
        },
        o.packets);
    const std::string problem = vokdecode::readCaptureFile(
        o.file, [&](const vokdecode::UsbEvent& event) { decoder.feed(event); });
    if (count == 0 && !problem.empty()) failUsage(o.file + ": " + problem);
    decoder.finish();
    if (!problem.empty()) {
        std::cout.flush();
        throw Failure{kExitFailed, o.file + ": " + problem};
    }
    return kExitOk;
}

}  // namespace

void registerDecodeCommand(CLI::App& app, CommandTable& table) {
    auto o = std::make_shared<DecodeOptions>();
    CLI::App* cmd = app.add_subcommand(
        "decode", "Show the token's transactions in a usbmon capture (pcap, pcapng or text)");
    cmd->add_option("FILE", o->file,
                    "The capture: tcpdump -i usbmonN, vok --capture, or usbmon text")
        ->required();
    cmd->add_flag("--json", o->json, "One JSON object a line per transaction");
    cmd->add_flag("--packets", o->packets,
                  "Each packet and reply too, PIN and memory bytes masked");
    cmd->add_flag("--show-pins", o->showPins, "With --packets: PIN and memory bytes unmasked");
    table.add(cmd, [o] { return runDecode(*o); });
}

}  // namespace vokcli
