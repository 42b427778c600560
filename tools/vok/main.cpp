// vok: see and administer the tokens that libvok reaches.
#include <fcntl.h>
#include <unistd.h>
#include <vok/vok.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
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

int runVok(int argc, char** argv) {
    CLI::App app{"vok: see and administer the USB security tokens that libvok reaches", "vok"};
    app.set_version_flag("--version", std::to_string(VOK_VERSION_MAJOR) + "." +
                                          std::to_string(VOK_VERSION_MINOR) + "." +
                                          std::to_string(VOK_VERSION_PATCH));
    app.require_subcommand(1);
    app.failure_message(usageMessage);
    // -v, -vv, -vvv: the library's trace, on stderr, before or after the command.
    int verbosity = 0;
    app.add_flag("-v", verbosity,
                 "Trace the library's work on stderr: -v failing system calls, -vv and every "
                 "transaction, -vvv and every control transfer (PINs masked)");
    std::string capture;
    app.add_option("--capture", capture,
                   "Write the control transfers the library makes to FILE, a usbmon pcap "
                   "(VOK_CAPTURE; PIN and memory bytes masked unless VOK_CAPTURE_PINS=1)")
        ->type_name("FILE");
    app.fallthrough();
    app.footer(
        "PINs are read from a file (--pin-file), an environment variable (--pin-env) or the "
        "terminal, never from the command line. Exit status: 0 success, 1 the token or the "
        "library refused, 2 usage error, 3 no token at the index (or no usbfs root), 4 'vok wait' "
        "timed out. See vok(1).");

    CommandTable table;
    registerInventoryCommands(app, table);
    registerMemoryCommands(app, table);
    registerAdminCommands(app, table);
    registerBlockCommands(app, table);
    registerRawCommand(app, table);
    registerDoctorCommand(app, table);
    registerWaitCommand(app, table);
    registerDecodeCommand(app, table);
    registerMonitorCommand(app, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }

    if (verbosity > 0) vokSetLogLevel(verbosity);
    // Read by the library at its first transfer, which comes later; a file
    // it could not open would only be named in the trace, so try it first.
    if (!capture.empty()) {
        const int fd =
            open(capture.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 || close(fd) != 0 || setenv("VOK_CAPTURE", capture.c_str(), 1) != 0) {
            (void)std::fprintf(stderr, "vok: cannot write the capture %s: %s\n", capture.c_str(),
                               std::strerror(errno));
            return kExitUsage;
        }
    }
    const Action* action = table.selected();
    if (action == nullptr) {
        (void)std::fprintf(stderr, "vok: no command given (see --help)\n");
        return kExitUsage;
    }
    try {
        return (*action)();
    } catch (const Failure& failure) {
        (void)std::fflush(stdout);  // its failure is reported once the command has ended
        (void)std::fprintf(stderr, "vok: %s\n", failure.message.c_str());
        return failure.exitCode;
    }
}

// Whether everything written to stdout reached it: output lost to a full disk
// must not pass for success. std::cout shares stdout's buffer (the streams stay
// synchronised with stdio), so one fflush settles both.
bool outputWritten() {
    errno = 0;
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 && !std::cout.fail();
}

}  // namespace

}  // namespace vokcli

int main(int argc, char** argv) {
    using namespace vokcli;

    int status = kExitOk;
    try {
        status = runVok(argc, argv);
    } catch (const std::exception& error) {
        (void)std::fprintf(stderr, "vok: %s\n", error.what());
        return kExitFailed;
    } catch (...) {
        (void)std::fprintf(stderr, "vok: unexpected error\n");
        return kExitFailed;
    }
    if (!outputWritten()) {
        const int error = errno;
        (void)std::fprintf(stderr, "vok: cannot write stdout%s%s\n", error != 0 ? ": " : "",
                           error != 0 ? std::strerror(error) : "");
        return status != kExitOk ? status : kExitUsage;
    }
    return status;
}
