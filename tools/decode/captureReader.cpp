#include "captureReader.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "usbmonRecord.h"

namespace vokdecode {
namespace {

bool isPcapMagic(const uint8_t* bytes, size_t size) {
    if (size < 4) return false;
    uint32_t magic = 0;
    std::memcpy(&magic, bytes, 4);
    const uint32_t swapped = __builtin_bswap32(magic);
    for (const uint32_t known : {vokpcap::kMagic, vokpcap::kMagicNanos, 0x0A0D0D0Au}) {
        if (magic == known || swapped == known) return true;
    }
    return false;
}

// The usbmon header of one record: fields in the reading host's order
// (libpcap swaps them for a capture taken on a host of the other order).
std::string eventFromRecord(const uint8_t* bytes, size_t captured, size_t headerSize,
                            UsbEvent& event) {
    if (captured < headerSize) return "a record is shorter than its usbmon header";
    vokpcap::UsbmonHeader header{};
    std::memcpy(&header, bytes, headerSize);
    event.urb = header.id;
    event.type = header.type;
    event.transferType = header.transferType;
    event.endpoint = header.endpoint;
    event.device = header.device;
    event.bus = header.bus;
    event.hasSetup = header.flagSetup == vokpcap::kSetupPresent;
    std::memcpy(event.setup, header.setup, sizeof event.setup);
    event.status = header.status;
    event.length = header.length;
    event.time = static_cast<double>(header.seconds) + header.micros / 1e6;
    // A lying length field is held to the bytes the record really has.
    size_t data = captured - headerSize;
    if (header.capturedLength < data) data = header.capturedLength;
    event.data.assign(bytes + headerSize, bytes + headerSize + data);
    return {};
}

std::string readPcap(pcap_t* pcap, const EventSink& sink) {
    const int linkType = pcap_datalink(pcap);
    size_t headerSize = 0;
    if (linkType == static_cast<int>(vokpcap::kLinkTypeUsbLinuxMmapped)) {
        headerSize = vokpcap::kUsbmonHeaderSize;
    } else if (linkType == static_cast<int>(vokpcap::kLinkTypeUsbLinux)) {
        headerSize = vokpcap::kUsbmonShortHeaderSize;
    } else {
        pcap_close(pcap);
        return "link type " + std::to_string(linkType) +
               " is not Linux USB (220 or 189): not a usbmon capture";
    }
    std::string problem;
    UsbEvent event;
    for (;;) {
        pcap_pkthdr* record = nullptr;
        const u_char* bytes = nullptr;
        const int got = pcap_next_ex(pcap, &record, &bytes);
        if (got == PCAP_ERROR_BREAK) break;
        if (got != 1) {
            problem = std::string("the capture ends in a broken record: ") + pcap_geterr(pcap);
            break;
        }
        problem = eventFromRecord(bytes, record->caplen, headerSize, event);
        if (!problem.empty()) break;
        sink(event);
    }
    pcap_close(pcap);
    return problem;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string& word, unsigned long& value) {
    if (word.empty() || word.size() > 16) return false;
    value = 0;
    for (const char c : word) {
        const int digit = hexDigit(c);
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

std::string readText(std::istream& in, const EventSink& sink) {
    std::string line;
    UsbEvent event;
    bool any = false;
    size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty()) continue;
        if (!parseUsbmonTextLine(line, event)) {
            if (!any) return "neither a pcap, a pcapng nor usbmon text";
            return "line " + std::to_string(lineNumber) + " is not usbmon text";
        }
        any = true;
        sink(event);
    }
    return any ? std::string() : "an empty capture";
}

}  // namespace

bool parseUsbmonTextLine(const std::string& line, UsbEvent& event) {
    // URB-tag time type address [s setup... | status] [length [< | > | = data...]]
    std::istringstream in(line);
    std::string tag, time, type, address;
    if (!(in >> tag >> time >> type >> address) || type.size() != 1) return false;
    unsigned long value = 0;
    if (!parseHex(tag, value)) return false;
    event = UsbEvent{};
    event.urb = value;
    event.type = static_cast<uint8_t>(type[0]);
    if (event.type != 'S' && event.type != 'C' && event.type != 'E') return false;
    char kind = 0, direction = 0;
    unsigned bus = 0, device = 0, endpoint = 0;
    if (std::sscanf(address.c_str(), "%c%c:%u:%u:%u", &kind, &direction, &bus, &device,
                    &endpoint) != 5 ||
        bus > 0xFFFF || device > 127 || endpoint > 15 || (direction != 'i' && direction != 'o')) {
        return false;
    }
    event.transferType = kind == 'C' ? 2 : kind == 'B' ? 3 : kind == 'I' ? 1 : 0;
    event.bus = static_cast<uint16_t>(bus);
    event.device = static_cast<uint8_t>(device);
    event.endpoint = static_cast<uint8_t>(endpoint | (direction == 'i' ? 0x80 : 0));
    event.time = std::strtod(time.c_str(), nullptr) / 1e6;
    std::string word;
    if (!(in >> word)) return false;
    if (word == "s") {
        event.hasSetup = true;
        const int widths[5] = {1, 1, 2, 2, 2};
        size_t at = 0;
        for (const int width : widths) {
            if (!(in >> word) || !parseHex(word, value)) return false;
            for (int b = 0; b < width; ++b)
                event.setup[at++] = static_cast<uint8_t>(value >> (8 * b));
        }
        event.status = vokpcap::kStatusInProgress;
    } else {
        char* end = nullptr;
        event.status = static_cast<int32_t>(std::strtol(word.c_str(), &end, 10));
        if (end == word.c_str()) return false;
    }
    if (!(in >> word)) return true;  // an error event ends here
    char* end = nullptr;
    event.length = static_cast<uint32_t>(std::strtoul(word.c_str(), &end, 10));
    if (end == word.c_str() || *end != '\0') return false;
    if (!(in >> word) || word != "=") return true;  // '<', '>' or nothing: no data
    while (in >> word) {
        if (word.size() % 2 != 0 || !parseHex(word.substr(0, 2), value)) return false;
        for (size_t i = 0; i < word.size(); i += 2) {
            if (!parseHex(word.substr(i, 2), value)) return false;
            event.data.push_back(static_cast<uint8_t>(value));
        }
    }
    return true;
}

std::string readCaptureFile(const std::string& path, const EventSink& sink) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "cannot open " + path + ": " + std::strerror(errno);
    uint8_t magic[4] = {};
    file.read(reinterpret_cast<char*>(magic), sizeof magic);
    const size_t got = static_cast<size_t>(file.gcount());
    if (isPcapMagic(magic, got)) {
        file.close();
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t* pcap = pcap_open_offline(path.c_str(), error);
        if (pcap == nullptr) return error;
        return readPcap(pcap, sink);
    }
    file.clear();
    file.seekg(0);
    return readText(file, sink);
}

std::string readCaptureBytes(const uint8_t* bytes, size_t size, const EventSink& sink) {
    if (isPcapMagic(bytes, size)) {
        FILE* memory = fmemopen(const_cast<uint8_t*>(bytes), size, "rb");
        if (memory == nullptr) return "cannot read the capture";
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t* pcap = pcap_fopen_offline(memory, error);  // closes `memory` with itself
        if (pcap == nullptr) {
            (void)std::fclose(memory);
            return error;
        }
        return readPcap(pcap, sink);
    }
    std::istringstream text(std::string(reinterpret_cast<const char*>(bytes), size));
    return readText(text, sink);
}

}  // namespace vokdecode
