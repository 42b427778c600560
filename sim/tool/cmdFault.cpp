#include "simCommands.h"

namespace voksimtool {

int runFaultSet(const FaultOptions& options) {
    voksim::Faults faults = options.faults;
    if (!options.errnoName.empty() && !parseErrno(options.errnoName, faults.failErrno)) {
        return fail("unknown errno '" + options.errnoName + "'");
    }
    if (!voksim::isTokenNode(options.node)) return fail(options.node + " is not a virtual token");
    if (!voksim::setFaults(options.node, faults))
        return fail("cannot set faults on " + options.node);
    return 0;
}

int runFaultClear(const std::string& node) {
    if (!voksim::clearFaults(node)) return fail(node + " is not a virtual token");
    return 0;
}

}  // namespace voksimtool
