"""The class surface: members, documentation, annotations, defaults and the calling convention."""

import builtins
import copy
import gc
import inspect
import pickle
import pydoc
import traceback
import types
import typing

import pytest

from helpers import MEMBERS, MODULE_NAME, PROPERTIES, Alias, function_of, run_python

METHODS = [m for m in MEMBERS if m != "__init__"]

RETURNS = {
    "url": "str",
    "pid": "Optional[int]",
    "is_running": "bool",
    "start": "None",
    "stop": "None",
    "__enter__": "'AddinServerManager'",
    "__exit__": "None",
    "_build_command": "list",
    "_wait_for_ready": "bool",
    "_is_port_in_use": "bool",
    "_terminate_process": "None",
    "_get_platform_popen_args": "dict",
}

INIT_ANNOTATIONS = {
    "use_compiled": "bool",
    "port": "int",
    "server_port": "int",
    "watchdog_port": "int",
    "docs_port": "int",
    "auth_token": "str",
    "addin_path": "Optional[str]",
    "timeout": "float",
    "capture_output": "bool",
}

# The C type a constructor parameter is converted to, as its docstring names it before the parameter.
C_TYPES = {"bool": "bool", "int": "int", "str": "str", "Optional[str]": "str", "float": "double"}


def documented_signature(func):
    """The first line a member's docstring must have, built from its parameters, annotations and defaults:
    `AddinServerManager.__init__(self, bool use_compiled: bool = False, ...)` for the constructor,
    `AddinServerManager.<member>(self[, parameters]) -> <return annotation>` for the others."""
    parameters = list(inspect.signature(func).parameters)
    annotations, defaults = func.__annotations__, func.__defaults__ or ()
    first_default = len(parameters) - len(defaults)
    parts = []
    for index, parameter in enumerate(parameters):
        text = parameter
        if parameter in annotations:
            text = f"{C_TYPES[annotations[parameter]]} {parameter}: {annotations[parameter]}"
        if index >= first_default:
            text += f" = {defaults[index - first_default]!r}"
        parts.append(text)
    returns = f" -> {annotations['return']}" if "return" in annotations else ""
    return f"AddinServerManager.{func.__name__}({', '.join(parts)}){returns}"


# Beside the members, what a class statement puts in the class namespace: its own records, and the descriptors
# of its instances' __dict__ and __weakref__.
CLASS_ATTRIBUTES = {"__module__", "__qualname__", "__doc__", "__static_attributes__", "__firstlineno__"}
CLASS_ATTRIBUTES |= {"__dict__", "__weakref__"}


def test_class_name_module_doc_and_member_order(sm):
    cls = sm.AddinServerManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == MODULE_NAME and cls.__qualname__ == cls.__name__ == "AddinServerManager"
    assert cls.__doc__ == (
        "\n    Manages the lifecycle of the Velmora Excel Add-in HTTPS server.\n    \n    Supports two modes:\n"
        "    - Development (use_compiled=False): Uses system Node.js to run server.js\n"
        "    - Production (use_compiled=True): Uses pre-compiled standalone binary\n    "
    )
    assert [n for n in vars(cls) if n not in CLASS_ATTRIBUTES] == MEMBERS
    assert {n for n in MEMBERS if isinstance(vars(cls)[n], property)} == PROPERTIES


@pytest.mark.parametrize("member", MEMBERS)
def test_member_names_and_docstring_layout(sm, member):
    func = function_of(sm.AddinServerManager, member)
    assert func.__name__ == member
    assert func.__qualname__ == f"AddinServerManager.{member}"
    assert func.__module__ == MODULE_NAME
    # The signature line, then (except for the one member without a description) a blank line and text.
    first, _, text = func.__doc__.partition("\n\n")
    assert first == documented_signature(func)
    assert text.strip() or member == "_terminate_process"
    assert vars(sm.AddinServerManager)[member].__doc__ == func.__doc__  # a property shows its getter's


def test_constructor_annotations_and_defaults(sm):
    init = vars(sm.AddinServerManager)["__init__"]
    assert init.__annotations__ == INIT_ANNOTATIONS and list(init.__annotations__) == list(INIT_ANNOTATIONS)
    assert init.__defaults__ == (False, 3000, 8000, 0, 0, "", None, 30.0, False)
    assert [type(d) for d in init.__defaults__] == [bool, int, int, int, int, str, type(None), float, bool]


@pytest.mark.parametrize("member", METHODS)
def test_method_annotations_and_defaults(sm, member):
    func = function_of(sm.AddinServerManager, member)
    assert func.__annotations__ == {"return": RETURNS[member]}
    assert func.__defaults__ is None
    assert inspect.signature(func, eval_str=True).return_annotation == eval(RETURNS[member], vars(sm))


SIGNATURES = {
    "__init__": (
        "(self, use_compiled: 'bool' = False, port: 'int' = 3000, server_port: 'int' = 8000, "
        "watchdog_port: 'int' = 0, docs_port: 'int' = 0, auth_token: 'str' = '', "
        "addin_path: 'Optional[str]' = None, timeout: 'float' = 30.0, capture_output: 'bool' = False)"
    ),
    "__exit__": "(self, exc_type, exc_val, exc_tb) -> 'None'",
    **{member: f"(self) -> {RETURNS[member]!r}" for member in METHODS if member != "__exit__"},
}
# What help() shows at the start of each member's entry, whitespace folded.
HELP_SHOWS = {
    "__init__": "__init__( self, use_compiled: bool = False, port: int = 3000,",
    **{member: member + SIGNATURES[member].replace(repr(RETURNS[member]), RETURNS[member]) for member in METHODS},
}


@pytest.mark.parametrize("member", MEMBERS)
def test_signature_and_help_show_parameters(sm, member):
    func = function_of(sm.AddinServerManager, member)
    assert str(inspect.signature(func)) == SIGNATURES[member]
    assert HELP_SHOWS[member] in " ".join(pydoc.render_doc(func, renderer=pydoc.plaintext).split())


def test_methods_bind_like_python_functions(sm, doubles):
    manager = sm.AddinServerManager()
    bound = manager.stop
    assert bound.__self__ is manager and bound.__func__ is vars(sm.AddinServerManager)["stop"]
    assert sm.AddinServerManager.stop is vars(sm.AddinServerManager)["stop"]

    # No type test of self: any object is accepted as the instance.
    class Other:
        _process = None

    with pytest.raises(sm.ServerNotRunningError, match="No server process to stop"):
        sm.AddinServerManager.stop(Other())
    assert inspect.signature(bound).parameters.keys() == set()


@pytest.mark.parametrize("prop", sorted(PROPERTIES))
def test_properties_are_read_only(sm, doubles, prop):
    manager = sm.AddinServerManager()
    with pytest.raises(AttributeError):
        setattr(manager, prop, 1)
    with pytest.raises(AttributeError):
        delattr(manager, prop)


def test_is_running_is_a_value_not_a_method(sm, doubles):
    with pytest.raises(TypeError, match="'bool' object is not callable"):
        sm.AddinServerManager().is_running()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cls, m: m.start(1), "start() takes exactly 1 positional argument (2 given)"),
        (lambda cls, m: cls.start(), "start() takes exactly 1 positional argument (0 given)"),
        (lambda cls, m: m.start(self=m), "start() got multiple values for keyword argument 'self'"),
        (lambda cls, m: m.stop(port=1), "stop() got an unexpected keyword argument 'port'"),
        (lambda cls, m: m.__exit__(exc_type=None), "__exit__() takes exactly 4 positional arguments (2 given)"),
        (lambda cls, m: m.__exit__(None, None), "__exit__() takes exactly 4 positional arguments (3 given)"),
        (
            lambda cls, m: m.__exit__(None, None, None, None),
            "__exit__() takes exactly 4 positional arguments (5 given)",
        ),
        (lambda cls, m: cls(*range(10)), "__init__() takes at most 10 positional arguments (11 given)"),
        (lambda cls, m: cls.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda cls, m: cls.__init__(port=1), "__init__() takes at least 1 positional argument (0 given)"),
        (
            lambda cls, m: cls(1, use_compiled=True),
            "__init__() got multiple values for keyword argument 'use_compiled'",
        ),
        (lambda cls, m: cls(bogus=1, port="x"), "__init__() got an unexpected keyword argument 'bogus'"),
        (
            lambda cls, m: cls._get_platform_popen_args(m, m),
            "_get_platform_popen_args() takes exactly 1 positional argument (2 given)",
        ),
    ],
)
def test_calling_convention_messages(sm, doubles, call, message):
    manager = sm.AddinServerManager()
    with pytest.raises(TypeError) as caught:
        call(sm.AddinServerManager, manager)
    assert str(caught.value) == message


def test_keywords_match_parameters_by_equality(sm, doubles):
    def python_function(self, port=3000):
        return port

    assert python_function(None, **{Alias("harbour"): 3123}) == 3123  # how Python matches keywords
    assert sm.AddinServerManager(**{Alias("harbour"): 3123}).port == 3123


def test_keyword_self_fills_the_instance(sm, doubles):
    manager = sm.AddinServerManager()
    assert sm.AddinServerManager.url.fget(self=manager) == "https://localhost:3000"
    assert sm.AddinServerManager._get_platform_popen_args(self=manager) == {"start_new_session": True}
    assert sm.AddinServerManager.__exit__(manager, exc_tb=None, exc_val=None, exc_type=None) is None


def test_traceback_names_each_member_left(sm, doubles):
    manager = sm.AddinServerManager()
    with pytest.raises(sm.ServerNotRunningError) as caught:
        manager.__exit__  # only to show binding works before the real call
        manager.stop()
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-1] == f"{MODULE_NAME}.AddinServerManager.stop"


def test_nested_members_each_add_an_entry(sm, doubles, monkeypatch):
    manager = sm.AddinServerManager()
    manager._process = object()
    monkeypatch.setattr(sm, "sys", type("S", (), {"platform": "linux"}))
    monkeypatch.setattr(sm, "os", None)  # getpgid lookup fails inside _terminate_process
    with pytest.raises(AttributeError) as caught:
        manager.stop()
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-2:] == [
        f"{MODULE_NAME}.AddinServerManager.stop",
        f"{MODULE_NAME}.AddinServerManager._terminate_process",
    ]
    assert manager._process is None


def test_defaults_attribute_describes_but_does_not_drive(sm, doubles):
    init = vars(sm.AddinServerManager)["__init__"]
    saved = init.__defaults__
    try:
        init.__defaults__ = (True, 1, 2, 3, 4, "x", None, 1.0, True)
        assert sm.AddinServerManager().port == 3000
    finally:
        init.__defaults__ = saved


@pytest.mark.parametrize(
    "attr, bad", [("__name__", 1), ("__qualname__", None), ("__defaults__", [1]), ("__annotations__", 3)]
)
def test_function_attribute_setters_validate(sm, attr, bad):
    with pytest.raises(TypeError):
        setattr(vars(sm.AddinServerManager)["start"], attr, bad)


def start_while_running(manager):
    manager._process = types.SimpleNamespace(poll=lambda: None)
    manager._is_port_in_use = lambda: True
    manager.start()


@pytest.mark.parametrize(
    "error_name, raise_it",
    [("ServerNotRunningError", lambda manager: manager.stop()), ("ServerStartError", start_while_running)],
    ids=["ServerNotRunningError", "ServerStartError"],
)
@pytest.mark.parametrize("replacement", [lambda message: None, lambda message: message, lambda message: int])
def test_raising_a_replaced_error_that_is_no_exception(sm, doubles, monkeypatch, error_name, raise_it, replacement):
    # As `raise ServerNotRunningError("...")` in Python: the result must be an exception.
    monkeypatch.setattr(sm, error_name, replacement)
    with pytest.raises(TypeError, match=r"^exceptions must derive from BaseException$"):
        raise_it(sm.AddinServerManager())


def test_a_replaced_error_returning_a_class_raises_an_instance_of_it(sm, doubles, monkeypatch):
    monkeypatch.setattr(sm, "ServerNotRunningError", lambda message: KeyError)
    with pytest.raises(KeyError) as caught:
        sm.AddinServerManager().stop()
    assert caught.value.args == ()


def test_lookups_follow_a_module_whose_class_changes(sm, doubles, monkeypatch):
    # Assigning __class__ changes no namespace entry, yet attribute reads change.
    fake_sys = types.ModuleType("fake_sys")
    fake_sys.platform = "linux"
    monkeypatch.setattr(sm, "sys", fake_sys)
    monkeypatch.setattr(sm.subprocess, "CREATE_NEW_PROCESS_GROUP", 0x200, raising=False)
    manager = sm.AddinServerManager()
    assert manager._get_platform_popen_args() == {"start_new_session": True}

    class Computed(types.ModuleType):
        @property
        def platform(self):
            return "win32"

    fake_sys.__class__ = Computed
    assert manager._get_platform_popen_args() == {"creationflags": 0x200}
    fake_sys.__class__ = types.ModuleType
    assert manager._get_platform_popen_args() == {"start_new_session": True}


def test_module_names_are_resolved_at_each_use(sm, doubles, monkeypatch):
    calls = []

    class Recording:
        def __init__(self, addin_path):
            calls.append(addin_path)
            self.addin_path = None

    monkeypatch.setattr(sm, "Config", Recording)
    sm.AddinServerManager(addin_path="/x")
    assert calls == ["/x"]
    monkeypatch.delattr(sm, "Config")
    with pytest.raises(NameError, match="name 'Config' is not defined"):
        sm.AddinServerManager()
    # A name missing from the module namespace is looked up in the builtins next.
    monkeypatch.setattr(builtins, "Config", Recording, raising=False)
    sm.AddinServerManager(addin_path="/y")
    assert calls == ["/x", "/y"]


def test_print_is_captured_at_load(sm, doubles, monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: seen.append(a))
    manager = sm.AddinServerManager(use_compiled=True)
    manager._build_command()
    monkeypatch.undo()
    assert seen == []
    assert "PATHS:\tCA Certificate: /certs/ca.crt" in capsys.readouterr().out


def test_replaced_logger_is_used(sm, doubles, monkeypatch, capsys):
    class Logger:
        def getEffectiveLevel(self):
            return 40

    monkeypatch.setattr(sm, "logger", Logger())
    command = sm.AddinServerManager(use_compiled=True)._build_command()
    assert command[-2:] == ["--logging-level", "ERROR"]


def test_attributes_of_the_standard_modules_are_read_at_each_use(sm, doubles, monkeypatch):
    import sys

    manager = sm.AddinServerManager()
    assert manager._get_platform_popen_args() == {"start_new_session": True}
    import subprocess

    monkeypatch.setattr(subprocess, "CREATE_NEW_PROCESS_GROUP", 0x200, raising=False)
    monkeypatch.setattr(sys, "platform", "win32")
    assert manager._get_platform_popen_args() == {"creationflags": 0x200}
    marker = object()
    monkeypatch.setattr(subprocess, "CREATE_NEW_PROCESS_GROUP", marker)
    assert manager._get_platform_popen_args() == {"creationflags": marker}
    monkeypatch.delattr(subprocess, "CREATE_NEW_PROCESS_GROUP")
    with pytest.raises(AttributeError, match="CREATE_NEW_PROCESS_GROUP"):
        manager._get_platform_popen_args()
    monkeypatch.undo()
    assert manager._get_platform_popen_args() == {"start_new_session": True}


@pytest.mark.parametrize("member", sorted(set(MEMBERS) - PROPERTIES))
def test_members_copy_as_themselves_and_pickle_by_reference(sm, member):
    func = vars(sm.AddinServerManager)[member]
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func


def test_the_member_type_names_its_own_module(sm):
    member = vars(sm.AddinServerManager)["start"]
    member_type = type(member)
    assert member_type.__module__ == member.__module__ == MODULE_NAME
    assert inspect.getmodule(member_type) is inspect.getmodule(member) is sm
    # Not reachable by name from its module, so pickled like Python's own function type: refused.
    for kind in (member_type, types.FunctionType):
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(kind)


def test_members_disclose_no_code_address(sm):
    member = vars(sm.AddinServerManager)["start"]
    assert not hasattr(member, "__vectorcalloffset__")
    assert not any("offset" in name for name in dir(member))


def type_hints(sm):
    """What each member's annotations resolve to in the module namespace."""
    return {
        "__init__": {
            "use_compiled": bool,
            "port": int,
            "server_port": int,
            "watchdog_port": int,
            "docs_port": int,
            "auth_token": str,
            "addin_path": str | None,
            "timeout": float,
            "capture_output": bool,
        },
        "url": {"return": str},
        "pid": {"return": int | None},
        "is_running": {"return": bool},
        "start": {"return": type(None)},
        "stop": {"return": type(None)},
        "__enter__": {"return": sm.AddinServerManager},
        "__exit__": {"return": type(None)},
        "_build_command": {"return": list},
        "_wait_for_ready": {"return": bool},
        "_is_port_in_use": {"return": bool},
        "_terminate_process": {"return": type(None)},
        "_get_platform_popen_args": {"return": dict},
    }


@pytest.mark.parametrize("member", MEMBERS)
def test_type_hints_resolve_in_the_module_namespace(sm, member):
    func = function_of(sm.AddinServerManager, member)
    assert func.__globals__ is vars(sm)
    assert typing.get_type_hints(func) == type_hints(sm)[member]
    with pytest.raises(AttributeError):
        func.__globals__ = {}


def test_traversal_reaches_every_object_a_member_holds(sm, monkeypatch):
    # A str subclass can carry a __dict__, so a cycle may run through __qualname__ or __name__.
    func = vars(sm.AddinServerManager)["stop"]

    class Text(str):
        pass

    qualname, name = Text(func.__qualname__), Text(func.__name__)
    monkeypatch.setattr(func, "__qualname__", qualname)
    monkeypatch.setattr(func, "__name__", name)
    func.__dict__
    referents = gc.get_referents(func)
    for held in (qualname, name, func.__doc__, func.__annotations__, func.__dict__):
        assert any(r is held for r in referents), held
    assert any(r is func.__globals__ for r in referents)


def test_attributes_after_clearing_do_not_crash():
    # tp_clear empties a function that is part of a garbage cycle; reading it afterwards must be safe.
    code = f"""
        import ctypes, {MODULE_NAME} as m
        func = vars(m.AddinServerManager)["stop"]
        api = ctypes.pythonapi
        api.PyType_GetSlot.restype, api.PyType_GetSlot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(api.PyType_GetSlot(type(func), 51))
        assert clear(func) == 0
        for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__",
                     "__dict__", "__globals__", "__code__"):
            print(attr, repr(getattr(func, attr))[:20])
        print(repr(func)[:11])
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:6] == [
        "__name__ ''",
        "__qualname__ ''",
        "__module__ " + repr(MODULE_NAME)[:20],  # the type's, which clearing leaves
        "__doc__ None",
        "__annotations__ {}",
        "__defaults__ None",
    ]
    assert result.stdout.splitlines()[-1] == "<function  "
