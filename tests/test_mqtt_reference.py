import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
REFERENCE = (SRC.parent / "docs" / "mqtt-interface.md").read_text(encoding="utf-8")
COMMANDS = set(re.findall(r'\{ QStringLiteral\("([^"]+)"\), &Engine::process', (SRC / "CorvexEngine.cpp").read_text()))
TOPICS = {topic for source in SRC.glob("CorvexIPC*.cpp")
          for topic in re.findall(r'publishDocument\(QStringLiteral\("([^"]+)"\)', source.read_text())} | {
    "<Mqtt/discovery>/device/<node>/config"}  # outside the base topic


def test_every_command_and_topic_has_its_entry():
    commands, documents = REFERENCE.split("## Commands")[1].split("## Documents")
    rows = "".join(re.findall(r"^\| ([^|]+) \|", documents, re.MULTILINE))
    assert len(COMMANDS) > 20 and len(TOPICS) > 10  # the patterns still find the table and the topics
    assert {c for c in COMMANDS if f"`{c}`" not in commands} | (TOPICS - set(re.findall(r"`([^`]+)`", rows))) == set()
