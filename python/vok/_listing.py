"""vok.tokens(): the tokens that discovery finds, through vokListTokens."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import Optional

from ._native import STATUS_OK, TokenEntry as _Entry, library
from ._token import TokenError


@dataclass(frozen=True)
class TokenEntry:
    """One token found: vok.open(path=path) opens it, and vok.open(index) while
    the index is below 256 (vokOpen takes one byte).
    bus_number and device_number are 0 when the usbfs names are not numbers."""
    index: Optional[int]  # None only in a Monitor event that has none
    path: str  # its usbfs device node
    product_id: int
    bus_number: int = 0
    device_number: int = 0


def tokens() -> list[TokenEntry]:
    """The tokens attached now, in the order of their enumeration index.
    Only device descriptors are read; nothing is sent to any token."""
    lib = library()
    count = ctypes.c_uint32()
    entries = (_Entry * 4)()
    # A token plugged in between two calls can make the array short again.
    while True:
        status = lib.vokListTokens(entries, len(entries), ctypes.byref(count))
        if status != STATUS_OK:  # the arguments are always valid: not expected
            raise TokenError(status, "vokListTokens")
        if count.value <= len(entries):
            break
        entries = (_Entry * count.value)()
    # os.fsdecode: a path that is not UTF-8 still opens with vok.open(path=...).
    return [TokenEntry(e.index, os.fsdecode(e.path), e.productId, e.busNumber, e.deviceNumber)
            for e in entries[:count.value]]
