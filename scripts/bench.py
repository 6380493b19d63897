#!/usr/bin/env python3
"""Runs every benchmark and prints one line per figure, each a ratio against the
limit it is measured beside in the same run. Called by scripts/bench.sh, which
builds first; see docs/performance.md for what each figure means.

usage: bench.py BUILD_DIR [--repeat N] [--messages N] [--json FILE]
                [--only protocol,startup,memory,presentation,connector]

The build directory must hold tamsel-notification-service, tamsel-delivery-service,
tamsel-push-connector and tamsel_bench. Scratch files (the platform roots, the
benchmark's ledgers) go to $TMPDIR. The connector's figures need dbus-daemon and
python3-dbus (Debian's /usr/bin/python3), and python3-cryptography to encrypt pushes.
"""
import argparse
import base64
import collections
import http.client
import json
import os
import platform
import secrets
import select
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

GROUP = "group.com.brindaxel.tamsel"
KEYCHAIN_GROUP = "group.com.brindaxel.tamsel.keychain"
LEDGER = "notification-revisions.v2.json"
PAGES = 20
PAGE_SIZE = 50
LEDGER_ENTRIES = 10_000
REWRITES = 9  # durable rewrites timed after the memory run
STARTUP_RUNS = 11  # `--help` and `curl --version`, alternately
MIB = 1024
PARTS = ("protocol", "startup", "memory", "presentation", "connector")
# The connector's bus name and interfaces (UnifiedPush D-Bus), and the name the
# benchmark's own distributor owns.
APP = "com.brindaxel.tamsel"
CONNECTOR_PATH = "/org/unifiedpush/Connector"
CONNECTOR_INTERFACE = "org.unifiedpush.Connector2"
DISTRIBUTOR_NAME = "tamselbench"
DISTRIBUTOR_PATH = "/org/unifiedpush/Distributor"
DISTRIBUTOR_INTERFACE = "org.unifiedpush.Distributor2"


def fail(message):
    print(f"bench: {message}", file=sys.stderr)
    sys.exit(1)


class Service:
    """The reference delivery service, on loopback, for the lifetime of the run."""

    def __init__(self, binary, work):
        self.process = subprocess.Popen(
            [binary, "--port", "0", "--cert-dir", os.path.join(work, "tls"), "--stop-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line:
            fail("the delivery service did not start")
        started = json.loads(line)
        self.port, self.url, self.ca, self.token = (
            started["port"], started["url"], started["caFile"], started["adminToken"])
        self.context = ssl.create_default_context(cafile=self.ca)
        self.connection = None

    def call(self, method, path, body=None, raw=None):
        for attempt in (1, 2):
            if self.connection is None:
                self.connection = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.context)
            try:
                headers = {"Authorization": f"Bearer {self.token}"}
                data = raw if raw is not None else (json.dumps(body) if body is not None else None)
                if data is not None:
                    headers["Content-Type"] = "application/json"
                self.connection.request(method, path, body=data, headers=headers)
                answer = self.connection.getresponse()
                text = answer.read()
                break
            except (http.client.HTTPException, ConnectionError):
                self.connection.close()
                self.connection = None
                if attempt == 2:
                    raise
        if answer.status != 200:
            fail(f"{method} {path} answered {answer.status}: {text[:200]!r}")
        return json.loads(text)

    def cpu_seconds(self):
        """User and system time the service has used so far."""
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Device:
    """One receiver with a platform root and a bundle, as the main application leaves them."""

    def __init__(self, service, host, work, name):
        self.service, self.host = service, host
        self.root = os.path.join(work, name, "root")
        self.bundle = os.path.join(work, name, "bundle")
        os.makedirs(os.path.join(self.root, "containers", GROUP))
        os.makedirs(self.bundle)
        credential = service.call("POST", "/admin/receivers", {})
        self.receiver = credential["receiverID"]
        with open(os.path.join(self.bundle, "Info.plist"), "w") as plist:
            plist.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>
  <key>TAMSEL_API_BASE_URL</key><string>{service.url}</string>
  <key>TAMSEL_NOTIFICATION_KEYCHAIN_GROUP</key><string>{KEYCHAIN_GROUP}</string>
  <key>TAMSEL_NOTIFICATION_APP_GROUP</key><string>{GROUP}</string>
</dict></plist>
""")
        subprocess.run([host, "keychain-store", "--bundle", self.bundle, "--platform-root", self.root],
                       input=json.dumps(credential), text=True, check=True)
        self.pushes = 0

    def admin(self, method, suffix, body=None):
        return self.service.call(method, f"/admin/receivers/{self.receiver}{suffix}", body)

    def ledger_path(self):
        return os.path.join(self.root, "containers", GROUP, "NotificationDelivery", LEDGER)

    def push(self, group_key, budget=60, sample_memory=False):
        """One wake-up through the host: (measurement, stdout, stderr); see measured()."""
        self.pushes += 1
        line = json.dumps({"identifier": f"push-{self.pushes}",
                           "content": {"title": "Tamsel", "body": "New activity",
                                       "userInfo": {"tamsel": {"version": "notification-wakeup.v2",
                                                               "groupKey": group_key}}}}) + "\n"
        measurement, stdout, stderr = measured(
            [self.host, "--bundle", self.bundle, "--platform-root", self.root,
             "--ca-file", self.service.ca, "--time-budget", str(budget)], line, sample_memory)
        if measurement["exit"] != 0:
            fail(f"the host exited with {measurement}: {stderr[-500:]}")
        events = [json.loads(l).get("message", "") for l in stderr.splitlines() if l.startswith("{")]
        if "extension_worker_completed" not in events:
            fail(f"the host's run did not complete: ... {events[-3:]}")
        return measurement, stdout, stderr


MEASURE = None  # tamsel_bench, which runs a command and measures it


def measured(command, stdin_text="", sample_memory=False, first_line=False):
    """Runs command under `tamsel_bench --measure`: a child forked from that small
    process, so that its peak memory is its own; with first_line, also the time its
    first stdout line came out. Returns (measurement, stdout, stderr)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r", suffix=".json") as report, tempfile.TemporaryFile() as stdin:
        stdin.write(stdin_text.encode())
        stdin.seek(0)
        subprocess.run([MEASURE, "--measure", report.name] + (["--sample-memory"] if sample_memory else [])
                       + (["--first-line"] if first_line else []) + ["--"] + command,
                       stdin=stdin, stdout=out, stderr=err, check=True)
        out.seek(0)
        err.seek(0)
        return json.loads(report.read()), out.read().decode(), err.read().decode()


def requests_made(device):
    return device.admin("GET", "")["requests"]


def protocol_figure(service, host, work, repeat):
    device = Device(service, host, work, "protocol")
    group = "ab" * 32
    expected = {"worker-sessions": 1, "badge": 1, "delivery-changes": PAGES, "delivery-acknowledgments": PAGES}
    credential = json.load(open(os.path.join(device.root, "keychain", KEYCHAIN_GROUP,
                                             "Tamsel.notification-delivery.v2", "receiver")))
    path = f"/api/v2/notification-receivers/{device.receiver}"

    def plan():
        """The values the next run is handed, in the order the service hands them out:
        the access token, then per page its receipt proof, its cursor (all but the
        last page) and its batch id. Both clients get planned values, so that the
        service does the same for each."""
        device.admin("POST", "/empty-pages", {"count": PAGES - 1})
        token = secrets.token_urlsafe(32)
        pages = [{"receiptProof": secrets.token_urlsafe(32),
                  "cursor": secrets.token_urlsafe(32) if i < PAGES - 1 else None,
                  "batchId": "batch_" + secrets.token_urlsafe(16)} for i in range(PAGES)]
        values = [token] + [v for p in pages for v in (p["receiptProof"], p["cursor"], p["batchId"]) if v]
        device.admin("POST", "/planned-values", {"values": values})
        return token, pages

    def requests(token, pages):
        """A run's 42 requests as the host makes them: (method, path, headers, body)."""
        accept = {"Accept": "application/json"}
        bearer = {**accept, "Authorization": f"Bearer {token}"}
        made = [("POST", path + "/worker-sessions",
                 {**accept, "Tamsel-Receiver-Refresh": credential["refreshProof"],
                  "Idempotency-Key": f"worker_{uuid.uuid4().hex}"}, ""),
                ("GET", path + "/badge", bearer, None)]
        cursor = None
        for page in pages:
            made.append(("GET", path + f"/delivery-changes?limit={PAGE_SIZE}"
                         + (f"&cursor={cursor}" if cursor else ""), bearer, None))
            made.append(("POST", path + "/delivery-acknowledgments",
                         {**bearer, "Idempotency-Key": f"receipt_{uuid.uuid4().hex}",
                          "Content-Type": "application/json"},
                         json.dumps({"batchId": page["batchId"], "receiptProof": page["receiptProof"]},
                                    separators=(",", ":"))))
            cursor = page["cursor"]
        assert len(made) == 2 + 2 * PAGES == 42
        return made

    def timed(run):
        """run()'s measurement, with the service's CPU meanwhile."""
        cpu = service.cpu_seconds()
        measurement = run()
        measurement["service_cpu_s"] = service.cpu_seconds() - cpu
        return measurement

    def checked_run(run):
        """run(token, pages) between the plan and the check that it made exactly one
        run's requests and took every planned value."""
        planned = plan()
        before = device.admin("GET", "")
        measurement = timed(lambda: run(*planned))
        after = device.admin("GET", "")
        made = {k: after["requests"][k] - before["requests"][k] for k in expected}
        if made != expected or after["plannedValues"] != 0 \
                or after["acknowledged"] - before["acknowledged"] != PAGES:
            fail(f"a run made {made} and acknowledged {after['acknowledged'] - before['acknowledged']} pages "
                 f"with {after['plannedValues']} planned values left, not {expected}")
        return measurement

    def host_run(token, pages):
        measurement, _, _ = device.push(group)
        return measurement

    config_file = os.path.join(work, "protocol-curl.conf")

    def write_curl_config(token, pages, extra=()):
        """The run's requests for one curl process, in a config file, so that the
        credential is not on a command line; `extra` options go with every request."""
        def quoted(text):
            return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
        groups = []
        for method, target, headers, body in requests(token, pages):
            group = [f"url = {quoted(service.url + target)}", f"cacert = {quoted(service.ca)}",
                     "silent", "show-error", "fail", *extra]
            group += [f"header = {quoted(f'{name}: {value}')}" for name, value in headers.items()]
            if method == "POST":
                # curl adds a form Content-Type to a body; the host sends none without one.
                group.append(f"data-binary = {quoted(body)}")
                if "Content-Type" not in headers:
                    group.append('header = "Content-Type:"')
            groups.append("\n".join(group))
        with open(os.open(config_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write("\nnext\n".join(groups) + "\n")

    def curl_run(token, pages):
        write_curl_config(token, pages)
        measurement, _, err = measured(["curl", "--config", config_file])
        if measurement["exit"] != 0:
            fail(f"curl failed: {measurement} {err[-300:]}")
        return measurement

    # Once, to see that curl makes the 42 requests on one connection.
    def curl_check(token, pages):
        write_curl_config(token, pages, ['write-out = "%{num_connects} %{http_code}\\n"', 'output = "/dev/null"'])
        check = subprocess.run(["curl", "--config", config_file], capture_output=True, text=True)
        rows = [line.split() for line in check.stdout.splitlines()]
        if check.returncode != 0 or len(rows) != 42 or sum(int(r[0]) for r in rows) != 1 \
                or any(r[1] != "200" for r in rows):
            fail(f"curl did not make the 42 requests on one connection: {rows} {check.stderr[-300:]}")
        return {}

    # The earlier comparison, kept beside it: curl fetching the same answers replayed
    # from storage, for which the service does no protocol work.
    replay_urls = []

    def replay_prepare(token, pages):
        conn = http.client.HTTPSConnection("127.0.0.1", service.port, context=service.context)
        for i, (method, target, headers, body) in enumerate(requests(token, pages)):
            conn.request(method, target, body=body, headers=headers)
            answer = conn.getresponse()
            text = answer.read()
            if answer.status != 200:
                fail(f"{method} {target.split('?')[0]} answered {answer.status}")
            service.call("PUT", f"/admin/replay/answer-{i:02d}", raw=text)
            replay_urls.append(f"{service.url}/replay/answer-{i:02d}")
        conn.close()
        return {}

    def replay_run():
        measurement, _, _ = measured(["curl", "-sS", "--fail", "--cacert", service.ca] + replay_urls)
        if measurement["exit"] != 0:
            fail(f"curl failed on the replays: {measurement}")
        return measurement

    # The first run applies the badge and creates the ledger; later ones only speak the protocol.
    checked_run(host_run)
    checked_run(curl_check)
    checked_run(replay_prepare)
    # Alternating, so that all see the same neighbours; each figure is the median of
    # the ratios of each pair.
    hosts, curls, replays = [], [], []
    for _ in range(repeat):
        hosts.append(checked_run(host_run))
        curls.append(checked_run(curl_run))
        replays.append(timed(replay_run))

    def median_ms(runs, value=lambda m: m["wall_s"]):
        return 1000 * statistics.median(value(m) for m in runs)
    cpu = lambda m: m["user_s"] + m["sys_s"]  # noqa: E731
    return {
        "ratio": statistics.median(h["wall_s"] / c["wall_s"] for h, c in zip(hosts, curls)),
        "replay_ratio": statistics.median(h["wall_s"] / r["wall_s"] for h, r in zip(hosts, replays)),
        "host_ms": median_ms(hosts),
        "curl_ms": median_ms(curls),
        "replay_ms": median_ms(replays),
        "host_cpu_ms": median_ms(hosts, cpu),
        "curl_cpu_ms": median_ms(curls, cpu),
        # Clock ticks of 10 ms: only the mean over many runs means anything.
        "service_cpu_ms_host": 1000 * statistics.mean(h["service_cpu_s"] for h in hosts),
        "service_cpu_ms_curl": 1000 * statistics.mean(c["service_cpu_s"] for c in curls),
        "service_cpu_ms_replay": 1000 * statistics.mean(r["service_cpu_s"] for r in replays),
        "host_ms_all": [round(1000 * h["wall_s"], 2) for h in hosts],
        "curl_ms_all": [round(1000 * c["wall_s"], 2) for c in curls],
        "replay_ms_all": [round(1000 * r["wall_s"], 2) for r in replays],
        "host_maxrss_kib": max(h["maxrss_kib"] for h in hosts),
    }


def memory_figure(service, host, work):
    device = Device(service, host, work, "memory")
    # A ledger of 10,000 entries left by earlier runs, in the form the presenter writes.
    entries = {f"{device.receiver}:ntf_earlier{i:015d}": {"intent": "donated", "revision": "1",
                                                          "state": "available"}
               for i in range(LEDGER_ENTRIES)}
    os.makedirs(os.path.dirname(device.ledger_path()), mode=0o700)
    with open(device.ledger_path(), "w") as ledger:
        ledger.write(json.dumps(entries, separators=(",", ":"), sort_keys=True, ensure_ascii=False))
    os.chmod(device.ledger_path(), 0o600)
    # Twenty conversations of fifty messages each, with senders (so intents are donated).
    groups = [f"{i:02d}" * 32 for i in range(PAGES)]
    for group in groups:
        device.admin("POST", "/changes/generate", {"count": PAGE_SIZE, "groupKey": group})
    measurement, stdout, _ = device.push(groups[0], budget=600, sample_memory=True)
    summary = device.admin("GET", "")
    if summary["pending"] != 0 or summary["requests"]["delivery-changes"] != PAGES:
        fail(f"the memory run did not take 20 pages: {summary}")
    ledger = json.load(open(device.ledger_path()))
    if len(ledger) != LEDGER_ENTRIES + PAGES * PAGE_SIZE + 1:
        fail(f"the ledger holds {len(ledger)} entries after the run")
    handed = [json.loads(l) for l in stdout.splitlines()]
    if len(handed) != 1 or "tamselNotificationId" not in handed[0]["content"].get("userInfo", {}):
        fail("the push's own conversation was not handed off")
    # What the same binary holds when it does nothing: its libraries, mapped.
    idle, _, _ = measured([host, "--help"], sample_memory=True)
    # The limit of the run's time per change: one durable rewrite of the ledger as
    # the run left it, in its own directory, which every change's presentation does.
    rewrites = json.loads(subprocess.run([MEASURE, "--rewrite", device.ledger_path(), str(REWRITES)],
                                         capture_output=True, text=True, check=True).stdout)["rewrite_s"]
    return dict(measurement, ledger_bytes=os.path.getsize(device.ledger_path()),
                idle_maxrss_kib=idle["maxrss_kib"], changes=PAGES * PAGE_SIZE,
                rewrite_median_s=statistics.median(rewrites), rewrite_s=rewrites)


def startup_figure(host, runs):
    """The host's `--help` beside `curl --version`, alternately: peak RSS (and times)."""
    hosts, curls = [], []
    for _ in range(runs):
        for command, into in (([host, "--help"], hosts), (["curl", "--version"], curls)):
            measurement, _, _ = measured(command)
            if measurement["exit"] != 0:
                fail(f"{command} failed: {measurement}")
            into.append(measurement)

    def median(runs, value):
        return statistics.median(value(r) for r in runs)
    host_kib, curl_kib = median(hosts, lambda r: r["maxrss_kib"]), median(curls, lambda r: r["maxrss_kib"])
    return {
        "ratio": host_kib / curl_kib, "host_maxrss_kib": host_kib, "curl_maxrss_kib": curl_kib,
        "host_ms": 1000 * median(hosts, lambda r: r["wall_s"]), "curl_ms": 1000 * median(curls, lambda r: r["wall_s"]),
        "host_cpu_ms": 1000 * median(hosts, lambda r: r["user_s"] + r["sys_s"]),
        "curl_cpu_ms": 1000 * median(curls, lambda r: r["user_s"] + r["sys_s"]),
        "host_maxrss_kib_all": [r["maxrss_kib"] for r in hosts], "curl_maxrss_kib_all": [r["maxrss_kib"] for r in curls],
    }


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def webpush_encrypt(p256dh, auth, plaintext):
    """One aes128gcm message (RFC 8291, 8188) for the subscriber's keys, as an
    application server sends it: a fresh sender key and salt, one record."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF

    def hkdf(salt, secret, info, length):
        return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(secret)
    receiver_public = b64url_decode(p256dh)
    receiver = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), receiver_public)
    sender = ec.generate_private_key(ec.SECP256R1())
    sender_public = sender.public_key().public_bytes(serialization.Encoding.X962,
                                                     serialization.PublicFormat.UncompressedPoint)
    ikm = hkdf(b64url_decode(auth), sender.exchange(ec.ECDH(), receiver),
               b"WebPush: info\0" + receiver_public + sender_public, 32)
    salt = os.urandom(16)
    key = hkdf(salt, ikm, b"Content-Encoding: aes128gcm\0", 16)
    nonce = hkdf(salt, ikm, b"Content-Encoding: nonce\0", 12)
    record = AESGCM(key).encrypt(nonce, plaintext + b"\x02", None)  # 0x02: the last record's delimiter
    return salt + (4096).to_bytes(4, "big") + bytes([len(sender_public)]) + sender_public + record


class LogLines:
    """The JSON log lines a process writes to a pipe, each with the time it was read."""

    def __init__(self, pipe, what):
        self.fd, self.what = pipe.fileno(), what
        os.set_blocking(self.fd, False)
        self.buffer, self.lines = b"", collections.deque()

    def read(self, timeout):
        """Reads what is there, waiting at most timeout seconds; False when nothing came."""
        if not select.select([self.fd], [], [], timeout)[0]:
            return False
        chunk = os.read(self.fd, 1 << 16)
        now = time.perf_counter()
        if not chunk:
            fail(f"{self.what} closed its standard error (it stopped)")
        self.buffer += chunk
        *complete, self.buffer = self.buffer.split(b"\n")
        self.lines.extend((now, line) for line in complete)
        return True

    def drain(self):
        while self.read(0):
            pass
        self.lines.clear()

    def wait_for(self, accept, timeout=60):
        """(time read, event) of the first event that accept() takes; accept may fail()."""
        deadline = time.monotonic() + timeout
        while True:
            while self.lines:
                when, line = self.lines.popleft()
                try:
                    event = json.loads(line)
                except ValueError:
                    continue
                if isinstance(event, dict) and accept(event):
                    return when, event
            if time.monotonic() > deadline:
                fail(f"{self.what}: nothing awaited came within {timeout} s")
            self.read(max(0.0, deadline - time.monotonic()))


def cpu_ns(pid):
    """CPU time a process has used so far, all its threads (not its children), in ns."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except OSError:
            pass
    return total


def status_kib(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                fields[name] = int(value.split()[0])
    return fields


def children(pid):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return found


def connector_figure(service, build, host, work, messages):
    """tamsel-push-connector on a private session bus, registered with the benchmark's
    own distributor: its RSS when idle beside the extension's `--help`, and each
    push from the Message call to the presented content beside the extension alone."""
    try:
        import dbus
        import dbus.lowlevel
        import dbus.mainloop.glib
        import dbus.service
        from gi.repository import GLib
    except ImportError as e:
        fail(f"the connector's figures need python3-dbus and python3-gi ({e}); run this with /usr/bin/python3")
    if not shutil.which("dbus-daemon"):
        fail("the connector's figures need dbus-daemon (scripts/setup.sh bench installs it)")
    connector = os.path.join(build, "tamsel-push-connector")
    processes, connection = [], None
    try:
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        processes.append(bus)
        address = bus.stdout.readline().strip()
        if not address:
            fail("the private session bus did not start")
        env = {k: v for k, v in os.environ.items() if k not in ("DBUS_STARTER_ADDRESS", "JOURNAL_STREAM")}
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        connection = dbus.bus.BusConnection(address)

        class Distributor(dbus.service.Object):
            """Enough of a distributor for one connector: Register is answered and
            followed by NewEndpoint; pushes then go straight to Message, so that a
            push's time starts at the call (no push server: nobody posts to the endpoint)."""
            token = None

            @dbus.service.method(DISTRIBUTOR_INTERFACE, in_signature="a{sv}", out_signature="a{sv}")
            def Register(self, args):
                self.token = str(args["token"])
                GLib.idle_add(self.new_endpoint, str(args["service"]))
                return dbus.Dictionary({"success": "REGISTRATION_SUCCEEDED"}, signature="sv")

            @dbus.service.method(DISTRIBUTOR_INTERFACE, in_signature="a{sv}", out_signature="")
            def Unregister(self, args):
                pass

            def new_endpoint(self, service_name):
                call = dbus.lowlevel.MethodCallMessage(destination=service_name, path=CONNECTOR_PATH,
                                                       interface=CONNECTOR_INTERFACE, method="NewEndpoint")
                call.append(dbus.Dictionary({"token": self.token,
                                             "endpoint": "http://127.0.0.1:9/push/benchmark"}, signature="sv"),
                            signature="a{sv}")
                call.set_no_reply(True)
                connection.send_message(call)
                return False

        distributor = Distributor(connection, DISTRIBUTOR_PATH)
        if connection.request_name("org.unifiedpush.Distributor." + DISTRIBUTOR_NAME,
                                   dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
            fail("the benchmark's distributor could not own its name on the private bus")

        device = Device(service, host, work, "connector")
        common = ["--bundle", device.bundle, "--platform-root", device.root]
        registering = subprocess.Popen([connector, "register"] + common + ["--distributor", DISTRIBUTOR_NAME],
                                       env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        context = GLib.MainContext.default()
        while registering.poll() is None:  # the distributor's side is served here meanwhile
            while context.iteration(False):
                pass
            time.sleep(0.002)
        out, err = registering.communicate()
        if registering.returncode != 0:
            fail(f"tamsel-push-connector register failed: {err.strip()[-500:]}")
        subscription = json.loads(out.splitlines()[-1])

        serve = subprocess.Popen([connector, "serve"] + common + ["--ca-file", service.ca, "--idle-exit", "0",
                                                                   "--log", "stderr"],
                                 env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        processes.append(serve)
        log = LogLines(serve.stderr, "the connector")

        def connector_event(message):
            return lambda e: e.get("category") == "push-connector" and e.get("message") == message
        log.wait_for(connector_event("serving"), 30)

        def settle():
            """Waits until the connector used no CPU for half a second, then reads its memory."""
            deadline, last, quiet = time.monotonic() + 30, cpu_ns(serve.pid), time.monotonic()
            while time.monotonic() - quiet < 0.5:
                if time.monotonic() > deadline:
                    fail("the connector did not become idle within 30 s")
                time.sleep(0.05)
                log.drain()
                now = cpu_ns(serve.pid)
                if now != last:
                    last, quiet = now, time.monotonic()
            return status_kib(serve.pid)

        idle_start = settle()
        # The limit: what the extension holds when it does nothing, measured beside it.
        helps = [measured([host, "--help"])[0]["maxrss_kib"] for _ in range(5)]

        group = "5e" * 32
        content = {"title": "Tamsel", "body": "New messages",
                   "userInfo": {"tamsel": {"version": "notification-wakeup.v2", "groupKey": group}}}
        plaintext = json.dumps(content, separators=(",", ":")).encode()

        def via_connector(identifier, first=False):
            """One push through the connector: (call to presented in s, connector CPU in ns, requests made)."""
            device.admin("POST", "/changes/generate", {"count": 1, "groupKey": group})
            body = webpush_encrypt(subscription["p256dh"], subscription["auth"], plaintext)
            fields = dbus.Dictionary({"token": distributor.token, "message": dbus.ByteArray(body),
                                      "id": identifier}, signature="sv")
            before = requests_made(device)
            log.drain()
            cpu = cpu_ns(serve.pid)
            start = time.perf_counter()
            connection.call_blocking(APP, CONNECTOR_PATH, CONNECTOR_INTERFACE, "Message", "a{sv}", [fields],
                                     timeout=60)
            argv = None
            if first:  # started before the call returns: its command line is the alone run's
                extension = children(serve.pid)
                if len(extension) != 1:
                    fail(f"the connector runs {len(extension)} processes after a push, not 1")
                with open(f"/proc/{extension[0]}/cmdline", "rb") as cmdline:
                    argv = [a.decode() for a in cmdline.read().split(b"\0")[:-1]]
            seen = []

            def presented(event):
                if event.get("category") != "push-connector":
                    return False
                seen.append(event.get("message", ""))
                if seen[-1] == "push-presented":
                    if "extension-handed-back" not in seen:
                        fail(f"the connector presented something else than the extension's content: {seen}")
                    return True
                if seen[-1].startswith(("push-refused", "push-not-presented", "push-repeated", "caller-refused",
                                        "call-ignored")):
                    fail(f"the connector did not present the push: {seen}")
                return False
            when, _ = log.wait_for(presented)
            # The next push starts once this one's extension is gone and reaped.
            for pid in children(serve.pid):
                while os.path.exists(f"/proc/{pid}"):
                    log.drain()
                    time.sleep(0.001)
            cpu = cpu_ns(serve.pid) - cpu
            after = requests_made(device)
            return when - start, cpu, {k: after[k] - before[k] for k in after}, argv

        def alone(identifier, argv):
            """The same push line straight to the extension, as the connector gives it."""
            device.admin("POST", "/changes/generate", {"count": 1, "groupKey": group})
            before = requests_made(device)
            line = json.dumps({"identifier": identifier, "content": content}) + "\n"
            measurement, stdout, stderr = measured(argv, line, first_line=True)
            handed = [json.loads(l) for l in stdout.splitlines()]
            if measurement["exit"] != 0 or not handed or handed[0].get("request") != identifier:
                fail(f"the extension alone did not hand back its push: {measurement}, {stderr[-500:]}")
            after = requests_made(device)
            return measurement, {k: after[k] - before[k] for k in after}

        _, _, made, argv = via_connector("bench-warm-up", first=True)
        alone("bench-alone-warm-up", argv)
        pairs = []
        for i in range(messages):
            took, cpu, by_connector, _ = via_connector(f"bench-message-{i}")
            measurement, by_alone = alone(f"bench-alone-{i}", argv)
            if by_connector != by_alone or by_connector != made:
                fail(f"the two runs made different requests: {by_connector} and {by_alone}")
            pairs.append((took, measurement["first_line_s"], cpu, measurement))
        idle_after = settle()
        median = statistics.median
        return {
            "idle_rss_kib": idle_start["VmRSS"], "idle_anon_kib": idle_start["RssAnon"],
            "idle_file_kib": idle_start["RssFile"],
            "after_rss_kib": idle_after["VmRSS"], "after_anon_kib": idle_after["RssAnon"],
            "help_maxrss_kib": median(helps), "help_maxrss_kib_all": helps,
            "rss_ratio": max(idle_start["VmRSS"], idle_after["VmRSS"]) / median(helps),
            "messages": messages, "requests_per_push": made, "extension_argv": argv,
            "ratio": median(c / a for c, a, _, _ in pairs),
            "connector_ms": 1000 * median(c for c, _, _, _ in pairs),
            "alone_ms": 1000 * median(a for _, a, _, _ in pairs),
            "overhead_ms": 1000 * median(c - a for c, a, _, _ in pairs),
            "connector_cpu_ms": median(cpu for _, _, cpu, _ in pairs) / 1e6,
            "alone_exit_ms": 1000 * median(m["wall_s"] for _, _, _, m in pairs),
            "alone_cpu_ms": 1000 * median(m["user_s"] + m["sys_s"] for _, _, _, m in pairs),
            "connector_ms_all": [round(1000 * c, 2) for c, _, _, _ in pairs],
            "alone_ms_all": [round(1000 * a, 2) for _, a, _, _ in pairs],
            "connector_cpu_ms_all": [round(cpu / 1e6, 3) for _, _, cpu, _ in pairs],
        }
    finally:
        if connection is not None:
            connection.close()
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def micro_figures(build, work):
    out = os.path.join(work, "bench.json")
    env = dict(os.environ, TMPDIR=work)
    run = subprocess.run([os.path.join(build, "tamsel_bench"), f"--benchmark_out={out}",
                          "--benchmark_out_format=json"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True, env=env)
    if run.returncode != 0:
        fail(f"tamsel_bench failed: {run.stderr[-1000:]}")
    results = {}
    for b in json.load(open(out))["benchmarks"]:
        name = b["name"].split("/iterations")[0].split("/min_time")[0].split("/real_time")[0]
        unit = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[b["time_unit"]]
        results[name] = dict(b, seconds=b["real_time"] * unit)
    return results


def machine(build):
    cpu = "unknown"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    compiler = "c++"
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1].strip()
    compiler = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    fs = subprocess.run(["df", "--output=fstype", tempfile.gettempdir()], capture_output=True,
                        text=True).stdout.split()[-1]
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split()[1]
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "compiler": compiler,
            "filesystem": fs, "curl": curl, "load": os.getloadavg()[0]}


def verdict(value, target):
    return "met" if value <= target else "MISSED"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repeat", type=int, default=25, help="host and curl runs of the protocol figure")
    parser.add_argument("--messages", type=int, default=21,
                        help="pushes through the connector (each beside one to the extension alone)")
    parser.add_argument("--json", help="also write every raw number to this file")
    parser.add_argument("--only", default=",".join(PARTS),
                        help="comma-separated parts: " + ", ".join(PARTS) + " (presentation with validation)")
    args = parser.parse_args()
    parts = set(args.only.split(","))
    if parts - set(PARTS):
        parser.error(f"unknown parts: {', '.join(sorted(parts - set(PARTS)))} (known: {', '.join(PARTS)})")
    global MEASURE
    MEASURE = os.path.join(args.build, "tamsel_bench")
    host = os.path.join(args.build, "tamsel-notification-service")
    work = tempfile.mkdtemp(prefix="tamsel-bench.")
    service = None
    raw = {}
    try:
        m = raw["machine"] = machine(args.build)
        print(f"machine: {m['nproc']} x {m['cpu']}, Linux {m['kernel']}, {m['compiler']}, "
              f"{m['filesystem']} at {tempfile.gettempdir()}, curl {m['curl']}, load {m['load']:.1f}",
              flush=True)
        if parts & {"protocol", "memory", "connector"}:
            service = Service(os.path.join(args.build, "tamsel-delivery-service"), work)
        if "protocol" in parts:
            p = raw["protocol"] = protocol_figure(service, host, work, args.repeat)
            print(f"protocol: host {p['host_ms']:.1f} ms / curl {p['curl_ms']:.1f} ms for the same 42 requests "
                  f"= {p['ratio']:.2f} (target <= 1.3: {verdict(p['ratio'], 1.3)}; CPU {p['host_cpu_ms']:.1f} / "
                  f"{p['curl_cpu_ms']:.1f} ms, and the service's {p['service_cpu_ms_host']:.1f} / "
                  f"{p['service_cpu_ms_curl']:.1f} ms; peak RSS {p['host_maxrss_kib'] / MIB:.1f} MiB)", flush=True)
            print(f"protocol against replayed answers: curl {p['replay_ms']:.1f} ms fetching the same answers "
                  f"stored, the service doing no protocol work (its CPU {p['service_cpu_ms_replay']:.1f} ms) "
                  f"= {p['replay_ratio']:.2f}", flush=True)
        if "startup" in parts:
            st = raw["startup"] = startup_figure(host, STARTUP_RUNS)
            print(f"startup: tamsel-notification-service --help peak RSS {st['host_maxrss_kib'] / MIB:.1f} MiB / "
                  f"curl --version {st['curl_maxrss_kib'] / MIB:.1f} MiB = {st['ratio']:.2f} (target <= 1.0: "
                  f"{verdict(st['ratio'], 1.0)}; medians of {STARTUP_RUNS} alternate runs; wall "
                  f"{st['host_ms']:.1f} / {st['curl_ms']:.1f} ms, CPU {st['host_cpu_ms']:.1f} / "
                  f"{st['curl_cpu_ms']:.1f} ms)", flush=True)
        if "memory" in parts:
            mem = raw["memory"] = memory_figure(service, host, work)
            mib, anon = mem["maxrss_kib"] / MIB, mem["peak_anon_kib"] / MIB
            print(f"memory: host peak RSS {mib:.1f} MiB for {PAGES} pages x {PAGE_SIZE} changes with a "
                  f"{LEDGER_ENTRIES}-entry ledger = {mib / 16:.2f} of 16 MiB (target <= 16 MiB: "
                  f"{verdict(mib, 16)}; against the 24 MiB ceiling: {mib / 24:.2f}, {verdict(mib, 24)}; the same "
                  f"binary doing nothing (--help): {mem['idle_maxrss_kib'] / MIB:.1f} MiB)", flush=True)
            print(f"memory, anonymous: at most {anon:.1f} MiB (sampled every ms) = {anon / 6:.2f} of 6 MiB "
                  f"(target <= 6 MiB: {verdict(anon, 6)})", flush=True)
            per_change, rewrite = mem["wall_s"] / mem["changes"], mem["rewrite_median_s"]
            ratio = per_change / rewrite
            print(f"memory run time: {mem['wall_s']:.2f} s / {mem['changes']} changes = {per_change * 1e3:.2f} ms "
                  f"per change / durable rewrite of the final ledger ({mem['ledger_bytes']} bytes, write, fsync, "
                  f"rename, fsync of the directory; median of {REWRITES}) {rewrite * 1e3:.2f} ms = {ratio:.2f} "
                  f"(target <= 2: {verdict(ratio, 2)}; host CPU {mem['user_s'] + mem['sys_s']:.2f} s)", flush=True)
        if "presentation" in parts:
            r = raw["micro"] = micro_figures(args.build, work)
            growth = []
            for n in (100, 1000, 10000, 100000):
                b = r[f"BM_ApplyPage/{n}"]
                growth.append((n, b["page_median_s"] / PAGE_SIZE, b["rewrite_median_s"],
                               b["durable_rewrite_median_s"]))
            n, per_change, rewrite, durable = growth[2]
            ratio = per_change / rewrite
            print(f"presentation: {per_change * 1e3:.2f} ms per change (page of {PAGE_SIZE}, {n}-entry ledger of "
                  f"{int(r['BM_ApplyPage/10000']['ledger_bytes'])} bytes) / atomic rewrite "
                  f"{rewrite * 1e3:.2f} ms = {ratio:.2f} (target <= 1.5: {verdict(ratio, 1.5)}; against the rewrite "
                  f"with the directory's fsync, {durable * 1e3:.2f} ms: {per_change / durable:.2f})", flush=True)
            print("presentation growth (entries: per change, x rewrite, x rewrite with the directory's fsync): "
                  + ", ".join(f"{n}: {pc * 1e3:.2f} ms, {pc / rw:.2f}, {pc / du:.2f}" for n, pc, rw, du in growth),
                  flush=True)
            b = r["BM_ApplyPageFileBackends/10000"]
            files = b["page_median_s"] / PAGE_SIZE
            print(f"presentation with the host's file-backed centre and interactions: {files * 1e3:.2f} ms per "
                  f"change = {files / b['rewrite_median_s']:.2f} x rewrite (10000 entries)", flush=True)
            validate = r["BM_ValidateRecord"]["items_per_second"]
            parse = r["BM_ParseRecord"]["items_per_second"]
            print(f"validation: change() {validate:,.0f} records/s / JSON reader {parse:,.0f} records/s = "
                  f"{validate / parse:.2f}", flush=True)
        if "connector" in parts:
            c = raw["connector"] = connector_figure(service, args.build, host, work, args.messages)
            print(f"connector idle: RSS {c['idle_rss_kib'] / MIB:.1f} MiB (anonymous {c['idle_anon_kib'] / MIB:.1f}"
                  f" MiB), {c['after_rss_kib'] / MIB:.1f} MiB after {c['messages'] + 1} pushes (anonymous "
                  f"{c['after_anon_kib'] / MIB:.1f} MiB) / the extension's --help peak RSS "
                  f"{c['help_maxrss_kib'] / MIB:.1f} MiB = {c['rss_ratio']:.2f} (the larger; target <= 1.0: "
                  f"{verdict(c['rss_ratio'], 1.0)})", flush=True)
            print(f"connector per push: {c['connector_ms']:.1f} ms from the Message call to the content presented / "
                  f"the extension alone {c['alone_ms']:.1f} ms to its hand-off = {c['ratio']:.2f} (target <= 1.2: "
                  f"{verdict(c['ratio'], 1.2)}; overhead {c['overhead_ms']:.1f} ms; connector CPU "
                  f"{c['connector_cpu_ms']:.2f} ms per push = {c['connector_cpu_ms'] / c['alone_cpu_ms']:.2f} of the "
                  f"extension's {c['alone_cpu_ms']:.1f} ms; medians of {c['messages']} alternate pairs)", flush=True)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(raw, f, indent=1)
    finally:
        if service:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
