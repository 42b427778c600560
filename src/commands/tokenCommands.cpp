// Token commands: one builder per token command.
//
// Every builder checks its arguments, fills a zeroed request record in its own
// automatic storage, runs it through the transaction engine and copies the
// results and the response summary out. Once its transaction has run, the
// PINs it carried (and the memory words of a memory command, which may hold a
// PIN kept in token memory) are wiped from the working record.
#include "commands/tokenCommands.h"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/vokAssert.h"
#include "protocol/ioctl.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusBadArgument = 3;
constexpr uint32_t kMaxPinLength = sizeof(TDRVREQUEST_MEK::pin) - 1;  // the last byte stays zero
constexpr uint32_t kMaxPartWords = VOK_REQUEST_MAX_WORDS;
constexpr uint32_t kPartBytes = 2 * kMaxPartWords;
// The largest memory the info record can describe: 255 units of 256 bytes.
constexpr uint32_t kMaxMemoryBytes = 255u * 256u;
// A read holds every part but the last aside until all parts have succeeded.
constexpr uint32_t kMaxStagedBytes = (kMaxMemoryBytes - 1) / kPartBytes * kPartBytes;

static_assert(kPartBytes == sizeof(TDRVREQUEST_MEK::data));

}  // namespace

// Clears memory that held a PIN or token data in a way the compiler keeps,
// even though the storage is about to go out of scope.
static void wipe_bytes(void* bytes, size_t length) { explicit_bzero(bytes, length); }

static void wipe_pins(TDRVREQUEST_MEK* request) { wipe_bytes(request->pin, sizeof request->pin); }

static void zero_request(TDRVREQUEST_MEK* request) { std::memset(request, 0, sizeof *request); }

static bool pin_optional_ok(const void* pin, uint32_t pinLength) {
    return pin == nullptr || (pinLength >= 1 && pinLength <= kMaxPinLength);
}

static bool pin_required_ok(const void* pin, uint32_t pinLength) {
    return pin != nullptr && pinLength >= 1 && pinLength <= kMaxPinLength;
}

// The PIN kind that reaches the token is bit 0 of the argument, so the rule
// follows that bit: a kind-1 PIN always needs the current one, whatever other
// bits the caller's value carries.
static bool pin_by_type_ok(TYPE_PIN pinType, const void* pin, uint32_t pinLength) {
    if ((static_cast<uint32_t>(pinType) & 1u) != 0) return pin_required_ok(pin, pinLength);
    return pin_optional_ok(pin, pinLength);
}

// Callers have bounded pinLength to the pin field already.
static void put_pin(TDRVREQUEST_MEK* request, const void* pin, uint32_t pinLength) {
    if (pin != nullptr) std::memcpy(request->pin, pin, pinLength);
}

static void put_block(TDRVREQUEST_MEK* request, BLOCK_ID block) {
    request->blockId = static_cast<uint32_t>(block) & 0x7Fu;
}

static void put_token_id(TDRVREQUEST_MEK* request, const VokDevice* device) {
    std::memcpy(request->tokenId, device->info.tokenId, sizeof request->tokenId);
}

static uint8_t low_byte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }

// The little-endian 16-bit result in data bytes 0 and 1.
static uint16_t data_word(const TDRVREQUEST_MEK* request) {
    return static_cast<uint16_t>(request->data[0] | (request->data[1] << 8));
}

// Words travel in pairs, so a transfer of an odd number of words also touches
// the two data bytes after its last word.
static uint32_t touched_bytes(uint32_t wordCount) { return 4 * ((wordCount + 1) / 2); }

// ---- Info command, raw command and response summary ----------------------

extern "C" VOK_API void copyResponseInfo(TDRVREQUEST_MEK* request, VokIdResponse* response) {
    response->status = request->status;
    response->pinPhaseReply = request->pinPhaseReply;
    response->versionNibbles = request->versionNibbles;
    response->memoryModel = request->memoryModel;
    response->protocolLevel = request->protocolLevel;
    response->infoByte = request->infoByte;
    response->memoryUnits = request->memoryUnits;
}

extern "C" VOK_API int vokIdGetInfoCmd(VokDevice* device, VokIdInfo* info) {
    TDRVREQUEST_MEK request;
    zero_request(&request);
    request.command = VOK_CMD_GET_INFO;

    const int status = cmdProtocolExecute(device, &request);
    if (status != kStatusOk) return status;

    info->flagA = request.flagA != 0 ? 1 : 0;
    info->flagB = request.flagB != 0 ? 1 : 0;
    info->versionHigh = static_cast<uint8_t>(request.versionNibbles >> 4);
    info->versionLow = static_cast<uint8_t>(request.versionNibbles & 0x0Fu);
    info->memoryModel = request.memoryModel;
    info->protocolLevel = request.protocolLevel;
    info->infoByte = request.infoByte;
    std::memcpy(info->tokenId, request.data, sizeof info->tokenId);

    // Models 0 and 1 count memory in 16-byte units and keep the PIN area just
    // below address 256; model 2 and above count in 256-byte units and keep
    // it at the very end of memory.
    const uint32_t units = request.memoryUnits;
    uint32_t pinBase = 256;
    if (request.memoryModel >= 2) {
        info->memorySize = units * 256u;
        pinBase = units * 256u;
    } else {
        info->memorySize = units * 16u;
    }
    info->pinAddress = pinBase - 34u;
    info->pinControlAddress = pinBase - 2u;
    return kStatusOk;
}

extern "C" VOK_API int vokIdCommand(VokDevice* device, TDRVREQUEST_MEK* request, uint32_t length) {
    if (request == nullptr || length < VOK_REQUEST_HEADER_SIZE || length > VOK_REQUEST_SIZE) {
        return kStatusBadArgument;
    }
    // Bytes beyond length stay zero, so a record the caller cut short reads
    // as a record whose remaining fields and data are zero.
    TDRVREQUEST_MEK working;
    zero_request(&working);
    std::memcpy(&working, request, length);

    const int status = cmdProtocolExecute(device, &working);

    std::memcpy(request, &working, length);
    // The raw record may carry PINs anywhere (the pin field, a new PIN or a
    // PIN written to memory in the data area): clear all of it.
    wipe_bytes(&working, sizeof working);
    return status;
}

// ---- Memory commands ------------------------------------------------------
//
// A transfer is widened to the whole 16-bit words its byte range touches.
// One request record carries at most kMaxPartWords words; a longer transfer
// runs as several transactions of at most that many words, in address order.
// Such a write, like a write that starts or ends inside a word (which first
// fetches the shared words), is therefore not atomic on the token: another
// host may see or change memory between its transactions, and a failure
// part-way leaves the earlier parts written.

namespace {

// Which memory command a transfer uses: the plain or the block form.
struct MemoryAccess {
    VokDevice* device;
    bool viaBlock;
    BLOCK_ID block;
    const void* pin;
    uint32_t pinLength;
};

}  // namespace

static int check_memory_arguments(const MemoryAccess& access, uint32_t offset, const void* buffer,
                                  uint32_t length) {
    if (!pin_optional_ok(access.pin, access.pinLength)) return kStatusBadArgument;
    if (buffer == nullptr || length == 0) return kStatusBadArgument;
    // The info command never reports more than kMaxMemoryBytes; the bound
    // also holds for a device record whose info was filled some other way.
    const uint32_t memorySize = std::min(access.device->info.memorySize, kMaxMemoryBytes);
    if (length > memorySize || offset > memorySize - length) return kStatusBadArgument;
    return kStatusOk;
}

// Fills the header of one memory transaction; the data area is left as it is.
static void put_memory_header(TDRVREQUEST_MEK* request, const MemoryAccess& access, bool write,
                              uint32_t wordOffset, uint32_t wordCount) {
    if (access.viaBlock) {
        request->command = write ? VOK_CMD_WRITE_EX : VOK_CMD_READ_EX;
        put_block(request, access.block);
    } else {
        request->command = write ? VOK_CMD_WRITE : VOK_CMD_READ;
    }
    request->wordOffset = static_cast<uint16_t>(wordOffset);
    request->wordCount = static_cast<uint16_t>(wordCount);
    put_pin(request, access.pin, access.pinLength);
    put_token_id(request, access.device);
}

// Runs one memory transaction, wipes the PIN and fills the response.
static int run_memory_part(TDRVREQUEST_MEK* request, const MemoryAccess& access,
                           VokIdResponse* response) {
    const int status = cmdProtocolExecute(access.device, request);
    wipe_pins(request);
    copyResponseInfo(request, response);
    return status;
}

// Reads the words [firstWord, firstWord + wordCount) and copies bytes
// [skip, skip + length) of them to buffer, only once every part has
// succeeded. staged holds the parts before the last one; it may be null when
// the words fit one record.
static int read_words(const MemoryAccess& access, uint32_t firstWord, uint32_t wordCount,
                      uint32_t skip, uint8_t* buffer, uint32_t length, uint8_t* staged,
                      VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    uint32_t done = 0;
    int status = kStatusOk;
    for (;;) {
        const uint32_t part = std::min(wordCount - done, kMaxPartWords);
        zero_request(&request);
        put_memory_header(&request, access, false, firstWord + done, part);
        status = run_memory_part(&request, access, response);
        if (status != kStatusOk || done + part == wordCount) break;
        std::memcpy(staged + size_t{2} * done, request.data, size_t{2} * part);
        done += part;
    }

    if (status == kStatusOk) {
        // The caller's bytes are bytes [skip, skip + length) of the staged
        // parts followed by the last part, which is still in the record.
        const uint32_t stagedBytes = 2 * done;
        uint32_t copied = 0;
        if (skip < stagedBytes) {
            copied = std::min(length, stagedBytes - skip);
            std::memcpy(buffer, staged + skip, copied);
        }
        const uint32_t fromLast = skip + copied - stagedBytes;
        std::memcpy(buffer + copied, request.data + fromLast, length - copied);
    }
    wipe_bytes(request.data, touched_bytes(std::min(wordCount - done, kMaxPartWords)));
    if (done > 0) wipe_bytes(staged, size_t{2} * done);
    return status;
}

// A read of more than one record holds its earlier parts aside until every
// part has succeeded. They are held in static storage rather than on the
// stack, so that a call on a thread with a small stack uses no more than one
// request record: a few staging areas, each taken by one read at a time.
namespace {

struct StagingArea {
    pthread_mutex_t lock;
    uint8_t bytes[kMaxStagedBytes];
};

constexpr size_t kStagingAreaCount = 4;

}  // namespace

static StagingArea staging_areas[kStagingAreaCount] = {
    {PTHREAD_MUTEX_INITIALIZER, {}},
    {PTHREAD_MUTEX_INITIALIZER, {}},
    {PTHREAD_MUTEX_INITIALIZER, {}},
    {PTHREAD_MUTEX_INITIALIZER, {}},
};

// A free area if there is one; else the first, once its read is over.
static StagingArea* take_staging_area() {
    for (StagingArea& area : staging_areas) {
        if (pthread_mutex_trylock(&area.lock) == 0) return &area;
    }
    const int r = pthread_mutex_lock(&staging_areas[0].lock);
    VOK_ASSERT(r == 0);
    return &staging_areas[0];
}

static void give_back_staging_area(StagingArea* area) {
    const int r = pthread_mutex_unlock(&area->lock);
    VOK_ASSERT(r == 0);
}

[[gnu::noinline]] static int read_words_staged(const MemoryAccess& access, uint32_t firstWord,
                                               uint32_t wordCount, uint32_t skip, uint8_t* buffer,
                                               uint32_t length, VokIdResponse* response) {
    StagingArea* area = take_staging_area();
    const int status =
        read_words(access, firstWord, wordCount, skip, buffer, length, area->bytes, response);
    give_back_staging_area(area);
    return status;
}

static int read_memory(const MemoryAccess& access, uint32_t offset, void* buffer, uint32_t length,
                       VokIdResponse* response) {
    const int checked = check_memory_arguments(access, offset, buffer, length);
    if (checked != kStatusOk) return checked;

    const uint32_t skip = offset % 2;
    const uint32_t firstWord = offset / 2;
    const uint32_t wordCount = (length + skip + 1) / 2;
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (wordCount <= kMaxPartWords) {
        return read_words(access, firstWord, wordCount, skip, bytes, length, nullptr, response);
    }
    return read_words_staged(access, firstWord, wordCount, skip, bytes, length, response);
}

// Reads the 16-bit word at the even address into word[0..1], as a complete
// transaction of its own with the caller's PIN (and block).
static int fetch_word(const MemoryAccess& access, uint32_t address, uint8_t* word,
                      VokIdResponse* response) {
    return read_words(access, address / 2, 1, 0, word, 2, nullptr, response);
}

namespace {

// The words a write touches: [start, wordsEnd) in bytes, with the words it
// shares with bytes outside the caller's range fetched beforehand.
struct WriteSpan {
    uint32_t start;
    uint32_t wordsEnd;
    bool fetchLeading;
    bool fetchTrailing;
    uint8_t leading[2];
    uint8_t trailing[2];
};

}  // namespace

// Out of line, like send_words, so that the fetches' request record and the
// write's are never on the stack at the same time.
[[gnu::noinline]] static int fetch_shared_words(const MemoryAccess& access, WriteSpan* span,
                                                VokIdResponse* response) {
    if (span->fetchLeading) {
        const int status = fetch_word(access, span->start, span->leading, response);
        if (status != kStatusOk) return status;
    }
    if (span->fetchTrailing) {
        const int status = fetch_word(access, span->wordsEnd - 2, span->trailing, response);
        if (status != kStatusOk) return status;
    }
    return kStatusOk;
}

// The caller's bytes occupy positions [firstByte, firstByte + length) of the
// stream of words; each part carries its own slice of that stream.
[[gnu::noinline]] static int send_words(const MemoryAccess& access, const WriteSpan& span,
                                        uint32_t firstByte, const uint8_t* source, uint32_t length,
                                        VokIdResponse* response) {
    const uint32_t wordCount = (span.wordsEnd - span.start) / 2;
    TDRVREQUEST_MEK request;
    int status = kStatusOk;
    for (uint32_t done = 0; done < wordCount;) {
        const uint32_t part = std::min(wordCount - done, kMaxPartWords);
        const uint32_t partBegin = 2 * done;
        const uint32_t partEnd = partBegin + 2 * part;
        zero_request(&request);
        put_memory_header(&request, access, true, span.start / 2 + done, part);
        if (span.fetchLeading && done == 0) std::memcpy(request.data, span.leading, 2);
        if (span.fetchTrailing && done + part == wordCount) {
            std::memcpy(request.data + size_t{2} * part - 2, span.trailing, 2);
        }
        const uint32_t copyBegin = std::max(partBegin, firstByte);
        const uint32_t copyEnd = std::min(partEnd, firstByte + length);
        std::memcpy(request.data + (copyBegin - partBegin), source + (copyBegin - firstByte),
                    copyEnd - copyBegin);

        status = run_memory_part(&request, access, response);
        wipe_bytes(request.data, touched_bytes(part));
        if (status != kStatusOk) break;
        done += part;
    }
    return status;
}

static int write_memory(const MemoryAccess& access, uint32_t offset, const void* buffer,
                        uint32_t length, VokIdResponse* response) {
    const int checked = check_memory_arguments(access, offset, buffer, length);
    if (checked != kStatusOk) return checked;

    // A word shared with bytes outside the caller's range is fetched first,
    // so that those bytes are written back as they were. Both fetches run
    // before any word is sent: a failed fetch leaves token memory unchanged.
    // The bound check and the even memory size keep both fetched words inside
    // memory.
    const uint32_t end = offset + length;
    WriteSpan span{};
    span.start = offset & ~1u;
    span.wordsEnd = (end + 1) & ~1u;
    span.fetchLeading = span.start != offset;
    span.fetchTrailing = span.wordsEnd != end;

    int status = fetch_shared_words(access, &span, response);
    if (status == kStatusOk) {
        status = send_words(access, span, offset - span.start, static_cast<const uint8_t*>(buffer),
                            length, response);
    }
    wipe_bytes(span.leading, sizeof span.leading);
    wipe_bytes(span.trailing, sizeof span.trailing);
    return status;
}

extern "C" VOK_API int vokIdReadCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                                    uint32_t offset, void* buffer, uint32_t length,
                                    VokIdResponse* response) {
    const MemoryAccess access{device, false, VOK_BLOCK_1, pin, pinLength};
    return read_memory(access, offset, buffer, length, response);
}

extern "C" VOK_API int vokIdWriteCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                                     uint32_t offset, const void* buffer, uint32_t length,
                                     VokIdResponse* response) {
    const MemoryAccess access{device, false, VOK_BLOCK_1, pin, pinLength};
    return write_memory(access, offset, buffer, length, response);
}

extern "C" VOK_API int vokIdReadExCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                      uint32_t pinLength, uint32_t offset, void* buffer,
                                      uint32_t length, VokIdResponse* response) {
    const MemoryAccess access{device, true, block, pin, pinLength};
    return read_memory(access, offset, buffer, length, response);
}

extern "C" VOK_API int vokIdWriteExCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                       uint32_t pinLength, uint32_t offset, const void* buffer,
                                       uint32_t length, VokIdResponse* response) {
    const MemoryAccess access{device, true, block, pin, pinLength};
    return write_memory(access, offset, buffer, length, response);
}

// ---- Block, PIN and security commands --------------------------------------
//
// Each is one transaction: start_command fills the common fields, the builder
// adds its parameter bytes, finish_command runs the record and wipes it.

static void start_command(TDRVREQUEST_MEK* request, uint8_t command, const void* pin,
                          uint32_t pinLength) {
    zero_request(request);
    request->command = command;
    put_pin(request, pin, pinLength);
}

static int finish_command(TDRVREQUEST_MEK* request, VokDevice* device, VokIdResponse* response) {
    const int status = cmdProtocolExecute(device, request);
    wipe_pins(request);
    copyResponseInfo(request, response);
    return status;
}

// The three getters send neither PIN nor token identifier.
static int run_getter(VokDevice* device, uint8_t command, BLOCK_ID block, TDRVREQUEST_MEK* request,
                      VokIdResponse* response) {
    start_command(request, command, nullptr, 0);
    put_block(request, block);
    return finish_command(request, device, response);
}

// The initialise command's PIN is not otherwise tested: a null PIN or an
// empty one sends an all-zero pin field. Only a PIN that does not fit the
// field is refused.
extern "C" VOK_API int vokIdInitializeCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                                          VokIdResponse* response) {
    if (pin != nullptr && pinLength > kMaxPinLength) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_INITIALIZE, pin, pinLength);
    put_token_id(&request, device);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdInitializeBlockCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block,
                                               const void* pin, uint32_t pinLength,
                                               VokIdResponse* response) {
    if (!pin_by_type_ok(pinType, pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_INITIALIZE_BLOCK, pin, pinLength);
    put_block(&request, block);
    request.pinType = static_cast<uint32_t>(pinType) & 1u;
    put_token_id(&request, device);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetVendorIdCmd(VokDevice* device, BLOCK_ID block, uint16_t* vendorId,
                                           VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    const int status = run_getter(device, VOK_CMD_GET_VENDOR_ID, block, &request, response);
    if (status == kStatusOk) {
        *vendorId = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokIdSetVendorIdCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                           uint32_t pinLength, uint16_t vendorId,
                                           VokIdResponse* response) {
    if (!pin_optional_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_VENDOR_ID, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(vendorId);
    request.data[1] = low_byte(vendorId >> 8);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetBlockAttrCmd(VokDevice* device, BLOCK_ID block, uint16_t* attributes,
                                            VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    const int status = run_getter(device, VOK_CMD_GET_BLOCK_ATTR, block, &request, response);
    if (status == kStatusOk) {
        *attributes = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokIdSetBlockAttrCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                            uint32_t pinLength, RW_PERMISSIONS permissions,
                                            uint16_t* attributes, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_BLOCK_ATTR, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(permissions));
    const int status = finish_command(&request, device, response);
    if (status == kStatusOk) {
        *attributes = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokLockBlockCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                       uint32_t pinLength, ACCESS access, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_LOCK_BLOCK, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(access));
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdSetSecParametersCmd(VokDevice* device, const void* pin,
                                                uint32_t pinLength, uint8_t secParameter1,
                                                uint8_t secParameter2, uint8_t secParameter3,
                                                uint8_t secParameter4, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_SEC_PARAMETERS, pin, pinLength);
    put_token_id(&request, device);
    request.data[0] = secParameter1;
    request.data[1] = secParameter2;
    request.data[2] = secParameter3;
    request.data[3] = secParameter4;
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetSecParametersCmd(VokDevice* device, uint8_t* secParameter1,
                                                uint8_t* secParameter2, uint8_t* secParameter3,
                                                uint8_t* secParameter4, VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_GET_SEC_PARAMETERS, nullptr, 0);
    const int status = finish_command(&request, device, response);
    if (status == kStatusOk) {
        *secParameter1 = request.data[0];
        *secParameter2 = request.data[1];
        *secParameter3 = request.data[2];
        *secParameter4 = request.data[3];
    }
    return status;
}

// The new PIN must fit the 32-byte area that the token receives, with its
// last byte zero, like every other PIN.
extern "C" VOK_API int vokIdSetPinCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block,
                                      const void* pin, uint32_t pinLength, const void* newPin,
                                      uint32_t newPinLength, VokIdResponse* response) {
    if (!pin_by_type_ok(pinType, pin, pinLength)) return kStatusBadArgument;
    if (!pin_required_ok(newPin, newPinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_PIN, pin, pinLength);
    put_block(&request, block);
    request.pinType = static_cast<uint32_t>(pinType) & 1u;
    put_token_id(&request, device);
    request.newPinLength = low_byte(newPinLength);
    std::memcpy(request.data, newPin, newPinLength);
    const int status = finish_command(&request, device, response);
    wipe_bytes(request.data, sizeof request.pin);
    return status;
}

extern "C" VOK_API int vokIdSetBlockPinUseCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                              uint32_t pinLength, PIN_USE pinUse,
                                              PIN_SET_PERMISSIONS pinSetPermissions,
                                              VokIdResponse* response) {
    if (!pin_optional_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_BLOCK_PIN_USE, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(pinUse));
    request.data[1] = low_byte(static_cast<uint32_t>(pinSetPermissions));
    return finish_command(&request, device, response);
}
