"""The library's trace and the system error behind a failure.

The trace is off unless VOK_DEBUG or set_log_level turns it on; its lines go
to stderr, or to the handler given to set_log_handler."""

from __future__ import annotations

import threading
from typing import Any, Callable, Optional

from ._native import LOG_HANDLER, library

LogHandler = Callable[[int, str], None]

_lock = threading.Lock()
# Every callback handed to the library stays referenced here: a line being
# emitted on another thread may still reach a handler just replaced, so its
# ctypes thunk must never be freed.
_callbacks: list[Any] = []


def set_log_level(level: int) -> None:
    """Sets the trace level: 0 off, 1 failing system calls, 2 and every
    transaction, 3 and every control transfer (PIN bytes masked). Values
    outside 0..3 are taken as the nearest of them."""
    library().vokSetLogLevel(max(0, min(3, int(level))))


def set_log_handler(handler: Optional[LogHandler]) -> None:
    """Sends each trace line to handler(level, line) instead of stderr; None
    sends them to stderr again. The handler runs on the thread that made the
    library call, while that call is in progress: it may call set_log_level,
    set_log_handler and last_system_error, and no other function of this
    package. An exception it raises is dropped (the line is lost); it never
    reaches the library."""
    lib = library()
    with _lock:
        if handler is None:
            lib.vokSetLogHandler(LOG_HANDLER(), None)
            return

        def trampoline(_context: Optional[int], level: int, line: bytes) -> None:
            try:
                handler(level, line.decode("utf-8", "replace"))
            except BaseException:  # noqa: BLE001 -- nothing may unwind into C
                pass

        callback = LOG_HANDLER(trampoline)
        _callbacks.append(callback)
        lib.vokSetLogHandler(callback, None)


def last_system_error() -> int:
    """The errno of the system call that failed during this thread's last
    library call (errno.EACCES: no permission for the node; ENOENT or ENODEV:
    the token was removed; ETIMEDOUT or EPIPE: it did not answer), 0 if none
    failed."""
    return int(library().vokLastSystemError())
