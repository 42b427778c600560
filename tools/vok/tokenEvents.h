// The library's token monitor as `vok wait` and `vok monitor` use it: made
// with the tool's failures, and waited on until an event or a deadline.
#pragma once

#include <chrono>
#include <string>
#include <vok/vok.hpp>

namespace vokcli {

using Clock = std::chrono::steady_clock;

// A monitor of the usbfs root; ends the command `command` with kExitNoToken
// when there is no root to watch, kExitFailed for any other failure.
vok::Monitor openMonitor(const std::string& command, bool reportPresent);

// Sleeps until the monitor has an event (true, `event` filled) or `deadline`
// passed (false); Clock::time_point::max() waits for ever.
bool nextTokenEvent(const vok::Monitor& monitor, Clock::time_point deadline,
                    vok::MonitorEvent& event);

// The deadline `seconds` from now, or for ever when none was given.
Clock::time_point deadlineAfter(bool given, unsigned seconds);

}  // namespace vokcli
