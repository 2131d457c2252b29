"""Fixtures of the integration tests.

One test bed per test module, configured with a module-level marker:

    pytestmark = pytest.mark.testbed(auth=True, scenario="demo")

`auth` makes the broker require the user name and password; `scenario="demo"` loads the demo
devices and profiles (the default is an empty bus with only the managers). The service runs
from $CORVEX_BIN; tests that need it are skipped when it is not set.
"""

from __future__ import annotations

import os
import sys
from typing import Dict, Iterator, List, Optional

import pytest

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from helpers import Corvex, MqttRecorder  # noqa: E402
from testbed import Testbed  # noqa: E402


def pytest_configure(config) -> None:
    config.addinivalue_line("markers", "testbed(auth=False, scenario=None): how the module's test bed is set up")


@pytest.fixture(scope="module")
def testbed(request) -> Iterator[Testbed]:
    marker = request.node.get_closest_marker("testbed")
    options = dict(marker.kwargs) if marker else {}
    scenario = options.pop("scenario", None)
    with Testbed(auth=options.pop("auth", False)) as tb:
        if scenario == "demo":
            tb.load_demo_scenario()
        elif scenario is not None:
            raise ValueError(f"unknown test bed scenario {scenario!r}")
        yield tb


@pytest.fixture
def mqtt(testbed) -> Iterator[MqttRecorder]:
    """Recorder on the base topic, started on a broker without retained leftovers of earlier tests."""
    broker = testbed.broker
    recorder = MqttRecorder(broker.port, broker.user if broker.auth else None,
                            broker.password if broker.auth else None)
    recorder.clear_retained()
    yield recorder
    recorder.close()


class CorvexFactory:
    """Starts service processes, each in its own folder, and remembers them for teardown and failure reports."""

    def __init__(self, testbed: Testbed, tmp_path) -> None:
        self.testbed = testbed
        self.tmp_path = tmp_path
        self.started: List[Corvex] = []

    def __call__(self, sections: Optional[Dict[str, Dict[str, object]]] = None, *args: str) -> Corvex:
        workdir = self.tmp_path / f"corvex{len(self.started)}"
        workdir.mkdir()
        service = Corvex(self.testbed, str(workdir), sections)
        self.started.append(service)
        return service.start(*args)

    def kill_all(self) -> None:
        for service in self.started:
            service.kill()


@pytest.fixture
def corvex_factory(testbed, tmp_path, mqtt) -> Iterator[CorvexFactory]:
    """corvex_factory({"Wifi": {...}}) runs the service with extra configuration; all are killed afterwards.

    Depends on `mqtt` so the recorder is listening before the service publishes anything.
    """
    if not os.environ.get("CORVEX_BIN"):
        pytest.skip("CORVEX_BIN is not set")
    factory = CorvexFactory(testbed, tmp_path)
    yield factory
    factory.kill_all()


@pytest.fixture
def corvex(corvex_factory) -> Corvex:
    return corvex_factory()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """On failure, attach what the service, the simulators, the bus and the broker logged."""
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    funcargs = getattr(item, "funcargs", {})
    testbed = funcargs.get("testbed")
    if testbed is not None:
        report.sections.append(("test bed logs", testbed.logs()))
    factory = funcargs.get("corvex_factory")
    for service in factory.started if factory else ():
        report.sections.append((f"service log {service.workdir}", service.log()))
