// A temporary directory that removes itself, with everything in it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Removes everything below the directory open as dirFd. It works with *at
// calls, so trees deeper than a path of PATH_MAX bytes can name go too.
inline void removeContents(int dirFd) {
    DIR* dir = fdopendir(dup(dirFd));
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    for (const std::string& name : names) {
        struct stat st = {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            const int child = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (child >= 0) {
                removeContents(child);
                close(child);
            }
            unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(dirFd, name.c_str(), 0);
        }
    }
}

// Removes `path` and everything below it; a missing path is no error.
inline void removeTree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        removeContents(fd);
        close(fd);
    }
    rmdir(path.c_str());
}

// A fresh directory `parent`/`prefix`XXXXXX made with mkdtemp (mode 0700),
// removed with its contents when the object goes. Throws std::runtime_error
// when it cannot be made, which fails the test that wanted it.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "vok-test-", const std::string& parent = "/tmp") {
        std::string pattern = parent + "/" + std::string(prefix) + "XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
        }
        path_ = pattern;
    }
    ~TempDir() { removeTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

}  // namespace testsupport
