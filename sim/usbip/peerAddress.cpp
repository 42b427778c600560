#include "usbip/peerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace voksim::usbip {
namespace {

constexpr unsigned kIpv4NetworkBits = 24;
constexpr unsigned kIpv6NetworkBits = 64;

std::string text(int family, const void* address) {
    char shown[INET6_ADDRSTRLEN] = "?";
    (void)inet_ntop(family, address, shown, sizeof shown);
    return shown;
}

Peer ipv4Peer(in_addr address, uint16_t port, const std::string& portText) {
    Peer peer;
    peer.address = text(AF_INET, &address);
    peer.text = portText.empty() ? peer.address + ":" + std::to_string(port) : portText;
    in_addr network{};
    network.s_addr = htonl(ntohl(address.s_addr) & ~((1u << (32 - kIpv4NetworkBits)) - 1));
    peer.network = text(AF_INET, &network) + "/" + std::to_string(kIpv4NetworkBits);
    return peer;
}

}  // namespace

Peer describePeer(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return ipv4Peer(v4.sin_addr, ntohs(v4.sin_port), {});
    }
    if (address.ss_family != AF_INET6) return Peer{"?", "?", "?"};
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    std::string shown = "[";
    shown += text(AF_INET6, &v6.sin6_addr);
    shown += "]:";
    shown += std::to_string(ntohs(v6.sin6_port));
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        in_addr v4{};
        std::memcpy(&v4, v6.sin6_addr.s6_addr + 12, sizeof v4);
        return ipv4Peer(v4, 0, shown);
    }
    Peer peer;
    peer.text = shown;
    peer.address = text(AF_INET6, &v6.sin6_addr);
    in6_addr network = v6.sin6_addr;
    std::memset(network.s6_addr + kIpv6NetworkBits / 8, 0, 16 - kIpv6NetworkBits / 8);
    peer.network = text(AF_INET6, &network) + "/" + std::to_string(kIpv6NetworkBits);
    return peer;
}

}  // namespace voksim::usbip
