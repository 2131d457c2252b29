"""The service's command line, banner, exit statuses, log levels and the configuration file it creates."""

from __future__ import annotations

import configparser
import os
import re
import shutil
import stat
import subprocess

import pytest

from helpers import poll

BANNER = re.compile(r"corvex v1\.0\.28 \([A-Z][a-z]{2} [ \d]\d \d{4}, \d\d:\d\d:\d\d\)")
PRINTOUT_END = "modem.usageSec"
# Qt wraps long descriptions: compared with the white space folded.
HELP = ("Usage: {binary} [options] An MQTT service for managing network devices and connections. Options: "
        "-h, --help Displays help information and exits. -V, --version Displays version and exits. "
        "-v, --verbose <level> Sets verbosity level: 0=err, 1=warn, 2=info(default), 3=debug "
        "-e, --stderr Log to stderr as well as syslog. -c, --color Use VT100 color codes in log. "
        "-f, --config <filename> Specifies configuration file (default is ./corvex.conf).")
DEFAULT_MQTT = {"base": "vorn/network", "pass": "", "port": "1883", "url": "localhost", "user": ""}


def binary() -> str:
    return os.environ.get("CORVEX_BIN") or pytest.skip("CORVEX_BIN is not set")


def run_until(args: list, text: str, cwd, env: dict | None = None) -> str:
    with open(os.path.join(cwd, "stderr.txt"), "wb+") as err:
        proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL)
        try:
            return poll(lambda: text in (log := open(err.name, errors="replace").read()) and log, 10,
                        lambda: f"{text!r} never appeared:\n{open(err.name, errors='replace').read()}")
        finally:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize("args, code, output", [
    (["-V"], 0, ""), (["--help"], 0, HELP), (["--bogus"], 1, None), (["-x"], 1, None), (["-v"], 1, None),
    (["-f"], 1, None)], ids=["version", "help", "bogus", "-x", "-v", "-f"])
def test_command_line_without_service(args, code, output):
    result = subprocess.run([binary(), *args], capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL)
    if output is None:
        assert (result.returncode, bool(result.stderr)) == (code, True)
    else:
        printed = " ".join(BANNER.sub("", result.stdout, count=1).split())
        assert (result.returncode, BANNER.match(result.stdout) is not None, printed, result.stderr) == (
            code, True, output.format(binary=binary()), "")


UNREACHABLE = "[Mqtt]\nurl=127.0.0.1\nport=1\n"
IGNORED, IGNORED_LOG = "[Ethernet-3]\nid=x\n", "[Config] Config group '[Ethernet-3]' has no 'interface' set. Ignoring."


# What start-up logs, by level and configuration file ("directory": one that cannot be written); an existing file
# is neither rewritten nor re-chmodded. Port 1 on loopback refuses at once; that first error ends start-up.
@pytest.mark.parametrize("level, ini, shown, hidden", [
    ("7", "broker", ["Application Settings"], []),  # clamped to debug: shows what it publishes
    ("1", UNREACHABLE + IGNORED, [IGNORED_LOG], ["Application Settings"]),
    ("-2", UNREACHABLE + IGNORED, [], [IGNORED_LOG]),  # clamped to errors only
    ("abc", UNREACHABLE + IGNORED, [], [IGNORED_LOG]),  # not a number: errors only
    ("2", UNREACHABLE + "pass=s3cret\n[Wifi]\nkey=s3cret\n[Modem]\npassword=s3cret\npin=\n[Ethernet]\nmtu=1500\n"
     "[Ethernet-2]\ninterface=eth0\n" + IGNORED,
     [IGNORED_LOG, "Ethernet-2.interface : eth0\n", "mqtt.pass          : ********\n",
      "wifi.key           : ********\n", "modem.password     : ********\n", "modem.pin          : \n"],
     ["not found", "Failed", "s3cret", "Ethernet-3."]),
    ("2", UNREACHABLE, ["[Config]  wifi.id            : Wifi\n"], ["Ethernet", "Config file not found"]),
    ("2", "directory", ["[Config] Failed to write config file '{config}'."], []),
    ("2 -c", UNREACHABLE, ["\033[31m[IPC] ERROR: TransportInvalid (256).\033[39m"], []),
])
def test_start_up_log(testbed, tmp_path, level, ini, shown, hidden):
    config = tmp_path / "corvex.conf"
    if ini == "directory":
        config.mkdir()
    else:
        config.write_text(ini if ini != "broker" else f"[Mqtt]\nurl=127.0.0.1\nport={testbed.broker.port}\n")
        os.chmod(config, 0o644)
    before = config.read_bytes() if config.is_file() else None
    end = {"broker": "[IPC] Topic: [vorn/network/", "directory": PRINTOUT_END}.get(ini, "ERROR: TransportInvalid")
    log = run_until([binary(), "-e", "-v", *level.split(), "-f", str(config)], end, tmp_path, env=testbed.env())
    shown = [text.format(config=config) for text in shown]
    assert [text in log for text in shown + hidden] == [True] * len(shown) + [False] * len(hidden), log
    if before is not None:
        assert (config.read_bytes(), stat.S_IMODE(os.stat(config).st_mode)) == (before, 0o644)


# With -f, missing folders are made too; without, the file goes beside the executable, not in the working folder.
@pytest.mark.parametrize("beside", [False, True])
def test_missing_file_is_created_with_every_default_and_owner_only(tmp_path, beside):
    (tmp_path / "bin").mkdir()
    (tmp_path / "cwd").mkdir()
    shutil.copy2(binary(), tmp_path / "bin" / "corvex")
    config = tmp_path / ("bin" if beside else "new/folder") / "corvex.conf"
    log = run_until([str(tmp_path / "bin" / "corvex"), "-e", *([] if beside else ["-f", str(config)])], PRINTOUT_END,
                    tmp_path / "cwd")
    assert f"Config file not found: '{config}'.\n" in log and "Creating file with default values." in log
    assert "Failed" not in log and " Ethernet.interface : " in log and not (tmp_path / "cwd" / "corvex.conf").exists()
    assert stat.S_IMODE(os.stat(config).st_mode) == 0o600
    (ini := configparser.ConfigParser(interpolation=None)).read(config)
    assert (sorted(ini.sections()), dict(ini["Mqtt"])) == (["Ethernet", "Modem", "Mqtt", "Wifi"], DEFAULT_MQTT)
