// Memory commands: reads and writes of token memory, plain or through a block.
#include "commands/memoryCommands.h"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "commands/requestRecord.h"
#include "commands/tokenCommands.h"
#include "common/libraryStatus.h"
#include "common/tokenLimits.h"
#include "common/vokAssert.h"

namespace {

constexpr uint32_t kPartBytes = 2 * VOK_REQUEST_MAX_WORDS;
// A read holds every part but the last aside until all parts have succeeded.
constexpr uint32_t kMaxStagedBytes = (kVokMaxMemoryBytes - 1) / kPartBytes * kPartBytes;

static_assert(kPartBytes == sizeof(TDRVREQUEST_MEK::data));

}  // namespace

// Words travel in pairs, so a transfer of an odd number of words also touches
// the two data bytes after its last word.
static uint32_t touched_bytes(uint32_t wordCount) { return 4 * ((wordCount + 1) / 2); }

// ---- Memory commands ------------------------------------------------------
//
// A transfer is widened to the whole 16-bit words its byte range touches.
// One request record carries at most VOK_REQUEST_MAX_WORDS words; a longer transfer
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
    // The info command never reports more than kVokMaxMemoryBytes; the bound
    // also holds for a device record whose info was filled some other way.
    const uint32_t memorySize = std::min(access.device->info.memorySize, kVokMaxMemoryBytes);
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
        const uint32_t part = std::min(wordCount - done, VOK_REQUEST_MAX_WORDS);
        zero_request(&request);
        put_memory_header(&request, access, false, firstWord + done, part);
        status = finish_command(&request, access.device, response);
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
    wipe_bytes(request.data, touched_bytes(std::min(wordCount - done, VOK_REQUEST_MAX_WORDS)));
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
    if (wordCount <= VOK_REQUEST_MAX_WORDS) {
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
        const uint32_t part = std::min(wordCount - done, VOK_REQUEST_MAX_WORDS);
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

        status = finish_command(&request, access.device, response);
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
