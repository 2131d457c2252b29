"""The MQTT reference names every command of the service's command table and every topic it publishes."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
REFERENCE = (ROOT / "docs" / "mqtt-interface.md").read_text(encoding="utf-8")
COMMANDS = set(re.findall(r'\{ QStringLiteral\("([^"]+)"\), &Engine::process',
                          (ROOT / "src" / "CorvexEngine.cpp").read_text(encoding="utf-8")))
TOPICS = {topic for source in (ROOT / "src").glob("CorvexIPC*.cpp")
          for topic in re.findall(r'publishDocument\(QStringLiteral\("([^"]+)"\)', source.read_text(encoding="utf-8"))}


def undocumented(reference: str) -> set:
    """Commands not named in the commands section, and topics without a row in the documents table."""
    commands = reference.split("## Commands")[1].split("## Documents")[0]
    rows = re.findall(r"^\| ([^|]+) \|", reference.split("## Documents")[1], re.MULTILINE)
    return {c for c in COMMANDS if f"`{c}`" not in commands} | (TOPICS - set(re.findall(r"`([^`]+)`", "".join(rows))))


@pytest.mark.parametrize("reference, missing", [
    (REFERENCE, set()),
    (REFERENCE.replace("`wifi/aps/get`", "wifi/aps/get"), {"wifi/aps/get"}),
    (REFERENCE.replace("| `modem/signal` |", "| modem/signal |"), {"modem/signal"}),
])
def test_every_command_and_topic_has_its_entry(reference, missing):
    assert len(COMMANDS) > 20 and len(TOPICS) > 10  # the patterns still find the table and the topics
    assert undocumented(reference) == missing
