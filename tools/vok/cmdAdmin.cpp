// vok init, vok pin set, vok secparams get|set.
#include <cstdio>
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
#include "tokenLimits.h"

namespace vokcli {

namespace {

void printDone(bool json, const VokIdResponse& response, const std::string& text) {
    if (json) {
        printJson({{"response", toJson(response)}});
    } else {
        std::printf("%s\n", text.c_str());
    }
}

// ---- init ----------------------------------------------------------------

struct InitOptions {
    TokenChoice token;
    bool json = false;
    bool yes = false;
    bool pinUse = false;
    PinSource pin;
    PinSource newPin;
};

int runInit(const InitOptions& o) {
    if (!o.yes) failUsage("init erases the whole token; add --yes to go ahead");
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    std::optional<Secret> newPin = obtainNewPin(o.newPin, PinNeed::kOptional);
    if (o.pinUse && !newPin) {
        failUsage("--pin-use needs a first PIN (--new-pin-file, --new-pin-env or --ask-new-pin)");
    }
    Token token(o.token);
    VokIdResponse response{};
    requireOk("init", vokInitialize(token.handle(), pinData(pin), pinLength(pin), pinData(newPin),
                                    pinLength(newPin), o.pinUse, &response));
    std::string text = "token initialised";
    if (newPin) text += o.pinUse ? "; first PIN installed, PIN use on" : "; first PIN installed";
    printDone(o.json, response, text);
    return kExitOk;
}

// ---- pin set -------------------------------------------------------------

struct PinSetOptions {
    TokenChoice token;
    bool json = false;
    unsigned block = 1;
    std::string type = "user";
    PinSource pin;
    PinSource newPin;
};

int runPinSet(const PinSetOptions& o) {
    const bool admin = o.type == "admin";
    // Changing an admin PIN always takes the current one; a user PIN takes it
    // only when asked for, since a block without a PIN needs none.
    std::optional<Secret> pin = obtainPin(o.pin, admin ? PinNeed::kRequired : PinNeed::kOptional);
    std::optional<Secret> newPin = obtainNewPin(o.newPin, PinNeed::kRequired);
    Token token(o.token);
    VokIdResponse response{};
    requireOk("pin set", vokSetPin(token.handle(), admin ? VOK_PIN_ADMIN : VOK_PIN_USER,
                                   static_cast<BLOCK_ID>(o.block), pinData(pin), pinLength(pin),
                                   pinData(newPin), pinLength(newPin), &response));
    printDone(o.json, response, o.type + " PIN of block " + std::to_string(o.block) + " set");
    return kExitOk;
}

// ---- secparams -----------------------------------------------------------

struct SecParamsOptions {
    TokenChoice token;
    bool json = false;
    unsigned values[4] = {0, 0, 0, 0};
    PinSource pin;
};

void printParameters(bool json, const uint8_t (&p)[4], const VokIdResponse& response) {
    if (json) {
        printJson({{"secParameter1", p[0]},
                   {"secParameter2", p[1]},
                   {"secParameter3", p[2]},
                   {"secParameter4", p[3]},
                   {"response", toJson(response)}});
    } else {
        for (int i = 0; i < 4; ++i) std::printf("parameter %d  %u\n", i + 1, p[i]);
    }
}

int runSecParamsGet(const SecParamsOptions& o) {
    Token token(o.token);
    VokIdResponse response{};
    uint8_t p[4] = {0, 0, 0, 0};
    requireOk("secparams get",
              vokGetSecParameters(token.handle(), &p[0], &p[1], &p[2], &p[3], &response));
    printParameters(o.json, p, response);
    return kExitOk;
}

int runSecParamsSet(const SecParamsOptions& o) {
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kRequired);
    Token token(o.token);
    VokIdResponse response{};
    requireOk("secparams set", vokSetSecParameters(token.handle(), pinData(pin), pinLength(pin),
                                                   static_cast<uint8_t>(o.values[0]),
                                                   static_cast<uint8_t>(o.values[1]),
                                                   static_cast<uint8_t>(o.values[2]),
                                                   static_cast<uint8_t>(o.values[3]), &response));
    printDone(o.json, response, "security parameters set");
    return kExitOk;
}

void registerInit(CLI::App& app, CommandTable& table) {
    auto o = std::make_shared<InitOptions>();
    CLI::App* cmd = app.add_subcommand(
        "init", "Initialise the token (erases it) and optionally install a first PIN for block 1");
    addTokenOption(*cmd, o->token);
    addPinOptions(*cmd, o->pin, PinNeed::kOptional);
    addNewPinOptions(*cmd, o->newPin, PinNeed::kOptional);
    cmd->add_flag("--pin-use", o->pinUse, "Require the first PIN for memory access");
    cmd->add_flag("--yes", o->yes, "Confirm that the token may be erased");
    addJsonOption(*cmd, o->json);
    table.add(cmd, [o] { return runInit(*o); });
}

void registerPin(CLI::App& app, CommandTable& table) {
    CLI::App* pin = app.add_subcommand("pin", "PINs");
    pin->require_subcommand(1);
    auto o = std::make_shared<PinSetOptions>();
    CLI::App* set = pin->add_subcommand(
        "set", "Set a block's user or admin PIN (the current admin PIN is always asked for)");
    addTokenOption(*set, o->token);
    addBlockOption(*set, o->block)->description("Block, 1 to 4 (default 1)");
    set->add_option("--type", o->type, "Kind of PIN to set (default user)")
        ->check(CLI::IsMember({"user", "admin"}));
    addPinOptions(*set, o->pin, PinNeed::kOptional);
    addNewPinOptions(*set, o->newPin, PinNeed::kRequired);
    addJsonOption(*set, o->json);
    table.add(set, [o] { return runPinSet(*o); });
}

void registerSecParams(CLI::App& app, CommandTable& table) {
    CLI::App* group = app.add_subcommand("secparams", "The token's four security parameters");
    group->require_subcommand(1);

    auto getOptions = std::make_shared<SecParamsOptions>();
    CLI::App* get = group->add_subcommand("get", "Show the security parameters");
    addTokenOption(*get, getOptions->token);
    addJsonOption(*get, getOptions->json);
    table.add(get, [getOptions] { return runSecParamsGet(*getOptions); });

    auto setOptions = std::make_shared<SecParamsOptions>();
    CLI::App* set = group->add_subcommand("set", "Set the security parameters (needs the PIN)");
    for (int i = 0; i < 4; ++i) {
        const VokParameterRange range = kVokSecurityParameterRanges[i];
        std::string name = "P" + std::to_string(i + 1);
        addNumberOption(*set, name, setOptions->values[i], range.lowest, range.highest,
                        "Parameter " + std::to_string(i + 1) + ", " + std::to_string(range.lowest) +
                            " to " + std::to_string(range.highest))
            ->required();
    }
    addTokenOption(*set, setOptions->token);
    addPinOptions(*set, setOptions->pin, PinNeed::kRequired);
    addJsonOption(*set, setOptions->json);
    table.add(set, [setOptions] { return runSecParamsSet(*setOptions); });
}

}  // namespace

void registerAdminCommands(CLI::App& app, CommandTable& table) {
    registerInit(app, table);
    registerPin(app, table);
    registerSecParams(app, table);
}

}  // namespace vokcli
