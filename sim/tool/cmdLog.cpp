#include <cstdio>

#include "simCommands.h"

namespace voksimtool {

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

}  // namespace voksimtool
