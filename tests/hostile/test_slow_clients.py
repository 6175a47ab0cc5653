"""Slowloris: many connections sending a header one byte a second. The service must cut each at
the header deadline and meanwhile serve a well-behaved client as fast as when idle.

200 slow connections always; 1,000 with CARVALEN_HOSTILE_SLOW=1 set."""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
import time

import pytest

from hostile_conftest import HERE, Service, good, make_store, p99

READ_TIMEOUT = 2
ATTACK_SECONDS = 7  # a second to open them all, then the measured window, then a margin
MEASURED_SECONDS = 4
# A machine busy with the attacker and the test itself: latencies of a few ms are noise there.
NOISE_FLOOR = 0.010


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    folder = make_store(tmp_path_factory.mktemp("slow") / "store")
    with Service(folder, "--read-timeout", str(READ_TIMEOUT)) as running:
        yield running


def paced(port: int, seconds: float, interval: float = 0.005) -> list:
    """The well-behaved client's latencies, one call every `interval` for `seconds`."""
    latencies = []
    end = time.monotonic() + seconds
    for _ in range(int(seconds / interval) + 1):
        if time.monotonic() >= end:
            break
        latencies.append(good(port))
        time.sleep(max(0.0, interval - latencies[-1]))
    return latencies


def wait_line(proc: subprocess.Popen, timeout: float) -> str:
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    return proc.stdout.readline() if ready else ""


@pytest.mark.parametrize("connections", [
    200,
    pytest.param(1000, marks=pytest.mark.skipif(not os.environ.get("CARVALEN_HOSTILE_SLOW"),
                                                reason="set CARVALEN_HOSTILE_SLOW=1 to run")),
])
def test_slow_headers_cut_and_good_client_served(service, connections):
    idle = paced(service.port, 1.5)
    attacker = subprocess.Popen(
        [sys.executable, str(HERE / "slow_client.py"), str(service.port), str(connections),
         str(ATTACK_SECONDS)], stdout=subprocess.PIPE, text=True)
    try:
        assert wait_line(attacker, 10).strip() == "ready"
        with service.growth() as grown:
            busy = paced(service.port, MEASURED_SECONDS)
        out, _ = attacker.communicate(timeout=ATTACK_SECONDS + 15)
    finally:
        if attacker.poll() is None:
            attacker.kill()
            attacker.wait(timeout=5)
    stats = json.loads(out.strip().splitlines()[-1])
    assert attacker.returncode == 0
    assert stats["connect_errors"] == 0, stats
    # Every connection was cut, by the deadline and not later.
    assert stats["cut"] >= connections, stats
    assert stats["longest"] < READ_TIMEOUT + 1.0, stats
    idle_p99, busy_p99 = p99(idle), p99(busy)
    report = f"idle p99 {idle_p99 * 1e3:.2f} ms, busy p99 {busy_p99 * 1e3:.2f} ms ({len(busy)})"
    assert busy_p99 < 0.200, report
    assert busy_p99 < max(5 * idle_p99, NOISE_FLOOR), report
    # A waiting connection holds a small buffer, never a thread.
    assert grown.kb < 4 * 1024 + connections * 8, f"{grown.kb} kB"
