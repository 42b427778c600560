// The subcommands of vok. Each register function adds its subcommands to the
// application and their actions to the table; main runs the action of the
// subcommand that the command line selected.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/commandTable.h"

namespace vokcli {

// An action returns the exit status, or throws Failure.
using commandline::Action;
using commandline::CommandTable;

void registerInventoryCommands(CLI::App& app, CommandTable& table);  // list, info
void registerMemoryCommands(CLI::App& app, CommandTable& table);     // read, write
void registerBlockCommands(CLI::App& app, CommandTable& table);      // block ...
void registerAdminCommands(CLI::App& app, CommandTable& table);      // init, pin set, secparams
void registerRawCommand(CLI::App& app, CommandTable& table);         // raw
void registerDoctorCommand(CLI::App& app, CommandTable& table);      // doctor
void registerWaitCommand(CLI::App& app, CommandTable& table);        // wait
void registerDecodeCommand(CLI::App& app, CommandTable& table);      // decode
void registerMonitorCommand(CLI::App& app, CommandTable& table);     // monitor

}  // namespace vokcli
