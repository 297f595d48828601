#!/usr/bin/python3
"""brevant-dashboard at farm scale: each scenario on a mosquitto and a service of its own (free
loopback ports, stopped at the end), fed by farm_load and watched by farm_viewers (both built
from bench/farm in --build), with the CPU (utime + stime from /proc/PID/stat) and resident
memory of every process sampled. Prints one markdown row per scenario (bench/README.md).

  scale.py --build build/default [--minutes 10] [--scenario load10k load1k viewers halfsent]
           [--dashboard PATH] [--browser] [--json OUT]

  load10k   10,000 machines at one frame every 2 s; one viewer with 64 machines open measures
            frame -> `progress` event; the service's RSS every 5 s for --minutes.
  load1k    1,000 machines at 10 fps, the same.
  viewers   --viewers (1,000) viewers of the summary (`/events` with nothing open) while
            --viewer-machines (1,000) machines publish at --viewer-fps (0.5): frame -> tile at
            every viewer, and at the last viewer to get it.
  halfsent  the API's latency (`/api/summary`, or `/api/machines?limit=100` where there is no
            summary) without, then with 200 connections that sent half a request and hold it.
  page10k   the page in headless Chromium (page_bench.py, 1440x900) with farm_load's 10,000
            machines at one frame every 2 s: snapshot -> first complete draw, main thread busy,
            script round trip, DOM nodes, over --page-seconds.
  page1k    the same with 1,000 machines at 2 fps.
  shots     screenshots of the page (1440x900) into --shots DIR, dashboard-N.png for N in
            --shot-machines (1000 10000), of dashboard_soak.py's farm (every state: rendering, failed,
            stalled, disk filling, lost, idle, offline) at 1 fps, once an item has failed.

--dashboard runs another brevant-dashboard binary (the one before a change) against the same
generators; --browser adds headless Chromium on the page to the load scenarios."""

import argparse
import json
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(ROOT, "tests", "farm"), os.path.join(ROOT, "tests", "farm", "dashboard")]


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def descendants(pid):
    """`pid` and every process below it (a browser's renderers and helpers)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo += children.get(p, [])
    return found


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Sampler:
    """CPU of each named process (a browser: its whole tree) over a window, and the service's RSS
    every `interval` seconds."""

    def __init__(self, processes, service_pid, interval=5.0):
        self.processes, self.service_pid, self.interval = processes, service_pid, interval
        self.rss, self.stop = [], threading.Event()

    def cpu(self):
        total = {}
        for name, pid in self.processes.items():
            pids = descendants(pid) if name == "browser" else [pid]
            total[name] = sum(c for c in (cpu_seconds(p) for p in pids) if c is not None)
        return total

    def __enter__(self):
        self.start_cpu, self.start = self.cpu(), time.monotonic()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        return self

    def run(self):
        while True:
            value = rss_mib(self.service_pid)
            if value is not None:
                self.rss.append(round(value, 1))
            if self.stop.wait(self.interval):
                return

    def __exit__(self, *exc):
        end_cpu, wall = self.cpu(), time.monotonic() - self.start
        self.stop.set()
        self.thread.join()
        self.cores = {name: round((end_cpu[name] - self.start_cpu[name]) / wall, 3) for name in self.processes}
        self.seconds = wall


class Farm:
    """A broker, the service, and what a scenario starts, all stopped when it closes."""

    def __init__(self, args):
        os.environ["BREVANT_BUILD_DIR"] = args.build
        import farm
        farm.DASHBOARD = args.dashboard or os.path.join(args.build, "brevant-dashboard")
        self.farm, self.args = farm, args
        self.stack = farm.Stack()
        self.broker = farm.Broker(self.stack)
        self.service = farm.Dashboard(self.stack, self.broker)
        self.new = self.service.request("/api/summary")[0] == 200
        self.label = args.label or ("with /api/summary" if self.new else "without /api/summary")
        self.processes = {"service": self.service.process.pid, "broker": self.broker.process.pid}

    def close(self):
        self.stack.close()

    def tool(self, name):
        return os.path.join(self.args.build, "bench", "farm", name)

    def load(self, machines, fps, seconds):
        out = open(os.path.join(self.stack.directory, "farm_load.out"), "w+")
        self.stack.callback(out.close)
        process = self.stack.spawn([self.tool("farm_load"), "--port", str(self.broker.port), "--machines", str(machines),
                                    "--fps", str(fps), "--seconds", str(seconds)], stdout=out)
        self.processes["generator"] = process.pid
        process.out = out
        return process

    def viewers(self, viewers, seconds, machines=(), warmup=2.0):
        args = [self.tool("farm_viewers"), "--url", f"http://127.0.0.1:{self.service.port}/events",
                "--viewers", str(viewers), "--seconds", str(seconds), "--warmup", str(warmup)]
        for name in machines:
            args += ["--machine", name]
        process = self.stack.spawn(args, stdout=subprocess.PIPE, text=True)
        self.processes["viewers"] = process.pid
        return process

    def browser(self):
        from test_browser import start_chromium
        driver = start_chromium(self.stack)
        driver.get(f"http://127.0.0.1:{self.service.port}/")
        self.processes["browser"] = driver.service.process.pid

    def wait_caught_up(self, timeout):
        """Until the service has taken in the start-up burst (its message count stops jumping)."""
        last, deadline = -1, time.monotonic() + timeout
        while time.monotonic() < deadline:
            time.sleep(2)
            count = self.service.metric("brevant_dashboard_messages_total") or 0
            if last >= 0 and count - last < 2 * self.rate + 100:
                return
            last = count


def finish(load):
    load.wait()
    load.out.seek(0)
    text = load.out.read().strip().splitlines()
    return json.loads(text[-1]) if text else {}


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100.0 * len(values)))] if values else float("nan")


def scenario_load(args, machines, fps, name):
    farm = Farm(args)
    try:
        farm.rate = machines * fps
        measure = args.minutes * 60
        warmup = 10 + machines / 1000
        load = farm.load(machines, fps, warmup + measure + 8)
        if args.browser:
            farm.browser()
        time.sleep(2)
        farm.wait_caught_up(warmup)
        opened = [f"rn-{k * machines // 64:05d}" for k in range(64)]
        viewer = farm.viewers(1, measure, opened)
        time.sleep(2)
        load_before = loadavg()
        with Sampler(dict(farm.processes), farm.service.process.pid) as sampler:
            seen = json.loads(viewer.communicate()[0])
        published = finish(load)
        rss = sampler.rss
        sampler.cores["viewers"] = round(seen["cpuSeconds"] / seen["seconds"], 3)
        figures = {"scenario": name, "service": farm.label, "machines": machines, "fps": fps,
                   "viewer": seen, "generator": published, "cores": sampler.cores, "seconds": round(sampler.seconds),
                   "rssMiB": {"start": rss[0], "end": rss[-1], "max": max(rss), "min": min(rss), "samples": rss},
                   "loadavg": [load_before, loadavg()]}
        figures["row"] = (f"{machines:,} machines at {fps:g} fps, {sampler.seconds / 60:.1f} min", figures["service"],
                          f"frame → progress event p99 **{seen['p99Ms']:.1f} ms** (p50 {seen['p50Ms']:.1f}, max "
                          f"{seen['maxMs']:.0f}; {seen['count']:,} frames of 64 machines); RSS "
                          f"{rss[0]:.1f} → {rss[-1]:.1f} MiB, max {max(rss):.1f}", "p99 ≤ 100 ms, RSS flat",
                          "yes" if seen["p99Ms"] <= 100 and seen["count"] > 0 else "no")
        return figures
    finally:
        farm.close()


def scenario_viewers(args):
    farm = Farm(args)
    try:
        farm.rate = args.viewer_machines * args.viewer_fps
        measure = args.viewer_seconds
        warmup = 8 + args.viewer_machines / 1000
        load = farm.load(args.viewer_machines, args.viewer_fps, 3600)  # until the viewers are done
        time.sleep(2)
        farm.wait_caught_up(warmup)
        viewer = farm.viewers(args.viewers, measure)
        # The window starts once every viewer is connected (farm_viewers' own warm-up follows).
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not farm.service.metric("brevant_dashboard_sse_clients"):
            time.sleep(0.5)
        time.sleep(4)
        load_before = loadavg()
        with Sampler(dict(farm.processes), farm.service.process.pid, interval=2) as sampler:
            seen = json.loads(viewer.communicate()[0])
        load.terminate()
        sampler.cores["viewers"] = round(seen["cpuSeconds"] / seen["seconds"], 3)
        last = seen["lastViewer"]
        figures = {"scenario": "viewers", "service": farm.label, "viewers": args.viewers,
                   "machines": args.viewer_machines, "fps": args.viewer_fps, "viewer": seen, "cores": sampler.cores,
                   "seconds": round(sampler.seconds), "loadavg": [load_before, loadavg()]}
        met = last["p99Ms"] <= 250 and sampler.cores["service"] < 1 and seen["connected"] == args.viewers
        figures["row"] = (f"{args.viewers:,} viewers of the summary, {args.viewer_machines:,} machines at "
                          f"{args.viewer_fps:g} fps, {sampler.seconds:.0f} s", figures["service"],
                          f"{seen['connected']:,} connected; frame → {'tile' if seen['tiles'] else 'progress event'} at the last viewer p99 **{last['p99Ms']:.1f} ms** "
                          f"(p50 {last['p50Ms']:.1f}, max {last['maxMs']:.0f}; {last['count']:,} frames, "
                          f"{last['seenByAll']:,} seen by all); at every viewer p99 {seen['p99Ms']:.1f} ms; "
                          f"{seen['resyncs']} resyncs", "p99 ≤ 250 ms, service < 1 core", "yes" if met else "no")
        return figures
    finally:
        farm.close()


def api_latencies(port, path, seconds, at_least, timeout):
    """Request after request, each on a new connection, for `seconds` and at least `at_least` of them."""
    values, failures, start = [], 0, time.monotonic()
    while time.monotonic() - start < seconds or len(values) + failures < at_least:
        begin = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
                sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
                response = b""
                while chunk := sock.recv(65536):
                    response += chunk
            if not response.startswith(b"HTTP/1.1 200"):
                raise OSError(response[:40])
            values.append((time.monotonic() - begin) * 1000)
        except OSError:
            failures += 1
        if time.monotonic() - start > seconds + 3 * timeout:
            break
    return {"count": len(values), "failures": failures, "p50Ms": round(percentile(values, 50), 2),
            "p99Ms": round(percentile(values, 99), 2), "maxMs": round(max(values), 2) if values else None}


def scenario_halfsent(args):
    farm = Farm(args)
    try:
        farm.rate = 1000 * 0.5
        load = farm.load(1000, 0.5, 3600)
        time.sleep(2)
        farm.wait_caught_up(15)
        path = "/api/summary" if farm.new else "/api/machines?limit=100"
        port = farm.service.port
        load_before = loadavg()
        with Sampler(dict(farm.processes), farm.service.process.pid) as quiet:
            without = api_latencies(port, path, args.api_seconds, 5, 120)
        held = []
        for _ in range(args.half_sent):
            sock = socket.create_connection(("127.0.0.1", port))
            sock.sendall(b"GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            held.append(sock)
        time.sleep(1)
        with Sampler(dict(farm.processes), farm.service.process.pid) as busy:
            held_open = api_latencies(port, path, args.api_seconds, 5, 120)
        closed = 0
        for sock in held:  # which ones the service hung up on meanwhile
            sock.setblocking(False)
            try:
                closed += sock.recv(1) == b""
            except BlockingIOError:
                pass
            except OSError:
                closed += 1
            sock.close()
        load.terminate()
        ratio = held_open["p99Ms"] / without["p99Ms"] if held_open["count"] and without["count"] else float("inf")
        figures = {"scenario": "halfsent", "service": farm.label, "path": path,
                   "without": without, "with": held_open, "closedByService": closed, "ratio": ratio,
                   "cores": {"without": quiet.cores, "with": busy.cores}, "loadavg": [load_before, loadavg()]}
        figures["row"] = (f"`GET {path}` with {args.half_sent} half-sent requests held open (1,000 machines at 0.5 fps)",
                          figures["service"],
                          f"p99 **{held_open['p99Ms']:.1f} ms** against {without['p99Ms']:.1f} ms without "
                          f"(**{ratio:.2f}x**; p50 {held_open['p50Ms']} / {without['p50Ms']} ms, {held_open['count']} / "
                          f"{without['count']} requests, {held_open['failures']} failed); {closed} of the "
                          f"{args.half_sent} hung up on by the service", "within 2x", "yes" if ratio <= 2 else "no")
        figures["cores"] = busy.cores
        return figures
    finally:
        farm.close()


PAGE_BENCH = os.path.join(HERE, "page_bench.py")


def page_bench(farm, seconds, screenshot=None):
    """page_bench.py against the farm's service; its JSON line (with the CPU of every process over
    its window)."""
    url = f"http://127.0.0.1:{farm.service.port}/" + (f"?access_token={farm.service.token}" if farm.service.token else "")
    command = ["/usr/bin/python3", PAGE_BENCH, "--url", url, "--seconds", str(seconds), "--window", "1440x900"]
    command += [f"--process={name}={pid}" for name, pid in farm.processes.items()]
    if screenshot:
        command += ["--screenshot", screenshot]
    out = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True, timeout=seconds + 300).stdout
    return json.loads(out.strip().splitlines()[-1])


def scenario_page(args, machines, fps, name):
    farm = Farm(args)
    try:
        farm.rate = machines * fps
        load = farm.load(machines, fps, 3600)
        time.sleep(2)
        farm.wait_caught_up(10 + machines / 1000)
        load_before = loadavg()
        page = page_bench(farm, args.page_seconds)
        load.terminate()
        figures = {"scenario": name, "service": farm.label, "machines": machines, "fps": fps, "page": page,
                   "cores": page["cores"], "loadavg": [load_before, loadavg()]}
        met = (page["snapshotToDrawnMs"] <= 1000 if machines >= 10000 else
               page["busyFraction"] <= 0.25 and page["roundTripP99Ms"] <= 50)
        figures["row"] = (f"the page, {machines:,} machines at {fps:g} fps, {args.page_seconds:g} s", figures["service"],
                          f"snapshot → first complete draw **{page['snapshotToDrawnMs']:.0f} ms**; main thread busy "
                          f"**{page['busyFraction'] * 100:.1f} %**; round trip p50 {page['roundTripP50Ms']:.1f} / p99 "
                          f"**{page['roundTripP99Ms']:.1f} ms**; {page['longTasks']} long tasks ({page['longTaskMs']:.0f} ms); "
                          f"frame gap p99 {page['frameGapP99Ms']} ms; **{page['domNodes']} DOM nodes** "
                          f"({page['domBySection']['hoursByMachine']} of them the history's hours by machine); "
                          f"{page['machines']} machines counted",
                          "draw ≤ 1 s" if machines >= 10000 else "busy ≤ 25 %, round trip p99 ≤ 50 ms",
                          "yes" if met else "no")
        return figures
    finally:
        farm.close()


def scenario_shots(args):
    for machines in args.shot_machines:
        farm = Farm(args)
        try:
            soak = farm.stack.spawn(["/usr/bin/python3", os.path.join(HERE, "dashboard_soak.py"), "--port",
                                     str(farm.broker.port), "--machines", str(machines), "--rate", str(machines)],
                                    "dashboard_soak.out")
            # Until an item has failed (frame 120 of a job; the stalled ones stall from 60 to 200)
            # and machines are lost (frame 100): then every state is on the page.
            deadline = time.monotonic() + args.shot_wait
            while time.monotonic() < deadline:
                time.sleep(2)
                summary = farm.service.json("/api/summary")
                reasons = {r for row in summary["attention"] for r in row["reasons"]}
                if summary["counts"]["lost"] and "failed" in reasons:
                    break
            time.sleep(5)
            os.makedirs(args.shots, exist_ok=True)
            shot = os.path.join(args.shots, f"dashboard-{machines}.png")
            page = page_bench(farm, 3, shot)
            print(f"{shot}: {json.dumps(page)}", file=sys.stderr, flush=True)
            soak.terminate()
        finally:
            farm.close()
    return None


def row(figures):
    what, service, figure, goal, met = figures["row"]
    cores = figures["cores"]
    cpu = ", ".join(f"{name} {cores[name]:.2f}" for name in ("service", "broker", "generator", "viewers", "browser")
                    if name in cores)
    return f"| {what} | {service} | {figure} | {goal} | {met} | {cpu} | {' → '.join(figures['loadavg'])} |"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--dashboard", help="the brevant-dashboard binary (default: the one in --build)")
    parser.add_argument("--scenario", nargs="+", default=["load10k", "load1k", "viewers", "halfsent"],
                        choices=["load10k", "load1k", "viewers", "halfsent", "page10k", "page1k", "shots"])
    parser.add_argument("--minutes", type=float, default=10, help="of each load scenario")
    parser.add_argument("--viewers", type=int, default=1000)
    parser.add_argument("--viewer-machines", type=int, default=1000)
    parser.add_argument("--viewer-fps", type=float, default=0.5)
    parser.add_argument("--viewer-seconds", type=float, default=60)
    parser.add_argument("--half-sent", type=int, default=200)
    parser.add_argument("--api-seconds", type=float, default=20)
    parser.add_argument("--page-seconds", type=float, default=30, help="page_bench.py's window")
    parser.add_argument("--shots", default=os.path.join(ROOT, "docs", "images"), help="where the screenshots go")
    parser.add_argument("--shot-machines", type=int, nargs="+", default=[1000, 10000], help="a screenshot of each")
    parser.add_argument("--shot-wait", type=float, default=400, help="at most this many seconds of the farm before a screenshot")
    parser.add_argument("--browser", action="store_true", help="headless Chromium on the page during the load scenarios")
    parser.add_argument("--label", help="the service's name in the table (default: whether it has /api/summary)")
    parser.add_argument("--json", help="append every scenario's figures here, one JSON line each")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)

    print("| Scenario | Service | Figure | Goal | Met | CPU, cores | Load average (start → end) |")
    print("|---|---|---|---|---|---|---|", flush=True)
    runs = {"load10k": lambda: scenario_load(args, 10000, 0.5, "load10k"),
            "load1k": lambda: scenario_load(args, 1000, 10, "load1k"),
            "viewers": lambda: scenario_viewers(args), "halfsent": lambda: scenario_halfsent(args),
            "page10k": lambda: scenario_page(args, 10000, 0.5, "page10k"),
            "page1k": lambda: scenario_page(args, 1000, 2, "page1k"), "shots": lambda: scenario_shots(args)}
    for name in args.scenario:
        figures = runs[name]()
        if figures is None:
            continue
        print(row(figures), flush=True)
        if args.json:
            with open(args.json, "a") as f:
                f.write(json.dumps(figures) + "\n")


if __name__ == "__main__":
    main()
