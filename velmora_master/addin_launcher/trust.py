"""The trust stores a user's browsers and the spreadsheet host read, and the local CA in them.

Browsers load the add-in from https://localhost only when they trust the CA that
signed its certificate. Each store is changed with the platform's own tool, run as
the user (no root needed):

- Linux: the user's NSS database ~/.pki/nssdb (Chromium, Chrome and the programs
  built on them), made when missing, and every Firefox profile, with `certutil`
  from the NSS tools;
- macOS: the login keychain, with `security`;
- Windows: the user's Root store, with `certutil -user`.

Adding and removing are idempotent: a store that already trusts the CA for servers
is left as it is (one that holds it without that trust has it trusted again), and
removing a CA that is not there is not an error.

Reading whether a store trusts the CA (`read_trust`) changes nothing: it reads the
store's own trust flags or settings, since a CA can be there and still not be
trusted to vouch for servers.

Without a person to answer (no terminal, or --no-prompt), nothing may wait on a
password or a confirmation: the stores are made with `prompt=False`, their tools
run with no terminal and no input, and a change that the system would confirm
with the user (the macOS keychain's trust settings, the Windows Root store) is
not tried; it fails at once with the command to run by hand.
"""

from __future__ import annotations

import abc
import enum
import hashlib
import itertools
import plistlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

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


class TrustState(enum.StrEnum):
    """What a store says of the CA; the value completes "the CA is ..."."""

    TRUSTED = "trusted for server authentication"
    NOT_TRUSTED = "there, but not trusted for server authentication"
    ABSENT = "not there"


class TrustReading(NamedTuple):
    """A store's answer about the CA, with what its flags or settings say (empty when there is nothing to say)."""

    state: TrustState
    detail: str = ""


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

    def _confirm_change(self, ca: Authority, *steps: bool) -> None:
        """Refuse at once a change the system would confirm with a user who is not there; `steps` are what the
        change does, in order (True: add, False: remove), for the command to run by hand."""
        if self.asks_for and not self.prompt:
            raise TrustStorePrompt(
                f"changing it asks for {self.asks_for}, and nobody can answer here (no terminal, or --no-prompt); "
                f"run by hand: {' && '.join(self.by_hand(ca, adding) for adding in steps)}"
            )

    @abc.abstractmethod
    def contains(self, ca: Authority) -> bool:
        """Whether `ca` is trusted here."""

    @abc.abstractmethod
    def read_trust(self, ca: Authority) -> TrustReading:
        """Whether `ca` is here and trusted to vouch for servers, read from the store's trust flags; changes nothing."""

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

    def read_trust(self, ca: Authority) -> TrustReading:
        if not self._exists():
            return TrustReading(TrustState.ABSENT, f"no NSS database in {self.directory}")
        listed = self._certutil("-L", "-n", NSS_NICKNAME)
        if listed.returncode != 0:
            if "could not find cert" in listed.stderr.lower():
                return TrustReading(TrustState.ABSENT)
            _checked(listed, f"reading {self.directory}")
        for fingerprint, ssl_flags in _nss_entries(listed.stdout):
            if fingerprint == ca.sha256:
                # "Trusted CA" is the SSL flag C: a CA trusted to issue servers' certificates.
                state = TrustState.TRUSTED if "Trusted CA" in ssl_flags else TrustState.NOT_TRUSTED
                return TrustReading(state, f"SSL flags: {', '.join(ssl_flags) or 'none'}")
        return TrustReading(TrustState.ABSENT, f"another CA is filed as {NSS_NICKNAME!r} (an earlier one)")

    def add(self, ca: Authority) -> bool:
        if not self._exists():
            if not self.create:
                raise TrustStoreError(f"no NSS database in {self.directory}")
            self.directory.mkdir(parents=True, exist_ok=True, mode=0o700)
            _checked(self._certutil("-N", "--empty-password"), f"creating the NSS database {self.directory}")
        # Filed but not trusted for servers (its flags changed, or an add that failed half-way) is not trusted.
        if self._filed() == [ca.der] and self.read_trust(ca).state is TrustState.TRUSTED:
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


def _nss_entries(listing: str) -> list[tuple[str, list[str]]]:
    """(SHA-256 fingerprint, SSL trust flags) of each certificate `certutil -L -n NAME` describes."""
    entries = []
    for block in re.split(r"^Certificate:$", listing, flags=re.MULTILINE)[1:]:
        lines = block.splitlines()
        fingerprint, flags = "", []
        for number, line in enumerate(lines):
            title = line.strip()
            if title == "Fingerprint (SHA-256):":
                digits = itertools.takewhile(lambda part: re.fullmatch(r"\s*[0-9A-F:]+", part), lines[number + 1 :])
                fingerprint = "".join(part.strip() for part in digits).replace(":", "")
            elif title == "SSL Flags:":
                depth = len(line) - len(line.lstrip())
                for flag in lines[number + 1 :]:
                    if not flag.strip() or len(flag) - len(flag.lstrip()) <= depth:
                        break
                    flags.append(flag.strip())
        entries.append((fingerprint, flags))
    return entries


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

    def read_trust(self, ca: Authority) -> TrustReading:
        if not self.contains(ca):
            return TrustReading(TrustState.ABSENT)
        # The user's trust settings, keyed by each certificate's SHA-1, exported to a file of our own.
        with tempfile.TemporaryDirectory(prefix="velmora-trust-") as scratch:
            exported = Path(scratch) / "trust-settings.plist"
            result = self._security("trust-settings-export", str(exported))
            if result.returncode != 0:
                if "no trust settings" in (result.stderr + result.stdout).lower():
                    return TrustReading(TrustState.NOT_TRUSTED, "this user has no trust settings at all")
                _checked(result, "security trust-settings-export")
            try:
                exported_settings = plistlib.loads(exported.read_bytes())
            except (OSError, plistlib.InvalidFileException, ValueError) as error:
                raise TrustStoreError(f"security trust-settings-export wrote no readable settings ({error})") from error
        entry = exported_settings.get("trustList", {}).get(ca.sha1)
        return _mac_verdict(None if entry is None else entry.get("trustSettings"))

    def add(self, ca: Authority) -> bool:
        # There without trust settings for SSL, or with ones that deny it, is not trusted: add-trusted-cert sets
        # them anew, and leaves a certificate the keychain already holds where it is.
        if self.read_trust(ca).state is TrustState.TRUSTED:
            return False
        self._confirm_change(ca, True)
        _checked(
            self._security("add-trusted-cert", "-r", "trustRoot", "-k", str(self.keychain), str(ca.path)),
            "security add-trusted-cert",
        )
        return True

    def remove(self, ca: Authority) -> bool:
        if not self.contains(ca):
            return False
        self._confirm_change(ca, False)
        _checked(self._security("remove-trusted-cert", str(ca.path)), "security remove-trusted-cert")
        _checked(self._security("delete-certificate", "-Z", ca.sha1, str(self.keychain)), "security delete-certificate")
        return True


# The SSL policy's object identifier (1.2.840.113635.100.1.3) as trust settings hold it: its DER content.
MAC_SSL_POLICY = bytes.fromhex("2A864886F763640103")
_MAC_TRUST_ROOT, _MAC_TRUST_AS_ROOT, _MAC_DENY = 1, 2, 3


def _mac_verdict(settings: list[dict[str, object]] | None) -> TrustReading:
    """What the trust settings of one certificate say for SSL servers.

    None: no settings, so the certificate is only as good as a CA above it, which a root does not have. An empty
    list: trusted for everything. Otherwise the settings that apply to SSL (no policy, or the SSL policy) and are
    not narrowed to one application or host name decide: a denial wins, else a trust-as-root result trusts.
    """
    if settings is None:
        return TrustReading(TrustState.NOT_TRUSTED, "it has no trust settings")
    if not settings:
        return TrustReading(TrustState.TRUSTED, "trusted for every use")
    results = set()
    for setting in settings:
        policy = setting.get("kSecTrustSettingsPolicy")
        narrowed = "kSecTrustSettingsApplication" in setting or "kSecTrustSettingsPolicyString" in setting
        if policy in (None, MAC_SSL_POLICY) and not narrowed:
            results.add(setting.get("kSecTrustSettingsResult", _MAC_TRUST_ROOT))  # trust as root when unsaid
    if _MAC_DENY in results:
        return TrustReading(TrustState.NOT_TRUSTED, "its trust settings deny it for SSL")
    if results & {_MAC_TRUST_ROOT, _MAC_TRUST_AS_ROOT}:
        return TrustReading(TrustState.TRUSTED, "its trust settings trust it as a root for SSL")
    return TrustReading(TrustState.NOT_TRUSTED, "its trust settings do not trust it for SSL")


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

    def read_trust(self, ca: Authority) -> TrustReading:
        shown = self._certutil("-v", "-store", "Root", ca.serial_hex)
        if shown.returncode != 0:
            return TrustReading(TrustState.ABSENT)
        # A root is trusted for every purpose unless the store narrows its purposes (its usage property).
        purposes = _windows_purposes(shown.stdout)
        if purposes is None:
            return TrustReading(TrustState.TRUSTED, "no purposes set aside")
        if SERVER_AUTH_OID in purposes:
            return TrustReading(TrustState.TRUSTED, "its purposes include server authentication")
        return TrustReading(TrustState.NOT_TRUSTED, "its purposes leave out server authentication")

    def add(self, ca: Authority) -> bool:
        state = self.read_trust(ca).state
        if state is TrustState.TRUSTED:
            return False
        # There with purposes that leave out server authentication is not trusted, and -addstore leaves a
        # certificate the store holds as it is, purposes and all: it is taken out first, to come back with none
        # set aside.
        steps = (False, True) if state is TrustState.NOT_TRUSTED else (True,)
        self._confirm_change(ca, *steps)
        if state is TrustState.NOT_TRUSTED:
            _checked(self._certutil("-delstore", "Root", ca.serial_hex), "certutil -user -delstore")
        _checked(self._certutil("-addstore", "Root", str(ca.path)), "certutil -user -addstore")
        return True

    def remove(self, ca: Authority) -> bool:
        if not self.contains(ca):
            return False
        self._confirm_change(ca, False)
        _checked(self._certutil("-delstore", "Root", ca.serial_hex), "certutil -user -delstore")
        return True


SERVER_AUTH_OID = "1.3.6.1.5.5.7.3.1"


def _windows_purposes(listing: str) -> set[str] | None:
    """The object identifiers of the purposes `certutil -v` lists under the usage property; None without one."""
    lines = listing.splitlines()
    for number, line in enumerate(lines):
        if "CERT_ENHKEY_USAGE_PROP_ID" in line:
            depth = len(line) - len(line.lstrip())
            purposes = set()
            for entry in lines[number + 1 :]:
                if not entry.strip() or len(entry) - len(entry.lstrip()) <= depth:
                    break
                purposes.update(re.findall(r"\((\d+(?:\.\d+)+)\)", entry))
            return purposes
    return None


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
