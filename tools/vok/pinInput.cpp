#include "pinInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "terminalPrompt.h"

namespace vokcli {

namespace {

// A PIN file holds the PIN on its first line; more than this is not read.
constexpr size_t kPinFileReadLimit = 4096;

struct PinWords {
    const char* fileOption;
    const char* envOption;
    const char* askOption;
    const char* what;  // "PIN", "new PIN"
    const char* prompt;
    const char* repeatPrompt;  // null: ask once
};

constexpr PinWords kCurrentPin{"--pin-file", "--pin-env", "--ask-pin", "PIN", "PIN: ", nullptr};
constexpr PinWords kNewPin{"--new-pin-file", "--new-pin-env", "--ask-new-pin",
                           "new PIN",        "New PIN: ",     "Repeat the new PIN: "};

void addOptions(CLI::App& cmd, PinSource& source, PinNeed need, const PinWords& words) {
    std::string what = words.what;
    auto* file = cmd.add_option(words.fileOption, source.file,
                                "Read the " + what + " from the first line of FILE (- for stdin)")
                     ->type_name("FILE");
    auto* env = cmd.add_option(words.envOption, source.envName,
                               "Take the " + what + " from environment variable VAR")
                    ->type_name("VAR");
    file->excludes(env);
    if (need == PinNeed::kOptional) {
        auto* ask =
            cmd.add_flag(words.askOption, source.ask, "Ask for the " + what + " on the terminal");
        ask->excludes(file)->excludes(env);
    }
}

Secret firstLine(const char* text, size_t size) {
    size_t end = 0;
    while (end < size && text[end] != '\n') ++end;
    if (end > 0 && text[end - 1] == '\r') --end;
    std::vector<uint8_t> bytes(text, text + end);
    return Secret(std::move(bytes));
}

Secret readPinFile(const std::string& path, const char* what) {
    bool fromStdin = path == "-";
    int fd = fromStdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failUsage(std::string("cannot read the ") + what + " file " + path + ": " +
                  std::strerror(errno));
    }
    char buffer[kPinFileReadLimit];
    size_t size = 0;
    int error = 0;
    // Read up to the first newline only, so that the rest of stdin stays unread.
    while (size < sizeof buffer) {
        ssize_t n = read(fd, buffer + size, fromStdin ? 1 : sizeof buffer - size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        size += static_cast<size_t>(n);
        if (fromStdin && buffer[size - 1] == '\n') break;
    }
    if (!fromStdin) close(fd);
    Secret secret = firstLine(buffer, size);
    explicit_bzero(buffer, sizeof buffer);
    if (error != 0) {
        failUsage(std::string("cannot read the ") + what + " file " + path + ": " +
                  std::strerror(error));
    }
    return secret;
}

Secret readPinEnv(const std::string& name, const char* what) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        failUsage(std::string("environment variable ") + name + " (the " + what + ") is not set");
    }
    return firstLine(value, std::strlen(value));
}

Secret askOnTerminal(const PinWords& words) {
    std::optional<Secret> first = promptHidden(words.prompt);
    if (!first) {
        failUsage(std::string("no terminal to ask for the ") + words.what + " on; use " +
                  words.fileOption + " or " + words.envOption);
    }
    if (words.repeatPrompt != nullptr) {
        std::optional<Secret> second = promptHidden(words.repeatPrompt);
        if (!second || !(*second == *first)) {
            failUsage(std::string("the two entries of the ") + words.what + " differ");
        }
    }
    return std::move(*first);
}

std::optional<Secret> obtain(const PinSource& source, PinNeed need, const PinWords& words) {
    Secret secret;
    if (!source.file.empty()) {
        secret = readPinFile(source.file, words.what);
    } else if (!source.envName.empty()) {
        secret = readPinEnv(source.envName, words.what);
    } else if (source.ask || need == PinNeed::kRequired) {
        secret = askOnTerminal(words);
    } else {
        return std::nullopt;
    }
    if (secret.size() == 0) {
        failUsage(std::string("the ") + words.what + " is empty");
    }
    if (secret.size() > kMaxPinLength) {
        failUsage(std::string("the ") + words.what + " is longer than " +
                  std::to_string(kMaxPinLength) + " bytes");
    }
    return secret;
}

}  // namespace

void addPinOptions(CLI::App& cmd, PinSource& source, PinNeed need) {
    addOptions(cmd, source, need, kCurrentPin);
}

void addNewPinOptions(CLI::App& cmd, PinSource& source, PinNeed need) {
    addOptions(cmd, source, need, kNewPin);
}

std::optional<Secret> obtainPin(const PinSource& source, PinNeed need) {
    return obtain(source, need, kCurrentPin);
}

std::optional<Secret> obtainNewPin(const PinSource& source, PinNeed need) {
    return obtain(source, need, kNewPin);
}

}  // namespace vokcli
