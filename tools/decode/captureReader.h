// Reads the usbmon events of a capture: pcap or pcapng of link type 220
// (64-byte usbmon header) or 189 (48-byte header), through libpcap, or the
// text that usbmon's debugfs files give (/sys/kernel/debug/usb/usbmon/Nu).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "usbEvent.h"

namespace vokdecode {

using EventSink = std::function<void(const UsbEvent&)>;

// Hands every event of the file at `path` to `sink`, in order. Returns what
// stopped the reading (a file that is no capture, a foreign link type, a
// truncated record), or an empty string when the whole file was read.
std::string readCaptureFile(const std::string& path, const EventSink& sink);
// The same for a capture held in memory.
std::string readCaptureBytes(const uint8_t* bytes, size_t size, const EventSink& sink);

// One line of usbmon's text form as an event; false for a line that is not
// one (a comment, an isochronous detail).
bool parseUsbmonTextLine(const std::string& line, UsbEvent& event);

}  // namespace vokdecode
