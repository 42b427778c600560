// The subcommands of vok-sim. Each register function adds its subcommands to
// the application and their actions to the table (cli/commandTable.h); main
// runs the action of the subcommand that the command line selected. An
// action returns the process's exit status and reports a failure with one
// line on stderr.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/commandTable.h"

namespace voksimtool {

using commandline::CommandTable;

void registerCreateCommand(CLI::App& app, CommandTable& table);   // create
void registerShowCommand(CLI::App& app, CommandTable& table);     // show
void registerFaultCommands(CLI::App& app, CommandTable& table);   // fault set, fault clear
void registerLogCommand(CLI::App& app, CommandTable& table);      // log
void registerPlugCommands(CLI::App& app, CommandTable& table);    // unplug, replug
void registerRunCommand(CLI::App& app, CommandTable& table);      // run
void registerAttachCommands(CLI::App& app, CommandTable& table);  // attach, detach
void registerServeCommand(CLI::App& app, CommandTable& table);    // serve

}  // namespace voksimtool
