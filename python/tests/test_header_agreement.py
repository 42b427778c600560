"""The package repeats the public header's numbers (ctypes cannot read a C
header): every one of them must agree with include/vok/vok.h."""

from __future__ import annotations

import ctypes
import os
import re
from pathlib import Path

from vok import _native

# The source tree's header, or VOK_HEADER (the installed one, when the tests
# run on an installed package away from the source tree).
HEADER = Path(os.environ.get("VOK_HEADER")
              or Path(__file__).resolve().parents[2] / "include" / "vok" / "vok.h")


def header_numbers() -> dict[str, int]:
    numbers = {}
    for name, value in re.findall(r"^#define VOK_(\w+) \(?(?:\(VokHandle\))?(0x[0-9A-Fa-f]+|\d+)u\)?$",
                                  HEADER.read_text(), re.M):
        numbers[name] = int(value, 0)
    return numbers


def test_every_repeated_number_agrees_with_the_header() -> None:
    numbers = header_numbers()
    repeated = [name for name in vars(_native) if name.isupper() and name in numbers]
    assert {"STATUS_OK", "STATUS_TRANSFER_FAILED", "INVALID_HANDLE", "REQUEST_SIZE"} <= set(repeated)
    for name in repeated:
        assert getattr(_native, name) == numbers[name], name


def test_the_request_record_has_the_header_size() -> None:
    assert ctypes.sizeof(_native.Request) == header_numbers()["REQUEST_SIZE"]


def test_the_records_lay_out_their_fields_as_the_header_asserts() -> None:
    records = {"VokIdInfo": _native.IdInfo, "VokTokenEntry": _native.TokenEntry,
               "VokMonitorEvent": _native.MonitorEvent}
    checked = 0
    for record, field, offset in re.findall(r"offsetof\((Vok\w+), (\w+)\) == (\d+)",
                                            HEADER.read_text()):
        if record in records:
            assert getattr(records[record], field).offset == int(offset), (record, field)
            checked += 1
    assert checked >= 6
    assert ctypes.sizeof(_native.TokenEntry) == 16 + header_numbers()["TOKEN_PATH_SIZE"]
