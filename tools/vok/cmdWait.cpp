// vok wait: until a token is present at an index, or with --gone until the
// token at that index has been removed. The wait sleeps on the library's
// token monitor and scans again, through the library, after each event.
#include <chrono>
#include <memory>
#include <string>

#include "commands.h"
#include "failure.h"
#include "numbers.h"
#include "tokenEvents.h"
#include "usbScan.h"

namespace vokcli {

namespace {

// Long enough for any script, short enough to keep the deadline arithmetic
// far from overflow: a week.
constexpr uint64_t kMaxTimeoutSeconds = 7ull * 24 * 3600;

struct WaitOptions {
    unsigned index = 0;
    bool gone = false;
    unsigned timeout = 0;
    bool timeoutGiven = false;
};

// The path of the token at `index` in a fresh scan, or empty.
std::string pathAt(unsigned index) {
    const std::vector<FoundToken> tokens = libraryTokens();
    const FoundToken* token = tokenAtIndex(tokens, index);
    return token != nullptr ? token->path : std::string();
}

int runWait(const WaitOptions& o) {
    const auto deadline = deadlineAfter(o.timeoutGiven, o.timeout);
    // Watch first, then scan: a change between the two is an event. The
    // present tokens are reported too, so that their departure is.
    const vok::Monitor monitor = openMonitor("wait", true);
    const std::string watched = o.gone ? pathAt(o.index) : std::string();
    vok::MonitorEvent event;
    for (;;) {
        const std::string now = pathAt(o.index);
        // Gone: no token at the index, or another token (another path) there.
        const bool done = o.gone ? now != watched || watched.empty() : !now.empty();
        if (done) return kExitOk;
        if (!nextTokenEvent(monitor, deadline, event)) {
            throw Failure{kExitTimeout, "wait: the token at index " + std::to_string(o.index) +
                                            (o.gone ? " is still present" : " did not appear") +
                                            " after " + std::to_string(o.timeout) + " s"};
        }
    }
}

}  // namespace

void registerWaitCommand(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<WaitOptions>();
    CLI::App* wait = app.add_subcommand(
        "wait", "Wait until a token is present at the index (or, with --gone, removed)");
    addNumberOption(*wait, "INDEX", options->index, 0, 255,
                    "Enumeration index of the token (default 0)");
    wait->add_flag("--gone", options->gone, "Wait until the token at the index is removed");
    addNumberOption(*wait, "--timeout", options->timeout, 0, kMaxTimeoutSeconds,
                    "Give up after this many seconds (exit status 4)")
        ->type_name("SECONDS")
        ->each([options](const std::string&) { options->timeoutGiven = true; });
    table.add(wait, [options] { return runWait(*options); });
}

}  // namespace vokcli
