// vok doctor: explains why no token is found or usable.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "commonOptions.h"
#include "failure.h"
#include "hexText.h"
#include "jsonViews.h"
#include "lockFiles.h"
#include "tokenUsbId.h"
#include "usbScan.h"
#include "vokUdevRule.h"

namespace vokcli {

namespace {

enum class Level { kOk, kWarning, kProblem };

struct Finding {
    Level level;
    std::string message;
    std::string fix;
};

class Report {
  public:
    void ok(std::string message) { add(Level::kOk, std::move(message), {}); }
    void warning(std::string message, std::string fix = {}) {
        add(Level::kWarning, std::move(message), std::move(fix));
    }
    void problem(std::string message, std::string fix = {}) {
        add(Level::kProblem, std::move(message), std::move(fix));
    }
    int problems() const {
        int count = 0;
        for (const Finding& f : findings_) count += f.level == Level::kProblem;
        return count;
    }
    const std::vector<Finding>& findings() const { return findings_; }

  private:
    void add(Level level, std::string message, std::string fix) {
        findings_.push_back({level, std::move(message), std::move(fix)});
    }
    std::vector<Finding> findings_;
};

const char* levelName(Level level) {
    switch (level) {
        case Level::kOk:
            return "ok";
        case Level::kWarning:
            return "warning";
        case Level::kProblem:
            return "problem";
    }
    return "?";
}

const char* sourceName(RootSource source) {
    switch (source) {
        case RootSource::kEnvironment:
            return "USB_DEVFS_PATH";
        case RootSource::kDevBusUsb:
            return "/dev/bus/usb";
        case RootSource::kProcBusUsb:
            return "/proc/bus/usb";
        case RootSource::kNone:
            return "none";
    }
    return "?";
}

std::string accessText(const UsbNode& node) {
    char mode[8];
    (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(node.mode & 07777));
    const passwd* user = getpwuid(node.owner);
    const group* grp = getgrgid(node.group);
    return std::string("mode ") + mode + ", owner " +
           (user ? user->pw_name : std::to_string(node.owner)) + ":" +
           (grp ? grp->gr_name : std::to_string(node.group));
}

std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty()) return std::to_string(pid);
    return std::to_string(pid) + " (" + name + ")";
}

void checkRoot(const UsbTree& scan, Report& report) {
    if (scan.environmentSet && scan.source != RootSource::kEnvironment) {
        report.warning("USB_DEVFS_PATH is set to " + scan.environmentValue +
                           ", which does not exist; the library falls back to /dev/bus/usb "
                           "and /proc/bus/usb",
                       "unset USB_DEVFS_PATH, or point it at the usbfs tree");
    }
    if (scan.source == RootSource::kNone) {
        report.problem("no usbfs root: neither /dev/bus/usb nor /proc/bus/usb exists",
                       "this system shows no USB devices to programs (no USB support, or a "
                       "container without /dev/bus/usb); without hardware, try a virtual "
                       "token: vok-sim create DIR, then vok-sim run DIR -- vok list");
        return;
    }
    if (!scan.rootListable) {
        struct stat st;
        bool isDirectory = stat(scan.root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        report.problem("the usbfs root " + scan.root +
                       (isDirectory ? " cannot be listed by this user" : " is not a directory"));
        return;
    }
    report.ok("usbfs root " + scan.root +
              (scan.source == RootSource::kEnvironment ? " (from USB_DEVFS_PATH)" : ""));
}

void checkNodes(const UsbTree& scan, Report& report) {
    if (!scan.rootListable) return;
    int tokens = 0;
    for (const UsbNode& node : scan.nodes) {
        if (!node.probeable) {
            report.warning(node.path +
                           " is neither a usbfs device node nor a file: not opened, and the "
                           "library leaves it out too");
        }
        if (!node.isToken) continue;
        ++tokens;
        if (node.readWrite) continue;
        std::string reason = node.openError != 0
                                 ? std::string(std::strerror(node.openError))
                                 : std::string("its device descriptor cannot be read");
        report.problem(node.path +
                           " is a token, but this user cannot open it for reading and "
                           "writing (" +
                           reason + "; " + accessText(node) + ")",
                       "give the user access with a udev rule, e.g. in "
                       "/etc/udev/rules.d/70-vok.rules:\n" +
                           std::string(kVokUdevRule) +
                           "\nthen run 'udevadm control --reload' and plug the token in again");
    }
    if (tokens > 0) {
        report.ok(std::to_string(scan.nodes.size()) + " device node(s) under " + scan.root + ", " +
                  std::to_string(tokens) + " of them token(s)");
    } else {
        char ids[16];
        (void)std::snprintf(ids, sizeof ids, "%04x:%04x", kVokVendorId, kVokProductId);
        report.problem("no token attached: none of the " + std::to_string(scan.nodes.size()) +
                           " device node(s) under " + scan.root + " has the USB ID " + ids,
                       "plug the token in (lsusb lists what is attached)");
    }
}

// Every node the library probes takes the lock file of its path, so a held
// lock file stalls every scan. Returns whether one is held.
bool checkLocks(const UsbTree& scan, Report& report) {
    LockDirectory directory = lockDirectory();
    std::string where = directory.path + (directory.fromEnvironment ? " (from VOK_IPC_NAME)" : "");
    struct stat st;
    bool usableDirectory = stat(directory.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    bool writable = usableDirectory && access(directory.path.c_str(), W_OK | X_OK) == 0;
    if (!usableDirectory) {
        report.warning("lock directory " + where +
                           " does not exist or is not a directory: "
                           "processes that look for tokens at the same time are not kept apart",
                       "create it, or set VOK_IPC_NAME to a writable directory");
    } else if (!writable) {
        report.warning(
            "lock directory " + where +
                " is not writable by this user: missing "
                "lock files cannot be created, and processes that look for tokens at the "
                "same time are not kept apart",
            "set VOK_IPC_NAME to a writable directory");
    } else {
        report.ok("lock directory " + where);
    }

    std::set<std::string> paths;
    for (const UsbNode& node : scan.nodes) paths.insert(lockFilePath(directory, node.path));
    bool held = false;
    for (const std::string& path : paths) {
        if (access(path.c_str(), F_OK) != 0) continue;
        if (access(path.c_str(), R_OK | W_OK) != 0) {
            report.warning("lock file " + path + " cannot be opened for writing by this user (" +
                               std::strerror(errno) + ")",
                           "remove it (the library creates it again, readable and writable "
                           "by everybody)");
        }
        if (std::optional<pid_t> holder = lockHolder(path)) {
            held = true;
            report.problem("lock file " + path + " is held by process " + processName(*holder) +
                               ": every look for tokens waits until it lets go",
                           "if that process hangs, end it");
        }
    }
    return held;
}

void checkAnswers(Report& report) {
    for (const FoundToken& token : libraryTokens()) {
        std::string name = token.path + " (index " + std::to_string(token.index) + ")";
        // By its path: an index passes to vokOpen as one byte, and a token
        // past the 256th would be taken for an earlier one.
        VokHandle handle = vokOpenPath(token.path.c_str());
        if (handle == VOK_INVALID_HANDLE) {
            report.problem(name + " does not answer: its information cannot be read",
                           "plug the token in again; if it still does not answer, it may be "
                           "faulty");
            continue;
        }
        VokIdInfo info{};
        vokGetInfo(handle, &info, sizeof info);
        vokClose(handle);
        report.ok(name + " answers: token ID " + toHex(info.tokenId, sizeof info.tokenId) + ", " +
                  std::to_string(info.memorySize) + " bytes");
    }
}

void printHuman(const Report& report) {
    for (const Finding& f : report.findings()) {
        std::printf("%-8s %s\n", (std::string(levelName(f.level)) + ":").c_str(),
                    f.message.c_str());
        if (f.fix.empty()) continue;
        std::string fix = f.fix;
        size_t start = 0;
        const char* lead = "fix:";
        while (start <= fix.size()) {
            size_t end = fix.find('\n', start);
            if (end == std::string::npos) end = fix.size();
            std::printf("%-8s %s\n", lead, fix.substr(start, end - start).c_str());
            lead = "";
            start = end + 1;
        }
    }
    int problems = report.problems();
    if (problems == 0) {
        std::printf("no problems found\n");
    } else {
        std::printf("%d problem(s) found\n", problems);
    }
}

int runDoctor(bool json) {
    Report report;
    UsbTree scan = inspectUsbfs();
    checkRoot(scan, report);
    checkNodes(scan, report);
    bool held = checkLocks(scan, report);
    if (held) {
        report.warning(
            "the tokens were not asked for their information, since that would "
            "wait for the held lock file");
    } else {
        checkAnswers(report);
    }

    if (json) {
        nlohmann::ordered_json findings = nlohmann::ordered_json::array();
        for (const Finding& f : report.findings()) {
            nlohmann::ordered_json entry = {{"level", levelName(f.level)}, {"message", f.message}};
            if (!f.fix.empty()) entry["fix"] = f.fix;
            findings.push_back(entry);
        }
        printJson(
            {{"usbfsRoot", scan.source == RootSource::kNone ? nlohmann::ordered_json(nullptr)
                                                            : nlohmann::ordered_json(scan.root)},
             {"rootSource", sourceName(scan.source)},
             {"lockDirectory", lockDirectory().path},
             {"problems", report.problems()},
             {"findings", findings}});
    } else {
        printHuman(report);
    }
    return report.problems() == 0 ? kExitOk : kExitFailed;
}

}  // namespace

void registerDoctorCommand(CLI::App& app, CommandTable& table) {
    auto json = std::make_shared<bool>(false);
    CLI::App* cmd =
        app.add_subcommand("doctor", "Explain why no token is found or usable, and how to fix it");
    addJsonOption(*cmd, *json);
    table.add(cmd, [json] { return runDoctor(*json); });
}

}  // namespace vokcli
