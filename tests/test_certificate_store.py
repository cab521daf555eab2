"""The certificate store: private folders and keys, a name-constrained CA, renewal."""

import contextlib
import datetime as dt
import errno
import fcntl
import functools
import ipaddress
import itertools
import json
import logging
import os
import signal
import socket
import ssl
import stat
import subprocess
import sys
import threading

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from helpers import ROOT, unconstrained_ca
from velmora_master.addin_launcher import certificate_manager as cm
from velmora_master.addin_launcher import store_lock
from velmora_master.addin_launcher.exceptions import CertificateStoreError

OTHER_UID = 54321


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


def load(path):
    return x509.load_pem_x509_certificate(path.read_bytes())


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o277])
def test_folders_and_keys_are_private_whatever_the_umask(tmp_path, umask):
    store = tmp_path / "a" / "b" / "certs"
    previous = os.umask(umask)
    try:
        paths = cm.CertificateManager(store).ensure_certificates()
    finally:
        os.umask(previous)
    assert [mode(p) for p in (tmp_path / "a", tmp_path / "a" / "b", store)] == [0o700] * 3
    assert (mode(paths.ca_key), mode(paths.server_key)) == (0o600, 0o600)
    assert (mode(paths.ca_cert), mode(paths.server_cert), mode(store / ".lock")) == (0o644, 0o644, 0o600)
    assert sorted(p.name for p in store.iterdir()) == [".lock", "ca.crt", "ca.key", "server.crt", "server.key"]


def test_keys_are_private_from_their_first_byte(tmp_path, monkeypatch):
    # Look at every file the store creates at the moment it is created, before anything is written.
    created = []
    real_open = os.open

    def watching_open(path, flags, mode=0o777, **kwargs):
        fd = real_open(path, flags, mode, **kwargs)
        if flags & os.O_CREAT and os.path.basename(path) != ".lock":  # the lock file is empty, and may exist
            created.append(
                (
                    os.path.dirname(path),
                    os.fstat(fd).st_size,
                    stat.S_IMODE(os.fstat(fd).st_mode),
                    bool(flags & os.O_EXCL),
                )
            )
        return fd

    monkeypatch.setattr(cm.os, "open", watching_open)
    previous = os.umask(0)
    try:
        cm.CertificateManager(tmp_path / "certs").ensure_certificates()
    finally:
        os.umask(previous)
    keys = [entry for entry in created if entry[2] == 0o600]
    assert len(created) == 4 and len(keys) == 2
    assert all(entry == (str(tmp_path / "certs"), 0, entry[2], True) for entry in created)


def test_ca_is_name_constrained_and_server_names_fit(tmp_path):
    paths = cm.CertificateManager(tmp_path).ensure_certificates()
    constraints = load(paths.ca_cert).extensions.get_extension_for_class(x509.NameConstraints)
    assert constraints.critical
    assert set(constraints.value.permitted_subtrees) == {
        x509.DNSName("localhost"),
        x509.IPAddress(ipaddress.ip_network("127.0.0.1/32")),
        x509.IPAddress(ipaddress.ip_network("::1/128")),
    }
    assert constraints.value.excluded_subtrees is None
    names = load(paths.server_cert).extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    assert names.get_values_for_type(x509.DNSName) == ["localhost"]
    assert [str(ip) for ip in names.get_values_for_type(x509.IPAddress)] == ["127.0.0.1", "::1"]


def _certificate_for(name: str, paths):
    """A server certificate for `name`, signed with the CA's own key: what a stolen CA key could mint.

    Valid in every other respect, so the name constraints are the only reason to refuse it."""
    ca_key = serialization.load_pem_private_key(paths.ca_key.read_bytes(), password=None)
    ca = load(paths.ca_cert)
    key = ec.generate_private_key(ec.SECP256R1())
    now = dt.datetime.now(dt.UTC)
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
        .issuer_name(ca.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - dt.timedelta(minutes=5))
        .not_valid_after(now + dt.timedelta(days=30))
        .add_extension(x509.SubjectAlternativeName([x509.DNSName(name)]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    return cert, key


def _handshake(paths, cert_path, key_path, server_hostname):
    """Connect with a client that trusts only the CA; None on success, else the verification error."""
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert_path, key_path)
    client_context = ssl.create_default_context(cafile=str(paths.ca_cert))
    with socket.create_server(("127.0.0.1", 0)) as listener:

        def serve():
            conn, _ = listener.accept()
            try:
                with server_context.wrap_socket(conn, server_side=True) as tls:
                    tls.sendall(b"ok")
            except ssl.SSLError, OSError:
                pass

        thread = threading.Thread(target=serve)
        thread.start()
        try:
            with (
                socket.create_connection(listener.getsockname()) as raw,
                client_context.wrap_socket(raw, server_hostname=server_hostname) as tls,
            ):
                assert tls.recv(2) == b"ok"
            return None
        except ssl.SSLCertVerificationError as error:
            return error
        finally:
            thread.join()


def test_the_ca_key_cannot_vouch_for_another_name(tmp_path):
    paths = cm.CertificateManager(tmp_path / "certs").ensure_certificates()
    cert, key = _certificate_for("example.com", paths)
    foreign_cert, foreign_key = tmp_path / "example.crt", tmp_path / "example.key"
    cm._write_pair(foreign_cert, foreign_key, cert, key)

    def openssl_verify(path):
        return subprocess.run(
            ["openssl", "verify", "-CAfile", str(paths.ca_cert), str(path)], capture_output=True, text=True, check=False
        )

    assert openssl_verify(paths.server_cert).returncode == 0
    refused = openssl_verify(foreign_cert)
    assert refused.returncode != 0 and "permitted subtree violation" in refused.stdout + refused.stderr

    assert _handshake(paths, paths.server_cert, paths.server_key, "localhost") is None
    error = _handshake(paths, foreign_cert, foreign_key, "example.com")
    assert error is not None and "permitted subtree violation" in str(error)


def test_renew(tmp_path):
    manager = cm.CertificateManager(tmp_path)
    paths = manager.ensure_certificates()
    files = (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key)
    first = [p.read_bytes() for p in files]
    manager.renew()
    second = [p.read_bytes() for p in files]
    assert [a == b for a, b in zip(first, second, strict=True)] == [True, True, False, False]
    manager.renew(ca=True)
    third = [p.read_bytes() for p in files]
    assert not any(a == b for a, b in zip(second, third, strict=True))
    load(paths.server_cert).verify_directly_issued_by(load(paths.ca_cert))


def _folder_at(name):
    return lambda store, *_: (store / name / "inside").mkdir(parents=True)


def _os_fails(function, error_number, store_exists=True):
    """A file system that answers `function` of module os with `error_number` (`open` only where it would
    create a file), as one in that state does."""

    def arrange(store, monkeypatch, stack):
        if store_exists:
            store.mkdir(mode=0o700, parents=True)
        real = getattr(os, function)

        def failing(target, *args, **kwargs):
            if function == "open" and not args[0] & os.O_CREAT:
                return real(target, *args, **kwargs)
            raise OSError(error_number, os.strerror(error_number), target)

        monkeypatch.setattr(os, function, failing)

    return arrange


def _lock_held(store, monkeypatch, stack):
    store.mkdir(mode=0o700, parents=True)
    holder = os.open(store / ".lock", os.O_RDWR | os.O_CREAT, 0o600)  # another open file: another holder
    stack.callback(os.close, holder)
    fcntl.flock(holder, fcntl.LOCK_EX)
    monkeypatch.setattr(store_lock, "WAIT_LIMIT", 0.2)


def _no_locks(store, monkeypatch, stack):
    def flock(fd, operation):
        raise OSError(errno.ENOLCK, os.strerror(errno.ENOLCK))

    monkeypatch.setattr(fcntl, "flock", flock)


def _folder_others_control(mode, owner=-1):
    def arrange(store, monkeypatch, stack):
        store.mkdir(mode=0o700, parents=True)
        if owner != -1 and os.geteuid() != 0:
            pytest.skip("giving a folder to another user needs root")
        os.chown(store, owner, -1)
        store.chmod(mode)

    return arrange


FOLDER_FOR_FILE = "a folder stands where a file should be"
OTHERS_WRITE = "{store} is writable by group or others (mode 0{mode:o}); make it private: chmod 700 {store}"
# The fault arranged in or around the store folder, and what the error must say.
STORE_FAILURES = {
    "folder writable by its group": (_folder_others_control(0o770), "certificate folder " + OTHERS_WRITE),
    "folder writable by others": (_folder_others_control(0o702), "certificate folder " + OTHERS_WRITE),
    "folder of another user": (
        _folder_others_control(0o700, OTHER_UID),
        f"certificate folder {{store}} is owned by uid {OTHER_UID}, not by you",
    ),
    "file above the store": (lambda store, *_: store.parent.write_text(""), "{store.parent} is a file where a folder"),
    "file as the store": (lambda store, *_: (store.parent.mkdir(), store.write_text("")), "{store} is a file where"),
    "folder as a certificate": (_folder_at("ca.crt"), "cannot write {store}/ca.crt: " + FOLDER_FOR_FILE),
    "folder as a key": (_folder_at("server.key"), "cannot write {store}/server.key: " + FOLDER_FOR_FILE),
    "folder as the lock file": (_folder_at(".lock"), "cannot open the lock file {store}/.lock: " + FOLDER_FOR_FILE),
    "full disk": (_os_fails("fsync", errno.ENOSPC), "cannot write {store}/ca.key: the disk is full (No space left"),
    "read-only store": (_os_fails("open", errno.EROFS), "cannot write {store}/ca.crt: the store is read-only (Read"),
    "read-only parent": (
        _os_fails("mkdir", errno.EROFS, store_exists=False),
        "cannot create the folder {store.parent}: the store is read-only",
    ),
    "lock held too long": (_lock_held, "another process has held the lock {store}/.lock for more than 0.2 s"),
    "no locks on its file system": (_no_locks, "cannot lock {store}/.lock: No locks available"),
}


@pytest.mark.parametrize(("arrange", "expected"), STORE_FAILURES.values(), ids=STORE_FAILURES.keys())
def test_every_store_failure_names_the_path_and_the_cause(tmp_path, monkeypatch, arrange, expected):
    store = tmp_path / "parent" / "certs"
    with contextlib.ExitStack() as stack:
        arrange(store, monkeypatch, stack)
        with pytest.raises(CertificateStoreError) as raised:
            cm.CertificateManager(store).ensure_certificates()
    assert expected.format(store=store, mode=store.stat().st_mode & 0o777 if store.exists() else 0) in str(raised.value)
    if store.is_dir():  # no half-written file is left behind; nothing at all in a folder refused
        assert [p.name for p in store.iterdir() if p.name.startswith(".") and p.name != ".lock"] == []
        assert not expected.startswith("certificate folder") or list(store.iterdir()) == []


def test_a_read_only_store_that_holds_everything_is_used(tmp_path, monkeypatch):
    manager = cm.CertificateManager(tmp_path / "certs")
    paths = manager.ensure_certificates()
    (tmp_path / "certs" / ".lock").unlink()  # as in a store made before there was a lock
    before = {p: p.read_bytes() for p in (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key)}
    _os_fails("open", errno.EROFS, store_exists=False)(paths.ca_cert.parent, monkeypatch, None)
    assert manager.ensure_certificates() == paths
    assert {p: p.read_bytes() for p in before} == before


def _at_call(function, number, error=None):
    """os.`function` raises `error` in place of its call `number`; without one, that call is made and then SIGUSR1
    arrives (the test's handler raises KeyboardInterrupt, as the command line's handlers raise their own)."""

    def arrange(monkeypatch):
        real, calls = getattr(os, function), itertools.count(1)

        def patched(*args, **kwargs):
            if next(calls) != number:
                return real(*args, **kwargs)
            if error is not None:
                raise error
            real(*args, **kwargs)
            signal.raise_signal(signal.SIGUSR1)

        monkeypatch.setattr(os, function, patched)

    return arrange


# A new CA pair (its key written first, then its certificate) meets a fault on its way over the stored one: what
# arranges it, the error it must then name (else it is interrupted), and whether the new pair is in place after.
PAIR_FAULTS = {
    "disk full at the certificate": (
        _at_call("fsync", 2, OSError(errno.ENOSPC, "No space left on device")),
        "ca.crt: the disk is full",
        False,
    ),
    "interrupted once the key is written": (_at_call("open", 2, KeyboardInterrupt()), None, False),
    "a signal as the first file takes its place": (_at_call("replace", 1), None, True),
}


@pytest.mark.parametrize(("arrange", "error", "new_in_place"), PAIR_FAULTS.values(), ids=PAIR_FAULTS.keys())
def test_a_pair_takes_its_place_whole_or_not_at_all(tmp_path, monkeypatch, arrange, error, new_in_place):
    paths = cm.CertificateManager(tmp_path).ensure_certificates()
    old, new = load(paths.ca_cert), cm._make_ca()
    previous = signal.signal(signal.SIGUSR1, signal.default_int_handler)
    try:
        arrange(monkeypatch)
        with pytest.raises(CertificateStoreError if error else KeyboardInterrupt, match=error):
            cm._write_pair(paths.ca_cert, paths.ca_key, *new)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    stored = cm._load_pair(paths.ca_cert, paths.ca_key)  # None: the key is not the certificate's
    assert stored is not None and stored[0] == (new[0] if new_in_place else old)
    assert sorted(p.name for p in tmp_path.iterdir()) == [".lock", "ca.crt", "ca.key", "server.crt", "server.key"]


def _later(lifetime, margin=dt.timedelta(0)):
    """The store's clock moved on by `lifetime` less `margin`: a certificate of that lifetime is (nearly) expired."""

    def spoil(paths, monkeypatch):
        later = dt.datetime.now(dt.UTC) + lifetime - margin
        monkeypatch.setattr(cm, "_now", lambda: later)

    return spoil


def _owned_by_another(name):
    def spoil(paths, monkeypatch):
        if os.geteuid() != 0:
            pytest.skip("giving a file to another user needs root")
        os.chown(paths.ca_cert.parent / name, OTHER_UID, -1)

    return spoil


R = cm.ReplacementReason
CA_PAIR, SERVER_PAIR = {"ca.crt", "ca.key"}, {"server.crt", "server.key"}
# What spoils a store that holds everything (None: `renew(ca=True)` is asked for), the files the next use
# replaces, and for a new CA why and at which level it is logged. A new CA takes a new server certificate with
# it; a new server pair leaves the CA alone.
REPLACEMENTS = {
    "server key missing": (lambda paths, mp: paths.server_key.unlink(), SERVER_PAIR, None, None),
    "server certificate damaged": (lambda paths, mp: paths.server_cert.write_text("x"), SERVER_PAIR, None, None),
    "server key of another pair": (
        lambda paths, mp: paths.server_key.write_bytes(paths.ca_key.read_bytes()),
        SERVER_PAIR,
        None,
        None,
    ),
    "server certificate expiring": (_later(cm.SERVER_LIFETIME, dt.timedelta(days=10)), SERVER_PAIR, None, None),
    "server key others could read": (lambda paths, mp: paths.server_key.chmod(0o640), SERVER_PAIR, None, None),
    "server key of another user": (_owned_by_another("server.key"), SERVER_PAIR, None, None),
    "CA key others could read": (
        lambda paths, mp: paths.ca_key.chmod(0o640),
        CA_PAIR | SERVER_PAIR,
        R.EXPOSED_KEY,
        logging.WARNING,
    ),
    "CA without name constraints": (
        lambda paths, mp: unconstrained_ca(paths),
        CA_PAIR | SERVER_PAIR,
        R.UNCONSTRAINED,
        logging.WARNING,
    ),
    "CA expired": (_later(cm.CA_LIFETIME), CA_PAIR | SERVER_PAIR, R.EXPIRING, logging.WARNING),
    "CA certificate damaged": (
        lambda paths, mp: paths.ca_cert.write_text("x"),
        CA_PAIR | SERVER_PAIR,
        R.DAMAGED,
        logging.WARNING,
    ),
    "new CA asked for": (None, CA_PAIR | SERVER_PAIR, R.REQUESTED, logging.INFO),
}


@pytest.mark.parametrize(("spoil", "replaced", "reason", "level"), REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_what_is_spoiled_is_replaced_and_a_new_ca_is_told(
    tmp_path, monkeypatch, caplog, spoil, replaced, reason, level
):
    manager = cm.CertificateManager(tmp_path / "certs")
    paths = manager.ensure_certificates()
    assert manager.ca_replacement is None  # the first CA replaces nothing
    files = {p.name: p for p in (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key)}
    made = {name: path.read_bytes() for name, path in files.items()}
    assert manager.ensure_certificates() == paths and {n: p.read_bytes() for n, p in files.items()} == made  # kept
    if spoil is not None:
        spoil(paths, monkeypatch)
    previous = cm._readable_certificate(paths.ca_cert)
    with caplog.at_level(logging.INFO, logger=cm.__name__):
        manager.ensure_certificates() if spoil is not None else manager.renew(ca=True)
    assert {name for name, path in files.items() if path.read_bytes() != made[name]} == replaced
    assert all(mode(key) == 0o600 and key.stat().st_uid == os.getuid() for key in (paths.ca_key, paths.server_key))
    server = load(paths.server_cert)
    server.verify_directly_issued_by(load(paths.ca_cert))
    names = server.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    assert names.get_values_for_type(x509.DNSName) == ["localhost"]
    assert [str(ip) for ip in names.get_values_for_type(x509.IPAddress)] == ["127.0.0.1", "::1"]
    assert cm._constrained(load(paths.ca_cert))
    if reason is None:
        assert manager.ca_replacement is None
    else:
        assert manager.ca_replacement == cm.CaReplacement(reason, previous)
        assert previous is None or load(paths.ca_cert) != previous
        said = [(r.levelno, str(tmp_path / "certs") in r.getMessage()) for r in caplog.records]
        assert said == [(level, True)]
        assert level == logging.INFO or reason in caplog.records[0].getMessage()
    manager.ensure_certificates()
    assert manager.ca_replacement is None  # a kept CA: nothing to tell any more


# One caller of the concurrency test, a process of its own: for every store folder read from its input, it
# ensures the certificates and answers with what it then finds there, as one JSON line. With
# VELMORA_TEST_STORE_UNLOCKED set it takes no lock: tools/lock_selfcheck.sh proves so that the test catches
# the race the lock prevents.
STORE_CALLER = """
import contextlib, json, os, sys
from velmora_master.addin_launcher import certificate_manager as cm

if os.environ.get("VELMORA_TEST_STORE_UNLOCKED"):
    cm.store_lock = lambda folder: contextlib.nullcontext()
for line in sys.stdin:
    manager = cm.CertificateManager(line.strip())
    try:
        paths = manager.ensure_certificates()
        answer = {name: getattr(paths, name).read_text() for name in ("ca_cert", "server_cert", "server_key")}
        answer["replaced"] = manager.ca_replacement is not None
    except Exception as error:
        answer = {"error": repr(error)}
    print(json.dumps(answer), flush=True)
"""
CALLERS, ROUNDS = 8, 20
STORE_FILES = {"ca_cert": "ca.crt", "server_cert": "server.crt", "server_key": "server.key"}


def _answer_fault(line, stored, scratch):
    """What is wrong with one caller's answer, or None."""
    answer = json.loads(line)
    if "error" in answer:
        return answer["error"]
    files = {name: answer[name] for name in STORE_FILES}
    cert = x509.load_pem_x509_certificate(files["server_cert"].encode())
    key = serialization.load_pem_private_key(files["server_key"].encode(), password=None)
    if key.public_key() != cert.public_key():
        return "its key does not match its certificate"
    for name, text in files.items():
        (scratch / STORE_FILES[name]).write_text(text)
    verified = subprocess.run(
        ["openssl", "verify", "-CAfile", str(scratch / "ca.crt"), str(scratch / "server.crt")],
        capture_output=True,
        text=True,
        check=False,
    )
    if verified.returncode != 0:
        return f"openssl verify: {verified.stdout.strip()} {verified.stderr.strip()}"
    if files != stored:
        return "the store was changed after it returned"
    return None


@pytest.mark.slow
def test_eight_processes_at_once_all_get_the_one_consistent_store(tmp_path):
    """A slow test of real processes (a few seconds): 20 rounds of 8 callers at once, on an empty store (even
    rounds) or on one whose CA key is loose (odd rounds), where exactly one of them must replace the CA."""
    callers = [
        subprocess.Popen(
            [sys.executable, "-c", STORE_CALLER],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env={**os.environ, "PYTHONPATH": str(ROOT)},
        )
        for _ in range(CALLERS)
    ]
    # A caller that hangs is killed: its missing answer fails the round instead of hanging the suite.
    watchdog = threading.Timer(120, lambda: [caller.kill() for caller in callers])
    watchdog.start()
    faults, wrong_answers = {}, 0
    try:
        for number in range(ROUNDS):
            store, scratch = tmp_path / f"round-{number}", tmp_path / f"check-{number}"
            scratch.mkdir()
            stale = number % 2 == 1
            if stale:
                cm.CertificateManager(store).ensure_certificates()
                (store / "ca.key").chmod(0o640)
            for caller in callers:
                caller.stdin.write(f"{store}\n")
                caller.stdin.flush()
            answers = [caller.stdout.readline() or '{"error": "no answer"}' for caller in callers]
            stored = {name: (store / file).read_text() for name, file in STORE_FILES.items()}
            # Each distinct answer is judged once: with the lock, all eight are the same.
            judge = functools.cache(functools.partial(_answer_fault, stored=stored, scratch=scratch))
            round_faults = [fault for answer in answers if (fault := judge(answer))]
            wrong_answers += len(round_faults)
            replaced = sum(json.loads(answer).get("replaced", False) for answer in answers)
            if replaced != stale:
                round_faults.append(f"{replaced} callers replaced the CA, not {int(stale)}")
            if round_faults:
                faults[number] = round_faults
    finally:
        watchdog.cancel()
        for caller in callers:
            caller.stdin.close()
            caller.wait(timeout=10)
            caller.stdout.close()
    assert not faults, (
        f"{len(faults)} of {ROUNDS} rounds inconsistent ({wrong_answers} of {ROUNDS * CALLERS} answers wrong): "
        + "; ".join(f"round {number}: {', '.join(sorted(set(found)))}" for number, found in faults.items())
    )
