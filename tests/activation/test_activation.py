#!/usr/bin/python3
"""The installed programs, started by D-Bus activation, end to end.

For each notification centre (the desktop's, played by python3-dbusmock's
notification_daemon template, and the file-backed one) this installs the
extension component into a fresh prefix, points its defaults.json at a private
platform root and the delivery service's CA as an administrator would, and runs
a private session bus whose service directory is the installed one. The delivery
service sends Web Push wake-ups to the test distributor, which relays them to
com.brindaxel.tamsel: the bus starts the installed connector (no flags), which
runs the installed extension per push.

Environment: TAMSEL_BUILD_DIR (with tamsel-notification-service,
tamsel-push-connector and tamsel-delivery-service built), TAMSEL_SOURCE_DIR.
"""
import json
import os
import re
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request

APP = "com.brindaxel.tamsel"
BUILD = os.path.abspath(os.environ.get("TAMSEL_BUILD_DIR", "build"))
SOURCE = os.path.abspath(os.environ.get("TAMSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../..")))
DISTRIBUTOR = os.path.join(SOURCE, "tools/test-distributor/tamsel-test-distributor")

FAMILY, WORK, SUPPORT = "a1" * 32, "b2" * 32, "c3" * 32


def sender(name, h):
    return {"schema": "notification_sender.v1", "canonicalId": "tamsel_sender_" + h * 32, "displayName": name}


def available(nid, rev, title, body, group, audible=True, who=None):
    target = {"kind": "communication", "communicationId": "comm_" + nid, "channelThreadId": "thread_" + group[:12]}
    p = {"title": title, "body": body, "target": target,
         "attention": {"policyVersion": "notification-attention.v1", "groupKey": group, "audible": audible}}
    if who is not None:
        p["sender"] = who
    return {"notificationId": nid, "notificationRevision": str(rev), "state": "available", "presentation": p}


# The demo's set: a named sender, a phone-number-like sender, a replacement, a withdrawal.
FIRST_ROUND = [
    available("msg_family_00000001", 1, "Family", "Dinner at eight?", FAMILY, who=sender("Ana Souza", "a5")),
    available("msg_work_0000000001", 1, "Design review", "Slides are up", WORK),
    available("msg_support_0000001", 1, "Support", "Your ticket was updated", SUPPORT,
              who=sender("Call +1 (555) 010-0199 now", "c7")),
    available("msg_work_0000000002", 1, "Design review", "Moved to 3pm", WORK, audible=False),
    available("msg_work_0000000001", 2, "Design review", "Slides are up (v2)", WORK),
    {"notificationId": "msg_work_0000000002", "notificationRevision": "2", "state": "withdrawn",
     "presentation": None},
]


def wait_for(what, predicate, timeout=60, interval=0.1):
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(interval)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


class Scenario:
    def __init__(self, name, notifications):
        self.name = name
        self.notifications = notifications
        self.work = tempfile.mkdtemp(prefix="tamsel-activation-%s-" % name)
        self.prefix = os.path.join(self.work, "prefix")
        self.root = os.path.join(self.work, "root")
        self.children = []
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DBUS_SESSION_BUS_ADDRESS", "DBUS_STARTER_ADDRESS", "JOURNAL_STREAM")}

    # -- processes ------------------------------------------------------------------------------------------

    def start(self, name, argv, **kwargs):
        out = open(os.path.join(self.work, name + ".out"), "wb")
        err = open(os.path.join(self.work, name + ".err"), "wb")
        child = subprocess.Popen(argv, stdout=out, stderr=err, env=self.env, start_new_session=True, **kwargs)
        self.children.append(child)
        return child

    def first_line(self, name, timeout=30):
        path = os.path.join(self.work, name + ".out")
        return json.loads(wait_for(name + "'s first line",
                                   lambda: open(path).readline() if os.path.getsize(path) else None, timeout))

    def cleanup(self):
        # The bus-started connector and its extensions are not our children: found by their program.
        installed = os.path.join(self.prefix, "bin") + "/"
        strays = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/exe" % pid).startswith(installed):
                    strays.append(int(pid))
            except OSError:
                pass
        for pid in strays:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        if os.environ.get("TAMSEL_KEEP_WORK"):
            print("kept", self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def run(self, argv, stdin=None):
        done = subprocess.run(argv, input=stdin, capture_output=True, env=self.env, timeout=60)
        check(done.returncode == 0, "%s failed (%d): %s" % (argv[0], done.returncode, done.stderr.decode()))
        return done.stdout.decode()

    # -- set-up ---------------------------------------------------------------------------------------------

    def install(self):
        self.run(["cmake", "--install", BUILD, "--prefix", self.prefix, "--component", "extension"])

    def configure(self):
        data = os.path.join(self.prefix, "share/tamsel-notification-service")
        plist = os.path.join(data, "bundle/Info.plist")
        text = open(plist).read()
        text, n = re.subn(r"(<key>TAMSEL_API_BASE_URL</key>\s*<string>)[^<]*", r"\g<1>" + self.url, text)
        check(n == 1, "the installed bundle has no TAMSEL_API_BASE_URL")
        open(plist, "w").write(text)
        path = os.path.join(data, "defaults.json")
        defaults = json.load(open(path))
        check(defaults.get("bundle") == os.path.join(data, "bundle"), "installed defaults: %s" % defaults)
        defaults.update({"platformRoot": self.root, "caFile": self.ca, "keychain": "file",
                         "notifications": self.notifications})
        json.dump(defaults, open(path, "w"))
        os.makedirs(os.path.join(self.root, "containers/group." + APP), exist_ok=True)

    def start_bus(self):
        conf = os.path.join(self.work, "bus.conf")
        with open(conf, "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n<busconfig>\n'
                    '  <include>/usr/share/dbus-1/session.conf</include>\n'
                    '  <servicedir>%s</servicedir>\n</busconfig>\n'
                    % os.path.join(self.prefix, "share/dbus-1/services"))
        self.start("bus", ["dbus-daemon", "--nofork", "--print-address=1", "--config-file", conf])
        path = os.path.join(self.work, "bus.out")
        address = wait_for("the bus address", lambda: open(path).readline().strip(), 30)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        import dbus
        self.bus = dbus.bus.BusConnection(address)
        self.dbus = self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")

    def start_service(self):
        self.start("service", [os.path.join(BUILD, "tamsel-delivery-service"), "--port", "0",
                               "--cert-dir", os.path.join(self.work, "tls")])
        started = self.first_line("service")
        self.url, self.ca, self.admin = started["url"], started["caFile"], started["adminToken"]
        self.tls = ssl.create_default_context(cafile=self.ca)

    def start_distributor(self):
        self.relay_log = os.path.join(self.work, "relayed.jsonl")
        self.state = os.path.join(self.work, "distributor-state.json")
        self.start("distributor", ["/usr/bin/python3", DISTRIBUTOR, "--relay-log", self.relay_log,
                                   "--state", self.state])
        self.first_line("distributor")

    def start_notification_server(self):
        self.start("notifyd", ["/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon"])
        wait_for("the notification server", lambda: self.has_owner("org.freedesktop.Notifications"), 30)
        self.mock = self.bus.get_object("org.freedesktop.Notifications", "/org/freedesktop/Notifications")

    # -- talking to things ------------------------------------------------------------------------------------

    def has_owner(self, name):
        return bool(self.dbus.NameHasOwner(name, dbus_interface="org.freedesktop.DBus"))

    def owner_pid(self, name):
        owner = self.dbus.GetNameOwner(name, dbus_interface="org.freedesktop.DBus")
        return int(self.dbus.GetConnectionUnixProcessID(owner, dbus_interface="org.freedesktop.DBus"))

    def api(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method, headers={
            "Authorization": "Bearer " + self.admin, "Content-Type": "application/json"})
        with urllib.request.urlopen(request, context=self.tls, timeout=30) as answer:
            return json.loads(answer.read())

    def relayed(self):
        try:
            return [json.loads(line) for line in open(self.relay_log) if line.strip()]
        except FileNotFoundError:
            return []

    def deliveries(self):
        return self.api("GET", "/admin/receivers/%s/push-deliveries" % self.receiver)["deliveries"]

    def push_raw(self, endpoint, body):
        """POSTs bytes to a distributor endpoint as a push service would."""
        request = urllib.request.Request(endpoint, data=body, method="POST", headers={
            "Content-Encoding": "aes128gcm", "Content-Type": "application/octet-stream", "TTL": "60"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            check(answer.status == 201, "the distributor answered %d" % answer.status)

    def queue(self, changes):
        """Queues changes and waits until the wake-up it caused was relayed and answered."""
        pushes = len(self.relayed())
        self.api("POST", "/admin/receivers/%s/changes" % self.receiver, changes)
        wait_for("the wake-up to be relayed", lambda: len(self.relayed()) > pushes, 60)
        return self.relayed()[pushes]

    def presented(self):
        """What was posted, as [{"id", "title", "body", "sound", "replaces"}] (the desktop's: every
        Notify call; the file centre's: what it holds), and the ids closed since."""
        if self.notifications == "desktop":
            shown, closed, next_id = {}, [], 1
            for _, method, args in self.mock.GetCalls(dbus_interface="org.freedesktop.DBus.Mock"):
                if method == "Notify":
                    replaces = int(args[1])
                    nid = replaces or next_id
                    if not replaces:
                        next_id += 1
                    hints = {str(k): v for k, v in args[6].items()}
                    shown.setdefault("calls", []).append({
                        "id": nid, "replaces": replaces, "title": str(args[3]), "body": str(args[4]),
                        "sound": not bool(hints.get("suppress-sound", False)),
                        "desktop-entry": str(hints.get("desktop-entry", ""))})
                elif method == "CloseNotification":
                    closed.append(int(args[0]))
            return shown.get("calls", []), closed
        try:
            state = json.load(open(os.path.join(self.root, "notification-center.json")))
        except (FileNotFoundError, json.JSONDecodeError):
            return [], []
        shown = []
        for d in state.get("delivered", []):
            c = d["content"]
            shown.append({"id": d["identifier"], "replaces": 0, "body": c.get("body", ""),
                          "title": c.get("communication", {}).get("senderDisplayName") or c.get("title", ""),
                          "sound": bool(c.get("sound"))})
        return shown, []

    def showing(self):
        """What is on screen now: the latest post of each notification that was not closed."""
        posted, closed = self.presented()
        latest = {n["id"]: n for n in posted}
        return [n for i, n in latest.items() if i not in closed]


def family(n, body):
    return available("msg_family_%08d" % n, 1, "Family", body, FAMILY, who=sender("Ana Souza", "a5"))


def rounds(s):
    """The demo's set, then a replacement and a withdrawal of what it left on screen."""
    check(not s.has_owner(APP), "the connector runs before any push")
    s.api("POST", "/admin/receivers/%s/badge" % s.receiver, {"unreadCount": 4})
    push = s.queue(FIRST_ROUND)
    check(push["status"] == "delivered", "the first wake-up was not delivered: %s" % push)
    pid = s.owner_pid(APP)
    exe = os.readlink("/proc/%d/exe" % pid)
    check(exe == os.path.join(s.prefix, "bin/tamsel-push-connector"), "the bus started %s" % exe)

    def showing(*bodies):
        return lambda: (lambda p: p if all(any(n["body"] == b for n in p) for b in bodies) else None)(
            s.showing())
    shown = wait_for("the first round", showing("Dinner at eight?", "Your ticket was updated",
                                                   "Slides are up (v2)"), 60)
    ana = [n for n in shown if n["body"] == "Dinner at eight?"]
    check(len(ana) == 1 and ana[0]["title"] == "Ana Souza", "the handed-back content: %s" % shown)
    check(not any("555" in n["title"] for n in shown), "a phone-number-like sender was shown: %s" % shown)
    # One notification per conversation: the later posts in the work one replaced the earlier.
    check(not any(n["body"] in ("Slides are up", "Moved to 3pm") for n in shown),
          "replaced notifications are still shown: %s" % shown)
    work = [n for n in shown if n["body"] == "Slides are up (v2)"][0]
    if s.notifications == "file":
        check(ana[0]["id"] == push["messageId"], "the handed-back content is not the push's: %s" % shown)
    else:
        first = [n for n in s.presented()[0] if n["body"] == "Slides are up"]
        check(len(first) == 1 and work["replaces"] == first[0]["id"], "no replaces_id: %s" % s.presented()[0])

    s.queue([family(2, "Bring dessert"), available("msg_work_0000000001", 3, "Design review", "Slides v3", WORK)])
    shown = wait_for("the replacement", showing("Bring dessert", "Slides v3"), 60)
    check(not any(n["body"] == "Slides are up (v2)" for n in shown), "the replacement did not replace: %s" % shown)

    s.queue([family(3, "See you"), {"notificationId": "msg_work_0000000001", "notificationRevision": "4",
                                    "state": "withdrawn", "presentation": None}])
    wait_for("the withdrawal", lambda: (lambda p: p if any(n["body"] == "See you" for n in p) and not any(
        n["body"] == "Slides v3" for n in p) else None)(s.showing()), 60)
    posted, closed = s.presented()
    if s.notifications == "desktop":
        check(work["id"] in closed, "no CloseNotification for the withdrawal: %s" % closed)
        check(all(n["desktop-entry"] == APP for n in posted), "desktop-entry hints: %s" % posted)
    alerts = [n["body"] for n in posted if n["sound"]]
    check(len(alerts) == len(set(alerts)), "something alerted twice: %s" % posted)
    return pid


def repeated_message(s):
    before = len(s.presented()[0])
    push = s.queue([FIRST_ROUND[0]])
    check(push["status"] == "delivered", "the repeated wake-up was not delivered: %s" % push)
    shown = wait_for("the repeated push's hand-off",
                     lambda: (lambda p: p if len(p) > before else None)(s.presented()[0]), 60)
    time.sleep(1)  # nothing more may follow
    new = s.presented()[0][before:]
    check(len(new) == 1 and not new[0]["sound"], "a repeated message showed: %s" % new)
    check(new[0]["body"] == "Dinner at eight?", "the repeated hand-off is not the conversation's: %s" % new)
    return shown


def hostile_pushes(s, pid, endpoint):
    before = s.presented()
    # Random bytes where a ciphertext should be.
    count = len(s.relayed())
    s.push_raw(endpoint, secrets.token_bytes(200))
    # A second registration for the application, with a token the connector never made.
    import dbus
    distributor = s.bus.get_object("org.unifiedpush.Distributor.tamseltest", "/org/unifiedpush/Distributor")
    stranger = secrets.token_hex(16)
    answer = distributor.Register({"service": APP, "token": stranger},
                                  dbus_interface="org.unifiedpush.Distributor2")
    check(answer["success"] == "REGISTRATION_SUCCEEDED", "second registration: %s" % answer)
    other = wait_for("the second endpoint", lambda: json.load(open(s.state))["registrations"].get(stranger), 10)
    s.push_raw(other["endpoint"], secrets.token_bytes(200))
    wait_for("both to be relayed", lambda: len(s.relayed()) >= count + 2, 30)
    check(all(r["status"] == "delivered" for r in s.relayed()[count:]), "relays: %s" % s.relayed()[count:])
    time.sleep(1)
    check(s.presented() == before, "a forged push changed what is shown")
    check(s.owner_pid(APP) == pid, "the connector did not keep serving")


def five_at_once(s):
    bodies = ["Five at once %d" % i for i in range(5)]
    count = len(s.relayed())
    for i, body in enumerate(bodies):
        group = ("%02d" % (40 + i)) * 32
        s.api("POST", "/admin/receivers/%s/changes" % s.receiver,
              [available("msg_five_%010d" % i, 1, "Group %d" % i, body, group, who=sender("Bea %d" % i, "b%d" % i))])
    wait_for("five wake-ups relayed", lambda: len(s.relayed()) >= count + 5, 60)

    def all_shown():
        shown = s.presented()[0]
        return shown if all(any(n["body"] == b for n in shown) for b in bodies) else None
    wait_for("all five on screen", all_shown, 90)
    time.sleep(2)  # let every extension finish before counting alerts
    shown = s.presented()[0]
    for body in bodies:
        alerts = [n for n in shown if n["body"] == body and n["sound"]]
        check(len(alerts) == 1, "%r alerted %d times: %s" % (body, len(alerts), shown))


def bad_defaults(s):
    """An administrator's mistake stops both programs with a message naming it."""
    path = os.path.join(s.prefix, "share/tamsel-notification-service/defaults.json")
    good = open(path).read()
    for member, value in (("notificatons", "file"), ("platformRoot", "root"), ("timeBudget", "30")):
        json.dump(dict(json.loads(good), **{member: value}), open(path, "w"))
        for program, argv in (("tamsel-notification-service", []), ("tamsel-push-connector", ["status"])):
            done = subprocess.run([os.path.join(s.prefix, "bin", program)] + argv, input=b"",
                                  capture_output=True, env=s.env, timeout=30)
            message = done.stderr.decode()
            check(done.returncode == 2 and path in message and '"%s"' % member in message,
                  "%s with a bad %s: status %d, %r" % (program, member, done.returncode, message))
    open(path, "w").write(good)


def run_scenario(name, notifications):
    s = Scenario(name, notifications)
    try:
        s.install()
        s.start_service()
        s.configure()
        s.start_bus()
        s.start_distributor()
        if notifications == "desktop":
            s.start_notification_server()
        host = os.path.join(s.prefix, "bin/tamsel-notification-service")
        connector = os.path.join(s.prefix, "bin/tamsel-push-connector")
        credential = s.api("POST", "/admin/receivers", {})
        s.receiver = credential["receiverID"]
        s.run([host, "keychain-store"], stdin=json.dumps(credential).encode())
        subscription = json.loads(s.run([connector, "register"]).splitlines()[-1])
        s.api("PUT", "/admin/receivers/%s/push-subscription" % s.receiver,
              {k: subscription[k] for k in ("endpoint", "p256dh", "auth")})

        pid = rounds(s)
        repeated_message(s)
        hostile_pushes(s, pid, subscription["endpoint"])
        five_at_once(s)
        bad_defaults(s)
        print("ok", name)
    except BaseException:
        for log in ("bus.err", "distributor.err", "service.err"):
            path = os.path.join(s.work, log)
            if os.path.exists(path):
                sys.stderr.write("--- %s (last lines)\n%s\n" % (log, "".join(open(path).readlines()[-40:])))
        raise
    finally:
        s.cleanup()


def main():
    if not shutil.which("dbus-daemon"):
        print("skipped: dbus-daemon is missing")
        return 0
    run_scenario("desktop", "desktop")
    run_scenario("file", "file")
    return 0


if __name__ == "__main__":
    sys.exit(main())
