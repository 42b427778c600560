// vok decode on any input: pcap, pcapng or usbmon text with wrong link
// types, truncated records, lying lengths and transfers in any order. The
// decoder must report, never crash, and every transaction must print.
#include <cstddef>
#include <cstdint>

#include "captureReader.h"
#include "tokenDecoder.h"
#include "transactionText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    size_t printed = 0;
    vokdecode::TokenDecoder decoder(
        [&](const vokdecode::Transaction& tx) {
            printed += vokdecode::textLine(tx).size() + vokdecode::jsonObject(tx).dump().size() +
                       vokdecode::packetLines(tx, false).size();
        },
        true);
    (void)vokdecode::readCaptureBytes(
        input, size, [&](const vokdecode::UsbEvent& event) { decoder.feed(event); });
    decoder.finish();
    return printed == SIZE_MAX ? 1 : 0;
}
