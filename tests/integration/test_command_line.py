"""The service's command line, banner, exit statuses, log levels and the configuration file it creates."""

from __future__ import annotations

import configparser
import os
import re
import shutil
import stat
import subprocess
import time

import pytest

BANNER = re.compile(r"corvex v1\.0\.28 \([A-Z][a-z]{2} [ \d]\d \d{4}, \d\d:\d\d:\d\d\)")
PRINTOUT_END = "modem.usageSec"


def binary() -> str:
    path = os.environ.get("CORVEX_BIN", "")
    if not path:
        pytest.skip("CORVEX_BIN is not set")
    return path


def run(*args: str, cwd: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([binary(), *args], cwd=cwd, capture_output=True, text=True, timeout=10,
                          stdin=subprocess.DEVNULL)


def run_until(args: list[str], text: str, cwd: str, env: dict | None = None, timeout: float = 10) -> str:
    """Starts the long-running service, waits until its standard error shows `text`, kills it."""
    err_path = os.path.join(cwd, "stderr.txt")
    with open(err_path, "wb") as err:
        proc = subprocess.Popen([*args], cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=err,
                                stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(err_path, encoding="utf-8", errors="replace") as f:
                log = f.read()
            if text in log:
                return log
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"{text!r} never appeared; the service wrote:\n{log}")
    finally:
        proc.kill()
        proc.wait()


def unreachable_broker_config(path: str) -> str:
    # Port 1 on loopback refuses at once: the service keeps retrying and never publishes.
    with open(path, "w", encoding="utf-8") as f:
        f.write("[Mqtt]\nurl=127.0.0.1\nport=1\n")
    return path


def test_version_prints_only_the_banner():
    result = run("-V")
    assert result.returncode == 0
    assert BANNER.fullmatch(result.stdout), result.stdout
    assert result.stderr == ""


def test_help_follows_the_banner():
    result = run("--help")
    assert result.returncode == 0
    assert BANNER.match(result.stdout)
    # Qt wraps long descriptions: compare with the white space folded.
    help_text = " ".join(result.stdout[BANNER.match(result.stdout).end():].split())
    for line in ("An MQTT service for managing network devices and connections.",
                 "Displays help information and exits.", "Displays version and exits.",
                 "Sets verbosity level: 0=err, 1=warn, 2=info(default), 3=debug",
                 "Log to stderr as well as syslog.", "Use VT100 color codes in log.",
                 "Specifies configuration file (default is ./corvex.conf)."):
        assert line in help_text


@pytest.mark.parametrize("args", [["--bogus"], ["-x"], ["-v"], ["-f"]])
def test_malformed_command_line_exits_with_1(args):
    result = run(*args)
    assert result.returncode == 1
    assert result.stderr


@pytest.mark.parametrize("level, shows_info, shows_warning", [
    ("7", True, True),     # clamped to debug
    ("1", False, True),
    ("-2", False, False),  # clamped to errors only
    ("abc", False, False),  # not a number: errors only
])
def test_verbosity_is_clamped(tmp_path, level, shows_info, shows_warning):
    config = str(tmp_path / "corvex.conf")  # missing: its creation logs warnings, its printout is Info
    # The first connection error is logged whatever the level, so it marks the end of start-up.
    log = run_until([binary(), "-e", "-v", level, "-f", config], "ERROR: TransportInvalid", str(tmp_path))
    assert ("Application Settings" in log) == shows_info
    assert ("Config file not found" in log) == shows_warning


def test_debug_level_shows_debug_records(testbed, tmp_path):
    config = tmp_path / "corvex.conf"
    config.write_text(f"[Mqtt]\nurl=127.0.0.1\nport={testbed.broker.port}\n")
    log = run_until([binary(), "-e", "-v", "7", "-f", str(config)], "Publishing Message", str(tmp_path),
                    env=testbed.env())
    assert "[IPC] Topic: [vorn/network/" in log


def test_colour_codes_wrap_the_tagged_message(tmp_path):
    config = unreachable_broker_config(str(tmp_path / "corvex.conf"))
    log = run_until([binary(), "-e", "-c", "-f", config], "TransportInvalid", str(tmp_path))
    assert re.search(r"\[ *\d+\.\d{3}\] \033\[39m\[Config\]  mqtt\.port          : 1\033\[39m", log)
    assert "\033[31m[IPC] ERROR: TransportInvalid (256).\033[39m" in log


DEFAULT_KEYS = {
    "Mqtt": "base,pass,port,url,user",
    "Ethernet": "address,autocon,dns0,dns1,gateway,id,interface,ipv6,mask,method,mtu",
    "Wifi": "address,autocon,dns0,dns1,gateway,id,key,mask,method,ssid",
    "Modem": "address,apn,autocon,dns0,dns1,gateway,id,method,netmask,network_id,password,pin,usageSec,username",
}


def test_missing_file_is_created_with_every_default_and_owner_only(tmp_path):
    config = tmp_path / "new" / "folder" / "corvex.conf"  # missing folders are made too
    log = run_until([binary(), "-e", "-f", str(config)], PRINTOUT_END, str(tmp_path))
    assert f"Config file not found: '{config}'." in log
    assert "Creating file with default values." in log
    assert "Failed" not in log
    assert stat.S_IMODE(os.stat(config).st_mode) == 0o600
    ini = configparser.ConfigParser(interpolation=None)
    ini.optionxform = str  # keys are case-sensitive
    ini.read(config)
    assert {group: ",".join(sorted(ini[group])) for group in ini.sections()} == DEFAULT_KEYS
    text = config.read_text()
    for key in ("url=localhost", "port=1883", "base=vorn/network", "id=Ethernet", "mtu=-1", "id=Wifi",
                "id=Broadband", "apn=internet", "usageSec=120", "netmask=", "network_id="):
        assert key in text
    assert " Ethernet.interface : " in log


def test_existing_file_is_neither_rewritten_nor_rechmodded(tmp_path):
    config = tmp_path / "corvex.conf"
    unreachable_broker_config(str(config))
    os.chmod(config, 0o644)
    before = config.read_bytes()
    log = run_until([binary(), "-e", "-f", str(config)], PRINTOUT_END, str(tmp_path))
    assert "Config file not found" not in log
    assert config.read_bytes() == before
    assert stat.S_IMODE(os.stat(config).st_mode) == 0o644


def test_default_file_lives_beside_the_executable(tmp_path):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    copy = bindir / "corvex"
    shutil.copy2(binary(), copy)
    elsewhere = tmp_path / "cwd"
    elsewhere.mkdir()
    run_until([str(copy), "-e"], PRINTOUT_END, str(elsewhere))
    assert (bindir / "corvex.conf").is_file()
    assert not (elsewhere / "corvex.conf").exists()
