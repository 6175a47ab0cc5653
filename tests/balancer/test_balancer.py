"""Two `carvalen serve` instances behind HAProxy, as docs/deployment.md configures them: under
steady load one instance is stopped with SIGTERM and started again, then the other is killed with
SIGKILL; no request fails but those in flight on the killed one. Loopback only, bounded in time.
Needs CARVALEN_CLI (the built tool) and haproxy on the PATH."""

from __future__ import annotations

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

TOOL = os.environ.get("CARVALEN_CLI")
HAPROXY = shutil.which("haproxy") or (
    "/usr/sbin/haproxy" if os.path.exists("/usr/sbin/haproxy") else None)
pytestmark = pytest.mark.skipif(not TOOL or not HAPROXY, reason="needs CARVALEN_CLI and haproxy")

PRICE = b'{"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0}'
CLIENTS = 4


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_instance(store: Path, port: int) -> subprocess.Popen:
    process = subprocess.Popen(
        [TOOL, "serve", "--listen", f"127.0.0.1:{port}", "--grace", "5", "--access-log",
         os.devnull],
        env=dict(os.environ, CARVALEN_CONFIG_DIR=str(store), CARVALEN_SERVICE_TOKENS=""),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    assert re.search(r":\d+$", line.strip()), line
    return process


def wait_ready(port: int, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            connection.request("GET", "/readyz")
            if connection.getresponse().status == 200:
                return
        except OSError:
            pass
        time.sleep(0.05)
    raise AssertionError(f"port {port} never became ready")


def haproxy_config(front: int, backends: list[int]) -> str:
    servers = "\n".join(
        f"    server s{i} 127.0.0.1:{port} check inter 200ms fall 1 rise 2"
        for i, port in enumerate(backends))
    return f"""global
    maxconn 256
defaults
    mode http
    timeout connect 1s
    timeout client 10s
    timeout server 10s
    retries 3
    option redispatch 1
    retry-on conn-failure empty-response 503
frontend pricing
    bind 127.0.0.1:{front}
    default_backend carvalen
backend carvalen
    balance roundrobin
    option httpchk GET /readyz
    http-check expect status 200
    http-request wait-for-body time 1s
{servers}
"""


def test_one_stopped_and_one_killed_under_load():
    with tempfile.TemporaryDirectory() as scratch:
        store = Path(scratch) / "demo"
        subprocess.run([TOOL, "init-demo", "--dir", str(store)], check=True,
                       stdout=subprocess.DEVNULL)
        ports = [free_port(), free_port()]
        instances = [start_instance(store, port) for port in ports]
        front = free_port()
        config = Path(scratch) / "haproxy.cfg"
        config.write_text(haproxy_config(front, ports))
        balancer = subprocess.Popen([HAPROXY, "-db", "-f", str(config)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            for port in ports:
                wait_ready(port)
            wait_ready(front)

            stop = threading.Event()
            results: list[tuple[float, int]] = []  # (when, status or -1)
            lock = threading.Lock()

            def client() -> None:
                connection = None
                while not stop.is_set():
                    try:
                        if connection is None:
                            connection = http.client.HTTPConnection("127.0.0.1", front, timeout=5)
                        connection.request("POST", "/v1/ContractLine/GetPrice", PRICE,
                                           {"Content-Type": "application/json"})
                        response = connection.getresponse()
                        response.read()
                        status = response.status
                        if response.getheader("Connection", "").lower() == "close":
                            connection.close()
                            connection = None
                    except (OSError, http.client.HTTPException):
                        status = -1
                        connection = None
                    with lock:
                        results.append((time.monotonic(), status))

            threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
            for thread in threads:
                thread.start()
            time.sleep(1.0)
            # A graceful stop: drained, then started again on its port.
            instances[0].send_signal(signal.SIGTERM)
            assert instances[0].wait(timeout=10) == 0
            instances[0] = start_instance(store, ports[0])
            wait_ready(ports[0])
            time.sleep(1.0)
            killed_at = time.monotonic()
            instances[1].kill()
            instances[1].wait(timeout=10)
            time.sleep(1.5)
            stop.set()
            for thread in threads:
                thread.join(timeout=10)
        finally:
            balancer.terminate()
            balancer.wait(timeout=10)
            for instance in instances:
                if instance.poll() is None:
                    instance.kill()
                    instance.wait(timeout=10)

        failures = [(when, status) for when, status in results if status != 200]
        assert len(results) > 200, f"only {len(results)} requests in about 4 s"
        # At most one request of each client can have been on the killed instance.
        assert len(failures) <= CLIENTS, failures
        assert all(abs(when - killed_at) < 1.0 for when, _ in failures), (killed_at, failures)
