"""Real parts for the dashboard's tests: a mosquitto broker on a free loopback port, the
brevant-dashboard service, brevant-host renders with the farm publisher, a webhook receiver and
an event-stream reader. Everything started here is stopped by Stack.close(), also when a test
fails; nothing talks to anything but 127.0.0.1."""

import http.client
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse

BUILD = os.environ.get("BREVANT_BUILD_DIR", "")
SOURCE = os.environ.get("BREVANT_SOURCE_DIR", "")
DASHBOARD = os.path.join(BUILD, "brevant-dashboard")
HOST = os.path.join(BUILD, "brevant-host")
PUBLISHER = os.path.join(BUILD, "libfarm_publisher.so")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, what):
    """Polls `condition` until it returns something true; fails naming `what` and the last value."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = condition()
        except Exception as error:  # not there yet (a refused connection, a missing key, a page element redrawn)
            last = error
        else:
            if last:
                return last
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}; last: {str(last)[:2000]}")


def iso_now():
    now = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + ".%03dZ" % int(now * 1000 % 1000)


class Stack:
    """Owns every process and thread a test starts; close() stops them in reverse order."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="brevant-dashboard-test-")
        self._closers = []

    def on_close(self, closer):
        self._closers.append(closer)

    def close(self):
        while self._closers:
            closer = self._closers.pop()
            try:
                closer()
            except Exception:  # keep stopping the rest
                pass
        shutil.rmtree(self.directory, ignore_errors=True)

    def spawn(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.on_close(lambda: stop_process(process))
        return process


def stop_process(process, sig=signal.SIGTERM, timeout=10):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        if stream:
            stream.close()


class Broker:
    def __init__(self, stack):
        self.port = free_port()
        config = os.path.join(stack.directory, f"mosquitto-{self.port}.conf")
        with open(config, "w") as f:
            # Small messages leave at once instead of waiting for an ACK, and a subscriber that
            # falls behind is served late rather than cut off, as on a farm's broker.
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "set_tcp_nodelay true\nmax_queued_messages 0\n")
        self.process = stack.spawn(["mosquitto", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: socket.create_connection(("127.0.0.1", self.port), 0.2).close() or True, 10, "mosquitto to listen")

    def publish(self, topic, payload, retain=False):
        """Publishes bytes or text (a dict is sent as JSON) exactly as given."""
        if isinstance(payload, dict):
            payload = json.dumps(payload)
        if isinstance(payload, str):
            payload = payload.encode()
        args = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-t", topic]
        args += ["-r"] if retain else []
        args += ["-s"] if payload else ["-n"]
        subprocess.run(args, input=payload, check=True, timeout=10)


class Dashboard:
    def __init__(self, stack, broker, *extra, database=None):
        self.stack = stack
        self.database = database or os.path.join(stack.directory, f"history-{free_port()}.sqlite")
        self.args = [DASHBOARD, "--broker-port", str(broker.port), "--port", "0", "--db", self.database, *extra]
        self.token = extra[extra.index("--token") + 1] if "--token" in extra else None
        self.start()

    def start(self):
        # Its messages (and a sanitizer's report) go to a file: a pipe nobody reads could fill up.
        self.log = os.path.join(self.stack.directory, f"dashboard-{free_port()}.log")
        with open(self.log, "w") as log:
            self.process = self.stack.spawn(self.args, stdout=subprocess.PIPE, stderr=log, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            raise AssertionError(f"brevant-dashboard did not start: {line}{self.messages()}")
        self.port = int(match.group(1))
        wait_until(lambda: self.metric("brevant_dashboard_broker_connected") == 1, 10, "the dashboard to connect")

    def stop(self):
        stop_process(self.process)
        if self.process.returncode != 0:
            print(f"brevant-dashboard exited with {self.process.returncode}:\n{self.messages()}")
        return self.process.returncode

    def messages(self):
        with open(self.log) as f:
            return f.read()

    def request(self, path, headers=None, authorize=True):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            all_headers = dict(headers or {})
            if authorize and self.token and "Authorization" not in all_headers:
                all_headers["Authorization"] = f"Bearer {self.token}"
            connection.request("GET", path, headers=all_headers)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def json(self, path):
        status, _, body = self.request(path)
        if status != 200:
            raise AssertionError(f"GET {path}: {status} {body[:300]}")
        return json.loads(body)

    def machine(self, name):
        status, _, body = self.request("/api/machines/" + urllib.parse.quote(name, safe=""))
        return json.loads(body) if status == 200 else None

    def metrics(self):
        status, _, body = self.request("/metrics")
        assert status == 200, status
        return body.decode()

    def metric(self, name, **labels):
        """The value of one sample of /metrics, or None when it is absent."""
        wanted = ",".join(f'{k}="{v}"' for k, v in labels.items())
        for line in self.metrics().splitlines():
            if line.startswith("#"):
                continue
            key, _, value = line.rpartition(" ")
            if key == name or key == f"{name}{{{wanted}}}" and wanted:
                return float(value)
        return None


class Receiver:
    """A webhook receiver: records each POSTed JSON body; answers 500 to the first `failures`."""

    def __init__(self, stack, failures=0):
        self.bodies = []
        self.attempts = 0
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                receiver.attempts += 1
                status = 500 if receiver.attempts <= failures else 200
                if status == 200:
                    receiver.bodies.append(json.loads(body))
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/hook"
        thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        thread.start()
        stack.on_close(lambda: (self.server.shutdown(), self.server.server_close()))

    def events(self, kind):
        return [body for body in self.bodies if body.get("event") == kind]

    def wait_for(self, kind, timeout=15, **fields):
        def found():
            return [b for b in self.events(kind) if all(b.get(k) == v for k, v in fields.items())]
        return wait_until(found, timeout, f"a '{kind}' webhook with {fields}; got {self.bodies}")[0]


class EventStream:
    """Reads /events on a thread; keeps (name, data, monotonic receive time, wall receive time)."""

    def __init__(self, stack, dashboard):
        self.events = []
        self.connection = http.client.HTTPConnection("127.0.0.1", dashboard.port, timeout=30)
        headers = {"Authorization": f"Bearer {dashboard.token}"} if dashboard.token else {}
        self.connection.request("GET", "/events", headers=headers)
        self.response = self.connection.getresponse()
        self.status = self.response.status
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        stack.on_close(self.close)

    def _read(self):
        name, data = None, []
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
                elif not line and name:
                    self.events.append((name, json.loads("\n".join(data)), time.monotonic(), time.time()))
                    name, data = None, []
        except Exception:  # the stream was closed under the reader
            pass

    def named(self, name):
        return [data for event, data, _, _ in self.events if event == name]

    def close(self):
        try:
            self.connection.sock and self.connection.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.connection.close()


class Render:
    """brevant-host rendering a job with the farm publisher, as machine `machine`."""

    def __init__(self, stack, broker, job, machine, fps=None, extra_env=None):
        self.out = tempfile.mkdtemp(prefix="render-", dir=stack.directory)
        env = dict(os.environ)
        env = {k: v for k, v in env.items() if not k.startswith("BREVANT_FARM_")}
        env.update({"BREVANT_FARM_BROKER": f"127.0.0.1:{broker.port}", "BREVANT_FARM_MACHINE": machine})
        env.update(extra_env or {})
        args = [HOST, "run", job, "--client", PUBLISHER, "--out", self.out]
        args += ["--fps", str(fps)] if fps else []
        self.process = stack.spawn(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)

    def wait(self, timeout=60):
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the render did not end")
        return self.process.returncode

    def kill(self):
        self.process.kill()
        self.process.wait()


def write_job(stack, name, job):
    path = os.path.join(stack.directory, name)
    with open(path, "w") as f:
        json.dump(job, f)
    return path
