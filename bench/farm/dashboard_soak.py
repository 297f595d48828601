#!/usr/bin/python3
"""Publishes an hour (or any span) of a farm's frames to a broker as fast as the broker takes
them, to show that brevant-dashboard's memory stays flat: N machines each render job after job
(two items of 240 frames, a job message at each item's start and end, a log line every 60
frames, a thumbnail at each item's start; some fail, stall, fill their disk or are lost, some
wait idle or are shut down), in the payloads of docs/mqtt-topics.md.

    dashboard_soak.py --port BROKER_PORT [--machines 100] [--frames 86400] [--rate FRAMES_PER_S] [--prefix brevant]

--frames is per machine: 86400 is an hour at 24 frames per second. One MQTT 3.1.1 connection
publishes everything at QoS 0 (what the publishers use for progress and thumbnails)."""

import argparse
import json
import socket
import sys
import time

ITEM_FRAMES = 240
ITEMS = 2
# A JPEG's start and end markers, enough for the service (it checks the start); --thumbnail gives
# a real image for the page.
THUMBNAIL = b"\xff\xd8\xff\xe0" + b"\0" * 2000 + b"\xff\xd9"


def varint(n):
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def packet(kind, body):
    return bytes([kind]) + varint(len(body)) + body


def text(s):
    data = s.encode()
    return len(data).to_bytes(2, "big") + data


class Publisher:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.sendall(packet(0x10, text("MQTT") + bytes([4, 0x02, 0, 60]) + text(f"soak-{time.time_ns()}")))
        if self.sock.recv(4)[:2] != b"\x20\x02":
            sys.exit("the broker refused the connection")
        self.buffer = bytearray()

    def publish(self, topic, payload, retain=False):
        if isinstance(payload, dict):
            payload = json.dumps(payload, separators=(",", ":")).encode()
        self.buffer += packet(0x31 if retain else 0x30, text(topic) + payload)
        if len(self.buffer) > 256 * 1024:
            self.flush()

    def flush(self):
        self.sock.sendall(self.buffer)
        self.buffer.clear()

    def close(self):
        self.flush()
        self.sock.close()


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int(t * 1000 % 1000)


def main(argv=None, out=None):
    """Publishes through `out` (a Publisher to --port when None)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--machines", type=int, default=100)
    parser.add_argument("--frames", type=int, default=86400, help="frames per machine")
    parser.add_argument("--prefix", default="brevant")
    parser.add_argument("--rate", type=float, default=0, help="frames per second over all machines (0: unpaced)")
    parser.add_argument("--thumbnail", help="a JPEG file to publish as each item's thumbnail")
    args = parser.parse_args(argv)

    global THUMBNAIL
    if args.thumbnail:
        with open(args.thumbnail, "rb") as f:
            THUMBNAIL = f.read()
    out = out if out is not None else Publisher(args.port)
    width = max(3, len(str(args.machines - 1)))  # names sort as numbers: sim-0042 before sim-1000
    names = [f"sim-{m:0{width}d}" for m in range(args.machines)]
    started = time.time()
    for name in names:
        out.publish(f"{args.prefix}/{name}/status", {"schema": 1, "machine": name, "time": iso(started), "ts": 0,
                    "state": "online", "client": "farm_publisher", "version": "1.0.0", "startedAt": iso(started),
                    "pid": 1, "dropped": {"messages": 0, "bytes": 0}, "published": {"messages": 0, "bytes": 0},
                    "queue": {"bytes": 0, "limitBytes": 4194304}, "connects": 1}, retain=True)
    session, seq, sent = 0, 0, 0
    frames_per_job = ITEM_FRAMES * ITEMS
    lost = set()
    job_started = iso(started)

    def job(base, states, ended=False):
        counts = {k: states.count(k) for k in ("done", "stopped", "failed")}
        out.publish(f"{args.prefix}/{base['machine']}/job", {**base, "session": session,
                    "state": "ended" if ended else "rendering", "project": f"Soak {session}", "appVersion": "23.0",
                    "startedAt": job_started, "endedAt": base["time"] if ended else None,
                    "items": [{"item": i + 1, "name": f"Comp {i + 1}", "state": state, "framesDone": 0, "renderSettings": [],
                               "outputModules": [], "warnings": []} for i, state in enumerate(states)],
                    "counts": {**counts, "notStarted": 0}}, retain=True)

    # One machine in 20 finished its job before the run and waits (idle), one in 20 finished and
    # was shut down (offline): a farm's page shows those states too.
    quiet = set()
    for m, name in enumerate(names):
        if m % 20 in (3, 13):
            quiet.add(name)
            session = 1
            job({"schema": 1, "machine": name, "time": iso(started), "ts": int(started * 1e6)}, ["done"] * ITEMS,
                ended=True)
            if m % 20 == 13:
                out.publish(f"{args.prefix}/{name}/status", {"schema": 1, "machine": name, "time": iso(started),
                            "ts": int(started * 1e6), "state": "offline", "reason": "shutdown",
                            "client": "farm_publisher", "version": "1.0.0", "startedAt": iso(started), "pid": 1,
                            "dropped": {"messages": 0, "bytes": 0}, "published": {"messages": 0, "bytes": 0},
                            "queue": {"bytes": 0, "limitBytes": 4194304}, "connects": 1}, retain=True)
    session = 0

    for frame in range(args.frames):
        job_frame = frame % frames_per_job
        item = job_frame // ITEM_FRAMES + 1
        done = job_frame % ITEM_FRAMES + 1
        now = time.time()
        if job_frame == 0:
            session += 1
            job_started = iso(now)
        for m, name in enumerate(names):
            if name in lost or name in quiet:
                continue
            # A few machines misbehave as real ones do: one in 25 has its first item fail at frame
            # 120, one in 15 stalls between frames 60 and 200, one in 12 writes to a disk that will
            # fill, and one in 40 is lost at frame 100 of the first job.
            fails, stalls, fills = m % 25 == 1, m % 15 == 7, m % 12 == 5
            base = {"schema": 1, "machine": name, "time": iso(now), "ts": int(now * 1e6)}
            first_state = "failed" if fails else "done"
            if m % 40 == 19 and frame == 100:
                lost.add(name)
                out.publish(f"{args.prefix}/{name}/status", {"schema": 1, "machine": name, "state": "offline",
                            "reason": "lost", "client": "farm_publisher", "version": "1.0.0",
                            "startedAt": iso(started), "pid": 1}, retain=True)
                continue
            if fails and item == 1 and done > 120:
                continue
            if stalls and 60 < done <= 200:
                continue
            if done == 1:  # an item starts: the job, with this item rendering
                job(base, [first_state] * (item - 1) + ["rendering"] + ["queued"] * (ITEMS - item))
                out.publish(f"{args.prefix}/{name}/items/{item}/thumbnail", THUMBNAIL, retain=True)
            out.publish(f"{args.prefix}/{name}/items/{item}/progress", {**base, "session": session, "item": item,
                        "frameId": done, "framesDone": done, "framesTotal": ITEM_FRAMES, "elapsedMs": done * 41,
                        "remainingMs": (ITEM_FRAMES - done) * 41, "fps": 24.0, "outputs": [
                            {"path": f"/renders/{name}/out.mov", "disk": "/renders", "bytes": done * 50000,
                             "projectedBytes": ITEM_FRAMES * 50000, "hostEstimateBytes": ITEM_FRAMES * 50000,
                             "freeBytes": 4000000 if fills else 10 ** 12, "willFill": fills}]}, retain=True)
            sent += 1
            if done % 60 == 0:
                seq += 1
                out.publish(f"{args.prefix}/{name}/events", {**base, "session": session, "seq": seq, "event": "JobItemLog",
                            "item": item, "flag": 0, "message": f"frame {done} of item {item}"})
            if fails and item == 1 and done == 120:
                seq += 1
                out.publish(f"{args.prefix}/{name}/events", {**base, "session": session, "seq": seq, "event": "JobItemLog",
                            "item": item, "flag": 1, "message": "Out of memory while rendering a layer"})
                job(base, ["failed"] + ["queued"] * (ITEMS - 1))
            if done == ITEM_FRAMES and item == ITEMS:  # the job ends
                job(base, [first_state] + ["done"] * (ITEMS - 1), ended=True)
        if args.rate:
            out.flush()
            ahead = started + sent / args.rate - time.time()
            if ahead > 0:
                time.sleep(ahead)
        if frame % 2400 == 0:
            out.flush()
            elapsed = time.time() - started
            print(f"{frame}/{args.frames} frames per machine, {sent} frames, {sent / max(elapsed, 1e-9):.0f}/s", flush=True)
    out.close()
    elapsed = time.time() - started
    print(f"published {sent} frames of {args.machines} machines in {elapsed:.0f} s ({sent / elapsed:.0f} frames/s)")


if __name__ == "__main__":
    main()
