/*
 * vok for C++ (part of <vok/vok.hpp>): statuses and their texts, vok::Error,
 * the library's trace and the system error behind a failure.
 */
#ifndef VOK_VOK_DIAGNOSTICS_HPP
#define VOK_VOK_DIAGNOSTICS_HPP

#include <vok/vok.h>

#include <cstdint>
#if defined(__cpp_exceptions)
#include <stdexcept>
#include <string>
#endif

namespace vok {

using Status = std::uint32_t;

inline const char* statusText(Status status) noexcept { return vokStatusString(status); }

// The trace level: 0 off, 1 failing system calls, 2 and transactions, 3 and
// control transfers (see vokSetLogLevel).
inline void setLogLevel(int level) noexcept { vokSetLogLevel(level); }

// The errno behind the calling thread's last failed library call (0: none).
inline int lastSystemError() noexcept { return vokLastSystemError(); }

// Sends the trace lines to `handler` (null: stderr again).
inline void setLogHandler(VokLogHandler handler, void* context = nullptr) noexcept {
    vokSetLogHandler(handler, context);
}

// Sends the trace lines to `handler`, any object callable as
// handler(int level, const char* line). It is called by reference: it must
// stay alive until another handler replaces it. What it may call is what
// vokSetLogHandler allows; an exception it throws is dropped there, never
// carried into the library.
template <class Handler>
void setLogHandler(Handler& handler) noexcept {
    vokSetLogHandler(
        [](void* context, int level, const char* line) noexcept {
#if defined(__cpp_exceptions)
            try {
                (*static_cast<Handler*>(context))(level, line);
            } catch (...) {  // NOLINT(bugprone-empty-catch): the line is lost, the call goes on
            }
#else
            (*static_cast<Handler*>(context))(level, line);
#endif
        },
        static_cast<void*>(&handler));
}

#if defined(__cpp_exceptions)
// A status other than 0 from the library function named by function(), and
// the system error behind it (made right after the failed call, on its
// thread).
class Error : public std::runtime_error {
  public:
    Error(const char* function, Status status)
        : Error(function, status, std::string(function) + ": " + vokStatusString(status)) {}
    Error(const char* function, Status status, const std::string& what)
        : std::runtime_error(what),
          function_(function),
          status_(status),
          systemError_(vokLastSystemError()) {}
    Status status() const noexcept { return status_; }
    const char* function() const noexcept { return function_; }
    // The errno of the failed system call behind the status (EACCES, ENODEV,
    // ETIMEDOUT, EPIPE, ...), 0 when none failed.
    int systemError() const noexcept { return systemError_; }

  private:
    const char* function_;
    Status status_;
    int systemError_;
};

namespace detail {
inline void check(const char* function, Status status) {
    if (status != VOK_STATUS_OK) throw Error(function, status);
}
}  // namespace detail
#endif

}  // namespace vok

#endif /* VOK_VOK_DIAGNOSTICS_HPP */
