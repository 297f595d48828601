#!/usr/bin/python3
"""Publishes an hour (or any span) of a farm's frames to a broker as fast as the broker takes
them, to show that brevant-dashboard's memory stays flat: N machines each render job after job
(two items of 240 frames, a job message at each item's start and end, a log line every 60
frames, a thumbnail at each item's start), in the payloads of docs/mqtt-topics.md.

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
# The smallest well-formed JPEG header and trailer: the dashboard checks the start only.
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


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int(t * 1000 % 1000)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--machines", type=int, default=100)
    parser.add_argument("--frames", type=int, default=86400, help="frames per machine")
    parser.add_argument("--prefix", default="brevant")
    parser.add_argument("--rate", type=float, default=0, help="frames per second over all machines (0: unpaced)")
    args = parser.parse_args()

    out = Publisher(args.port)
    names = [f"sim-{m:03d}" for m in range(args.machines)]
    started = time.time()
    for name in names:
        out.publish(f"{args.prefix}/{name}/status", {"schema": 1, "machine": name, "time": iso(started), "ts": 0,
                    "state": "online", "client": "farm_publisher", "version": "1.0.0", "startedAt": iso(started),
                    "pid": 1, "dropped": {"messages": 0, "bytes": 0}}, retain=True)
    session, seq, sent = 0, 0, 0
    frames_per_job = ITEM_FRAMES * ITEMS
    for frame in range(args.frames):
        job_frame = frame % frames_per_job
        item = job_frame // ITEM_FRAMES + 1
        done = job_frame % ITEM_FRAMES + 1
        now = time.time()
        if job_frame == 0:
            session += 1
            job_started = iso(now)
        for name in names:
            base = {"schema": 1, "machine": name, "time": iso(now), "ts": int(now * 1e6)}
            if done == 1:  # an item starts: the job, with this item rendering
                states = ["done"] * (item - 1) + ["rendering"] + ["queued"] * (ITEMS - item)
                out.publish(f"{args.prefix}/{name}/job", {**base, "session": session, "state": "rendering",
                            "project": f"Soak {session}", "appVersion": "23.0", "startedAt": job_started, "endedAt": None,
                            "items": [{"item": i + 1, "name": f"Comp {i + 1}", "state": s, "renderSettings": [],
                                       "outputModules": [], "warnings": []} for i, s in enumerate(states)],
                            "counts": {"done": item - 1, "stopped": 0, "failed": 0, "notStarted": 0}}, retain=True)
                out.publish(f"{args.prefix}/{name}/items/{item}/thumbnail", THUMBNAIL, retain=True)
            out.publish(f"{args.prefix}/{name}/items/{item}/progress", {**base, "session": session, "item": item,
                        "frameId": done, "framesDone": done, "framesTotal": ITEM_FRAMES, "elapsedMs": done * 41,
                        "remainingMs": (ITEM_FRAMES - done) * 41, "fps": 24.0, "outputs": [
                            {"path": f"/renders/{name}/out.mov", "disk": "/renders", "bytes": done * 50000,
                             "projectedBytes": ITEM_FRAMES * 50000, "hostEstimateBytes": ITEM_FRAMES * 50000,
                             "freeBytes": 10 ** 12, "willFill": False}]}, retain=True)
            sent += 1
            if done % 60 == 0:
                seq += 1
                out.publish(f"{args.prefix}/{name}/events", {**base, "session": session, "seq": seq, "event": "JobItemLog",
                            "item": item, "flag": 0, "message": f"frame {done} of item {item}"})
            if done == ITEM_FRAMES and item == ITEMS:  # the job ends
                out.publish(f"{args.prefix}/{name}/job", {**base, "session": session, "state": "ended",
                            "project": f"Soak {session}", "appVersion": "23.0", "startedAt": job_started, "endedAt": iso(now),
                            "items": [{"item": i + 1, "name": f"Comp {i + 1}", "state": "done", "renderSettings": [],
                                       "outputModules": [], "warnings": []} for i in range(ITEMS)],
                            "counts": {"done": ITEMS, "stopped": 0, "failed": 0, "notStarted": 0}}, retain=True)
        if args.rate:
            out.flush()
            ahead = started + sent / args.rate - time.time()
            if ahead > 0:
                time.sleep(ahead)
        if frame % 2400 == 0:
            out.flush()
            elapsed = time.time() - started
            print(f"{frame}/{args.frames} frames per machine, {sent} frames, {sent / max(elapsed, 1e-9):.0f}/s", flush=True)
    out.flush()
    out.sock.close()
    elapsed = time.time() - started
    print(f"published {sent} frames of {args.machines} machines in {elapsed:.0f} s ({sent / elapsed:.0f} frames/s)")


if __name__ == "__main__":
    main()
