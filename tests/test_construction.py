"""Construction, coercion and the three properties."""

import decimal
import fractions
import math
from pathlib import Path

import pytest

from helpers import FakeProcess, StrSub


def test_construction_without_arguments_sets_the_defaults_in_order(sm, doubles):
    m = sm.AddinServerManager()
    assert vars(m) == {
        "use_compiled": False,
        "port": 3000,
        "server_port": 8000,
        "watchdog_port": 0,
        "docs_port": 0,
        "auth_token": "",
        "timeout": 30.0,
        "capture_output": False,
        "_process": None,
        "_config": m._config,
        "_cert_manager": m._cert_manager,
    }
    assert list(vars(m)) == [
        "use_compiled",
        "port",
        "server_port",
        "watchdog_port",
        "docs_port",
        "auth_token",
        "timeout",
        "capture_output",
        "_process",
        "_config",
        "_cert_manager",
    ]
    assert type(m.timeout) is float
    assert (m.url, m.pid, m.is_running) == ("https://localhost:3000", None, False)
    assert m._cert_manager.calls == 0  # nothing is provisioned by construction
    assert m._config.received is None


@pytest.mark.parametrize(
    "kwargs, field, expected",
    [
        ({"port": 3000.9}, "port", 3000),
        ({"port": -3000.9}, "port", -3000),
        ({"port": True}, "port", 1),
        ({"server_port": decimal.Decimal("8001.7")}, "server_port", 8001),
        ({"watchdog_port": fractions.Fraction(9, 2)}, "watchdog_port", 4),
        ({"docs_port": -5}, "docs_port", -5),
        ({"port": 10**20}, "port", 10**20),
        ({"timeout": 5}, "timeout", 5.0),
        ({"timeout": decimal.Decimal("0.5")}, "timeout", 0.5),
        ({"use_compiled": "no"}, "use_compiled", True),
        ({"use_compiled": []}, "use_compiled", False),
        ({"capture_output": 0}, "capture_output", False),
        ({"capture_output": [0]}, "capture_output", True),
        ({"auth_token": "tok en"}, "auth_token", "tok en"),
    ],
)
def test_arguments_are_converted_to_the_parameter_types(sm, doubles, kwargs, field, expected):
    value = getattr(sm.AddinServerManager(**kwargs), field)
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"port": "3000"}, "Argument 'port' has incorrect type (expected int, got str)"),
        ({"port": None}, "Argument 'port' has incorrect type (expected int, got NoneType)"),
        ({"server_port": b"1"}, "Argument 'server_port' has incorrect type (expected int, got bytes)"),
        ({"docs_port": [1]}, "Argument 'docs_port' has incorrect type (expected int, got list)"),
        ({"auth_token": None}, "Argument 'auth_token' has incorrect type (expected str, got NoneType)"),
        ({"addin_path": Path("/x")}, "Argument 'addin_path' has incorrect type (expected str, got PosixPath)"),
        ({"timeout": "5"}, "must be real number, not str"),
        ({"timeout": None}, "must be real number, not NoneType"),
        # the first failing argument in checking order wins, whatever the call order
        ({"auth_token": None, "timeout": "x"}, "must be real number, not str"),
        ({"addin_path": 1, "auth_token": 2}, "Argument 'auth_token' has incorrect type (expected str, got int)"),
        ({"capture_output": 1, "docs_port": "x", "port": "y"}, "Argument 'port' has incorrect"),
    ],
)
def test_first_wrong_argument_in_checking_order_is_refused(sm, doubles, kwargs, message):
    with pytest.raises(TypeError) as caught:
        sm.AddinServerManager(**kwargs)
    assert str(caught.value).startswith(message)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize("argument", ["auth_token", "addin_path"])
def test_str_subclass_is_rejected_with_a_note(sm, doubles, argument):
    with pytest.raises(
        TypeError, match=f"Argument '{argument}' has incorrect type \\(expected str, got StrSub\\)"
    ) as caught:
        sm.AddinServerManager(**{argument: StrSub("x")})
    assert len(caught.value.__notes__) == 1 and "ubclasses of built-in types are rejected" in caught.value.__notes__[0]


@pytest.mark.parametrize("bad, error", [(math.nan, ValueError), (math.inf, OverflowError), (1j, TypeError)])
def test_number_conversion_errors_propagate(sm, doubles, bad, error):
    with pytest.raises(error):
        sm.AddinServerManager(port=bad)


def test_truth_test_errors_propagate_before_anything_is_stored(sm, doubles):
    class Undecidable:
        def __bool__(self):
            raise ZeroDivisionError

    manager = sm.AddinServerManager.__new__(sm.AddinServerManager)
    with pytest.raises(ZeroDivisionError):
        manager.__init__(use_compiled=Undecidable())
    with pytest.raises(ZeroDivisionError):  # the truth test comes before the token check
        manager.__init__(capture_output=Undecidable(), auth_token=None)
    assert vars(manager) == {}


def test_addin_path_is_passed_to_config_unchanged(sm, doubles):
    assert sm.AddinServerManager(addin_path="/srv/addin")._config.received == "/srv/addin"


def test_collaborator_failure_propagates_after_fields_are_set(sm, doubles, monkeypatch):
    def broken_certificate_manager():
        raise PermissionError("no cert folder")

    monkeypatch.setattr(sm, "CertificateManager", broken_certificate_manager)
    manager = sm.AddinServerManager.__new__(sm.AddinServerManager)
    with pytest.raises(PermissionError, match="no cert folder"):
        manager.__init__()
    assert manager._process is None and "_cert_manager" not in vars(manager)


@pytest.mark.parametrize(
    "port, url",
    [
        (4000, "https://localhost:4000"),
        (-1, "https://localhost:-1"),
        ("abc", "https://localhost:abc"),
        (1.5, "https://localhost:1.5"),
    ],
)
def test_url_follows_port(sm, doubles, port, url):
    manager = sm.AddinServerManager()
    manager.port = port
    assert manager.url == url


def test_url_without_port_fails(sm, doubles):
    manager = sm.AddinServerManager()
    del manager.port
    with pytest.raises(AttributeError):
        manager.url


@pytest.mark.parametrize("pid, expected", [(4242, 4242), (None, None), (True, 1), (12.9, 12)])
def test_pid_is_the_handle_pid_as_int(sm, doubles, pid, expected):
    manager = sm.AddinServerManager()
    manager._process = FakeProcess([], pid=pid)
    assert manager.pid == expected and type(manager.pid) is type(expected)


def test_pid_that_is_no_number_is_refused(sm, doubles):
    manager = sm.AddinServerManager()
    manager._process = FakeProcess([], pid="4242")
    with pytest.raises(TypeError, match=r"^Expected int, got str$"):
        manager.pid


def test_pid_of_exited_process_until_stop(sm, doubles):
    manager = sm.AddinServerManager()
    manager._process = FakeProcess([], status=0)
    assert manager.pid == 4242 and manager.is_running is False


@pytest.mark.parametrize(
    "status, probe, expected, probes",
    [(None, True, True, 1), (None, False, False, 1), (0, True, False, 0), (-15, True, False, 0)],
)
def test_is_running_polls_before_probing(sm, doubles, status, probe, expected, probes):
    manager = sm.AddinServerManager()
    manager._process = handle = FakeProcess([], status=status)
    calls = []
    manager._is_port_in_use = lambda: calls.append(1) or probe
    assert manager.is_running is expected
    assert manager.is_running is expected  # a fresh poll and probe at each read
    assert (handle.calls.count(("poll",)), len(calls)) == (2, 2 * probes)


def test_is_running_passes_the_probe_result_unchanged(sm, doubles):
    manager = sm.AddinServerManager()
    manager._process = FakeProcess([])
    marker = object()
    manager._is_port_in_use = lambda: marker
    assert manager.is_running is marker
