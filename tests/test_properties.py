"""Arbitrary arguments and objects: only documented results and errors, never a crash."""

import inspect
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import MEMBERS, StrSub, function_of
from velmora_master.addin_launcher.server_manager import AddinServerManager


class Weird:
    """Objects whose conversions fail in their own way."""

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class WeirdError(Exception):
    pass


values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=5),
    st.binary(max_size=3),
    st.complex_numbers(max_magnitude=10),
    st.decimals(allow_nan=False),
    st.fractions(),
    st.just(Path("/x")),
    st.lists(st.integers(), max_size=2),
    st.just(Weird(WeirdError())),
    st.builds(StrSub, st.text(max_size=3)),
)

# The constructor's parameters after self, as the class itself describes them.
PARAMS = list(inspect.signature(function_of(AddinServerManager, "__init__")).parameters)[1:]


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    positional=st.lists(values, max_size=10),
    keywords=st.dictionaries(st.sampled_from([*PARAMS, "self", "bogus"]), values, max_size=4),
)
def test_constructor_outcomes(doubles, positional, keywords):
    sm = doubles
    try:
        manager = sm.AddinServerManager(*positional, **keywords)
    except (TypeError, ValueError, OverflowError, WeirdError) as error:
        assert not isinstance(error, SystemError)
        return
    assert type(manager.use_compiled) is bool and type(manager.capture_output) is bool
    for port in ("port", "server_port", "watchdog_port", "docs_port"):
        assert type(getattr(manager, port)) is int
    assert type(manager.auth_token) is str and type(manager.timeout) is float and manager._process is None


def expected_binding_error(member, params, required, given, keywords):
    """The calling convention, written out in Python: the TypeError text a call must give, or None."""
    n = len(params)

    def count_error(count):
        bound = "exactly" if required == n else "at least" if count < required else "at most"
        number = required if (required != n and count < required) else n
        return f"{member}() takes {bound} {number} positional argument{'' if number == 1 else 's'} ({count} given)"

    if given > n or (not keywords and given < required):
        return count_error(given)
    filled = set(params[:given])
    for keyword in keywords:
        if keyword not in params:
            return f"{member}() got an unexpected keyword argument '{keyword}'"
        if keyword in filled:
            return f"{member}() got multiple values for keyword argument '{keyword}'"
        filled.add(keyword)
    for index, param in enumerate(params[:required]):
        if param not in filled:
            return count_error(index)
    return None


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    member=st.sampled_from(MEMBERS),
    given_count=st.integers(0, 12),
    keywords=st.lists(
        st.sampled_from(["self", "exc_type", "exc_val", "exc_tb", "port", "timeout", "x"]), unique=True, max_size=4
    ),
    instance=st.sampled_from([1, "text", None, SimpleNamespace()]),
)
def test_binding_matches_the_convention(doubles, member, given_count, keywords, instance):
    func = function_of(doubles.AddinServerManager, member)
    params = list(inspect.signature(func).parameters)
    required = 1 if member == "__init__" else len(params)
    expected = expected_binding_error(member, params, required, given_count, keywords)
    # Values that make every body fail fast or do nothing: no process is ever started here.
    args = [instance] + [None] * (given_count - 1) if given_count else []
    try:
        func(*args, **{k: instance if k == "self" else None for k in keywords})
    except TypeError as error:
        if expected is not None:
            assert str(error) == expected
        else:
            assert "positional argument" not in str(error) and "keyword argument" not in str(error), error
    except AttributeError, ValueError, OverflowError, doubles.ServerNotRunningError, doubles.ServerStartError:
        assert expected is None
    else:
        assert expected is None


@pytest.mark.slow
def test_readers_during_start_and_stop(doubles, fake_binary, monkeypatch, port):
    """Threads read the properties while the server is started and stopped under them."""
    monkeypatch.setenv("FAKE_SERVER_MODE", "listen")
    sm = doubles
    manager = sm.AddinServerManager(use_compiled=True, port=port)
    manager._config.binary_path = str(fake_binary)
    done, failures = threading.Event(), []

    def read():
        while not done.is_set():
            try:
                assert manager.url == f"https://localhost:{port}"
                assert manager.pid is None or manager.pid > 0
                assert manager.is_running in (True, False)
            except Exception as error:
                failures.append(error)

    readers = [threading.Thread(target=read) for _ in range(3)]
    for reader in readers:
        reader.start()
    try:
        for _ in range(3):
            manager.start()
            manager.stop()
    finally:
        done.set()
        for reader in readers:
            reader.join()
    assert failures == []


def test_a_cycle_of_compiled_calls_ends_in_recursion_error(doubles):
    import functools

    manager = doubles.AddinServerManager()
    manager._process = SimpleNamespace(poll=lambda: None)
    manager._is_port_in_use = functools.partial(doubles.AddinServerManager._wait_for_ready, manager)
    with pytest.raises(RecursionError):
        manager._wait_for_ready()
