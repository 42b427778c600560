// vok-sim create: a virtual usbfs tree with tokens and foreign devices.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "common/tokenUsbId.h"
#include "support.h"
#include "voksim/voksim.h"

namespace voksimtool {

namespace {

struct CreateOptions {
    std::string directory;
    unsigned tokens = 1;
    unsigned foreign = 0;
    unsigned bus = 1;
    voksim::Identity identity;
    std::string tokenId;  // 16 hex digits; empty: the default
    uint16_t foreignVendor = 0x1D6B;
    uint16_t foreignProduct = 0x0002;
};

// The identity's fields as the command line takes them, wider than the
// record's, so that a range check can refuse what does not fit.
struct IdentityNumbers {
    unsigned model = 2, units = 16, level = 22, version = 0x12, flagA = 1, flagB = 0, info = 0;
    unsigned vendor = kVokVendorId, product = kVokProductId, bcd = 0x0100;
};

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

}  // namespace

void registerCreateCommand(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<CreateOptions>();
    auto id = std::make_shared<IdentityNumbers>();
    CLI::App* create = app.add_subcommand("create", "Create a virtual usbfs tree with tokens");
    create->add_option("DIR", options->directory, "Root of the tree (made if missing)")->required();
    create->add_option("--tokens", options->tokens, "Number of tokens")->capture_default_str();
    create->add_option("--foreign", options->foreign, "Number of devices that are not tokens")
        ->capture_default_str();
    create->add_option("--bus", options->bus, "Bus number of the devices")
        ->check(CLI::Range(1, 999))
        ->capture_default_str();
    create->add_option("--model", id->model, "Memory model: 0, 1 (16-byte units), 2 (256-byte)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--units", id->units, "Memory size in units")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--level", id->level, "Protocol level (21 and below: PIN in memory)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--version", id->version, "Version byte (two nibbles)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--flag-a", id->flagA, "Flag A")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    create->add_option("--flag-b", id->flagB, "Flag B")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    create->add_option("--info-byte", id->info, "Info byte")->check(CLI::Range(0, 255));
    create->add_option("--token-id", options->tokenId,
                       "Identifier of the first token, 16 hex digits (later tokens count up)");
    create->add_option("--vendor-id", id->vendor, "USB vendor ID of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create->add_option("--product-id", id->product, "USB product ID of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create->add_option("--bcd-device", id->bcd, "USB device revision of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create
        ->add_option("--foreign-vendor-id", options->foreignVendor,
                     "USB vendor ID of the devices that are not tokens")
        ->capture_default_str();
    create
        ->add_option("--foreign-product-id", options->foreignProduct,
                     "USB product ID of the devices that are not tokens")
        ->capture_default_str();
    table.add(create, [options, id] {
        voksim::Identity& identity = options->identity;
        identity.memoryModel = static_cast<uint8_t>(id->model);
        identity.memoryUnits = static_cast<uint8_t>(id->units);
        identity.protocolLevel = static_cast<uint8_t>(id->level);
        identity.versionNibbles = static_cast<uint8_t>(id->version);
        identity.flagA = id->flagA != 0;
        identity.flagB = id->flagB != 0;
        identity.infoByte = static_cast<uint8_t>(id->info);
        identity.idVendor = static_cast<uint16_t>(id->vendor);
        identity.idProduct = static_cast<uint16_t>(id->product);
        identity.bcdDevice = static_cast<uint16_t>(id->bcd);
        return runCreate(*options);
    });
}

}  // namespace voksimtool
