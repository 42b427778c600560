// Runs the real `vok` binary on a virtual token tree: as a plain child with
// pipes (no controlling terminal), or on a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/childEnvironment.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace voktest {

using testsupport::Environment;
using testsupport::TempDir;

// A usbfs-like tree with virtual tokens, and a private lock directory. Only
// the children that run vok on it see it in their environment.
struct VirtualTree {
    TempDir root{"vok-tool-"};
    TempDir locks{"vok-tool-"};
    std::vector<std::string> tokens;  // node paths, in order of creation

    std::string addToken(unsigned bus, unsigned device,
                         const voksim::Identity& identity = voksim::Identity{});
};

struct RunResult {
    int exitCode = -1;  // -1: killed by a signal or timed out
    std::string out;
    std::string err;
};

// The environment that puts `vok` on the tree: USB_DEVFS_PATH, VOK_IPC_NAME
// and the interposer preloaded.
Environment treeEnvironment(const VirtualTree& tree);

// Runs vok with `args` in a new session (so without a controlling
// terminal), stdin fed from `input`, stdout and stderr captured.
RunResult runVok(const VirtualTree& tree, const std::vector<std::string>& args,
                 const std::string& input = {}, const Environment& extra = {});
// asUser: run the child as this user (the caller must be root); -1: as the caller.
RunResult runVokIn(const Environment& env, const std::vector<std::string>& args,
                   const std::string& input = {}, uid_t asUser = static_cast<uid_t>(-1));

// vok on a pseudo-terminal: stdin, stdout and stderr are the terminal, which
// is also the controlling terminal.
class PtySession {
  public:
    PtySession(const VirtualTree& tree, const std::vector<std::string>& args,
               const Environment& extra = {});
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Reads until `text` has appeared in the output; false on time-out or end.
    bool expect(const std::string& text);
    void send(const std::string& text);
    // Reads to the end and returns the exit code (-1 if killed or timed out).
    int finish();
    // Everything the terminal showed so far.
    const std::string& transcript() const { return transcript_; }
    // The terminal's master side, e.g. for tcgetattr.
    int masterFd() const { return master_; }

  private:
    bool readSome(int timeoutMs);
    pid_t pid_ = -1;
    int master_ = -1;
    std::string transcript_;
    size_t seen_ = 0;
};

// The path of `vok`, the interposer and the text the library gives a status.
std::string vokPath();
std::string statusText(uint32_t status);
// The one line vok prints for a failed operation.
std::string statusLine(const std::string& operation, uint32_t status);

}  // namespace voktest
