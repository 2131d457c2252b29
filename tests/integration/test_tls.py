"""TLS to the broker against a real mosquitto, with a CA and certificates made here by openssl."""

from __future__ import annotations

import os
import socket
import ssl
import subprocess

import pytest

from helpers import MqttRecorder, ask, wait_for_log_count
from testbed.process import ManagedProcess, free_port, port_open, wait_until

KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


def openssl(folder, *args) -> None:
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    for ca in ("ca", "other-ca"):
        openssl(folder, "req", "-x509", *KEY, "-days", "1", "-subj", f"/CN={ca}", "-keyout", f"{ca}.key", "-out",
                f"{ca}.crt")
    for name, san in (("server", "DNS:localhost"), ("client", "DNS:corvex")):
        (folder / f"{name}.ext").write_text(f"subjectAltName={san}\n")
        openssl(folder, "req", *KEY, "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.csr")
        openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "1", "-extfile", f"{name}.ext", "-out", f"{name}.crt")
    (folder / "garbage.key").write_text("not a key\n")
    return folder


@pytest.fixture(scope="module")
def broker(pki):
    """mosquitto listening in clear (for the recorder), with TLS, and with TLS and a required client certificate."""
    ports = {name: free_port() for name in ("plain", "tls", "client-cert")}
    tls = [f"cafile {pki}/ca.crt", f"certfile {pki}/server.crt", f"keyfile {pki}/server.key"]
    lines = ["persistence false", "allow_anonymous true", f"listener {ports['plain']} 127.0.0.1",
             f"listener {ports['tls']} 127.0.0.1", *tls, f"listener {ports['client-cert']} 127.0.0.1", *tls,
             "require_certificate true"] + (["user root"] if os.getuid() == 0 else [])  # to read the keys
    (pki / "mosquitto.conf").write_text("\n".join(lines) + "\n")
    daemon = ManagedProcess(["mosquitto", "-c", str(pki / "mosquitto.conf")], str(pki / "mosquitto.log"))
    daemon.start()
    try:
        wait_until(lambda: all(map(port_open, ports.values())), 5, "mosquitto to listen")
        yield ports
    finally:
        daemon.stop()


@pytest.mark.parametrize("host, listener, ca, cert, key, refusal", [
    ("localhost", "tls", "ca", None, None, None),  # the certificate names localhost, the library gets 127.0.0.1
    ("localhost", "client-cert", "ca", "client.crt", "client.key", None),
    ("localhost", "tls", "other-ca", None, None, "refused: self-signed certificate in certificate chain"),
    ("127.0.0.1", "tls", "ca", None, None, "refused: IP address mismatch"),  # the address is not the name
    ("localhost", "client-cert", "ca", None, None, "Disconnected."),  # the broker's alert may come as a reset
    ("localhost", "client-cert", "ca", "client.crt", "garbage.key", "TLS: cannot use the key file"),
    ("localhost", "tls", "missing", None, None, "TLS: cannot use the CA file"),
])
def test_tls_connects_or_refuses_logs_and_retries(corvex_factory, broker, pki, host, listener, ca, cert, key,
                                                   refusal):
    recorder = MqttRecorder(broker["plain"])
    files = {"certfile": pki / cert, "keyfile": pki / key} if cert else {}
    service = corvex_factory({"Mqtt": {"url": host, "port": broker[listener], "cafile": pki / f"{ca}.crt", **files}})
    try:
        if refusal is None:
            recorder.wait_for("info")
            assert "stateStr" in ask(recorder, "status/get", {}, "status").data
            return
        attempts = wait_for_log_count(service, f"Connecting to {host}", 2, 8)
        assert attempts[1] - attempts[0] == pytest.approx(3, abs=0.7)
        log = service.log()
        assert refusal in log and "ERROR: TransportInvalid (256)." in log and "[IPC] Connected." not in log
        assert "QSocketNotifier" not in log  # no socket watched after the library closed it
        assert f" mqtt.cafile        : {pki}/{ca}.crt" in log
    finally:
        recorder.close()


@pytest.mark.parametrize("host, server_name", [("localhost", "localhost"), ("127.0.0.1", None)])
def test_server_name_indication_is_the_configured_name(corvex_factory, pki, host, server_name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pki / "server.crt", pki / "server.key")
    names = []
    context.sni_callback = lambda _socket, name, _context: names.append(name)
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(10)
        corvex_factory({"Mqtt": {"url": host, "port": server.getsockname()[1], "cafile": pki / "ca.crt"}})
        connection = server.accept()[0]
        connection.settimeout(10)
        try:
            context.wrap_socket(connection, server_side=True).close()
        except ssl.SSLError:
            assert server_name is None  # the certificate does not name the address
    assert names == [server_name]
