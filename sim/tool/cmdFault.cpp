// vok-sim fault set / fault clear: the faults injected into a token's
// transfers.
#include <memory>
#include <string>

#include "commands.h"
#include "support.h"
#include "voksim/voksim.h"

namespace voksimtool {

namespace {

struct FaultOptions {
    std::string node;
    voksim::Faults faults;
    std::string errnoName;  // EPIPE, ETIMEDOUT, ... or a number
    // The fields that the command line takes wider than the record keeps them.
    unsigned statusValue = 0;
    int fixedTag = -1;
};

int runFaultSet(const FaultOptions& options) {
    voksim::Faults faults = options.faults;
    if (!options.errnoName.empty() && !parseErrno(options.errnoName, faults.failErrno)) {
        return fail("unknown errno '" + options.errnoName + "'");
    }
    if (!voksim::isTokenNode(options.node)) return fail(options.node + " is not a virtual token");
    if (!voksim::setFaults(options.node, faults))
        return fail("cannot set faults on " + options.node);
    return 0;
}

int runFaultClear(const std::string& node) {
    if (!voksim::clearFaults(node)) return fail(node + " is not a virtual token");
    return 0;
}

}  // namespace

void registerFaultCommands(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<FaultOptions>();
    CLI::App* fault = app.add_subcommand("fault", "Set or clear a token's injected faults");
    fault->require_subcommand(1);
    CLI::App* set = fault->add_subcommand("set", "Replace the token's faults (the count restarts)");
    set->add_option("NODE", options->node, "The token's device node")->required();
    voksim::Faults& f = options->faults;
    set->add_option("--fail-transfer", f.failTransfer, "Fail the Nth transfer");
    set->add_option("--errno", options->errnoName, "errno of the failure (EPIPE, ETIMEDOUT, ...)");
    set->add_flag("--fail-all", f.failAll, "Fail every transfer from the Nth on");
    set->add_option("--short-transfer", f.shortTransfer, "The Nth transfer moves one byte less");
    set->add_option("--wrong-tag", f.wrongTagTransfer, "The Nth transfer's reply has a wrong tag");
    set->add_option("--status-phase", f.statusPhase, "The reply ending this phase (0-6) ...")
        ->check(CLI::Range(0, 6));
    set->add_option("--status-value", options->statusValue, "... carries this status")
        ->check(CLI::Range(0, 255));
    set->add_option(
        "--status-transfer", f.statusTransfer,
        "The Nth transfer from the token replies --status-value and ends the transaction");
    set->add_option("--fixed-tag", options->fixedTag, "Hand out this transaction tag")
        ->check(CLI::Range(0, 255));
    set->add_flag("--real-timeouts", f.realTimeouts,
                  "A time-out waits out the transfer's time-out");
    set->add_option("--latency-us", f.latencyMicros, "Microseconds added to every transfer");
    table.add(set, [options] {
        options->faults.statusValue = static_cast<uint8_t>(options->statusValue);
        options->faults.fixedTag = options->fixedTag;
        return runFaultSet(*options);
    });
    CLI::App* clear = fault->add_subcommand("clear", "Remove every fault");
    clear->add_option("NODE", options->node, "The token's device node")->required();
    table.add(clear, [options] { return runFaultClear(options->node); });
}

}  // namespace voksimtool
