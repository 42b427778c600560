// vok-sim log, unplug, replug: a token's transfer log, and taking the token
// away and bringing it back.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "support.h"
#include "voksim/voksim.h"

namespace voksimtool {

namespace {

struct LogOptions {
    std::string node;
    bool showPins = false;
    bool clear = false;
    std::optional<bool> logging;  // --on / --off
};

int runLog(const LogOptions& options) {
    if (!voksim::readState(options.node)) return fail(options.node + " is not a virtual token");
    if (options.logging && !voksim::setLogging(options.node, *options.logging)) {
        return fail("cannot switch the log of " + options.node);
    }
    if (!options.logging && !options.clear) {
        // main reports a failed write of stdout once everything is flushed.
        (void)std::fputs(voksim::transcript(options.node, options.showPins).c_str(), stdout);
    }
    if (options.clear && !voksim::clearLog(options.node)) {
        return fail("cannot clear the log of " + options.node);
    }
    return 0;
}

int runPlug(const std::string& node, bool plugIn) {
    const bool done = plugIn ? voksim::replug(node) : voksim::unplug(node);
    if (!done) return fail(node + " is not a virtual token");
    return 0;
}

}  // namespace

void registerLogCommand(CLI::App& app, CommandTable& table) {
    struct LogCommand {
        LogOptions options;
        bool on = false;
        bool off = false;
    };
    auto command = std::make_shared<LogCommand>();
    CLI::App* log = app.add_subcommand("log", "Print the token's transfer log as a transcript");
    log->add_option("NODE", command->options.node, "The token's device node")->required();
    log->add_flag("--show-pins", command->options.showPins,
                  "Show PIN bytes instead of masking them");
    log->add_flag("--clear", command->options.clear, "Empty the log");
    CLI::Option* on = log->add_flag("--on", command->on, "Log every transfer from now on");
    log->add_flag("--off", command->off, "Stop logging (benchmarks)")->excludes(on);
    table.add(log, [command] {
        if (command->on || command->off) command->options.logging = command->on;
        return runLog(command->options);
    });
}

void registerPlugCommands(CLI::App& app, CommandTable& table) {
    auto node = std::make_shared<std::string>();
    CLI::App* unplug = app.add_subcommand("unplug", "Make the token disappear");
    unplug->add_option("NODE", *node, "The token's device node")->required();
    table.add(unplug, [node] { return runPlug(*node, false); });
    CLI::App* replug = app.add_subcommand("replug", "Bring an unplugged token back");
    replug->add_option("NODE", *node, "The token's device node")->required();
    table.add(replug, [node] { return runPlug(*node, true); });
}

}  // namespace voksimtool
