"""Trusting the local CA: the NSS databases with the real certutil, macOS and Windows with doubles, the CLI."""

import json
import os
import re
import stat
import subprocess
import sys

import pytest

from helpers import ROOT, need
from velmora_master.addin_launcher import trust
from velmora_master.addin_launcher.certificate_manager import CertificateManager

COMMAND = [sys.executable, "-m", "velmora_master.addin_launcher", "certs"]


@pytest.fixture
def ca(tmp_path):
    return trust.Authority.load(CertificateManager(tmp_path / "certs").ensure_certificates().ca_cert)


def nicknames(db):
    listed = subprocess.run(["certutil", "-d", f"sql:{db}", "-L"], capture_output=True, text=True, check=True)
    return [line for line in listed.stdout.splitlines() if line.startswith(trust.NSS_NICKNAME)]


def test_nss_stores(tmp_path, ca):
    need("certutil")
    home = tmp_path / "home"
    profile = home / ".mozilla" / "firefox" / "abcd.default-release"
    profile.mkdir(parents=True)
    subprocess.run(["certutil", "-d", f"sql:{profile}", "-N", "--empty-password"], check=True)
    (home / ".mozilla" / "firefox" / "no-db-profile").mkdir()
    stores = trust.stores_for("linux", home)
    assert [s.directory for s in stores] == [home / ".pki" / "nssdb", profile]

    for store in stores:
        assert not store.contains(ca)
        assert store.add(ca) is True
        assert store.add(ca) is False  # trusting twice adds one entry
        assert store.contains(ca) and len(nicknames(store.directory)) == 1
    assert stat.S_IMODE((home / ".pki" / "nssdb").stat().st_mode) == 0o700

    # A renewed CA replaces the old one instead of joining it.
    renewed = trust.Authority.load(CertificateManager(tmp_path / "certs").renew(ca=True).ca_cert)
    assert stores[0].add(renewed) is True
    assert stores[0].contains(renewed) and not stores[0].contains(ca)
    assert len(nicknames(stores[0].directory)) == 1

    assert stores[0].remove(renewed) is True
    assert stores[0].remove(renewed) is False  # not there: says so, no error
    assert nicknames(stores[0].directory) == []


def test_nss_without_a_database_is_not_created_by_untrust(tmp_path, ca):
    store = trust.stores_for("linux", tmp_path / "home")[0]
    assert store.remove(ca) is False and not store.contains(ca)
    assert not (tmp_path / "home" / ".pki").exists()


def test_macos_login_keychain(tmp_path, ca, double):
    calls = double("security", "security")
    keychain = str(tmp_path / "Library" / "Keychains" / "login.keychain-db")
    [store] = trust.stores_for("darwin", tmp_path)
    find = ["find-certificate", "-a", "-Z", "-c", "Velmora Add-in Local CA", keychain]

    assert store.add(ca) is True
    assert calls() == [find, ["add-trusted-cert", "-r", "trustRoot", "-k", keychain, str(ca.path)]]
    assert store.add(ca) is False and store.contains(ca)
    assert calls() == [find, find]
    assert store.remove(ca) is True
    assert calls() == [find, ["remove-trusted-cert", str(ca.path)], ["delete-certificate", "-Z", ca.sha1, keychain]]
    assert store.remove(ca) is False and not store.contains(ca)
    assert json.loads((tmp_path / "state.json").read_text()) == []


def test_windows_user_root_store(tmp_path, ca, double):
    calls = double("certutil", "certutil-windows")
    [store] = trust.stores_for("win32", tmp_path)
    look = ["-user", "-store", "Root", ca.serial_hex]

    assert store.add(ca) is True
    assert calls() == [look, ["-user", "-addstore", "Root", str(ca.path)]]
    assert store.add(ca) is False and store.contains(ca)
    assert calls() == [look, look]
    assert store.remove(ca) is True
    assert calls() == [look, ["-user", "-delstore", "Root", ca.serial_hex]]
    assert store.remove(ca) is False
    assert json.loads((tmp_path / "state.json").read_text()) == []


T = trust.TrustState


@pytest.mark.parametrize(
    ("flags", "state", "detail"),
    [
        ("C,,", T.TRUSTED, "SSL flags: Valid CA, Trusted CA"),
        ("c,,", T.NOT_TRUSTED, "SSL flags: Valid CA"),
        (",,", T.NOT_TRUSTED, "SSL flags: none"),
        (None, T.ABSENT, f"another CA is filed as {trust.NSS_NICKNAME!r} (an earlier one)"),
    ],
)
def test_nss_trust_is_read_from_the_flags(tmp_path, ca, flags, state, detail):
    need("certutil")
    [store] = trust.stores_for("linux", tmp_path / "home")
    assert store.read_trust(ca) == (T.ABSENT, f"no NSS database in {store.directory}")
    store.add(ca)
    if flags is None:
        store.add(trust.Authority.load(CertificateManager(tmp_path / "certs").renew(ca=True).ca_cert))
    else:
        subprocess.run(["certutil", "-d", f"sql:{store.directory}", "-M", "-n", trust.NSS_NICKNAME, "-t", flags])
    before = {p.name: p.read_bytes() for p in store.directory.iterdir()}
    assert store.read_trust(ca) == (state, detail)
    assert {p.name: p.read_bytes() for p in store.directory.iterdir()} == before  # reading changed nothing


SSL = trust.MAC_SSL_POLICY.hex()


@pytest.mark.parametrize(
    ("platform", "entry", "state", "detail"),
    [
        ("darwin", {}, T.TRUSTED, "its trust settings trust it as a root for SSL"),  # as add-trusted-cert leaves it
        ("darwin", {"trust_settings": []}, T.TRUSTED, "trusted for every use"),
        ("darwin", {"trust_settings": [{}, {"kSecTrustSettingsPolicy": SSL, "kSecTrustSettingsResult": 3}]},
         T.NOT_TRUSTED, "its trust settings deny it for SSL"),
        ("darwin", {"trust_settings": [{"kSecTrustSettingsPolicy": SSL, "kSecTrustSettingsPolicyString": "a.example"}]},
         T.NOT_TRUSTED, "its trust settings do not trust it for SSL"),
        ("darwin", {"trust_settings": None}, T.NOT_TRUSTED, "this user has no trust settings at all"),
        ("darwin", None, T.ABSENT, ""),
        ("win32", {}, T.TRUSTED, "no purposes set aside"),
        ("win32", {"purposes": ["1.3.6.1.5.5.7.3.2", trust.SERVER_AUTH_OID]}, T.TRUSTED,
         "its purposes include server authentication"),
        ("win32", {"purposes": ["1.3.6.1.5.5.7.3.2"]}, T.NOT_TRUSTED, "its purposes leave out server authentication"),
        ("win32", None, T.ABSENT, ""),
    ],
)  # fmt: skip
def test_keychain_and_root_store_trust_is_read_from_their_settings(
    tmp_path, ca, double, platform, entry, state, detail
):
    double(*(("security", "security") if platform == "darwin" else ("certutil", "certutil-windows")))
    [store] = trust.stores_for(platform, tmp_path)
    if entry is not None:
        store.add(ca)
        state_file = tmp_path / "state.json"
        state_file.write_text(json.dumps([json.loads(state_file.read_text())[0] | entry]))
    assert store.read_trust(ca) == (state, detail)


@pytest.mark.parametrize(
    ("platform", "message"),
    [
        (
            "linux",
            (
                "certutil not found: install the NSS tools (Debian/Ubuntu: apt-get install libnss3-tools; "
                "Fedora: dnf install nss-tools)"
            ),
        ),
        ("darwin", "security not found: the security program is part of macOS (/usr/bin/security)"),
        ("win32", "certutil not found: certutil.exe is part of Windows (C:\\Windows\\System32)"),
    ],
)
def test_a_missing_tool_names_what_provides_it(tmp_path, ca, monkeypatch, platform, message):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(trust.TrustToolMissing, match=f"^{re.escape(message)}$"):
        trust.stores_for(platform, tmp_path)[0].add(ca)


def certs_cli(tmp_path, *args, path=None):
    env = {**os.environ, "HOME": str(tmp_path / "home"), "VELMORA_CERT_DIR": str(tmp_path / "certs")}
    if path is not None:
        env["PATH"] = path
    return subprocess.run([*COMMAND, *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=60, check=False)


def test_certs_commands(tmp_path):
    need("certutil")
    nssdb = tmp_path / "home" / ".pki" / "nssdb"
    shown = certs_cli(tmp_path, "show")
    assert shown.returncode == 0, shown.stderr
    for expected in (
        "name constraints: permits DNS:localhost, IP:127.0.0.1/32, IP:::1/128 (critical)",
        "names (SAN):      DNS:localhost, IP:127.0.0.1, IP:::1",
        "(mode 0700)",
        f"NSS database {nssdb} (Chromium, Chrome): no",
    ):
        assert expected in shown.stdout
    assert shown.stdout.count("SHA-256:") == 2 and shown.stdout.count("not after:") == 2

    first, second = certs_cli(tmp_path, "trust"), certs_cli(tmp_path, "trust")
    assert f"NSS database {nssdb} (Chromium, Chrome): added" in first.stdout
    assert f"NSS database {nssdb} (Chromium, Chrome): already trusted" in second.stdout
    assert "sudo update-ca-certificates" in first.stdout
    assert "(Chromium, Chrome): yes" in certs_cli(tmp_path, "show").stdout

    renewed = certs_cli(tmp_path, "renew", "--ca")
    assert f"NSS database {nssdb} (Chromium, Chrome): the old CA was removed" in renewed.stdout
    assert "Browsers trust the new CA only after: velmora-addin certs trust" in renewed.stdout
    assert "was not trusted" in certs_cli(tmp_path, "untrust").stdout
    certs_cli(tmp_path, "trust")
    assert "(Chromium, Chrome): removed" in certs_cli(tmp_path, "untrust").stdout


def test_certs_trust_without_certutil_is_one_line(tmp_path):
    result = certs_cli(tmp_path, "trust", path=str(tmp_path / "empty"))
    assert result.returncode == 1
    assert result.stderr == (
        "velmora-addin: error: certutil not found: install the NSS tools (Debian/Ubuntu: "
        "apt-get install libnss3-tools; Fedora: dnf install nss-tools)\n"
    )
