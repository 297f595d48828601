"""brevant-dashboard fed by hand through a real mosquitto: what it accepts, what it refuses and
counts, who may ask it, and the webhooks it sends for what it observes."""

import collections
import json
import os
import subprocess
import time
import unittest

from farm import DASHBOARD, Broker, contract, EventStream, FarmTest, Receiver, iso_now, wait_until

STARTED = "2026-12-07T11:00:00.000Z"


def common(machine):
    return {"schema": 1, "machine": machine, "time": iso_now(), "ts": int(time.time() * 1e6)}


def status(machine):
    return {**common(machine), "state": "online", "client": "farm_publisher", "version": "1.0.0",
            "startedAt": STARTED, "pid": 7, "dropped": {"messages": 0, "bytes": 0},
            "published": {"messages": 9, "bytes": 900}, "queue": {"bytes": 0, "limitBytes": 4194304}, "connects": 1}


def will(machine):  # fixed at connect: no time, no figures
    return {"schema": 1, "machine": machine, "state": "offline", "reason": "lost", "client": "farm_publisher",
            "version": "1.0.0", "startedAt": STARTED, "pid": 7}


def job(machine, states, state="rendering"):
    counts = {s: sum(1 for v in states if v == s) for s in ("done", "stopped", "failed", "notStarted")}
    items = [{"item": i + 1, "name": f"Comp {i + 1}", "state": s, "framesDone": 0, "renderSettings": [{"key": "CompName", "value": f"Comp {i + 1}"}],
              "outputModules": [], "warnings": []} for i, s in enumerate(states)]
    return {**common(machine), "session": 1, "state": state, "project": "Feed", "appVersion": "23.0",
            "startedAt": STARTED, "endedAt": None if state == "rendering" else iso_now(), "items": items, "counts": counts}


def progress(machine, item, done, total=48, will_fill=False):
    return {**common(machine), "session": 1, "item": item, "frameId": done, "framesDone": done,
            "framesTotal": total, "elapsedMs": done * 40, "remainingMs": (total - done) * 40, "fps": 25.0,
            "outputs": [{"path": "/renders/out.mov", "disk": "/renders", "bytes": done * 1000,
                         "projectedBytes": total * 1000, "hostEstimateBytes": total * 1000,
                         "freeBytes": 10 if will_fill else 10 ** 12, "willFill": will_fill}]}


def payload_of(row):
    """A payload of messages.json: {"json": value}, {"text": ...}, {"hex": ...} or {"repeat": [HEX_BYTE, COUNT]}."""
    if "json" in row:
        return json.dumps(row["json"]).encode()
    if "text" in row:
        return row["text"].encode()
    return bytes.fromhex(row["hex"]) if "hex" in row else bytes.fromhex(row["repeat"][0]) * row["repeat"][1]


class FeedTest(FarmTest):
    def publish(self, topic, payload, retain=False):
        """Publishes a payload that keeps to the wire contract, as a consumer reads it."""
        self.assertEqual(contract.problems(topic, json.dumps(payload)), [])
        self.broker.publish(topic, payload, retain)

    def test_hostile_messages_are_counted_and_dropped_without_touching_any_machine(self):
        dashboard = self.dashboard()
        self.publish("brevant/m1/status", status("m1"), retain=True)
        self.publish("brevant/m1/job", job("m1", ["rendering"]), retain=True)
        self.publish("brevant/m1/items/1/progress", progress("m1", 1, 5), retain=True)
        wait_until(lambda: dashboard.machine("m1")["job"]["items"][0]["progress"]["framesDone"] == 5, 10, "m1's frame")
        before = dashboard.machine("m1")
        # Every message of messages.json that the dashboard drops, of those its subscription
        # brings (dashboard_tests reads them all in process); the wire contract refuses them too,
        # but for their size, which it does not bound.
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "messages.json")) as f:
            dropped = [(topic, payload_of(payload), expected[5:]) for topic, payload, expected in json.load(f)
                       if expected.startswith("drop ") and topic.startswith("brevant/")]
        for topic, payload, reason in dropped:
            self.assertTrue(reason == "oversized" or contract.problems(topic, payload), (topic, payload[:100]))
            self.broker.publish(topic, payload)
        for reason, count in collections.Counter(reason for _, _, reason in dropped).items():
            wait_until(lambda: dashboard.metric("brevant_dashboard_messages_dropped_total", reason=reason) == count, 10,
                       f"{count} messages dropped as {reason}")
        after = dashboard.machine("m1")
        before.pop("lastSeen"), after.pop("lastSeen")
        self.assertEqual(before, after)
        self.assertIsNone(dashboard.machine("m2"))
        self.assertEqual(dashboard.process.poll(), None)
        # Fields may be added: a payload with one the dashboard does not know is taken all the same.
        self.publish("brevant/m1/items/1/progress", {**progress("m1", 1, 7), "gpu": "unknown to schema 1"})
        wait_until(lambda: dashboard.machine("m1")["job"]["items"][0]["progress"]["framesDone"] == 7, 10, "m1's frame 7")

    def test_bearer_token_guards_every_endpoint(self):
        dashboard = self.dashboard(env={"BREVANT_DASHBOARD_TOKEN": "s3cret"})  # as a service's unit sets it
        cases = [  # path, headers, expected status
            ("/api/machines", {}, 401),
            ("/api/machines", {"Authorization": "Bearer wrong"}, 401),
            ("/api/machines", {"Authorization": "Bearer s3cret"}, 200),
            ("/metrics", {}, 401),
            ("/metrics", {"Cookie": "brevant_token=s3cret"}, 200),
            ("/", {}, 401),
            ("/?access_token=s3cret", {}, 200),
            ("/app.js", {"Cookie": "other=1; brevant_token=s3cre"}, 401),
            ("/events", {}, 401),
            ("/api/jobs", {"Authorization": "Bearer s3cret", "Host": "attacker.example"}, 403),
            ("/api/jobs", {"Authorization": "Bearer s3cret", "Host": "[::1]:8080"}, 200),
        ]
        for path, headers, expected in cases:
            with self.subTest(path=path, headers=headers):
                status, response_headers, _ = dashboard.request(path, headers, authorize=False)
                self.assertEqual(status, expected)
                if path.startswith("/?access_token"):
                    self.assertIn("brevant_token=s3cret", response_headers.get("Set-Cookie", ""))

    def test_broker_password_from_the_environment(self):
        # Not on the command line, which every user of the machine sees; the dashboard starts only
        # once connected.
        users = self.stack.file("passwords", "")
        subprocess.run(["mosquitto_passwd", "-b", users, "dash", "s3cret"], check=True)
        self.broker = Broker(self.stack, f"password_file {users}\n")
        self.dashboard("--broker-user", "dash", env={"BREVANT_MQTT_PASSWORD": "s3cret"})

    def test_bad_options_exit_with_one_message(self):
        cases = [
            (["--port", "70000"], "--port"),
            (["--webhook", "ftp://example/hook"], "not an http:// or https:// URL"),
            (["--stall-factor", "0"], "--stall-factor"),
            (["--prefix", "farm/#"], "topic prefix"),
            (["--broker-ca", "/nonexistent/ca.pem"], "/nonexistent/ca.pem"),
            (["--db", "/nonexistent/dir/history.sqlite"], "/nonexistent/dir/history.sqlite"),
            (["--frobnicate"], "--frobnicate"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = subprocess.run([DASHBOARD, "--broker-port", str(self.broker.port), "--port", "0", *args],
                                        capture_output=True, text=True, timeout=10)
                lines = result.stderr.strip().splitlines()
                self.assertEqual((result.returncode, result.stdout, len(lines)), (1, "", 1), result.stderr)
                self.assertIn(message, lines[0])

    def test_webhooks_for_what_the_dashboard_observes(self):
        receiver = Receiver(self.stack, failures=1)  # the first delivery fails and is retried
        dashboard = self.dashboard("--webhook", receiver.url, "--stall-factor", "3")
        stream = EventStream(self.stack, dashboard)
        for m in "abc":
            self.publish(f"brevant/{m}/status", status(m), retain=True)
            self.publish(f"brevant/{m}/job", job(m, ["rendering", "queued"]), retain=True)
        # a: frames every 20 ms, then none: stalled once the 2 s floor has passed.
        for done in range(1, 8):
            self.publish("brevant/a/items/1/progress", progress("a", 1, done))
        stalled = receiver.wait_for("itemStalled", machine="a", item=1)
        self.assertIn("stalled", stalled["text"])
        self.assertTrue(dashboard.machine("a")["job"]["items"][0]["stalled"])
        self.assertEqual(dashboard.metric("brevant_item_stalled", machine="a", project="Feed", item="1"), 1)
        # b: a disk that will fill, reported once however many frames say so; then the job ends
        # (item by item in test_render).
        for done in (1, 2, 3):
            self.publish("brevant/b/items/1/progress", progress("b", 1, done, will_fill=True))
        receiver.wait_for("diskWillFill", machine="b", path="/renders/out.mov")
        self.publish("brevant/b/job", job("b", ["failed", "stopped"], state="ended"), retain=True)
        done = receiver.wait_for("jobDone", machine="b")
        self.assertEqual((done["outcome"], done["counts"]["failed"], done["counts"]["stopped"]), ("failed", 1, 1))
        # c: its last will arrives while it renders.
        self.publish("brevant/c/status", will("c"), retain=True)
        receiver.wait_for("machineOffline", machine="c", reason="lost")
        self.assertEqual(dashboard.machine("c")["state"], "offline")
        self.assertEqual(dashboard.metric("brevant_machine_up", machine="c"), 0)

        self.assertEqual(len(receiver.events("diskWillFill")), 1)
        self.assertEqual(len(receiver.events("itemStalled")), 1)
        self.assertGreaterEqual(dashboard.metric("brevant_dashboard_webhooks_total", result="retried"), 1)
        for body in receiver.bodies:
            self.assertIsInstance(body["text"], str)
        # The browser saw the stall and the finished job without asking.
        wait_until(lambda: any(t["machine"] == "a" and "stalled" in t["attention"] for e in stream.named("tiles") for t in e["tiles"]), 5,
                   "the stall on the event stream")
        wait_until(lambda: [h for h in stream.named("history") if h["machine"] == "b" and h["outcome"] == "failed"], 5,
                   "b's job in the history on the event stream")

    def test_event_stream_clients_are_bounded(self):
        dashboard = self.dashboard("--max-event-clients", "2")
        streams = [EventStream(self.stack, dashboard) for _ in range(2)]
        wait_until(lambda: all(s.named("snapshot") for s in streams), 5, "two snapshots")
        status, _, body = dashboard.request("/events")
        self.assertEqual(status, 503)
        self.assertIn(b"too many", body)


if __name__ == "__main__":
    unittest.main()
