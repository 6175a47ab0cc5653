"""Starts the service refuses: exit status 2 and a message saying why, never a service that half
works (listening elsewhere, or open with a guessable token)."""

from __future__ import annotations

import shutil
import subprocess

import pytest

from hostile_conftest import CLI, GOOD_BODY, GOOD_PATH, TOKEN, Service, request, service_env


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



def in_private_hosts(lines):
    """The command prefix that runs a program with /etc/hosts replaced by `lines`, in a mount
    namespace of its own; None where namespaces are not allowed."""
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        return None
    script = ('printf "%s\\n" "$HOSTS" > "$TMPDIR_HOSTS" && '
              'mount --bind "$TMPDIR_HOSTS" /etc/hosts && exec "$@"')
    return ["unshare", "-m", "sh", "-c", script, "sh"], "\n".join(lines)


@pytest.mark.parametrize("name, address, refused", [
    ("127.example.internal", "0.0.0.0", True),
    ("127.example.internal", "127.0.0.5", False),
    ("loop.example.internal", "::1", False),
], ids=["dotted-name-to-any", "dotted-name-to-loopback", "name-to-v6-loopback"])
def test_loopback_judged_on_the_address_bound(store, tmp_path, name, address, refused):
    private = in_private_hosts([f"{address} {name}"])
    if private is None:
        pytest.skip("mount namespaces are not allowed here")
    prefix, hosts = private
    env = service_env(store, None)
    env.update(HOSTS=hosts, TMPDIR_HOSTS=str(tmp_path / "hosts"))
    try:
        done = subprocess.run([*prefix, CLI, "serve", "--access-log", "/dev/null", "--listen",
                               f"{name}:0"], env=env, capture_output=True, text=True, timeout=3)
    except subprocess.TimeoutExpired:
        done = None  # still serving: it started
    if refused:
        assert done is not None and done.returncode == 2, done
        assert "loopback" in done.stderr and address in done.stderr, done.stderr
    else:
        assert done is None, done


@pytest.mark.parametrize("table, key", [("service", "tokens"), ("Service", "tokens"),
                                        ("SERVICE", "Tokens")])
def test_tokens_key_spelled_otherwise_is_pointed_out(store, table, key):
    with open(store / "Vendra.toml", "a", encoding="utf-8") as config:
        config.write(f'\n[{table}]\n{key} = "{TOKEN}"\n')
    with pytest.raises(subprocess.TimeoutExpired) as started:
        subprocess.run([CLI, "serve", "--access-log", "/dev/null", "--listen", "127.0.0.1:0"],
                       env=service_env(store, None), capture_output=True, text=True, timeout=2)
    stderr = (started.value.stderr or b"").decode()
    assert f"[{table}] {key}" in stderr and "[Service]" in stderr, stderr


def test_metrics_are_valid_prometheus_text(store):
    """/metrics, the build and the process series among them, passes Prometheus's own checker."""
    promtool = shutil.which("promtool")
    if promtool is None:
        pytest.skip("promtool (Debian's prometheus package) is not installed")
    with Service(store) as service:
        request(service.port, "POST", GOOD_PATH, GOOD_BODY)
        text = request(service.port, "GET", "/metrics").body
    for series in ("carvalen_build_info{version=", "process_resident_memory_bytes ",
                   "process_cpu_seconds_total ", "process_open_fds ", "process_start_time_seconds "):
        assert series.encode() in text, series
    checked = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True,
                             timeout=30)
    assert checked.returncode == 0, checked.stdout + checked.stderr
