"""TLS to the broker against a real mosquitto, with a CA and certificates made here by openssl."""

from __future__ import annotations

import os
import subprocess

import pytest

from helpers import MqttRecorder, ask, wait_for_log_count
from testbed.process import ManagedProcess, free_port, port_open, wait_until

RETRY = 3.0
LISTENERS = ("plain", "tls", "client-cert")


def openssl(folder, *args: str) -> None:
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def issue(folder, name: str, ca: str, san: str) -> None:
    """A key and a certificate for `name`, signed by the CA `ca`, valid for `san`."""
    openssl(folder, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
            f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.csr")
    (folder / f"{name}.ext").write_text(f"subjectAltName={san}\n")
    openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
            "-CAcreateserial", "-days", "1", "-extfile", f"{name}.ext", "-out", f"{name}.crt")


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    for ca in ("ca", "other-ca"):
        openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                "-days", "1", "-subj", f"/CN={ca}", "-keyout", f"{ca}.key", "-out", f"{ca}.crt")
    issue(folder, "server", "ca", "DNS:localhost")
    issue(folder, "client", "ca", "DNS:corvex")
    (folder / "garbage.key").write_text("not a key\n")
    return folder


@pytest.fixture(scope="module")
def broker(pki):
    """One mosquitto with a plain listener for the recorder, a TLS one, and a TLS one that wants a client
    certificate; yields the port of each."""
    ports = {name: free_port() for name in LISTENERS}
    tls = [f"cafile {pki}/ca.crt", f"certfile {pki}/server.crt", f"keyfile {pki}/server.key"]
    lines = ["persistence false", "allow_anonymous true", "log_dest stderr", "log_type all",
             f"listener {ports['plain']} 127.0.0.1",
             f"listener {ports['tls']} 127.0.0.1", *tls,
             f"listener {ports['client-cert']} 127.0.0.1", *tls, "require_certificate true"]
    if os.getuid() == 0:
        lines.append("user root")  # mosquitto would switch to its own user, which cannot read the keys
    (pki / "mosquitto.conf").write_text("\n".join(lines) + "\n")
    daemon = ManagedProcess(["mosquitto", "-c", str(pki / "mosquitto.conf")], str(pki / "mosquitto.log"))
    daemon.start()
    try:
        wait_until(lambda: all(map(port_open, ports.values())), 5, "mosquitto to listen")
        yield ports
    finally:
        daemon.stop()


@pytest.mark.parametrize("host, listener, ca, client", [
    ("localhost", "tls", "ca", None),  # the certificate names localhost, the library gets 127.0.0.1
    ("localhost", "client-cert", "ca", "client"),
])
def test_connects_and_answers_with_the_right_ca(corvex_factory, broker, pki, host, listener, ca, client):
    files = {"certfile": pki / f"{client}.crt", "keyfile": pki / f"{client}.key"} if client else {}
    corvex_factory({"Mqtt": {"url": host, "port": broker[listener], "cafile": pki / f"{ca}.crt", **files}})
    recorder = MqttRecorder(broker["plain"])
    try:
        recorder.wait_for("info")
        assert "stateStr" in ask(recorder, "status/get", {}, "status").data
    finally:
        recorder.close()


@pytest.mark.parametrize("host, listener, ca, cert, key, reason", [
    ("localhost", "tls", "other-ca", None, None, "certificate verify failed"),
    ("127.0.0.1", "tls", "ca", None, None, "certificate verify failed"),  # the name is not the address
    ("localhost", "client-cert", "ca", None, None, "OpenSSL Error"),
    ("localhost", "client-cert", "ca", "client", "garbage", "TLS: cannot use the key file"),
    ("localhost", "tls", "missing", None, None, "TLS: cannot use the CA file"),
])
def test_refuses_logs_and_retries(corvex_factory, broker, pki, host, listener, ca, cert, key, reason):
    files = {"certfile": pki / f"{cert}.crt", "keyfile": pki / f"{key}.key"} if cert else {}
    service = corvex_factory({"Mqtt": {"url": host, "port": broker[listener], "cafile": pki / f"{ca}.crt",
                                       **files}})
    attempts = wait_for_log_count(service, f"Connecting to {host}", 2, 2 * RETRY + 2)
    assert attempts[1] - attempts[0] == pytest.approx(RETRY, abs=0.7)
    log = service.log()
    assert reason in log and "ERROR: TransportInvalid (256)." in log
    assert "QSocketNotifier" not in log  # no socket watched after the library closed it
    assert "[IPC] Connected." not in log
    assert f" mqtt.cafile        : {pki}/{ca}.crt" in log
