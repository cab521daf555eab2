"""The debug-interpreter run (tools/suite.sh debug-python) really runs a debug interpreter and a debug build."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    not os.environ.get("VELMORA_DEBUG_INTERPRETER"), reason="only in the debug-interpreter run"
)


def test_interpreter_and_module_are_debug_builds(sm):
    assert hasattr(sys, "gettotalrefcount") and sys.flags.dev_mode
    module_file = Path(sm.__file__)
    assert module_file.name.startswith("server_manager.cpython-314d-")
    # Compiled with Py_DEBUG, every reference count change goes through the interpreter's debug accounting.
    nm = subprocess.run(["nm", "-D", "--undefined-only", str(module_file)], capture_output=True, text=True, check=True)
    undefined = {line.split()[-1].partition("@")[0] for line in nm.stdout.splitlines() if line.strip()}
    assert "_Py_INCREF_IncRefTotal" in undefined
    # Without NDEBUG the assertions of CPython's inline functions are compiled in, and they report through libc.
    assert "__assert_fail" in undefined
