// An environment variable set (or unset) for a scope.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace testsupport {

// Sets `name` to `value` (unsets it for nullopt) and puts back the value it
// had before when the scope ends. setenv is not thread-safe: make these
// before starting threads that read the environment.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void set(const std::optional<std::string>& value) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace testsupport
