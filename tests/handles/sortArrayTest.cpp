// The sorted table of handle numbers: numbering, the counter's wrap, sorted
// insertion, removal and the bounds of the search.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "handles/assertionPattern.h"
#include "handles/sortArray.h"

namespace {

class SortArrayTest : public ::testing::Test {
  protected:
    // Each test starts from the state of a freshly loaded library.
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        std::memset(gArrayHandle, 0, sizeof gArrayHandle);
        gHandleCount = 0;
        gLastHandle = 255;
    }

    void* value(size_t i) { return &values_.at(i); }

    // Inserts `count` pairs whose numbers follow `last`.
    void insertAfter(uint32_t last, size_t count) {
        gLastHandle = last;
        for (size_t i = 0; i < count; ++i) {
            ASSERT_NE(vokSortArrayInsert(value(i)), kVokNoHandle);
        }
    }

    std::vector<uint32_t> storedNumbers() const {
        std::vector<uint32_t> numbers;
        for (uint32_t i = 0; i < gHandleCount; ++i) {
            numbers.push_back(gArrayHandle[i].handle);
        }
        return numbers;
    }

    std::array<int, 300> values_{};
};

TEST_F(SortArrayTest, NumbersStartAt256AndAreNotReused) {
    EXPECT_EQ(vokSortArrayInsert(value(0)), 256u);
    EXPECT_EQ(vokSortArrayInsert(value(1)), 257u);
    vokSortArrayRemove(256);
    EXPECT_EQ(vokSortArrayInsert(value(2)), 258u);
    EXPECT_EQ(vokSortArrayFind(256), nullptr);
    EXPECT_EQ(vokSortArrayFind(257), value(1));
    EXPECT_EQ(vokSortArrayFind(258), value(2));
}

TEST_F(SortArrayTest, FullArrayRefusesInsertionWithoutTouchingTheCounter) {
    for (size_t i = 0; i < kVokSortArraySize; ++i) {
        EXPECT_FALSE(vokSortArrayIsFull());
        ASSERT_EQ(vokSortArrayInsert(value(i)), 256u + i);
    }
    EXPECT_TRUE(vokSortArrayIsFull());
    const uint32_t last = gLastHandle;
    EXPECT_EQ(vokSortArrayInsert(value(256)), kVokNoHandle);
    EXPECT_EQ(gLastHandle, last);
    EXPECT_EQ(gHandleCount, 256u);
    EXPECT_EQ(vokSortArrayFind(256), value(0));
    EXPECT_EQ(vokSortArrayFind(511), value(255));

    vokSortArrayRemove(300);
    EXPECT_FALSE(vokSortArrayIsFull());
    EXPECT_EQ(vokSortArrayInsert(value(256)), 512u);
}

TEST_F(SortArrayTest, SearchBelowEveryNumberReadsNoUnusedSlot) {
    insertAfter(255, 2);
    // An unused slot that a search strayed into would yield this pointer.
    int stray = 0;
    gArrayHandle[2] = {0, &stray};
    gArrayHandle[kVokSortArraySize - 1] = {0, &stray};
    EXPECT_EQ(vokSortArrayFind(0), nullptr);
    EXPECT_EQ(vokSortArrayFind(255), nullptr);
    EXPECT_EQ(vokSortArrayFind(258), nullptr);
    EXPECT_EQ(vokSortArrayFind(kVokNoHandle), nullptr);
    EXPECT_EQ(vokSortArrayFind(256), value(0));
    EXPECT_EQ(vokSortArrayFind(257), value(1));
}

TEST_F(SortArrayTest, RemovingTheOnlyPairResetsItsSlot) {
    ASSERT_EQ(vokSortArrayInsert(value(0)), 256u);
    vokSortArrayRemove(256);
    EXPECT_EQ(gHandleCount, 0u);
    EXPECT_EQ(gArrayHandle[0].handle, 0u);
    EXPECT_EQ(gArrayHandle[0].value, nullptr);
}

TEST_F(SortArrayTest, RemovingAnAbsentNumberChangesNothing) {
    insertAfter(255, 3);
    vokSortArrayRemove(257);  // leaves 256 and 258
    VokSortArrayItem before[kVokSortArraySize];
    std::memcpy(before, gArrayHandle, sizeof before);
    for (const uint32_t absent : {0u, 255u, 257u, 259u, kVokNoHandle}) {
        vokSortArrayRemove(absent);
        EXPECT_EQ(gHandleCount, 2u);
        EXPECT_EQ(std::memcmp(before, gArrayHandle, sizeof before), 0) << absent;
    }
    EXPECT_EQ(gLastHandle, 258u);
}

TEST_F(SortArrayTest, CounterPassesOverTheFailureResultToZero) {
    gLastHandle = 0xFFFFFFFDu;
    EXPECT_EQ(vokSortArrayInsert(value(0)), 0xFFFFFFFEu);
    EXPECT_EQ(vokSortArrayInsert(value(1)), 0u);
    EXPECT_EQ(gLastHandle, 0u);
    EXPECT_EQ(vokSortArrayInsert(value(2)), 1u);

    gLastHandle = 0xFFFFFFFFu;  // even when it already stands there
    EXPECT_EQ(vokSortArrayInsert(value(3)), 2u);
    EXPECT_EQ(vokSortArrayFind(kVokNoHandle), nullptr);
}

TEST_F(SortArrayTest, NumbersStillInUseAreSkippedAfterTheWrap) {
    insertAfter(0xFFFFFFFFu, 3);  // 0, 1, 2 stay in use
    vokSortArrayRemove(1);
    gLastHandle = 0xFFFFFFFEu;  // the counter comes round again
    EXPECT_EQ(vokSortArrayInsert(value(3)), 1u);
    EXPECT_EQ(gLastHandle, 1u);
    EXPECT_EQ(vokSortArrayInsert(value(4)), 3u);  // 2 is skipped
    EXPECT_EQ(gLastHandle, 3u);
    EXPECT_EQ(storedNumbers(), (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST_F(SortArrayTest, SmallNumbersAfterTheWrapGoBeforeTheLongLivedOnes) {
    insertAfter(255, 2);  // 256, 257 live on
    gLastHandle = 0xFFFFFFFCu;
    EXPECT_EQ(vokSortArrayInsert(value(2)), 0xFFFFFFFDu);
    EXPECT_EQ(vokSortArrayInsert(value(3)), 0xFFFFFFFEu);
    EXPECT_EQ(vokSortArrayInsert(value(4)), 0u);
    EXPECT_EQ(vokSortArrayInsert(value(5)), 1u);
    EXPECT_EQ(storedNumbers(), (std::vector<uint32_t>{0, 1, 256, 257, 0xFFFFFFFDu, 0xFFFFFFFEu}));
    EXPECT_EQ(vokSortArrayFind(0), value(4));
    EXPECT_EQ(vokSortArrayFind(1), value(5));
    EXPECT_EQ(vokSortArrayFind(256), value(0));
    EXPECT_EQ(vokSortArrayFind(257), value(1));
    EXPECT_EQ(vokSortArrayFind(0xFFFFFFFDu), value(2));
    EXPECT_EQ(vokSortArrayFind(0xFFFFFFFEu), value(3));
}

// Random insertions (with jumps of the counter, so that pairs land in the
// middle) and removals, compared after every step with an ordered map.
TEST_F(SortArrayTest, RandomOperationsKeepTheArraySortedAndComplete) {
    std::mt19937 random(20240611);
    std::map<uint32_t, void*> model;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t dice = random() % 100;
        if (dice < 5) {
            gLastHandle = random() % 1024 + (dice < 2 ? 0xFFFFFC00u : 0u);
        } else if (dice < 55) {
            void* v = value(random() % values_.size());
            const uint32_t number = vokSortArrayInsert(v);
            if (model.size() == kVokSortArraySize) {
                ASSERT_EQ(number, kVokNoHandle);
            } else {
                ASSERT_NE(number, kVokNoHandle);
                ASSERT_TRUE(model.emplace(number, v).second) << number << " handed out twice";
            }
        } else if (!model.empty()) {
            auto it = model.lower_bound(static_cast<uint32_t>(random()));
            if (it == model.end()) {
                it = model.begin();
            }
            ASSERT_EQ(vokSortArrayFind(it->first), it->second);
            vokSortArrayRemove(it->first);
            model.erase(it);
        }
        ASSERT_EQ(gHandleCount, model.size());
        uint32_t slot = 0;
        for (const auto& [number, v] : model) {
            ASSERT_EQ(gArrayHandle[slot].handle, number) << "slot " << slot;
            ASSERT_EQ(gArrayHandle[slot].value, v) << "slot " << slot;
            ++slot;
        }
        for (; slot < kVokSortArraySize; ++slot) {
            ASSERT_EQ(gArrayHandle[slot].handle, 0u) << "unused slot " << slot;
            ASSERT_EQ(gArrayHandle[slot].value, nullptr) << "unused slot " << slot;
        }
        const uint32_t probe = static_cast<uint32_t>(random());
        const auto found = model.find(probe);
        ASSERT_EQ(vokSortArrayFind(probe), found == model.end() ? nullptr : found->second);
    }
}

TEST_F(SortArrayTest, NullValueEndsTheProcess) {
    EXPECT_DEATH(
        vokSortArrayInsert(nullptr),
        vok_test::assertionReport("sortArray.cpp", "uint32_t vokSortArrayInsert(void*)", "value"));
}

}  // namespace
