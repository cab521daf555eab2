"""A real browser loads the add-in server once the CA is trusted, and refuses it after untrust."""

import os
import signal
import subprocess
import sys
import time

from helpers import ROOT, TESTS, free_port, need

# Under the checkout's build folder, also when the package under test is a copy elsewhere.
ARTEFACTS = TESTS.parent / os.environ.get("VELMORA_BUILD_DIR", "build") / "artefacts"
FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--window-size=900,300",
]


def browser_env(home):
    # Not the sanitizer set-up of an instrumented test run: the browser is not ours to check.
    env = {
        k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")
    }
    return {**env, "HOME": str(home)}


def load_page(chromium, home, url, name):
    """Load `url` in a fresh headless Chromium reading the NSS db of `home`; returns (DOM, stderr, screenshot).

    A page that fails to load gives an empty DOM, no screenshot and the network error on stderr."""
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    shot = ARTEFACTS / f"browser-{name}.png"
    shot.unlink(missing_ok=True)
    result = subprocess.run(
        [chromium, *FLAGS, f"--user-data-dir={home / f'chromium-{name}'}", f"--screenshot={shot}", "--dump-dom", url],
        env=browser_env(home),
        capture_output=True,
        text=True,
        timeout=40,
        check=False,
    )
    return result.stdout, result.stderr, shot


def test_chromium_trusts_the_ca_only_while_it_is_trusted(tmp_path):
    chromium = need("chromium")
    need("certutil")
    home = tmp_path / "home"
    home.mkdir()
    env = {**os.environ, "HOME": str(home), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    cli = [sys.executable, "-m", "velmora_master.addin_launcher"]
    trusted = subprocess.run(
        [*cli, "certs", "trust"], env=env, cwd=ROOT, capture_output=True, text=True, timeout=60, check=False
    )
    assert trusted.returncode == 0, trusted.stderr

    port = free_port()
    url = f"https://localhost:{port}/health"
    server = subprocess.Popen(
        [*cli, "run", "--port", str(port)], env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        for line in server.stdout:
            if line.startswith("Server running"):
                break
        began = time.monotonic()
        dom, errors, shot = load_page(chromium, home, url, "trusted")
        assert '<pre>{"status":"ok"' in dom and f'"port":{port}' in dom, errors
        assert shot.stat().st_size > 0  # kept under the build folder as the test's artefact

        untrusted = subprocess.run(
            [*cli, "certs", "untrust"], env=env, cwd=ROOT, capture_output=True, text=True, timeout=60, check=False
        )
        assert untrusted.returncode == 0 and "removed" in untrusted.stdout, untrusted.stderr
        dom, errors, _ = load_page(chromium, home, url, "untrusted")
        assert "net::ERR_CERT_AUTHORITY_INVALID" in errors
        assert '"status":"ok"' not in dom
        assert time.monotonic() - began < 45
    finally:
        server.send_signal(signal.SIGINT)
        server.communicate(timeout=15)
    assert server.returncode == 130
