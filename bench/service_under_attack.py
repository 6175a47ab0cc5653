"""A well-behaved client calls GetPrice every 5 ms while slow connections attack `carvalen serve`,
alone and then with one bomb of each kind: its p99 latency, failures and the service's memory.
Figures in docs/reliability.md. The attackers run in processes of their own (this script again),
so the measured client never waits for their interpreter lock.
  CARVALEN_CLI=build/carvalen python3 bench/service_under_attack.py [CONNECTIONS (200)]
  service_under_attack.py slow PORT SECONDS CONNECTIONS: headers a byte a second, reconnecting.
  service_under_attack.py bombs PORT SECONDS: one bomb of each kind (BOMBS=chunked,gzip picks)."""

import asyncio
import contextlib
import functools
import gzip
import json
import os
import pathlib
import select
import socket
import subprocess
import sys
import tempfile
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


READ_TIMEOUT = 2
behind = functools.partial(os.sched_setscheduler, 0, os.SCHED_OTHER, os.sched_param(0))


@contextlib.contextmanager  # client and service ahead of the attackers, as if on other machines
def ahead_of_attackers():
    with contextlib.suppress(PermissionError):
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    try:
        yield os.sched_getscheduler(0) == os.SCHED_FIFO
    finally:
        behind()


def paced(port: int, seconds: float, interval: float = 0.005):
    """The client's p99 latency and calls, one call every `interval` for `seconds`."""
    latencies, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        latencies.append(hc.good(port))  # asserts every answer is a 200
        time.sleep(max(0.0, interval - latencies[-1]))
    return sorted(latencies)[min(len(latencies) - 1, int(len(latencies) * 0.99))], len(latencies)


def measure(folder: pathlib.Path, connections: int, with_bombs: bool) -> str:
    # Alone, the slow connections are cut at a short deadline; with the bombs they stay (10 s).
    args = ("--max-body", "1MiB") if with_bombs else ("--read-timeout", str(READ_TIMEOUT))
    seconds, measured, idle = (8, 5, 2.0) if with_bombs else (7, 4, 1.5)
    attack = (["nice", "-n", "10"] if with_bombs else []) + [sys.executable, __file__]
    with ahead_of_attackers() as ahead, hc.Service(hc.make_store(folder), *args) as service:
        idle_p99, _ = paced(service.port, idle)
        rest_kb = service.kb("VmRSS")
        attackers = [subprocess.Popen([*attack, mode, str(service.port), str(seconds),
                                       str(connections)], stdout=subprocess.PIPE, text=True,
                                      preexec_fn=behind)
                     for mode in (["slow", "bombs"] if with_bombs else ["slow"])]
        try:
            for attacker in attackers:
                assert select.select([attacker.stdout], [], [], 15)[0], "an attacker is not ready"
                assert attacker.stdout.readline() == "ready\n"
            with service.growth() as grown:
                busy_p99, calls = paced(service.port, measured)
            seen = [json.loads(attacker.communicate(timeout=seconds + 30)[0].splitlines()[-1])
                    for attacker in attackers]
        finally:
            for attacker in attackers:
                attacker.kill()
                attacker.wait(timeout=5)
    return (f"{connections} slow{' and bombs' * with_bombs}{', service ahead' * ahead}: idle p99 "
            f"{idle_p99 * 1e3:.2f} ms, under attack p99 {busy_p99 * 1e3:.2f} ms ({calls} calls, "
            f"none failed); resident at rest {rest_kb // 1024} MB, peak "
            f"{(rest_kb + grown.kb) // 1024} MB; attackers saw {seen}")


if __name__ == "__main__":
    if len(sys.argv) > 2:
        port, seconds = int(sys.argv[2]), float(sys.argv[3])
        print(json.dumps(asyncio.run(slow(port, seconds, int(sys.argv[4])))
                         if sys.argv[1] == "slow" else bombs(port, seconds)), flush=True)
    else:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "hostile"))
        import conftest as hc  # the hostile suite's service and well-behaved client

        with tempfile.TemporaryDirectory() as scratch:
            for with_bombs in (False, True):
                print(measure(pathlib.Path(scratch) / f"store-{with_bombs}",
                              int(sys.argv[1]) if len(sys.argv) > 1 else 200, with_bombs))
