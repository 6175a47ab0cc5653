"""Starts the service refuses: exit status 2 and a message saying why, never a service that half
works (listening elsewhere, or open with a guessable token)."""

from __future__ import annotations

import subprocess

import pytest

from hostile_conftest import CLI, TOKEN, Service, service_env


def serve(store, *args, tokens=None):
    return subprocess.run([CLI, "serve", "--access-log", "/dev/null", *args],
                          env=service_env(store, tokens), capture_output=True, text=True,
                          timeout=15)


def test_port_in_use(store):
    with Service(store) as first:
        done = serve(store, "--listen", f"127.0.0.1:{first.port}")
        assert done.returncode == 2, done
        assert "address already in use" in done.stderr
        assert first.proc.poll() is None


@pytest.mark.parametrize("env_tokens, store_tokens", [
    ("short-token", None),
    (f"{TOKEN},short-token", None),
    ("a" * 15, None),
    (None, "short-token"),
    (None, f"{TOKEN}, short-token"),
], ids=["env", "env-one-of-two", "env-15", "store", "store-one-of-two"])
def test_short_token_refused(store, env_tokens, store_tokens):
    if store_tokens is not None:
        with open(store / "Vendra.toml", "a", encoding="utf-8") as config:
            config.write(f'\n[Service]\nTokens = "{store_tokens}"\n')
    done = serve(store, "--listen", "127.0.0.1:0", tokens=env_tokens)
    assert done.returncode == 2, done
    assert "16" in done.stderr, done.stderr
    assert "listening" not in done.stdout

