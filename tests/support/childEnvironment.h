// The environment and argument vectors of child processes that run on
// virtual tokens through the preloaded ioctl interposer.
#pragma once

#include <unistd.h>  // environ

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

using Environment = std::map<std::string, std::string>;

// This process's environment.
inline Environment currentEnvironment() {
    Environment env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* eq = std::strchr(*entry, '=');
        if (eq != nullptr) env[std::string(*entry, static_cast<size_t>(eq - *entry))] = eq + 1;
    }
    return env;
}

// `env` with `library` (the interposer) as the only preloaded library. In a
// sanitized build it comes ahead of the sanitizer's runtime, which then must
// not insist on being first.
inline Environment withInterposer(Environment env, const std::string& library) {
    env["LD_PRELOAD"] = library;
    const auto asan = env.find("ASAN_OPTIONS");
    const std::string before = asan != env.end() ? asan->second + ":" : "";
    env["ASAN_OPTIONS"] = before + "verify_asan_link_order=0";
    return env;
}

// argv and envp for execve or posix_spawn, built before fork so that the
// child only has to call exec.
struct ExecArgs {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ExecArgs(const std::string& program, const std::vector<std::string>& args,
             const Environment& env) {
        strings.push_back(program);
        strings.insert(strings.end(), args.begin(), args.end());
        const size_t argc = strings.size();
        for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
        for (size_t i = 0; i < strings.size(); ++i) {
            (i < argc ? argv : envp).push_back(strings[i].data());
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
    ExecArgs(const ExecArgs&) = delete;
    ExecArgs& operator=(const ExecArgs&) = delete;
};

}  // namespace testsupport
