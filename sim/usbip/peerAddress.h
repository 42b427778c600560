// Who a connection comes from, as the export server's log shows it and its
// limits count it: one host may hold many addresses of one network, so the
// network counts as well as the address.
#pragma once

#include <sys/socket.h>

#include <string>

namespace voksim::usbip {

struct Peer {
    std::string text;     // "ADDR:PORT" or "[ADDR]:PORT"
    std::string address;  // the address alone; an IPv4-mapped IPv6 address as IPv4
    std::string network;  // its /24 (IPv4) or /64 (IPv6), as "ADDR/BITS"
};

Peer describePeer(const sockaddr_storage& address);

}  // namespace voksim::usbip
