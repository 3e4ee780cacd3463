"""What the soak and the kill -9 cycles share: a bridge client over the Unix socket, the daemon's
resource figures, and the check that the store opens clean.

The simulator and daemon fixture itself is tests/e2e/daemon_e2e_test.py's DaemonFixture.
"""
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import time

E2E = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e")
sys.path.insert(0, E2E)
import daemon_e2e_test as base  # noqa: E402  (the fixture: zelsim, the daemon, zelctl)


def log_event(n, event_type=50):
    """The n-th record added to the controller's log. Each carries its own time: the walk finds
    new records by the newest one it stored, so two identical records in a row read as one."""
    return {"type": event_type, "parameter1": 1, "parameter2": 1, "month": 12,
            "day": 1 + n // 1440 % 28, "hour": n // 60 % 24, "minute": n % 60}


def set_paths(build, source):
    base.BUILD, base.SOURCE = os.path.abspath(build), os.path.abspath(source)


class BridgeError(Exception):
    pass


class Bridge:
    """One bridge session on its own connection. Paths like "Units.Item(3).Status" are walked
    from the server object, and the handles of the objects on the way are kept."""

    def __init__(self, socket_path, timeout=20.0):
        self.socket_path = socket_path
        self.timeout = timeout
        self.conn = None
        self.used = 0.0
        self.headers = {}
        self.handles = {}
        self.headers["X-Zel-Session"] = self.op({"op": "session"})["session"]
        self.server = self.op({"op": "create", "class": "Corvane.ZelServer"})["result"]["object"]

    def _connect(self):
        self.conn = base.UnixHTTPConnection(self.socket_path, timeout=self.timeout)

    def op(self, body):
        """The reply of one operation; BridgeError when the bridge cannot be reached or times
        out (the connection is made again for the next operation)."""
        # The bridge closes a connection that sent no request for 10 s: a new one is made
        # before that can happen, so no request is lost to an idle close.
        if self.conn is not None and time.monotonic() - self.used > 5:
            self.conn.close()
            self.conn = None
        self.used = time.monotonic()
        if self.conn is None:
            self._connect()
        try:
            self.conn.request("POST", "/api/v1/automation", headers=self.headers,
                              body=json.dumps(body))
            return json.loads(self.conn.getresponse().read())
        except (OSError, http.client.HTTPException, ValueError) as e:
            self.conn.close()
            self.conn = None
            raise BridgeError(f"{body.get('op')} {body.get('member', '')}: {e!r}") from e

    def _object(self, path):
        """The handle of the object a dotted path reaches ("" is the server)."""
        if not path:
            return self.server
        if path in self.handles:
            return self.handles[path]
        parent, _, last = path.rpartition(".")
        holder = self._object(parent)
        reply = self._member(holder, last, "get")
        if reply["status"] != "00000000":
            raise BridgeError(f"{path}: {reply['status']}")
        self.handles[path] = reply["result"]["object"]
        return self.handles[path]

    def _member(self, holder, text, op):
        name, args = text, []
        if "(" in text:
            name, _, rest = text.partition("(")
            args = [json.loads(rest.rstrip(")"))]
            op = "call"
        return self.op({"op": op, "object": holder, "member": name, "args": args})

    def get(self, path):
        """(status, value) of a property."""
        parent, _, last = path.rpartition(".")
        reply = self._member(self._object(parent), last, "get")
        return reply["status"], reply.get("result", {}).get("value")

    def call(self, path, *args):
        parent, _, last = path.rpartition(".")
        reply = self.op({"op": "call", "object": self._object(parent), "member": last,
                         "args": list(args)})
        return reply["status"], reply.get("result", {}).get("value")

    def put(self, path, value):
        parent, _, last = path.rpartition(".")
        return self.op({"op": "put", "object": self._object(parent), "member": last,
                        "value": value})["status"]

    def close(self):
        try:
            self.op({"op": "close"})
        except BridgeError:
            pass
        if self.conn:
            self.conn.close()


class EventStream:
    """A session advised on the server object, reading its event stream (server-sent events):
    next() blocks for (id, event); close() from another thread ends a waiting next() with
    BridgeError."""

    def __init__(self, socket_path):
        self.bridge = Bridge(socket_path)
        self.bridge.op({"op": "advise", "object": self.bridge.server})
        self.conn = base.UnixHTTPConnection(socket_path, timeout=None)
        self.conn.request("GET", "/api/v1/events", headers=self.bridge.headers)
        self.sock = self.conn.sock  # the response may take it over from the connection
        self.response = self.conn.getresponse()
        self.event_id = None

    def next(self):
        try:
            while True:
                line = self.response.readline()
                if not line:
                    raise BridgeError("the event stream ended")
                line = line.decode()
                if line.startswith("id: "):
                    self.event_id = line[4:].strip()
                elif line.startswith("data: "):
                    return self.event_id, json.loads(line[6:])
        except (OSError, http.client.HTTPException, ValueError) as e:
            raise BridgeError(f"the event stream failed: {e!r}") from e

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.conn.close()
        self.bridge.close()


def resources(pid):
    """(open fds, threads, resident kB) of a running process."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, threads, rss


def slope_per_minute(samples):
    """The least-squares slope of (seconds, value) samples, per minute."""
    if len(samples) < 2:
        return 0.0
    n = len(samples)
    mx = sum(t for t, _ in samples) / n
    my = sum(v for _, v in samples) / n
    var = sum((t - mx) ** 2 for t, _ in samples)
    if var == 0:
        return 0.0
    return 60.0 * sum((t - mx) * (v - my) for t, v in samples) / var


def store_status(inst):
    """The status opening the instance's store gives ("0x00000000" when it opens clean)."""
    out = subprocess.run(
        [os.path.join(base.BUILD, "platform", "storage_test_helper"), "tryopen",
         os.path.join(inst, "ZELINFO.DAT")], capture_output=True, text=True, timeout=60)
    return out.stdout.strip()


def wait_for(predicate, timeout, what):
    base.wait_for(predicate, timeout=timeout, what=what)


poll = base.poll


def report(summary, path):
    """Prints a driver's summary, and writes it to path too when one is given."""
    print(json.dumps(summary, indent=1))
    if path:
        with open(path, "w") as f:
            json.dump(summary, f, indent=1)


def monotonic():
    return time.monotonic()


def run_driver(args, driver):
    """Runs driver.run() (True when every check held) and exits with its outcome. The daemon and
    the simulator of the driver's fixture (driver.d) are stopped whatever happens, a SIGTERM
    included; the instance directory goes after a good run and is kept after a failed one."""
    set_paths(args.build, args.source)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    ok = False
    try:
        ok = driver.run()
    finally:
        fixture = getattr(driver, "d", None)
        if fixture:
            for proc in (fixture.daemon, fixture.sim):
                if proc.poll() is None:
                    proc.send_signal(signal.SIGTERM)
                    try:
                        proc.wait(timeout=30)
                    except subprocess.TimeoutExpired:
                        proc.kill()
                        proc.wait()
            if ok:
                fixture.close()
            else:
                print("instance kept for inspection:", fixture.inst, flush=True)
    sys.exit(0 if ok else 1)
