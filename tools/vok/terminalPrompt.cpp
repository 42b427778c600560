#include "terminalPrompt.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "failure.h"

namespace vokcli {

namespace {

constexpr int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kMaxLine = 255;

// What the signal handler needs to put the terminal back.
volatile sig_atomic_t gTerminalFd = -1;
struct termios gSavedTerminal;

extern "C" void restoreAndReraise(int signal) {
    if (gTerminalFd >= 0) {
        tcsetattr(gTerminalFd, TCSANOW, &gSavedTerminal);
    }
    // Neither can fail for the signals guarded here, and a signal handler
    // would have nobody to tell.
    (void)::signal(signal, SIG_DFL);
    (void)raise(signal);
}

void writeAll(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = write(fd, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the prompt is a courtesy; reading goes on regardless
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// Echo off for the lifetime of the object, with the terminal restored by a
// signal that ends the process meanwhile.
class EchoOff {
  public:
    EchoOff(int fd, const struct termios& saved) : fd_(fd) {
        gSavedTerminal = saved;
        gTerminalFd = fd;
        struct sigaction action {};
        action.sa_handler = restoreAndReraise;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kGuardedSignals); ++i) {
            sigaction(kGuardedSignals[i], &action, &previous_[i]);
        }
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        quiet.c_lflag |= ICANON;
        ok_ = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        tcsetattr(fd_, TCSAFLUSH, &gSavedTerminal);
        gTerminalFd = -1;
        for (size_t i = 0; i < std::size(kGuardedSignals); ++i) {
            sigaction(kGuardedSignals[i], &previous_[i], nullptr);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool ok() const { return ok_; }

  private:
    int fd_;
    bool ok_ = false;
    struct sigaction previous_[std::size(kGuardedSignals)];
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::optional<Secret> promptHidden(const char* prompt) {
    FileDescriptor tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    struct termios saved;
    if (tty.get() < 0 || tcgetattr(tty.get(), &saved) != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> line;
    line.reserve(kMaxLine);  // no reallocation that would leave copies of the PIN behind
    bool tooLong = false;
    bool ended = false;
    {
        EchoOff echoOff(tty.get(), saved);
        if (!echoOff.ok()) {
            return std::nullopt;
        }
        // The prompt comes once echo is off: what is typed after it is never shown.
        writeAll(tty.get(), prompt);
        char buffer[64];
        while (!ended) {
            ssize_t n = read(tty.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // end of input or a read error: what came so far
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\n') {
                    ended = true;
                    break;
                }
                if (line.size() < kMaxLine) {
                    line.push_back(static_cast<uint8_t>(buffer[i]));
                } else {
                    tooLong = true;
                }
            }
            explicit_bzero(buffer, sizeof buffer);
        }
    }
    writeAll(tty.get(), "\n");
    Secret secret(std::move(line));
    if (tooLong) {
        failUsage("the line typed at the PIN prompt is too long");
    }
    if (!ended && secret.size() == 0) {
        failUsage("no PIN entered");
    }
    return secret;
}

}  // namespace vokcli
