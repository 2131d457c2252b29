"""Command line of the test bed.

    /usr/bin/python3 -m testbed demo            start the demo scenario and wait for SIGTERM/SIGINT
    /usr/bin/python3 -m testbed run -- CMD ...  run CMD against the demo scenario, exit with its status

Both print one machine-readable line first:
    TESTBED bus=<address> port=<broker port>
"""

from __future__ import annotations

import argparse
import signal
import subprocess
import sys
from typing import List

from . import Testbed


def _announce(tb: Testbed) -> None:
    print(f"TESTBED bus={tb.bus_address} port={tb.broker.port}", flush=True)


def demo(auth: bool) -> int:
    # SIGTERM must unwind through the context manager so everything is stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with Testbed(auth=auth) as tb:
        tb.load_demo_scenario()
        _announce(tb)
        if auth:
            print(f"TESTBED user={tb.broker.user} pass={tb.broker.password}", flush=True)
        try:
            signal.pause()
        except KeyboardInterrupt:
            pass
    return 0


def run(command: List[str], auth: bool) -> int:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    with Testbed(auth=auth) as tb:
        tb.load_demo_scenario()
        _announce(tb)
        status = subprocess.run(command, env=tb.env(), check=False).returncode
        if status != 0:
            print(tb.logs(), file=sys.stderr)
        return status


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m testbed", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--auth", action="store_true", help="broker requires a user name and password")
    sub = parser.add_subparsers(dest="action", required=True)
    sub.add_parser("demo", help="start the demo scenario and wait until terminated")
    runner = sub.add_parser("run", help="run a command against the demo scenario")
    runner.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.action == "demo":
        return demo(args.auth)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("run needs a command")
    return run(command, args.auth)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
