// vok block init|provision|vendor-id|attr|lock|pin-use.
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "commonOptions.h"
#include "failure.h"
#include "jsonViews.h"
#include "numbers.h"
#include "pinInput.h"
#include "token.h"

namespace vokcli {

namespace {

struct BlockOptions {
    TokenChoice token;
    bool json = false;
    unsigned block = 0;
    bool yes = false;
    std::string pinType = "user";
    uint32_t vendorId = 0;
    CLI::Option* setOption = nullptr;  // vendor-id --set, attr --set-permissions
    std::string permissions;
    bool unlock = false;
    bool on = false;
    bool off = false;
    std::string setBy = "user";
    PinSource pin;
    PinSource newPin;
};

const std::map<std::string, RW_PERMISSIONS> kPermissions = {{"none", VOK_RW_NONE},
                                                            {"read", VOK_RW_READ},
                                                            {"write", VOK_RW_WRITE},
                                                            {"read-write", VOK_RW_READ_WRITE}};
const std::map<std::string, PIN_SET_PERMISSIONS> kSetBy = {
    {"user", VOK_PIN_SET_BY_USER}, {"admin", VOK_PIN_SET_BY_ADMIN}, {"never", VOK_PIN_SET_NEVER}};

BLOCK_ID blockOf(const BlockOptions& o) { return static_cast<BLOCK_ID>(o.block); }
TYPE_PIN pinTypeOf(const BlockOptions& o) {
    return o.pinType == "admin" ? VOK_PIN_ADMIN : VOK_PIN_USER;
}
std::string blockText(const BlockOptions& o) { return "block " + std::to_string(o.block); }

std::string hex16(uint16_t value) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

bool pinGiven(const PinSource& pin) { return !pin.file.empty() || !pin.envName.empty() || pin.ask; }

void printDone(const BlockOptions& o, const VokIdResponse& response, const std::string& text) {
    if (o.json) {
        printJson({{"block", o.block}, {"response", toJson(response)}});
    } else {
        std::printf("%s\n", text.c_str());
    }
}

int runInit(const BlockOptions& o) {
    if (!o.yes) failUsage("block init erases " + blockText(o) + "; add --yes to go ahead");
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    Token token(o.token);
    VokIdResponse response{};
    requireOk("block init",
              vokInitializeBlock(token.handle(), pinTypeOf(o), blockOf(o), pinData(pin),
                                 pinLength(pin), nullptr, 0, 0, false, &response));
    printDone(o, response, blockText(o) + " initialised");
    return kExitOk;
}

int runProvision(const BlockOptions& o) {
    if (!o.yes) failUsage("block provision erases " + blockText(o) + "; add --yes to go ahead");
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    std::optional<Secret> newPin = obtainNewPin(o.newPin, PinNeed::kRequired);
    Token token(o.token);
    VokIdResponse response{};
    // Four transactions; a failure part-way leaves the earlier steps done.
    requireOk("block provision",
              vokInitializeBlock(token.handle(), pinTypeOf(o), blockOf(o), pinData(pin),
                                 pinLength(pin), pinData(newPin), pinLength(newPin),
                                 static_cast<uint16_t>(o.vendorId), true, &response));
    printDone(o, response,
              blockText(o) + " provisioned: vendor ID " + hex16(static_cast<uint16_t>(o.vendorId)) +
                  ", PIN set, PIN use on");
    return kExitOk;
}

int runVendorId(const BlockOptions& o) {
    const bool set = o.setOption->count() > 0;
    if (!set && pinGiven(o.pin)) failUsage("a PIN is used only with --set");
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    Token token(o.token);
    VokIdResponse response{};
    if (set) {
        requireOk("block vendor-id",
                  vokSetVendorId(token.handle(), blockOf(o), pinData(pin), pinLength(pin),
                                 static_cast<uint16_t>(o.vendorId), &response));
        printDone(o, response,
                  blockText(o) + " vendor ID set to " + hex16(static_cast<uint16_t>(o.vendorId)));
        return kExitOk;
    }
    uint16_t vendorId = 0;
    requireOk("block vendor-id", vokGetVendorId(token.handle(), blockOf(o), &vendorId, &response));
    if (o.json) {
        printJson({{"block", o.block}, {"vendorId", vendorId}, {"response", toJson(response)}});
    } else {
        std::printf("%s\n", hex16(vendorId).c_str());
    }
    return kExitOk;
}

int runAttr(const BlockOptions& o) {
    const bool set = o.setOption->count() > 0;
    if (!set && pinGiven(o.pin)) failUsage("a PIN is used only with --set-permissions");
    std::optional<Secret> pin = obtainPin(o.pin, set ? PinNeed::kRequired : PinNeed::kOptional);
    Token token(o.token);
    VokIdResponse response{};
    uint16_t attributes = 0;
    uint32_t status =
        set ? vokSetBlockAttr(token.handle(), blockOf(o), pinData(pin), pinLength(pin),
                              kPermissions.at(o.permissions), &attributes, &response)
            : vokGetBlockAttr(token.handle(), blockOf(o), &attributes, &response);
    requireOk("block attr", status);
    if (o.json) {
        printJson({{"block", o.block}, {"attributes", attributes}, {"response", toJson(response)}});
    } else {
        std::printf("%s\n", hex16(attributes).c_str());
    }
    return kExitOk;
}

int runLock(const BlockOptions& o) {
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kRequired);
    Token token(o.token);
    VokIdResponse response{};
    requireOk("block lock",
              vokLockBlock(token.handle(), blockOf(o), pinData(pin), pinLength(pin),
                           o.unlock ? VOK_ACCESS_UNLOCKED : VOK_ACCESS_LOCKED, &response));
    printDone(o, response, blockText(o) + (o.unlock ? " unlocked" : " locked"));
    return kExitOk;
}

int runPinUse(const BlockOptions& o) {
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    Token token(o.token);
    VokIdResponse response{};
    requireOk(
        "block pin-use",
        vokSetBlockPinUse(token.handle(), blockOf(o), pinData(pin), pinLength(pin),
                          o.on ? VOK_PIN_USE_ON : VOK_PIN_USE_OFF, kSetBy.at(o.setBy), &response));
    printDone(o, response,
              blockText(o) + ": PIN use " + (o.on ? "on" : "off") + ", PIN set by " + o.setBy);
    return kExitOk;
}

// A block subcommand with the options that all of them take.
CLI::App* addBlockCommand(CLI::App& group, const char* name, const char* description,
                          BlockOptions& o) {
    CLI::App* cmd = group.add_subcommand(name, description);
    addTokenOption(*cmd, o.token);
    addBlockOption(*cmd, o.block)->required();
    addJsonOption(*cmd, o.json);
    return cmd;
}

void addPinTypeOption(CLI::App& cmd, BlockOptions& o) {
    cmd.add_option("--pin-type", o.pinType, "Kind of the PIN presented (default user)")
        ->check(CLI::IsMember({"user", "admin"}));
}

}  // namespace

void registerBlockCommands(CLI::App& app, CommandTable& table) {
    CLI::App* group = app.add_subcommand("block",
                                         "Blocks: initialise, provision, vendor ID, "
                                         "attributes, lock, PIN use");
    group->require_subcommand(1);

    auto init = std::make_shared<BlockOptions>();
    CLI::App* cmd = addBlockCommand(*group, "init", "Initialise a block (erases it)", *init);
    addPinTypeOption(*cmd, *init);
    addPinOptions(*cmd, init->pin, PinNeed::kOptional);
    cmd->add_flag("--yes", init->yes, "Confirm that the block may be erased");
    table.add(cmd, [init] { return runInit(*init); });

    auto provision = std::make_shared<BlockOptions>();
    cmd = addBlockCommand(*group, "provision",
                          "Initialise a block and give it a vendor ID, a PIN and PIN use",
                          *provision);
    addNumberOption(*cmd, "--vendor-id", provision->vendorId, 0, 0xFFFE, "Vendor ID, 0 to 0xfffe")
        ->required();
    addPinTypeOption(*cmd, *provision);
    addPinOptions(*cmd, provision->pin, PinNeed::kOptional);
    addNewPinOptions(*cmd, provision->newPin, PinNeed::kRequired);
    cmd->add_flag("--yes", provision->yes, "Confirm that the block may be erased");
    table.add(cmd, [provision] { return runProvision(*provision); });

    auto vendor = std::make_shared<BlockOptions>();
    cmd = addBlockCommand(*group, "vendor-id", "Show or set a block's vendor ID", *vendor);
    vendor->setOption = addNumberOption(*cmd, "--set", vendor->vendorId, 0, 0xFFFE,
                                        "Set the vendor ID, 0 to 0xfffe");
    addPinOptions(*cmd, vendor->pin, PinNeed::kOptional);
    table.add(cmd, [vendor] { return runVendorId(*vendor); });

    auto attr = std::make_shared<BlockOptions>();
    cmd = addBlockCommand(*group, "attr",
                          "Show a block's attribute word, or set its read/write permissions "
                          "(needs the PIN)",
                          *attr);
    attr->setOption =
        cmd->add_option("--set-permissions", attr->permissions, "Set the read/write permissions")
            ->check(CLI::IsMember({"none", "read", "write", "read-write"}));
    addPinOptions(*cmd, attr->pin, PinNeed::kOptional);
    table.add(cmd, [attr] { return runAttr(*attr); });

    auto lock = std::make_shared<BlockOptions>();
    cmd = addBlockCommand(*group, "lock", "Lock a block, or unlock it (needs the PIN)", *lock);
    cmd->add_flag("--unlock", lock->unlock, "Unlock instead of lock");
    addPinOptions(*cmd, lock->pin, PinNeed::kRequired);
    table.add(cmd, [lock] { return runLock(*lock); });

    auto pinUse = std::make_shared<BlockOptions>();
    cmd =
        addBlockCommand(*group, "pin-use",
                        "Turn a block's PIN use on or off and say who may change its PIN", *pinUse);
    auto* on = cmd->add_flag("--on", pinUse->on, "Memory access needs the block's PIN");
    auto* off = cmd->add_flag("--off", pinUse->off, "Memory access needs no PIN");
    on->excludes(off);
    cmd->add_option("--set-by", pinUse->setBy, "Who may change the user PIN (default user)")
        ->check(CLI::IsMember({"user", "admin", "never"}));
    addPinOptions(*cmd, pinUse->pin, PinNeed::kOptional);
    table.add(cmd, [pinUse] {
        if (!pinUse->on && !pinUse->off) failUsage("block pin-use: give --on or --off");
        return runPinUse(*pinUse);
    });
}

}  // namespace vokcli
