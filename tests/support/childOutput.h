// What a child process writes.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testsupport {

// Everything a child wrote to stdout and stderr until it ended. `start` runs
// in the child with both redirected and must exec or _exit.
inline std::string childOutput(const std::function<void()>& start) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        start();
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return text;
}

}  // namespace testsupport
