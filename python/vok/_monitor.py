"""vok.Monitor: tokens arriving and leaving, through the library's monitor."""

from __future__ import annotations

import ctypes
import enum
import os
import threading
from dataclasses import dataclass
from typing import Iterator, Optional

from ._listing import TokenEntry
from ._native import (MONITOR_ARRIVED, MONITOR_LEFT, MONITOR_NO_INDEX, MONITOR_PRESENT,
                      MONITOR_REFUSED, MonitorEvent as _Event, library)


class EventKind(enum.IntEnum):
    ARRIVED = MONITOR_ARRIVED  # usable: this process can open it
    LEFT = MONITOR_LEFT
    REFUSED = MONITOR_REFUSED  # present, but this process may not open it


@dataclass(frozen=True)
class MonitorEvent:
    """One change. token.index is None where the event has none (left,
    refused); error is the errno of a refusal (EACCES), else 0."""
    kind: EventKind
    token: TokenEntry
    error: int = 0


class Monitor:
    """Watches tokens arrive and leave. fileno() is a descriptor that is
    readable when an event may wait, for select, selectors or asyncio's
    add_reader; read() takes the next event without blocking (None when none
    waits); iterating yields the events waiting now. Closes with close() or
    at the end of a with block.

        with vok.Monitor(present=True) as monitor:
            selector.register(monitor, selectors.EVENT_READ)
            ...
            for event in monitor:
                print(event.kind.name, event.token.path)
    """

    def __init__(self, present: bool = False) -> None:
        self._lib = library()
        self._lock = threading.Lock()
        self._monitor: Optional[int] = self._lib.vokMonitorCreate(MONITOR_PRESENT if present else 0)
        if not self._monitor:
            error = self._lib.vokLastSystemError()
            raise OSError(error, f"vokMonitorCreate: {os.strerror(error)}")

    def fileno(self) -> int:
        if self._monitor is None:
            raise ValueError("the monitor is closed")
        return self._lib.vokMonitorFd(self._monitor)

    def read(self) -> Optional[MonitorEvent]:
        """The next event, or None when none waits now."""
        with self._lock:
            if self._monitor is None:
                raise ValueError("the monitor is closed")
            raw = _Event()
            result = self._lib.vokMonitorRead(self._monitor, ctypes.byref(raw))
            if result < 0:
                error = self._lib.vokLastSystemError()
                raise OSError(error, f"vokMonitorRead: {os.strerror(error)}")
        if result == 0:
            return None
        entry = raw.token
        index = None if entry.index == MONITOR_NO_INDEX else entry.index
        token = TokenEntry(index, os.fsdecode(entry.path), entry.productId, entry.busNumber,
                           entry.deviceNumber)
        return MonitorEvent(EventKind(raw.kind), token, raw.error)

    def __iter__(self) -> Iterator[MonitorEvent]:
        while (event := self.read()) is not None:
            yield event

    def close(self) -> None:
        with self._lock:
            if self._monitor is not None:
                self._lib.vokMonitorClose(self._monitor)
                self._monitor = None

    def __enter__(self) -> "Monitor":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_monitor", None) is not None:
            self.close()
