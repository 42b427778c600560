"""Virtual tokens for the vok package's tests.

The tests run inside `vok-sim run TREE -- python3 -m pytest ...`, which
preloads the virtual token's ioctl interposer; VOK_SIM names the vok-sim
binary and VOK_LIBRARY the libvok.so.1 under test. Each test gets a tree
of its own with one token, named in USB_DEVFS_PATH while the test runs."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path
from typing import Any, Iterator

import pytest

import vok


def pytest_configure(config: pytest.Config) -> None:
    if "libvoksim" not in os.environ.get("LD_PRELOAD", "") or not os.environ.get("VOK_SIM"):
        raise pytest.UsageError("run the tests under `vok-sim run TREE --`, with VOK_SIM "
                                "naming vok-sim (ctest does both)")


def sim(*arguments: str) -> str:
    """Runs vok-sim (without the interposer) and returns its output."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([os.environ["VOK_SIM"], *arguments], env=env, capture_output=True,
                          text=True, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout


class VirtualToken:
    """The device node of a virtual token and its state as vok-sim shows it."""

    def __init__(self, node: Path) -> None:
        self.node = str(node)

    def state(self) -> dict[str, Any]:
        return json.loads(sim("show", self.node, "--json", "--memory"))

    def memory(self, offset: int, length: int) -> bytes:
        return bytes.fromhex(self.state()["memory"])[offset:offset + length]

    def fault(self, *options: str) -> None:
        sim("fault", "set", self.node, *options)


@pytest.fixture
def virtual(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> VirtualToken:
    root = tmp_path / "usb"
    sim("create", str(root), "--tokens", "1")
    monkeypatch.setenv("USB_DEVFS_PATH", str(root))
    (node,) = [p for p in root.glob("*/*") if not p.name.startswith(".")]
    return VirtualToken(node)


@pytest.fixture
def token(virtual: VirtualToken) -> Iterator[vok.Token]:
    with vok.open(0) as opened:
        yield opened
