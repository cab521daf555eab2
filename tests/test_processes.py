"""The process helpers the command line and the pytest plugin share, against real processes."""

import functools
import subprocess
import sys

from helpers import alive, gone, wait_until
from velmora_master.addin_launcher import _processes

SLEEPER = [sys.executable, "-c", "import time; time.sleep(60)"]
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


def test_an_orphaned_server_is_ended_and_other_children_are_left_alone():
    # What a signal inside Popen leaves behind: a session leader nobody holds a handle to.
    known = set(_processes.children())
    orphan = subprocess.Popen(SLEEPER, start_new_session=True)
    bystander = subprocess.Popen(SLEEPER)
    try:
        assert _processes.reap_orphans(known) == [orphan.pid]
        assert gone(orphan.pid)  # killed and reaped
        assert alive(bystander.pid)
    finally:
        for process in (orphan, bystander):
            process.kill()
            process.wait()


def test_what_a_session_leader_left_is_found_and_killed():
    leader = subprocess.Popen([sys.executable, "-c", LEADER], start_new_session=True, stdout=subprocess.PIPE, text=True)
    bystander = subprocess.Popen(SLEEPER)
    helper = None
    try:
        helper = int(leader.stdout.readline())
        assert (_processes.leader(leader.pid), _processes.leader(bystander.pid)) == (leader.pid, None)
        assert [found.pid for found in _processes.group_members(leader.pid)] == [leader.pid]
        assert {found.pid for found in _processes.session_members(leader.pid)} == {leader.pid, helper}
        leader.kill()
        leader.wait()
        assert _processes.leader(leader.pid) is None  # gone
        left = _processes.kill_survivors(functools.partial(_processes.session_members, leader.pid), 0.2)
        assert [found.pid for found in left] == [helper]
        assert wait_until(lambda: not alive(helper))
        assert _processes.kill_survivors(functools.partial(_processes.session_members, leader.pid), 5) == []
    finally:
        for process in (leader, bystander):
            process.kill()
            process.wait()
        leader.stdout.close()
        if helper is not None and alive(helper):
            _processes.kill_group(helper)
