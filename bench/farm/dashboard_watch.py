#!/usr/bin/python3
"""Watches brevant-dashboard under load: one event-stream client measures each frame's latency
from the host (the progress payload's "ts", taken when the host reported the frame) to its
arrival here, and the service's CPU time and resident memory are sampled from /proc once a
second.

    dashboard_watch.py --port PORT --pid PID --seconds S [--broker-port PORT] [--json OUT]

Prints p50, p99 and max latency, frames seen, CPU in cores and RSS over time; with
--broker-port also the latency of the same frames at a plain MQTT subscriber, the baseline."""

import argparse
import http.client
import json
import os
import threading
import time


def read_events(port, latencies, stop):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", "/events")
    response = connection.getresponse()
    name = None
    for raw in response:
        if stop.is_set():
            break
        line = raw.decode()
        if line.startswith("event: "):
            name = line[7:].strip()
        elif line.startswith("data: ") and name == "progress":
            now_us = time.time() * 1e6
            ts = json.loads(line[6:])["progress"]["ts"]
            if ts > 0:
                latencies.append((now_us - ts) / 1000.0)
    connection.close()


def read_broker(port, latencies, stop):
    """The same frames straight from the broker (an MQTT 3.1.1 subscriber on a raw socket): the
    baseline that the dashboard's own share of the latency is measured against."""
    import socket
    sock = socket.create_connection(("127.0.0.1", port))

    def text(s):
        return len(s).to_bytes(2, "big") + s

    def send(kind, body):
        length, n = bytearray(), len(body)
        while True:
            byte, n = n % 128, n // 128
            length.append(byte | (0x80 if n else 0))
            if not n:
                break
        sock.sendall(bytes([kind]) + bytes(length) + body)

    stream = sock.makefile("rb")
    send(0x10, text(b"MQTT") + bytes([4, 2, 0, 60]) + text(b"watch-%d" % time.time_ns()))
    stream.read(4)
    send(0x82, b"\0\1" + text(b"brevant/+/items/+/progress") + b"\0")
    while not stop.is_set():
        header = stream.read(1)
        if not header:
            break
        length, shift = 0, 0
        while True:
            byte = stream.read(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        body = stream.read(length)
        if header[0] >> 4 != 3:
            continue
        now_us = time.time() * 1e6
        topic_length = int.from_bytes(body[:2], "big")
        if header[0] & 1:  # a retained message from before: not a frame of now
            continue
        ts = json.loads(body[2 + topic_length:]).get("ts", 0)
        if ts > 0:
            latencies.append((now_us - ts) / 1000.0)
    sock.close()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(p / 100.0 * len(sorted_values)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--warmup", type=float, default=2.0, help="seconds not measured at the start")
    parser.add_argument("--json", help="write the figures here too")
    parser.add_argument("--broker-port", type=int, help="also measure the same frames at a plain MQTT subscriber")
    args = parser.parse_args()

    latencies, stop = [], threading.Event()
    broker_latencies = []
    threading.Thread(target=read_events, args=(args.port, latencies, stop), daemon=True).start()
    if args.broker_port:
        threading.Thread(target=read_broker, args=(args.broker_port, broker_latencies, stop), daemon=True).start()
    time.sleep(args.warmup)
    del latencies[:]
    del broker_latencies[:]
    start_cpu, start = cpu_seconds(args.pid), time.monotonic()
    samples = []
    while time.monotonic() - start < args.seconds:
        time.sleep(1.0)
        samples.append((time.monotonic() - start, cpu_seconds(args.pid) - start_cpu, rss_mib(args.pid)))
    stop.set()
    elapsed = time.monotonic() - start
    values = sorted(latencies)
    cores = samples[-1][1] / elapsed if samples else float("nan")
    rss = [s[2] for s in samples]
    quarter = max(1, len(rss) // 4)
    figures = {
        "frames": len(values), "framesPerSecond": len(values) / elapsed,
        "p50Ms": percentile(values, 50), "p99Ms": percentile(values, 99), "maxMs": values[-1] if values else None,
        "cpuCores": cores, "rssFirstQuarterMiB": sum(rss[:quarter]) / quarter, "rssLastQuarterMiB": sum(rss[-quarter:]) / quarter,
        "rssMaxMiB": max(rss) if rss else None, "seconds": elapsed,
    }
    if args.broker_port:
        direct = sorted(broker_latencies)
        figures.update({"brokerFrames": len(direct), "brokerP50Ms": percentile(direct, 50), "brokerP99Ms": percentile(direct, 99)})
    print(json.dumps(figures, indent=1))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({**figures, "rssSamples": samples}, f)


if __name__ == "__main__":
    main()
