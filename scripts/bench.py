#!/usr/bin/env python3
"""Runs every benchmark and prints one line per figure, each a ratio against the
limit it is measured beside in the same run. Called by scripts/bench.sh, which
builds first; see docs/performance.md for what each figure means.

usage: bench.py BUILD_DIR [--repeat N] [--json FILE] [--only protocol,memory,presentation]

The build directory must hold tamsel-notification-service, tamsel-delivery-service
and tamsel_bench. Scratch files (the platform roots, the benchmark's ledgers) go
to $TMPDIR.
"""
import argparse
import http.client
import json
import os
import platform
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile

GROUP = "group.com.brindaxel.tamsel"
KEYCHAIN_GROUP = "group.com.brindaxel.tamsel.keychain"
LEDGER = "notification-revisions.v2.json"
PAGES = 20
PAGE_SIZE = 50
LEDGER_ENTRIES = 10_000


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


def measured(command, stdin_text="", sample_memory=False):
    """Runs command under `tamsel_bench --measure`: a child forked from that small
    process, so that its peak memory is its own. Returns (measurement, stdout, stderr)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r", suffix=".json") as report, tempfile.TemporaryFile() as stdin:
        stdin.write(stdin_text.encode())
        stdin.seek(0)
        subprocess.run([MEASURE, "--measure", report.name] + (["--sample-memory"] if sample_memory else [])
                       + ["--"] + command, stdin=stdin, stdout=out, stderr=err, check=True)
        out.seek(0)
        err.seek(0)
        return json.loads(report.read()), out.read().decode(), err.read().decode()


def requests_made(device):
    return device.admin("GET", "")["requests"]


def protocol_figure(service, host, work, repeat):
    device = Device(service, host, work, "protocol")
    group = "ab" * 32
    expected = {"worker-sessions": 1, "badge": 1, "delivery-changes": PAGES, "delivery-acknowledgments": PAGES}

    def host_run():
        device.admin("POST", "/empty-pages", {"count": PAGES - 1})
        before = requests_made(device)
        cpu = service.cpu_seconds()
        measurement, _, _ = device.push(group)
        measurement["service_cpu_s"] = service.cpu_seconds() - cpu
        after = requests_made(device)
        made = {k: after[k] - before[k] for k in expected}
        if made != expected:
            fail(f"the host's run made {made}, not {expected}")
        return measurement

    # The first run applies the badge and creates the ledger; later ones only speak the protocol.
    host_run()

    # The answers of one run, by hand, so that curl fetches bodies of exactly these sizes.
    conn = http.client.HTTPSConnection("127.0.0.1", service.port, context=service.context)
    credential = json.load(open(os.path.join(device.root, "keychain", KEYCHAIN_GROUP,
                                             "Tamsel.notification-delivery.v2", "receiver")))
    base = f"/api/v2/notification-receivers/{device.receiver}"

    def fetch(method, path, headers, body=None):
        conn.request(method, path, body=body, headers=headers)
        answer = conn.getresponse()
        text = answer.read()
        if answer.status != 200:
            fail(f"{method} {path.split('?')[0]} answered {answer.status}")
        return text

    device.admin("POST", "/empty-pages", {"count": PAGES - 1})
    bodies = [fetch("POST", base + "/worker-sessions",
                    {"Tamsel-Receiver-Refresh": credential["refreshProof"], "Idempotency-Key": "worker_bench"})]
    bearer = {"Authorization": "Bearer " + json.loads(bodies[0])["data"]["workerSession"]["accessToken"]}
    bodies.append(fetch("GET", base + "/badge", bearer))
    cursor, pages, acks = None, [], []
    for i in range(PAGES):
        page = fetch("GET", base + f"/delivery-changes?limit={PAGE_SIZE}" + (f"&cursor={cursor}" if cursor else ""),
                     bearer)
        data = json.loads(page)["data"]
        pages.append(page)
        acks.append(fetch("POST", base + "/delivery-acknowledgments",
                          {**bearer, "Idempotency-Key": f"receipt_bench_{i}", "Content-Type": "application/json"},
                          json.dumps({"batchId": data["batchId"], "receiptProof": data["receiptProof"]})))
        cursor = data["nextCursor"]
    conn.close()
    if cursor is not None or any(json.loads(p)["data"]["changes"] for p in pages):
        fail("the service did not serve empty pages with cursors")
    for page, ack in zip(pages, acks):
        bodies += [page, ack]
    urls = []
    for i, body in enumerate(bodies):
        service.call("PUT", f"/admin/replay/answer-{i:02d}", raw=body)
        urls.append(f"{service.url}/replay/answer-{i:02d}")
    assert len(urls) == 2 + 2 * PAGES == 42

    curl = ["curl", "-sS", "--fail", "--cacert", service.ca] + urls
    # Once, to see that it is one connection and the same bytes.
    check = subprocess.run(curl[:-len(urls)] + sum((["-o", "/dev/null", u] for u in urls), [])
                           + ["-w", "%{num_connects} %{size_download}\\n"],
                           capture_output=True, text=True, check=True)
    rows = [line.split() for line in check.stdout.splitlines()]
    if sum(int(r[0]) for r in rows) != 1 or [int(r[1]) for r in rows] != [len(b) for b in bodies]:
        fail(f"curl did not fetch the 42 answers on one connection: {rows}")

    def curl_run():
        cpu = service.cpu_seconds()
        measurement, _, _ = measured(curl)
        measurement["service_cpu_s"] = service.cpu_seconds() - cpu
        if measurement["exit"] != 0:
            fail(f"curl failed: {measurement}")
        return measurement

    curl_run()
    # Alternating, so that both see the same neighbours; the figure is the median
    # of the ratios of each pair.
    hosts, curls = [], []
    for _ in range(repeat):
        hosts.append(host_run())
        curls.append(curl_run())
    ratios = [h["wall_s"] / c["wall_s"] for h, c in zip(hosts, curls)]
    return {
        "ratio": statistics.median(ratios),
        "host_ms": 1000 * statistics.median(h["wall_s"] for h in hosts),
        "curl_ms": 1000 * statistics.median(c["wall_s"] for c in curls),
        "host_cpu_ms": 1000 * statistics.median(h["user_s"] + h["sys_s"] for h in hosts),
        "curl_cpu_ms": 1000 * statistics.median(c["user_s"] + c["sys_s"] for c in curls),
        # Clock ticks of 10 ms: only the mean over many runs means anything.
        "service_cpu_ms_host": 1000 * statistics.mean(h["service_cpu_s"] for h in hosts),
        "service_cpu_ms_curl": 1000 * statistics.mean(c["service_cpu_s"] for c in curls),
        "host_ms_all": [round(1000 * h["wall_s"], 2) for h in hosts],
        "curl_ms_all": [round(1000 * c["wall_s"], 2) for c in curls],
        "answer_bytes": sum(len(b) for b in bodies),
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
    return dict(measurement, ledger_bytes=os.path.getsize(device.ledger_path()),
                idle_maxrss_kib=idle["maxrss_kib"])


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
    parser.add_argument("--json", help="also write every raw number to this file")
    parser.add_argument("--only", default="protocol,memory,presentation",
                        help="comma-separated parts: protocol, memory, presentation (with validation)")
    args = parser.parse_args()
    parts = set(args.only.split(","))
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
        if parts & {"protocol", "memory"}:
            service = Service(os.path.join(args.build, "tamsel-delivery-service"), work)
        if "protocol" in parts:
            p = raw["protocol"] = protocol_figure(service, host, work, args.repeat)
            print(f"protocol: host {p['host_ms']:.1f} ms / curl {p['curl_ms']:.1f} ms for 42 requests "
                  f"({p['answer_bytes']} bytes of answers) = {p['ratio']:.2f} (target <= 1.3: "
                  f"{verdict(p['ratio'], 1.3)}; CPU {p['host_cpu_ms']:.1f} / {p['curl_cpu_ms']:.1f} ms, and the "
                  f"service's {p['service_cpu_ms_host']:.1f} / {p['service_cpu_ms_curl']:.1f} ms; "
                  f"peak RSS {p['host_maxrss_kib'] / 1024:.1f} MiB)", flush=True)
        if "memory" in parts:
            mem = raw["memory"] = memory_figure(service, host, work)
            mib = mem["maxrss_kib"] / 1024
            print(f"memory: host peak RSS {mib:.1f} MiB for {PAGES} pages x {PAGE_SIZE} changes with a "
                  f"{LEDGER_ENTRIES}-entry ledger = {mib / 12:.2f} of 12 MiB (target <= 12 MiB: "
                  f"{verdict(mib, 12)}; of it anonymous at most {mem['peak_anon_kib'] / 1024:.1f} MiB; the same "
                  f"binary doing nothing (--help): {mem['idle_maxrss_kib'] / 1024:.1f} MiB; "
                  f"run {mem['wall_s']:.1f} s)", flush=True)
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
        if args.json:
            with open(args.json, "w") as f:
                json.dump(raw, f, indent=1)
    finally:
        if service:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
