"""Slow clients for test_slow_clients.py, in a process of their own so that their event loop never
holds the interpreter lock the measured client needs.

    slow_client.py PORT CONNECTIONS SECONDS

Keeps CONNECTIONS connections to 127.0.0.1:PORT, each sending a header one byte a second that
never ends; one the service cuts is opened again. Prints "ready" once every connection is open,
then at the end one JSON line: how many were opened and cut, the longest a connection stayed
open, and how many got any bytes back.
"""

from __future__ import annotations

import asyncio
import json
import sys
import time

HEADER = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "


async def slot(port: int, delay: float, end: float, stats: dict, opened: asyncio.Event,
               total: int) -> None:
    await asyncio.sleep(delay)  # spread over the first second rather than one burst
    first = True
    for _ in range(10_000):  # reconnections; the clock ends it first
        if time.monotonic() >= end:
            break
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            stats["connect_errors"] += 1
            await asyncio.sleep(0.1)
            continue
        stats["opened"] += 1
        if first:
            first = False
            stats["open_slots"] += 1
            if stats["open_slots"] == total:
                opened.set()
        began = time.monotonic()
        data = HEADER + b"a" * 100_000  # longer than any run sends
        sent = 0
        cut = False
        try:
            for _ in range(len(data)):
                if time.monotonic() >= end:
                    break
                writer.write(data[sent:sent + 1])
                sent += 1
                await writer.drain()
                try:
                    chunk = await asyncio.wait_for(reader.read(4096), 1.0)
                except asyncio.TimeoutError:
                    continue
                if chunk:
                    stats["answered"] += 1
                    continue
                cut = True
                break
        except (ConnectionError, OSError):
            cut = True
        lifetime = time.monotonic() - began
        stats["longest"] = max(stats["longest"], lifetime)
        if cut:
            stats["cut"] += 1
        writer.close()


async def main(port: int, connections: int, seconds: float) -> None:
    end = time.monotonic() + seconds
    stats = dict(opened=0, open_slots=0, cut=0, answered=0, connect_errors=0, longest=0.0)
    opened = asyncio.Event()
    tasks = [asyncio.create_task(slot(port, i / connections, end, stats, opened, connections))
             for i in range(connections)]

    async def announce() -> None:
        await opened.wait()
        print("ready", flush=True)

    announcer = asyncio.create_task(announce())
    try:
        await asyncio.wait_for(asyncio.gather(*tasks), seconds + 10)
    finally:
        announcer.cancel()
    print(json.dumps(stats), flush=True)


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])))
