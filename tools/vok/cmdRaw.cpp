// vok raw: run a request record given in hexadecimal and print the record
// that comes back.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "commonOptions.h"
#include "failure.h"
#include "hexText.h"
#include "jsonViews.h"
#include "numbers.h"
#include "pinInput.h"
#include "token.h"

namespace vokcli {

namespace {

struct RawOptions {
    TokenChoice token;
    bool json = false;
    std::string hex;
    std::string hexFile;
    uint32_t length = 0;  // 0: not given
    bool fillId = false;
    PinSource pin;
};

std::string readText(const std::string& path) {
    int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failUsage("cannot open " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[4096];
    // Two hexadecimal digits and some white space per byte at most.
    const size_t limit = size_t{VOK_REQUEST_SIZE} * 4;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failUsage("cannot read " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > limit) failUsage(path + " is too long for a request record");
    }
    if (fd != STDIN_FILENO) close(fd);
    return text;
}

std::vector<uint8_t> recordBytes(const RawOptions& o) {
    std::string text = o.hexFile.empty() ? o.hex : readText(o.hexFile);
    std::optional<std::vector<uint8_t>> bytes = parseHex(text);
    if (!bytes) failUsage("the request record must be pairs of hexadecimal digits");
    if (bytes->size() > VOK_REQUEST_SIZE) {
        failUsage("a request record has at most " + std::to_string(VOK_REQUEST_SIZE) + " bytes");
    }
    return *bytes;
}

// The request record on the heap (16512 bytes), wiped when done since it may
// carry a PIN.
struct RecordDeleter {
    void operator()(TDRVREQUEST_MEK* record) const {
        explicit_bzero(record, sizeof *record);
        delete record;
    }
};

int runRaw(const RawOptions& o) {
    if (o.hexFile == "-" && o.pin.file == "-") {
        failUsage("the record and the PIN cannot both come from stdin");
    }
    std::vector<uint8_t> bytes = recordBytes(o);
    const uint32_t given = static_cast<uint32_t>(bytes.size());
    const uint32_t length =
        o.length != 0 ? o.length : std::max<uint32_t>(given, VOK_REQUEST_HEADER_SIZE);
    if (given > length) {
        failUsage("the record has " + std::to_string(given) + " bytes, more than --length " +
                  std::to_string(length));
    }
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);

    std::unique_ptr<TDRVREQUEST_MEK, RecordDeleter> record(new TDRVREQUEST_MEK{});
    std::memcpy(record.get(), bytes.data(), bytes.size());
    if (pin) std::memcpy(record->pin, pin->data(), pin->size());

    Token token(o.token);
    if (o.fillId) {
        VokIdInfo info = token.info();
        std::memcpy(record->tokenId, info.tokenId, sizeof record->tokenId);
    }
    const bool ok = vokCommand(token.handle(), record.get(), length);

    // A PIN given through the PIN options stays out of the output.
    if (pin) std::memset(record->pin, 0, sizeof record->pin);
    const auto* raw = reinterpret_cast<const uint8_t*>(record.get());
    if (o.json) {
        printJson({{"ok", ok},
                   {"status", record->status},
                   {"length", length},
                   {"record", toHex(raw, length)}});
    } else {
        std::cout << hexDump(raw, length, 0);
    }
    if (!ok) failStatus("raw", record->status);
    return kExitOk;
}

}  // namespace

void registerRawCommand(CLI::App& app, CommandTable& table) {
    auto o = std::make_shared<RawOptions>();
    CLI::App* cmd = app.add_subcommand(
        "raw", "Run a request record given in hexadecimal and print the record that comes back");
    auto* hex = cmd->add_option("RECORD", o->hex,
                                "The record's leading bytes in hexadecimal; the rest up to "
                                "--length is zero");
    auto* file = cmd->add_option("--hex-file", o->hexFile,
                                 "Read the record's hexadecimal digits from FILE (- for stdin)")
                     ->type_name("FILE");
    hex->excludes(file);
    addNumberOption(*cmd, "--length", o->length, VOK_REQUEST_HEADER_SIZE, VOK_REQUEST_SIZE,
                    "Bytes of the record that take part (default: those given, at least 128)");
    cmd->add_flag("--fill-id", o->fillId,
                  "Put the token's identifier (from its information record) into the record");
    addTokenOption(*cmd, o->token);
    addPinOptions(*cmd, o->pin, PinNeed::kOptional);
    addJsonOption(*cmd, o->json);
    table.add(cmd, [o, hex, file] {
        if (hex->count() == 0 && file->count() == 0) failUsage("raw: give RECORD or --hex-file");
        return runRaw(*o);
    });
}

}  // namespace vokcli
