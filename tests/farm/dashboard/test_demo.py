"""scripts/farm-demo.sh as a user runs it: its page answers, every state shows, and nothing is left."""

import contextlib
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import time
import unittest

import farm

STATES = {"rendering", "failed", "stalled", "lost"}  # machines' tile states and attention reasons


def get(port, path):
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", port, timeout=5)) as connection:
        connection.request("GET", path)
        return connection.getresponse().read()


class FarmDemoTest(unittest.TestCase):
    def test_every_state_shows_then_everything_stops(self):
        demo = subprocess.Popen(["bash", os.path.join(farm.SOURCE, "scripts", "farm-demo.sh"), "--machines", "4",
                                 "--seconds", "45", "--build", farm.BUILD], stdout=subprocess.PIPE, text=True,
                                start_new_session=True)
        self.addCleanup(lambda: demo.poll() is None and (demo.terminate(), demo.wait(60)))  # it stops what it started
        text = ""
        while "http://" not in text and demo.poll() is None:
            text += demo.stdout.readline()
        port = int(re.search(r"http://127\.0\.0\.1:(\d+)/", text)[1])
        self.assertIn(b"<html", get(port, "/"))
        seen, start = set(), time.monotonic()
        while not STATES <= seen and time.monotonic() - start < 40:  # before --seconds stops the dashboard
            summary = json.loads(get(port, "/api/summary"))
            seen |= {state for state, count in summary["counts"].items() if count}
            seen |= {reason for row in summary["attention"] for reason in row["reasons"]}
            time.sleep(0.2)
        print(f"seen {sorted(seen)} within {time.monotonic() - start:.1f} s of the address")
        demo.send_signal(signal.SIGTERM)
        text += demo.communicate(timeout=60)[0]
        self.assertEqual(demo.returncode, 0, text)
        self.assertLessEqual(STATES, seen, text)
        # After SIGTERM: no process it named, none of its group, none using its folder; ports closed.
        folder = re.search(r"temporary files in (\S+),", text)[1]
        self.assertFalse(os.path.exists(folder))
        for pid in [int(pid) for pid in re.findall(r"\(pid (\d+)\)", text)] + [-demo.pid]:
            self.assertRaises(ProcessLookupError, os.kill, pid, 0)
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
                self.assertNotIn(folder.encode(), f.read(), f"process {pid} is left")
        for closed in [port, int(re.search(r"on 127\.0\.0\.1:(\d+)", text)[1])]:
            self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", closed), 2)
