"""The wire contract itself: the docs' examples keep to it, its rules hold both ways, and the
dashboard benchmarks' simulator sends only what it allows."""

import contextlib
import io
import json
import os
import re
import subprocess
import sys
import unittest

from farm import contract

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
with open(os.path.join(ROOT, "docs", "mqtt-topics.md")) as f:
    DOC = f.read()
# The docs' examples by topic, on machine render-07 and item 1 as they are written.
EXAMPLES = [("brevant/render-07/" + topic.replace("<item>", "1"), line)
            for topic, section in re.findall(r"\n## `P/M/(\S+)`\n(.*?)(?=\n## |\Z)", DOC, re.S)
            for block in re.findall(r"```json\n(.*?)```", section, re.S) for line in block.splitlines()]
EXAMPLE = {topic: json.loads(line) for topic, line in reversed(EXAMPLES)}  # the first of each topic
PROGRESS, JOB_END = EXAMPLE["brevant/render-07/items/1/progress"], json.loads(EXAMPLES[-1][1])
UPDATE = next(json.loads(line) for topic, line in EXAMPLES if '"JobItemUpdate"' in line)


def renamed(payload, old, new):
    return {new if key == old else key: value for key, value in payload.items()}


# topic, payload, what a consumer finds wrong, what the publisher's own check finds wrong (a text
# each problem contains, or None for none), and the QoS it came at when that matters.
RULES = [
    ("brevant/render-07/items/1/progress", {**PROGRESS, "gpu": "A6000"}, None, "'gpu' was unexpected"),
    ("brevant/render-07/items/1/progress", renamed(PROGRESS, "remainingMs", "remaining"), None, "'remaining' was unexpected"),
    ("brevant/render-07/items/1/progress", renamed(PROGRESS, "framesDone", "frames"), "'framesDone' is a required", "'frames'"),
    ("brevant/render-07/items/1/progress", {**PROGRESS, "outputs": [{**PROGRESS["outputs"][0], "free": 1}]}, None, "'free'"),
    ("brevant/render-07/items/1/progress", {**PROGRESS, "schema": 2}, "schema: 1 was expected", "schema: 1 was expected"),
    ("brevant/render-07/items/1/progress", {**PROGRESS, "framesTotal": 24.0}, "not of type 'integer'", "'integer'"),
    ("brevant/render-07/items/2/progress", PROGRESS, "not the topic's 2", "not the topic's 2"),
    ("brevant/render-08/items/1/progress", PROGRESS, "not the topic's 'render-08'", "'render-08'"),
    ("brevant/render-07/events", {**JOB_END, "event": "JobItemEnd"}, "'item' is a required", "'item' is a required"),
    ("brevant/render-07/events", {**JOB_END, "item": 1}, None, "'item' was unexpected"),
    ("brevant/render-07/status", {**EXAMPLE["brevant/render-07/status"], "reason": "shutdown"}, "reason: False", "reason"),
    ("brevant/render-07/job", {**EXAMPLE["brevant/render-07/job"], "state": "ended"}, "None is not of type", "endedAt"),
    ("brevant/render-07/items/1/progress", b"", None, None),  # a cleared item
    ("brevant/render-07/items/1/thumbnail", b"", None, None),
    ("brevant/render-07/job", b"", None, "clears only an item's"),  # an operator's, not the publisher's
    ("brevant/render-07/events", b"", "never empty", "never empty"),
    ("brevant/render-07/items/1/thumbnail", b"\xff\xd8\xff\xe0 cut short", "not a JPEG", "not a JPEG"),
    ("brevant/render-07/items/1/progress", '{"fps": NaN}', "NaN is not JSON", "NaN"),
    ("brevant/render-07/items/1001/progress", PROGRESS, "not a farm topic", "not a farm topic"),
    # A consumer takes any QoS; the publisher's frames are QoS 0 and what matters one by one QoS 1.
    ("brevant/render-07/events", UPDATE, None, "QoS 1, where the publisher's is 0", 1),
    ("brevant/render-07/events", JOB_END, None, "QoS 0, where the publisher's is 1", 0),
    ("brevant/render-07/status", {**EXAMPLE["brevant/render-07/status"], "state": "offline", "reason": "shutdown"}, None,
     "QoS 0, where", 0),
    ("brevant/render-07/status", EXAMPLE["brevant/render-07/status"], None, None, 0),  # the periodic refresh
    ("brevant/render-07/items/1/thumbnail", b"\xff\xd8\xff\xd9", None, "QoS 1, where the publisher's is 0", 1),
]


class WireTest(unittest.TestCase):
    def test_docs(self):
        # Every JSON example in docs/mqtt-topics.md keeps to its topic's definition, and every
        # event kind has one.
        for topic, line in EXAMPLES:
            self.assertEqual(contract.problems(topic, line), [], line)
        kinds = {json.loads(line)["event"] for topic, line in EXAMPLES if topic.endswith("/events")}
        self.assertEqual(kinds, set(contract.SCHEMA["$defs"]["event"]["properties"]["event"]["enum"]))
        self.assertEqual({topic.split("/", 2)[2] for topic, _ in EXAMPLES}, {"status", "job", "items/1/progress", "events"})

    def test_rules(self):
        # Fields may be added (consumers ignore them) but not renamed: the publisher's own check
        # refuses any field it does not define.
        for topic, payload, consumer, producer, *qos in RULES:
            payload = json.dumps(payload) if isinstance(payload, dict) else payload
            for view, expected in ((False, consumer), (True, producer)):
                with self.subTest(topic=topic, payload=payload[:120], producer=view):
                    found = "\n".join(contract.problems(topic, payload, producer=view, qos=(qos or [None])[0]))
                    self.assertIn(expected, found) if expected else self.assertEqual(found, "")
        # The same rows as the command reads them from mosquitto_sub: each fault is printed.
        for view, column in (([], 2), (["--producer"], 3)):
            lines = [f"{row[0]} 0 {''.join(f'{q} ' for q in row[4:])}{(row[1].encode() if isinstance(row[1], str) else row[1]).hex()}"
                     for row in [(row[0], json.dumps(row[1]) if isinstance(row[1], dict) else row[1]) + row[2:] for row in RULES]]
            out = io.StringIO()
            self.assertEqual(contract.main(view, lines, out), 1)
            for row in RULES:
                self.assertIn(row[column] or "", out.getvalue())

    def test_transcript(self):
        # Every message of the publisher's reviewed transcript (farm_publisher_tests), the cleared
        # item topics that no one render makes among them, in the publisher's view.
        with open(os.path.join(ROOT, "tests", "farm", "publisher", "publisher.golden")) as f:
            for line in f:  # TOPIC [retained] qos N PAYLOAD, or a status payload alone
                topic, retained, qos, payload = (re.fullmatch(r"(\S+)( retained)? qos (\d) (.*)\n", line) or
                                                 re.fullmatch(r"()()()(.*)\n", line)).groups()
                payload = b"" if payload == "(empty)" else bytes.fromhex(payload) if "thumbnail" in topic else payload
                self.assertEqual(contract.problems(topic or "p/m1/status", payload, producer=True, retained=bool(retained),
                                                   prefix="p", qos=int(qos) if qos else None), [], line[:200])

    def test_simulator(self):
        # Every payload the dashboard benchmarks' simulator sends: 20 machines cover each kind of
        # misbehaving machine, 481 frames a whole job and the next one's start.
        sys.path.insert(0, os.path.join(ROOT, "bench", "farm"))
        import dashboard_soak

        class Sent(list):
            def publish(self, topic, payload, retain=False):
                self.append((topic, json.dumps(payload) if isinstance(payload, dict) else payload))
            flush = close = lambda self: None  # noqa: E731
        sent = Sent()
        with contextlib.redirect_stdout(io.StringIO()):
            dashboard_soak.main(["--port", "0", "--machines", "20", "--frames", "481"], sent)
        self.assertEqual({topic.split("/")[-1] for topic, _ in sent}, {"status", "job", "progress", "thumbnail", "events"})
        for topic, payload in {re.sub("[0-9]", "", topic + str(payload)): (topic, payload) for topic, payload in sent}.values():
            self.assertEqual(contract.problems(topic, payload), [])  # one of each, whatever its numbers

    def test_farm_load(self):
        # The farm-scale generator (bench/farm/farm_load): one message of each kind, in the
        # publisher's own view (no field the contract does not name, the publisher's QoS):
        # 100 machines cover the failing one, a job of one frame its end and the next one's start.
        program = os.path.join(os.environ.get("BREVANT_BUILD_DIR", ""), "bench", "farm", "farm_load")
        if not os.path.exists(program):
            self.skipTest("farm_load is not built (BREVANT_BUILD_BENCH off)")
        out = subprocess.run([program, "--print-sample", "--machines", "100", "--frames", "1"], capture_output=True,
                             text=True, check=True, timeout=30).stdout
        kinds = set()
        for line in out.splitlines():
            topic, qos, retained, payload = line.split(" ", 3)
            kinds.add((topic.split("/", 2)[2].replace("rn-00017", ""), json.loads(payload).get("event")))
            self.assertEqual(contract.problems(topic, payload, producer=True, retained=retained == "1", qos=int(qos)), [],
                             line[:200])
        # Every event but JobItemUpdate: its frames go as progress messages only.
        self.assertEqual({event for _, event in kinds} - {None},
                         set(contract.SCHEMA["$defs"]["event"]["properties"]["event"]["enum"]) - {"JobItemUpdate"})
        self.assertTrue({("status", None), ("job", None), ("items/1/progress", None)} <= kinds, kinds)


if __name__ == "__main__":
    unittest.main()
