"""The vok package on a virtual token: every wrapped call, the errors, the
checks made before the library is called, threads sharing one token."""

from __future__ import annotations

import errno
import gc
import subprocess
import sys
import threading
import tracemalloc
from pathlib import Path
from typing import Any, Callable

import pytest

import vok
from conftest import VirtualToken, sim

BLOCK_START = {1: 0, 2: 1014, 3: 2028, 4: 3042}  # the default token's blocks
ANY_PIN = "0000"  # presented where the token checks none


def block_state(virtual: VirtualToken, block: int) -> dict[str, Any]:
    return virtual.state()["blocks"][block - 1]


def info(t: vok.Token, v: VirtualToken) -> None:
    got = t.info
    assert got.token_id == bytes.fromhex(v.state()["identity"]["tokenId"].replace(" ", ""))
    assert (got.memory_size, got.protocol_level) == (4096, 22)


def write_read(t: vok.Token, v: VirtualToken) -> None:
    t.write(101, b"hello", pin=None)
    assert v.memory(101, 5) == b"hello"
    assert t.read(101, 5) == b"hello"


def read_into(t: vok.Token, v: VirtualToken) -> None:
    t.write(200, bytearray(b"\x01\x02\x03"))
    out = bytearray(3)
    t.read_into(200, memoryview(out))
    assert out == b"\x01\x02\x03" == v.memory(200, 3)


def blocks(t: vok.Token, v: VirtualToken) -> None:
    t.write_block(2, 4, memoryview(b"blk"))
    assert v.memory(BLOCK_START[2] + 4, 3) == b"blk"
    assert t.read_block(2, 4, 3) == b"blk"
    out = bytearray(2)
    t.read_block_into(2, 5, out)
    assert out == b"lk"


def command(t: vok.Token, v: VirtualToken) -> None:
    request = vok.Request()
    request.command = 0x30  # the info command
    t.command(request, vok.REQUEST_HEADER_SIZE)
    assert (request.status, request.protocolLevel) == (0, 22)


def vendor_id(t: vok.Token, v: VirtualToken) -> None:
    t.set_vendor_id(4, 0x4242)
    assert block_state(v, 4)["vendorId"] == 0x4242 == t.get_vendor_id(4)


def attributes_and_lock(t: vok.Token, v: VirtualToken) -> None:
    assert t.set_block_attributes(1, vok.Permissions.READ, pin=ANY_PIN) & 3 == 1
    t.lock_block(1, pin=b"0000")
    assert (block_state(v, 1)["permissions"], block_state(v, 1)["locked"]) == (1, True)
    assert t.get_block_attributes(1) & 7 == 0b101
    t.lock_block(1, vok.Access.UNLOCKED, pin=bytearray(b"0000"))
    assert block_state(v, 1)["locked"] is False


def security_parameters(t: vok.Token, v: VirtualToken) -> None:
    t.set_security_parameters(1, 5, 4, 20, pin=ANY_PIN)
    assert v.state()["secParameters"] == [1, 5, 4, 20]
    assert t.get_security_parameters() == (1, 5, 4, 20)


def pins(t: vok.Token, v: VirtualToken) -> None:
    t.set_pin(2, "pïn-2")  # str PINs travel as UTF-8
    t.set_block_pin_use(2, True, vok.PinSetPermission.BY_ADMIN, pin="pïn-2")
    state = block_state(v, 2)
    assert (state["userPinSet"], state["pinUse"], state["pinSetPermission"]) == (True, True, 1)
    assert t.read_block(2, 0, 2, pin="pïn-2".encode()) == b"\0\0"


def initialize_block(t: vok.Token, v: VirtualToken) -> None:
    t.write_block(4, 0, b"old")
    t.initialize_block(4)
    assert v.memory(BLOCK_START[4], 3) == b"\0\0\0"


def provision_block(t: vok.Token, v: VirtualToken) -> None:
    t.provision_block(3, 0x1234, bytearray(b"56789"))
    state = block_state(v, 3)
    assert (state["vendorId"], state["userPinSet"], state["pinUse"]) == (0x1234, True, True)


def initialize(t: vok.Token, v: VirtualToken) -> None:
    t.write(0, b"data")
    t.initialize(new_pin="4321", pin_use=True)
    assert v.memory(0, 4) == b"\0\0\0\0"
    assert block_state(v, 1)["userPinSet"] and v.state()["mainPin"]["use"]
    assert t.read(0, 2, pin=b"4321") == b"\0\0"


ROUND_TRIP: list[Callable[[vok.Token, VirtualToken], None]] = [
    info, write_read, read_into, blocks, command, vendor_id, attributes_and_lock,
    security_parameters, pins, initialize_block, provision_block, initialize,
]


@pytest.mark.parametrize("call", ROUND_TRIP, ids=lambda call: call.__name__)
def test_every_call_reaches_the_token(token: vok.Token, virtual: VirtualToken,
                                      call: Callable[[vok.Token, VirtualToken], None]) -> None:
    call(token, virtual)


def test_tokens_and_the_command_line_list_what_discovery_finds(virtual: VirtualToken) -> None:
    node = Path(virtual.node)
    assert vok.tokens() == [vok.TokenEntry(0, virtual.node, 0x0401, int(node.parent.name),
                                           int(node.name))]
    assert virtual.state()["transfers"] == 0
    listing = subprocess.run([sys.executable, "-m", "vok"], capture_output=True, text=True,
                             check=True).stdout
    assert virtual.node in listing and "0x0401" in listing


def foreign_device(node: Path) -> Path:
    """A device node beside `node` whose descriptor is not a token's."""
    other = node.parent / "099"
    other.write_bytes(bytes([18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1]))
    return other


OPEN_BY_PATH: list[tuple[str, Callable[[Path], Any], int]] = [
    ("the token", lambda node: node, 0),
    ("its path as bytes", lambda node: bytes(node), 0),
    ("a foreign device", foreign_device, errno.ENODEV),
    ("a missing node", lambda node: node.parent / "098", errno.ENOENT),
]


@pytest.mark.parametrize("name,path,error", OPEN_BY_PATH, ids=[o[0] for o in OPEN_BY_PATH])
def test_open_by_path(virtual: VirtualToken, name: str, path: Callable[[Path], Any],
                      error: int) -> None:
    where = path(Path(virtual.node))
    if error == 0:
        with vok.open(path=where) as token:
            assert token.info.memory_size == 4096
        return
    with pytest.raises(vok.TokenError) as raised:
        vok.open(path=where)
    assert (raised.value.function, raised.value.system_error) == ("vokOpenPath", error)
    assert virtual.state()["transfers"] == 0


def closed(t: vok.Token, v: VirtualToken) -> None:
    t.close()
    t.close()  # again: nothing
    t.read(0, 4)


FAILURES: list[tuple[str, Callable[[vok.Token, VirtualToken], Any], int]] = [
    ("bad handle", closed, vok.STATUS_BAD_HANDLE),
    ("no token at index 1", lambda t, v: vok.open(1), vok.STATUS_BAD_HANDLE),
    ("block 5", lambda t, v: t.read_block(5, 0, 4), vok.STATUS_BAD_ARGUMENT),
    ("zero length", lambda t, v: t.read(0, 0), vok.STATUS_BAD_ARGUMENT),
    ("PIN of 32 bytes", lambda t, v: t.set_pin(1, b"x" * 32), vok.STATUS_BAD_ARGUMENT),
    ("parameter out of range", lambda t, v: t.set_security_parameters(16, 1, 1, 15, ANY_PIN),
     vok.STATUS_BAD_ARGUMENT),
    ("wrong PIN", lambda t, v: (t.initialize("4321", True), t.read(0, 4, pin="9999")), 0x10),
    ("failed transfer", lambda t, v: (v.fault("--fail-transfer", "1"), t.write(0, b"x")),
     vok.STATUS_TRANSFER_FAILED),
    ("raw command, token status",
     lambda t, v: (v.fault("--status-phase", "0", "--status-value", "0x12"),
                   t.command(vok.Request())), 0x12),
]


@pytest.mark.parametrize("name,call,status", FAILURES, ids=[f[0] for f in FAILURES])
def test_errors_carry_the_status(token: vok.Token, virtual: VirtualToken, name: str,
                                 call: Callable[[vok.Token, VirtualToken], Any],
                                 status: int) -> None:
    with pytest.raises(vok.TokenError) as raised:
        call(token, virtual)
    assert raised.value.status == status
    assert raised.value.message == (vok.status_string(status) if name != "no token at index 1"
                                    else "no token answers at index 1")


def test_a_wrong_pin_reports_the_attempts_left(token: vok.Token) -> None:
    token.initialize(new_pin=bytearray(b"4321"), pin_use=True)
    with pytest.raises(vok.TokenError) as raised:
        token.read(0, 4, pin=b"9999")
    assert raised.value.response is not None
    assert (raised.value.response.status, raised.value.response.pin_phase_reply) == (0x10, 2)


BAD_ARGUMENTS: list[tuple[str, Callable[[vok.Token], Any], type]] = [
    ("offset as str", lambda t: t.read("0", 4), TypeError),
    ("negative offset", lambda t: t.read(-1, 4), ValueError),
    ("length of 2**32", lambda t: t.read(0, 2**32), ValueError),
    ("length beyond the largest memory", lambda t: t.read(0, 65281), ValueError),
    ("block length beyond the largest memory", lambda t: t.read_block(2, 0, 65281), ValueError),
    ("block beyond 32 bits", lambda t: t.read_block(2**31, 0, 4), ValueError),
    ("block as bool", lambda t: t.read_block(True, 0, 4), TypeError),
    ("read into bytes", lambda t: t.read_into(0, b"immutable"), TypeError),
    ("data as str", lambda t: t.write(0, "text"), TypeError),
    ("PIN as int", lambda t: t.write(0, b"x", pin=1234), TypeError),
    ("PIN with a lone surrogate", lambda t: t.set_pin(1, "\ud800"), ValueError),
    ("no new PIN", lambda t: t.set_pin(1, None), TypeError),
    ("PIN use as int", lambda t: t.set_block_pin_use(1, 1), TypeError),
    ("vendor ID beyond 16 bits", lambda t: t.set_vendor_id(1, 0x10000), ValueError),
    ("parameter beyond 8 bits", lambda t: t.set_security_parameters(256, 1, 1, 15), ValueError),
    ("request as bytearray", lambda t: t.command(bytearray(200)), TypeError),
    ("request length 127", lambda t: t.command(vok.Request(), 127), ValueError),
    ("index 256", lambda t: vok.open(256), ValueError),
    ("index and path", lambda t: vok.open(0, path="/dev/null"), ValueError),
    ("path as int", lambda t: vok.open(path=3), TypeError),
    ("path with a NUL", lambda t: vok.open(path="/dev/\0x"), ValueError),
]


@pytest.mark.parametrize("name,call,error", BAD_ARGUMENTS, ids=[b[0] for b in BAD_ARGUMENTS])
def test_bad_python_arguments_stop_before_the_library(token: vok.Token, virtual: VirtualToken,
                                                      name: str,
                                                      call: Callable[[vok.Token], Any],
                                                      error: type) -> None:
    before = virtual.state()["transfers"]
    with pytest.raises(error):
        call(token)
    assert virtual.state()["transfers"] == before


def test_a_read_holds_its_buffer_and_its_result_and_no_more(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    sim("create", str(tmp_path / "usb"), "--units", "255")  # the largest memory
    monkeypatch.setenv("USB_DEVFS_PATH", str(tmp_path / "usb"))
    with vok.open(0) as token:
        length = token.info.memory_size
        tracemalloc.start()
        try:
            with pytest.raises(ValueError):
                token.read(0, 512 << 20)  # refused before anything is allocated
            refused = tracemalloc.get_traced_memory()[1]
            tracemalloc.reset_peak()
            before = tracemalloc.get_traced_memory()[0]
            token.read(0, length)  # wiped where it lies, not through a zero-filled copy
            accepted = tracemalloc.get_traced_memory()[1] - before
        finally:
            tracemalloc.stop()
    assert (length, refused < 1 << 20) == (65280, True)
    assert accepted < 2.5 * length


def test_threads_share_one_token(token: vok.Token, virtual: VirtualToken) -> None:
    threads, rounds = 4, 20
    failures: list[BaseException] = []

    def work(i: int) -> None:
        offset = 101 + 16 * i  # odd: each write reads the shared words first
        try:
            for r in range(rounds):
                mine = bytes([i * rounds + r]) * 5
                token.write(offset, mine)
                assert token.read(offset, 5) == mine
        except BaseException as failure:  # reported by the main thread
            failures.append(failure)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    for i in range(threads):
        assert virtual.memory(101 + 16 * i, 5) == bytes([i * rounds + rounds - 1]) * 5


def test_a_failed_exchange_says_why(token: vok.Token, virtual: VirtualToken,
                                    monkeypatch: pytest.MonkeyPatch) -> None:
    lines: list[tuple[int, str]] = []
    unraised: list[Any] = []  # what ctypes would report of an exception left in a callback
    monkeypatch.setattr(sys, "unraisablehook", unraised.append)

    def handler(level: int, line: str) -> None:
        lines.append((level, line))
        raise RuntimeError("stays in Python")

    vok.set_log_handler(handler)
    vok.set_log_level(1)
    try:
        virtual.fault("--fail-transfer", "1", "--fail-all", "--errno", "ETIMEDOUT")
        with pytest.raises(vok.TokenError) as raised:
            token.read(0, 4)
        assert raised.value.system_error == errno.ETIMEDOUT == vok.last_system_error()
        first = len(lines)
        del handler  # the package keeps the registered callback alive
        gc.collect()
        with pytest.raises(vok.TokenError):
            token.read(0, 4)
    finally:
        vok.set_log_level(0)
        vok.set_log_handler(None)
    assert 0 < first < len(lines) and all(level == 1 for level, _ in lines)
    assert "Connection timed out" in lines[0][1] and unraised == []
    sim("fault", "clear", virtual.node)
    token.read(0, 4)
    assert vok.last_system_error() == 0
