"""The `velmora-addin` command line (also `python -m velmora_master.addin_launcher`).

    velmora-addin [run] [server options]    start the server, keep it running until Ctrl-C or SIGTERM
    velmora-addin demo [server options]     start, make one verified HTTPS request, stop
    velmora-addin certs show [--json]|trust|untrust|renew [--ca]
    velmora-addin doctor [--json]            check the set-up, one line per check; changes nothing
    velmora-addin stop --port N              end the server of ours that holds port N, and nothing else

Exit statuses: 0 done, 1 the server failed to start or stopped on its own, a check of the doctor failed, stop
refused a holder not ours (or another failure), 2 a usage error, 128 + N after signal N (130 after Ctrl-C, 129
after the terminal closed, 143 after SIGTERM; every signal that would end the program stops the server first,
see _ending_signals.py). Every error is one line on stderr; --debug adds the traceback.

One job per module: `entry` runs a command and turns what ended it into a line and an exit status
(`exit_status`); `signals` lets a signal cut the work short; `parser` with `argtypes` reads the command
line, `verbosity` sets how much is said, `streams` keeps the standard streams harmless when closed or gone;
`serve` runs `run` and `demo`: `preflight` checks first, `supervision` follows the launched server and ends
it, `status_line` shows the wait; `certs` the certificate commands, and what is told of a replaced CA;
`certificate_facts` what they and the doctor read of the certificates and the trust stores; the package
`doctor` runs the checks of the set-up, one module for each thing it looks at;
`json_output` the documents of --json; `port_holder` says who holds a port, for `preflight`, the doctor and
`stop`, which ends a server of ours. None of them imports the heavy modules (the compiled manager,
cryptography, psutil) at its top: they come only once the signal handlers are in place, so a Ctrl-C at any
moment ends in order.
"""

from .entry import main

__all__ = ["main"]
