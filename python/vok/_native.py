"""libvok.so.1 seen through ctypes: the records of <vok/vok.h> and the
prototypes of the exported functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import POINTER, Structure, c_bool, c_char, c_char_p, c_int32, c_uint8, c_uint16
from ctypes import c_uint32
from ctypes import CFUNCTYPE, c_int, c_void_p
from typing import Optional

SONAME = "libvok.so.1"

STATUS_OK = 0
STATUS_BAD_ARGUMENT = 3
STATUS_TRANSFER_FAILED = 5
STATUS_UNKNOWN_MEMORY_MODEL = 7
STATUS_BAD_HANDLE = 9
INVALID_HANDLE = 0xFFFFFFFF

REQUEST_HEADER_SIZE = 128
REQUEST_SIZE = 16512
TOKEN_PATH_SIZE = 4096


class IdInfo(Structure):
    """VokIdInfo: the token's 32-byte information record."""

    _fields_ = [
        ("flagA", c_uint8),
        ("flagB", c_uint8),
        ("versionHigh", c_uint8),
        ("versionLow", c_uint8),
        ("memoryModel", c_uint8),
        ("protocolLevel", c_uint8),
        ("infoByte", c_uint8),
        ("reserved1", c_uint8),
        ("memorySize", c_uint32),
        ("pinAddress", c_uint32),
        ("pinControlAddress", c_uint32),
        ("reserved2", c_uint32),
        ("tokenId", c_uint8 * 8),
    ]


class IdResponse(Structure):
    """VokIdResponse: the summary of the last transaction an operation ran."""

    _fields_ = [
        (name, c_uint8)
        for name in ("status", "pinPhaseReply", "versionNibbles", "memoryModel",
                     "protocolLevel", "infoByte", "memoryUnits")
    ]


class Request(Structure):
    """TDRVREQUEST_MEK: the request record that Token.command() runs as it
    stands. Multi-byte numbers are little-endian; reserved bytes should be 0."""

    _fields_ = [
        ("command", c_uint8),
        ("blockId", c_uint8, 7),
        ("pinType", c_uint8, 1),
        ("reserved1", c_uint8 * 6),
        ("pin", c_uint8 * 32),
        ("reserved2", c_uint8 * 8),
        ("wordOffset", c_uint16),
        ("wordCount", c_uint16),
        ("newPinLength", c_uint8),
        ("reserved3", c_uint8 * 3),
        ("tokenId", c_uint8 * 8),
        ("status", c_uint8),
        ("versionNibbles", c_uint8),
        ("memoryModel", c_uint8),
        ("protocolLevel", c_uint8),
        ("infoByte", c_uint8),
        ("memoryUnits", c_uint8),
        ("pinPhaseReply", c_uint8),
        ("flagA", c_uint8),
        ("flagB", c_uint8),
        ("reserved4", c_uint8 * 55),
        ("data", c_uint8 * 16384),
    ]


class TokenEntry(Structure):
    """VokTokenEntry: what vokListTokens reports of one token."""

    _fields_ = [
        ("index", c_uint32),
        ("busNumber", c_uint32),
        ("deviceNumber", c_uint32),
        ("productId", c_uint16),
        ("reserved", c_uint16),
        ("path", c_char * TOKEN_PATH_SIZE),
    ]


MONITOR_PRESENT = 1
MONITOR_NO_INDEX = 0xFFFFFFFF
MONITOR_ARRIVED = 1
MONITOR_LEFT = 2
MONITOR_REFUSED = 3


class MonitorEvent(Structure):
    """VokMonitorEvent: one arrival, departure or refusal."""

    _fields_ = [("kind", c_uint32), ("error", c_int32), ("token", TokenEntry)]


assert ctypes.sizeof(IdInfo) == 32 and ctypes.sizeof(IdResponse) == 7
assert ctypes.sizeof(Request) == REQUEST_SIZE and Request.status.offset == 64

_P = c_void_p  # a pointer argument: PIN, buffer, record
_H = c_uint32  # VokHandle, and every status
_E = c_int32  # an enumeration value
_R = POINTER(IdResponse)
_U16P = POINTER(c_uint16)
_U8P = POINTER(c_uint8)

# VokLogHandler: void (*)(void* context, int level, const char* line)
LOG_HANDLER = CFUNCTYPE(None, c_void_p, c_int, c_char_p)

_PROTOTYPES = {
    "vokOpen": (_H, [c_uint8]),
    "vokGetInfo": (_H, [_H, _P, c_uint32]),
    "vokCommand": (c_bool, [_H, POINTER(Request), c_uint32]),
    "vokClose": (_H, [_H]),
    "vokStatusString": (c_char_p, [c_uint32]),
    "vokRead": (_H, [_H, _P, c_uint32, c_uint32, _P, c_uint32, _R]),
    "vokWrite": (_H, [_H, _P, c_uint32, c_uint32, _P, c_uint32, _R]),
    "vokReadEx": (_H, [_H, _E, _P, c_uint32, c_uint32, _P, c_uint32, _R]),
    "vokWriteEx": (_H, [_H, _E, _P, c_uint32, c_uint32, _P, c_uint32, _R]),
    "vokGetVendorId": (_H, [_H, _E, _U16P, _R]),
    "vokSetVendorId": (_H, [_H, _E, _P, c_uint32, c_uint16, _R]),
    "vokGetBlockAttr": (_H, [_H, _E, _U16P, _R]),
    "vokSetBlockAttr": (_H, [_H, _E, _P, c_uint32, _E, _U16P, _R]),
    "vokLockBlock": (_H, [_H, _E, _P, c_uint32, _E, _R]),
    "vokSetPin": (_H, [_H, _E, _E, _P, c_uint32, _P, c_uint32, _R]),
    "vokSetBlockPinUse": (_H, [_H, _E, _P, c_uint32, _E, _E, _R]),
    "vokSetSecParameters": (_H, [_H, _P, c_uint32, c_uint8, c_uint8, c_uint8, c_uint8, _R]),
    "vokGetSecParameters": (_H, [_H, _U8P, _U8P, _U8P, _U8P, _R]),
    "vokInitialize": (_H, [_H, _P, c_uint32, _P, c_uint32, c_bool, _R]),
    "vokInitializeBlock": (_H, [_H, _E, _E, _P, c_uint32, _P, c_uint32, c_uint16, c_bool, _R]),
    "vokListTokens": (_H, [POINTER(TokenEntry), c_uint32, POINTER(c_uint32)]),
    "vokOpenPath": (_H, [c_char_p]),
    "vokSetLogHandler": (None, [LOG_HANDLER, c_void_p]),
    "vokSetLogLevel": (None, [c_int]),
    "vokLastSystemError": (c_int, []),
    "vokMonitorCreate": (c_void_p, [c_uint32]),
    "vokMonitorFd": (c_int, [c_void_p]),
    "vokMonitorRead": (c_int, [c_void_p, POINTER(MonitorEvent)]),
    "vokMonitorClose": (None, [c_void_p]),
}

_loaded: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def _library_name() -> str:
    explicit = os.environ.get("VOK_LIBRARY")
    if explicit:
        return explicit
    found = ctypes.util.find_library("vok")
    # Only the ABI this package was written for.
    return found if found and found.endswith(".so.1") else SONAME


def library() -> ctypes.CDLL:
    """libvok.so.1, loaded on first use: the file named by VOK_LIBRARY, else
    the one the system's library search finds (ctypes.util.find_library,
    then the soname). Raises OSError when there is none."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            name = _library_name()
            try:
                lib = ctypes.CDLL(name)
            except OSError as error:
                raise OSError(f"vok: cannot load {name} ({error}); install libvok or set "
                              "VOK_LIBRARY to the library's path") from error
            for function, (result, arguments) in _PROTOTYPES.items():
                entry = getattr(lib, function)
                entry.restype = result
                entry.argtypes = arguments
            _loaded = lib
        return _loaded


def status_string(status: int) -> str:
    """The library's short English text for a status."""
    return library().vokStatusString(status).decode("ascii", "replace")
