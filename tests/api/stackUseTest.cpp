// How much of the calling thread's stack each public call uses. Every call
// runs on a thread whose stack is memory the test owns, painted beforehand;
// the deepest byte that changed gives the call's use. The header promises
// VOK_MAX_STACK_USE for the library; the virtual token serves each transfer
// on the caller's stack too and needs up to 6 KiB of its own. Sanitizers
// enlarge every frame, so they get more.
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kPromisedStackUse = 48u << 10;
#else
constexpr size_t kPromisedStackUse = VOK_MAX_STACK_USE + (6u << 10);
#endif
constexpr size_t kTestStackSize = 1u << 20;  // room for a call that breaks the promise
constexpr uint8_t kPaint = 0xA5;
constexpr uint32_t kMemorySize = 65280;

struct PaintedRun {
    const std::function<void()>* call;
    uintptr_t start;  // the thread's stack pointer just before the call
};

[[gnu::noinline]] void* runPainted(void* argument) {
    auto* run = static_cast<PaintedRun*>(argument);
    volatile uint8_t marker = 0;
    run->start = reinterpret_cast<uintptr_t>(&marker);
    (*run->call)();
    return nullptr;
}

// The deepest changed byte lies below the first unpainted run of bytes.
__attribute__((no_sanitize("address"))) size_t stackUse(const uint8_t* stack, uintptr_t start) {
    size_t lowest = 0;
    while (lowest < kTestStackSize && stack[lowest] == kPaint) ++lowest;
    return start - reinterpret_cast<uintptr_t>(stack + lowest);
}

class StackUseTest : public OpenTokenTest {
  protected:
    voksim::Identity identity() const override {
        voksim::Identity big;
        big.memoryUnits = 255;
        return big;
    }

    size_t measure(const std::function<void()>& call) {
        void* stack = mmap(nullptr, kTestStackSize, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        EXPECT_NE(stack, MAP_FAILED);
        if (stack == MAP_FAILED) return 0;
        std::memset(stack, kPaint, kTestStackSize);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, stack, kTestStackSize);
        PaintedRun run{&call, 0};
        pthread_t thread;
        EXPECT_EQ(pthread_create(&thread, &attributes, runPainted, &run), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attributes);
        const size_t use = stackUse(static_cast<const uint8_t*>(stack), run.start);
        munmap(stack, kTestStackSize);
        return use;
    }
};

TEST_F(StackUseTest, EveryCallStaysWithinThePromisedStackUse) {
    std::vector<uint8_t> buffer(kMemorySize, 0x3C);
    const uint8_t pin[] = {'1', '2', '3', '4'};
    VokIdInfo info;
    uint16_t word = 0;
    uint8_t a = 0, b = 0, c = 0, d = 0;
    std::vector<VokTokenEntry> entries(1);
    uint32_t count = 0;
    TDRVREQUEST_MEK record;
    std::memset(&record, 0, sizeof record);
    record.command = VOK_CMD_GET_INFO;
    const VokHandle h = handle_;
    VokIdResponse* r = &response_;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"vokOpen", [] { vokClose(vokOpen(0)); }},
        {"vokOpenPath", [&] { vokClose(vokOpenPath(node_.c_str())); }},
        {"vokListTokens", [&] { vokListTokens(entries.data(), 1, &count); }},
        {"vokGetInfo", [&] { vokGetInfo(h, &info, sizeof info); }},
        {"vokCommand", [&] { vokCommand(h, &record, sizeof record); }},
        {"vokRead of all memory",
         [&] { vokRead(h, nullptr, 0, 0, buffer.data(), kMemorySize, r); }},
        {"vokWrite of all memory but its ends",
         [&] { vokWrite(h, nullptr, 0, 1, buffer.data(), kMemorySize - 2, r); }},
        {"vokReadEx", [&] { vokReadEx(h, VOK_BLOCK_1, pin, 4, 1, buffer.data(), 20000, r); }},
        {"vokWriteEx", [&] { vokWriteEx(h, VOK_BLOCK_1, pin, 4, 1, buffer.data(), 3, r); }},
        {"vokInitialize", [&] { vokInitialize(h, nullptr, 0, pin, 4, true, r); }},
        {"vokInitializeBlock",
         [&] { vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_2, pin, 4, pin, 4, 7, true, r); }},
        {"vokSetPin", [&] { vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_2, pin, 4, pin, 4, r); }},
        {"vokGetVendorId", [&] { vokGetVendorId(h, VOK_BLOCK_1, &word, r); }},
        {"vokSetBlockAttr",
         [&] { vokSetBlockAttr(h, VOK_BLOCK_1, pin, 4, VOK_RW_READ_WRITE, &word, r); }},
        {"vokGetSecParameters", [&] { vokGetSecParameters(h, &a, &b, &c, &d, r); }},
    };
    for (const auto& [name, call] : calls) {
        const size_t use = measure(call);
        EXPECT_LE(use, kPromisedStackUse) << name << " uses " << use << " bytes of stack";
    }
}

}  // namespace
}  // namespace voktest
