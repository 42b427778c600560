// Many threads on several handles of two virtual tokens at once, with opens
// and closes racing the calls.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

constexpr int kTokens = 2;
constexpr int kPairs = 2;        // per token: two threads share one steady handle
constexpr int kPoolThreads = 3;  // per token: threads that use the churned handles
constexpr int kPoolSlots = 2;    // per token: handles that the churner keeps replacing
constexpr int kRounds = 120;
constexpr uint32_t kPairBase = 512;   // pair p owns bytes kPairBase + 8p .. +7
constexpr uint32_t kPoolBase = 1024;  // pool thread t owns bytes kPoolBase + 16t .. +15
constexpr uint32_t kPoolSpan = 13;    // written at offset +1: unaligned at both ends

struct Token {
    std::string node;
    uint8_t index = 0;   // enumeration index
    uint8_t idByte = 0;  // last byte of its identifier
    std::array<std::atomic<VokHandle>, kPoolSlots> pool{};
};

uint8_t pool_byte(int thread, int round, uint32_t i) {
    return static_cast<uint8_t>(thread * 31 + round * 7 + i + 1);
}

// Reads the index of each token from the identifier that vokOpen finds there.
void locate_tokens(std::array<Token, kTokens>& tokens) {
    for (uint8_t index = 0; index < kTokens; ++index) {
        ScopedHandle handle(vokOpen(index));
        ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);
        VokIdInfo info;
        ASSERT_EQ(vokGetInfo(handle.get(), &info, sizeof info), VOK_STATUS_OK);
        for (Token& token : tokens) {
            if (token.idByte == info.tokenId[7]) token.index = index;
        }
    }
}

TEST(ApiConcurrency, ThreadsHandlesAndClosesOnTwoTokens) {
    TokenTree tree;
    std::array<Token, kTokens> tokens;
    for (int t = 0; t < kTokens; ++t) {
        voksim::Identity identity;
        identity.tokenId[7] = static_cast<uint8_t>(0xA0 + t);
        tokens[t].idByte = identity.tokenId[7];
        tokens[t].node = tree.addToken(2 + t, identity);
        ASSERT_TRUE(voksim::setLogging(tokens[t].node, false));
    }
    locate_tokens(tokens);
    for (Token& token : tokens) {
        for (auto& slot : token.pool) {
            slot = vokOpen(token.index);
            ASSERT_NE(slot.load(), VOK_INVALID_HANDLE);
        }
    }

    std::atomic<int> unexpected{0};
    auto expect = [&](bool condition) {
        if (!condition) ++unexpected;
        return condition;
    };

    // Pairs: two threads write alternate single bytes of the same words
    // through one steady handle. Each one-byte write reads its word first and
    // writes it back; the handle serialises the two, so neither loses the
    // other's byte.
    std::array<std::array<uint8_t, 8>, kTokens * kPairs * 2> pairLast{};
    auto pairWorker = [&](Token& token, VokHandle handle, int pair, int side, int slot) {
        VokIdResponse response;
        for (int round = 0; round < kRounds; ++round) {
            for (uint32_t i = static_cast<uint32_t>(side); i < 8; i += 2) {
                const auto value = static_cast<uint8_t>(round * 2 + side + 1);
                const uint32_t status =
                    vokWrite(handle, nullptr, 0, kPairBase + 8 * pair + i, &value, 1, &response);
                if (expect(status == VOK_STATUS_OK)) pairLast[slot][i] = value;
            }
            VokIdInfo info;
            expect(vokGetInfo(handle, &info, sizeof info) == VOK_STATUS_OK &&
                   info.tokenId[7] == token.idByte);
        }
    };

    // Pool threads: unaligned writes and reads in regions of their own through
    // whichever handle their token's pool holds, while the churner replaces
    // and closes those handles. A call gives 0, or 9 when its handle was
    // closed first.
    std::array<std::vector<uint8_t>, kTokens * kPoolThreads> poolLast;
    auto poolWorker = [&](Token& token, int thread, int slot) {
        VokIdResponse response;
        const uint32_t offset = kPoolBase + 16 * thread + 1;
        for (int round = 0; round < kRounds; ++round) {
            const VokHandle handle = token.pool[round % kPoolSlots].load();
            std::vector<uint8_t> bytes(kPoolSpan);
            for (uint32_t i = 0; i < kPoolSpan; ++i) bytes[i] = pool_byte(thread, round, i);
            const uint32_t written =
                vokWrite(handle, nullptr, 0, offset, bytes.data(), kPoolSpan, &response);
            expect(written == VOK_STATUS_OK || written == VOK_STATUS_BAD_HANDLE);
            if (written == VOK_STATUS_OK) poolLast[slot] = bytes;

            std::vector<uint8_t> read(kPoolSpan, 0);
            const uint32_t status =
                vokRead(handle, nullptr, 0, offset, read.data(), kPoolSpan, &response);
            expect(status == VOK_STATUS_OK || status == VOK_STATUS_BAD_HANDLE);
            if (status == VOK_STATUS_OK && !poolLast[slot].empty()) expect(read == poolLast[slot]);
        }
    };

    std::atomic<bool> stop{false};
    auto churner = [&] {
        while (!stop.load()) {
            for (Token& token : tokens) {
                for (auto& slot : token.pool) {
                    const VokHandle fresh = vokOpen(token.index);
                    if (!expect(fresh != VOK_INVALID_HANDLE)) continue;
                    expect(vokClose(slot.exchange(fresh)) == VOK_STATUS_OK);
                }
            }
        }
    };

    std::vector<VokHandle> steady;
    std::vector<std::thread> workers;
    for (int t = 0; t < kTokens; ++t) {
        for (int pair = 0; pair < kPairs; ++pair) {
            const VokHandle handle = vokOpen(tokens[t].index);
            ASSERT_NE(handle, VOK_INVALID_HANDLE);
            steady.push_back(handle);
            for (int side = 0; side < 2; ++side) {
                workers.emplace_back(pairWorker, std::ref(tokens[t]), handle, pair, side,
                                     t * kPairs + pair);
            }
        }
        for (int thread = 0; thread < kPoolThreads; ++thread) {
            workers.emplace_back(poolWorker, std::ref(tokens[t]), thread,
                                 t * kPoolThreads + thread);
        }
    }
    std::thread churnerThread(churner);
    for (std::thread& worker : workers) worker.join();
    stop = true;
    churnerThread.join();

    EXPECT_EQ(unexpected.load(), 0);
    for (VokHandle handle : steady) EXPECT_EQ(vokClose(handle), VOK_STATUS_OK);
    for (Token& token : tokens) {
        for (auto& slot : token.pool) EXPECT_EQ(vokClose(slot.load()), VOK_STATUS_OK);
    }

    // The tokens' memory holds the last successful write of every thread.
    for (int t = 0; t < kTokens; ++t) {
        for (int pair = 0; pair < kPairs; ++pair) {
            const std::array<uint8_t, 8>& last = pairLast[t * kPairs + pair];
            EXPECT_EQ(tokenMemory(tokens[t].node, kPairBase + 8 * pair, 8),
                      std::vector<uint8_t>(last.begin(), last.end()))
                << "token " << t << " pair " << pair;
        }
        for (int thread = 0; thread < kPoolThreads; ++thread) {
            const std::vector<uint8_t>& last = poolLast[t * kPoolThreads + thread];
            if (last.empty()) continue;
            const uint32_t offset = kPoolBase + 16 * thread;
            const std::vector<uint8_t> memory = tokenMemory(tokens[t].node, offset, 16);
            EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 1, memory.begin() + 1 + kPoolSpan),
                      last)
                << "token " << t << " thread " << thread;
            EXPECT_EQ(memory[0], 0);
            EXPECT_EQ(memory[15], 0);
        }
    }
}

}  // namespace
}  // namespace voktest
