"""What a request may make the service spend beyond its own bytes, and what the header alone
decides: framing, browsers, methods, the queue, descriptors, the access log. One row per attack."""

import concurrent.futures
import contextlib
import json
import os
import pathlib
import re
import socket
import time

import pytest

from hostile_conftest import (AUTH, GOOD_BODY, GOOD_PATH, HOST, MIB, TIME_SCALE, TOKEN, Service,
                              flood, good, request)


def lines(*header: str, body: bytes = b"", version: str = "1.1") -> bytes:
    return (f"{header[0]} HTTP/{version}\r\n" + "".join(f"{h}\r\n" for h in header[1:]) +
            "\r\n").encode() + body


SMUGGLED = b"5\r\nhello\r\n0\r\n\r\nGET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
POST = f"POST {GOOD_PATH}"
L = "Host: 127.0.0.1"
# 2,700 overlapping ranges (distinct ones would pass the header limit): the answer stays whole.
RANGES = "Range: bytes=" + ",".join(f"{i % 10}-{i % 10}" for i in range(2700))


# (name, tokens, request, status, closed, what else the answer holds)
EDGES = [
    ("xchunked", None, lines(POST, L, "Transfer-Encoding: xchunked", body=SMUGGLED), 400, True, ""),
    ("chunked-gzip", None, lines(POST, L, "Transfer-Encoding: chunked, gzip", body=SMUGGLED), 400,
     True, ""),
    ("two-codings", None, lines(POST, L, "Transfer-Encoding: chunked", "Transfer-Encoding: chunked",
                                body=SMUGGLED), 400, True, ""),
    ("http10-chunked", None, lines(POST, "Transfer-Encoding: chunked", version="1.0",
                                   body=b"2\r\n{}\r\n0\r\n\r\n"), 400, True, ""),
    ("get-operation", None, lines(f"GET {GOOD_PATH}", L), 405, False, "allow: POST"),
    ("post-healthz", None, lines("POST /healthz", L, "Content-Length: 0"), 405, False,
     "allow: GET, HEAD"),
    ("foreign-host", None, lines("GET /readyz", "Host: rebound.example:8080"), 421, False, ""),
    ("foreign-origin", None, lines(POST, L, "Origin: https://evil.example",
                                   f"Content-Length: {len(GOOD_BODY)}", body=GOOD_BODY), 403,
     True, ""),
    ("null-origin", None, lines("GET /healthz", L, "Origin: null"), 403, False, ""),
    ("loopback-origin", None, lines("GET /healthz", "Host: localhost:1", "Origin: http://[::1]:3000"),
     200, False, ""),
    ("range", None, lines("GET /healthz", L, RANGES), 200, False,
     "content-type: application/json"),
    ("host-with-token", TOKEN, lines(POST, "Host: pricing.example", AUTH,
                                     f"Content-Length: {len(GOOD_BODY)}", body=GOOD_BODY), 200,
     False, ""),
]


@pytest.mark.parametrize("tokens, data, status, closed, holds",
                         [pytest.param(*row[1:], id=row[0]) for row in EDGES])
def test_header_decides(store, tokens, data, status, closed, holds):
    with Service(store, tokens=tokens) as service:
        result = flood(service.port, data, timeout=5, linger=0.5)
        answer, received = result.response, result.received
        assert answer and answer.status == status and result.closed == closed, received[:300]
        # Nothing the body held was served as a request of its own.
        assert received.count(b"HTTP/1.") == 1, received
        name, _, value = holds.partition(": ")
        assert not holds or answer.headers.get(name) == value, answer.headers
        good(service.port)


def test_head_answers_as_get_without_content(store):
    with Service(store) as service:
        got = request(service.port, "GET", "/v1/operations")
        # The answer to a HEAD is never whole to a reader that expects its body: read for 1 s.
        received = flood(service.port, lines("HEAD /v1/operations", L), timeout=1).received
        length = int(re.search(rb"(?i)content-length: (\d+)", received).group(1))
        assert received.startswith(b"HTTP/1.1 200 ") and received.endswith(b"\r\n\r\n"), received
        assert length == len(got.body), received


def matrix(n: int) -> bytes:
    """A few kB that cost a worker seconds: n suppliers by n fields."""
    return json.dumps({"i_lProductId": 7001,
                       "i_aBusinessPartnerIds": {"$array": list(range(501, 501 + n))},
                       "i_aContractLineFieldNames": {"$array": ["PRICE"] * n}}).encode()


MATRIX = "/v1/Contract/getActiveContractLineFieldsperSupplier"


def test_no_work_for_clients_that_left(store):
    with Service(store, "--threads", "1") as service:
        for _ in range(8):  # sent and closed at once
            with socket.create_connection((HOST, service.port), timeout=5) as sock:
                sock.sendall(lines(f"POST {MATRIX}", L, f"Content-Length: {len(matrix(200))}",
                                   body=matrix(200)))
        time.sleep(0.3)
        start = time.monotonic()
        ready = request(service.port, "GET", "/readyz")  # never behind the calls
        assert ready.status == 200 and time.monotonic() - start < 1.0, ready
        good(service.port)  # behind one call at most, not eight
        assert time.monotonic() - start < 6.0 * TIME_SCALE
        metrics = request(service.port, "GET", "/metrics").body.decode()
        assert int(re.search(r'requests_total{status="499"} (\d+)', metrics).group(1)) >= 6


def test_queue_deadline_answers_busy(store):
    with Service(store, "--threads", "1", "--queue-timeout", "1") as service, \
            concurrent.futures.ThreadPoolExecutor(4) as pool:
        # Each call takes about a second, so the last of four waits well past the deadline.
        answers = list(pool.map(lambda _: request(service.port, "POST", MATRIX, matrix(300),
                                                  timeout=30), range(4)))
        busy = [a for a in answers if a.status == 503]
        assert busy and busy[0].headers.get("retry-after") == "1", answers
        assert {a.status for a in answers} <= {200, 503}, answers


def unread_bytes(port: int) -> int:
    text = request(port, "GET", "/metrics").body.decode()
    return int(re.search(r"carvalen_service_unread_bytes (\d+)", text).group(1))


def test_answers_nobody_reads_stay_within_max_unread(store):
    big = json.dumps({"i_aContractFields": {"$array": ["CONTRACTLINEID"], "lbound": 20_000}})
    with Service(store, "--max-unread", "8MiB", "--threads", "2") as service, \
            contextlib.ExitStack() as hogs:
        with service.growth() as grown:
            for _ in range(3):  # each asks for 3.2 MB and reads nothing of it
                sock = hogs.enter_context(socket.socket())
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                sock.connect((HOST, service.port))
                sock.sendall(lines("POST /v1/ContractLine/GetEligibleContractsForRFQCreation", L,
                                   f"Content-Length: {len(big)}", body=big.encode()))
            deadline = time.monotonic() + 10 * TIME_SCALE
            while unread_bytes(service.port) <= 8 * MIB and time.monotonic() < deadline:
                time.sleep(0.05)
            busy = request(service.port, "POST", GOOD_PATH, GOOD_BODY)
            assert busy.status == 503 and busy.headers.get("retry-after") == "1", busy
            # Past the time a reader may take before it counts as slow, a refused call cuts the
            # slowest readers until the rest fits.
            time.sleep(0.6)
            request(service.port, "POST", GOOD_PATH, GOOD_BODY)
            while unread_bytes(service.port) > 8 * MIB and time.monotonic() < deadline:
                time.sleep(0.05)
            good(service.port)
        assert grown.kb < (64 + 8) * 1024, f"{grown.kb} kB"


def test_bodies_over_max_buffered_refused_others_served(store):
    with Service(store, "--max-buffered", "2MiB", "--max-body", "1MiB") as service, \
            contextlib.ExitStack() as stack:
        held = [stack.enter_context(socket.create_connection((HOST, service.port), timeout=5))
                for _ in range(3)]
        for sock in held[:2]:  # bodies declared, never sent: they hold their room
            sock.sendall(lines(POST, L, f"Content-Length: {1 << 20}"))
        time.sleep(0.2)
        refused = flood(held[2], lines(POST, L, f"Content-Length: {1 << 20}"), timeout=3,
                        linger=0).response
        assert refused and refused.status == 503, refused
        assert refused.headers.get("retry-after") == "1", refused
        good(service.port)  # a small body still has room


def test_out_of_descriptors_answers_busy_without_spinning(store):
    with Service(store, "--read-timeout", "30", prefix=["prlimit", "--nofile=96:96"]) as service, \
            contextlib.ExitStack() as idle:
        assert "lowered" in service.stderr(), service.stderr()
        for _ in range(120):  # past both the connection bound and the descriptors
            idle.enter_context(socket.create_connection((HOST, service.port), timeout=5))
        answer = flood(service.port, b"", timeout=3, linger=0).response
        assert answer and answer.status == 503, answer
        ticks = lambda: sum(map(int, pathlib.Path(f"/proc/{service.proc.pid}/stat")
                                .read_text().rsplit(")", 1)[1].split()[11:13]))
        before = ticks()
        time.sleep(1)
        assert ticks() - before < 30, "the service spins"  # well under a third of a core


def test_access_log_nobody_reads_never_blocks(store, tmp_path):
    fifo = tmp_path / "log"
    os.mkfifo(fifo)
    # A reader opened, never read; then the service's writer.
    with os.fdopen(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK), "rb"), \
            Service(store, access_log=str(fifo)) as service:
        # Past the queue and the pipe's buffer; every answer comes all the same.
        with socket.create_connection((HOST, service.port), timeout=10) as sock:
            for _ in range(12):
                sock.sendall(lines("GET /healthz", L) * 500)
                received = b""
                while received.count(b"HTTP/1.1 200") < 500:
                    received += sock.recv(65536)
        good(service.port)
        text = request(service.port, "GET", "/metrics").body.decode()
        dropped = re.search(r"carvalen_service_access_log_dropped_total (\d+)", text)
        assert dropped and int(dropped.group(1)) > 0, text[-800:]
