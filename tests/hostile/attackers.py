"""Attackers for test_under_attack.py, in processes of their own so the measured client never waits
for their interpreter lock; each prints "ready", then one JSON line of what it saw.
  attackers.py slow PORT SECONDS CONNECTIONS: headers sent a byte a second, reconnecting once cut.
  attackers.py bombs PORT SECONDS: one bomb of each kind (BOMBS=chunked,gzip picks), repeated."""

import asyncio
import gzip
import json
import os
import select
import socket
import sys
import threading
import time

HOST = "127.0.0.1"


async def slot(port: int, delay: float, end: float, stats: dict, total: int) -> None:
    await asyncio.sleep(delay)  # spread over the first second rather than one burst
    for _ in range(10_000):  # reconnections; the clock ends it first
        if time.monotonic() >= end:
            break
        try:
            reader, writer = await asyncio.open_connection(HOST, port)
        except OSError:
            stats["connect_errors"] += 1
            await asyncio.sleep(0.1)
            continue
        stats["opened"] += 1
        if stats["opened"] == total:
            print("ready", flush=True)
        began, cut = time.monotonic(), False
        try:
            for byte in b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100_000:
                if time.monotonic() >= end:
                    break
                writer.write(bytes([byte]))
                await writer.drain()
                try:
                    chunk = await asyncio.wait_for(reader.read(4096), 1.0)
                except asyncio.TimeoutError:
                    continue
                if not chunk:
                    cut = True
                    break
                stats["answered"] += 1
        except (ConnectionError, OSError):
            cut = True
        stats["longest"] = max(stats["longest"], time.monotonic() - began)
        stats["cut"] += cut
        writer.close()


async def slow(port: int, seconds: float, connections: int) -> dict:
    end = time.monotonic() + seconds
    stats = dict(opened=0, cut=0, answered=0, connect_errors=0, longest=0.0)
    await asyncio.wait_for(asyncio.gather(*(slot(port, i / connections, end, stats, connections)
                                            for i in range(connections))), seconds + 10)
    return stats


CHUNK = b"[" + b"1," * 32767 + b"1"
GZIP = gzip.compress(b" " * (8 << 20))
POST = "POST /v1/ContractLine/GetPrice HTTP/1.1\r\nHost: 127.0.0.1\r\n{}\r\n\r\n"
KINDS = {  # the header, then the pieces sent after it: 200 MiB, 4 MiB, 8 KB, 2.4 MB
    "chunked": (POST.format("Transfer-Encoding: chunked"),
                [f"{len(CHUNK):x}\r\n".encode() + CHUNK + b"\r\n"] * 3200),
    "terabyte": (POST.format("Content-Length: 1000000000000"), [bytes(65536)] * 64),
    "gzip": (POST.format(f"Content-Encoding: gzip\r\nContent-Length: {len(GZIP)}"), [GZIP]),
    "header": ("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n", [b"X-B: a\r\n" * 1000] * 300),
}


def bomb(port: int, kind: str, end: float, answers: dict) -> None:
    header, pieces = KINDS[kind]
    for _ in range(100_000):
        if time.monotonic() >= end:
            return
        received = b""
        try:
            with socket.create_connection((HOST, port), timeout=5) as sock:
                sock.sendall(header.encode())
                sock.settimeout(0.5)
                try:  # like a client that watches for an early answer: one waiting stops the sending
                    for piece in pieces:
                        if select.select([sock], [], [], 0)[0] or time.monotonic() >= end:
                            break
                        sock.sendall(piece)
                except OSError:
                    pass  # cut mid-send, as it should be; an answer given first is still readable
                sock.settimeout(3)
                received = sock.recv(4096)
        except OSError:
            pass  # no answer at all
        status = received[9:12].decode() if received.startswith(b"HTTP/1.1 ") else "none"
        answers[kind][status] = answers[kind].get(status, 0) + 1


def bombs(port: int, seconds: float) -> dict:
    end = time.monotonic() + seconds
    answers = {kind: {} for kind in KINDS}
    chosen = [k for k in os.environ.get("BOMBS", ",".join(KINDS)).split(",") if k in KINDS]
    threads = [threading.Thread(target=bomb, args=(port, kind, end, answers)) for kind in chosen]
    for thread in threads:
        thread.start()
    print("ready", flush=True)
    for thread in threads:
        thread.join(timeout=seconds + 20)
    return answers


if __name__ == "__main__":
    port, seconds = int(sys.argv[2]), float(sys.argv[3])
    print(json.dumps(asyncio.run(slow(port, seconds, int(sys.argv[4]))) if sys.argv[1] == "slow"
                     else bombs(port, seconds)), flush=True)
