// vok-sim: virtual usbfs trees of virtual tokens, for development and tests.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/tokenUsbId.h"
#include "simCommands.h"

using namespace voksimtool;

namespace {

struct IdentityNumbers {
    unsigned model = 2, units = 16, level = 22, version = 0x12, flagA = 1, flagB = 0, info = 0;
    unsigned vendor = kVokVendorId, product = kVokProductId, bcd = 0x0100;
};

void addCreate(CLI::App& app, CreateOptions& options, IdentityNumbers& id) {
    CLI::App* create = app.add_subcommand("create", "Create a virtual usbfs tree with tokens");
    create->add_option("DIR", options.directory, "Root of the tree (made if missing)")->required();
    create->add_option("--tokens", options.tokens, "Number of tokens")->capture_default_str();
    create->add_option("--foreign", options.foreign, "Number of devices that are not tokens")
        ->capture_default_str();
    create->add_option("--bus", options.bus, "Bus number of the devices")
        ->check(CLI::Range(1, 999))
        ->capture_default_str();
    create->add_option("--model", id.model, "Memory model: 0, 1 (16-byte units), 2 (256-byte)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--units", id.units, "Memory size in units")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--level", id.level, "Protocol level (21 and below: PIN in memory)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--version", id.version, "Version byte (two nibbles)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    create->add_option("--flag-a", id.flagA, "Flag A")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    create->add_option("--flag-b", id.flagB, "Flag B")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    create->add_option("--info-byte", id.info, "Info byte")->check(CLI::Range(0, 255));
    create->add_option("--token-id", options.tokenId,
                       "Identifier of the first token, 16 hex digits (later tokens count up)");
    create->add_option("--vendor-id", id.vendor, "USB vendor ID of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create->add_option("--product-id", id.product, "USB product ID of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create->add_option("--bcd-device", id.bcd, "USB device revision of the tokens")
        ->check(CLI::Range(0, 0xFFFF));
    create
        ->add_option("--foreign-vendor-id", options.foreignVendor,
                     "USB vendor ID of the devices that are not tokens")
        ->capture_default_str();
    create
        ->add_option("--foreign-product-id", options.foreignProduct,
                     "USB product ID of the devices that are not tokens")
        ->capture_default_str();
    create->callback([&] {
        voksim::Identity& identity = options.identity;
        identity.memoryModel = static_cast<uint8_t>(id.model);
        identity.memoryUnits = static_cast<uint8_t>(id.units);
        identity.protocolLevel = static_cast<uint8_t>(id.level);
        identity.versionNibbles = static_cast<uint8_t>(id.version);
        identity.flagA = id.flagA != 0;
        identity.flagB = id.flagB != 0;
        identity.infoByte = static_cast<uint8_t>(id.info);
        identity.idVendor = static_cast<uint16_t>(id.vendor);
        identity.idProduct = static_cast<uint16_t>(id.product);
        identity.bcdDevice = static_cast<uint16_t>(id.bcd);
        throw CLI::RuntimeError(runCreate(options));
    });
}

struct FaultNumbers {
    unsigned statusValue = 0;
    int fixedTag = -1;
};

void addFault(CLI::App& app, FaultOptions& options, FaultNumbers& numbers) {
    CLI::App* fault = app.add_subcommand("fault", "Set or clear a token's injected faults");
    fault->require_subcommand(1);
    CLI::App* set = fault->add_subcommand("set", "Replace the token's faults (the count restarts)");
    set->add_option("NODE", options.node, "The token's device node")->required();
    voksim::Faults& f = options.faults;
    set->add_option("--fail-transfer", f.failTransfer, "Fail the Nth transfer");
    set->add_option("--errno", options.errnoName, "errno of the failure (EPIPE, ETIMEDOUT, ...)");
    set->add_flag("--fail-all", f.failAll, "Fail every transfer from the Nth on");
    set->add_option("--short-transfer", f.shortTransfer, "The Nth transfer moves one byte less");
    set->add_option("--wrong-tag", f.wrongTagTransfer, "The Nth transfer's reply has a wrong tag");
    set->add_option("--status-phase", f.statusPhase, "The reply ending this phase (0-6) ...")
        ->check(CLI::Range(0, 6));
    set->add_option("--status-value", numbers.statusValue, "... carries this status")
        ->check(CLI::Range(0, 255));
    set->add_option(
        "--status-transfer", f.statusTransfer,
        "The Nth transfer from the token replies --status-value and ends the transaction");
    set->add_option("--fixed-tag", numbers.fixedTag, "Hand out this transaction tag")
        ->check(CLI::Range(0, 255));
    set->add_flag("--real-timeouts", f.realTimeouts,
                  "A time-out waits out the transfer's time-out");
    set->add_option("--latency-us", f.latencyMicros, "Microseconds added to every transfer");
    set->callback([&] {
        options.faults.statusValue = static_cast<uint8_t>(numbers.statusValue);
        options.faults.fixedTag = numbers.fixedTag;
        throw CLI::RuntimeError(runFaultSet(options));
    });
    CLI::App* clear = fault->add_subcommand("clear", "Remove every fault");
    clear->add_option("NODE", options.node, "The token's device node")->required();
    clear->callback([&] { throw CLI::RuntimeError(runFaultClear(options.node)); });
}

int runVokSim(int argc, char** argv) {
    CLI::App app{"vok-sim: virtual tokens in a virtual usbfs tree"};
    app.require_subcommand(1);

    CreateOptions createOptions;
    IdentityNumbers identityNumbers;
    addCreate(app, createOptions, identityNumbers);

    std::string showNode;
    bool showJson = false, showMemory = false;
    CLI::App* show = app.add_subcommand("show", "Show a token's state");
    show->add_option("NODE", showNode, "The token's device node")->required();
    show->add_flag("--json", showJson, "Machine-readable output");
    show->add_flag("--memory", showMemory, "Include the token's memory");
    show->callback([&] { throw CLI::RuntimeError(runShow(showNode, showJson, showMemory)); });

    FaultOptions faultOptions;
    FaultNumbers faultNumbers;
    addFault(app, faultOptions, faultNumbers);

    LogOptions logOptions;
    bool logOn = false, logOff = false;
    CLI::App* log = app.add_subcommand("log", "Print the token's transfer log as a transcript");
    log->add_option("NODE", logOptions.node, "The token's device node")->required();
    log->add_flag("--show-pins", logOptions.showPins, "Show PIN bytes instead of masking them");
    log->add_flag("--clear", logOptions.clear, "Empty the log");
    CLI::Option* on = log->add_flag("--on", logOn, "Log every transfer from now on");
    log->add_flag("--off", logOff, "Stop logging (benchmarks)")->excludes(on);
    log->callback([&] {
        if (logOn || logOff) logOptions.logging = logOn;
        throw CLI::RuntimeError(runLog(logOptions));
    });

    std::string plugNode;
    CLI::App* unplugCommand = app.add_subcommand("unplug", "Make the token disappear");
    unplugCommand->add_option("NODE", plugNode, "The token's device node")->required();
    unplugCommand->callback([&] { throw CLI::RuntimeError(runPlug(plugNode, false)); });
    CLI::App* replugCommand = app.add_subcommand("replug", "Bring an unplugged token back");
    replugCommand->add_option("NODE", plugNode, "The token's device node")->required();
    replugCommand->callback([&] { throw CLI::RuntimeError(runPlug(plugNode, true)); });

    RunOptions runOptions;
    CLI::App* run = app.add_subcommand(
        "run", "Run a program against the tree (sets USB_DEVFS_PATH, VOK_IPC_NAME, LD_PRELOAD)");
    run->add_option("DIR", runOptions.directory, "Root of the virtual tree")->required();
    run->add_option("--ipc", runOptions.ipc, "Lock directory (default: a private temporary one)");
    run->add_option("COMMAND", runOptions.command, "The program and its arguments, after --")
        ->required();
    run->callback([&] { throw CLI::RuntimeError(runProgram(runOptions)); });

    AttachOptions attachOptions;
    CLI::App* attach = app.add_subcommand(
        "attach", "Attach the tree's devices to the running kernel through vhci-hcd (root)");
    attach->add_option("TREE", attachOptions.tree, "Root of the virtual tree")->required();
    attach->add_option("--token", attachOptions.tokens,
                       "Attach only these device nodes (default: every node of the tree)");
    attach->add_option("--record", attachOptions.recordDirectory,
                       "Write the kernel's USB/IP traffic to DIR/portN.usbip");
    attach->callback([&] { throw CLI::RuntimeError(runAttach(attachOptions)); });
    DetachOptions detachOptions;
    CLI::App* detach = app.add_subcommand("detach", "Detach an attached tree, or vhci-hcd ports");
    detach->add_option("TREE", detachOptions.tree, "Root of an attached virtual tree");
    detach->add_option("--port", detachOptions.ports, "Detach this vhci-hcd port");
    detach->callback([&] { throw CLI::RuntimeError(runDetach(detachOptions)); });

    ServeOptions serveOptions;
    CLI::App* serve = app.add_subcommand(
        "serve", "Offer the tree's devices to USB/IP clients (usbip list -r, usbip attach -r)");
    serve->add_option("TREE", serveOptions.tree, "Root of the virtual tree")->required();
    serve
        ->add_option("--listen", serveOptions.listen,
                     "ADDR:PORT to listen on; beyond loopback anyone who reaches it can use the "
                     "tokens")
        ->capture_default_str();
    serve->add_option("--record", serveOptions.recordDirectory,
                      "Write each connection's traffic to DIR/connN.usbip");
    serve->callback([&] { throw CLI::RuntimeError(runServe(serveOptions)); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& done) {
        return done.get_exit_code();
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    return 0;
}

// Whether everything written to stdout reached it: output lost to a full disk
// must not pass for success.
bool outputWritten() {
    errno = 0;
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    try {
        status = runVokSim(argc, argv);
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "vok-sim: %s\n", error.what());
        return 1;
    } catch (...) {
        (void)std::fprintf(stderr, "vok-sim: unexpected error\n");
        return 1;
    }
    if (!outputWritten()) {
        const int error = errno;
        (void)std::fprintf(stderr, "vok-sim: cannot write stdout%s%s\n", error != 0 ? ": " : "",
                           error != 0 ? std::strerror(error) : "");
        return status != 0 ? status : 1;
    }
    return status;
}
