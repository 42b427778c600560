// The command table of the command-line tools (vok, vok-sim): each command's
// file registers its subcommands with the application and their actions
// with the table; main parses the command line and runs the action of the
// subcommand it selected.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <utility>
#include <vector>

namespace commandline {

// An action returns the exit status (the tool says what else it may throw).
using Action = std::function<int()>;

class CommandTable {
  public:
    void add(CLI::App* command, Action action) {
        entries_.emplace_back(command, std::move(action));
    }
    // The action of the subcommand that was parsed, or null.
    const Action* selected() const {
        for (const auto& [command, action] : entries_) {
            if (command->parsed()) return &action;
        }
        return nullptr;
    }

  private:
    std::vector<std::pair<CLI::App*, Action>> entries_;
};

}  // namespace commandline
