"""`doctor`: each check passing on a sound set-up and failing on a broken one, the line it prints and the exit
status; that it changes nothing; its JSON and that of `certs show`, parsed against the schema the README gives."""

import datetime as dt
import json
import os
import re
import shutil
import subprocess
import sys
from types import SimpleNamespace

import pytest

from helpers import ROOT, TESTS, free_port, need, unconstrained_ca
from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher import trust
from velmora_master.addin_launcher.cli import main
from velmora_master.addin_launcher.cli.setup_checks import COMPILED_MODULE

COMMAND = [sys.executable, "-m", "velmora_master.addin_launcher"]
NEW_CA = "velmora-addin certs renew --ca && velmora-addin certs trust"
# A moment long enough ago that a server certificate made then has expired.
LONG_AGO = dt.datetime(2020, 1, 1, tzinfo=dt.UTC)


@pytest.fixture
def doctor(tmp_path, monkeypatch, capsys):
    """A sound set-up: a fresh certificate store whose CA the user's NSS database trusts, `node` and certutil on
    PATH, a free port. `run(*args)` runs the doctor in this process: (status, lines)."""
    need("certutil")
    home, certs = tmp_path / "home", tmp_path / "certs"
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("VELMORA_CERT_DIR", str(certs))
    env = SimpleNamespace(home=home, certs=certs, port=free_port(), tmp=tmp_path, paths=cm.CertificateManager().paths)
    env.nssdb = home / ".pki" / "nssdb"
    env.trust = lambda: trust.stores_for("linux", home)[0].add(trust.Authority.load(env.paths.ca_cert))
    cm.CertificateManager().ensure_certificates()
    env.trust()

    def run(*args):
        status = main(["doctor", "--port", str(env.port), *args])
        return status, capsys.readouterr().out.splitlines()

    env.run = run
    return env


def path_with(env, *tools):
    """A PATH holding only `tools`, as found on the real one."""
    folder = env.tmp / f"bin-{'-'.join(tools) or 'none'}"
    folder.mkdir(exist_ok=True)
    for tool in tools:
        (folder / tool).symlink_to(shutil.which(tool))
    return str(folder)


def expired_server_certificate(env, monkeypatch):
    ca = cm._load_pair(env.paths.ca_cert, env.paths.ca_key)
    with monkeypatch.context() as moment:
        moment.setattr(cm, "_now", lambda: LONG_AGO)
        cm._write_pair(env.paths.server_cert, env.paths.server_key, *cm._make_server_certificate(*ca))


def server_certificate_of_another_ca(env, monkeypatch):
    cm._write_pair(env.paths.server_cert, env.paths.server_key, *cm._make_server_certificate(*cm._make_ca()))


def untrusted_in_nss(env, monkeypatch):
    subprocess.run(["certutil", "-d", f"sql:{env.nssdb}", "-M", "-n", trust.NSS_NICKNAME, "-t", ",,"], check=True)


def unconstrained(env, monkeypatch):
    unconstrained_ca(env.paths)
    env.trust()


def another_ca_key(env, monkeypatch):
    cm._write_pair(env.paths.ca_cert.with_name("other.crt"), env.paths.ca_key, *cm._make_ca())


def firefox_profile_without_the_ca(env, monkeypatch):
    profile = env.home / ".mozilla" / "firefox" / "ab12.default"
    profile.mkdir(parents=True)
    subprocess.run(["certutil", "-d", f"sql:{profile}", "-N", "--empty-password"], check=True)


def keychain_denying_ssl(env, monkeypatch):
    """The macOS login keychain (the stand-in `security`) holds the CA with settings that deny it for SSL."""
    [keychain] = stand_in(env, monkeypatch, "security", "darwin")
    keychain.add(trust.Authority.load(env.paths.ca_cert))
    state = json.loads((env.tmp / "state.json").read_text())
    state[0]["trust_settings"] = [{"kSecTrustSettingsPolicy": trust.MAC_SSL_POLICY.hex(), "kSecTrustSettingsResult": 3}]
    (env.tmp / "state.json").write_text(json.dumps(state))


def windows_root_store_without_the_ca(env, monkeypatch):
    stand_in(env, monkeypatch, "certutil-windows", "win32")


def stand_in(env, monkeypatch, flavour, platform):
    """Put the stand-in tool on PATH (with node) and make the stores those of `platform`; they are returned."""
    folder = env.tmp / "stand-in"
    folder.mkdir()
    tool = folder / ("security" if flavour == "security" else "certutil")
    tool.write_text(f'#!/bin/sh\nexec "{sys.executable}" "{TESTS / "trust_double.py"}" {flavour} "$@"\n')
    tool.chmod(0o755)
    (folder / "node").symlink_to(shutil.which("node"))
    monkeypatch.setenv("PATH", str(folder))
    monkeypatch.setenv("TRUST_DOUBLE_STATE", str(env.tmp / "state.json"))
    monkeypatch.setenv("TRUST_DOUBLE_LOG", str(env.tmp / "calls.log"))
    stores = trust.stores_for(platform, env.home)
    monkeypatch.setattr(trust, "stores_for", lambda: stores)
    return stores


# Each broken set-up: what breaks it (a function of the set-up and monkeypatch, or the doctor's arguments and
# environment), and every line that fails, in order ("…" stands for any text).
BROKEN = {
    "loose CA key": (
        lambda env, mp: env.paths.ca_key.chmod(0o640),
        [f"FAIL  CA key {{certs}}/ca.key has mode 0640: others could have read it, so it is not used; fix: {NEW_CA}"],
    ),
    "loose server key": (
        lambda env, mp: env.paths.server_key.chmod(0o604),
        [
            "FAIL  server key {certs}/server.key has mode 0604: others could have read it, so it is not used; "
            "fix: velmora-addin certs renew"
        ],
    ),
    "expired certificate": (
        expired_server_certificate,
        [
            f"FAIL  server certificate {{certs}}/server.crt expired on {LONG_AGO + cm.SERVER_LIFETIME:%Y-%m-%d}; "
            "fix: velmora-addin certs renew"
        ],
    ),
    "wrong CA": (
        server_certificate_of_another_ca,
        [
            "FAIL  the server certificate was not signed by this CA (its issuer: CN=Velmora Add-in Local CA,"
            "O=Velmora Add-in (local)); fix: velmora-addin certs renew",
            "FAIL  the server certificate's authority key identifier names another key than the CA's; "
            "fix: velmora-addin certs renew",
        ],
    ),
    "CA key of another CA": (
        another_ca_key,
        [f"FAIL  CA key {{certs}}/ca.key does not match its certificate; fix: {NEW_CA}"],
    ),
    "CA without name constraints or key identifier": (
        unconstrained,
        [
            "FAIL  CA name constraints: none; they must permit only localhost, 127.0.0.1 and ::1, critically; "
            f"fix: {NEW_CA}",
            f"FAIL  the CA has no subject key identifier; fix: {NEW_CA}",
        ],
    ),
    "store folder writable by others": (
        lambda env, mp: env.certs.chmod(0o777),
        ["FAIL  certificate folder {certs} is writable by group or others (mode 0777); fix: chmod 700 {certs}"],
    ),
    "no store yet": (
        lambda env, mp: mp.setenv("VELMORA_CERT_DIR", str(env.tmp / "none")),
        ["FAIL  certificate folder {tmp}/none does not exist; fix: velmora-addin certs trust"],
    ),
    "missing node": (
        lambda env, mp: mp.setenv("PATH", path_with(env, "certutil")),
        ["FAIL  node not found on PATH; fix: sudo apt-get install nodejs"],
    ),
    "missing certutil": (
        lambda env, mp: mp.setenv("PATH", path_with(env, "node")),
        [
            "FAIL  NSS database {nssdb} (Chromium, Chrome): cannot be read: certutil not found: install the NSS "
            "tools (Debian/Ubuntu: apt-get install libnss3-tools; Fedora: dnf install nss-tools); "
            "fix: sudo apt-get install libnss3-tools"
        ],
    ),
    "CA untrusted in NSS": (
        untrusted_in_nss,
        [
            "FAIL  NSS database {nssdb} (Chromium, Chrome): the CA is there, but not trusted for server "
            "authentication (SSL flags: none); fix: velmora-addin certs untrust && velmora-addin certs trust"
        ],
    ),
    "no NSS database": (
        lambda env, mp: shutil.rmtree(env.nssdb),
        [
            "FAIL  NSS database {nssdb} (Chromium, Chrome): the CA is not there (no NSS database in {nssdb}); "
            "fix: velmora-addin certs trust"
        ],
    ),
    "Firefox profile without the CA": (
        firefox_profile_without_the_ca,
        [
            "FAIL  Firefox profile {home}/.mozilla/firefox/ab12.default: the CA is not there; "
            "fix: velmora-addin certs trust"
        ],
    ),
    "macOS keychain denying SSL": (
        keychain_denying_ssl,
        [
            "FAIL  login keychain {home}/Library/Keychains/login.keychain-db: the CA is there, but not trusted for "
            "server authentication (its trust settings deny it for SSL); "
            "fix: velmora-addin certs untrust && velmora-addin certs trust"
        ],
    ),
    "Windows Root store without the CA": (
        windows_root_store_without_the_ca,
        ["FAIL  Windows user Root store: the CA is not there; fix: velmora-addin certs trust"],
    ),
    "no server.js": (
        ["--addin-path", "{tmp}"],
        ["FAIL  no server.js in add-in folder {tmp}; fix: velmora-addin run --addin-path /path/to/addin"],
    ),
    "compiled server not executable": (
        ["--compiled"],
        ["FAIL  compiled server {tmp}/server is not executable; fix: chmod +x {tmp}/server"],
    ),
    "compiled module that does not load": (
        lambda env, mp: mp.setitem(sys.modules, COMPILED_MODULE, None),
        ["FAIL  Python 3.14.… (…), velmora-master …: the compiled module does not load (…); fix: …"],
    ),
}


def matches(pattern, line):
    return re.fullmatch(".*".join(re.escape(part) for part in pattern.split("…")), line) is not None


@pytest.mark.parametrize(("breaking", "failures"), BROKEN.values(), ids=BROKEN.keys())
def test_each_broken_set_up_fails_its_check_with_the_fix(doctor, monkeypatch, breaking, failures):
    names = {"certs": doctor.certs, "tmp": doctor.tmp, "nssdb": doctor.nssdb, "home": doctor.home}
    args = []
    if callable(breaking):
        breaking(doctor, monkeypatch)
    else:
        args = [arg.format(**names) for arg in breaking]
        (doctor.tmp / "server").write_text("#!/bin/sh\n")
        monkeypatch.setenv("VELMORA_SERVER_BINARY", str(doctor.tmp / "server"))
    status, lines = doctor.run(*args)
    failed = [line for line in lines if line.startswith("FAIL")]
    expected = [failure.format(**names) for failure in failures]
    assert len(failed) == len(expected) and all(map(matches, expected, failed, strict=True)), "\n".join(lines)
    assert lines[-1] == f"{len(lines) - 1} checks: {len(expected)} failed"
    assert status == 1


def test_a_sound_set_up_passes_every_check(doctor):
    status, lines = doctor.run()
    assert status == 0, "\n".join(lines)
    assert [line.split(" ")[0] for line in lines[:-1]] == ["ok"] * (len(lines) - 1)
    assert lines[-1] == "15 checks: all passed"
    for expected in (
        f"ok    certificate folder {doctor.certs} (mode 0700, yours)",
        f"ok    CA certificate {doctor.certs}/ca.crt: valid, {cm.CA_LIFETIME.days - 1} days left",
        "ok    CA name constraints: permits DNS:localhost, IP:127.0.0.1/32, IP:::1/128 (critical)",
        f"ok    NSS database {doctor.nssdb} (Chromium, Chrome): the CA is trusted for server authentication "
        "(SSL flags: Valid CA, Trusted CA)",
        f"ok    port {doctor.port} is free",
    ):
        assert expected in lines
    assert re.fullmatch(r"ok    node v\d+\.\d+\.\d+ \(.*/node\)", lines[1])


def snapshot(*folders):
    return {
        path: (path.stat().st_mode, path.stat().st_mtime_ns, path.read_bytes() if path.is_file() else None)
        for folder in folders
        for path in [folder, *folder.rglob("*")]
        if folder.exists()
    }


@pytest.mark.parametrize("broken", [False, True])
def test_the_doctor_changes_nothing(doctor, broken):
    if broken:  # what the store would mend at its next use: a loose key, an expiring CA, a missing server pair
        doctor.paths.ca_key.chmod(0o644)
        doctor.paths.server_cert.unlink()
        doctor.paths.server_key.unlink()
        shutil.rmtree(doctor.nssdb)
    before = snapshot(doctor.certs, doctor.home)
    status, _ = doctor.run()
    assert status == (1 if broken else 0)
    assert snapshot(doctor.certs, doctor.home) == before


# ---- JSON ----------------------------------------------------------------------------------------------------------
# The schemas the README documents, as a validator reads them: a type, a literal, a set of literals, a tuple of
# alternatives, a list of one item's schema, a dict of exactly these keys, a pattern.
MODE = (re.compile(r"0[0-7]{3}"), None)
UTC = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
DETAILS = {
    "python": {"python": re.compile(r"3\.14\.\d+"), "executable": str, "package": str},
    "node": {"path": (str, None), "version": (str, None)},
    "compiled-server": {"path": str},
    "addin": {"folder": (str, None)},
    "cert-folder": {"path": str, "mode": MODE},
    "ca-certificate": {"path": str, "days_left": (int, None), "not_after": (UTC, None)},
    "ca-key-mode": {"path": str, "mode": MODE},
    "ca-key-match": {"path": str},
    "ca-name-constraints": {"permitted": [str]},
    "server-signed-by-ca": {},
    "key-identifiers": {},
    "trust": {"store": str, "state": {"trusted", "not-trusted", "absent", "unknown"}},
    "port": {"port": int, "state": {"free", "in-use", "privileged"}},
}
for kind in ("certificate", "key-mode", "key-match"):
    DETAILS[f"server-{kind}"] = DETAILS[f"ca-{kind}"]
DOCTOR_SCHEMA = {
    "schema": "velmora-addin/doctor",
    "version": 1,
    "ok": bool,
    "checks": [
        {"check": set(DETAILS), "status": {"pass", "fail"}, "summary": str, "fix": (str, None), "details": dict}
    ],
}
CERTIFICATE = {
    "path": str,
    "subject": str,
    "not_after": UTC,
    "sha256": re.compile(r"([0-9A-F]{2}:){31}[0-9A-F]{2}"),
    "names": ([str], None),
    "name_constraints": ({"permitted": [str], "critical": bool}, None),
    "key": {"path": str, "mode": MODE},
}
SHOW_SCHEMA = {
    "schema": "velmora-addin/certs-show",
    "version": 1,
    "folder": {"path": str, "mode": MODE},
    "ca": CERTIFICATE,
    "server": CERTIFICATE,
    "trust": [
        {"store": str, "state": {"trusted", "not-trusted", "absent", "unknown"}, "detail": str, "error": (str, None)}
    ],
}


def problems(value, schema, where="$"):
    """Where `value` departs from `schema`: a list of places, empty when it conforms."""
    if isinstance(schema, tuple):
        return [] if any(not problems(value, option, where) for option in schema) else [where]
    if isinstance(schema, dict):
        if not isinstance(value, dict) or set(value) != set(schema):
            return [f"{where}: keys {sorted(value) if isinstance(value, dict) else value!r}, not {sorted(schema)}"]
        return [p for key, sub in schema.items() for p in problems(value[key], sub, f"{where}.{key}")]
    if isinstance(schema, list):
        if not isinstance(value, list):
            return [where]
        return [p for i, item in enumerate(value) for p in problems(item, schema[0], f"{where}[{i}]")]
    if isinstance(schema, type):
        ok = isinstance(value, schema) and (schema is bool or not isinstance(value, bool))
    elif isinstance(schema, re.Pattern):
        ok = isinstance(value, str) and schema.fullmatch(value) is not None
    elif isinstance(schema, set):
        ok = value in schema
    else:
        ok = value == schema and type(value) is type(schema)
    return [] if ok else [f"{where}: {value!r}"]


def doctor_problems(document):
    found = problems(document, DOCTOR_SCHEMA)
    for i, check in enumerate(document.get("checks", [])):
        found += problems(check.get("details"), DETAILS.get(check.get("check"), {}), f"$.checks[{i}].details")
    return found


def readme_example(title):
    section = (ROOT / "README.md").read_text().split(f"### `{title}`, version 1\n", 1)[1]
    return json.loads(re.search(r"```json\n(.*?)```", section, re.S).group(1))


def test_the_readme_examples_follow_the_schemas():
    assert doctor_problems(readme_example("doctor --json")) == []
    assert problems(readme_example("certs show --json"), SHOW_SCHEMA) == []
    broken = readme_example("doctor --json") | {"ok": "no"}
    assert doctor_problems(broken) == ["$.ok: 'no'"]  # the validator does refuse


def test_json_documents_parse_and_follow_their_schemas(doctor):
    env = {**os.environ, "HOME": str(doctor.home), "VELMORA_CERT_DIR": str(doctor.certs)}
    doctor.paths.ca_key.chmod(0o644)  # one failure, so that both statuses show

    def run(*args):
        return subprocess.run([*COMMAND, *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)

    checked = run("doctor", "--json", "--port", str(doctor.port))
    assert (checked.returncode, checked.stderr) == (1, "")
    document = json.loads(checked.stdout)
    assert doctor_problems(document) == []
    assert document["ok"] is False
    assert [c["check"] for c in document["checks"] if c["status"] == "fail"] == ["ca-key-mode"]
    by_name = {c["check"]: c for c in document["checks"]}
    assert by_name["ca-key-mode"]["details"] == {"path": str(doctor.paths.ca_key), "mode": "0644"}
    assert by_name["ca-key-mode"]["fix"] == NEW_CA
    assert by_name["trust"]["details"]["state"] == "trusted"
    assert by_name["port"]["details"] == {"port": doctor.port, "state": "free"}

    doctor.paths.ca_key.chmod(0o600)
    shown = run("certs", "show", "--json")
    assert (shown.returncode, shown.stderr) == (0, "")
    document = json.loads(shown.stdout)
    assert problems(document, SHOW_SCHEMA) == []
    assert document["ca"]["name_constraints"]["critical"] is True
    assert document["server"]["names"] == ["DNS:localhost", "IP:127.0.0.1", "IP:::1"]
    assert [(t["store"], t["state"]) for t in document["trust"]] == [
        (f"NSS database {doctor.nssdb} (Chromium, Chrome)", "trusted")
    ]
