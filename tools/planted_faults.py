"""Proves the test suite bites: plants one known fault at a time in a copy of the tree and counts the tests
that catch it.

    python tools/planted_faults.py [--at REV] [--only NAME ...] [--list]

Each fault is a small edit of the product (a wrong message, a lost late binding, a missing SIGKILL, ...). For
each, a detached worktree of REV (default HEAD) is made, the edit applied, the module built and the whole suite
run, on the release interpreter or, for a reference leak, on the debug one (its output kept in
build/planted-faults/NAME.log). The table printed at the end gives
how many tests failed or errored with each fault in place. A fault that nothing catches is 0, and the run then
exits 1, as it does when the control row, the tree without any fault, has a failure.

A fault may be planted in several ways (the code it edits moved between versions): the first way whose every
edit finds its text exactly once in REV's tree is used, so the same table can be made for an older tree and a
newer one.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@dataclass(frozen=True)
class Fault:
    name: str
    what: str
    path: str
    ways: tuple[tuple[tuple[str, str], ...], ...]  # each way: its edits, (text in the tree, text that replaces it)
    debug: bool = False  # found by the debug interpreter's reference counts


# No edit at all: what fails without a fault is noise (a flaky test, a loaded machine), and shows in this row.
CONTROL = Fault("control", "no fault planted: every test must pass", "pyproject.toml", ((),))

FAULTS = (
    CONTROL,
    Fault(
        "message",
        'stop() says "No server process to stop." (a full stop too many)',
        "src/stop.cpp",
        ((('FromString("No server process to stop")', 'FromString("No server process to stop.")'),),),
    ),
    Fault(
        "late-binding",
        "the answer to sys.platform is kept after its first reading",
        "src/globals.cpp",
        (
            (
                (
                    "int platform_is_windows() {\n",
                    "int platform_is_windows() {\n    static int kept = -2;\n    if (kept != -2) return kept;\n",
                ),
                (
                    "    return platform ? PyObject_RichCompareBool(",
                    "    return kept = platform ? PyObject_RichCompareBool(",
                ),
            ),
        ),
    ),
    Fault(
        "no-sigkill",
        "a server that outlives the grace period gets no SIGKILL",
        "src/stop.cpp",
        (
            (
                (
                    "if (timed_out) return kill_after_grace(self);",
                    "if (timed_out) return timed_out < 0 ? kill_after_grace(self) : Py_NewRef(Py_None);",
                ),
            ),
        ),
    ),
    Fault(
        "pid-leak",
        "reading pid leaks one reference",
        "src/manager_state.cpp",
        (
            (
                (
                    "PyLong_CheckExact(process_id.get())) return process_id.release();",
                    "PyLong_CheckExact(process_id.get())) return Py_NewRef(process_id.release());",
                ),
            ),
        ),
        debug=True,
    ),
    Fault(
        "default",
        "the default server_port is 8001",
        "src/class_surface.cpp",
        (
            (
                (
                    '"server_port", .annotation = "int", .default_value = Default::int_(8000)',
                    '"server_port", .annotation = "int", .default_value = Default::int_(8001)',
                ),
            ),
        ),
    ),
    Fault(
        "survivors",
        "what is left of the group after the grace period is never killed",
        "src/process_group.cpp",
        (
            (
                (
                    "if (waited == 0) return signal_unless_gone(interned.killpg, group, interned.SIGKILL)",
                    "if (waited == 0) return 0 * signal_unless_gone(interned.killpg, group, nullptr)",
                ),
            ),
        ),
    ),
    Fault(
        "cli-sighup",
        "the command line leaves SIGHUP (the terminal closed) to its default action",
        "velmora_master/addin_launcher/_ending_signals.py",
        ((('    "SIGHUP",\n', ""),),),
    ),
    Fault(
        "store-lock",
        "the certificate store's lock is taken by nobody",
        "velmora_master/addin_launcher/store_lock.py",
        ((("            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n", "            pass\n"),),),
    ),
)


def sh(*argv: str | Path, cwd: Path, **kwargs: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(a) for a in argv], cwd=cwd, text=True, **kwargs)  # type: ignore[call-overload]


def plant(tree: Path, fault: Fault) -> None:
    path = tree / fault.path
    text = path.read_text()
    for edits in fault.ways:
        if all(text.count(found) == 1 for found, _ in edits):
            for found, replacement in edits:
                text = text.replace(found, replacement)
            path.write_text(text)
            return
    raise SystemExit(f"{fault.name}: no way of planting it fits {fault.path} (each text must be there exactly once)")


def caught(output: str) -> int:
    """Failed and errored tests in pytest's summary line."""
    summary = output.strip().splitlines()[-1] if output.strip() else ""
    counts = {kind: int(number) for number, kind in re.findall(r"(\d+) (failed|errors?)", summary)}
    if not re.search(r"\d+ (passed|failed)", summary):
        raise SystemExit(f"no pytest summary at the end of the run:\n{output[-3000:]}")
    return sum(counts.values())


def run_suite(tree: Path, fault: Fault, python: str) -> tuple[int, float]:
    """Tests caught, and how long the build and the run took; the run's output goes to build/planted-faults/."""
    began = time.monotonic()
    if fault.debug:
        result = sh("bash", "tools/suite.sh", "debug-python", "-q", cwd=tree, capture_output=True)
    else:
        build = sh("bash", "tools/build.sh", "dev", python, cwd=tree, capture_output=True)
        if build.returncode:
            raise SystemExit(f"{fault.name}: the build failed\n{build.stderr[-3000:]}")
        result = sh(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", cwd=tree, capture_output=True)
    logs = ROOT / "build" / "planted-faults"
    logs.mkdir(parents=True, exist_ok=True)
    (logs / f"{fault.name}.log").write_text(result.stdout + result.stderr)
    return caught(result.stdout), time.monotonic() - began


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--at", default="HEAD", help="the revision whose tree is tested (default HEAD)")
    parser.add_argument("--only", nargs="*", default=None, help="these faults only")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    args = parser.parse_args()
    faults = [f for f in FAULTS if args.only is None or f.name in args.only]
    if args.list:
        for fault in faults:
            print(f"{fault.name:14} {fault.what}")
        return 0
    python = sh("bash", "tools/setup.sh", cwd=ROOT, capture_output=True, check=True).stdout.strip()
    rev = sh("git", "rev-parse", "--short", args.at, cwd=ROOT, capture_output=True, check=True).stdout.strip()
    rows = []
    for fault in faults:
        tree = Path(tempfile.mkdtemp(prefix=f"velmora-fault-{fault.name}-"))
        sh("git", "worktree", "add", "--detach", "-f", tree, rev, cwd=ROOT, capture_output=True, check=True)
        try:
            plant(tree, fault)
            count, took = run_suite(tree, fault, python)
        finally:
            sh("git", "worktree", "remove", "--force", tree, cwd=ROOT, capture_output=True)
            shutil.rmtree(tree, ignore_errors=True)
        rows.append((fault, count))
        print(f"{fault.name}: {count} tests caught it ({took:.0f} s)", file=sys.stderr, flush=True)
    print(f"| fault ({rev}) | what | tests that catch it |\n|---|---|---|")
    for fault, count in rows:
        print(f"| {fault.name} | {fault.what}{' (debug interpreter)' if fault.debug else ''} | {count} |")
    return 0 if all(bool(count) == (fault is not CONTROL) for fault, count in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
