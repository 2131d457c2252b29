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
DEFAULT_FILE = {
    "Ethernet": "address= autocon=true dns0= dns1= gateway= id=Ethernet interface= ipv6= mask= method=auto mtu=-1",
    "Modem": "address= apn=internet autocon=true dns0= dns1= gateway= id=Broadband method=auto netmask= network_id= "
             "password= pin= usageSec=120 username=",
    "Mqtt": "base=vorn/network pass= port=1883 url=localhost user=",
    "Wifi": "address= autocon=true dns0= dns1= gateway= id=Wifi key= mask= method=auto ssid=",
}


def binary() -> str:
    return os.environ.get("CORVEX_BIN") or pytest.skip("CORVEX_BIN is not set")


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([binary(), *args], capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL)


def run_until(args: list, text: str, cwd, env: dict | None = None) -> str:
    """Starts the long-running service, waits until its standard error shows `text`, kills it."""
    err_path = os.path.join(cwd, "stderr.txt")
    with open(err_path, "wb") as err:
        proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=err,
                                stdin=subprocess.DEVNULL)

    def log() -> str:
        with open(err_path, encoding="utf-8", errors="replace") as f:
            return f.read()
    try:
        return poll(lambda: text in (current := log()) and current, 10, lambda: f"{text!r} never appeared:\n{log()}")
    finally:
        proc.kill()
        proc.wait()


def test_version_prints_only_the_banner():
    result = run("-V")
    assert (result.returncode, bool(BANNER.fullmatch(result.stdout)), result.stderr) == (0, True, ""), result


def test_help_follows_the_banner():
    result = run("--help")
    assert result.returncode == 0
    assert " ".join(BANNER.sub("", result.stdout, count=1).split()) == HELP.format(binary=binary())


@pytest.mark.parametrize("args", [["--bogus"], ["-x"], ["-v"], ["-f"]])
def test_malformed_command_line_exits_with_1(args):
    result = run(*args)
    assert result.returncode == 1 and result.stderr


UNREACHABLE = "[Mqtt]\nurl=127.0.0.1\nport=1\n"
IGNORED, IGNORED_LOG = "[Ethernet-3]\nid=x\n", "[Config] Config group '[Ethernet-3]' has no 'interface' set. Ignoring."


# What start-up logs, by level and configuration file ("directory": one that cannot be written). Port 1 on
# loopback refuses at once, and that first error is logged whatever the level: it ends start-up.
@pytest.mark.parametrize("level, ini, shown, hidden", [
    ("7", "broker", ["Application Settings"], []),  # clamped to debug: shows what it publishes
    ("1", UNREACHABLE + IGNORED, [IGNORED_LOG], ["Application Settings"]),
    ("-2", UNREACHABLE + IGNORED, [], [IGNORED_LOG]),  # clamped to errors only
    ("abc", UNREACHABLE + IGNORED, [], [IGNORED_LOG]),  # not a number: errors only
    ("2", UNREACHABLE + "[Ethernet]\nmtu=1500\n[Ethernet-2]\ninterface=eth0\n",
     ["[Config]  mqtt.port          : 1\n", "[Config]  Ethernet.mtu       : 1500\n",
      "[Config]  Ethernet-2.interface : eth0\n", "[Config]  wifi.autocon       : true\n",
      "[Config]  modem.autocon      : 1\n"], ["not found", "Failed"]),
    ("2", UNREACHABLE, ["[Config]  wifi.id            : Wifi\n"], ["Ethernet"]),
    ("2", UNREACHABLE + "pass=s3cret\n[Wifi]\nkey=s3cret\n[Modem]\npassword=s3cret\npin=\n",
     ["[Config]  mqtt.pass          : ********\n", "[Config]  wifi.key           : ********\n",
      "[Config]  modem.password     : ********\n", "[Config]  modem.pin          : \n"], ["s3cret"]),
    ("2", UNREACHABLE + IGNORED, [IGNORED_LOG], ["Ethernet-3."]),
    ("2", "directory", ["[Config] Failed to write config file '{config}'."], []),
])
def test_start_up_log(testbed, tmp_path, level, ini, shown, hidden):
    config = tmp_path / "corvex.conf"
    if ini == "directory":
        config.mkdir()
    else:
        config.write_text(ini if ini != "broker" else f"[Mqtt]\nurl=127.0.0.1\nport={testbed.broker.port}\n")
    end = {"broker": "[IPC] Topic: [vorn/network/", "directory": PRINTOUT_END}.get(ini, "ERROR: TransportInvalid")
    log = run_until([binary(), "-e", "-v", level, "-f", str(config)], end, tmp_path, env=testbed.env())
    shown = [text.format(config=config) for text in shown]
    assert [text in log for text in shown + hidden] == [True] * len(shown) + [False] * len(hidden), log


def test_colour_codes_wrap_the_tagged_message(tmp_path):
    (tmp_path / "corvex.conf").write_text(UNREACHABLE)
    log = run_until([binary(), "-e", "-c", "-f", str(tmp_path / "corvex.conf")], "TransportInvalid", tmp_path)
    assert re.search(r"\[ *\d+\.\d{3}\] \033\[39m\[Config\]  mqtt\.port          : 1\033\[39m", log)
    assert "\033[31m[IPC] ERROR: TransportInvalid (256).\033[39m" in log


def test_missing_file_is_created_with_every_default_and_owner_only(tmp_path):
    config = tmp_path / "new" / "folder" / "corvex.conf"  # missing folders are made too
    log = run_until([binary(), "-e", "-f", str(config)], PRINTOUT_END, tmp_path)
    assert f"Config file not found: '{config}'.\n" in log and "Creating file with default values." in log
    assert "Failed" not in log and " Ethernet.interface : " in log
    assert stat.S_IMODE(os.stat(config).st_mode) == 0o600
    ini = configparser.ConfigParser(interpolation=None)
    ini.optionxform = str  # keys are case-sensitive
    ini.read(config)
    assert {group: " ".join(f"{k}={v}" for k, v in ini[group].items()) for group in ini.sections()} == DEFAULT_FILE


def test_existing_file_is_neither_rewritten_nor_rechmodded(tmp_path):
    config = tmp_path / "corvex.conf"
    config.write_text(UNREACHABLE)
    os.chmod(config, 0o644)
    before = config.read_bytes()
    log = run_until([binary(), "-e", "-f", str(config)], PRINTOUT_END, tmp_path)
    assert ("Config file not found" in log, config.read_bytes(), stat.S_IMODE(os.stat(config).st_mode)) == (
        False, before, 0o644)


def test_default_file_lives_beside_the_executable(tmp_path):
    (tmp_path / "bin").mkdir()
    (tmp_path / "cwd").mkdir()
    shutil.copy2(binary(), tmp_path / "bin" / "corvex")
    run_until([str(tmp_path / "bin" / "corvex"), "-e"], PRINTOUT_END, tmp_path / "cwd")
    assert ((tmp_path / "bin" / "corvex.conf").is_file(), (tmp_path / "cwd" / "corvex.conf").exists()) == (True, False)
