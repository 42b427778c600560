"""Token: one open handle of libvok, with every operation of the library."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from enum import IntEnum, IntFlag
from typing import Any, Callable, Optional, Union

from . import _args
from ._args import DataLike, PinLike, WritableLike
from ._diagnostics import last_system_error
from ._native import (INVALID_HANDLE, REQUEST_HEADER_SIZE, REQUEST_SIZE, STATUS_BAD_HANDLE,
                      STATUS_OK, IdInfo, IdResponse, Request, library, status_string)


class PinType(IntEnum):
    """TYPE_PIN: which of a block's two PINs."""
    USER = 0
    ADMIN = 1


class Permissions(IntFlag):
    """RW_PERMISSIONS: a block's read/write permissions."""
    NONE = 0
    READ = 1
    WRITE = 2
    READ_WRITE = 3


class Access(IntEnum):
    """ACCESS: a block's lock state."""
    UNLOCKED = 0
    LOCKED = 1


class PinSetPermission(IntEnum):
    """PIN_SET_PERMISSIONS: who may change a block's user PIN."""
    BY_USER = 0
    BY_ADMIN = 1
    NEVER = 2


@dataclass(frozen=True)
class Response:
    """The summary of the last transaction an operation ran (VokIdResponse);
    after a wrong PIN, ``pin_phase_reply`` is the attempts left."""
    status: int
    pin_phase_reply: int
    version_nibbles: int
    memory_model: int
    protocol_level: int
    info_byte: int
    memory_units: int


class TokenError(Exception):
    """A library function answered with a status other than 0.

    ``status`` is the status code (3 bad argument, 5 failed exchange, 7
    unknown memory model, 9 no open handle, any other value the token's own
    status byte); ``message`` the library's text for it; ``function`` the C
    function that answered; ``response`` the Response of the operations that
    fill one (memory, blocks, PINs, security parameters), else None;
    ``system_error`` the errno of the system call that failed behind it
    (see last_system_error), 0 when none did."""

    def __init__(self, status: int, function: str, message: Optional[str] = None,
                 response: Optional[Response] = None) -> None:
        # Taken first, on the thread of the failed call, before anything else
        # of the library runs.
        self.system_error = last_system_error()
        self.status = status
        self.function = function
        self.message = message if message is not None else status_string(status)
        self.response = response
        super().__init__(f"{function}: {self.message}")


@dataclass(frozen=True)
class TokenInfo:
    """The token's information record (VokIdInfo)."""
    flag_a: int
    flag_b: int
    version_high: int
    version_low: int
    memory_model: int
    protocol_level: int
    info_byte: int
    memory_size: int  # bytes of token memory
    pin_address: int
    pin_control_address: int
    token_id: bytes  # 8 bytes


def _check(function: str, status: int) -> None:
    if status != STATUS_OK:
        raise TokenError(status, function)


class Token:
    """An open token. Close it with close() or use it as a context manager.

    Every method may be called from several threads at once on one Token
    (the library serialises calls on a handle; ctypes lets go of the GIL
    while the library works). Every method raises TokenError for a status
    other than 0, TypeError or ValueError for Python arguments that cannot
    be passed on (checked before the library is called). A block is 1 to 4;
    offsets and lengths are bytes. PINs (``pin``, ``new_pin``) are bytes,
    bytearray (lent to the library, not copied) or str (UTF-8); None is no
    PIN."""

    def __init__(self, handle: int) -> None:
        """Takes over `handle`, a handle from vokOpen or vokOpenPath (see
        vok.open())."""
        self._handle = _args.u32(handle, "handle")
        self._lib = library()
        self._closed = False

    @property
    def handle(self) -> int:
        return self._handle

    def close(self) -> None:
        """Closes the handle, waiting for a call in flight on it. Closing
        again does nothing; any other call afterwards raises TokenError 9."""
        if not self._closed:
            self._closed = True
            _check("vokClose", self._lib.vokClose(self._handle))

    def __enter__(self) -> Token:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            self._closed = True
            self._lib.vokClose(self._handle)

    def __repr__(self) -> str:
        return f"<vok.Token handle={self._handle}{' closed' if self._closed else ''}>"

    def _run(self, function: str, *arguments: Any) -> None:
        raw = IdResponse()
        status = getattr(self._lib, function)(self._handle, *arguments, ctypes.byref(raw))
        if status != STATUS_OK:
            raise TokenError(status, function, response=Response(
                raw.status, raw.pinPhaseReply, raw.versionNibbles, raw.memoryModel,
                raw.protocolLevel, raw.infoByte, raw.memoryUnits))

    # ---- Information and raw commands ---------------------------------

    @property
    def info(self) -> TokenInfo:
        """Runs the info command and returns the token's information."""
        raw = IdInfo()
        _check("vokGetInfo", self._lib.vokGetInfo(self._handle, ctypes.byref(raw),
                                                  ctypes.sizeof(raw)))
        return TokenInfo(raw.flagA, raw.flagB, raw.versionHigh, raw.versionLow,
                         raw.memoryModel, raw.protocolLevel, raw.infoByte, raw.memorySize,
                         raw.pinAddress, raw.pinControlAddress, bytes(raw.tokenId))

    def command(self, request: Request, length: int = REQUEST_SIZE) -> None:
        """Runs a request record built by the caller (vok.Request); its first
        `length` bytes (128 to 16512) take part and are written back. A
        failure raises TokenError with the record's status byte."""
        if not isinstance(request, Request):
            raise TypeError(f"request must be a vok.Request, not {type(request).__name__}")
        length = _args.integer(length, "length", REQUEST_HEADER_SIZE, REQUEST_SIZE)
        if not self._lib.vokCommand(self._handle, ctypes.byref(request), length):
            raise TokenError(request.status, "vokCommand")

    # ---- Memory ------------------------------------------------------------

    def read(self, offset: int, length: int, pin: Optional[PinLike] = None) -> bytes:
        """`length` bytes (at most 65280, the largest token memory) of token
        memory from byte `offset`."""
        buffer = bytearray(_args.read_length(length, "length"))
        try:
            self.read_into(offset, buffer, pin)
            return bytes(buffer)
        finally:
            _args.wipe(buffer)

    def read_into(self, offset: int, buffer: WritableLike, pin: Optional[PinLike] = None) -> None:
        """Fills `buffer` (a bytearray or writable memoryview) from byte
        `offset`, without a copy of the data in between."""
        self._transfer("vokRead", None, offset, buffer, pin)

    def write(self, offset: int, data: DataLike, pin: Optional[PinLike] = None) -> None:
        """Writes `data` at byte `offset`."""
        self._transfer("vokWrite", None, offset, data, pin)

    def read_block(self, block: int, offset: int, length: int,
                   pin: Optional[PinLike] = None) -> bytes:
        """`length` bytes (at most 65280) from byte `offset` of block `block`."""
        buffer = bytearray(_args.read_length(length, "length"))
        try:
            self.read_block_into(block, offset, buffer, pin)
            return bytes(buffer)
        finally:
            _args.wipe(buffer)

    def read_block_into(self, block: int, offset: int, buffer: WritableLike,
                        pin: Optional[PinLike] = None) -> None:
        """Fills `buffer` from byte `offset` of block `block`."""
        self._transfer("vokReadEx", block, offset, buffer, pin)

    def write_block(self, block: int, offset: int, data: DataLike,
                    pin: Optional[PinLike] = None) -> None:
        """Writes `data` at byte `offset` of block `block`."""
        self._transfer("vokWriteEx", block, offset, data, pin)

    def _transfer(self, function: str, block: Optional[int], offset: int, data: Any,
                  pin: Optional[PinLike]) -> None:
        leading = [] if block is None else [_args.i32(block, "block")]
        offset = _args.u32(offset, "offset")
        _args.check_pin(pin, "pin")
        if function.startswith("vokRead"):
            view = _args.check_writable(data, "buffer")
            lend: Callable[[], Any] = lambda: _args.borrowed_output(view)
            size = view.nbytes
        else:
            _args.check_data(data, "data")
            lend = lambda: _args.borrowed_data(data)
            size = memoryview(data).nbytes
        if size > 0xFFFFFFFF:
            raise ValueError("a transfer must be shorter than 4 GiB")
        with lend() as (pointer, length), _args.borrowed_pin(pin) as (pin_pointer, pin_length):
            self._run(function, *leading, pin_pointer, pin_length, offset, pointer, length)

    # ---- Blocks, PINs and security parameters -------------------------

    def initialize(self, new_pin: Optional[PinLike] = None, pin_use: bool = False,
                   pin: Optional[PinLike] = None) -> None:
        """Initialises the token; `new_pin` becomes its first PIN (block 1),
        required on every memory command when `pin_use` is True."""
        _args.check_pin(new_pin, "new_pin")
        _args.check_pin(pin, "pin")
        use = _args.flag(pin_use, "pin_use")
        with _args.borrowed_pin(new_pin) as (new, new_length), \
                _args.borrowed_pin(pin) as (old, old_length):
            self._run("vokInitialize", old, old_length, new, new_length, use)

    def initialize_block(self, block: int, pin_type: int = PinType.USER,
                         pin: Optional[PinLike] = None) -> None:
        """Initialises block `block`: memory zeroed, PINs cleared, settings
        back to their defaults. `pin` is the PIN of kind `pin_type`."""
        self._initialize_block(block, pin_type, pin, None, 0, False)

    def provision_block(self, block: int, vendor_id: int, new_pin: PinLike,
                        pin_type: int = PinType.USER, pin: Optional[PinLike] = None) -> None:
        """Initialises block `block`, then sets its vendor ID, its user PIN
        `new_pin` and turns its PIN use on. The steps are separate
        transactions: a failure part-way leaves the earlier ones done."""
        if new_pin is None:
            raise TypeError("new_pin must be bytes, bytearray or str")
        self._initialize_block(block, pin_type, pin, new_pin, vendor_id, True)

    def _initialize_block(self, block: int, pin_type: int, pin: Optional[PinLike],
                          new_pin: Optional[PinLike], vendor_id: int, provision: bool) -> None:
        block, pin_type = _args.i32(block, "block"), _args.i32(pin_type, "pin_type")
        vendor_id = _args.u16(vendor_id, "vendor_id")
        _args.check_pin(new_pin, "new_pin")
        _args.check_pin(pin, "pin")
        with _args.borrowed_pin(pin) as (old, old_length), \
                _args.borrowed_pin(new_pin) as (new, new_length):
            self._run("vokInitializeBlock", pin_type, block, old, old_length, new, new_length,
                      vendor_id, provision)

    def set_pin(self, block: int, new_pin: PinLike, pin_type: int = PinType.USER,
                pin: Optional[PinLike] = None) -> None:
        """Sets block `block`'s PIN of kind `pin_type` to `new_pin`."""
        block, pin_type = _args.i32(block, "block"), _args.i32(pin_type, "pin_type")
        if new_pin is None:
            raise TypeError("new_pin must be bytes, bytearray or str")
        _args.check_pin(new_pin, "new_pin")
        _args.check_pin(pin, "pin")
        with _args.borrowed_pin(pin) as (old, old_length), \
                _args.borrowed_pin(new_pin) as (new, new_length):
            self._run("vokSetPin", pin_type, block, old, old_length, new, new_length)

    def set_block_pin_use(self, block: int, pin_use: bool,
                          permission: int = PinSetPermission.BY_USER,
                          pin: Optional[PinLike] = None) -> None:
        """Sets whether block `block` needs its user PIN, and who may change it."""
        block, permission = _args.i32(block, "block"), _args.i32(permission, "permission")
        use = int(_args.flag(pin_use, "pin_use"))
        self._with_pin("vokSetBlockPinUse", pin, lambda p, n: (block, p, n, use, permission))

    def get_vendor_id(self, block: int) -> int:
        """Block `block`'s vendor ID."""
        value = ctypes.c_uint16()
        self._run("vokGetVendorId", _args.i32(block, "block"), ctypes.byref(value))
        return value.value

    def set_vendor_id(self, block: int, vendor_id: int, pin: Optional[PinLike] = None) -> None:
        """Sets block `block`'s vendor ID (0 to 0xFFFE)."""
        block, vendor_id = _args.i32(block, "block"), _args.u16(vendor_id, "vendor_id")
        self._with_pin("vokSetVendorId", pin, lambda p, n: (block, p, n, vendor_id))

    def get_block_attributes(self, block: int) -> int:
        """Block `block`'s attribute word."""
        value = ctypes.c_uint16()
        self._run("vokGetBlockAttr", _args.i32(block, "block"), ctypes.byref(value))
        return value.value

    def set_block_attributes(self, block: int, permissions: int,
                             pin: Optional[PinLike] = None) -> int:
        """Sets block `block`'s read/write permissions; returns the new
        attribute word."""
        block, permissions = _args.i32(block, "block"), _args.i32(permissions, "permissions")
        value = ctypes.c_uint16()
        self._with_pin("vokSetBlockAttr", pin,
                       lambda p, n: (block, p, n, permissions, ctypes.byref(value)))
        return value.value

    def lock_block(self, block: int, access: int = Access.LOCKED,
                   pin: Optional[PinLike] = None) -> None:
        """Locks (or, with Access.UNLOCKED, unlocks) block `block`."""
        block, access = _args.i32(block, "block"), _args.i32(access, "access")
        self._with_pin("vokLockBlock", pin, lambda p, n: (block, p, n, access))

    def set_security_parameters(self, first: int, second: int, third: int, fourth: int,
                                pin: Optional[PinLike] = None) -> None:
        """Sets the token's four security parameter bytes."""
        values = [_args.u8(v, f"parameter {i}")
                  for i, v in enumerate((first, second, third, fourth), 1)]
        self._with_pin("vokSetSecParameters", pin, lambda p, n: (p, n, *values))

    def get_security_parameters(self) -> tuple[int, int, int, int]:
        """The token's four security parameter bytes."""
        values = [ctypes.c_uint8() for _ in range(4)]
        self._run("vokGetSecParameters", *(ctypes.byref(v) for v in values))
        return (values[0].value, values[1].value, values[2].value, values[3].value)

    def _with_pin(self, function: str, pin: Optional[PinLike],
                  arguments: Callable[[Any, int], tuple[Any, ...]]) -> None:
        _args.check_pin(pin, "pin")
        with _args.borrowed_pin(pin) as (pointer, length):
            self._run(function, *arguments(pointer, length))


PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def open(index: Optional[int] = None, *,  # noqa: A001 - the package's own open
         path: Optional[PathLike] = None) -> Token:
    """Opens the token at enumeration index `index` (0 to 255, 0 when
    neither is given; the tokens are counted afresh at every call, in the
    order vok.tokens() lists them), or the token whose usbfs device node is
    `path` (as vok.tokens() gives it, or any path to the same node).
    Raises TokenError (status 9) when no token answers there; for a path,
    its system_error says why (ENOENT nothing there, ENODEV no token, ...)."""
    if path is not None:
        if index is not None:
            raise ValueError("give an index or a path, not both")
        encoded = os.fsencode(path)
        if b"\0" in encoded:
            raise ValueError("a path cannot hold a NUL character")
        handle = library().vokOpenPath(encoded)
        if handle == INVALID_HANDLE:
            raise TokenError(STATUS_BAD_HANDLE, "vokOpenPath",
                             f"no token answers at {os.fsdecode(encoded)}")
        return Token(handle)
    index = _args.u8(0 if index is None else index, "index")
    handle = library().vokOpen(index)
    if handle == INVALID_HANDLE:
        raise TokenError(STATUS_BAD_HANDLE, "vokOpen", f"no token answers at index {index}")
    return Token(handle)
