"""A private /tmp and made-up interface byte counters for a service run in its own mount namespace.

The service reads /sys/class/net/<iface>/statistics and writes /tmp as on a device; the test writes the
counters and reads the service's /tmp from outside, in folders of its own. The host's /tmp and /sys stay
untouched: the mounts exist only in the service's namespace (needs root and unshare).
"""

from __future__ import annotations

import os
import shlex
from typing import Iterable, List


class FakeCounters:
    """`prefix()` goes before the service's command line; `keep` lists host paths below /tmp (the bus
    socket's folder, the service's folder) that must stay visible to the service under their own names."""

    def __init__(self, folder: str, keep: Iterable[str]) -> None:
        self.tmp = os.path.join(folder, "tmp")
        self.net = os.path.join(folder, "net")
        os.makedirs(self.tmp, exist_ok=True)
        os.makedirs(self.net, exist_ok=True)
        self.keep = [os.path.realpath(p) for p in keep]

    @property
    def snapshot(self) -> str:
        return os.path.join(self.tmp, "modem-snapshot.ini")

    def set(self, iface: str, rx: int, tx: int) -> None:
        """Sets an interface's counters; each file is replaced whole, as a read of sysfs never sees half."""
        folder = os.path.join(self.net, iface, "statistics")
        os.makedirs(folder, exist_ok=True)
        for name, value in (("rx_bytes", rx), ("tx_bytes", tx)):
            path = os.path.join(folder, name)
            with open(path + ".new", "w", encoding="ascii") as f:
                f.write(f"{value}\n")
            os.replace(path + ".new", path)

    def prefix(self) -> List[str]:
        # /sys first: the folder of the counters may itself lie below /tmp.
        script = ["set -e", f"mount --bind {shlex.quote(self.net)} /sys/class/net"]
        for path in self.keep:
            inside = os.path.join(self.tmp, os.path.relpath(path, "/tmp"))
            script += [f"mkdir -p {shlex.quote(inside)}", f"mount --bind {shlex.quote(path)} {shlex.quote(inside)}"]
        # The program itself may live below /tmp too (a build in a temporary clone).
        script += ['bin=$(dirname "$(readlink -f "$1")")',
                   f'case "$bin" in /tmp/*) mkdir -p {shlex.quote(self.tmp)}"/${{bin#/tmp/}}"'
                   f' && mount --bind "$bin" {shlex.quote(self.tmp)}"/${{bin#/tmp/}}" ;; esac']
        script += [f"mount --rbind {shlex.quote(self.tmp)} /tmp", 'exec "$@"']
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", "\n".join(script), "sh"]
