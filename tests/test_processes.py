"""The process helpers the command line and the pytest plugin share, against real processes."""

import functools
import os
import signal
import subprocess
import sys
import time

import pytest

from helpers import ROOT, alive, gone, wait_until, within
from velmora_master.addin_launcher import _guard, _processes

pytestmark = pytest.mark.slow  # real processes, sessions and a guard

SLEEPER = [sys.executable, "-c", "import time; time.sleep(60)"]
IGNORES_TERM = [
    sys.executable,
    "-c",
    "import signal as s, time; s.signal(s.SIGTERM, s.SIG_IGN); print(); time.sleep(60)",
]
# Leads a session; its helper ignores SIGTERM and moves to a process group of its own, out of the group's reach.
LEADER = """
import subprocess, sys, time
helper = subprocess.Popen([sys.executable, "-c", '''
import os, signal, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
os.setpgid(0, 0)
print(os.getpid(), flush=True)
time.sleep(60)
'''])
time.sleep(60)
"""


def test_an_orphaned_server_is_ended_and_other_children_are_left_alone(spawn):
    # What a signal inside Popen leaves behind: a session leader nobody holds a handle to.
    known = set(_processes.children())
    orphan = spawn(SLEEPER)
    bystander = spawn(SLEEPER, start_new_session=False)
    assert _processes.reap_orphans(known) == [orphan.pid]
    assert gone(orphan.pid)  # killed and reaped
    assert alive(bystander.pid)


def test_an_orphan_that_sigkill_does_not_end_is_not_waited_on_for_ever(spawn, monkeypatch):
    known = set(_processes.children())
    orphan = spawn(SLEEPER)
    real_waitpid = os.waitpid
    monkeypatch.setattr(os, "waitpid", lambda pid, options: (0, 0))  # as a child stuck in the kernel looks
    monkeypatch.setattr(_processes, "KILL_WAIT_SECONDS", 0.2)
    began = time.monotonic()
    assert _processes.reap_orphans(known) == []
    assert time.monotonic() - began < within(2)
    monkeypatch.setattr(os, "waitpid", real_waitpid)
    assert orphan.wait(timeout=within(5)) == -signal.SIGKILL


def test_what_a_session_leader_left_is_found_and_killed(spawn):
    leader = spawn([sys.executable, "-c", LEADER], stdout=subprocess.PIPE, text=True)
    bystander = spawn(SLEEPER, start_new_session=False)
    helper = int(leader.stdout.readline())  # in the leader's session, in a group of its own: ended here
    assert (_processes.leader(leader.pid), _processes.leader(bystander.pid)) == (leader.pid, None)
    assert {found.pid for found in _processes.session_members(leader.pid)} == {leader.pid, helper}
    leader.kill()
    leader.wait()
    assert _processes.leader(leader.pid) is None  # gone
    left = _processes.kill_survivors(functools.partial(_processes.session_members, leader.pid), 0.2)
    assert [found.pid for found in left] == [helper]
    assert wait_until(lambda: not alive(helper))
    assert _processes.kill_survivors(functools.partial(_processes.session_members, leader.pid), 5) == []


def test_the_mark_finds_and_ends_only_its_own_processes(spawn):
    mark = _processes.new_mark()
    ours = {**os.environ, _processes.SERVER_MARK_ENV: mark}
    stubborn = spawn(IGNORES_TERM, env=ours, stdout=subprocess.PIPE)
    escaped = spawn(SLEEPER, env=ours)
    stranger = spawn(SLEEPER, env={**ours, _processes.SERVER_MARK_ENV: _processes.new_mark()})
    stubborn.stdout.readline()  # SIGTERM is ignored from here on
    assert {found.pid for found in _processes.marked(mark)} == {stubborn.pid, escaped.pid}
    assert (_processes.mark_of(escaped.pid), _processes.mark_of(os.getpid())) == (mark, None)
    began = time.monotonic()
    assert {found.pid for found in _processes.end_marked(mark, grace=0.5)} == {stubborn.pid, escaped.pid}
    assert 0.5 <= time.monotonic() - began < 3
    assert (stubborn.wait(5), escaped.wait(5), stranger.poll()) == (-signal.SIGKILL, -signal.SIGTERM, None)


# A guard's host: has its guard watch MARK, starts a marked process standing for the server (unless it is to die
# first), says both pids, then stands the mark down or hands it over (as asked) and waits to be killed.
HOST = """
import os, subprocess, sys, time
from velmora_master.addin_launcher import _guard, _processes

mark, then = sys.argv[1:]
guard = _guard.watch(mark)
env = {**os.environ, _processes.SERVER_MARK_ENV: mark}
server = 0 if then == "die-first" else subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"], env=env)
print(guard, server and server.pid, flush=True)
getattr(_guard, then.replace("-", "_"), lambda mark: None)(mark)
time.sleep(60)
"""


# A guard ending the servers of a host that died: the command line's and the plugin's SIGKILL tests.
@pytest.mark.parametrize(("then", "server_ends"), [("die-first", None), ("stand-down", False), ("hand-over", True)])
def test_a_guard_watches_its_hosts_marks_and_exits_with_it(spawn, then, server_ends):
    mark = _processes.new_mark()
    host = spawn([sys.executable, "-c", HOST, mark, then], cwd=ROOT, stdout=subprocess.PIPE)
    guard, server = map(int, host.stdout.readline().split())  # the server is in the host's group: ended after
    assert not server or wait_until(lambda: alive(server) is not server_ends, within(1.5))
    time.sleep(0.3)
    assert alive(guard)  # it serves its host as long as that lives
    host.kill()
    host.wait()
    assert wait_until(lambda: not alive(guard), within(1.5))
    assert not server or alive(server) is not server_ends  # a mark stood down is the host's word


def test_after_its_host_died_a_guard_looks_again_for_a_server_that_takes_its_mark_late(monkeypatch):
    # A server forked as the host died carries its mark only once it executes: the first looks find nothing.
    looks = []
    answers = iter([[], [], ["late server"]])
    monkeypatch.setattr(_processes, "end_marked", lambda *marks: looks.append(marks) or next(answers, []))
    monkeypatch.setattr(_processes, "POLL_SECONDS", 0.01)
    monkeypatch.setattr(_guard, "SETTLE_SECONDS", 0.2)
    began = time.monotonic()
    _guard._end_settled({"mark"})
    assert len(looks) > 3 and set(looks) == {("mark",)}  # went on looking after it found the late one
    assert 0.2 <= time.monotonic() - began < within(2)
