"""Reads the sanitizer reports of a test run and fails on those that are ours.

    python tools/sanitizer_reports.py REPORT_DIR

Any AddressSanitizer or UndefinedBehaviorSanitizer error fails the run. A
LeakSanitizer report fails it when one of its allocation stacks shows a frame
of the server_manager module; the interpreter's own allocations that it does
not free at exit are counted and left alone.
"""

import re
import sys
from pathlib import Path

# A frame of our module: symbolised into our namespace, or an address inside the module file.
OURS = re.compile(r" in velmora::|/server_manager\.cpython-[^/]*\.so\+")


def main(report_dir: str) -> int:
    errors, our_leaks, foreign_leaks = [], [], 0
    for report in sorted(Path(report_dir).iterdir()):
        text = report.read_text(errors="replace")
        if "runtime error:" in text or re.search(r"ERROR: AddressSanitizer", text):
            errors.append((report.name, text))
            continue
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
            if not re.match(r"(Direct|Indirect) leak of ", block):
                continue
            if OURS.search(block):
                our_leaks.append((report.name, block))
            else:
                foreign_leaks += 1
    for name, text in errors + our_leaks:
        print(f"--- {name}\n{text[:6000]}")
    print(
        f"sanitizer reports: {len(errors)} errors, {len(our_leaks)} leaks from our module, "
        f"{foreign_leaks} interpreter allocations not freed at exit (ignored)"
    )
    return 1 if errors or our_leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
