#!/usr/bin/python3
"""brevant-dashboard under a farm's load, on a broker and a service of its own (free loopback
ports, stopped at the end):

  dashboard_bench.py latency [--machines 100] [--fps 24] [--seconds 60] [--simulator]
      N simulated machines at F frames per second each; one event-stream client measures each
      frame's latency from the host to it (p50, p99), and the service's CPU and RSS are sampled.
  dashboard_bench.py soak [--machines 100] [--frames 86400] [--rate 20000]
      an hour of those frames (86400 per machine at 24 fps) published as fast as --rate allows;
      the service's RSS is sampled throughout, to show that it stays flat.
  dashboard_bench.py connections [--viewers 1000] [--held 200]
      V event-stream viewers and H connections that send half a request (or nothing) and wait:
      how long until every viewer has its snapshot and a machine's change, how fast the API
      answers meanwhile, when the held ones are closed, and the service's threads and RSS.
  dashboard_bench.py screenshot --out docs/dashboard.png [--seconds 8]
      the page in headless Chromium during the simulation.

BREVANT_BUILD_DIR picks the build (default build/default). The machines are farm.sh's real
brevant-host processes with the farm publisher, or with --simulator (and for a screenshot)
dashboard_soak.py's, paced in real time."""

import argparse
import contextlib
import json
import os
import resource
import selectors
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
os.environ.setdefault("BREVANT_BUILD_DIR", os.path.join(ROOT, "build", "default"))
os.environ.setdefault("BREVANT_SOURCE_DIR", ROOT)
sys.path[:0] = [os.path.join(ROOT, "tests", "farm"), os.path.join(ROOT, "tests", "farm", "dashboard")]

from farm import Broker, Dashboard, Render, Stack  # noqa: E402
from dashboard_watch import cpu_seconds, rss_mib  # noqa: E402

SOAK = os.path.join(HERE, "dashboard_soak.py")
WATCH = os.path.join(HERE, "dashboard_watch.py")


def real_thumbnail(stack, broker):
    """A thumbnail as the farm publisher sends it, from one real render of the demo job."""
    render = Render(stack, broker, os.path.join(ROOT, "examples", "demo.json"), "render-real", fps=48)
    render.wait()
    jpeg = subprocess.run(["mosquitto_sub", "-p", str(broker.port), "-t", "brevant/render-real/items/1/thumbnail",
                           "-C", "1", "-N", "-W", "5"], capture_output=True, check=True).stdout
    path = os.path.join(stack.directory, "thumbnail.jpg")
    with open(path, "wb") as f:
        f.write(jpeg)
    return path


FARM = os.path.join(HERE, "farm.sh")


def start_load(stack, broker, machines, fps, seconds, thumbnail=None, simulator=False):
    """The simulated farm, publishing for `seconds` (plus a little) at `fps` per machine: the farm
    script's brevant-host processes with the farm publisher when it is there, else dashboard_soak.py
    paced in real time."""
    if os.path.exists(FARM) and not thumbnail and not simulator:
        return stack.spawn(["bash", FARM, "-n", str(machines), "-f", str(int(fps)), "-d", str(int(seconds + 5)),
                            "-P", str(broker.port), "--external-broker", "-p", "brevant",
                            "-b", os.environ["BREVANT_BUILD_DIR"]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    frames = int(fps * (seconds + 10))
    extra = ["--thumbnail", thumbnail] if thumbnail else []
    return stack.spawn([sys.executable, SOAK, "--port", str(broker.port), "--machines", str(machines),
                        "--frames", str(frames), "--rate", str(machines * fps), *extra], stdout=subprocess.DEVNULL)


@contextlib.contextmanager
def service():
    """A broker and the dashboard on free ports, stopped with everything else the caller starts."""
    stack = Stack()
    try:
        broker = Broker(stack)
        yield stack, broker, Dashboard(stack, broker)
    finally:
        stack.close()


def latency(args):
    with service() as (stack, broker, dashboard):
        start_load(stack, broker, args.machines, args.fps, args.seconds + 3, simulator=args.simulator)
        result = subprocess.run([sys.executable, WATCH, "--port", str(dashboard.port), "--pid", str(dashboard.process.pid),
                                 "--seconds", str(args.seconds), "--warmup", "3", "--broker-port", str(broker.port)], capture_output=True, text=True, check=True)
        figures = json.loads(result.stdout)
        figures["dropped"] = dashboard.metric("brevant_dashboard_messages_dropped_total", reason="invalid")
        print(json.dumps(figures, indent=1))


def soak(args):
    with service() as (stack, broker, dashboard):
        pid = dashboard.process.pid
        published = os.path.join(stack.directory, "soak.out")
        with open(published, "w") as out:
            load = stack.spawn([sys.executable, SOAK, "--port", str(broker.port), "--machines", str(args.machines),
                                "--frames", str(args.frames), "--rate", str(args.rate)], stdout=out)
        expected = args.machines * args.frames
        samples, start = [], time.monotonic()
        while True:
            time.sleep(5)
            received = dashboard.metric("brevant_dashboard_messages_total")
            samples.append((round(time.monotonic() - start), int(received), round(rss_mib(pid), 1)))
            print(samples[-1], flush=True)
            # Done when the publisher has ended and the service has taken everything it will.
            if load.poll() is not None and len(samples) > 2 and samples[-3][1] == samples[-1][1]:
                break
        with open(published) as f:
            print(f.read().splitlines()[-1])
        cpu = cpu_seconds(pid)
        quarter = max(1, len(samples) // 4)
        print(json.dumps({"frames": expected, "messagesReceived": samples[-1][1], "seconds": samples[-1][0],
                          "cpuSeconds": cpu,
                          "rssFirstQuarterMiB": sum(s[2] for s in samples[:quarter]) / quarter,
                          "rssLastQuarterMiB": sum(s[2] for s in samples[-quarter:]) / quarter,
                          "rssMaxMiB": max(s[2] for s in samples)}, indent=1))


def threads_of(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith("Threads:")))


def connections(args):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with service() as (stack, broker, dashboard):
        pid, selector = dashboard.process.pid, selectors.DefaultSelector()
        begin = time.monotonic()
        for _ in range(args.viewers):
            viewer = socket.create_connection(("127.0.0.1", dashboard.port))
            viewer.sendall(b"GET /events?machine=probe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            viewer.setblocking(False)
            selector.register(viewer, selectors.EVENT_READ, bytearray())
            stack.callback(viewer.close)

        def read_until(marker, timeout):
            """Reads every viewer until each has `marker` in what it got; the seconds that took."""
            start, waiting = time.monotonic(), {key.fileobj for key in selector.get_map().values()}
            while waiting and time.monotonic() - start < timeout:
                for key, _ in selector.select(1):
                    key.data.extend(key.fileobj.recv(1 << 20) or b"")
                    if marker in key.data:
                        waiting.discard(key.fileobj)
            return time.monotonic() - start, len(waiting)

        snapshots, missing = read_until(b"event: snapshot", 120)
        snapshots += time.monotonic() - begin - snapshots  # from the first connect
        held = []
        for i in range(args.held):
            held.append(socket.create_connection(("127.0.0.1", dashboard.port)))
            stack.callback(held[-1].close)
            if i % 2:
                held[-1].sendall(b"GET /api/summary HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        held_at = time.monotonic()
        answers = []
        for path in ["/api/summary", "/api/machines"] * 25:
            start = time.monotonic()
            assert dashboard.request(path)[0] == 200
            answers.append((time.monotonic() - start) * 1000)
        answers.sort()
        broker.publish("brevant/probe/status", {"schema": 1, "machine": "probe", "state": "online", "time": "2026-12-07T11:00:00.000Z",
                                                "ts": int(time.time() * 1e6), "client": "bench", "version": "1.0.0",
                                                "startedAt": "2026-12-07T11:00:00.000Z", "pid": 1, "connects": 1,
                                                "dropped": {"messages": 0, "bytes": 0}, "published": {"messages": 0, "bytes": 0},
                                                "queue": {"bytes": 0, "limitBytes": 4194304}})
        changed, unchanged = read_until(b'"probe"', 60)
        figures = {"viewers": args.viewers, "sseClients": dashboard.metric("brevant_dashboard_sse_clients"),
                   "snapshotsSeconds": round(snapshots, 2), "viewersWithoutSnapshot": missing,
                   "changeAtEveryViewerSeconds": round(changed, 2), "viewersWithoutChange": unchanged,
                   "apiMsP50": round(answers[len(answers) // 2], 1), "apiMsMax": round(answers[-1], 1),
                   "serviceThreads": threads_of(pid), "serviceRssMiB": round(rss_mib(pid), 1)}
        closed = []
        for connection in held:
            connection.settimeout(60)
            try:
                closed.append(connection.recv(1) == b"")
            except OSError:
                closed.append(False)
        figures.update(held=args.held, heldClosedByService=sum(closed), heldClosedAfterSeconds=round(time.monotonic() - held_at, 1))
        print(json.dumps(figures, indent=1))


def screenshot(args):
    from test_browser import start_chromium
    with service() as (stack, broker, dashboard):
        start_load(stack, broker, args.machines, args.fps, args.seconds + 60, real_thumbnail(stack, broker))
        driver = start_chromium(stack)
        driver.set_window_size(1400, 900)
        driver.get(f"http://127.0.0.1:{dashboard.port}/")
        time.sleep(args.seconds)
        driver.save_screenshot(args.out)
        print(f"saved {args.out}")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    for name in ("latency", "soak", "connections", "screenshot"):
        p = sub.add_parser(name)
        p.add_argument("--machines", type=int, default=100)
        p.add_argument("--fps", type=float, default=24)
        p.add_argument("--seconds", type=float, default=60 if name == "latency" else 8)
        p.add_argument("--frames", type=int, default=86400)
        p.add_argument("--rate", type=float, default=20000)
        p.add_argument("--out", default=os.path.join(ROOT, "docs", "dashboard.png"))
        p.add_argument("--simulator", action="store_true", help="dashboard_soak.py's machines even when farm.sh is there")
        p.add_argument("--viewers", type=int, default=1000)
        p.add_argument("--held", type=int, default=200)
    args = parser.parse_args()
    {"latency": latency, "soak": soak, "connections": connections, "screenshot": screenshot}[args.mode](args)


if __name__ == "__main__":
    main()
