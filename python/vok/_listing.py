"""vok.tokens(): the tokens that discovery finds, through the library's
exported device-list routines."""

from __future__ import annotations

from dataclasses import dataclass

from ._native import library


@dataclass(frozen=True)
class TokenEntry:
    """One token found: vok.open(index) opens it."""
    index: int
    path: str  # its usbfs device node
    product_id: int


def tokens() -> list[TokenEntry]:
    """The tokens attached now, in the order of their enumeration index.
    Only device descriptors are read; nothing is sent to any token."""
    lib = library()
    device_list = lib.vokCreateDeviceList()
    try:
        found = []
        device = lib.vokGetFirstDevice(device_list)
        while device:
            record = device.contents
            found.append(TokenEntry(record.index, record.devicePath.decode("utf-8", "replace"),
                                    record.productId))
            device = lib.vokGetNextDevice(device_list)
        return found
    finally:
        lib.vokFreeDeviceList(device_list)
