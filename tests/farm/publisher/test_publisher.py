"""The farm publisher end to end: real brevant-host renders publishing to a real mosquitto, read
back by a real subscriber. The same tests run for the Windows build (farm.WINDOWS), the host and
the publisher under Wine."""

import json
import os
import signal
import socket
import subprocess
import time
import unittest

from farm import (BUILD, BREVANT, EMULATOR, PUBLISHER, SOURCE, WINDOWS, Broker, FarmTest, Render, Stack, Subscriber,
                  frames_job, free_port, output, publisher_env)

FAST = {"BREVANT_FARM_THUMB_SECONDS": "1"}


class PublisherTest(FarmTest):
    def test_whole_render_reads_back_in_order(self):
        subscriber = Subscriber(self.stack, self.broker)
        host = Render(self.stack, self.broker, frames_job(4, 3), "r/1+#", fps=100, **FAST)
        # Beside it (every message checked by the subscriber): items that fail, stop and log, and
        # a host killed mid-render, for whom the broker publishes the last will.
        failures = Render(self.stack, self.broker, os.path.join(SOURCE, "examples/failures.json"), "f", **FAST)
        killed = Render(self.stack, self.broker, frames_job(400), "k", fps=20, BREVANT_FARM_STATUS_SECONDS="1")
        subscriber.wait("brevant/k/items/1/progress")
        # Online at connect is a change of state (QoS 1, as the will); the refresh a second later
        # only moves the figures (QoS 0).
        self.assertEqual(subscriber.wait("brevant/k/status").qos, 1)
        subscriber.wait("brevant/k/status", '"online"', qos=0)
        killed.process.kill()
        subscriber.wait("brevant/k/status", '"lost"')
        self.assertEqual((host.wait(), failures.wait()), (0, 3), output(host.process) + output(failures.process))
        subscriber.wait("brevant/f/status", '"shutdown"')
        f = [json.loads(x.payload) for x in subscriber.messages if x.topic == "brevant/f/events"]
        ends = [(e["event"], e["item"], e.get("status", e.get("flag"))) for e in f if e["event"] in ("JobItemLog", "JobItemEnd")]
        self.assertEqual(ends, [("JobItemLog", 1, 1), ("JobItemLog", 1, 1), ("JobItemEnd", 1, "failed"),
                                 ("JobItemEnd", 2, "stopped"), ("JobItemEnd", 3, "done")])
        self.assertEqual(f[-1]["counts"], {"done": 1, "stopped": 1, "failed": 1, "notStarted": 0})
        m = "brevant/r_1__"
        subscriber.wait(m + "/status", '"shutdown"')
        events, seq = [], 0
        for message in (x for x in subscriber.messages if x.topic.startswith(m + "/")):
            if message.topic.startswith(m + "/items/") and message.topic.endswith("/thumbnail"):
                self.assertEqual(message.payload[:2], b"\xff\xd8", "a JPEG")
                continue
            payload = json.loads(message.payload)
            self.assertEqual((payload["schema"], payload["machine"]), (1, "r_1__"), message.topic)
            self.assertTrue(isinstance(payload["ts"], int) and payload["time"].endswith("Z"), message.topic)
            if message.topic == m + "/events":
                seq += 1
                self.assertEqual((message.retained, payload["seq"]), (False, seq))
                events.append(payload["event"])
        items = [e for frames in (4, 3) for e in ("JobItemStart", *["JobItemUpdate"] * frames, "JobItemEnd")]
        self.assertEqual(events, ["JobBegin", *items, "JobEnd"])
        job = subscriber.last(m + "/job")
        self.assertEqual((job["state"], job["items"][1]["name"], len(job["items"][1]["outputModules"])),
                         ("ended", "Shot 2", 1))
        self.assertEqual(job["counts"], {"done": 2, "stopped": 0, "failed": 0, "notStarted": 0})
        progress = subscriber.last(m + "/items/1/progress")
        self.assertEqual((progress["framesDone"], progress["framesTotal"]), (4, 4))
        module = progress["outputs"][0]
        self.assertGreater(module["bytes"], 0)
        self.assertEqual(module["projectedBytes"], module["bytes"], "the last frame projects what was written")
        self.assertIs(module["willFill"], False)

    def test_late_subscriber_gets_every_machine_retained_also_after_a_broker_restart(self):
        # The broker is killed in m's second item and started again empty: the render is untouched,
        # and m's first item, published before the kill, is on the new broker from the republish alone.
        # (A broker hands a subscriber QoS 1 messages 20 unacknowledged at a time, QoS 0 ones at
        # once: this one has no such cap, so the order it passes on is the publisher's.)
        self.broker = Broker(self.stack, "max_inflight_messages 0\n")
        watcher = Subscriber(self.stack, self.broker, "brevant/m/items/2/progress")
        host = Render(self.stack, self.broker, frames_job(3, 40), "m", fps=20, **FAST)
        watcher.wait("brevant/m/items/2/progress")
        self.broker.stop(signal.SIGKILL)
        time.sleep(0.5)
        self.broker.start()
        self.assertEqual(host.wait(), 0, output(host.process))
        # Then the broker stalls (SIGSTOP) in b's render: the QoS 0 frames do not overtake the QoS 1
        # starts and ends still unacknowledged, every event comes in order.
        events = Subscriber(self.stack, self.broker, "brevant/b/events")
        host = Render(self.stack, self.broker, frames_job(*[3] * 15), "b", fps=30, **FAST)
        events.wait("brevant/b/events", "JobItemUpdate")
        self.broker.process.send_signal(signal.SIGSTOP)
        time.sleep(1.5)
        self.broker.process.send_signal(signal.SIGCONT)
        self.assertEqual(host.wait(), 0, output(host.process))
        events.wait("brevant/b/events", "JobEnd")
        self.assertEqual([json.loads(m.payload)["seq"] for m in events.messages], list(range(1, 2 + 15 * 5 + 1)))
        late = Subscriber(self.stack, self.broker)
        for machine in ("m", "b"):
            m = "brevant/" + machine
            late.wait(m + "/status", '"offline"')
            late.wait(m + "/job", '"ended"')
            late.wait(m + "/items/1/progress", '"framesDone":3')
            late.wait(m + "/items/1/thumbnail", retained=True)
            self.assertEqual(late.last(m + "/status")["reason"], "shutdown")
        self.assertGreaterEqual(late.last("brevant/m/status")["connects"], 2)
        self.assertEqual([m.topic for m in late.messages if not m.retained], [])

    def test_default_machine_an_absent_broker_and_an_end_without_the_death_hook(self):
        # The DNS host name in its own case (on Windows not the NetBIOS name, upper case); a
        # shutdown wait of ten minutes is not spent on a broker that is not there.
        name = socket.gethostname().split(".")[0] if WINDOWS else socket.gethostname()
        subscriber = Subscriber(self.stack, self.broker)
        for broker, wait in ((f"127.0.0.1:{self.broker.port}", "2000"), (f"127.0.0.1:{free_port()}", "600000")):
            started = time.monotonic()
            host = Render(self.stack, self.broker, frames_job(2), None, BREVANT_FARM_BROKER=broker,
                          BREVANT_FARM_SHUTDOWN_WAIT_MS=wait)
            self.assertEqual(host.wait(), 0, output(host.process))
            self.assertLess(time.monotonic() - started, 30, broker)
        subscriber.wait(f"brevant/{name}/status", '"shutdown"')
        self.assertEqual({m.topic.split("/")[1] for m in subscriber.messages}, {name})
        # A host that ends mid-render: the publisher's static objects go without its death hook.
        # On Linux the link still says "shutdown" then; on Windows, where that is inside DllMain
        # after ExitProcess ended the link's thread, it is not waited for and the will is published.
        env = publisher_env(self.broker, "x", {"BREVANT_FARM_SHUTDOWN_WAIT_MS": "600000"})
        probe = self.stack.spawn([*EMULATOR, os.path.join(BUILD, "end_without_death_hooks" + ".exe" * WINDOWS),
                                  BREVANT, PUBLISHER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.assertEqual(probe.stdout.readline(), "loaded\n")
        subscriber.wait("brevant/x/status", '"online"')
        started = time.monotonic()
        probe.stdin.close()
        self.assertEqual(probe.wait(60), 0)
        self.assertLess(time.monotonic() - started, 20)
        subscriber.wait("brevant/x/status", '"lost"' if WINDOWS else '"shutdown"', timeout=30)


# name, password file with users m1/secret1 and watcher/look and the ACL, the CA the broker's
# certificate comes from (or None), the host's settings ($DIR: the test's directory), its machine,
# the machine whose messages must arrive (or None), the one message the host must show (or None).
SECURITY = [
    ("password", True, None, {"USERNAME": "m1", "PASSWORD": "secret1"}, "m1", "m1", None),
    # the credentials from the settings file BREVANT_FARM_CONFIG names, the password from its own file
    ("settings file", True, None, {"CONFIG": "$DIR/farm.toml"}, "m1", "m1", None),
    ("wrong password", True, None, {"USERNAME": "m1", "PASSWORD": "nope"}, "m1", None, "the broker at 127.0.0.1:"),
    # m1 claiming to be m2: the ACL keeps m2's topics untouched.
    ("ACL", True, None, {"USERNAME": "m1", "PASSWORD": "secret1"}, "m2", None, None),
    ("TLS", False, "good", {"CAFILE": "$DIR/good-ca.crt"}, "t1", "t1", None),
    ("TLS with another CA", False, "good", {"CAFILE": "$DIR/other-ca.crt"}, "t1", None, "TLS with 127.0.0.1:"),
    ("unreadable CA", False, None, {"CAFILE": "$DIR/missing.crt"}, "t1", None, "BREVANT_FARM_CAFILE: cannot read"),
    ("unknown setting", False, None, {"BROKR": "x"}, "t1", None, "unknown setting BREVANT_FARM_BROKR"),
    # longer than MQTT can carry: refused by libmosquitto before any connection (Windows holds at
    # most 32,767 characters in a variable)
    *([] if WINDOWS else [("user name too long", False, None, {"USERNAME": "u" * 65536}, "t1", None, "BREVANT_FARM_USERNAME")]),
]


class SecurityTest(unittest.TestCase):
    def test_render_goes_on_and_only_the_right_state_arrives(self):
        for name, passwords, tls, settings, machine, arrives, message in SECURITY:
            if WINDOWS and tls:  # no TLS in the Windows build: refused, whatever the broker
                arrives, message = None, "BREVANT_FARM_CAFILE: TLS is not available on Windows"
            with self.subTest(name), Stack() as stack:
                d, config, login = stack.directory, "", []
                if passwords:
                    users = stack.file("passwords", "")
                    for user, password in (("m1", "secret1"), ("watcher", "look")):
                        subprocess.run(["mosquitto_passwd", "-b", users, user, password], check=True)
                    # Each machine writes only under its own name; the watcher reads everything.
                    acl = stack.file("acl", "user watcher\ntopic read brevant/#\npattern readwrite brevant/%u/#\n")
                    config, login = f"password_file {users}\nacl_file {acl}\n", ["-u", "watcher", "-P", "look"]
                if tls:
                    for ca in ("good", "other"):
                        subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "make-ca.sh"), d, ca], check=True)
                    config += f"cafile {d}/{tls}-ca.crt\ncertfile {d}/{tls}-server.crt\nkeyfile {d}/{tls}-server.key\n"
                    login += ["--cafile", f"{d}/good-ca.crt"]
                stack.file("secret", "secret1\n")
                stack.file("farm.toml", f'# the broker\'s\nusername = "m1"\npassword_file = "{d}/secret"\n')
                broker = Broker(stack, config)
                watcher = Subscriber(stack, broker, "brevant/#", *login)
                env = {"BREVANT_FARM_" + k: v.replace("$DIR", d) for k, v in settings.items()}
                host = Render(stack, broker, frames_job(3), machine, **FAST, **env)
                self.assertEqual(host.wait(), 0, output(host.process))
                if arrives:
                    watcher.wait(f"brevant/{arrives}/status", '"shutdown"')
                text = output(host.process)
                if message:
                    self.assertIn("farm_publisher: " + message, text)
                self.assertLessEqual(text.count("farm_publisher:"), 1, text)
                time.sleep(0.2)
                self.assertEqual([m.topic for m in watcher.messages if not arrives or
                                  not m.topic.startswith(f"brevant/{arrives}/")], [])


if __name__ == "__main__":
    unittest.main()
