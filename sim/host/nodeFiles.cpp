#include "host/nodeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace voksim {

static void putLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void buildDescriptor(uint8_t* out, uint16_t idVendor, uint16_t idProduct, uint16_t bcdDevice) {
    out[0] = 18;  // bLength
    out[1] = 1;   // bDescriptorType: device
    putLe16(out + 2, 0x0200);
    out[4] = 0xFF;  // vendor-specific class
    out[5] = 0;
    out[6] = 0;
    out[7] = 8;  // bMaxPacketSize0
    putLe16(out + 8, idVendor);
    putLe16(out + 10, idProduct);
    putLe16(out + 12, bcdDevice);
    out[14] = 1;  // iManufacturer
    out[15] = 2;  // iProduct
    out[16] = 0;  // iSerialNumber
    out[17] = 1;  // bNumConfigurations
}

void buildTokenNode(uint8_t* out, const TokenIdentity& identity, uint32_t generation) {
    std::memset(out, 0, kTokenNodeSize);
    buildDescriptor(out, identity.idVendor, identity.idProduct, identity.bcdDevice);
    std::memcpy(out + kMarkerOffset, kNodeMarker, sizeof kNodeMarker);
    for (unsigned i = 0; i < 4; ++i) {
        out[kGenerationOffset + i] = static_cast<uint8_t>(generation >> (8 * i));
    }
}

bool parseTokenNode(const uint8_t* bytes, size_t length, uint32_t& generation) {
    if (length < kTokenNodeSize || bytes[0] != 18 || bytes[1] != 1 ||
        std::memcmp(bytes + kMarkerOffset, kNodeMarker, sizeof kNodeMarker) != 0) {
        return false;
    }
    generation = 0;
    for (unsigned i = 0; i < 4; ++i) {
        generation |= static_cast<uint32_t>(bytes[kGenerationOffset + i]) << (8 * i);
    }
    return true;
}

std::string siblingPath(const std::string& node, const char* suffix) {
    const size_t slash = node.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : node.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? node : node.substr(slash + 1);
    return dir + "." + name + suffix;
}

bool writeFileAtomically(const std::string& path, const void* bytes, size_t length) {
    const std::string temporary = siblingPath(path, ".new");
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const auto* cursor = static_cast<const uint8_t*>(bytes);
    size_t left = length;
    while (left > 0) {
        const ssize_t written = write(fd, cursor, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        cursor += written;
        left -= static_cast<size_t>(written);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace voksim
