"""Who the access log says called: X-Forwarded-For is believed from a named proxy only, since any
client can send it; and what a client sends as credentials never reaches the log."""

from __future__ import annotations

import json

import pytest

from hostile_conftest import GOOD_BODY, GOOD_PATH, TOKEN, Service, request


@pytest.mark.parametrize("proxies, forwarded, remote", [
    ([], "10.1.2.3", "127.0.0.1"),
    (["127.0.0.1"], "10.1.2.3", "10.1.2.3"),
    (["127.0.0.1"], "192.0.2.9, 10.1.2.3", "10.1.2.3"),  # the last hop is the proxy's own
    (["10.9.9.9"], "10.1.2.3", "127.0.0.1"),
    (["10.9.9.9", "127.0.0.1"], "10.1.2.3", "10.1.2.3"),
    (["127.0.0.1"], None, "127.0.0.1"),
])
def test_remote_in_access_log(store, tmp_path, proxies, forwarded, remote):
    log = tmp_path / "access.log"
    args = [arg for proxy in proxies for arg in ("--trusted-proxy", proxy)]
    headers = [f"Authorization: Bearer {TOKEN}"]
    if forwarded is not None:
        headers.append(f"X-Forwarded-For: {forwarded}")
    with Service(store, *args, tokens=TOKEN, access_log=str(log)) as service:
        answer = request(service.port, "POST", GOOD_PATH, GOOD_BODY, headers)
        assert answer.status == 200
    text = log.read_text()
    line = json.loads(text.splitlines()[-1])
    assert line["remote"] == remote
    assert (line["status"], line["operation"]) == (200, "ContractLine.GetPrice")
    assert TOKEN not in text
