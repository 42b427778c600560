// vok-sim: virtual usbfs trees of virtual tokens, for development and tests.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands.h"

using namespace voksimtool;

namespace {

int runVokSim(int argc, char** argv) {
    CLI::App app{"vok-sim: virtual tokens in a virtual usbfs tree"};
    app.require_subcommand(1);

    CommandTable table;
    registerCreateCommand(app, table);
    registerShowCommand(app, table);
    registerFaultCommands(app, table);
    registerLogCommand(app, table);
    registerPlugCommands(app, table);
    registerRunCommand(app, table);
    registerAttachCommands(app, table);
    registerServeCommand(app, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    const commandline::Action* action = table.selected();
    return action != nullptr ? (*action)() : 0;
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
