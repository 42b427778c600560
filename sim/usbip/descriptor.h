// A descriptor that closes itself when it goes out of scope.
#pragma once

#include <unistd.h>

namespace voksim::usbip {

struct Descriptor {
    explicit Descriptor(int descriptor = -1) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

}  // namespace voksim::usbip
