"""Child processes of the test bed: each in its own session, all reaped at exit."""

from __future__ import annotations

import atexit
import os
import shutil
import signal
import socket
import subprocess
import time
from typing import Callable, Dict, List, Optional

_live: "set[ManagedProcess]" = set()


def wait_until(check: Callable[[], bool], timeout: float, what: str, interval: float = 0.02) -> None:
    """Polls check() until it holds; raises TimeoutError naming what was awaited."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def free_port() -> int:
    """A TCP port on loopback that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class ManagedProcess:
    """A child started in a new session so that stopping it also stops whatever it forked.

    Output goes to a log file; every process still running when the interpreter exits is
    stopped by an atexit hook, so a failing test cannot leave one behind.
    """

    def __init__(self, argv: List[str], log_path: str, env: Optional[Dict[str, str]] = None) -> None:
        self.argv = argv
        self.log_path = log_path
        self.env = env
        self.proc: Optional[subprocess.Popen] = None

    def start(self, stdout: Optional[int] = None) -> None:
        """Starts the child; stdout=subprocess.PIPE lets the caller read it (stderr still goes to the log)."""
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                         stdout=stdout if stdout is not None else log, stderr=log,
                                         env=self.env, start_new_session=True)
        _live.add(self)

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout: float = 3.0) -> None:
        """SIGTERM to the whole process group, SIGKILL if it lingers; safe to call twice."""
        _live.discard(self)
        if self.proc is None:
            return
        self._signal_group(signal.SIGTERM)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self._signal_group(signal.SIGKILL)
            self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        self.proc = None

    def _signal_group(self, sig: int) -> None:
        try:
            os.killpg(self.proc.pid, sig)
        except ProcessLookupError:
            pass


@atexit.register
def _stop_all() -> None:
    for p in list(_live):
        p.stop()


def stop_in_folder(daemon: Optional[ManagedProcess], folder: Optional[str]) -> None:
    """Stops a daemon, if one was started, and removes the temporary folder it ran in, if one was made."""
    if daemon:
        daemon.stop()
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
