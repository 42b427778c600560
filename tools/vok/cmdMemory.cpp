// vok read, vok write.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
#include "progress.h"
#include "token.h"
#include "transfer.h"

namespace vokcli {

namespace {

struct MemoryOptions {
    TokenChoice token;
    bool json = false;
    unsigned block = 0;  // 0: the whole memory
    uint32_t offset = 0;
    uint32_t length = 0;  // 0: not given
    std::string outputFile;
    std::string inputFile;
    std::string hex;
    CLI::Option* hexOption = nullptr;  // tells an empty --hex from none
    PinSource pin;
};

nlohmann::ordered_json blockJson(unsigned block) {
    return block == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(block);
}

std::string where(const MemoryOptions& o) {
    std::string text = "offset " + std::to_string(o.offset);
    if (o.block != 0) text += " of block " + std::to_string(o.block);
    return text;
}

// ---- read ----------------------------------------------------------------

uint32_t readLength(const MemoryOptions& o, const Token& token) {
    if (o.length != 0) return o.length;
    if (o.block != 0) failUsage("give --length when reading through a block");
    uint32_t memorySize = token.info().memorySize;
    if (o.offset >= memorySize) {
        failUsage("offset " + std::to_string(o.offset) + " lies beyond the token's " +
                  std::to_string(memorySize) + " bytes");
    }
    return memorySize - o.offset;
}

void writeAll(int fd, const uint8_t* data, size_t size, const std::string& name) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failUsage("cannot write " + name + ": " + std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void saveRaw(const std::string& path, const std::vector<uint8_t>& data) {
    if (path == "-") {
        // What went through stdio comes first.
        if (std::fflush(stdout) != 0) {
            failUsage(std::string("cannot write stdout: ") + std::strerror(errno));
        }
        writeAll(STDOUT_FILENO, data.data(), data.size(), "stdout");
        return;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) failUsage("cannot create " + path + ": " + std::strerror(errno));
    writeAll(fd, data.data(), data.size(), path);
    if (close(fd) != 0) failUsage("cannot write " + path + ": " + std::strerror(errno));
}

int runRead(const MemoryOptions& o) {
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    Token token(o.token);
    const uint32_t length = readLength(o, token);

    std::vector<uint8_t> data(length);
    VokIdResponse response{};
    std::vector<Step> steps = planSteps(o.offset, length);
    Progress progress("read ", length, steps.size() > 1);
    uint32_t done = 0;
    for (const Step& step : steps) {
        uint8_t* target = data.data() + (step.offset - o.offset);
        uint32_t status =
            o.block == 0 ? vokRead(token.handle(), pinData(pin), pinLength(pin), step.offset,
                                   target, step.length, &response)
                         : vokReadEx(token.handle(), static_cast<BLOCK_ID>(o.block), pinData(pin),
                                     pinLength(pin), step.offset, target, step.length, &response);
        requireOk("read", status);
        done += step.length;
        progress.update(done);
    }
    progress.finish();

    if (!o.outputFile.empty()) {
        saveRaw(o.outputFile, data);
    }
    if (o.json && o.outputFile != "-") {
        nlohmann::ordered_json document = {
            {"offset", o.offset}, {"length", length}, {"block", blockJson(o.block)}};
        if (o.outputFile.empty()) document["data"] = toHex(data.data(), data.size());
        document["response"] = toJson(response);
        printJson(document);
    } else if (o.outputFile.empty()) {
        std::cout << hexDump(data.data(), data.size(), o.offset);
    }
    return kExitOk;
}

// ---- write ---------------------------------------------------------------

// Reads all of a descriptor, refusing more than the largest token memory.
std::vector<uint8_t> slurp(int fd, const std::string& name) {
    std::vector<uint8_t> data(kMaxTransfer + 1);
    size_t size = 0;
    while (size < data.size()) {
        ssize_t n = read(fd, data.data() + size, data.size() - size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failUsage("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) break;
        size += static_cast<size_t>(n);
    }
    if (size > kMaxTransfer) {
        failUsage(name + " holds more than " + std::to_string(kMaxTransfer) +
                  " bytes, the largest token memory");
    }
    data.resize(size);
    return data;
}

std::vector<uint8_t> dataToWrite(const MemoryOptions& o) {
    std::vector<uint8_t> data;
    if (o.hexOption->count() > 0) {
        std::optional<std::vector<uint8_t>> bytes = parseHex(o.hex);
        if (!bytes) failUsage("--hex takes pairs of hexadecimal digits");
        data = std::move(*bytes);
    } else if (!o.inputFile.empty() && o.inputFile != "-") {
        int fd = open(o.inputFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) failUsage("cannot open " + o.inputFile + ": " + std::strerror(errno));
        data = slurp(fd, o.inputFile);
        close(fd);
    } else {
        if (o.inputFile.empty() && isatty(STDIN_FILENO) == 1) {
            failUsage("no data to write: give --input FILE or --hex, or pipe the data in");
        }
        data = slurp(STDIN_FILENO, "stdin");
    }
    if (data.empty()) failUsage("no data to write");
    if (data.size() > kMaxTransfer) {
        failUsage("more than " + std::to_string(kMaxTransfer) + " bytes to write");
    }
    return data;
}

bool dataFromStdin(const MemoryOptions& o) {
    return o.hexOption->count() == 0 && (o.inputFile.empty() || o.inputFile == "-");
}

int runWrite(const MemoryOptions& o) {
    if (dataFromStdin(o) && o.pin.file == "-") {
        failUsage("the data and the PIN cannot both come from stdin");
    }
    std::optional<Secret> pin = obtainPin(o.pin, PinNeed::kOptional);
    std::vector<uint8_t> data = dataToWrite(o);
    const uint32_t length = static_cast<uint32_t>(data.size());
    Token token(o.token);

    // The last step goes first: a range that runs past the end of the memory
    // or of the block is refused before any byte of the token has changed.
    std::vector<Step> steps = planSteps(o.offset, length);
    std::rotate(steps.begin(), steps.end() - 1, steps.end());

    VokIdResponse response{};
    Progress progress("write", length, steps.size() > 1);
    uint32_t done = 0;
    for (const Step& step : steps) {
        const uint8_t* source = data.data() + (step.offset - o.offset);
        uint32_t status =
            o.block == 0 ? vokWrite(token.handle(), pinData(pin), pinLength(pin), step.offset,
                                    source, step.length, &response)
                         : vokWriteEx(token.handle(), static_cast<BLOCK_ID>(o.block), pinData(pin),
                                      pinLength(pin), step.offset, source, step.length, &response);
        if (status != 0 && done > 0) {
            failStatus("write (" + std::to_string(done) + " of " + std::to_string(length) +
                           " bytes were written)",
                       status);
        }
        requireOk("write", status);
        done += step.length;
        progress.update(done);
    }
    progress.finish();

    if (o.json) {
        printJson({{"offset", o.offset},
                   {"length", length},
                   {"block", blockJson(o.block)},
                   {"response", toJson(response)}});
    } else {
        std::printf("wrote %u %s at %s\n", length, length == 1 ? "byte" : "bytes",
                    where(o).c_str());
    }
    return kExitOk;
}

void addRangeOptions(CLI::App& cmd, MemoryOptions& o) {
    addTokenOption(cmd, o.token);
    addBlockOption(cmd, o.block)
        ->description("Address block 1 to 4 instead of the whole memory (offsets relative to it)");
    addNumberOption(cmd, "--offset", o.offset, 0, kMaxTransfer, "First byte (default 0)");
    addPinOptions(cmd, o.pin, PinNeed::kOptional);
    addJsonOption(cmd, o.json);
}

}  // namespace

void registerMemoryCommands(CLI::App& app, CommandTable& table) {
    auto readOptions = std::make_shared<MemoryOptions>();
    CLI::App* read = app.add_subcommand(
        "read", "Read token memory; print it as a hex dump like xxd, or save it raw");
    addRangeOptions(*read, *readOptions);
    addNumberOption(*read, "--length", readOptions->length, 1, kMaxTransfer,
                    "Bytes to read (default: up to the end of the memory)");
    read->add_option("-o,--output", readOptions->outputFile,
                     "Save the bytes raw to FILE (- for stdout) instead of a hex dump")
        ->type_name("FILE");
    table.add(read, [readOptions] { return runRead(*readOptions); });

    auto writeOptions = std::make_shared<MemoryOptions>();
    CLI::App* write =
        app.add_subcommand("write", "Write token memory from a file, stdin or hexadecimal digits");
    addRangeOptions(*write, *writeOptions);
    auto* input = write
                      ->add_option("-i,--input", writeOptions->inputFile,
                                   "Write the bytes of FILE (- for stdin, the default)")
                      ->type_name("FILE");
    auto* hex = write->add_option("--hex", writeOptions->hex,
                                  "Write these bytes, given as hexadecimal digits");
    hex->excludes(input);
    writeOptions->hexOption = hex;
    table.add(write, [writeOptions] { return runWrite(*writeOptions); });
}

}  // namespace vokcli
