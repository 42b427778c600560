"""Python arguments checked and turned into what the C functions take.

Integers are checked against the width of their C parameter (ctypes would
silently cut them); PINs and data buffers are lent to the library without a
copy where Python allows it, and every buffer this package makes for a call
is overwritten with zeros before it is let go.
"""

from __future__ import annotations

import ctypes
import operator
from contextlib import contextmanager
from typing import Iterator, Optional, Union

PinLike = Union[bytes, bytearray, str]
DataLike = Union[bytes, bytearray, memoryview]
WritableLike = Union[bytearray, memoryview]

# (pointer argument, length): what a PIN or buffer becomes for one call.
Borrowed = tuple[Optional[Union[int, bytes]], int]

# The most memory a token can have (255 units of 256 bytes): no read can be
# longer.
MAX_MEMORY_SIZE = 255 * 256


def integer(value: object, name: str, low: int, high: int) -> int:
    """`value` as an int from `low` to `high`: TypeError for anything that is
    not an integer, ValueError outside the range."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {number}")
    return number


def u8(value: object, name: str) -> int:
    return integer(value, name, 0, 0xFF)


def u16(value: object, name: str) -> int:
    return integer(value, name, 0, 0xFFFF)


def u32(value: object, name: str) -> int:
    return integer(value, name, 0, 0xFFFFFFFF)


def i32(value: object, name: str) -> int:
    """An enumeration value (block, PIN type...): any signed 32-bit number;
    the library itself says which it accepts."""
    return integer(value, name, -0x80000000, 0x7FFFFFFF)


def read_length(value: object, name: str) -> int:
    """The length of a read into a buffer of this package's: checked before
    the buffer is made, so that no length a token cannot serve costs memory."""
    return integer(value, name, 0, MAX_MEMORY_SIZE)


def wipe(buffer: bytearray) -> None:
    """Zeroes `buffer` where it lies, without a zero-filled copy of its size."""
    if buffer:
        ctypes.memset((ctypes.c_char * len(buffer)).from_buffer(buffer), 0, len(buffer))


def flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def check_pin(pin: object, name: str) -> None:
    if pin is not None and not isinstance(pin, (bytes, bytearray, str)):
        raise TypeError(f"{name} must be bytes, bytearray, str or None, not {type(pin).__name__}")


def check_data(data: object, name: str) -> None:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, bytearray or memoryview, not "
                        f"{type(data).__name__}")


def check_writable(buffer: object, name: str) -> memoryview:
    if not isinstance(buffer, (bytearray, memoryview)):
        raise TypeError(f"{name} must be a bytearray or a writable memoryview, not "
                        f"{type(buffer).__name__}")
    view = memoryview(buffer)
    if view.readonly or not view.c_contiguous:
        view.release()
        raise ValueError(f"{name} must be writable and contiguous")
    return view.cast("B")


def _utf8_into(text: str, out: bytearray) -> int:
    """Encodes `text` as UTF-8 into `out` (at least 4 bytes per character)
    without an intermediate bytes object; returns the length."""
    length = 0
    for character in text:
        code = ord(character)
        if code < 0x80:
            out[length] = code
            length += 1
            continue
        if 0xD800 <= code <= 0xDFFF:
            raise ValueError("a PIN text cannot hold a lone surrogate")
        if code < 0x800:
            units = [0xC0 | code >> 6]
        elif code < 0x10000:
            units = [0xE0 | code >> 12, 0x80 | (code >> 6) & 0x3F]
        else:
            units = [0xF0 | code >> 18, 0x80 | (code >> 12) & 0x3F, 0x80 | (code >> 6) & 0x3F]
        units.append(0x80 | code & 0x3F)
        for unit in units:
            out[length] = unit
            length += 1
    return length


@contextmanager
def _lent(buffer: Union[bytearray, memoryview], length: int,
          wipe: bool) -> Iterator[Borrowed]:
    """The address of a writable buffer's first `length` bytes, shared with
    the library for the duration of the block; optionally zeroed after."""
    if length == 0:
        yield b"", 0  # a present but empty buffer: the library says what it makes of it
        return
    window = (ctypes.c_char * length).from_buffer(buffer)
    try:
        yield ctypes.addressof(window), length
    finally:
        if wipe:
            ctypes.memset(ctypes.addressof(window), 0, length)
        del window  # releases the buffer export


@contextmanager
def borrowed_pin(pin: Optional[PinLike]) -> Iterator[Borrowed]:
    """A PIN for one call. bytes and bytearray are lent as they are (no
    copy); a str is encoded into a private buffer that is zeroed afterwards."""
    if pin is None:
        yield None, 0
    elif isinstance(pin, bytes):
        yield pin, len(pin)
    elif isinstance(pin, bytearray):
        with _lent(pin, len(pin), wipe=False) as lent:
            yield lent
    else:
        scratch = bytearray(4 * len(pin))
        try:
            length = _utf8_into(pin, scratch)
            with _lent(scratch, length, wipe=True) as lent:
                yield lent
        finally:
            wipe(scratch)


@contextmanager
def borrowed_data(data: DataLike) -> Iterator[Borrowed]:
    """Bytes for the library to read: bytes and writable buffers are lent as
    they are; a read-only memoryview is copied into a buffer zeroed after."""
    if isinstance(data, bytes):
        yield data, len(data)
        return
    view = memoryview(data)
    try:
        if not view.readonly and view.c_contiguous:
            with _lent(view.cast("B"), view.nbytes, wipe=False) as lent:
                yield lent
        else:
            copy = bytearray(view)  # straight from the buffer, no bytes in between
            with _lent(copy, len(copy), wipe=True) as lent:
                yield lent
    finally:
        view.release()


@contextmanager
def borrowed_output(view: memoryview) -> Iterator[Borrowed]:
    """The caller's writable buffer, lent to the library to fill."""
    with _lent(view, view.nbytes, wipe=False) as lent:
        yield lent
