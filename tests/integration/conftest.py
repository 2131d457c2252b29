"""One test bed per module (`pytestmark = pytest.mark.testbed(auth=True)` makes its broker ask for credentials)."""

from __future__ import annotations

import os
import sys
from typing import Dict, Iterator, List, Optional

import pytest

sys.path[:0] = [os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")), os.path.dirname(__file__)]

from testbed import Testbed  # noqa: E402
from testbed.service import Corvex  # noqa: E402


def pytest_configure(config) -> None:
    config.addinivalue_line("markers", "testbed(auth=False): how the module's test bed is set up")


@pytest.fixture(scope="module")
def testbed(request) -> Iterator[Testbed]:
    if not os.environ.get("CORVEX_BIN"):
        pytest.skip("CORVEX_BIN is not set")
    marker = request.node.get_closest_marker("testbed")
    with Testbed(auth=bool(marker and marker.kwargs.get("auth"))) as tb:
        yield tb


@pytest.fixture
def corvex_factory(testbed, tmp_path) -> Iterator:
    """corvex_factory({"Wifi": {...}}) runs the service with extra configuration; all are killed afterwards."""
    started = []

    def start(sections: Optional[Dict[str, Dict[str, object]]] = None, prefix: List[str] = ()) -> Corvex:
        (tmp_path / f"corvex{len(started)}").mkdir(exist_ok=True)  # a test may put files there first
        started.append(Corvex(testbed, str(tmp_path / f"corvex{len(started)}"), sections))
        started[-1].prefix = list(prefix)
        return started[-1].start()
    yield start
    for service in started:
        service.kill()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """On failure, attach what the service, the simulators, the bus and the broker logged."""
    report = (yield).get_result()
    if report.when == "call" and report.failed:
        if (testbed := getattr(item, "funcargs", {}).get("testbed")) is not None:
            report.sections.append(("test bed logs", testbed.logs()))
        report.sections += [(f"service log {service.workdir}", service.log()) for service in Corvex.started]
