#!/usr/bin/python3
"""How the dashboard's page holds up in a browser: opens it in headless Chromium (Debian's, through
python3-selenium) against a running brevant-dashboard and prints one JSON line.

    page_bench.py --url http://127.0.0.1:8080/ [--seconds 20] [--window 1440x900] [--screenshot wall.png]

- snapshotToDrawnMs: from the page's mark `brevant-snapshot` (the first snapshot event arrived)
  to its mark `brevant-drawn` (the first complete draw of the wall after it).
- busyFraction: the main thread's share of the --seconds that followed (Chrome's TaskDuration
  from Performance.getMetrics over the wall-clock time); longTasks / longTaskMs: the tasks over
  50 ms in that time (a PerformanceObserver); frameGapP99Ms / frameGapMaxMs / framesOver50Ms:
  the gaps between animation frames (what a person sees as stutter).
- roundTripP50Ms / roundTripP99Ms: execute_script of a trivial function, every 100 ms through
  the window (how long the page keeps a click waiting).
- domNodes: elements in the document at the end, and domBySection: in each part of the page
  (the history's table of render hours by machine among them); machines: the page's own count.
- cores: CPU (utime + stime) over the window in cores, of the browser (Chromium and its driver,
  every process below the driver) and of each --process NAME=PID given (the service, the broker).

Simulate a farm with bench/farm/dashboard_soak.py against the dashboard's broker."""

import argparse
import json
import statistics
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from scale import cpu_seconds, descendants

# Installed before the page's own script: long tasks and the gaps between animation frames,
# recorded from the moment the measurement window opens.
PROBE = """
window.__brevantBench = {longTasks: [], gaps: [], recording: false, last: 0};
new PerformanceObserver(list => {
  const bench = window.__brevantBench;
  if (bench.recording) for (const entry of list.getEntries()) bench.longTasks.push(entry.duration);
}).observe({type: 'longtask', buffered: false});
(function tick(now) {
  const bench = window.__brevantBench;
  if (bench.recording && bench.last) bench.gaps.push(now - bench.last);
  bench.last = now;
  requestAnimationFrame(tick);
})(0);
"""


def percentile(values, fraction):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def task_seconds(driver):
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return next(m["value"] for m in metrics if m["name"] == "TaskDuration")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="the dashboard's page (with ?access_token=T when it has a token)")
    parser.add_argument("--seconds", type=float, default=20, help="the measurement window after the first draw")
    parser.add_argument("--window", default="1440x900", help="the page's viewport, WIDTHxHEIGHT in CSS pixels")
    parser.add_argument("--screenshot", help="a PNG of the page at the end")
    parser.add_argument("--timeout", type=float, default=120, help="seconds to wait for the first draw")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--process", action="append", default=[], metavar="NAME=PID",
                        help="another process whose CPU over the window to report")
    args = parser.parse_args()
    width, height = (int(n) for n in args.window.lower().split("x"))

    options = webdriver.ChromeOptions()
    options.binary_location = args.chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--force-device-scale-factor=1",
                 f"--window-size={width},{height}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "SEVERE"})
    driver = webdriver.Chrome(service=Service(args.chromedriver), options=options)
    try:
        # The page's viewport itself is WIDTHxHEIGHT: a window of that size leaves less to the page
        # (1440x900 gave a page of 1440x757).
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE})
        driver.execute_cdp_cmd("Performance.enable", {"timeMode": "threadTicks"})
        driver.get(args.url)

        marks = ("const m = n => performance.getEntriesByName(n, 'mark');"
                 "const s = m('brevant-snapshot')[0];"
                 "const d = s && m('brevant-drawn').find(e => e.startTime >= s.startTime);"
                 "return d ? d.startTime - s.startTime : null;")
        deadline = time.monotonic() + args.timeout
        drawn = None
        while drawn is None:
            if time.monotonic() > deadline:
                sys.exit(f"no complete draw of the wall within {args.timeout} s")
            time.sleep(0.05)
            drawn = driver.execute_script(marks)

        processes = {name: [int(pid)] for name, pid in (p.split("=", 1) for p in args.process)}
        processes["browser"] = descendants(driver.service.process.pid)

        def cpu():
            return {name: sum(c for c in map(cpu_seconds, pids) if c is not None) for name, pids in processes.items()}

        driver.execute_script("window.__brevantBench.recording = true;")
        cpu_before = cpu()
        busy_before, started = task_seconds(driver), time.monotonic()
        trips = []
        while time.monotonic() - started < args.seconds:
            before = time.perf_counter()
            driver.execute_script("return 1;")
            trips.append((time.perf_counter() - before) * 1000)
            time.sleep(0.1)
        window = time.monotonic() - started
        busy = task_seconds(driver) - busy_before
        cpu_after = cpu()
        busy /= window
        cores = {name: round((cpu_after[name] - cpu_before[name]) / window, 3) for name in processes}
        probe = driver.execute_script("window.__brevantBench.recording = false; return window.__brevantBench;")
        nodes = driver.execute_script("return document.getElementsByTagName('*').length;")
        sections = driver.execute_script(
            "const n = s => { const e = document.querySelector(s); return e ? e.getElementsByTagName('*').length : 0; };"
            "return {header: n('header'), farm: n('#farm'), attention: n('#attention'), projects: n('#projects-section'),"
            "        opened: n('#opened'), project: n('#project'), history: n('section.history'),"
            "        hoursByMachine: n('#hours-machine')};")
        machines = driver.execute_script("const c = document.getElementById('count-machines');"
                                         "return c ? c.textContent : null;")
        if args.screenshot:
            driver.save_screenshot(args.screenshot)
        errors = [entry["message"] for entry in driver.get_log("browser")]
        gaps = probe["gaps"]
        print(json.dumps({
            "url": args.url, "window": args.window, "seconds": args.seconds,
            "machines": int(machines) if machines and machines.isdigit() else machines,
            "snapshotToDrawnMs": round(drawn, 1),
            "busyFraction": round(busy, 3),
            "longTasks": len(probe["longTasks"]), "longTaskMs": round(sum(probe["longTasks"]), 1),
            "frames": len(gaps), "frameGapP99Ms": percentile(gaps, 0.99) and round(percentile(gaps, 0.99), 1),
            "frameGapMaxMs": round(max(gaps), 1) if gaps else None, "framesOver50Ms": sum(g > 50 for g in gaps),
            "roundTripP50Ms": round(statistics.median(trips), 2), "roundTripP99Ms": round(percentile(trips, 0.99), 2),
            "domNodes": nodes, "domBySection": sections, "cores": cores, "consoleErrors": errors[:5],
        }))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
