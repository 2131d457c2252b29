"""Fixtures of the integration tests.

One test bed per test module, an empty bus with only the managers; a module-level marker

    pytestmark = pytest.mark.testbed(auth=True)

makes its broker require the user name and password. The service runs from $CORVEX_BIN; tests
that need it are skipped when it is not set.
"""

from __future__ import annotations

import os
import sys
from typing import Dict, Iterator, List, Optional

import pytest

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from helpers import Corvex  # noqa: E402
from testbed import Testbed  # noqa: E402


def pytest_configure(config) -> None:
    config.addinivalue_line("markers", "testbed(auth=False): how the module's test bed is set up")


@pytest.fixture(scope="module")
def testbed(request) -> Iterator[Testbed]:
    marker = request.node.get_closest_marker("testbed")
    with Testbed(auth=bool(marker and marker.kwargs.get("auth"))) as tb:
        yield tb


class CorvexFactory:
    """Starts service processes, each in its own folder, and remembers them for teardown and failure reports."""

    def __init__(self, testbed: Testbed, tmp_path) -> None:
        self.testbed = testbed
        self.tmp_path = tmp_path
        self.started: List[Corvex] = []

    def __call__(self, sections: Optional[Dict[str, Dict[str, object]]] = None, prefix: List[str] = ()) -> Corvex:
        workdir = self.tmp_path / f"corvex{len(self.started)}"
        workdir.mkdir(exist_ok=True)  # a test may put files there first
        service = Corvex(self.testbed, str(workdir), sections)
        service.prefix = list(prefix)
        self.started.append(service)
        return service.start()

    def kill_all(self) -> None:
        for service in self.started:
            service.kill()


@pytest.fixture
def corvex_factory(testbed, tmp_path) -> Iterator[CorvexFactory]:
    """corvex_factory({"Wifi": {...}}) runs the service with extra configuration; all are killed afterwards."""
    if not os.environ.get("CORVEX_BIN"):
        pytest.skip("CORVEX_BIN is not set")
    factory = CorvexFactory(testbed, tmp_path)
    yield factory
    factory.kill_all()


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
    for service in Corvex.started:
        report.sections.append((f"service log {service.workdir}", service.log()))
