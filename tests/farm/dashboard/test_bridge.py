"""Two sites, each with its own broker bridged to the central broker that one brevant-dashboard
reads, with the shipped bridge (farm/mosquitto/site-bridge.conf) over TLS under the shipped ACL
(farm/mosquitto/central.acl); one site's link is cut for 10 s while its machines go on rendering."""

import contextlib
import json
import os
import socket
import subprocess
import threading
import time
import unittest

from farm import SOURCE, Broker, FarmTest, Render, frames_job, site_bridge, wait_until

COUNTS = {"done": {"done": 1, "stopped": 0, "failed": 0, "notStarted": 0},
          "failed": {"done": 1, "stopped": 1, "failed": 1, "notStarted": 0},
          "stopped": {"done": 0, "stopped": 1, "failed": 0, "notStarted": 0}}


def job(outcome, project):
    """A job of about two seconds at 12 fps that ends with `outcome`."""
    if outcome == "failed":  # an item fails, one is stopped, one completes
        with open(os.path.join(SOURCE, "examples/failures.json")) as f:
            return {**json.load(f), "project": project}
    done = frames_job(24, project=project)
    if outcome == "stopped":
        done["items"][0]["stopAtFrame"] = 12
    return done


class Link:
    """A TCP link from a free loopback port to `port`. cut() closes the connections it carries and
    stops listening, as a network that fails does: the far end is refused until mend()."""

    def __init__(self, stack, port):
        self.target, self.sockets, self.server = port, [], None
        self.port = self.mend(0)
        stack.callback(self.cut)

    def _accept(self, server):
        with contextlib.suppress(OSError):  # cut
            while True:
                near = server.accept()[0]
                try:
                    far = socket.create_connection(("127.0.0.1", self.target))
                except OSError:  # nothing listens at the far end
                    near.close()
                    continue
                self.sockets += [near, far]
                for ends in ((near, far), (far, near)):
                    threading.Thread(target=self._pump, args=ends, daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        with contextlib.suppress(OSError):
            while data := source.recv(65536):
                sink.sendall(data)
        for end in (source, sink):
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)

    def cut(self):
        ends, self.sockets, self.server = [self.server] * bool(self.server) + self.sockets, [], None
        for end in ends:
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)  # also wakes the thread that accepts
            end.close()

    def mend(self, port=None):
        self.server = socket.create_server(("127.0.0.1", self.port if port is None else port))
        threading.Thread(target=self._accept, args=(self.server,), daemon=True).start()
        return self.server.getsockname()[1]


class BridgeTest(FarmTest):
    def test_every_job_of_both_sites_reaches_the_central_history_through_a_cut_link(self):
        # The central broker: TLS, a user per bridge and one for the dashboard, the shipped ACL.
        d = self.stack.directory
        subprocess.run([os.path.join(SOURCE, "tests/farm/make-ca.sh"), d, "farm"], check=True)
        users = self.stack.file("passwords", "")
        for user in ("brevant-dashboard", "brevant-bridge-paris", "brevant-bridge-lyon"):
            subprocess.run(["mosquitto_passwd", "-b", users, user, user + "-secret"], check=True)
        self.broker = central = Broker(
            self.stack, f"password_file {users}\nacl_file {SOURCE}/farm/mosquitto/central.acl\n"
                        f"cafile {d}/farm-ca.crt\ncertfile {d}/farm-server.crt\nkeyfile {d}/farm-server.key\n")
        # A cut longer than --silent-after, as an outage of minutes is with the default (120 s).
        dashboard = self.dashboard("--broker-user", "brevant-dashboard", "--broker-ca", f"{d}/farm-ca.crt",
                                   "--silent-after", "5", env={"BREVANT_MQTT_PASSWORD": "brevant-dashboard-secret"})

        # Each site's broker keeps its bridge's queue (up to 1,000 messages here) across a cut, and
        # tries again every 1 to 5 s rather than the shipped 5 to 60 s, for the test's time.
        sites, links = {}, {}
        for site in ("paris", "lyon"):
            links[site] = Link(self.stack, central.port)
            bridge = site_bridge(site, address=f"127.0.0.1:{links[site].port}", bridge_cafile=f"{d}/farm-ca.crt",
                                 remote_password=f"brevant-bridge-{site}-secret", restart_timeout="1 5")
            sites[site] = Broker(self.stack, "max_queued_messages 1000\n" + bridge, persistent=True)

        # Two machines a site render one job after another, each its own project, each ending
        # done, failed or stopped; meanwhile Paris's link is cut for 10 s.
        rendered, start = [], time.monotonic()

        def machine(site, number):
            name, count = f"{site}-rn-{number}", 0
            while time.monotonic() < start + 16:
                count += 1
                outcome, project = list(COUNTS)[(count + number) % 3], f"{site}-rn-{number} job {count}"
                began = time.monotonic()
                Render(self.stack, sites[site], job(outcome, project), name, fps=12).wait()
                rendered.append((name, project, outcome, began, time.monotonic()))
        machines = [threading.Thread(target=machine, args=(site, n)) for site in sites for n in (1, 2)]
        for thread in machines:
            thread.start()
        time.sleep(3)

        def mid_item(name):  # a third of a second's frames to go at least
            machine = dashboard.machine(name)
            return machine["state"] == "online" and any(
                item["state"] == "rendering" and item["progress"]["framesTotal"] - item["progress"]["framesDone"] >= 4
                for item in machine["job"]["items"])
        wait_until(lambda: mid_item("paris-rn-1") and mid_item("paris-rn-2"), 10, "both Paris machines mid-item")
        links["paris"].cut()
        cut = time.monotonic()
        time.sleep(10)

        # Just before the link is mended: Lyon's jobs are in the history as they end; of Paris's, none
        # that began during the cut has reached the dashboard, though some of them ended, and its
        # machines, silent for longer than --silent-after, are taken as offline.
        self.assertEqual([(machine["state"], machine["reason"]) for machine in map(dashboard.machine, ("paris-rn-1", "paris-rn-2"))],
                         [("offline", "silent")] * 2)
        seen = {job["project"]: job for job in dashboard.json("/api/jobs?limit=1000")["past"]}
        seen.update({job["project"]: job for job in dashboard.json("/api/jobs?limit=1000")["current"]})
        snapshot = time.monotonic()
        links["paris"].mend()
        cut_off = [r for r in rendered if r[0].startswith("paris") and r[3] > cut + 0.2]
        self.assertTrue(cut_off, "no Paris job began and ended during the cut")
        self.assertEqual([r[1] for r in cut_off if r[1] in seen], [])
        lyon = [r[1] for r in rendered if r[0].startswith("lyon") and r[4] < snapshot - 2]
        self.assertEqual([project for project in lyon if seen.get(project, {}).get("outcome") is None], [])

        # Once it is back: every job of both sites, each with its own outcome, none lost (the jobs
        # taken as lost during the cut end with their machines' own outcomes).
        def projects():
            return {job["project"] for job in dashboard.json("/api/jobs?limit=1000")["past"]}
        wait_until(lambda: {r[1] for r in cut_off} <= projects(), 30, "the jobs Paris ended during the cut")
        for thread in machines:
            thread.join(60)
        expected = sorted((name, project, outcome, COUNTS[outcome]) for name, project, outcome, _, _ in rendered)

        def history():
            past = sorted((job["machine"], job["project"], job["outcome"], job["counts"])
                          for job in dashboard.json("/api/jobs?limit=1000")["past"])
            return past == expected and past
        wait_until(history, 30, f"the history of every job: {expected}")
        self.assertEqual(dashboard.json("/api/jobs")["current"], [])
        for name in {r[0] for r in rendered}:
            machine = wait_until(lambda: dashboard.machine(name)["reason"] == "shutdown" and dashboard.machine(name), 10, name)
            self.assertEqual(machine["state"], "offline")


if __name__ == "__main__":
    unittest.main()
