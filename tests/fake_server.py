"""A stand-in for the pre-compiled add-in server, used by the tests.

Takes the server's command line (--port N ...) and behaves as FAKE_SERVER_MODE says:
  listen        accept TCP connections on --port until SIGTERM (default)
  never-listen  run without ever listening
  exit:N        exit at once with status N
  ignore-term   listen, and ignore SIGTERM
  grandchild    listen, and start a child of its own (pid written to FAKE_SERVER_GRANDCHILD_FILE)
  listen-after:S          listen only after S seconds
  listen-after:S:T:N      listen only after S seconds, then exit with status N after T more
  listen-then-exit:S:N    listen, then exit with status N after S seconds
FAKE_SERVER_HELPER=plain or ignore-term starts such a child in any mode, before anything else; with
ignore-term the child ignores SIGTERM. The child writes its own pid to the file once it is set up.
With FAKE_SERVER_CHATTER=N it first writes N numbered lines to stdout and to stderr
(more than a pipe holds when N is large, so an undrained pipe blocks it), FAKE_SERVER_CHATTER_PAUSE
seconds apart (default: at once).
The command line it got is written as JSON to FAKE_SERVER_ARGS_FILE when that is set.
"""

import json
import os
import signal
import socket
import subprocess
import sys
import time

HELPER = """
import os, signal, sys, time
if sys.argv[2] == "1":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
with open(sys.argv[1] + ".tmp", "w") as out:
    out.write(str(os.getpid()))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(300)
"""


def start_helper(pid_file: str, ignore_term: bool) -> None:
    """Starts a child in the server's own group and returns once it is set up."""
    subprocess.Popen([sys.executable, "-c", HELPER, pid_file, "1" if ignore_term else "0"])
    deadline = time.monotonic() + 20
    while not os.path.exists(pid_file) and time.monotonic() < deadline:
        time.sleep(0.01)


def main() -> int:
    args = sys.argv[1:]
    options = dict(zip(args[::2], args[1::2], strict=False))
    mode = os.environ.get("FAKE_SERVER_MODE", "listen")
    if os.environ.get("FAKE_SERVER_ARGS_FILE"):
        # Written whole, then renamed into place: a test that polls for the file never reads half of it.
        path = os.environ["FAKE_SERVER_ARGS_FILE"]
        with open(path + ".tmp", "w") as out:
            json.dump({"argv": args, "cwd": os.getcwd(), "pgid": os.getpgid(0), "pid": os.getpid()}, out)
        os.replace(path + ".tmp", path)
    helper = os.environ.get("FAKE_SERVER_HELPER") or ("plain" if mode == "grandchild" else "")
    if helper:
        start_helper(os.environ["FAKE_SERVER_GRANDCHILD_FILE"], ignore_term=helper == "ignore-term")
    chatter = int(os.environ.get("FAKE_SERVER_CHATTER", "0"))
    pause = float(os.environ.get("FAKE_SERVER_CHATTER_PAUSE", "0"))
    for number in range(chatter):
        print(f"out {number}", flush=pause > 0 or number == chatter - 1)
        print(f"err {number}", file=sys.stderr, flush=pause > 0 or number == chatter - 1)
        time.sleep(pause)
    if mode.startswith("exit:"):
        return int(mode.split(":", 1)[1])
    if mode.startswith("listen-after:"):
        time.sleep(float(mode.split(":")[1]))
    if mode == "ignore-term":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if mode == "never-listen":
        while True:
            time.sleep(1)
    listener = socket.create_server(("127.0.0.1", int(options["--port"])))
    if mode.startswith("listen-then-exit:") or mode.count(":") == 3:
        *_, seconds, status = mode.split(":")
        time.sleep(float(seconds))
        return int(status)
    while True:
        conn, _ = listener.accept()
        conn.close()


if __name__ == "__main__":
    sys.exit(main())
