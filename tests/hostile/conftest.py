"""`carvalen serve` attacked by a hostile client on loopback, a deadline on every wait; skipped
without CARVALEN_CLI. The peak (VmHWM) is reset through clear_refs, so growth is read exactly."""

import contextlib
import itertools
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
import types
from typing import NamedTuple, Optional

import pytest

HERE = pathlib.Path(__file__).resolve().parent
CLI = os.environ.get("CARVALEN_CLI", "")
HOST = "127.0.0.1"
TOKEN = "hostile-suite-token-0001"  # 24 characters: over the minimum of 16
AUTH = f"Authorization: Bearer {TOKEN}"
GOOD_PATH = "/v1/ContractLine/GetPrice"
GOOD_BODY = b'{"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0}'
MIB = 1024 * 1024
# Bounds on the time a request's work takes, stretched for an instrumented build (coverage.sh).
TIME_SCALE = float(os.environ.get("CARVALEN_TEST_TIME_SCALE", "1"))

# Imported by this name: with another folder's conftest.py in the run, "conftest" may be that one.
sys.modules["hostile_conftest"] = sys.modules[__name__]


def pytest_collection_modifyitems(config, items):
    for item in items:
        if not CLI and HERE in pathlib.Path(str(item.fspath)).resolve().parents:
            item.add_marker(pytest.mark.skip(reason="CARVALEN_CLI names no built carvalen tool"))


def make_store(folder: pathlib.Path, config: str = "") -> pathlib.Path:
    subprocess.run([CLI, "init-demo", "--dir", folder], check=True, capture_output=True, timeout=60)
    with open(folder / "Vendra.toml", "a", encoding="utf-8") as store:
        store.write(config)
    return folder


@pytest.fixture
def store(tmp_path: pathlib.Path) -> pathlib.Path:
    return make_store(tmp_path / "store")


class Service(contextlib.AbstractContextManager):
    """`carvalen serve` on a free loopback port; a failed start raises "serve exited N: ..."."""

    def __init__(self, store_dir: pathlib.Path, *args: str, tokens: Optional[str] = None,
                 listen: str = f"{HOST}:0", access_log: str = "/dev/null", prefix=(), env=None):
        # Tokens of the caller's environment would change what every test expects.
        env = dict(os.environ, CARVALEN_CONFIG_DIR=str(store_dir),
                   CARVALEN_SERVICE_TOKENS=tokens or "", **(env or {}))
        self.err_path = store_dir.parent / f"serve-{time.monotonic_ns()}.err"
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [*prefix, CLI, "serve", "--listen", listen, "--access-log", access_log, *args],
                stdout=subprocess.PIPE, stderr=err, env=env)
        self.peak_kb = 0
        try:
            if not select.select([self.proc.stdout], [], [], 15)[0]:
                raise RuntimeError("serve printed nothing in 15 s")
            line = self.proc.stdout.readline().decode(errors="replace")
            match = re.search(r"listening on http://\S+:(\d+)", line)
            if not match:
                self.proc.wait(timeout=5)  # TimeoutExpired if it runs on
                raise RuntimeError(f"serve exited {self.proc.returncode}: {self.stderr()} {line!r}")
            self.port = int(match.group(1))
        except BaseException:
            self.stop()
            raise

    def stderr(self) -> str:
        return self.err_path.read_text(errors="replace")

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGTERM)  # a no-op once it has ended
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(timeout=15)
        self.proc.kill()
        self.proc.wait(timeout=5)
        self.proc.stdout.close()

    def __exit__(self, *exc) -> None:
        self.stop()

    def kb(self, field: str) -> int:
        """VmRSS or VmHWM, in kB; VmHWM is kept in peak_kb too."""
        text = pathlib.Path(f"/proc/{self.proc.pid}/status").read_text()
        kb = int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))
        if field == "VmHWM":
            self.peak_kb = max(self.peak_kb, kb)
        return kb

    @contextlib.contextmanager
    def growth(self):
        """How far above its size at the start the service's peak goes within the block."""
        box = types.SimpleNamespace(kb=0)
        self.kb("VmHWM")  # the peak so far, kept before it is reset
        pathlib.Path(f"/proc/{self.proc.pid}/clear_refs").write_text("5")
        before = self.kb("VmRSS")
        yield box
        box.kb = self.kb("VmHWM") - before


class Response(NamedTuple):
    status: int
    headers: dict  # names in lower case
    body: bytes

    def json(self):
        return json.loads(self.body)


def parse_response(data: bytes) -> Optional[Response]:
    """The response `data` starts with once it is whole, else None."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None
    lines = data[:end].decode("latin-1").split("\r\n")
    headers = {name.strip().lower(): value.strip()
               for name, _, value in (line.partition(":") for line in lines[1:])}
    start, length = end + 4, int(headers.get("content-length", "0"))
    if len(data) < start + length:
        return None
    return Response(int(lines[0].split(" ", 2)[1]), headers, data[start:start + length])


def head(method: str, path: str, headers=(), body: Optional[bytes] = None) -> bytes:
    """A request; Content-Length is added when there is a body."""
    lines = [f"{method} {path} HTTP/1.1", f"Host: {HOST}", *headers]
    lines += [f"Content-Length: {len(body)}"] if body is not None else []
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + (body or b"")


def request(port: int, method: str, path: str, body: Optional[bytes] = None, headers=(),
            timeout: float = 5.0) -> Response:
    reply = flood(port, head(method, path, headers, body), timeout=timeout, linger=0).response
    assert reply, f"no whole answer to {method} {path}"
    return reply


def good(port: int) -> float:
    """The well-behaved client's checked call on a connection of its own; its latency in s."""
    start = time.perf_counter()
    reply = request(port, "POST", GOOD_PATH, GOOD_BODY, ["Connection: close", AUTH])
    elapsed = time.perf_counter() - start
    assert reply.status == 200 and reply.body.startswith(b'{"result": '), reply
    return elapsed


class Flood(NamedTuple):
    response: Optional[Response]
    sent: int  # bytes of the request sent before the service stopped taking them
    closed: bool  # the service ended the connection
    seconds: float  # until the answer came, or until the end
    received: bytes  # everything the service sent


def flood(to, header: bytes, pieces=(), timeout: float = 20.0, meanwhile=None, read: bool = True,
          linger: float = 2.0) -> Flood:
    """Sends `header` then `pieces` to a port or socket (left open), reading meanwhile so an answer
    sent mid-request beats the reset. Ends at the close, `timeout`, or `linger` s after an answer;
    `meanwhile()` every 4 pieces and at the end. read=False: ends once sending stalls 0.5 s."""
    start = time.monotonic()
    sock = to if isinstance(to, socket.socket) else socket.create_connection((HOST, to), timeout=5)
    sock.setblocking(False)
    pending, source, received, sent, count = memoryview(header), iter(pieces), b"", 0, 0
    response, answered, closed, sending = None, None, False, True
    try:
        for _ in range(10_000_000):  # each turn waits, sends or reads: the clock ends it first
            now = time.monotonic()
            if now >= start + timeout or (answered and not sending and now - answered >= linger):
                break
            if sending and not pending:
                piece = next(source, None)
                sending, pending, count = piece is not None, memoryview(piece or b""), count + 1
                if sending and meanwhile and count % 4 == 0:
                    meanwhile()
            readable, writable, _ = select.select([sock] if read else [],
                                                  [sock] if sending else [], [], 0.5)
            if not read and not writable:
                break
            if readable:
                chunk = b""
                with contextlib.suppress(ConnectionResetError):
                    chunk = sock.recv(65536)
                if not chunk:
                    closed = True
                    break
                received += chunk
                if response is None and (response := parse_response(received)):
                    answered, sending = time.monotonic(), False  # the rest would not be read
            if writable and sending:
                try:
                    n = sock.send(pending)
                    sent, pending = sent + n, pending[n:]
                except (BrokenPipeError, ConnectionResetError):
                    sending = False
        if meanwhile:
            meanwhile()
    finally:
        if sock is not to:
            sock.close()
    return Flood(response, sent, closed, (answered or time.monotonic()) - start, received)


def repeat(piece: bytes, times: int, first: bytes = b"", last: bytes = b""):
    return itertools.chain([first], itertools.repeat(piece, times), [last])
