"""`doctor`: each check passing on a sound set-up and failing on a broken one, the line it prints and the exit
status; that it changes nothing; its JSON and that of `certs show`, parsed against the schemas of the README."""

import datetime as dt
import functools
import getpass
import json
import re
import shutil
import subprocess
import sys
from types import SimpleNamespace

import pytest

from helpers import TESTS, free_port, need, run_cli, unconstrained_ca
from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher import trust
from velmora_master.addin_launcher.cli import main
from velmora_master.addin_launcher.cli.doctor.setup_checks import COMPILED_MODULE
from velmora_master.addin_launcher.config import BUNDLED_ADDIN_DIR

NEW_CA = "velmora-addin certs renew --ca && velmora-addin certs trust"
TRUST_AFRESH = "velmora-addin certs untrust && velmora-addin certs trust"
LONG_AGO = dt.datetime(2020, 1, 1, tzinfo=dt.UTC)  # a server certificate made then has expired


@pytest.fixture
def doctor(tmp_path, monkeypatch, capsys, port_holder, double, cli_logging):
    """A sound set-up: a fresh certificate store whose CA the user's NSS database trusts, `node` and certutil on
    PATH, a free port. `run(*args)` runs the doctor in this process and gives (status, lines)."""
    need("certutil")
    home, certs = tmp_path / "home", tmp_path / "certs"
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("VELMORA_CERT_DIR", str(certs))
    env = SimpleNamespace(home=home, certs=certs, nssdb=home / ".pki" / "nssdb", port=free_port(), tmp=tmp_path)
    env.paths = cm.CertificateManager().ensure_certificates()
    env.trust = lambda: trust.stores_for("linux", home)[0].add(trust.Authority.load(env.paths.ca_cert))
    env.trust()
    env.hold, env.double = port_holder, double

    def run(*args):
        status = main(["doctor", "--port", str(env.port), *args])
        return status, capsys.readouterr().out.splitlines()

    env.run = run
    return env


def path_with(env, *tools):
    """A PATH holding only `tools`, as found on the real one."""
    folder = env.tmp / f"bin-{'-'.join(tools)}"
    folder.mkdir()
    for tool in tools:
        (folder / tool).symlink_to(shutil.which(tool))
    return str(folder)


def expired_server_certificate(env, monkeypatch):
    with monkeypatch.context() as then:
        then.setattr(cm, "_now", lambda: LONG_AGO)
        ca = cm._load_pair(env.paths.ca_cert, env.paths.ca_key)
        cm._write_pair(env.paths.server_cert, env.paths.server_key, *cm._make_server_certificate(*ca))


def keychain_denying_ssl(env, monkeypatch):
    """The macOS login keychain (the stand-in `security`) holds the CA with settings that deny it for SSL."""
    env.double("security", "security", keep=["node"])
    [keychain] = stores = trust.stores_for("darwin", env.home)
    monkeypatch.setattr(trust, "stores_for", lambda: stores)
    keychain.add(trust.Authority.load(env.paths.ca_cert))
    state = json.loads((env.tmp / "state.json").read_text())
    state[0]["trust_settings"] = [{"kSecTrustSettingsPolicy": trust.MAC_SSL_POLICY.hex(), "kSecTrustSettingsResult": 3}]
    (env.tmp / "state.json").write_text(json.dumps(state))


def nss(directory, *args):
    directory.mkdir(parents=True, exist_ok=True)
    subprocess.run(["certutil", "-d", f"sql:{directory}", *args], check=True)


# Each broken set-up: what breaks it (a function of the set-up and monkeypatch, or the doctor's arguments), and
# every line that fails, in order: "{name}" is a place of the set-up, "…" any text.
BROKEN = {
    "loose key": (
        lambda env, mp: env.paths.ca_key.chmod(0o640),
        [f"FAIL  CA key {{certs}}/ca.key has mode 0640: others could have read it, so it is not used; fix: {NEW_CA}"],
    ),
    "expired certificate": (
        expired_server_certificate,
        [
            f"FAIL  server certificate {{certs}}/server.crt expired on {LONG_AGO + cm.SERVER_LIFETIME:%Y-%m-%d}; "
            "fix: velmora-addin certs renew"
        ],
    ),
    "wrong CA": (
        lambda env, mp: cm._write_pair(
            env.paths.server_cert, env.paths.server_key, *cm._make_server_certificate(*cm._make_ca())
        ),
        [
            "FAIL  the server certificate was not signed by this CA (its issuer: CN=Velmora Add-in Local CA,"
            "O=Velmora Add-in (local)); fix: velmora-addin certs renew",
            "FAIL  the server certificate's authority key identifier names another key than the CA's; "
            "fix: velmora-addin certs renew",
        ],
    ),
    "CA key of another CA": (
        lambda env, mp: cm._write_pair(env.tmp / "other.crt", env.paths.ca_key, *cm._make_ca()),
        [f"FAIL  CA key {{certs}}/ca.key does not match its certificate; fix: {NEW_CA}"],
    ),
    "CA without name constraints or key identifier": (
        lambda env, mp: (unconstrained_ca(env.paths), env.trust()),
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
        lambda env, mp: nss(env.nssdb, "-M", "-n", trust.NSS_NICKNAME, "-t", ",,"),
        [
            "FAIL  NSS database {nssdb} (Chromium, Chrome): the CA is there, but not trusted for server "
            f"authentication (SSL flags: none); fix: {TRUST_AFRESH}"
        ],
    ),
    "Firefox profile without the CA": (
        lambda env, mp: nss(env.home / ".mozilla/firefox/ab12.default", "-N", "--empty-password"),
        ["FAIL  Firefox profile {home}/.mozilla/firefox/ab12.default: the CA is not there; fix: {TRUST}"],
    ),
    "macOS keychain denying SSL": (
        keychain_denying_ssl,
        [
            "FAIL  login keychain {home}/Library/Keychains/login.keychain-db: the CA is there, but not trusted for "
            f"server authentication (its trust settings deny it for SSL); fix: {TRUST_AFRESH}"
        ],
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
    "port held by a stranger": (
        lambda env, mp: env.hold("stranger", env.port),
        ["FAIL  port {port} is in use by pid … (…), user {user}; fix: velmora-addin run --port 0"],
    ),
    "port held by our leftover server": (
        lambda env, mp: env.hold("leftover", env.port),
        [
            "FAIL  port {port} is held by a server of ours: pid … (node {addin}/server.js --cert … --port {port} "
            "--server-port 8000 --logging-level ERROR), user {user}; fix: velmora-addin stop --port {port}"
        ],
    ),
    "port held by a server with our mark": (
        lambda env, mp: env.hold("marked", env.port),
        [
            "FAIL  port {port} is held by a server of ours: pid … (… {tests}/fake_server.py --port {port}), "
            "user {user}; fix: velmora-addin stop --port {port}"
        ],
    ),
}


@pytest.mark.slow
@pytest.mark.parametrize(("breaking", "failures"), BROKEN.values(), ids=BROKEN.keys())
def test_each_broken_set_up_fails_its_check_with_the_fix(doctor, monkeypatch, breaking, failures):
    names = {"certs": doctor.certs, "tmp": doctor.tmp, "nssdb": doctor.nssdb, "home": doctor.home}
    names |= {"port": doctor.port, "addin": BUNDLED_ADDIN_DIR, "tests": TESTS, "user": getpass.getuser()}
    names["TRUST"] = "velmora-addin certs trust"
    args = []
    if callable(breaking):
        breaking(doctor, monkeypatch)
    else:
        args = [arg.format(**names) for arg in breaking]
        (doctor.tmp / "server").write_text("#!/bin/sh\n")
        monkeypatch.setenv("VELMORA_SERVER_BINARY", str(doctor.tmp / "server"))
    status, lines = doctor.run(*args)
    failed = [line for line in lines if line.startswith("FAIL")]
    patterns = [".*".join(map(re.escape, failure.format(**names).split("…"))) for failure in failures]
    assert len(failed) == len(patterns), "\n".join(lines)
    assert all(map(re.fullmatch, patterns, failed, strict=True)), "\n".join(lines)
    checks = [line for line in lines[:-1] if not line.startswith("note  ")]
    assert (status, lines[-1]) == (1, f"{len(checks)} checks: {len(failures)} failed")


@pytest.mark.slow
def test_a_sound_set_up_passes_every_check(doctor):
    status, lines = doctor.run()
    assert (status, lines[-1]) == (0, "15 checks: all passed"), "\n".join(lines)
    assert all(line.startswith("ok    ") for line in lines[:-2])
    for expected in (
        f"note  Node.js trusts none of these stores; start it with NODE_EXTRA_CA_CERTS naming the CA: "
        f"export NODE_EXTRA_CA_CERTS={doctor.certs}/ca.crt",
        f"ok    CA certificate {doctor.certs}/ca.crt: valid, {cm.CA_LIFETIME.days - 1} days left",
        "ok    CA name constraints: permits DNS:localhost, IP:127.0.0.1/32, IP:::1/128 (critical)",
        f"ok    NSS database {doctor.nssdb} (Chromium, Chrome): the CA is trusted for server authentication "
        "(SSL flags: Valid CA, Trusted CA)",
        f"ok    port {doctor.port} is free",
    ):
        assert expected in lines
    assert re.fullmatch(r"ok    node v\d+\.\d+\.\d+ \(.*/node\)", lines[1])


def snapshot(*folders):
    listed = [path for folder in folders if folder.exists() for path in [folder, *folder.rglob("*")]]
    return {p: (p.stat().st_mode, p.stat().st_mtime_ns, p.read_bytes() if p.is_file() else None) for p in listed}


@pytest.mark.slow
@pytest.mark.parametrize("broken", [False, True])
def test_the_doctor_changes_nothing(doctor, broken):
    if broken:  # what the store or `certs trust` would mend: a loose key, a missing server pair, no NSS database
        doctor.paths.ca_key.chmod(0o644)
        doctor.paths.server_cert.unlink()
        doctor.paths.server_key.unlink()
        shutil.rmtree(doctor.nssdb)
    before = snapshot(doctor.certs, doctor.home)
    assert doctor.run()[0] == (1 if broken else 0)
    assert snapshot(doctor.certs, doctor.home) == before


# ---- JSON ----------------------------------------------------------------------------------------------------------
# The README's schemas as the validator reads them: a type, a literal, a set of literals, a tuple of alternatives,
# a list of one item's schema, a dict of exactly these keys, a pattern.
MODE, UTC = (re.compile(r"0[0-7]{3}"), None), re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
HOLDER = {"pid": (int, None), "program": (str, None), "command_line": ([str], None), "user": (str, None), "ours": bool}
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
    "port": {"port": int, "state": {"free", "in-use", "privileged"}, "holders": [HOLDER]},
}
DETAILS |= {f"server-{kind}": DETAILS[f"ca-{kind}"] for kind in ("certificate", "key-mode", "key-match")}
CHECK = {"check": set(DETAILS), "status": {"pass", "fail"}, "summary": str, "fix": (str, None), "details": dict}
DOCTOR = {"schema": "velmora-addin/doctor", "version": 1, "ok": bool, "checks": [CHECK], "notes": [str]}
CERTIFICATE = {
    "path": str,
    "subject": str,
    "not_after": UTC,
    "sha256": re.compile(r"([0-9A-F]{2}:){31}[0-9A-F]{2}"),
    "names": ([str], None),
    "name_constraints": ({"permitted": [str], "critical": bool}, None),
    "key": {"path": str, "mode": MODE},
}
TRUST = {"store": str, "state": DETAILS["trust"]["state"], "detail": str, "error": (str, None)}
SHOW = {"schema": "velmora-addin/certs-show", "version": 1, "folder": DETAILS["cert-folder"]}
SHOW |= {"ca": CERTIFICATE, "server": CERTIFICATE, "trust": [TRUST]}


def problems(value, schema, where="$"):
    """Where `value` departs from `schema`: empty when it conforms."""
    if isinstance(schema, tuple):
        return [] if any(not problems(value, option, where) for option in schema) else [f"{where}: {value!r}"]
    if isinstance(schema, dict):
        if not isinstance(value, dict) or set(value) != set(schema):
            return [f"{where}: {value!r} has not the keys {sorted(schema)}"]
        found = [p for key, sub in schema.items() for p in problems(value[key], sub, f"{where}.{key}")]
        if schema is CHECK and not found:
            found = problems(value["details"], DETAILS[value["check"]], f"{where}.details")
        return found
    if isinstance(schema, list):
        items = value if isinstance(value, list) else [None]
        return [p for i, item in enumerate(items) for p in problems(item, schema[0], f"{where}[{i}]")]
    if isinstance(schema, type):
        ok = isinstance(value, schema) and (schema is bool or not isinstance(value, bool))
    elif isinstance(schema, re.Pattern):
        ok = isinstance(value, str) and schema.fullmatch(value) is not None
    else:
        ok = value in schema if isinstance(schema, set) else (value == schema and type(value) is type(schema))
    return [] if ok else [f"{where}: {value!r}"]


def readme_example(title):
    # The checkout's README, also when the package under test is a copy of another build (which has none).
    section = (TESTS.parent / "README.md").read_text().split(f"### `{title}`, version 1\n", 1)[1]
    return json.loads(re.search(r"```json\n(.*?)```", section, re.S).group(1))


def test_the_readme_examples_follow_the_schemas():
    example = readme_example("doctor --json")
    assert problems(example, DOCTOR) == []
    assert problems(readme_example("certs show --json"), SHOW) == []
    example["checks"][1]["details"]["holders"][0]["ours"] = "yes"
    assert problems(example, DOCTOR) == ["$.checks[1].details.holders[0].ours: 'yes'"]  # the validator refuses


@pytest.mark.slow
def test_json_documents_parse_and_follow_their_schemas(doctor):
    env = {"HOME": str(doctor.home), "VELMORA_CERT_DIR": str(doctor.certs)}
    run = functools.partial(run_cli, env=env)
    doctor.paths.ca_key.chmod(0o644)  # one failure, so that both statuses show
    checked = run("doctor", "--json", "--port", str(doctor.port))
    document = json.loads(checked.stdout)
    assert (checked.returncode, checked.stderr, problems(document, DOCTOR)) == (1, "", [])
    assert document["ok"] is False
    failed = [check for check in document["checks"] if check["status"] == "fail"]
    assert [(c["check"], c["fix"], c["details"]) for c in failed] == [
        ("ca-key-mode", NEW_CA, {"path": str(doctor.paths.ca_key), "mode": "0644"})
    ]
    by_name = {check["check"]: check for check in document["checks"]}
    assert by_name["trust"]["details"]["state"] == "trusted"
    assert by_name["port"]["details"] == {"port": doctor.port, "state": "free", "holders": []}

    # certs show makes what is missing: here a new CA for the loose key, told on stderr, never in the document.
    shown = run("certs", "show", "--json")
    document = json.loads(shown.stdout)
    assert (shown.returncode, problems(document, SHOW)) == (0, [])
    assert "the local CA in" in shown.stderr and "Browsers trust the new CA only after" in shown.stderr
    assert document["ca"]["name_constraints"]["critical"] is True
    assert document["server"]["names"] == ["DNS:localhost", "IP:127.0.0.1", "IP:::1"]
    assert [(t["store"], t["state"]) for t in document["trust"]] == [
        (f"NSS database {doctor.nssdb} (Chromium, Chrome)", "absent")
    ]
