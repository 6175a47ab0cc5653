"""--max-connections: connections past the bound are told so at once and closed, and a place that
frees up is taken again."""

from __future__ import annotations

import time

from hostile_conftest import Conn, Service, good, head

LIMIT = 50


def test_connection_past_limit_refused_at_once(store):
    with Service(store, "--max-connections", str(LIMIT), "--read-timeout", "10") as service:
        held = []
        try:
            for _ in range(LIMIT):
                conn = Conn(service.port)
                held.append(conn)
                # Answered, so accepted and counted by the service, and then kept alive.
                conn.send(head("GET", "/healthz"))
                assert conn.response(timeout=2).status == 200
            for _ in range(2):
                with Conn(service.port) as extra:
                    start = time.monotonic()
                    answer = extra.response(timeout=2)  # without a byte sent
                    assert time.monotonic() - start < 1.0
                    assert answer.status == 503
                    assert answer.headers.get("retry-after") == "1"
                    assert "usageError" in answer.json()
                    assert extra.closed(timeout=2)
            held.pop().close()
            # The service sees the close a moment later: a few tries, bounded.
            for attempt in range(60):
                try:
                    good(service.port)
                    break
                except AssertionError:
                    if attempt == 59:
                        raise
                    time.sleep(0.05)
            # The ones held all along are still served.
            for conn in held[:5]:
                conn.send(head("GET", "/healthz"))
                assert conn.response(timeout=2).status == 200
        finally:
            for conn in held:
                conn.close()
