#!/usr/bin/env python3
"""A farm under faults: N brevant-host machines render short jobs one after another with the farm
publisher while the broker, the dashboard and the hosts are killed at random; then each machine's
job history on the dashboard is checked against what the machine really did. Exit code 0 when
every check holds. Everything runs on 127.0.0.1 and is stopped at the end, also on Ctrl-C.

A witness (mosquitto_sub on the job topics, with a persistent session) records what reached the
broker, so that what the dashboard lacks is told from what the broker never had: a host that ends
while the broker is away waits for it at most BREVANT_FARM_SHUTDOWN_WAIT_MS (docs/farm-publisher.md),
so the farm can only know such a job as lost. What the broker had and lost when it was killed
before its next save is counted apart ("lost in a broker crash"): that is the loss the broker's
autosave_interval allows, not the dashboard's.
"""

import argparse
import bisect
import collections
import contextlib
import datetime
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--machines", type=int, default=6)
parser.add_argument("--seconds", type=float, default=60, help="how long faults are made")
parser.add_argument("--seed", type=int, default=None)
parser.add_argument("--fps", type=float, default=10)
parser.add_argument("--interval", type=float, default=2.0, help="mean seconds between two faults")
parser.add_argument("--build", default="build/default")
parser.add_argument("--keep", action="store_true", help="keep the temporary folder (logs, jobs, summaries)")
args = parser.parse_args()
os.environ["BREVANT_BUILD_DIR"] = os.path.join(ROOT, args.build) if not os.path.isabs(args.build) else args.build
sys.path.insert(0, os.path.join(ROOT, "tests", "farm"))
import farm  # noqa: E402  (reads BREVANT_BUILD_DIR when imported)

SEED = args.seed if args.seed is not None else random.randrange(1 << 30)
T0 = time.time()
print_lock = threading.Lock()


def log(text):
    with print_lock:
        print(f"{time.time() - T0:8.2f}  {text}", flush=True)


class Closing(Exception):
    """The run is being torn down: nothing new is started."""


class ChaosStack(farm.Stack):
    """farm.Stack whose spawns stop once teardown began, so no thread starts a process after it."""

    def __init__(self, keep):
        contextlib.ExitStack.__init__(self)
        self.directory = tempfile.mkdtemp(prefix="brevant-chaos-")
        self.lock, self.closing = threading.Lock(), False
        if not keep:
            self.callback(shutil.rmtree, self.directory, ignore_errors=True)

    def spawn(self, *a, **k):
        with self.lock:
            if self.closing:
                raise Closing()
            return super().spawn(*a, **k)

    def close(self):
        with self.lock:
            self.closing = True
        super().close()


def iso_seconds(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc).timestamp()


def outcome_of(counts):  # as the dashboard names a finished job (farm/dashboard/Views.cpp)
    return "failed" if counts["failed"] else "stopped" if counts["stopped"] else "done"


def make_job(rng, name):
    """One to three small items; one in two jobs has an item that fails or is stopped."""
    kind = rng.choice(["done", "done", "failed", "stopped"])
    frames = [rng.randint(6, 20) for _ in range(rng.randint(1, 3))]
    job = farm.frames_job(*frames, project=f"Chaos {name}", size=(32, 18))
    item = rng.choice(job["items"])
    if kind != "done":
        at = rng.randint(1, item["comp"]["frames"])
        item.update({"fail": {"atFrame": at}} if kind == "failed" else {"stopAtFrame": at})
    return job


class Machine:
    def __init__(self, index):
        self.name, self.rng = f"chaos-{index:02d}", random.Random(SEED * 1000 + index)
        self.runs, self.process, self.started, self.released = [], None, 0.0, threading.Event()

    def loop(self, stack, broker, until):
        out = os.path.join(stack.directory, self.name)
        while not until.is_set():
            n = len(self.runs) + 1
            job = stack.file(f"{self.name}-{n}.json", make_job(self.rng, f"{self.name} #{n}"))
            summary = os.path.join(stack.directory, f"{self.name}-{n}.summary.json")
            command = [farm.HOST, "run", job, "--client", farm.PUBLISHER, "--out", out, "--fps", str(args.fps),
                       "--summary-json", summary]
            run = {"n": n, "start": time.time()}
            self.released.clear()
            env = farm.publisher_env(broker, self.name, {})
            self.process = stack.spawn(command, log=f"{self.name}-{n}.log", env=env)
            self.started = run["start"]
            code = self.process.wait()
            run.update(end=time.time(), code=code, killed=code == -signal.SIGKILL)
            span = f"run   {self.name}#{n}  {run['start'] - T0:.2f}..{run['end'] - T0:.2f}"
            if run["killed"]:
                self.released.wait(10)  # until the fault maker has looked at the dashboard
                log(f"{span}  killed")
            else:
                s = {}
                with contextlib.suppress(OSError, ValueError), open(summary) as f:
                    s = json.load(f)
                statuses = collections.Counter(item["status"] for item in s.get("itemOutcomes", []))
                if code not in (0, 3, 4) or not s.get("rendered"):
                    run["problem"] = f"brevant-host exit {code}, {s.get('problem') or s.get('leaks') or 'no summary'}"
                run["counts"] = {"done": statuses["done"], "stopped": statuses["stopped"], "failed": statuses["failed"],
                                 "notStarted": s.get("items", {}).get("neverStarted", 0)}
                log(f"{span}  exit {code}  {run['counts']}")
            self.runs.append(run)


# The broker saves its store every second (autosave_interval 1): a job whose latest state reached
# it this long before it was killed may be gone with it, before the dashboard had it.
AUTOSAVE_SECONDS = 1
CRASH_WINDOW = AUTOSAVE_SECONDS + 2  # and the save's own time, and delivery under load


def witness(stack, broker):
    """Every job payload that reached the broker, by (machine, session, startedAt); the ended one wins."""
    jobs = {}
    process = stack.spawn(["stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-c", "-i",
                           f"chaos-witness-{os.getpid()}", "-q", "1", "-t", "brevant/+/job", "-F", "%t %p"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def read():
        for line in process.stdout:
            with contextlib.suppress(ValueError):
                job = json.loads(line.partition(" ")[2])
                key = (job["machine"], job["session"], job["startedAt"])
                if key not in jobs or jobs[key]["state"] != "ended":
                    jobs[key] = {**job, "seenAt": time.time()}  # when the broker had its latest state
    threading.Thread(target=read, daemon=True).start()
    return jobs


def dropped(broker):
    """The broker's own count of dropped messages since it started, or None."""
    result = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-C", "1", "-W", "3", "-t",
                             "$SYS/broker/publish/messages/dropped"], capture_output=True, text=True)
    return int(result.stdout) if result.stdout.strip().isdigit() else None


class Faults:
    def __init__(self, broker, dashboard, machines):
        self.broker, self.dashboard, self.machines = broker, dashboard, machines
        self.made, self.rng, self.dropped, self.offline_seen, self.unclean = [], random.Random(SEED), [], [], []

    def loop(self, until):
        while not until.wait(self.rng.expovariate(1 / args.interval)):
            kind = self.rng.choice(["host", "host", "broker", "dashboard"])
            if kind == "host":
                busy = [m for m in self.machines if m.process and m.process.poll() is None]
                busy = [m for m in busy if time.time() - m.started > 0.5]  # mid-job, not loading
                self.kill_host(self.rng.choice(busy)) if busy else None
            else:
                self.restart(kind, self.rng.choice([signal.SIGTERM, signal.SIGKILL]))

    def note(self, kind, target, detail=""):
        self.made.append({"time": time.time(), "kind": kind, "target": target})
        log(f"fault {kind:<15} {target}  {detail}")

    def kill_host(self, machine):
        machine.process.kill()
        self.note("host-SIGKILL", machine.name)
        # The broker publishes the last will when the connection drops: the machine should show
        # offline before the machine's next host starts.
        with contextlib.suppress(AssertionError):
            farm.wait_until(lambda: (self.dashboard.machine(machine.name) or {})["state"] == "offline", 3, "offline")
            self.offline_seen.append(machine.name)
        machine.released.set()

    def restart(self, kind, sig):
        target = self.broker if kind == "broker" else self.dashboard
        count = dropped(self.broker) if kind == "broker" else None  # its $SYS counters end with it
        target.process.send_signal(sig)
        code = target.process.wait()
        down = self.rng.uniform(0.2, 2.0)
        unclean = sig == signal.SIGTERM and code != 0
        self.note(f"{kind}-{sig.name}", f"port {self.broker.port}" if kind == "broker" else "dashboard",
                  f"exit {code}, down {down:.1f} s" + "  (unclean exit)" * unclean)
        self.dropped += [count] if kind == "broker" else []
        self.unclean += [f"{kind} exited {code} on SIGTERM"] if unclean else []
        time.sleep(down)
        target.start()

    def ensure_up(self):
        for name, part in (("broker", self.broker), ("dashboard", self.dashboard)):
            if part.process.poll() is not None:
                self.note(f"{name}-died", name, f"exit {part.process.returncode}, not killed by this script")
                self.unclean.append(f"{name} died by itself (exit {part.process.returncode})")
                part.start()


def all_jobs(dashboard, machine=None):
    """current + past of the API, paged; with a machine, only its own (whether or not the filter exists)."""
    jobs, offset = [], 0
    query = f"machine={urllib.parse.quote(machine)}&" if machine else ""
    while True:
        page = dashboard.json(f"/api/jobs?{query}limit=1000&offset={offset}")
        jobs += (page["current"] if offset == 0 else []) + page["past"]
        if len(page["past"]) < 1000:
            return [j for j in jobs if machine in (None, j["machine"])]
        offset += 1000


def settle(dashboard, bound=30):
    """Polls the history until it has not changed for 3 s (at most `bound` s); returns the seconds taken."""
    start, last, since = time.time(), None, time.time()
    while time.time() - start < bound:
        now = json.dumps(all_jobs(dashboard), sort_keys=True)
        if now != last:
            last, since = now, time.time()
        elif time.time() - since >= 3:
            break
        time.sleep(0.5)
    return time.time() - start


def hidden_jobs(dashboard, listed):
    """Records the history holds under an id that /api/jobs does not list (begun, never finished)."""
    ids = {j["id"] for j in listed}
    answers = (dashboard.request(f"/api/jobs/{i}") for i in range(1, max(ids, default=0) + 50) if i not in ids)
    return [json.loads(body) for status, _, body in answers if status == 200]


def check(machines, faults, witnessed, dashboard):
    listed = all_jobs(dashboard)
    hidden = hidden_jobs(dashboard, listed)
    rows, problems, lost = collections.Counter(), collections.defaultdict(list), [0, 0]
    rows["still rendering"] = sum(j["state"] != "ended" for j in listed + hidden)
    rows["  of them listed only by id"] = len(hidden)
    for m in machines:
        history = sorted((j for j in all_jobs(dashboard, m.name) + hidden if j["machine"] == m.name),
                         key=lambda j: j["startedAt"])
        rows["jobs in history"] += len(history)
        seen = sorted((j for k, j in list(witnessed.items()) if k[0] == m.name), key=lambda j: j["startedAt"])
        # A job is the one of the last run started before it (its time has whole milliseconds).
        starts = [run["start"] for run in m.runs]
        owner = lambda j: bisect.bisect_right(starts, iso_seconds(j["startedAt"]) + 0.001) - 1  # noqa: E731
        for i, run in enumerate(m.runs):
            mine, broker_saw = [j for j in history if owner(j) == i], [j for j in seen if owner(j) == i]
            rows["  killed" if run["killed"] else "  ended by themselves"] += 1
            what = f"#{run['n']} ({'killed' if run['killed'] else outcome_of(run['counts'])})"
            if run.get("problem"):
                problems[m.name].append(f"{what}: {run['problem']}")
            faults_near = " ".join(f"{f['kind']}@{f['time'] - T0:.1f}" for f in faults.made if not
                                   f["kind"].startswith("host") and run["start"] - 10 <= f["time"] <= run["end"] + 3)
            if not broker_saw:  # the host went before its job left it: nobody can know of it
                rows["  never reached the broker"] += 1
                if mine:
                    problems[m.name].append(f"{what}: recorded {mine[0]['outcome']}, yet the broker never had it")
                continue
            w = broker_saw[-1]
            if w["state"] == "ended":
                expected = run.get("counts") or w["counts"]
                if not run["killed"] and w["counts"] != run["counts"]:
                    problems[m.name].append(f"{what}: publisher sent {w['counts']}, host summary {run['counts']}")
                expected_outcome = outcome_of(expected)
            else:
                expected, expected_outcome = None, "lost"
                rows["  ended while the broker was away"] += not run["killed"]
            if expected_outcome == "lost":
                lost[1] += 1
                lost[0] += any(j["outcome"] == "lost" for j in mine)
            crashed = (not mine or mine[0]["outcome"] != expected_outcome) and any(
                0 <= f["time"] - w["seenAt"] <= CRASH_WINDOW for f in faults.made if f["kind"] == "broker-SIGKILL")
            if crashed:  # the broker died before it saved or delivered it: what autosave_interval risks
                rows["lost in a broker crash"] += 1
            elif not mine:
                rows["missing"] += 1
                problems[m.name].append(f"{what}: missing; broker had it {w['state']} [{faults_near}]")
            elif len(mine) > 1:
                rows["duplicates"] += len(mine) - 1
                problems[m.name].append(f"{what}: {len(mine)} records {[j['outcome'] for j in mine]}")
            elif mine[0]["outcome"] != expected_outcome or (expected and mine[0]["counts"] != expected):
                rows["wrong outcome or counts"] += 1
                got = mine[0]["outcome"] or mine[0]["state"]
                problems[m.name].append(f"{what}: recorded {got} {mine[0]['counts']}, expected {expected_outcome} "
                                        f"{expected or ''} [{faults_near}]")
            else:
                rows["matched"] += 1
        extra = [j for j in history if owner(j) < 0]
        rows["in history without a run"] += len(extra)
        problems[m.name] += [f"job {j['id']} ({j['startedAt']}, {j['outcome']}) matches no run" for j in extra]
    rows["host runs"] = rows["  killed"] + rows["  ended by themselves"]
    rows["lost recorded / expected"] = f"{lost[0]} / {lost[1]}"
    rows["offline seen after a kill"] = f"{len(faults.offline_seen)} / {rows['  killed']}"
    return rows, problems


TABLE = ("host runs|  ended by themselves|  killed|  never reached the broker|  ended while the broker was away|"
         "jobs in history|  of them listed only by id|matched|lost in a broker crash|missing|wrong outcome or counts|in history without a run|"
         "duplicates|lost recorded / expected|offline seen after a kill|still rendering|broker dropped messages"
         ).split("|")


def main():
    stack = ChaosStack(args.keep)
    machines = [Machine(i + 1) for i in range(args.machines)]
    try:
        log(f"seed {SEED}, {args.machines} machines, {args.seconds:.0f} s of faults from "
            f"{time.strftime('%H:%M:%S', time.gmtime(T0))} UTC, folder {stack.directory}")
        store = os.path.join(stack.directory, "broker-store")
        os.makedirs(store)
        broker = farm.Broker(stack, f"persistence true\npersistence_location {store}/\n"
                                    f"autosave_interval {AUTOSAVE_SECONDS}\n"
                                    "sys_interval 1\n")  # $SYS every second, for the dropped count
        dashboard = farm.Dashboard(stack, broker)
        seen = witness(stack, broker)
        faults = Faults(broker, dashboard, machines)
        no_more_faults, no_more_runs = threading.Event(), threading.Event()

        def guarded(target, *a):  # a thread that meets the teardown just ends
            try:
                target(*a)
            except Exception:
                if not stack.closing:
                    raise
        threads = [threading.Thread(target=guarded, args=(m.loop, stack, broker, no_more_runs), daemon=True)
                   for m in machines]
        fault_thread = threading.Thread(target=guarded, args=(faults.loop, no_more_faults), daemon=True)
        for t in threads + [fault_thread]:
            t.start()
        time.sleep(args.seconds)
        no_more_faults.set()
        fault_thread.join()
        faults.ensure_up()
        log("faults stopped; 5 s for every publisher to reconnect, then each machine finishes its job")
        time.sleep(5)
        no_more_runs.set()
        for t in threads:
            t.join(60)  # a job takes seconds; a host still there after a minute hangs
        hung = [m.name for m, t in zip(machines, threads) if t.is_alive()]
        faults.ensure_up()
        log(f"every machine idle; the history settled after {settle(dashboard):.1f} s")
        faults.dropped.append(dropped(broker))
        rows, problems = check(machines, faults, seen, dashboard)
        stack.file("record.json", {"t0": T0, "faults": faults.made, "runs": {m.name: m.runs for m in machines},
                                   "broker saw": list(seen.values()), "history": all_jobs(dashboard)})  # for --keep
        kinds = collections.Counter(f["kind"] for f in faults.made)
        counted = [d for d in faults.dropped if d is not None]
        rows["broker dropped messages"] = f"{sum(counted)} in {len(counted)} of {len(faults.dropped)} broker lives"
        table = [("faults made", sum(kinds.values()))] + [(f"  {k}", n) for k, n in sorted(kinds.items())] + [
            (name, rows[name]) for name in TABLE]
        print(f"\n| {'':<36} | {'':>28} |\n|{'-' * 38}|{'-' * 29}:|")
        print("\n".join(f"| {name:<36} | {value!s:>28} |" for name, value in table))
        problems["broker and dashboard"] += faults.unclean
        problems["machines"] += [f"{name}: its host has not ended 60 s after the last fault" for name in hung]
        failed = {name: lines for name, lines in problems.items() if lines}
        for name in sorted(failed):
            print(f"\n{name}:\n" + "\n".join(f"  {line}" for line in failed[name][:20]))
        print(f"\n{'FAILED' if failed else 'OK'}: {sum(map(len, failed.values()))} problem(s); seed {SEED}")
        return 1 if failed else 0
    finally:
        stack.close()
        if args.keep:
            print(f"kept {stack.directory}")


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
