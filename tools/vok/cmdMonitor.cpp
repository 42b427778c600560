// vok monitor: prints tokens as they arrive and leave, one line an event, as
// the library's token monitor reports them.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "failure.h"
#include "jsonViews.h"
#include "numbers.h"
#include "tokenEvents.h"

namespace vokcli {

namespace {

constexpr uint64_t kMaxTimeoutSeconds = 7ull * 24 * 3600;  // as vok wait

struct MonitorOptions {
    bool json = false;
    bool present = false;
    unsigned timeout = 0;
    bool timeoutGiven = false;
    uint64_t count = 0;  // 0: no limit
};

const char* kindName(vok::MonitorEvent::Kind kind) {
    switch (kind) {
        case vok::MonitorEvent::arrived:
            return "arrived";
        case vok::MonitorEvent::left:
            return "left";
        case vok::MonitorEvent::refused:
            return "refused";
    }
    return "unknown";
}

std::string errorText(int error) {
    return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread
}

bool hasIndex(const vok::MonitorEvent& event) { return event.token.index != VOK_MONITOR_NO_INDEX; }

void printJsonEvent(const vok::MonitorEvent& event) {
    nlohmann::ordered_json line = {{"event", kindName(event.kind)},
                                   {"path", event.token.path},
                                   {"bus", event.token.busNumber},
                                   {"device", event.token.deviceNumber},
                                   {"product", event.token.productId}};
    if (hasIndex(event)) line["index"] = event.token.index;
    if (event.kind == vok::MonitorEvent::refused) {
        line["errno"] = event.error;
        line["error"] = errorText(event.error);
    }
    std::printf("%s\n", line.dump().c_str());
}

// "arrived /dev/bus/usb/001/002 bus 1 device 2 product 0x0401 index 0"
void printTextEvent(const vok::MonitorEvent& event) {
    std::printf("%-7s %s bus %u device %u product 0x%04x", kindName(event.kind),
                event.token.path.c_str(), event.token.busNumber, event.token.deviceNumber,
                event.token.productId);
    if (hasIndex(event)) std::printf(" index %u", event.token.index);
    if (event.kind == vok::MonitorEvent::refused) {
        std::printf(": %s", errorText(event.error).c_str());
    }
    std::printf("\n");
}

int runMonitor(const MonitorOptions& o) {
    const auto deadline = deadlineAfter(o.timeoutGiven, o.timeout);
    const vok::Monitor monitor = openMonitor("monitor", o.present);
    vok::MonitorEvent event;
    for (uint64_t printed = 0; o.count == 0 || printed < o.count; ++printed) {
        if (!nextTokenEvent(monitor, deadline, event)) {
            throw Failure{kExitTimeout, "monitor: " + std::to_string(printed) + " event(s) in " +
                                            std::to_string(o.timeout) + " s"};
        }
        if (o.json) {
            printJsonEvent(event);
        } else {
            printTextEvent(event);
        }
        // Each line as it happens, also into a pipe.
        if (std::fflush(stdout) != 0) throw Failure{kExitFailed, "monitor: cannot write"};
    }
    return kExitOk;
}

}  // namespace

void registerMonitorCommand(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* monitor =
        app.add_subcommand("monitor", "Print tokens as they arrive and leave, one line each");
    monitor->add_flag("--json", options->json, "One JSON object a line");
    monitor->add_flag("--present", options->present, "Report the tokens present now first");
    addNumberOption(*monitor, "--timeout", options->timeout, 0, kMaxTimeoutSeconds,
                    "Stop after this many seconds (exit status 4)")
        ->type_name("SECONDS")
        ->each([options](const std::string&) { options->timeoutGiven = true; });
    addNumberOption(*monitor, "--count", options->count, 1, UINT32_MAX,
                    "Stop after this many events (exit status 0)");
    table.add(monitor, [options] { return runMonitor(*options); });
}

}  // namespace vokcli
