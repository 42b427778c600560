// Handle numbering and the limit of 256 open handles. Handle numbers are
// process-wide, so the checks run in a process of their own (a death-test
// child started afresh).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/apiFixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define VOK_TEST_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOK_TEST_LEAK_CHECK 1
#endif
#endif
#ifdef VOK_TEST_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace voktest {
namespace {

int gFailures = 0;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "failed: %s\n", what);
    ++gFailures;
}

// Ends the process: 0 when every check held.
[[noreturn]] void check_handle_table() {
    {
        TokenTree tree;
        tree.addToken(2);
        std::vector<VokHandle> handles;
        handles.push_back(vokOpen(0));
        check(handles.back() == 256, "the first handle of a process is 256");
        handles.push_back(vokOpen(0));
        check(handles.back() == 257, "the next handle is 257");
        while (handles.size() < 256) {
            const VokHandle handle = vokOpen(0);
            check(handle != VOK_INVALID_HANDLE, "256 handles can be open at once");
            if (handle == VOK_INVALID_HANDLE) break;
            handles.push_back(handle);
        }
        check(vokOpen(0) == VOK_INVALID_HANDLE, "the 257th open handle is refused");
#ifdef VOK_TEST_LEAK_CHECK
        check(__lsan_do_recoverable_leak_check() == 0, "a refused open leaves nothing allocated");
#endif
        // Every handle still works, and a closed one makes room for one more.
        VokIdInfo info;
        check(vokGetInfo(handles.front(), &info, sizeof info) == VOK_STATUS_OK,
              "the first handle works");
        check(vokGetInfo(handles.back(), &info, sizeof info) == VOK_STATUS_OK,
              "the last handle works");
        check(vokClose(handles[100]) == VOK_STATUS_OK, "a handle closes");
        const VokHandle replacement = vokOpen(0);
        check(replacement != VOK_INVALID_HANDLE, "a closed handle makes room");
        check(replacement != handles[100], "a closed number is not handed out again");
        handles[100] = replacement;
        for (VokHandle handle : handles)
            check(vokClose(handle) == VOK_STATUS_OK, "every handle closes");
    }
    std::exit(gFailures == 0 ? 0 : 1);
}

TEST(ApiFreshProcess, HandlesStartAt256AndAtMost256AreOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_handle_table(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace voktest
