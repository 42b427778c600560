// vok-sim run: any program against a virtual tree, with the interposer
// preloaded and a private lock directory.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "support.h"

namespace voksimtool {

namespace {

struct RunOptions {
    std::string directory;
    std::string ipc;  // empty: a private temporary lock directory
    std::vector<std::string> command;
};

std::string executableDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/'));
}

// The interposer, from this binary's directory: where the build tree puts
// the copy that can be preloaded (without sanitizers), then where it is
// installed, then beside the binary.
std::string findInterposer() {
    const std::string directory = executableDirectory();
    for (const char* relative : {VOKSIM_BUILD_LIBRARY, VOKSIM_INSTALLED_LIBRARY, "libvoksim.so"}) {
        const std::string candidate = directory + "/" + relative;
        if (access(candidate.c_str(), R_OK) == 0) {
            char resolved[PATH_MAX];
            if (realpath(candidate.c_str(), resolved)) return resolved;
        }
    }
    return {};
}

int exitStatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

int runProgram(const RunOptions& options) {
    if (options.command.empty()) return fail("run needs a command after --");
    char root[PATH_MAX];
    struct stat status {};
    if (!realpath(options.directory.c_str(), root) || stat(root, &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
        return fail(options.directory + " is not a directory");
    }
    const std::string library = findInterposer();
    if (library.empty()) return fail("cannot find libvoksim.so beside " + executableDirectory());
    std::string ipc = options.ipc;
    bool ownIpc = false;
    if (ipc.empty()) {
        char pattern[] = "/tmp/vok-sim-ipc-XXXXXX";
        if (!mkdtemp(pattern))
            return fail(std::string("cannot make a lock directory: ") + strerror(errno));
        ipc = pattern;
        ownIpc = true;
    }

    // Like system(): the child takes the terminal's signals, we wait for it.
    struct sigaction ignore {
    }, oldInt{}, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    const pid_t child = fork();
    if (child == 0) {
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGQUIT, &oldQuit, nullptr);
        const char* previous = getenv("LD_PRELOAD");
        const std::string preload = previous && *previous ? library + " " + previous : library;
        if (setenv("USB_DEVFS_PATH", root, 1) != 0 || setenv("VOK_IPC_NAME", ipc.c_str(), 1) != 0 ||
            setenv("LD_PRELOAD", preload.c_str(), 1) != 0) {
            (void)std::fprintf(stderr, "vok-sim: cannot set the environment: %s\n",
                               strerror(errno));
            _exit(127);
        }
        std::vector<char*> argv;
        for (const std::string& argument : options.command) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        (void)std::fprintf(stderr, "vok-sim: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int result = 1;
    if (child < 0) {
        result = fail(std::string("cannot start the command: ") + strerror(errno));
    } else {
        int waitStatus = 0;
        while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
        }
        result = exitStatusOf(waitStatus);
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    if (ownIpc) {
        std::error_code ignored;
        std::filesystem::remove_all(ipc, ignored);
    }
    return result;
}

}  // namespace

void registerRunCommand(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* run = app.add_subcommand(
        "run", "Run a program against the tree (sets USB_DEVFS_PATH, VOK_IPC_NAME, LD_PRELOAD)");
    run->add_option("DIR", options->directory, "Root of the virtual tree")->required();
    run->add_option("--ipc", options->ipc, "Lock directory (default: a private temporary one)");
    run->add_option("COMMAND", options->command, "The program and its arguments, after --")
        ->required();
    table.add(run, [options] { return runProgram(*options); });
}

}  // namespace voksimtool
