#include "toolHarness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vok/vok.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace voktest {

namespace {

constexpr int kRunTimeoutMs = 120000;

int exitCodeOf(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string VirtualTree::addToken(unsigned bus, unsigned device, const voksim::Identity& identity) {
    tokens.push_back(voksim::createToken(root.path(), bus, device, identity));
    return tokens.back();
}

std::string vokPath() { return VOK_TOOL_PATH; }

std::string statusText(uint32_t status) { return vokStatusString(status); }

std::string statusLine(const std::string& operation, uint32_t status) {
    return "vok: " + operation + ": " + statusText(status) + " (status " + std::to_string(status) +
           ")\n";
}

Environment treeEnvironment(const VirtualTree& tree) {
    Environment env =
        testsupport::withInterposer(testsupport::currentEnvironment(), VOKSIM_LIBRARY_PATH);
    env["USB_DEVFS_PATH"] = tree.root.path();
    env["VOK_IPC_NAME"] = tree.locks.path();
    return env;
}

RunResult runVok(const VirtualTree& tree, const std::vector<std::string>& args,
                 const std::string& input, const Environment& extra) {
    Environment env = treeEnvironment(tree);
    for (const auto& [name, value] : extra) env[name] = value;
    return runVokIn(env, args, input);
}

RunResult runVokIn(const Environment& env, const std::vector<std::string>& args,
                   const std::string& input, uid_t asUser) {
    const testsupport::ExecArgs exec(vokPath(), args, env);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();  // no controlling terminal
        if (asUser != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(asUser) != 0 || setuid(asUser) != 0)) {
            _exit(126);
        }
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    RunResult result;
    size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    }
    int outFd = out[0];
    int errFd = err[0];
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    bool timedOut = false;
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3] = {{inFd, POLLOUT, 0}, {outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        int ready = poll(fds, 3, msLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = true;
            break;
        }
        if (inFd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(inFd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
        int* fdsToRead[2] = {&outFd, &errFd};
        std::string* sinks[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (*fdsToRead[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            ssize_t n = read(*fdsToRead[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(*fdsToRead[i]);
                *fdsToRead[i] = -1;
            }
        }
    }
    for (int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) close(fd);
    }
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = timedOut ? -1 : exitCodeOf(status);
    return result;
}

PtySession::PtySession(const VirtualTree& tree, const std::vector<std::string>& args,
                       const Environment& extra) {
    Environment env = treeEnvironment(tree);
    for (const auto& [name, value] : extra) env[name] = value;
    const testsupport::ExecArgs exec(vokPath(), args, env);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        _exit(127);
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
}

PtySession::~PtySession() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
}

bool PtySession::readSome(int timeoutMs) {
    pollfd fd = {master_, POLLIN, 0};
    int ready = poll(&fd, 1, timeoutMs);
    if (ready <= 0) return false;
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the child has gone
    transcript_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool PtySession::expect(const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    for (;;) {
        size_t at = transcript_.find(text, seen_);
        if (at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        if (!readSome(msLeft(deadline))) return false;
    }
}

void PtySession::send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(master_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int PtySession::finish() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    while (readSome(msLeft(deadline))) {
    }
    int status = 0;
    bool timedOut = msLeft(deadline) == 0;
    if (timedOut) kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return timedOut ? -1 : exitCodeOf(status);
}

}  // namespace voktest
