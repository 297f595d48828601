"""Real parts for the farm publisher's and the dashboard's tests, all on 127.0.0.1; everything
started here is stopped when its Stack closes, also when a test fails."""

import collections
import contextlib
import http.client
import http.server
import json
import os
import re
import shlex
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "farm", "wire"))
import contract  # noqa: E402

BUILD = os.environ.get("BREVANT_BUILD_DIR", "")
SOURCE = os.environ.get("BREVANT_SOURCE_DIR") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DASHBOARD = os.path.join(BUILD, "brevant-dashboard")
# The Windows build's host and publisher run under the emulator that ctest names (wine64 in the
# build's own prefix); the brokers, subscribers and tests run natively.
WINDOWS = os.environ.get("BREVANT_PLATFORM") == "windows"
EMULATOR = shlex.split(os.environ.get("BREVANT_EMULATOR", ""))
HOST = os.path.join(BUILD, "brevant-host.exe" if WINDOWS else "brevant-host")
BREVANT = os.path.join(BUILD, "brevant.dll" if WINDOWS else "libbrevant.so")
PUBLISHER = os.path.join(BUILD, "farm_publisher.dll" if WINDOWS else "libfarm_publisher.so")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, what):
    """Polls `condition` until it returns something true; fails naming `what` and the last value."""
    deadline, last = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        try:
            last = condition()
            if last:
                return last
        except Exception as error:  # not there yet (a refused connection, a missing key, a page element redrawn)
            last = error
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}; last: {str(last)[:2000]}")


def iso_now():
    now = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + ".%03dZ" % int(now * 1000 % 1000)


class Stack(contextlib.ExitStack):
    """Owns a directory and every process and thread a test starts; close() stops them all."""

    def __init__(self):
        super().__init__()
        self.directory = tempfile.mkdtemp(prefix="brevant-farm-test-")
        self.callback(shutil.rmtree, self.directory, ignore_errors=True)

    def file(self, name, text):
        path = os.path.join(self.directory, name)
        with open(path, "w") as f:
            f.write(text if isinstance(text, str) else json.dumps(text))
        return path

    def spawn(self, args, log=None, **kwargs):
        """Starts `args`, its output into the file `log` when named (a pipe nobody reads fills up)."""
        with open(os.path.join(self.directory, log), "w") if log else contextlib.nullcontext() as out:
            process = subprocess.Popen(args, **{**({"stdout": out, "stderr": out} if log else {}), **kwargs})
        process.log = out and out.name
        self.callback(stop_process, process)
        return process


def output(process):
    with open(process.log) as f:
        return f.read()


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        stream and stream.close()


class Broker:
    """mosquitto with `config` lines added; anonymous clients are refused when it names a password_file.
    A persistent one is a studio's: it keeps retained topics and sessions in the stack's directory
    (saved every second and at a clean stop), and queues at most 100 messages for a client."""

    def __init__(self, stack, config="", persistent=False):
        self.stack, self.port = stack, free_port()
        # As root, mosquitto would switch to a user who cannot read the test's files; a subscriber that
        # falls behind is served late rather than cut off, as on a farm's broker.
        store = os.path.join(stack.directory, f"mosquitto-{self.port}", "")
        keep = (f"persistence true\npersistence_location {store}\nautosave_interval 1\nmax_queued_messages 100\n"
                if persistent else "persistence false\nmax_queued_messages 0\n")
        os.makedirs(store) if persistent else None
        self.config = stack.file(f"mosquitto-{self.port}.conf", ("user root\n" if os.getuid() == 0 else "") +
                                 f"listener {self.port} 127.0.0.1\n{keep}set_tcp_nodelay true\n"
                                 f"allow_anonymous {str('password_file' not in config).lower()}\n{config}")
        self.start()

    def start(self):
        """Starts it (again: empty, or a persistent one with its store) and waits until it accepts connections."""
        self.process = self.stack.spawn(["mosquitto", "-c", self.config], log=f"mosquitto-{self.port}.log")
        wait_until(lambda: socket.create_connection(("127.0.0.1", self.port), 0.2).close() or True, 10, "mosquitto")

    def stop(self, how=signal.SIGTERM):
        """SIGTERM saves a persistent broker's store; SIGKILL loses what came since the last save."""
        self.process.send_signal(how)
        self.process.wait(10)

    def publish(self, topic, payload, retain=False):
        """Publishes bytes or text (a dict is sent as JSON) exactly as given."""
        payload = json.dumps(payload) if isinstance(payload, dict) else payload
        payload = payload.encode() if isinstance(payload, str) else payload
        args = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-t", topic]
        subprocess.run(args + ["-r"] * retain + (["-s"] if payload else ["-n"]), input=payload, check=True, timeout=10)


def site_bridge(site, **options):
    """The shipped farm/mosquitto/site-bridge.conf for site `site` (in place of "paris"), each of
    `options` set to its value. It goes last in a Broker's `config`: a bridge section runs to the end."""
    with open(os.path.join(SOURCE, "farm", "mosquitto", "site-bridge.conf")) as f:
        text = f.read().replace("paris", site)
    for option, value in options.items():
        text, count = re.subn(rf"^{option} .*$", f"{option} {value}", text, flags=re.M)
        assert count == 1, f"{option} is not set once in site-bridge.conf"
    return text


Message = collections.namedtuple("Message", "retained topic payload qos")


class Subscriber:
    """mosquitto_sub on `topic` at QoS 1 (extra `args` for users and TLS), read on a thread; the
    constructor waits for the broker's acknowledgement. Every message must keep to the wire contract
    in the publisher's view, its QoS included: any that does not fails the test when the Stack closes."""

    def __init__(self, stack, broker, topic="brevant/#", *args):
        self.messages, self.problems, subscribed = [], [], threading.Event()
        process = stack.spawn(["stdbuf", "-oL", "mosquitto_sub", "-d", "-h", "127.0.0.1", "-p", str(broker.port),
                               "-q", "1", "-t", topic, "-F", "%r %q %t %x", *args], stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL)

        def read():
            for line in process.stdout:  # -d's lines besides the messages (in hex): "Subscribed" is the acknowledgement
                subscribed.set() if line.startswith("Subscribed") else None
                match = re.fullmatch(r"([01]) ([012]) (\S+) ([0-9a-f]*)\n", line)
                if match:
                    self.messages.append(Message(match[1] == "1", match[3], bytes.fromhex(match[4]), int(match[2])))
                    self.problems += contract.problems(match[3], self.messages[-1].payload, producer=True,
                                                       retained=match[1] == "1", qos=int(match[2]))
        threading.Thread(target=read, daemon=True).start()
        stack.callback(lambda: self.problems and self.fail())
        if not subscribed.wait(10):
            raise AssertionError(f"mosquitto_sub did not subscribe to {topic}")

    def fail(self):
        raise AssertionError("off the wire contract:\n" + "\n".join(list(dict.fromkeys(self.problems))[:20]))

    def wait(self, topic, text="", timeout=10, retained=None, qos=None):
        """The first message on `topic` whose payload contains `text` (and retained flag and QoS, when given)."""
        return wait_until(lambda: [m for m in self.messages if m.topic == topic and text.encode() in m.payload and
                                   retained in (None, m.retained) and qos in (None, m.qos)], timeout,
                          f"{text} on {topic}")[0]

    def last(self, topic):
        return json.loads([m.payload for m in self.messages if m.topic == topic][-1])


class Dashboard:
    def __init__(self, stack, broker, *extra, env=None, database=None, ca=None):
        self.stack, self.ca = stack, ca  # ca: the authority that signed its certificate, when it serves HTTPS
        database = database or os.path.join(stack.directory, f"history-{free_port()}.sqlite")
        self.args = [DASHBOARD, "--broker-port", str(broker.port), "--port", "0", "--db", database, *extra]
        self.env = {**os.environ, **(env or {})}
        self.token = extra[extra.index("--token") + 1] if "--token" in extra else self.env.get("BREVANT_DASHBOARD_TOKEN")
        if "--token-file" in extra:
            with open(extra[extra.index("--token-file") + 1]) as f:
                self.token = f.read().strip()
        self.start()

    def start(self):
        # Its messages (and a sanitizer's report) go to a file, the address it listens on to a pipe.
        self.process = self.stack.spawn(self.args, f"dashboard-{free_port()}.log", stdout=subprocess.PIPE, text=True,
                                        env=self.env)
        line = self.process.stdout.readline()
        match = re.search(r"listening on (https?)://127\.0\.0\.1:(\d+)/", line)
        if not match:
            raise AssertionError(f"brevant-dashboard did not start: {line}{output(self.process)}")
        self.scheme, self.port = match.group(1), int(match.group(2))
        wait_until(lambda: self.metric("brevant_dashboard_broker_connected") == 1, 10, "the dashboard to connect")

    def stop(self):
        stop_process(self.process)
        if self.process.returncode != 0:
            print(f"brevant-dashboard exited with {self.process.returncode}:\n{output(self.process)}")
        return self.process.returncode

    def connection(self, timeout=10):
        if not self.ca:
            return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                           context=ssl.create_default_context(cafile=self.ca))

    def request(self, path, headers=None, authorize=True, method="GET"):
        with contextlib.closing(self.connection()) as connection:
            connection.request(method, path, headers={**(self.authorization() if authorize else {}), **(headers or {})})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()

    def authorization(self):
        return {"Authorization": f"Bearer {self.token}"} if self.token else {}

    def json(self, path):
        status, _, body = self.request(path)
        assert status == 200, f"GET {path}: {status} {body[:300]}"
        return json.loads(body)

    def machine(self, name):
        status, _, body = self.request("/api/machines/" + urllib.parse.quote(name, safe=""))
        return json.loads(body) if status == 200 else None

    def metric(self, name, **labels):
        """The value of one sample of /metrics, or None when it is absent."""
        status, _, body = self.request("/metrics")
        assert status == 200, status
        wanted = ",".join(f'{k}="{v}"' for k, v in labels.items())
        for line in body.decode().splitlines():
            key, _, value = line.rpartition(" ")
            if not line.startswith("#") and (key == name or key == f"{name}{{{wanted}}}" and wanted):
                return float(value)
        return None


class Postgres:
    """A PostgreSQL server of Debian's in the stack's directory, on a free loopback port, with the
    database `brevant`. The server refuses to run as root: as root it runs as the postgres user."""

    BIN = "/usr/lib/postgresql/15/bin"

    def __init__(self, stack):
        self.port, self.directory = free_port(), os.path.join(stack.directory, "postgres")
        os.makedirs(self.directory)
        self.run_as = run_as = ["runuser", "-u", "postgres", "--"] if os.getuid() == 0 else []
        for path in (stack.directory, self.directory) if run_as else ():
            shutil.chown(path, "postgres")
        subprocess.run(run_as + [f"{self.BIN}/initdb", "-D", self.directory, "-A", "trust", "-U", "brevant", "--no-sync"],
                       check=True, capture_output=True, timeout=120)
        self.stack, self.server = stack, run_as + [f"{self.BIN}/postgres", "-D", self.directory, "-p", str(self.port),
                                                   "-k", self.directory, "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off"]
        self.start()
        subprocess.run([f"{self.BIN}/createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", "brevant", "brevant"],
                       check=True, timeout=30)
        self.uri = f"postgresql://brevant@127.0.0.1:{self.port}/brevant"

    def start(self):
        self.process = self.stack.spawn(self.server, log=f"postgres-{self.port}.log")
        wait_until(lambda: subprocess.run([f"{self.BIN}/pg_isready", "-h", "127.0.0.1", "-p", str(self.port)],
                                          capture_output=True).returncode == 0, 30, "PostgreSQL to accept connections")

    def stop(self):  # a fast shutdown: connected clients are cut off
        subprocess.run(self.run_as + [f"{self.BIN}/pg_ctl", "stop", "-D", self.directory, "-m", "fast"], check=True,
                       capture_output=True, timeout=30)
        self.process.wait(30)

    def query(self, sql):
        return subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "brevant", "-At", "-c", sql, "brevant"],
                              check=True, capture_output=True, text=True, timeout=30).stdout.splitlines()


class Receiver(http.server.ThreadingHTTPServer):
    """A webhook receiver: records each POSTed JSON body; answers 500 to the first `failures`."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body, failed = json.loads(self.rfile.read(int(self.headers["Content-Length"]))), self.server.failures > 0
            self.server.failures -= failed
            self.server.bodies += [] if failed else [body]
            self.send_response(500 if failed else 200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    def __init__(self, stack, failures=0):
        super().__init__(("127.0.0.1", 0), Receiver.Handler)
        self.bodies, self.failures, self.url = [], failures, f"http://127.0.0.1:{self.server_address[1]}/hook"
        threading.Thread(target=self.serve_forever, daemon=True).start()
        stack.callback(lambda: (self.shutdown(), self.server_close()))

    def events(self, kind):
        return [body for body in self.bodies if body.get("event") == kind]

    def wait_for(self, kind, timeout=15, **fields):
        found = lambda: [b for b in self.events(kind) if all(b.get(k) == v for k, v in fields.items())]  # noqa: E731
        return wait_until(found, timeout, f"a '{kind}' webhook with {fields}; got {self.bodies}")[0]


class EventStream:
    """Reads `path` (/events with what the viewer has open) on a thread; keeps (name, data) of each event."""

    def __init__(self, stack, dashboard, path="/events"):
        self.events, self.connection = [], dashboard.connection(timeout=30)
        self.connection.request("GET", path, headers=dashboard.authorization())
        self.response = self.connection.getresponse()
        threading.Thread(target=self._read, daemon=True).start()
        stack.callback(self.close)

    def _read(self):
        name, data = None, []
        with contextlib.suppress(Exception):  # the stream was closed under the reader
            for line in (raw.decode().rstrip("\n") for raw in self.response):
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
                elif not line and name:
                    self.events.append((name, json.loads("\n".join(data))))
                    name, data = None, []

    def named(self, name):
        return [data for event, data in self.events if event == name]

    def close(self):
        with contextlib.suppress(OSError):
            self.connection.sock and self.connection.sock.shutdown(socket.SHUT_RDWR)
        self.connection.close()


class Render:
    """brevant-host rendering `job` (a path, or a job as a dict) with the farm publisher as machine
    `machine` (None: the publisher's default); `env` adds settings to the publisher's."""

    def __init__(self, stack, broker, job, machine, fps=None, **env):
        self.out = tempfile.mkdtemp(prefix="render-", dir=stack.directory)
        job = stack.file(os.path.basename(self.out) + ".json", job) if isinstance(job, dict) else job
        args = [*EMULATOR, HOST, "run", job, "--client", PUBLISHER, "--out", self.out] + (["--fps", str(fps)] if fps else [])
        self.process = stack.spawn(args, log=os.path.basename(self.out) + ".log", env=publisher_env(broker, machine, env))

    def wait(self):
        return self.process.wait(60)


def publisher_env(broker, machine, settings):
    """The environment of a process with the publisher: this one's without its settings, then these."""
    return {**{k: v for k, v in os.environ.items() if not k.startswith("BREVANT_FARM_")},
            "BREVANT_FARM_BROKER": f"127.0.0.1:{broker.port}", **({} if machine is None else {"BREVANT_FARM_MACHINE": machine}),
            **settings}


class FarmTest(unittest.TestCase):
    """A test with its own Stack and broker."""

    def setUp(self):
        self.stack = Stack()
        self.addCleanup(self.stack.close)
        self.broker = Broker(self.stack)

    def dashboard(self, *extra, env=None, database=None, ca=None):
        dashboard = Dashboard(self.stack, self.broker, *extra, env=env, database=database, ca=ca)
        # Under the sanitizers a finding makes the service's exit code non-zero.
        self.addCleanup(lambda: self.assertEqual(dashboard.stop(), 0))
        return dashboard


def frames_job(*frames, project="Farm", name="Shot", size=(64, 36)):
    """A job of one item per entry of `frames`, each with that many frames written as JPEG files."""
    comps = [{"name": f"{name} {i + 1}", "width": size[0], "height": size[1], "frames": n} for i, n in enumerate(frames)]
    return {"project": project, "items": [{"comp": comp, "outputModules": [{"path": "[compName]_[####].jpg"}]} for comp in comps]}
