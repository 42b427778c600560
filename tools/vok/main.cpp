// vok: see and administer the tokens that libvok reaches.
#include <vok/vok.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "failure.h"

namespace vokcli {

namespace {

std::string usageMessage(const CLI::App* app, const CLI::Error& error) {
    // CLI11 reports a missing subcommand before words it does not know, so
    // "vok frobnicate" would only hear that a subcommand is required.
    std::vector<std::string> unknown = app->remaining(true);
    if (!unknown.empty() && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        return "vok: unknown command: " + unknown.front() + " (see --help)\n";
    }
    return std::string("vok: ") + error.what() + " (see --help)\n";
}

}  // namespace

}  // namespace vokcli

int main(int argc, char** argv) {
    using namespace vokcli;

    CLI::App app{"vok: see and administer the USB security tokens that libvok reaches", "vok"};
    app.set_version_flag("--version", std::to_string(VOK_VERSION_MAJOR) + "." +
                                          std::to_string(VOK_VERSION_MINOR) + "." +
                                          std::to_string(VOK_VERSION_PATCH));
    app.require_subcommand(1);
    app.failure_message(usageMessage);
    app.footer(
        "PINs are read from a file (--pin-file), an environment variable (--pin-env) or the "
        "terminal, never from the command line. Exit status: 0 success, 1 the token or the "
        "library refused, 2 usage error, 3 no token at the index. See vok(1).");

    CommandTable table;
    registerInventoryCommands(app, table);
    registerMemoryCommands(app, table);
    registerAdminCommands(app, table);
    registerBlockCommands(app, table);
    registerRawCommand(app, table);
    registerDoctorCommand(app, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }

    const Action* action = table.selected();
    if (action == nullptr) {
        std::fprintf(stderr, "vok: no command given (see --help)\n");
        return kExitUsage;
    }
    try {
        return (*action)();
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "vok: %s\n", failure.message.c_str());
        return failure.exitCode;
    }
}
