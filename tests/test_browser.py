"""Real browsers load the add-in server once the CA is trusted, and refuse it after untrust: Chromium through the
user's NSS database, Firefox through its profile's."""

import base64
import json
import os
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from helpers import ROOT, TESTS, free_port, need, wait_until

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


@dataclass
class Loaded:
    """What a browser showed: the page's markup (empty when it refused), why it refused, and its screenshot."""

    page: str
    refusal: str
    shot: Path


def screenshot_path(browser, name):
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    shot = ARTEFACTS / f"browser-{browser}-{name}.png"
    shot.unlink(missing_ok=True)
    return shot


def load_in_chromium(chromium, home, url, name):
    """Load `url` in a fresh headless Chromium reading the NSS db of `home`.

    A page that fails to load gives an empty DOM, no screenshot and the network error on stderr."""
    shot = screenshot_path("chromium", name)
    result = subprocess.run(
        [chromium, *FLAGS, f"--user-data-dir={home / f'chromium-{name}'}", f"--screenshot={shot}", "--dump-dom", url],
        env=browser_env(home),
        capture_output=True,
        text=True,
        timeout=40,
        check=False,
    )
    return Loaded(result.stdout, result.stderr, shot)


class Marionette:
    """Firefox's remote control: length-prefixed JSON over TCP, each command [0, id, name, parameters] answered by
    [1, id, error, result]."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.stream = self.socket.makefile("rb")
        self.last_id = 0
        self._read()  # the greeting: application and protocol level

    def _read(self):
        size = b""
        while (byte := self.stream.read(1)) not in (b":", b""):
            size += byte
        return json.loads(self.stream.read(int(size)))

    def command(self, name, **parameters):
        """The result, or raises RuntimeError with the browser's error and message."""
        self.last_id += 1
        data = json.dumps([0, self.last_id, name, parameters]).encode()
        self.socket.sendall(b"%d:%s" % (len(data), data))
        _, _, error, result = self._read()
        if error:
            raise RuntimeError(f"{error['error']}: {error['message']}")
        return result

    def close(self):
        self.stream.close()
        self.socket.close()


# A fresh profile's settings: where the remote control listens, JSON shown as text rather than in a viewer (so the
# markup holds it, as in Chromium), and none of the first run's questions.
FIREFOX_PREFS = {
    "devtools.jsonview.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
}


# Where `certs trust` finds the profile, under the test's home.
FIREFOX_PROFILE = Path(".mozilla", "firefox", "fresh.default")


CERT_ERROR_CODE = "return document.getFailedCertSecurityInfo().errorCodeString"


def fresh_firefox_profile(home):
    """An empty Firefox profile where `certs trust` finds it: only its NSS database, until Firefox fills it."""
    profile = home / FIREFOX_PROFILE
    profile.mkdir(parents=True)
    subprocess.run(["certutil", "-d", f"sql:{profile}", "-N", "--empty-password"], check=True)
    return profile


def load_in_firefox(firefox, home, url, name):
    """Load `url` in a headless Firefox on the fresh profile of `home`, driven through its remote control."""
    profile = home / FIREFOX_PROFILE
    control_port = free_port()
    prefs = {**FIREFOX_PREFS, "marionette.port": control_port}
    (profile / "user.js").write_text(
        "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items())
    )
    shot = screenshot_path("firefox-esr", name)
    browser = subprocess.Popen(
        [firefox, "--headless", "--marionette", "--no-remote", "-profile", str(profile), "about:blank"],
        env=browser_env(home),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        assert wait_until(lambda: browser.poll() is None and accepts(control_port), 60), "Firefox did not start"
        control = Marionette(control_port)
        try:
            control.command("WebDriver:NewSession", capabilities={"alwaysMatch": {"acceptInsecureCerts": False}})
            try:
                control.command("WebDriver:Navigate", url=url)
                page, refusal = control.command("WebDriver:GetPageSource")["value"], ""
            except RuntimeError as refused:
                # The certificate error page knows which check failed.
                code = control.command("WebDriver:ExecuteScript", script=CERT_ERROR_CODE, args=[])["value"]
                page, refusal = "", f"{refused}{code}"
            shot.write_bytes(base64.b64decode(control.command("WebDriver:TakeScreenshot")["value"]))
            control.command("Marionette:Quit")
        finally:
            control.close()
        return Loaded(page, refusal, shot)
    finally:
        try:
            browser.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(browser.pid, signal.SIGKILL)
            browser.wait()


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


# Each browser: how it loads a page, which trust store it reads, and how it says that the CA is unknown.
BROWSERS = {
    "chromium": (
        load_in_chromium,
        "NSS database {home}/.pki/nssdb (Chromium, Chrome)",
        "net::ERR_CERT_AUTHORITY_INVALID",
    ),
    "firefox-esr": (
        load_in_firefox,
        f"Firefox profile {{home}}/{FIREFOX_PROFILE}",
        "SEC_ERROR_UNKNOWN_ISSUER",
    ),
}


@pytest.mark.parametrize("browser", BROWSERS)
def test_browser_trusts_the_ca_only_while_it_is_trusted(tmp_path, browser):
    program = need(browser)
    need("certutil")
    load, store, unknown_issuer = BROWSERS[browser]
    home = tmp_path / "home"
    home.mkdir()
    if browser == "firefox-esr":
        fresh_firefox_profile(home)
    env = {**os.environ, "HOME": str(home), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    cli = [sys.executable, "-m", "velmora_master.addin_launcher"]
    trusted = subprocess.run(
        [*cli, "certs", "trust"], env=env, cwd=ROOT, capture_output=True, text=True, timeout=60, check=False
    )
    assert trusted.returncode == 0, trusted.stderr
    assert f"{store.format(home=home)}: added" in trusted.stdout

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
        shown = load(program, home, url, "trusted")
        assert '<pre>{"status":"ok"' in shown.page and f'"port":{port}' in shown.page, shown.refusal
        assert shown.shot.stat().st_size > 0  # kept under the build folder as the test's artefact

        untrusted = subprocess.run(
            [*cli, "certs", "untrust"], env=env, cwd=ROOT, capture_output=True, text=True, timeout=60, check=False
        )
        assert untrusted.returncode == 0 and f"{store.format(home=home)}: removed" in untrusted.stdout, untrusted.stderr
        refused = load(program, home, url, "untrusted")
        assert unknown_issuer in refused.refusal
        assert '"status":"ok"' not in refused.page
        assert time.monotonic() - began < 90
    finally:
        server.send_signal(signal.SIGINT)
        server.communicate(timeout=15)
    assert server.returncode == 130
