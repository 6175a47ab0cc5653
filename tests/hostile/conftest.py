"""`carvalen serve` attacked from outside, as a hostile network client sees it.

CARVALEN_CLI names the built tool (the tests are skipped without it). Each service runs on a free
loopback port of its own, on a demo store made by `carvalen init-demo`; every socket here talks
to 127.0.0.1 only, and every wait has a deadline.

Memory is read from /proc/<pid>/status. Before an attack the peak (VmHWM) is reset to the current
size through /proc/<pid>/clear_refs, so what an attack makes the service hold is read exactly
rather than sampled; the peak over the whole life is kept in Service.peak_kb.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import re
import select
import signal
import socket
import subprocess
import sys
import time
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence

import pytest

HERE = pathlib.Path(__file__).resolve().parent
CLI = os.environ.get("CARVALEN_CLI", "")
HOST = "127.0.0.1"

TOKEN = "hostile-suite-token-0001"  # 24 characters: over the minimum of 16
GOOD_PATH = "/v1/ContractLine/GetPrice"
GOOD_BODY = b'{"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0}'
MIB = 1024 * 1024

# The test modules import these helpers by this name: with another folder's conftest.py in the
# same run, "conftest" in sys.modules may be that one.
sys.modules["hostile_conftest"] = sys.modules[__name__]


def pytest_collection_modifyitems(config, items):
    if CLI:
        return
    skip = pytest.mark.skip(reason="CARVALEN_CLI names no built carvalen tool")
    for item in items:
        if HERE in pathlib.Path(str(item.fspath)).resolve().parents:
            item.add_marker(skip)


# --- the demo store -------------------------------------------------------------------------


def make_store(folder: pathlib.Path, tokens: Optional[str] = None) -> pathlib.Path:
    """A demo store in `folder`; with `tokens`, key Tokens of [Service] in it."""
    subprocess.run([CLI, "init-demo", "--dir", str(folder)], check=True, capture_output=True,
                   timeout=60)
    if tokens is not None:
        with open(folder / "Vendra.toml", "a", encoding="utf-8") as store:
            store.write(f'\n[Service]\nTokens = "{tokens}"\n')
    return folder


@pytest.fixture
def store(tmp_path: pathlib.Path) -> pathlib.Path:
    return make_store(tmp_path / "store")


# --- the service ----------------------------------------------------------------------------


def service_env(store_dir: pathlib.Path, tokens: Optional[str]) -> Dict[str, str]:
    env = dict(os.environ, CARVALEN_CONFIG_DIR=str(store_dir))
    # Tokens of the caller's environment would change what every test expects.
    env.pop("CARVALEN_SERVICE_TOKENS", None)
    if tokens is not None:
        env["CARVALEN_SERVICE_TOKENS"] = tokens
    return env


class Service:
    """`carvalen serve` on a free loopback port; stopped by stop() or as a context manager."""

    def __init__(self, store_dir: pathlib.Path, *args: str, tokens: Optional[str] = None,
                 access_log: str = "/dev/null"):
        self.args = args
        self.err_path = store_dir.parent / f"serve-{time.monotonic_ns()}.err"
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(
            [CLI, "serve", "--listen", f"{HOST}:0", "--access-log", access_log, *args],
            stdout=subprocess.PIPE, stderr=self._err, env=service_env(store_dir, tokens))
        self.peak_kb = 0
        try:
            line = self._first_line(timeout=15)
            match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if not match:
                raise RuntimeError(f"serve printed {line!r}; stderr: {self.stderr()}")
            self.port = int(match.group(1))
        except BaseException:
            self.stop()
            raise

    def _first_line(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        data = b""
        for _ in range(10_000):
            if b"\n" in data:
                break
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"serve printed nothing in {timeout} s")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    self.proc.wait(timeout=5)
                    raise RuntimeError(
                        f"serve exited {self.proc.returncode}: {self.stderr()}")
                data += chunk
        return data.decode(errors="replace")

    def stderr(self) -> str:
        self._err.flush()
        return self.err_path.read_text(errors="replace")

    def stop(self) -> Optional[int]:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        self.proc.stdout.close()
        self._err.close()
        return self.proc.returncode

    def __enter__(self) -> "Service":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # Memory, in kB.
    def status_kb(self, field: str) -> int:
        text = pathlib.Path(f"/proc/{self.proc.pid}/status").read_text()
        match = re.search(rf"^{field}:\s+(\d+) kB", text, re.M)
        assert match, f"no {field} in /proc/{self.proc.pid}/status"
        return int(match.group(1))

    def rss_kb(self) -> int:
        return self.status_kb("VmRSS")

    def hwm_kb(self) -> int:
        hwm = self.status_kb("VmHWM")
        self.peak_kb = max(self.peak_kb, hwm)
        return hwm

    @contextlib.contextmanager
    def growth(self) -> Iterator["Growth"]:
        """How far above its size at the start the service's peak goes within the block."""
        box = Growth()
        self.hwm_kb()  # the peak so far, kept before it is reset
        pathlib.Path(f"/proc/{self.proc.pid}/clear_refs").write_text("5")
        before = self.rss_kb()
        yield box
        box.kb = self.hwm_kb() - before


class Growth:
    kb = 0


# --- raw HTTP -------------------------------------------------------------------------------


class Response(NamedTuple):
    status: int
    headers: Dict[str, str]  # names in lower case
    body: bytes

    def json(self):
        return json.loads(self.body)


def parse_response(data: bytes) -> Optional[tuple]:
    """(Response, rest) once `data` starts with a whole response, else None."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None
    lines = data[:end].decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ", 2)[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    start = end + 4
    if len(data) < start + length:
        return None
    return Response(status, headers, data[start:start + length]), data[start + length:]


def head(method: str, path: str, headers: Sequence[str] = (),
         body: Optional[bytes] = None) -> bytes:
    """A request's header section; Content-Length is added when there is a body."""
    lines = [f"{method} {path} HTTP/1.1", f"Host: {HOST}", *headers]
    if body is not None:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class Conn:
    """One client connection to the service, read with deadlines."""

    def __init__(self, port: int, timeout: float = 5.0):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.buffer = b""

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def response(self, timeout: float = 5.0) -> Response:
        deadline = time.monotonic() + timeout
        for _ in range(1_000_000):  # reads of at least a byte each, under the deadline too
            parsed = parse_response(self.buffer)
            if parsed:
                response, self.buffer = parsed
                return response
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no whole answer in {timeout} s; got {self.buffer[:200]!r}")
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed before a whole answer; got {self.buffer[:200]!r}")
            self.buffer += chunk
        raise TimeoutError("answer too long")

    def closed(self, timeout: float = 2.0) -> bool:
        """Whether the service ends the connection within `timeout` (bytes sent meanwhile are
        dropped)."""
        deadline = time.monotonic() + timeout
        for _ in range(100_000):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                if not self.sock.recv(65536):
                    return True
            except (ConnectionResetError, BrokenPipeError):
                return True
            except (socket.timeout, TimeoutError):
                return False
        return False

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> "Conn":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def request(port: int, method: str, path: str, body: Optional[bytes] = None,
            headers: Sequence[str] = (), timeout: float = 5.0) -> Response:
    with Conn(port, timeout) as conn:
        conn.send(head(method, path, headers, body) + (body or b""))
        return conn.response(timeout)


def good(port: int, headers: Sequence[str] = ()) -> float:
    """The well-behaved client's call on a connection of its own, checked; its latency in s."""
    start = time.perf_counter()
    answer = request(port, "POST", GOOD_PATH, GOOD_BODY, ["Connection: close", *headers],
                     timeout=5)
    elapsed = time.perf_counter() - start
    assert answer.status == 200, answer
    assert answer.body.startswith(b'{"result": '), answer.body[:200]
    return elapsed


class Flood(NamedTuple):
    response: Optional[Response]
    sent: int  # bytes of the request sent before the service stopped taking them
    closed: bool  # the service ended the connection
    seconds: float  # until the answer came, or until the end


def flood(port: int, header: bytes, pieces: Iterable[bytes], timeout: float = 20.0,
          meanwhile=None, every: int = 64) -> Flood:
    """Sends `header` then `pieces` as fast as the service takes them while reading what it
    answers, so that an answer sent mid-request is read before a reset can drop it. Stops at
    the end of the pieces, at the connection's end or at `timeout`; calls `meanwhile()` every
    `every` pieces (a well-behaved client served at the same time)."""
    start = time.monotonic()
    deadline = start + timeout
    sock = socket.create_connection((HOST, port), timeout=5)
    sock.setblocking(False)
    pending = memoryview(header)
    source = iter(pieces)
    received, sent, count = b"", 0, 0
    response, answered_at, closed, sending = None, None, False, True
    try:
        for _ in range(10_000_000):  # each turn waits, sends or reads: the clock ends it first
            if time.monotonic() >= deadline:
                break
            if sending and not pending:
                piece = next(source, None)
                if piece is None:
                    sending = False
                else:
                    pending = memoryview(piece)
                    count += 1
                    if meanwhile and count % every == 0:
                        meanwhile()
            want_write = [sock] if sending and pending else []
            readable, writable, _ = select.select([sock], want_write, [], 0.5)
            if readable:
                try:
                    chunk = sock.recv(65536)
                except ConnectionResetError:
                    chunk = b""
                if not chunk:
                    closed = True
                    break
                received += chunk
                parsed = parse_response(received)
                if parsed and response is None:
                    response, answered_at = parsed[0], time.monotonic()
                    sending = False  # an answer was given: the rest would not be read
            if writable and sending and pending:
                try:
                    n = sock.send(pending)
                except (BrokenPipeError, ConnectionResetError):
                    sending = False
                    continue
                sent += n
                pending = pending[n:]
            if response is not None and not sending and time.monotonic() - answered_at > 2.0:
                break  # answered and left open: the caller judges that
    finally:
        sock.close()
    end = answered_at if answered_at is not None else time.monotonic()
    return Flood(response, sent, closed, end - start)


def chunked(size: int, piece: int = 64 * 1024) -> Iterator[bytes]:
    """`size` bytes of a JSON-ish body in chunked framing, pieces made lazily."""
    data = b"[" + b"1," * (piece // 2 - 1) + b"1"  # not JSON as a whole: never parsed anyway
    frame = f"{len(data):x}\r\n".encode() + data + b"\r\n"
    for _ in range(size // len(data)):
        yield frame
    yield b"0\r\n\r\n"


def p99(latencies: List[float]) -> float:
    ordered = sorted(latencies)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
