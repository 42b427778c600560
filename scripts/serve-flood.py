#!/usr/bin/env python3
"""An idle-connection flood against vok-sim serve on this machine, with a
client that asks for the device list at once every 100 ms; prints how many of
its tries were answered.

    python3 scripts/serve-flood.py PORT [SECONDS [RATE]]

The flood connects to 127.0.0.1:PORT from 32 loopback source addresses
(127.0.0.1 to 127.0.0.32) at a rate that changes each second between 60 and
RATE (160 unless given, at most 2000) a second, and never sends a byte. Bounded: loopback only, at most 60
seconds, 20000 connections and 512 open at once. bench/serveFlood is the same
program in C."""
import random
import socket
import sys
import threading
import time

SOURCES, MAX_OPEN, MAX_CONNECTIONS, MAX_SECONDS, MAX_RATE = 32, 512, 20000, 60, 2000
LIST_REQUEST = bytes([0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0])


def connect_from(source, port, blocking):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((f"127.0.0.{source}", 0))
    sock.setblocking(blocking)
    try:
        sock.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    return sock


def flood(port, seconds, max_rate):
    opened = [None] * MAX_OPEN
    end = time.monotonic() + seconds
    following = time.monotonic()
    rate, rate_until = 60, 0.0
    for made in range(MAX_CONNECTIONS):
        now = time.monotonic()
        if now >= end:
            break
        if now >= rate_until:
            rate, rate_until = random.randint(60, max_rate), now + 1
        slot = made % MAX_OPEN
        if opened[slot] is not None:
            opened[slot].close()
        try:
            opened[slot] = connect_from(1 + made % SOURCES, port, False)
        except OSError:
            opened[slot] = None
        following += 1 / rate
        time.sleep(max(0.0, following - time.monotonic()))
    for sock in opened:
        if sock is not None:
            sock.close()


def listed(port):
    try:
        with connect_from(1, port, True) as sock:
            sock.settimeout(5)
            sock.sendall(LIST_REQUEST)
            reply = b""
            while len(reply) < 12:
                part = sock.recv(12 - len(reply))
                if not part:
                    break
                reply += part
            return len(reply) == 12 and reply[4:8] == b"\0\0\0\0"
    except OSError:
        return False


def main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit("usage: serve-flood.py PORT [SECONDS [RATE]]")
    port = int(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) >= 3 else 20.0
    max_rate = int(sys.argv[3]) if len(sys.argv) == 4 else 160
    if not (0 < port <= 65535 and 0 < seconds <= MAX_SECONDS and 60 <= max_rate <= MAX_RATE):
        sys.exit(f"serve-flood.py: PORT 1-65535, SECONDS up to {MAX_SECONDS}, RATE 60-{MAX_RATE}")
    flooder = threading.Thread(target=flood, args=(port, seconds, max_rate))
    flooder.start()
    time.sleep(1)  # the flood under way
    tries = answered = 0
    end = time.monotonic() + seconds - 1.5
    while time.monotonic() < end:
        tries += 1
        answered += listed(port)
        time.sleep(0.1)
    flooder.join()
    share = 100 * answered / tries if tries else 0
    print(f"answered {answered} of {tries} list requests under the flood ({share:.1f} %)")


if __name__ == "__main__":
    main()
