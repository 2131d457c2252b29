import os
import subprocess

import pytest

from helpers import MqttRecorder, ask, wait_for_log_count
from testbed.process import ManagedProcess, free_port, port_open, wait_until


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    signed = ["-CA", "ca.crt", "-CAkey", "ca.key", "-addext", "basicConstraints=CA:FALSE", "-addext"]
    for name, extra in (("ca", []), ("other-ca", []), ("server", [*signed, "subjectAltName=DNS:localhost"]),
                        ("client", [*signed, "subjectAltName=DNS:corvex"])):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.crt",
                        *extra], cwd=folder, check=True, capture_output=True)
    (folder / "garbage.key").write_text("not a key\n")
    return folder


@pytest.fixture(scope="module")
def broker(pki):
    ports = {name: free_port() for name in ("plain", "tls", "client-cert")}
    tls = [f"cafile {pki}/ca.crt", f"certfile {pki}/server.crt", f"keyfile {pki}/server.key"]
    (pki / "mosquitto.conf").write_text("\n".join(
        ["persistence false", "allow_anonymous true", f"listener {ports['plain']} 127.0.0.1",
         f"listener {ports['tls']} 127.0.0.1", *tls, f"listener {ports['client-cert']} 127.0.0.1", *tls,
         "require_certificate true"] + (["user root"] if os.getuid() == 0 else [])) + "\n")  # to read the keys
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
    files = {"certfile": pki / cert, "keyfile": pki / key} if cert else {}
    service = corvex_factory({"Mqtt": {"url": host, "port": broker[listener], "cafile": pki / f"{ca}.crt", **files,
                                       "availability": "availability"}})
    if refusal is None:  # it answers, and its will goes out over TLS when it dies
        recorder = MqttRecorder(broker["plain"])
        recorder.wait_for("availability", lambda d: d == "online")
        assert "stateStr" in ask(recorder, "status/get", {}, "status").data
        since = recorder.count()
        service.kill()
        recorder.wait_for("availability", lambda d: d == "offline", timeout=1.0, since=since)
        recorder.close()
        return
    first, second = wait_for_log_count(service, f"Connecting to {host}", 2, 8)[:2]
    log = service.log()  # no socket may be watched after the library closed it
    texts = (refusal, "ERROR: TransportInvalid (256).", f" mqtt.cafile        : {pki}/{ca}.crt", "[IPC] Connected.",
             "QSocketNotifier")
    # Retried after the jittered 3 s delay: the second attempt came within the wait above, and not before 2.4 s.
    assert ([text in log for text in texts], second - first >= 2.399) == ([True, True, True, False, False], True)


def test_a_client_certificate_without_a_ca_warns_that_tls_is_off(corvex_factory, pki):
    service = corvex_factory({"Mqtt": {"certfile": pki / "client.crt", "keyfile": pki / "client.key"}})
    service.wait_for_log("[Config] TLS is off: Mqtt/cafile is not set")
