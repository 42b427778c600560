// The trace where it can hurt: a stderr that is a pipe without a reader, or
// closed, and the bytes of the level-3 lines. Each case plays one scene on a
// token of its own; the scenes that change stderr run in a child process.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

struct Scene {
    TokenTree tree;
    std::string node = tree.addToken(2);
};

// Runs `body` in a child process; its exit status, or 128 + the signal that
// ended it.
int inChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A traced write of 256 bytes at offset 0: 0 when it succeeded and no system
// error is left behind.
int tracedWrite(const std::vector<uint8_t>& bytes) {
    vokSetLogLevel(3);
    const VokHandle handle = vokOpen(0);
    VokIdResponse response;
    const uint32_t status = vokWrite(handle, nullptr, 0, 0, bytes.data(),
                                     static_cast<uint32_t>(bytes.size()), &response);
    const bool clean = status == VOK_STATUS_OK && vokLastSystemError() == 0;
    return vokClose(handle) == VOK_STATUS_OK && clean ? 0 : 1;
}

// stderr becomes a pipe whose reader has gone.
void stderrWithoutReader() {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0 || dup2(pipeEnds[1], STDERR_FILENO) < 0) _exit(2);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

const std::vector<uint8_t> kData(256, 0x5A);

void pipeWithoutReader(Scene& scene) {
    const int ended = inChild([] {
        stderrWithoutReader();
        return tracedWrite(kData);
    });
    EXPECT_EQ(ended, 0) << "141: ended by SIGPIPE";
    EXPECT_EQ(tokenMemory(scene.node, 0, 256), kData);
}

// The application blocks SIGPIPE itself: the trace must leave none pending,
// which would end the application once it unblocks the signal.
void pipeWithoutReaderSignalBlocked(Scene&) {
    const int ended = inChild([] {
        stderrWithoutReader();
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        sigprocmask(SIG_BLOCK, &pipeSignal, nullptr);
        const int written = tracedWrite(kData);
        sigset_t pending;
        sigpending(&pending);
        return written != 0 ? 1 : sigismember(&pending, SIGPIPE) == 1 ? 3 : 0;
    });
    EXPECT_EQ(ended, 0) << "3: a SIGPIPE of the trace's is left pending";
}

// A process started with stderr closed: the library's own descriptors must
// not take its number, or the trace would be written into them.
void stderrClosed(Scene& scene) {
    EXPECT_EQ(inChild([] {
                  close(STDERR_FILENO);
                  return tracedWrite(kData);
              }),
              0);
    char head[2] = {};
    std::ifstream(scene.node, std::ios::binary).read(head, sizeof head);
    EXPECT_EQ(head[0], 18) << "the node no longer begins with its device descriptor";
    for (const auto& entry : std::filesystem::directory_iterator(scene.tree.lockDirectory()))
        EXPECT_EQ(entry.file_size(), 8u) << entry.path() << " holds more than the holder's PID";
    const ScopedHandle handle(vokOpen(0));
    EXPECT_NE(handle.get(), VOK_INVALID_HANDLE);
}

std::vector<std::string> gLines;  // the calling thread's, as the handler runs on it
void collect(void*, int, const char* line) { gLines.emplace_back(line); }

// The new PIN's length travels in byte 2 of the set-PIN command's phase-5
// packet; the level-3 line masks it as it masks the PIN.
void newPinLength(Scene&) {
    const ScopedHandle handle(vokOpen(0));
    gLines.clear();
    vokSetLogHandler(collect, nullptr);
    vokSetLogLevel(3);
    VokIdResponse response;
    const char newPin[] = "thirteen-long";
    const uint32_t status = vokSetPin(handle.get(), VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, newPin,
                                      sizeof newPin - 1, &response);
    vokSetLogLevel(0);
    vokSetLogHandler(nullptr, nullptr);
    ASSERT_EQ(status, VOK_STATUS_OK);
    int seen = 0;
    for (const std::string& line : gLines) {
        const size_t at = line.find("transfer out phase 5 ");
        if (at == std::string::npos) continue;
        ++seen;
        std::istringstream bytes(line.substr(line.rfind(':') + 1));
        std::string phase, tag, length;
        bytes >> phase >> tag >> length;
        EXPECT_EQ(length, "**") << line;
    }
    EXPECT_EQ(seen, 1);
}

struct TraceCase {
    const char* name;
    void (*play)(Scene&);
};

void PrintTo(const TraceCase& trace, std::ostream* out) { *out << trace.name; }

const TraceCase kCases[] = {
    {"AStderrPipeWithoutReaderRaisesNoSignal", pipeWithoutReader},
    {"ABlockedSigpipeIsNotLeftPending", pipeWithoutReaderSignalBlocked},
    {"AClosedStderrIsNotTakenByTheLibrary", stderrClosed},
    {"TheNewPinLengthIsMasked", newPinLength},
};

class TraceSafetyTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceSafetyTest, TheTraceHarmsNothing) {
    Scene scene;
    GetParam().play(scene);
}

INSTANTIATE_TEST_SUITE_P(Cases, TraceSafetyTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TraceCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace voktest
