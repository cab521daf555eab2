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
  listen-then-close:S     listen, then close the listening socket after S seconds and live on
FAKE_SERVER_HELPER starts such a child in any mode, before anything else: plain; ignore-term, which ignores
SIGTERM; setsid, which moves to a session of its own; daemon, which double-forks (setsid, fork, the middle one
exits). The child (the daemon: the last one) writes its own pid to the file once it is set up.
With FAKE_SERVER_CHATTER=N it first writes N numbered lines to stdout and to stderr
(more than a pipe holds when N is large, so an undrained pipe blocks it), FAKE_SERVER_CHATTER_PAUSE
seconds apart (default: at once).
The command line it got is written as JSON to FAKE_SERVER_ARGS_FILE when that is set, with its working folder,
group, pid and the server mark in its environment.

Listening, it shakes hands over TLS with the --cert and --key it was given, as the real server does, where
those files exist (tests with certificate doubles name none that do: it then only accepts), and closes each
connection after the handshake, like a server with no routes; FAKE_SERVER_HEALTH=N answers each request
with status N instead, and FAKE_SERVER_TLS=off only accepts.
"""

import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

HELPER = """
import os, signal, sys, time
mode = sys.argv[2]
if mode == "ignore-term":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
if mode in ("setsid", "daemon"):
    os.setsid()
if mode == "daemon" and os.fork():
    os._exit(0)
with open(sys.argv[1] + ".tmp", "w") as out:
    out.write(str(os.getpid()))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(300)
"""


def start_helper(pid_file: str, mode: str) -> None:
    """Starts a child (in the server's own group unless `mode` leaves it) and returns once it is set up."""
    subprocess.Popen([sys.executable, "-c", HELPER, pid_file, mode])
    deadline = time.monotonic() + 20
    while not os.path.exists(pid_file) and time.monotonic() < deadline:
        time.sleep(0.01)


def tls_context(options):
    """The server side of TLS with the certificate named on the command line; None for plain accepts."""
    cert, key = options.get("--cert"), options.get("--key")
    if os.environ.get("FAKE_SERVER_TLS") == "off" or not (cert and key and os.path.isfile(cert)):
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def serve(listener, context):
    """Accept connections one at a time, each with a handshake (and an answer) when `context` is set."""
    status = os.environ.get("FAKE_SERVER_HEALTH")
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return  # no longer listening
        with conn:
            if context is None:
                continue
            conn.settimeout(5)  # a client that never shakes hands holds up the others no longer
            try:
                with context.wrap_socket(conn, server_side=True) as tls:
                    if status:
                        request = b""
                        while b"\r\n\r\n" not in request and (chunk := tls.recv(4096)):
                            request += chunk
                        tls.sendall(
                            f"HTTP/1.1 {status} Fake\r\nContent-Length: 0\r\nConnection: close\r\n\r\n".encode()
                        )
            except OSError:
                pass  # a probe that only connects, or a client that gave up: the next one


def main() -> int:
    args = sys.argv[1:]
    options = dict(zip(args[::2], args[1::2], strict=False))
    mode = os.environ.get("FAKE_SERVER_MODE", "listen")
    if recording := os.environ.get("FAKE_SERVER_ARGS_FILE"):
        # Written whole, then renamed into place: a test that polls for the file never reads half of it.
        with open(recording + ".tmp", "w") as out:
            mark = os.environ.get("VELMORA_ADDIN_SERVER_MARK")
            json.dump({"argv": args, "cwd": os.getcwd(), "pgid": os.getpgid(0), "pid": os.getpid(), "mark": mark}, out)
        os.replace(recording + ".tmp", recording)
    helper = os.environ.get("FAKE_SERVER_HELPER") or ("plain" if mode == "grandchild" else "")
    if helper:
        start_helper(os.environ["FAKE_SERVER_GRANDCHILD_FILE"], helper)
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
    threading.Thread(target=serve, args=(listener, tls_context(options)), daemon=True).start()
    if mode.startswith("listen-then-exit:") or mode.count(":") == 3:
        *_, seconds, status = mode.split(":")
        time.sleep(float(seconds))
        return int(status)
    if mode.startswith("listen-then-close:"):
        time.sleep(float(mode.split(":")[1]))
        listener.shutdown(socket.SHUT_RDWR)  # stops listening, and wakes the accepting thread
        listener.close()
        while True:
            time.sleep(1)
    while True:
        time.sleep(60)


if __name__ == "__main__":
    sys.exit(main())
