"""Real browsers load the add-in server once the CA is trusted, and refuse it after untrust: Chromium through the
user's NSS database, Firefox through its profile's."""

import base64
import contextlib
import json
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from helpers import COMMAND, ROOT, TESTS, cli_environment, free_port, need, read_until, run_cli, wait_until
from velmora_master.addin_launcher._ports import accepts

pytestmark = pytest.mark.slow  # real browsers, servers and the command line

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


def screenshot_path(browser, name):
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    shot = ARTEFACTS / f"browser-{browser}-{name}.png"
    shot.unlink(missing_ok=True)
    return shot


def load_in_chromium(chromium, home, url, name):
    """Load `url` in a fresh headless Chromium reading the NSS db of `home`: (DOM, refusal, screenshot).

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
    return result.stdout, result.stderr, shot


class Marionette:
    """Firefox's remote control: length-prefixed JSON over TCP, [0, id, command, parameters] answered by
    [1, id, error, result]."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.stream = self.socket.makefile("rb")
        self._read()  # the greeting

    def _read(self):
        size = b""
        while (byte := self.stream.read(1)) not in (b":", b""):
            size += byte
        return json.loads(self.stream.read(int(size)))

    def __call__(self, command, **parameters):
        data = json.dumps([0, 1, command, parameters]).encode()
        self.socket.sendall(b"%d:%s" % (len(data), data))
        _, _, error, result = self._read()
        if error:
            raise RuntimeError(f"{error['error']}: {error['message']}")
        return result["value"] if isinstance(result, dict) and "value" in result else result

    def close(self):
        self.stream.close()
        self.socket.close()


# Where `certs trust` finds the profile under the test's home; its settings: the remote control's port, JSON shown
# as text (so the markup holds it, as in Chromium) and none of a first run's questions.
FIREFOX_PROFILE = Path(".mozilla", "firefox", "fresh.default")
FIREFOX_PREFS = {
    "devtools.jsonview.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
}


def load_in_firefox(firefox, home, url, name):
    """Load `url` in a headless Firefox on the profile of `home`, through its remote control: (markup, refusal
    with the certificate error's code, screenshot)."""
    profile, control_port = home / FIREFOX_PROFILE, free_port()
    prefs = {**FIREFOX_PREFS, "marionette.port": control_port}
    (profile / "user.js").write_text(
        "".join(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items())
    )
    shot, page, refusal = screenshot_path("firefox-esr", name), "", ""
    browser = subprocess.Popen(
        [firefox, "--headless", "--marionette", "--no-remote", "-profile", str(profile)],
        env=browser_env(home),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        assert wait_until(lambda: browser.poll() is None and accepts(control_port), 60), "Firefox did not start"
        with contextlib.closing(Marionette(control_port)) as control:
            control("WebDriver:NewSession", capabilities={"alwaysMatch": {"acceptInsecureCerts": False}})
            try:
                control("WebDriver:Navigate", url=url)
                page = control("WebDriver:GetPageSource")
            except RuntimeError as refused:  # the certificate error page knows which check failed
                refusal = f"{refused}{control('WebDriver:ExecuteScript', script=CERT_ERROR_CODE, args=[])}"
            shot.write_bytes(base64.b64decode(control("WebDriver:TakeScreenshot")))
            control("Marionette:Quit")
        return page, refusal, shot
    finally:
        try:
            browser.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(browser.pid, signal.SIGKILL)
            browser.wait()


CERT_ERROR_CODE = "return document.getFailedCertSecurityInfo().errorCodeString"

# Each browser: how it loads a page, the trust store it reads, and how it says that it does not know the CA.
BROWSERS = {
    "chromium": (
        load_in_chromium,
        "NSS database {home}/.pki/nssdb (Chromium, Chrome)",
        "net::ERR_CERT_AUTHORITY_INVALID",
    ),
    "firefox-esr": (load_in_firefox, f"Firefox profile {{home}}/{FIREFOX_PROFILE}", "SEC_ERROR_UNKNOWN_ISSUER"),
}


@pytest.mark.parametrize("browser", BROWSERS)
def test_browser_trusts_the_ca_only_while_it_is_trusted(tmp_path, spawn, browser):
    program = need(browser)
    need("certutil")
    load, store, unknown_issuer = BROWSERS[browser]
    home = tmp_path / "home"
    home.mkdir()
    if browser == "firefox-esr":  # a fresh profile: only its NSS database, until Firefox fills it
        (home / FIREFOX_PROFILE).mkdir(parents=True)
        subprocess.run(["certutil", "-d", f"sql:{home / FIREFOX_PROFILE}", "-N", "--empty-password"], check=True)
    env = {"HOME": str(home), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    trusted = run_cli("certs", "trust", env=env)
    assert trusted.returncode == 0, trusted.stderr
    assert f"{store.format(home=home)}: added" in trusted.stdout

    port = free_port()
    url = f"https://localhost:{port}/health"
    server = spawn(
        [*COMMAND, "run", "--port", str(port)],
        env=cli_environment(env),
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=False,
    )
    try:
        read_until(server.stdout, "Server running", 60)
        began = time.monotonic()
        page, refusal, shot = load(program, home, url, "trusted")
        assert '<pre>{"status":"ok"' in page and f'"port":{port}' in page, refusal
        assert shot.stat().st_size > 0  # kept under the build folder as the test's artefact

        untrusted = run_cli("certs", "untrust", env=env)
        assert untrusted.returncode == 0 and f"{store.format(home=home)}: removed" in untrusted.stdout, untrusted.stderr
        page, refusal, _ = load(program, home, url, "untrusted")
        assert unknown_issuer in refusal and '"status":"ok"' not in page
        assert time.monotonic() - began < 90
    finally:
        server.send_signal(signal.SIGINT)
        server.communicate(timeout=15)
    assert server.returncode == 130
