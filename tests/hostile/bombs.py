"""Body and header bombs for test_under_attack.py, in a process of their own (as slow_client.py
is) so that the measured client never waits for their interpreter lock.

    bombs.py PORT SECONDS

Keeps one bomb of each kind going against 127.0.0.1:PORT, each started again once the service
has refused it, until SECONDS have passed: a chunked body of 200 MiB, a Content-Length of a
terabyte, a gzip body, 300,000 header lines (BOMBS=chunked,gzip,... picks some). Prints "ready", then at the end one JSON line: the
answers each kind got.
"""

from __future__ import annotations

import gzip
import json
import os
import socket
import sys
import threading
import time

CHUNK = b"[" + b"1," * 32767 + b"1"
FRAME = f"{len(CHUNK):x}\r\n".encode() + CHUNK + b"\r\n"
GZIP = gzip.compress(b" " * (8 << 20))


def head(lines):
    return ("\r\n".join(["POST /v1/ContractLine/GetPrice HTTP/1.1", "Host: 127.0.0.1", *lines])
            + "\r\n\r\n").encode()


KINDS = {
    "chunked": (head(["Transfer-Encoding: chunked"]), lambda: (FRAME for _ in range(3200))),
    "terabyte": (head(["Content-Length: 1000000000000"]), lambda: (bytes(65536) for _ in range(64))),
    "gzip": (head(["Content-Encoding: gzip", f"Content-Length: {len(GZIP)}"]), lambda: [GZIP]),
    "header": (b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n",
               lambda: (b"X-B: a\r\n" * 1000 for _ in range(300))),
}


def status_of(data: bytes) -> str:
    return data.split(b" ", 2)[1].decode() if data.startswith(b"HTTP/1.1 ") else "none"


def bomb(port: int, kind: str, end: float, answers: dict) -> None:
    header, pieces = KINDS[kind]
    for _ in range(100_000):
        if time.monotonic() >= end:
            return
        received = b""
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                sock.sendall(header)
                sock.settimeout(0.5)
                for piece in pieces():
                    sock.sendall(piece)
                    if time.monotonic() >= end:
                        break
                sock.settimeout(3)
                received = sock.recv(4096)
        except OSError:
            pass  # cut mid-send, as it should be; the answer came first or not at all
        status = status_of(received)
        answers[kind][status] = answers[kind].get(status, 0) + 1


def main() -> None:
    port, seconds = int(sys.argv[1]), float(sys.argv[2])
    end = time.monotonic() + seconds
    answers = {kind: {} for kind in KINDS}
    chosen = [k for k in os.environ.get("BOMBS", ",".join(KINDS)).split(",") if k in KINDS]
    threads = [threading.Thread(target=bomb, args=(port, kind, end, answers)) for kind in chosen]
    for thread in threads:
        thread.start()
    print("ready", flush=True)
    for thread in threads:
        thread.join(timeout=seconds + 20)
    print(json.dumps(answers), flush=True)


if __name__ == "__main__":
    main()
