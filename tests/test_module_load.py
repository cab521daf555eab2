"""Loading the compiled module: records, imports, failures and the exported symbol."""

import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from helpers import MODULE_NAME, ROOT, run_python

pytestmark = pytest.mark.slow  # each test runs a program: nm, a child interpreter or an embedding host

BUILT = Path(glob.glob(str(ROOT / "velmora_master/addin_launcher/server_manager*.so"))[0])

SIBLINGS = {
    "__init__.py": "",
    "logging_config.py": """
        import logging
        CALLS = []
        def setup_logging_subprocess(): pass
        def get_logger(name, *rest, **kw):
            CALLS.append((name, rest, kw))
            return logging.getLogger(name)
    """,
    "addin_launcher/__init__.py": "",
    "addin_launcher/config.py": "class Config:\n    def __init__(self, addin_path): self.addin_path = addin_path",
    "addin_launcher/certificate_manager.py": "class CertificateManager: pass",
    "addin_launcher/exceptions.py": """
        class ServerStartError(Exception): pass
        class ServerStopError(Exception): pass
        class ServerNotRunningError(Exception): pass
    """,
}


def make_package(root: Path, package="velmora_master", **overrides) -> Path:
    """A package tree holding the built module and small stand-ins for its siblings."""
    for relative, text in {**SIBLINGS, **overrides}.items():
        path = root / package / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    shutil.copy(BUILT, root / package / "addin_launcher" / BUILT.name)
    return root


def dynamic_symbols(which: str) -> set[str]:
    """The names in the built module's dynamic symbol table, `which` being "defined" or "undefined"."""
    nm = subprocess.run(["nm", "-D", f"--{which}-only", str(BUILT)], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in nm.stdout.splitlines() if line.strip()}


def test_only_the_entry_point_is_exported():
    assert dynamic_symbols("defined") - {"_init", "_fini"} == {"PyInit_server_manager"}


# Symbols through which C++ exceptions unwind or are thrown: none may be reachable from the module.
CXX_EXCEPTION_SYMBOLS = (
    "__gxx_personality_v0",
    "_Unwind_Resume",
    "__cxa_throw",
    "__cxa_begin_catch",
    "__cxa_allocate_exception",
)


def test_no_cxx_exception_can_cross_into_the_interpreter():
    throwing = {s for s in dynamic_symbols("undefined") if s in CXX_EXCEPTION_SYMBOLS or "__throw_" in s}
    assert not throwing


def test_reimport_returns_the_same_module_and_logs_once(tmp_path):
    result = run_python(
        f"""
        import sys, importlib
        import velmora_master.logging_config as lc
        first = importlib.import_module("{MODULE_NAME}")
        cls = first.AddinServerManager
        del sys.modules["{MODULE_NAME}"]
        second = importlib.import_module("{MODULE_NAME}")
        assert second is first and second.AddinServerManager is cls
        assert lc.CALLS == [("{MODULE_NAME}", (), {{}})], lc.CALLS
        assert first.__doc__ is None
        print("ok")
        """,
        make_package(tmp_path),
    )
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize(
    "main_first, refusal",
    [
        (True, "Interpreter change detected - this module can only be loaded into one interpreter per process."),
        (False, f"module {MODULE_NAME} does not support loading in subinterpreters"),
    ],
    ids=["main-first", "subinterpreter-first"],
)
def test_only_the_main_interpreter_loads_the_module(tmp_path, main_first, refusal):
    # A legacy subinterpreter skips the interpreter's own check of the module's declared support: the
    # module refuses it itself, before it records anything that would lock the main interpreter out.
    result = run_python(
        f"""
        import _interpreters
        if {main_first}:
            import {MODULE_NAME}
        interpreter = _interpreters.create("legacy")
        failure = _interpreters.exec(interpreter, "import {MODULE_NAME}")
        _interpreters.destroy(interpreter)
        print(failure.type.__name__, failure.msg)
        import {MODULE_NAME} as loaded
        print(loaded.AddinServerManager.__name__)
        """,
        make_package(tmp_path),
    )
    assert result.stdout.splitlines() == [f"ImportError {refusal}", "AddinServerManager"], result.stderr


# Holders the interpreter releases only after the module's own finalisation has run.
HOLDERS = {
    "trace": "sys.settrace(hook)",
    "profile": "sys.setprofile(hook)",
    "audit": "sys.addaudithook(hook)",
    "monitoring": "sys.monitoring.use_tool_id(3, 'keeper'); "
    "sys.monitoring.register_callback(3, sys.monitoring.events.PY_START, hook)",
    "codec": "codecs.register(hook)",
}


@pytest.mark.parametrize("holder", HOLDERS.values(), ids=HOLDERS)
def test_members_used_after_finalisation_raise(tmp_path, holder):
    # The keeper is in a reference cycle, so only the interpreter's last collection frees it, after the
    # module was finalised. By then the builtins and sys are wiped: what __del__ uses comes bound in its
    # defaults, and the last error, which escapes it, is an unraisable nobody can print any more.
    result = run_python(
        f"""
        import codecs, os, sys
        from {MODULE_NAME} import AddinServerManager

        class Keeper:
            def __init__(self):
                self.manager, self.cycle = AddinServerManager(), self

            def __del__(self, write=os.write, RuntimeError=RuntimeError, str=str):
                for use in (lambda m: m.stop(), lambda m: m.url, lambda m: AddinServerManager()):
                    try:
                        use(self.manager)
                    except RuntimeError as error:
                        write(1, str(error).encode() + b"\\n")
                self.manager.is_running

        def hook(*args, keeper=Keeper()):
            return None

        {holder}
        del hook
        """,
        make_package(tmp_path),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"AddinServerManager.{member} cannot be used after its module was finalised with the interpreter"
        for member in ("stop", "url", "__init__")
    ]


@pytest.mark.parametrize(
    "overrides, missing",
    [
        ({"logging_config.py": "def get_logger(name): pass"}, "setup_logging_subprocess"),
        (
            {
                "addin_launcher/exceptions.py": "class ServerStartError(Exception): pass\n"
                "class ServerNotRunningError(Exception): pass"
            },
            "ServerStopError",
        ),
        ({"addin_launcher/config.py": "X = 1"}, "Config"),
        ({"addin_launcher/certificate_manager.py": ""}, "CertificateManager"),
    ],
)
def test_missing_names_fail_the_import(tmp_path, overrides, missing):
    result = run_python(
        f"""
        import traceback
        try:
            import {MODULE_NAME}
        except ImportError as error:
            print(type(error).__name__, error)
            print(traceback.extract_tb(error.__traceback__)[-1].name)
        """,
        make_package(tmp_path, **overrides),
    )
    assert result.stdout.splitlines() == [
        f"ImportError cannot import name {missing}",
        f"init {MODULE_NAME}",
    ], result.stderr


def test_an_already_imported_submodule_stands_in_for_a_missing_attribute(tmp_path):
    # `from .exceptions import ServerStopError` finds the submodule exceptions.ServerStopError.
    tree = make_package(
        tmp_path,
        **{
            "addin_launcher/exceptions/__init__.py": "class ServerStartError(Exception): pass\n"
            "class ServerNotRunningError(Exception): pass\n"
            "from . import ServerStopError as _loaded\n"
            "del ServerStopError",
            "addin_launcher/exceptions/ServerStopError.py": "",
        },
    )
    (tree / "velmora_master/addin_launcher/exceptions.py").unlink()
    result = run_python(
        f"""
        import sys, {MODULE_NAME} as m
        print(m.ServerStopError is sys.modules["velmora_master.addin_launcher.exceptions.ServerStopError"])
        """,
        tree,
    )
    assert result.stdout.strip() == "True", result.stderr


def test_failed_load_can_be_retried_and_refuses_reinitialisation(tmp_path):
    # The first execution step fails in get_logger (which keeps the half-made
    # module); the second succeeds with a new module; running the execution
    # step on the first module then is refused.
    tree = make_package(
        tmp_path,
        **{
            "logging_config.py": """
        import logging, sys
        KEPT = []
        def setup_logging_subprocess(): pass
        def get_logger(name):
            if not KEPT:
                KEPT.append(sys.modules[name])
                raise LookupError("logging not ready")
            return logging.getLogger(name)
    """
        },
    )
    result = run_python(
        f"""
        import ctypes, traceback
        import velmora_master.logging_config as lc
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            import {MODULE_NAME}
        except LookupError as error:
            print("first:", error, "|", [f.name for f in traceback.extract_tb(error.__traceback__)][-2:])
        import {MODULE_NAME} as loaded
        print("second:", loaded is not lc.KEPT[0], hasattr(loaded, "AddinServerManager"))
        try:
            api.PyModule_ExecDef(lc.KEPT[0], api.PyModule_GetDef(lc.KEPT[0]))
        except RuntimeError as error:
            print("again:", error)
        print("same:", api.PyModule_ExecDef(loaded, api.PyModule_GetDef(loaded)))
        import sys; del sys.modules["{MODULE_NAME}"]
        import {MODULE_NAME} as third
        print("third:", third is loaded)
        """,
        tree,
    )
    assert result.stdout.splitlines() == [
        f"first: logging not ready | ['init {MODULE_NAME}', 'get_logger']",
        "second: True True",
        "again: Module 'server_manager' has already been imported. Re-initialisation is not supported.",
        "same: 0",
        "third: True",
    ], result.stderr


def test_class_module_is_fixed_while_logger_follows_the_load_name(tmp_path):
    result = run_python(
        """
        import otherpkg.addin_launcher.server_manager as m
        print(m.AddinServerManager.__module__, m.logger.name, m.__name__)
        """,
        make_package(tmp_path, package="otherpkg"),
    )
    assert result.stdout.split() == [
        MODULE_NAME,
        "otherpkg.addin_launcher.server_manager",
        "otherpkg.addin_launcher.server_manager",
    ], result.stderr


def test_namespace_binding_order(sm):
    # In a fresh process: tests here replace and restore module attributes, which reorders them.
    result = run_python(f"import {MODULE_NAME} as m; print(*[n for n in vars(m) if not n.startswith('__')])")
    assert result.stdout.split() == [
        "subprocess",
        "sys",
        "os",
        "atexit",
        "time",
        "signal",
        "socket",
        "Path",
        "Optional",
        "Config",
        "CertificateManager",
        "ServerStartError",
        "ServerStopError",
        "ServerNotRunningError",
        "logging",
        "setup_logging_subprocess",
        "get_logger",
        "logger",
        "AddinServerManager",
    ]
    import pathlib
    import typing

    assert sm.Path is pathlib.Path and sm.Optional is typing.Optional
    assert sm.logger.name == MODULE_NAME


def test_loading_the_file_under_another_name_is_refused(tmp_path):
    # The loaded module keeps its own name and __spec__, so reloading it still works.
    result = run_python(
        f"""
        import importlib, importlib.util, {MODULE_NAME} as m
        spec = importlib.util.spec_from_file_location("alias.server_manager", m.__file__)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            print(type(error).__name__, error)
        print(m.__spec__.name, importlib.reload(m) is m)
        """,
        make_package(tmp_path),
    )
    assert result.stdout.splitlines() == [
        (
            f"ImportError server_manager is already loaded as '{MODULE_NAME}' "
            "and cannot also be loaded as 'alias.server_manager'"
        ),
        f"{MODULE_NAME} True",
    ], result.stderr


LOOKUPS = f"""
    import builtins, types, {MODULE_NAME} as m
    m.sys = types.SimpleNamespace(platform="win32")
    fake_subprocess = types.ModuleType("fake_subprocess")
    fake_subprocess.CREATE_NEW_PROCESS_GROUP = "first"
    m.subprocess = fake_subprocess
    seen = [m.AddinServerManager._get_platform_popen_args(None)["creationflags"]]
    fake_subprocess.CREATE_NEW_PROCESS_GROUP = "second"
    seen.append(m.AddinServerManager._get_platform_popen_args(None)["creationflags"])
    del m.ServerNotRunningError
    try:
        m.AddinServerManager.stop(types.SimpleNamespace(_process=None))
    except NameError as error:
        seen.append(str(error))
    builtins.ServerNotRunningError = LookupError
    try:
        m.AddinServerManager.stop(types.SimpleNamespace(_process=None))
    except LookupError as error:
        seen.append(repr(error))
    print(seen)
"""


def test_import_without_free_dict_watchers_gives_the_same_results(tmp_path):
    # Another extension has taken every dict watcher: the lookup cache is only an
    # optimisation, so the module loads and answers as it does with the cache.
    exhaust = """
        import ctypes
        watcher = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                                   ctypes.c_void_p)(lambda *args: 0)
        ctypes.pythonapi.PyDict_AddWatcher.argtypes = [type(watcher)]
        taken = 0
        try:
            while True:
                ctypes.pythonapi.PyDict_AddWatcher(watcher)
                taken += 1
        except RuntimeError as error:
            assert "no more dict watcher IDs available" in str(error), error
        assert taken > 0
    """
    tree = make_package(tmp_path)
    cached = run_python(LOOKUPS, tree)
    uncached = run_python(textwrap.dedent(exhaust) + textwrap.dedent(LOOKUPS), tree)
    expected = str(
        ["first", "second", "name 'ServerNotRunningError' is not defined", "LookupError('No server process to stop')"]
    )
    assert cached.stdout.strip() == expected, cached.stderr
    assert uncached.stdout.strip() == expected, uncached.stderr


def test_a_name_rebound_while_it_is_looked_up_is_not_remembered(tmp_path):
    # The builtins are searched for a name the module lacks; comparing a colliding key there rebinds the
    # name in the module. That lookup's answer may be used once, as Python's own is, but not remembered.
    result = run_python(
        f"""
        import builtins, types, {MODULE_NAME} as m

        class Colliding(str):
            def __hash__(self):
                return hash("ServerNotRunningError")

            def __eq__(self, other):
                m.ServerNotRunningError = KeyError
                return False

        vars(builtins)[Colliding("decoy")] = None
        builtins.ServerNotRunningError = LookupError
        del m.ServerNotRunningError
        raised = []
        for _ in range(2):
            try:
                m.AddinServerManager.stop(types.SimpleNamespace(_process=None))
            except LookupError as error:
                raised.append(type(error).__name__)
        print(*raised)
        """,
        make_package(tmp_path),
    )
    assert result.stdout.split() == ["LookupError", "KeyError"], result.stderr


EMBEDDING_HOST = r"""
#include <Python.h>
#include <stdio.h>

static const char* const round_code =
    "import sys, types\n"
    "import velmora_master.addin_launcher.server_manager as m\n"
    "cls = m.AddinServerManager\n"
    "print(cls.url.fget(types.SimpleNamespace(port=3000 + ROUND)), cls._get_platform_popen_args(None), end=' ')\n"
    "try:\n"
    "    cls.stop(types.SimpleNamespace(_process=None))\n"
    "except m.ServerNotRunningError as error:\n"
    "    print(type(error).__name__, error)\n";

int main(void) {
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        PyObject* main_ns = PyModule_GetDict(PyImport_AddModule("__main__"));
        PyObject* number = PyLong_FromLong(round);
        PyDict_SetItemString(main_ns, "ROUND", number);
        Py_XDECREF(number);
        int failed = PyRun_SimpleString(round_code);
        fflush(stdout);
        if (Py_FinalizeEx() < 0 || failed) return 1;
    }
    return 0;
}
"""


def embedding_flags():
    """Compiler and linker flags for a host embedding this very interpreter."""
    # The configured library folder is the build's; the interpreter may have been moved under another prefix.
    library = sysconfig.get_config_var("LDLIBRARY")
    candidates = [
        Path(sys.base_prefix) / "lib" / (sysconfig.get_config_var("MULTIARCH") or ""),
        Path(sys.base_prefix) / "lib",
        Path(sysconfig.get_config_var("LIBDIR")),
    ]
    libdir = next(c for c in candidates if (c / library).exists())
    flags = [
        f"-I{sysconfig.get_paths()['include']}",
        f"-L{libdir}",
        f"-lpython{sysconfig.get_config_var('LDVERSION')}",
        "-Wl,--disable-new-dtags",
        f"-Wl,-rpath,{libdir}",
    ]
    # A private interpreter root brings its own loader and C library, and its
    # libpython needs them: the host must start with that loader too.
    loader = libdir / "ld-linux-x86-64.so.2"
    if loader.exists():
        flags += [f"-Wl,--dynamic-linker={loader}", "-Wl,--allow-shlib-undefined"]
    return flags


def test_the_module_loads_afresh_after_the_interpreter_is_restarted(tmp_path):
    host = tmp_path / "host"
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    built = subprocess.run(
        ["gcc", str(source), "-o", str(host), *embedding_flags()], capture_output=True, text=True, check=False
    )
    assert built.returncode == 0, built.stderr
    # Stand-in siblings: the real certificate manager imports an extension that
    # cannot itself be loaded into a second interpreter run.
    env = {**os.environ, "PYTHONHOME": sys.prefix, "PYTHONPATH": str(make_package(tmp_path / "tree"))}
    result = subprocess.run([str(host)], capture_output=True, text=True, timeout=60, env=env, check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"https://localhost:{3000 + n} {{'start_new_session': True}} ServerNotRunningError No server process to stop"
        for n in (1, 2, 3)
    ]
