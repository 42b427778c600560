"""vok: Python access to USB security tokens through libvok.so.1.

    import vok
    with vok.open(0) as token:
        print(token.info.memory_size)
        token.write(16, b"hello")
        assert token.read(16, 5) == b"hello"

The package wraps the installed C library with ctypes (no compiler needed).
It loads the library named by the VOK_LIBRARY environment variable, else
the one the system finds (ctypes.util.find_library("vok"), then the soname
libvok.so.1). Every library status other than 0 raises vok.TokenError;
arguments that cannot be passed on raise TypeError or ValueError before
the library is called.

PINs: pass a bytearray to keep a PIN in memory that you can wipe yourself;
the package lends it to the library without a copy. bytes are lent as they
are too, but Python cannot overwrite them; a str is encoded into a private
buffer that the package zeroes after the call, while the str itself stays
in memory until Python frees it and is never overwritten. Beyond that Python
promises nothing: freed objects are not cleared, and copies the program
makes (slices, formatting, decoding, the bytes that read() returns) are out
of the package's reach; read_into() fills a bytearray of the caller's.

Why a call failed: TokenError.system_error (or last_system_error()) is the
errno behind status 5; set_log_level and set_log_handler give the
library's trace (VOK_DEBUG sets its level too).
"""

from ._diagnostics import last_system_error, set_log_handler, set_log_level
from ._listing import TokenEntry, tokens
from ._monitor import EventKind, Monitor, MonitorEvent
from ._native import (REQUEST_HEADER_SIZE, REQUEST_SIZE, STATUS_BAD_ARGUMENT, STATUS_BAD_HANDLE,
                      STATUS_OK, STATUS_TRANSFER_FAILED, STATUS_UNKNOWN_MEMORY_MODEL, Request,
                      status_string)
from ._token import (Access, Permissions, PinSetPermission, PinType, Response, Token,
                     TokenError, TokenInfo, open)

__version__ = "1.3.0"

__all__ = [
    "Access", "EventKind", "Monitor", "MonitorEvent", "Permissions", "PinSetPermission", "PinType", "REQUEST_HEADER_SIZE",
    "REQUEST_SIZE", "Request", "Response", "STATUS_BAD_ARGUMENT", "STATUS_BAD_HANDLE", "STATUS_OK",
    "STATUS_TRANSFER_FAILED", "STATUS_UNKNOWN_MEMORY_MODEL", "Token", "TokenEntry",
    "TokenError", "TokenInfo", "last_system_error", "open", "set_log_handler", "set_log_level",
    "status_string", "tokens",
]
