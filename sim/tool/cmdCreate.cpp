#include <cstdio>

#include "simCommands.h"

namespace voksimtool {

namespace {

// Token n of a tree gets the base identifier plus n, so that every token of
// the tree has its own identifier.
void offsetTokenId(uint8_t* id, unsigned offset) {
    unsigned carry = offset;
    for (int i = 7; i >= 0 && carry; --i) {
        const unsigned sum = id[i] + (carry & 0xFFu);
        id[i] = static_cast<uint8_t>(sum);
        carry = (carry >> 8) + (sum >> 8);
    }
}

}  // namespace

int runCreate(const CreateOptions& options) {
    if (options.tokens + options.foreign + 1 > 999) return fail("too many devices for one bus");
    voksim::Identity identity = options.identity;
    if (!options.tokenId.empty() && !parseTokenId(options.tokenId, identity.tokenId)) {
        return fail("--token-id needs 16 hexadecimal digits");
    }
    unsigned device = 2;  // device 1 of a bus is its root hub
    for (unsigned n = 0; n < options.tokens; ++n, ++device) {
        voksim::Identity tokenIdentity = identity;
        offsetTokenId(tokenIdentity.tokenId, n);
        const std::string node =
            voksim::createToken(options.directory, options.bus, device, tokenIdentity);
        if (node.empty()) return fail("cannot create a token in " + options.directory);
        std::printf("token   %s\n", node.c_str());
    }
    for (unsigned n = 0; n < options.foreign; ++n, ++device) {
        const std::string node = voksim::createForeignDevice(
            options.directory, options.bus, device, options.foreignVendor, options.foreignProduct);
        if (node.empty()) return fail("cannot create a device in " + options.directory);
        std::printf("foreign %s\n", node.c_str());
    }
    return 0;
}

}  // namespace voksimtool
