"""Two `carvalen serve` behind HAProxy as docs/deployment.md has it: under load one is stopped
(SIGTERM) and no request fails, the drained instance's refusals being sent to the other."""

import contextlib
import http.client
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest

TOOL = os.environ.get("CARVALEN_CLI")
HAPROXY = shutil.which("haproxy") or shutil.which("haproxy", path="/usr/sbin")
pytestmark = pytest.mark.skipif(not TOOL or not HAPROXY, reason="needs CARVALEN_CLI and haproxy")
PRICE = b'{"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0}'
CONFIG = """global
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
    server s0 127.0.0.1:{0} check inter 200ms fall 1 rise 2
    server s1 127.0.0.1:{1} check inter 200ms fall 1 rise 2
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_instance(store, port: int) -> subprocess.Popen:
    process = subprocess.Popen(
        [TOOL, "serve", "--listen", f"127.0.0.1:{port}", "--grace", "5"],  # access log: stderr
        env=dict(os.environ, CARVALEN_CONFIG_DIR=str(store), CARVALEN_SERVICE_TOKENS=""),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert process.stdout.readline().startswith("listening on "), "serve did not start"
    return process


def wait_ready(port: int) -> None:
    for _ in range(200):  # 10 s; a 503 raises HTTPError, an OSError
        with contextlib.suppress(OSError):
            urllib.request.urlopen(f"http://127.0.0.1:{port}/readyz", timeout=2)
            return
        time.sleep(0.05)
    raise AssertionError(f"port {port} never became ready")


def test_one_stopped_under_load(tmp_path):
    store = tmp_path / "demo"
    subprocess.run([TOOL, "init-demo", "--dir", str(store)], check=True, stdout=subprocess.DEVNULL)
    ports, front, config = [free_port(), free_port()], free_port(), tmp_path / "haproxy.cfg"
    config.write_text(CONFIG.format(*ports, front=front))
    instances = [start_instance(store, port) for port in ports]
    balancer = subprocess.Popen([HAPROXY, "-db", "-f", str(config)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    stop, results = threading.Event(), []  # status, or -1

    def client() -> None:
        connection = None
        while not stop.is_set():
            try:
                connection = connection or http.client.HTTPConnection("127.0.0.1", front, timeout=5)
                # A connection the service closes is opened again by the next request.
                connection.request("POST", "/v1/ContractLine/GetPrice", PRICE)
                response = connection.getresponse()
                response.read()
                status = response.status
            except (OSError, http.client.HTTPException):
                status, connection = -1, None
            results.append(status)  # list.append needs no lock

    threads = [threading.Thread(target=client) for _ in range(4)]
    try:
        for port in [*ports, front]:
            wait_ready(port)
        for thread in threads:
            thread.start()
        time.sleep(1.0)
        instances[0].send_signal(signal.SIGTERM)  # a graceful stop: drained
        assert instances[0].wait(timeout=10) == 0
        time.sleep(1.0)
    finally:
        stop.set()
        for thread in threads:
            if thread.is_alive():
                thread.join(timeout=10)
        for process in [balancer, *instances]:
            process.kill()
            process.wait(timeout=10)
    assert len(results) > 100, f"only {len(results)} requests in about 2 s"
    assert [status for status in results if status != 200] == []
