"""The trust stores a user's browsers and the spreadsheet host read, and the local CA in them.

Browsers load the add-in from https://localhost only when they trust the CA that
signed its certificate. Each store is changed with the platform's own tool, run as
the user (no root needed):

- Linux: the user's NSS database ~/.pki/nssdb (Chromium, Chrome and the programs
  built on them), made when missing, and every Firefox profile, with `certutil`
  from the NSS tools;
- macOS: the login keychain, with `security`;
- Windows: the user's Root store, with `certutil -user`.

Adding and removing are idempotent: a store that already holds the CA is left as
it is, and removing a CA that is not there is not an error.

Without a person to answer (no terminal, or --no-prompt), nothing may wait on a
password or a confirmation: the stores are made with `prompt=False`, their tools
run with no terminal and no input, and a change that the system would confirm
with the user (the macOS keychain's trust settings, the Windows Root store) is
not tried; it fails at once with the command to run by hand.
"""

from __future__ import annotations

import abc
import hashlib
import re
import shlex
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import NameOID

from .exceptions import AddinLauncherError

# The name the CA is filed under in the NSS databases; the same for every CA this package makes, so a renewed
# CA replaces the previous one instead of piling up beside it.
NSS_NICKNAME = "Velmora Add-in Local CA"
TOOL_TIMEOUT = 60


class TrustStoreError(AddinLauncherError):
    """A trust store could not be read or changed."""


class TrustToolMissing(TrustStoreError):
    """The program that changes a trust store is not installed."""


class TrustStorePrompt(TrustStoreError):
    """The change would ask the user for a password or a confirmation, and nobody is there to answer."""


@dataclass(frozen=True)
class Authority:
    """The CA certificate as the stores identify it."""

    path: Path
    der: bytes
    common_name: str
    serial_hex: str

    @classmethod
    def load(cls, path: Path) -> Authority:
        cert = x509.load_pem_x509_certificate(Path(path).read_bytes())
        names = cert.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
        return cls(
            path=Path(path),
            der=cert.public_bytes(serialization.Encoding.DER),
            common_name=str(names[0].value) if names else "",
            serial_hex=f"{cert.serial_number:x}",
        )

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.der).hexdigest().upper()

    @property
    def sha1(self) -> str:
        return hashlib.sha1(self.der).hexdigest().upper()


def run_tool(argv: list[str], hint: str, prompt: bool = True) -> subprocess.CompletedProcess[str]:
    """Run a store's tool, found on PATH; a missing tool raises TrustToolMissing with `hint`.

    Without `prompt` the tool gets no input and no controlling terminal (a session of its own), so one that
    would ask for a password fails at once instead: certutil, for one, asks on /dev/tty, not on its input.
    """
    program = shutil.which(argv[0])
    if program is None:
        raise TrustToolMissing(f"{argv[0]} not found: {hint}")
    try:
        return subprocess.run(
            [program, *argv[1:]],
            capture_output=True,
            text=True,
            timeout=TOOL_TIMEOUT,
            check=False,
            stdin=None if prompt else subprocess.DEVNULL,
            start_new_session=not prompt,
        )
    except subprocess.TimeoutExpired as error:
        raise TrustStoreError(f"{argv[0]} did not finish within {TOOL_TIMEOUT} s") from error


def _checked(result: subprocess.CompletedProcess[str], what: str) -> subprocess.CompletedProcess[str]:
    if result.returncode != 0:
        said = (result.stderr or result.stdout).strip().splitlines()
        raise TrustStoreError(f"{what} failed (exit {result.returncode}){': ' + said[-1] if said else ''}")
    return result


class TrustStore(abc.ABC):
    """One place a browser reads trusted CAs from.

    `prompt` False: no change may wait on the user (see the module's documentation).
    """

    description = ""
    # What the system asks the user before this store changes, or "" when it asks nothing.
    asks_for = ""
    prompt = True

    @abc.abstractmethod
    def by_hand(self, ca: Authority, adding: bool) -> str:
        """The shell command that adds (or removes) `ca` here, for the user to run."""

    def _confirm_change(self, ca: Authority, adding: bool) -> None:
        """Refuse at once a change the system would confirm with a user who is not there."""
        if self.asks_for and not self.prompt:
            raise TrustStorePrompt(
                f"changing it asks for {self.asks_for}, and nobody can answer here (no terminal, or --no-prompt); "
                f"run by hand: {self.by_hand(ca, adding)}"
            )

    @abc.abstractmethod
    def contains(self, ca: Authority) -> bool:
        """Whether `ca` is trusted here."""

    @abc.abstractmethod
    def add(self, ca: Authority) -> bool:
        """Trust `ca`; False when it was already trusted."""

    @abc.abstractmethod
    def remove(self, ca: Authority) -> bool:
        """Stop trusting `ca`; False when it was not there."""


NSS_HINT = "install the NSS tools (Debian/Ubuntu: apt-get install libnss3-tools; Fedora: dnf install nss-tools)"
_PEM = re.compile(r"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", re.DOTALL)


class NssStore(TrustStore):
    """An NSS certificate database: the user's ~/.pki/nssdb, or a Firefox profile."""

    def __init__(self, directory: Path, description: str, create: bool, prompt: bool = True) -> None:
        self.directory = directory
        self.description = description
        self.create = create
        self.prompt = prompt

    def _argv(self, *args: str) -> list[str]:
        return ["certutil", "-d", f"sql:{self.directory}", *args]

    def _certutil(self, *args: str) -> subprocess.CompletedProcess[str]:
        return run_tool(self._argv(*args), NSS_HINT, self.prompt)

    def by_hand(self, ca: Authority, adding: bool) -> str:
        change = ["-A", "-t", "C,,", "-n", NSS_NICKNAME, "-i", str(ca.path)] if adding else ["-D", "-n", NSS_NICKNAME]
        return shlex.join(self._argv(*change))

    def _exists(self) -> bool:
        return (self.directory / "cert9.db").is_file()

    def _filed(self) -> list[bytes]:
        """DER of every certificate under our nickname."""
        listed = self._certutil("-L", "-n", NSS_NICKNAME, "-a")
        if listed.returncode != 0:
            return []  # certutil's way of saying the nickname is unknown
        return [
            x509.load_pem_x509_certificate(pem.encode()).public_bytes(serialization.Encoding.DER)
            for pem in _PEM.findall(listed.stdout)
        ]

    def contains(self, ca: Authority) -> bool:
        return self._exists() and ca.der in self._filed()

    def add(self, ca: Authority) -> bool:
        if not self._exists():
            if not self.create:
                raise TrustStoreError(f"no NSS database in {self.directory}")
            self.directory.mkdir(parents=True, exist_ok=True, mode=0o700)
            _checked(self._certutil("-N", "--empty-password"), f"creating the NSS database {self.directory}")
        filed = self._filed()
        if ca.der in filed and len(filed) == 1:
            return False
        self._remove_all()  # an earlier CA of ours, replaced by a renewal
        added = self._certutil("-A", "-t", "C,,", "-n", NSS_NICKNAME, "-i", str(ca.path))
        if added.returncode != 0:
            # certutil files the certificate before it sets its trust, which a database with a password
            # refuses: what it filed, without trust, would pass for the CA being trusted.
            self._certutil("-D", "-n", NSS_NICKNAME)
        _checked(added, f"adding the CA to {self.directory}")
        return True

    def remove(self, ca: Authority) -> bool:
        return self._exists() and self._remove_all()

    def _remove_all(self) -> bool:
        removed = False
        # Each deletion takes one certificate of the nickname; a bound keeps a misbehaving tool from looping.
        for _ in range(16):
            if self._certutil("-L", "-n", NSS_NICKNAME).returncode != 0:
                break
            _checked(self._certutil("-D", "-n", NSS_NICKNAME), f"removing the CA from {self.directory}")
            removed = True
        return removed


MAC_HINT = "the security program is part of macOS (/usr/bin/security)"


class MacKeychainStore(TrustStore):
    """The user's login keychain, with trust settings for SSL (macOS asks for the user's password to change them)."""

    asks_for = "your password"

    def __init__(self, keychain: Path, prompt: bool = True) -> None:
        self.keychain = keychain
        self.description = f"login keychain {keychain}"
        self.prompt = prompt

    def _security(self, *args: str) -> subprocess.CompletedProcess[str]:
        return run_tool(["security", *args], MAC_HINT, self.prompt)

    def by_hand(self, ca: Authority, adding: bool) -> str:
        if adding:
            return shlex.join(
                ["security", "add-trusted-cert", "-r", "trustRoot", "-k", str(self.keychain), str(ca.path)]
            )
        return (
            f"{shlex.join(['security', 'remove-trusted-cert', str(ca.path)])} && "
            f"{shlex.join(['security', 'delete-certificate', '-Z', ca.sha1, str(self.keychain)])}"
        )

    def contains(self, ca: Authority) -> bool:
        found = self._security("find-certificate", "-a", "-Z", "-c", ca.common_name, str(self.keychain))
        if found.returncode != 0:
            return False
        hashes = {
            line.split(":", 1)[1].strip().upper()
            for line in found.stdout.splitlines()
            if line.strip().startswith(("SHA-256 hash:", "SHA-1 hash:"))
        }
        return ca.sha256 in hashes or ca.sha1 in hashes

    def add(self, ca: Authority) -> bool:
        if self.contains(ca):
            return False
        self._confirm_change(ca, adding=True)
        _checked(
            self._security("add-trusted-cert", "-r", "trustRoot", "-k", str(self.keychain), str(ca.path)),
            "security add-trusted-cert",
        )
        return True

    def remove(self, ca: Authority) -> bool:
        if not self.contains(ca):
            return False
        self._confirm_change(ca, adding=False)
        _checked(self._security("remove-trusted-cert", str(ca.path)), "security remove-trusted-cert")
        _checked(self._security("delete-certificate", "-Z", ca.sha1, str(self.keychain)), "security delete-certificate")
        return True


WINDOWS_HINT = "certutil.exe is part of Windows (C:\\Windows\\System32)"


class WindowsRootStore(TrustStore):
    """The current user's trusted root store (Windows asks the user to confirm an addition or a removal)."""

    description = "Windows user Root store"
    asks_for = "a confirmation in a dialog"

    def __init__(self, prompt: bool = True) -> None:
        self.prompt = prompt

    def _certutil(self, *args: str) -> subprocess.CompletedProcess[str]:
        return run_tool(["certutil", "-user", *args], WINDOWS_HINT, self.prompt)

    def by_hand(self, ca: Authority, adding: bool) -> str:
        change = ["-addstore", "Root", str(ca.path)] if adding else ["-delstore", "Root", ca.serial_hex]
        return subprocess.list2cmdline(["certutil", "-user", *change])

    def contains(self, ca: Authority) -> bool:
        return self._certutil("-store", "Root", ca.serial_hex).returncode == 0

    def add(self, ca: Authority) -> bool:
        if self.contains(ca):
            return False
        self._confirm_change(ca, adding=True)
        _checked(self._certutil("-addstore", "Root", str(ca.path)), "certutil -user -addstore")
        return True

    def remove(self, ca: Authority) -> bool:
        if not self.contains(ca):
            return False
        self._confirm_change(ca, adding=False)
        _checked(self._certutil("-delstore", "Root", ca.serial_hex), "certutil -user -delstore")
        return True


def firefox_profiles(home: Path) -> list[Path]:
    """Firefox profiles of the user that have a certificate database (classic and snap installs)."""
    found = []
    for base in (home / ".mozilla" / "firefox", home / "snap" / "firefox" / "common" / ".mozilla" / "firefox"):
        if base.is_dir():
            found += sorted(p for p in base.iterdir() if (p / "cert9.db").is_file())
    return found


def stores_for(platform: str | None = None, home: Path | None = None, prompt: bool = True) -> list[TrustStore]:
    """The stores `certs trust` changes on `platform` (default: this one) for the user whose home is `home`;
    without `prompt`, none of them waits on the user."""
    platform = sys.platform if platform is None else platform
    home = Path.home() if home is None else home
    if platform == "win32":
        return [WindowsRootStore(prompt)]
    if platform == "darwin":
        return [MacKeychainStore(home / "Library" / "Keychains" / "login.keychain-db", prompt)]
    nssdb = home / ".pki" / "nssdb"
    stores: list[TrustStore] = [NssStore(nssdb, f"NSS database {nssdb} (Chromium, Chrome)", True, prompt)]
    stores += [NssStore(p, f"Firefox profile {p}", False, prompt) for p in firefox_profiles(home)]
    return stores


def system_wide_hint(platform: str | None, ca_path: Path) -> str:
    """The command that would trust the CA for every user; it needs root, so it is only shown."""
    platform = sys.platform if platform is None else platform
    if platform == "win32":
        return f"certutil -addstore Root {ca_path}   (from an administrator prompt)"
    if platform == "darwin":
        return f"sudo security add-trusted-cert -d -r trustRoot -k /Library/Keychains/System.keychain {ca_path}"
    return (
        f"sudo cp {ca_path} /usr/local/share/ca-certificates/velmora-addin-local-ca.crt && sudo update-ca-certificates"
    )


NODE_CA_ENV = "NODE_EXTRA_CA_CERTS"


def node_hint(platform: str | None, ca_path: Path) -> str:
    """How to make Node.js trust the CA: it reads none of the stores above, only its own list and this variable."""
    platform = sys.platform if platform is None else platform
    if platform == "win32":
        setting = f'set {NODE_CA_ENV}={ca_path}   (cmd; PowerShell: $env:{NODE_CA_ENV}="{ca_path}")'
    else:
        setting = f"export {NODE_CA_ENV}={shlex.quote(str(ca_path))}"
    return f"Node.js trusts none of these stores; start it with {NODE_CA_ENV} naming the CA: {setting}"
