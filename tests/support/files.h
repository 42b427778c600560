// Whole-file reads and writes for tests. Failures throw std::runtime_error,
// which fails the test that made the call.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

namespace files_detail {

[[noreturn]] inline void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

inline void writeAll(const std::string& path, const void* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("open " + path);
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(fd, bytes + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int error = errno;
            close(fd);
            errno = error;
            fail("write " + path);
        }
        done += static_cast<size_t>(written);
    }
    if (close(fd) != 0) fail("close " + path);
}

inline std::string readAll(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("open " + path);
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            fail("read " + path);
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return content;
}

}  // namespace files_detail

// Makes (or truncates) the file `path` and writes `bytes` to it.
inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    files_detail::writeAll(path, bytes.data(), bytes.size());
}
inline void writeText(const std::string& path, std::string_view text) {
    files_detail::writeAll(path, text.data(), text.size());
}

// The whole content of the file `path`.
inline std::vector<uint8_t> readFile(const std::string& path) {
    const std::string content = files_detail::readAll(path);
    return std::vector<uint8_t>(content.begin(), content.end());
}
inline std::string readText(const std::string& path) { return files_detail::readAll(path); }

}  // namespace testsupport
