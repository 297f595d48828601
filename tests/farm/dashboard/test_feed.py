"""brevant-dashboard fed by hand through a real mosquitto: what it accepts, what it refuses and
counts, who may ask it, and the webhooks it sends for what it observes."""

import collections
import http.client
import json
import os
import socket
import subprocess
import time
import unittest

from farm import DASHBOARD, SOURCE, Broker, contract, EventStream, FarmTest, Receiver, iso_now, output, wait_until

STARTED = "2026-12-07T11:00:00.000Z"
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                               "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer", "X-Frame-Options": "DENY"}


def common(machine):
    return {"schema": 1, "machine": machine, "time": iso_now(), "ts": int(time.time() * 1e6)}


def status(machine):
    return {**common(machine), "state": "online", "client": "farm_publisher", "version": "1.0.0",
            "startedAt": STARTED, "pid": 7, "dropped": {"messages": 0, "bytes": 0},
            "published": {"messages": 9, "bytes": 900}, "queue": {"bytes": 0, "limitBytes": 4194304}, "connects": 1}


def will(machine):  # fixed at connect: no time, no figures
    return {"schema": 1, "machine": machine, "state": "offline", "reason": "lost", "client": "farm_publisher",
            "version": "1.0.0", "startedAt": STARTED, "pid": 7}


def job(machine, states, state="rendering", project="Feed"):
    counts = {s: states.count(s) for s in ("done", "stopped", "failed", "notStarted")}
    items = [{"item": i + 1, "name": f"Comp {i + 1}", "state": s, "framesDone": 0, "outputModules": [], "warnings": [],
              "renderSettings": [{"key": "CompName", "value": f"Comp {i + 1}"}]} for i, s in enumerate(states)]
    return {**common(machine), "session": 1, "state": state, "project": project, "appVersion": "23.0",
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

    def test_requests_who_may_ask_what_and_how_many(self):
        dashboard = self.dashboard("--max-event-clients", "300", env={"BREVANT_DASHBOARD_TOKEN": "s3cret"})  # as a unit sets it
        self.broker.stop()  # not ready without the broker, ready again once it is back
        wait_until(lambda: dashboard.request("/readyz")[0] == 503, 10, "readyz 503")
        self.assertEqual(json.loads(dashboard.request("/readyz")[2])["broker"], False)
        self.assertEqual(dashboard.request("/healthz")[:3:2], (200, b"ok"))
        self.broker.start()
        self.publish("brevant/m1/status", status("m1"), retain=True)
        wait_until(lambda: dashboard.machine("m1"), 10, "m1")
        bearer = {"Authorization": "Bearer s3cret"}
        cases = [  # method, target, headers (None: the token's), expected status
            ("GET", "/api/machines", {}, 401), ("GET", "/api/machines", {"Authorization": "Bearer wrong"}, 401),
            ("GET", "/metrics", {}, 401), ("GET", "/metrics", {"Cookie": "brevant_token=s3cret"}, 200),
            ("GET", "/", {}, 401), ("GET", "/?access_token=s3cret", {}, 200),
            ("GET", "/app.js", {"Cookie": "other=1; brevant_token=s3cre"}, 401), ("GET", "/events", {}, 401),
            ("GET", "/api/jobs", {**bearer, "Host": "attacker.example"}, 403),
            ("GET", "/api/jobs", {**bearer, "Host": "[::1]:8080"}, 200),
            ("GET", "/healthz", {}, 200), ("GET", "/readyz", {}, 200),  # the probes tell nothing else
            ("GET", "/api/machines/m%31", None, 200),  # path segments are percent-decoded
            ("HEAD", "/api/summary", None, 200), ("HEAD", "/healthz", None, 200), ("POST", "/readyz", None, 405),
            ("GET", "/api/machines/m%3", None, 400), ("GET", "/api/machines?state=busy", None, 400),
            ("GET", "/api/machines?limit=-1", None, 400), ("GET", "/events?" + "&".join(["machine=m1"] * 65), None, 400),
            ("GET", "/events?project=" + "p" * 257, None, 400), ("GET", "/api/jobs?outcome=maybe", None, 400),
            ("GET", "/api/" + "a" * 9000, None, 431), ("GET", "/nothing", None, 404),
            ("DELETE", "/api/machines/nobody", None, 404), ("POST", "/api/machines", None, 405),
            ("PUT", "/api/machines/m1", None, 405), ("DELETE", "/api/summary", None, 405),
        ]
        for method, target, headers, expected in cases:
            with self.subTest(method=method, target=target[:60], headers=headers):
                code, got, body = dashboard.request(target, headers, authorize=headers is None, method=method)
                self.assertEqual(code, expected, body[:200])
                if target.startswith("/?access_token"):
                    self.assertIn("brevant_token=s3cret", got.get("Set-Cookie", ""))
                if headers is None:
                    self.assertEqual({name: got.get(name) for name in SECURITY_HEADERS}, SECURITY_HEADERS)
                if headers is None and code >= 400:
                    self.assertEqual(got["Content-Type"], "application/json")
                    self.assertIsInstance(json.loads(body)["error"], str)

        # Idle and half-sent requests hold nothing, and are closed once their head's time is up.
        held = [socket.create_connection(("127.0.0.1", dashboard.port), timeout=20) for _ in range(200)]
        for i, connection in enumerate(held):
            self.stack.callback(connection.close)
            connection.sendall(b"GET /api/summary HTTP/1.1\r\nHost: 127.0.0.1\r\n" if i % 2 else b"")
        for path in ("/api/summary", "/api/machines", "/"):
            self.assertEqual(dashboard.request(path)[0], 200, path)
        self.assertEqual([connection.recv(1) for connection in held], [b""] * 200)

        # Hundreds of viewers get the snapshot and the changes; one more than the bound is refused.
        streams = [EventStream(self.stack, dashboard, "/events?machine=m2") for _ in range(300)]
        wait_until(lambda: all(s.named("snapshot") for s in streams), 30, "300 snapshots")
        self.assertEqual(dashboard.metric("brevant_dashboard_sse_clients"), 300)
        code, _, body = dashboard.request("/events")
        self.assertEqual((code, b"too many" in body), (503, True))
        self.publish("brevant/m2/status", status("m2"), retain=True)
        told = lambda s: any(m["name"] == "m2" for m in s.named("machine")) or \
            any(t["machine"] == "m2" for e in s.named("tiles") for t in e["tiles"])  # noqa: E731
        wait_until(lambda: all(told(s) for s in streams), 30, "m2 on every stream")

    def test_https_secrets_from_files_and_readiness_told_to_systemd(self):
        # Not on the command line, which every user of the machine sees; the dashboard starts only
        # once connected. A file the group may read is used, with a warning naming it.
        users = self.stack.file("passwords", "")
        subprocess.run(["mosquitto_passwd", "-b", users, "dash", "s3cret"], check=True)
        self.broker = Broker(self.stack, f"password_file {users}\n")
        self.dashboard("--broker-user", "dash", env={"BREVANT_MQTT_PASSWORD": "s3cret"})
        password, token = self.stack.file("password", "s3cret\n"), self.stack.file("token", "t0ken\r\n")
        os.chmod(password, 0o600)
        os.chmod(token, 0o640)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.stack.callback(notify.close)
        notify.bind(os.path.join(self.stack.directory, "notify"))
        subprocess.run(["bash", os.path.join(SOURCE, "tests/farm/make-ca.sh"), self.stack.directory, "web"], check=True)
        path = os.path.join(self.stack.directory, "web-")
        config = self.stack.file("dashboard.toml", f'broker-user = "dash"\nbroker-password-file = "{password}"\n')
        dashboard = self.dashboard("--config", config, "--token-file", token, "--tls-cert", path + "server.crt",
                                   "--tls-key", path + "server.key", ca=path + "ca.crt",
                                   env={"NOTIFY_SOCKET": notify.getsockname()})
        notify.settimeout(10)
        self.assertEqual(notify.recv(4096).decode(), f"READY=1\nSTATUS=serving https://127.0.0.1:{dashboard.port}/")
        self.assertEqual(dashboard.request("/api/summary", {"Authorization": "Bearer t0ken"}, authorize=False)[0], 200)
        self.assertEqual(dashboard.request("/api/summary", authorize=False)[0], 401)
        code, headers, body = dashboard.request("/?access_token=t0ken", authorize=False)
        self.assertEqual((code, b"<html" in body), (200, True))
        self.assertEqual(headers["Set-Cookie"], "brevant_token=t0ken; Path=/; HttpOnly; SameSite=Strict; Secure")
        stream = EventStream(self.stack, dashboard)
        wait_until(lambda: stream.named("snapshot"), 10, "the snapshot over TLS")
        with self.assertRaises((http.client.HTTPException, OSError)):  # plain HTTP to the HTTPS port gets no answer
            connection = http.client.HTTPConnection("127.0.0.1", dashboard.port, timeout=10)
            self.stack.callback(connection.close)
            connection.request("GET", "/api/summary")
            connection.getresponse()
        self.assertEqual(output(dashboard.process).count(token), 1, output(dashboard.process))
        self.assertNotIn(password, output(dashboard.process))
        dashboard.stop()
        self.assertEqual(notify.recv(4096), b"STOPPING=1")

    def test_bad_options_exit_with_one_message(self):
        not_pem = self.stack.file("not.pem", "not a certificate\n")
        history = os.path.join(self.stack.directory, "history.sqlite")
        empty, token = self.stack.file("empty", ""), self.stack.file("token", "t\n")
        section = self.stack.file("section.toml", "[http]\nport = 8080\n")
        cases = [
            (["--port", "70000"], "--port"),
            (["--webhook", "ftp://example/hook"], "not an http:// or https:// URL"),
            (["--stall-factor", "0"], "--stall-factor"),
            (["--prefix", "farm/#"], "topic prefix"),
            (["--broker-ca", "/nonexistent/ca.pem"], "/nonexistent/ca.pem"),
            (["--db", "/nonexistent/dir/history.sqlite"], "/nonexistent/dir/history.sqlite"),
            (["--frobnicate"], "--frobnicate"),
            (["--max-event-clients", "0"], "--max-event-clients"),
            (["--tls-cert", "/nonexistent/server.crt", "--tls-key", not_pem], "/nonexistent/server.crt"),
            (["--tls-cert", not_pem], "--tls-key"),
            (["--db", history, "--tls-cert", not_pem, "--tls-key", not_pem], not_pem),
            (["--token-file", "/nonexistent/token"], "--token-file: cannot read /nonexistent/token"),
            (["--broker-password-file", empty], f"--broker-password-file: {empty} is empty"),
            (["--token", "t", "--token-file", token], "excludes"),
            (["--webhook", "http://h/x events=jobDone,itemExploded"], 'unknown webhook event "itemExploded"'),
            (["--webhook", "http://h/x colour=red"], 'not "colour=red"'),
            (["--config", section], f"{section}: a [http] section"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = subprocess.run([DASHBOARD, "--broker-port", str(self.broker.port), "--port", "0", *args],
                                        capture_output=True, text=True, timeout=10)
                lines = result.stderr.strip().splitlines()
                self.assertEqual((result.returncode, result.stdout, len(lines)), (1, "", 1), result.stderr)
                self.assertIn(message, lines[0])

    def test_hostile_messages_and_webhooks_for_what_the_dashboard_observes(self):
        receiver = Receiver(self.stack, failures=1)  # the first delivery fails and is retried
        # Filtered webhooks, given in the settings file: a team hears only of its own.
        others, team = Receiver(self.stack), Receiver(self.stack)
        config = self.stack.file("dashboard.toml", f'webhook = ["{receiver.url}", "{others.url} projects=Other%20Show",\n'
                                 f'  "{team.url} events=itemStalled,machineOffline projects=Other%20Show,Feed"]\n')
        dashboard = self.dashboard("--config", config, "--stall-factor", "3")
        stream = EventStream(self.stack, dashboard)
        for m in ("m1", "a", "b", "c"):
            self.publish(f"brevant/{m}/status", status(m), retain=True)
            self.publish(f"brevant/{m}/job", job(m, ["rendering", "queued"], project="Hostile" * (m == "m1") or "Feed"),
                         retain=True)
        self.publish("brevant/m1/items/1/progress", progress("m1", 1, 5), retain=True)
        wait_until(lambda: dashboard.machine("m1")["job"]["items"][0]["progress"]["framesDone"] == 5, 10, "m1's frame")
        before = dashboard.machine("m1")
        # Every message of messages.json that the dashboard drops, of those its subscription brings
        # (dashboard_tests reads them all in process): counted, and no machine is touched. The wire
        # contract refuses them too, but for their size, which it does not bound.
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
        self.assertEqual((before, dashboard.machine("m2")), (after, None))
        # Fields may be added: a payload with one the dashboard does not know is taken all the same.
        self.publish("brevant/m1/items/1/progress", {**progress("m1", 1, 7), "gpu": "unknown to schema 1"})
        wait_until(lambda: dashboard.machine("m1")["job"]["items"][0]["progress"]["framesDone"] == 7, 10, "m1's frame 7")

        # a: frames every 20 ms, then none: stalled once the 2 s floor has passed.
        for done in range(1, 8):
            self.publish("brevant/a/items/1/progress", progress("a", 1, done))
        self.assertIn("stalled", receiver.wait_for("itemStalled", machine="a", item=1)["text"])
        self.assertTrue(dashboard.machine("a")["job"]["items"][0]["stalled"])
        self.assertEqual(dashboard.metric("brevant_item_stalled", machine="a", project="Feed", item="1"), 1)
        # b: a disk that will fill, reported once however many frames say so; then the job ends.
        for done in (1, 2, 3):
            self.publish("brevant/b/items/1/progress", progress("b", 1, done, will_fill=True))
        receiver.wait_for("diskWillFill", machine="b", path="/renders/out.mov")
        self.publish("brevant/b/job", job("b", ["failed", "stopped"], state="ended"), retain=True)
        done = receiver.wait_for("jobDone", machine="b")
        self.assertEqual((done["outcome"], done["counts"]["failed"], done["counts"]["stopped"]), ("failed", 1, 1))
        # c: its last will arrives while it renders.
        self.publish("brevant/c/status", will("c"), retain=True)
        receiver.wait_for("machineOffline", machine="c", reason="lost")
        team.wait_for("machineOffline", machine="c")
        self.assertEqual(([b["event"] for b in team.bodies], others.bodies), (["itemStalled", "machineOffline"], []))
        self.assertEqual((dashboard.machine("c")["state"], dashboard.metric("brevant_machine_up", machine="c")), ("offline", 0))
        self.assertEqual([b["machine"] for kind in ("diskWillFill", "itemStalled") for b in receiver.events(kind)
                          if b["machine"] != "m1"], ["b", "a"])
        self.assertGreaterEqual(dashboard.metric("brevant_dashboard_webhooks_total", result="retried"), 1)
        self.assertTrue(all(isinstance(body["text"], str) for body in receiver.bodies))
        # The browser saw the stall and the finished job without asking.
        wait_until(lambda: any(t["machine"] == "a" and "stalled" in t["attention"] for e in stream.named("tiles")
                               for t in e["tiles"]), 5, "the stall on the event stream")
        wait_until(lambda: [h for h in stream.named("history") if h["machine"] == "b" and h["outcome"] == "failed"], 5,
                   "b's job in the history on the event stream")


if __name__ == "__main__":
    unittest.main()
