"""vok.Monitor on a virtual token: present tokens, unplug and replug seen
through a selector, the iterator, and a closed monitor."""

from __future__ import annotations

import os
import selectors

import pytest

import vok

from conftest import VirtualToken, sim


def wait_for(monitor: vok.Monitor, count: int) -> list[vok.MonitorEvent]:
    events: list[vok.MonitorEvent] = []
    with selectors.DefaultSelector() as selector:
        selector.register(monitor, selectors.EVENT_READ)
        while len(events) < count:
            events.extend(monitor)
            if len(events) < count and not selector.select(timeout=120):
                break  # only a broken monitor stays silent this long
    return events


def test_events_arrive_in_pairs_through_a_selector(virtual: VirtualToken) -> None:
    with vok.Monitor(present=True) as monitor:
        sim("unplug", virtual.node)
        sim("replug", virtual.node)
        events = wait_for(monitor, 3)
        assert monitor.read() is None
    assert [(e.kind, e.token.path) for e in events] == [
        (vok.EventKind.ARRIVED, virtual.node), (vok.EventKind.LEFT, virtual.node),
        (vok.EventKind.ARRIVED, virtual.node)]
    assert events[0].token.index == 0 and events[1].token.index is None
    assert events[0].token.product_id == 0x0401 and events[0].error == 0


def test_a_closed_monitor_refuses_to_read(virtual: VirtualToken) -> None:
    monitor = vok.Monitor()
    assert monitor.fileno() > 2 and not os.get_inheritable(monitor.fileno())
    assert list(monitor) == []  # the present token is not reported without present=True
    monitor.close()
    with pytest.raises(ValueError):
        monitor.read()
