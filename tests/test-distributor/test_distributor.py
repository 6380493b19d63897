#!/usr/bin/python3
"""Smoke test of tools/test-distributor against a fake connector on a private session bus.

Run under dbus-run-session. With --fake-connector NAME RECORD this file is itself the
fake connector: it owns NAME, exports org.unifiedpush.Connector2 and appends every call
it gets to RECORD as a JSON line.
"""

import base64
import http.client
import json
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbus.bus
import dbus.service

HERE = os.path.dirname(os.path.abspath(__file__))
DISTRIBUTOR = os.environ.get("TAMSEL_TEST_DISTRIBUTOR", os.path.join(
    HERE, "..", "..", "tools", "test-distributor", "tamsel-test-distributor"))
APP = "com.brindaxel.tamsel"
DISTRIBUTOR_PATH = "/org/unifiedpush/Distributor"
DISTRIBUTOR_INTERFACE = "org.unifiedpush.Distributor2"
TIMEOUT_S = 15


def run_fake_connector(name, record):
    import dbus.mainloop.glib
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.StarterBus() if "DBUS_STARTER_ADDRESS" in os.environ else dbus.SessionBus()

    def write(method, args):
        line = {"method": method}
        for key, value in args.items():
            if isinstance(value, dbus.ByteArray):
                line[key] = {"ay": bytes(value).hex()}
            else:
                line[key] = str(value)
        with open(record, "a") as f:
            f.write(json.dumps(line) + "\n")

    class Connector(dbus.service.Object):
        @dbus.service.method("org.unifiedpush.Connector2", in_signature="a{sv}",
                             out_signature="a{sv}", byte_arrays=True)
        def Message(self, args):
            write("Message", args)
            return dbus.Dictionary({"id": args.get("id", "")}, signature="sv")

        @dbus.service.method("org.unifiedpush.Connector2", in_signature="a{sv}", out_signature="")
        def NewEndpoint(self, args):
            write("NewEndpoint", args)

        @dbus.service.method("org.unifiedpush.Connector2", in_signature="a{sv}", out_signature="")
        def Unregistered(self, args):
            write("Unregistered", args)

    Connector(bus, "/org/unifiedpush/Connector")
    _name = dbus.service.BusName(name, bus, do_not_queue=True)  # noqa: F841 (kept owned)
    write("ready", {})
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    loop.run()


def b64url(raw):
    return base64.urlsafe_b64encode(raw).decode().rstrip("=")


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        # A line without its newline is still being written (a long one takes
        # more than one write): it is read on a later look.
        return [json.loads(line) for line in f if line.endswith("\n") and line.strip()]


def wait_for(path, predicate, count=1):
    deadline = time.monotonic() + TIMEOUT_S
    while time.monotonic() < deadline:
        found = [line for line in read_lines(path) if predicate(line)]
        if len(found) >= count:
            return found
        time.sleep(0.02)
    raise AssertionError("timed out waiting in %s; it holds %r" % (path, read_lines(path)))


class VapidKey:
    def __init__(self):
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        self.private = ec.generate_private_key(ec.SECP256R1())
        self.public = b64url(self.private.public_key().public_bytes(
            serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint))

    def header(self, aud, exp_in=3600, k=None, alg="ES256"):
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
        head = b64url(json.dumps({"typ": "JWT", "alg": alg}).encode())
        claims = b64url(json.dumps({"aud": aud, "exp": int(time.time()) + exp_in,
                                    "sub": "mailto:test@example.invalid"}).encode())
        r, s = decode_dss_signature(self.private.sign((head + "." + claims).encode(),
                                                      ec.ECDSA(hashes.SHA256())))
        signature = b64url(r.to_bytes(32, "big") + s.to_bytes(32, "big"))
        return "vapid t=%s.%s.%s, k=%s" % (head, claims, signature, k or self.public)


class DistributorTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.record = self.path("connector.jsonl")
        self.relay_log = self.path("relay.jsonl")
        self.state = self.path("state.json")
        self.secrets = []  # what must never reach the distributor's stderr
        self.bus = dbus.SessionBus()
        self.start_connector(APP, self.record)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def start_connector(self, name, record):
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__),
                                 "--fake-connector", name, record])
        self.addCleanup(proc.wait)
        self.addCleanup(proc.terminate)
        wait_for(record, lambda line: line["method"] == "ready")

    def start_distributor(self, *extra, env=None, bus=None):
        stderr = open(self.path("distributor-%d.err" % time.monotonic_ns()), "w+")
        self.addCleanup(stderr.close)
        proc = subprocess.Popen(
            [sys.executable, DISTRIBUTOR, "--relay-log", self.relay_log, "--state", self.state,
             *extra], stdout=subprocess.PIPE, stderr=stderr, env=env)
        self.addCleanup(self.stop_distributor, proc, stderr)
        ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT_S)
        self.assertTrue(ready, "the distributor did not announce itself")
        announced = json.loads(proc.stdout.readline())
        self.assertEqual(set(announced), {"busName", "port", "pid"})
        self.assertEqual(announced["pid"], proc.pid)
        self.assertTrue(announced["busName"].startswith("org.unifiedpush.Distributor."))
        proxy = (bus or self.bus).get_object(announced["busName"], DISTRIBUTOR_PATH,
                                             introspect=False)
        self.distributor = dbus.Interface(proxy, DISTRIBUTOR_INTERFACE)
        self.port = announced["port"]
        self.proc = proc
        return proc

    def stop_distributor(self, proc, stderr):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(TIMEOUT_S), 0)
        proc.stdout.close()
        stderr.seek(0)
        log = stderr.read()
        for line in log.splitlines():
            json.loads(line)  # every line is one JSON event
        for secret in self.secrets:
            self.assertNotIn(secret, log)

    def register(self, token, vapid=None, service=APP):
        args = {"service": service, "token": token, "description": "Tamsel test"}
        if vapid:
            args["vapid"] = vapid
        self.secrets.append(token)
        return self.distributor.Register(dbus.Dictionary(args, signature="sv"))

    def endpoint_for(self, token, count=1, record=None):
        found = wait_for(record or self.record, lambda line: line["method"] == "NewEndpoint"
                         and line["token"] == token, count)
        endpoint = found[-1]["endpoint"]
        self.assertRegex(endpoint, r"^http://127\.0\.0\.1:%d/push/[A-Za-z0-9_-]{27,}$" % self.port)
        self.secrets.append(endpoint.rsplit("/", 1)[1])
        return endpoint

    def post(self, endpoint, body, headers=None, method="POST"):
        url = re.match(r"http://([^/]+)(/.*)", endpoint)
        conn = http.client.HTTPConnection(url.group(1), timeout=TIMEOUT_S)
        self.addCleanup(conn.close)
        sent = {"Content-Encoding": "aes128gcm", "TTL": "60"}
        sent.update(headers or {})
        conn.request(method, url.group(2), body=body,
                     headers={k: v for k, v in sent.items() if v is not None})
        response = conn.getresponse()
        response.read()
        return response

    def messages(self):
        return [line for line in read_lines(self.record) if line["method"] == "Message"]

    def test_register_then_relay_exact_bytes(self):
        self.start_distributor()
        answer = self.register("token-one")
        self.assertEqual(dict(answer), {"success": "REGISTRATION_SUCCEEDED"})
        endpoint = self.endpoint_for("token-one")

        # A second Register with the same token answers success and re-sends the same endpoint.
        self.assertEqual(dict(self.register("token-one")), {"success": "REGISTRATION_SUCCEEDED"})
        self.assertEqual(self.endpoint_for("token-one", count=2), endpoint)
        self.register("token-two")
        self.assertNotEqual(self.endpoint_for("token-two"), endpoint)

        for size in (1, 4096):  # the smallest and the largest push a push service must take
            with self.subTest(size=size):
                body = bytes([0, 0xFF, 0x80]) + os.urandom(size - 3) if size > 3 else b"\x00"
                response = self.post(endpoint, body, {"TTL": "3600"})
                self.assertEqual(response.status, 201)
                self.assertEqual(response.getheader("TTL"), "3600")
                location = response.getheader("Location")
                self.assertRegex(location, r"^/message/[0-9a-f-]{36}$")
                message_id = location.rsplit("/", 1)[1]
                got = wait_for(self.record, lambda line: line.get("id") == message_id)[0]
                self.assertEqual(got["token"], "token-one")
                self.assertEqual(got["message"], {"ay": body.hex()})
                relayed = wait_for(self.relay_log, lambda line: line["messageId"] == message_id)
                self.assertEqual(relayed, [{"endpoint": endpoint, "messageId": message_id,
                                            "bytes": size, "status": "delivered"}])
        self.assertEqual(len(self.messages()), 2)

    def test_refusals_reach_no_connector(self):
        self.start_distributor()
        self.register("token-refusals")
        endpoint = self.endpoint_for("token-refusals")
        unknown = "http://127.0.0.1:%d/push/%s" % (self.port, "A" * 27)
        cases = [
            ("unknown endpoint", unknown, b"x", {}, "POST", 404),
            ("not a push path", "http://127.0.0.1:%d/other" % self.port, b"x", {}, "POST", 404),
            ("too large", endpoint, b"x" * 4097, {}, "POST", 413),
            ("empty", endpoint, b"", {}, "POST", 400),
            ("no content coding", endpoint, b"x", {"Content-Encoding": None}, "POST", 415),
            ("old content coding", endpoint, b"x", {"Content-Encoding": "aesgcm"}, "POST", 415),
            ("no TTL", endpoint, b"x", {"TTL": None}, "POST", 400),
            ("negative TTL", endpoint, b"x", {"TTL": "-1"}, "POST", 400),
            ("not a method of push", endpoint, None, {}, "GET", 405),
        ]
        for name, url, body, headers, method, status in cases:
            with self.subTest(name):
                self.assertEqual(self.post(url, body, headers, method).status, status)
        # Still serving, and nothing refused was relayed.
        self.assertEqual(self.post(endpoint, b"fine").status, 201)
        wait_for(self.record, lambda line: line["method"] == "Message")
        self.assertEqual([m["message"] for m in self.messages()], [{"ay": b"fine".hex()}])

    def test_vapid_restricted_endpoint(self):
        self.start_distributor()
        key, other = VapidKey(), VapidKey()
        self.secrets.append(key.public)
        self.register("token-vapid", vapid=key.public)
        endpoint = self.endpoint_for("token-vapid")
        origin = "http://127.0.0.1:%d" % self.port
        cases = [
            ("absent", None, 401),
            ("other scheme", "Bearer abc", 401),
            ("other key altogether", other.header(origin), 403),
            ("registered key, other signer", other.header(origin, k=key.public), 403),
            ("expired", key.header(origin, exp_in=-60), 403),
            ("expiry beyond a day", key.header(origin, exp_in=48 * 3600), 403),
            ("wrong audience", key.header("http://127.0.0.1:1"), 403),
            ("not ES256", key.header(origin, alg="HS256"), 403),
            ("garbage token", "vapid t=a.b.c, k=" + key.public, 403),
        ]
        for name, authorization, status in cases:
            with self.subTest(name):
                response = self.post(endpoint, b"x", {"Authorization": authorization})
                self.assertEqual(response.status, status)
        self.assertEqual(self.messages(), [])
        self.assertEqual(self.post(endpoint, b"signed",
                                   {"Authorization": key.header(origin)}).status, 201)
        wait_for(self.record, lambda line: line["method"] == "Message")

    def test_register_refuses_bad_arguments(self):
        self.start_distributor()
        cases = [
            ("no token", {"service": APP}),
            ("empty token", {"service": APP, "token": ""}),
            ("token over 100 bytes", {"service": APP, "token": "t" * 101}),
            ("token not a string", {"service": APP, "token": dbus.Int32(7)}),
            ("no service", {"token": "t"}),
            ("service not a bus name", {"service": "not a name", "token": "t"}),
            ("vapid not a P-256 point", {"service": APP, "token": "t", "vapid": "AAAA"}),
        ]
        for name, args in cases:
            with self.subTest(name):
                with self.assertRaises(dbus.exceptions.DBusException) as raised:
                    self.distributor.Register(dbus.Dictionary(args, signature="sv"))
                self.assertEqual(raised.exception.get_dbus_name(),
                                 "org.freedesktop.DBus.Error.InvalidArgs")
        # A token already held by another application is not handed over.
        self.register("token-held")
        self.endpoint_for("token-held")
        self.assertEqual(dict(self.register("token-held", service="org.example.Other")),
                         {"success": "REGISTRATION_FAILED", "reason": "INTERNAL_ERROR"})
        self.assertEqual(len([line for line in read_lines(self.record)
                              if line["method"] == "NewEndpoint"]), 1)

    def test_unregister_confirms_and_closes_the_endpoint(self):
        self.start_distributor()
        self.register("token-gone")
        endpoint = self.endpoint_for("token-gone")
        self.distributor.Unregister(dbus.Dictionary({"token": "token-gone"}, signature="sv"))
        wait_for(self.record, lambda line: line["method"] == "Unregistered"
                 and line["token"] == "token-gone")
        self.assertEqual(self.post(endpoint, b"x").status, 404)

    def test_state_keeps_registrations_across_restarts(self):
        first = self.start_distributor()
        self.register("token-kept")
        endpoint = self.endpoint_for("token-kept")
        port = self.port
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(TIMEOUT_S), 0)
        self.assertEqual(os.stat(self.state).st_mode & 0o777, 0o600)

        # Same port: the endpoint still works and no new one is announced.
        second = self.start_distributor("--port", str(port))
        self.assertEqual(self.post(endpoint, b"after restart").status, 201)
        wait_for(self.record, lambda line: line["method"] == "Message")
        second.send_signal(signal.SIGTERM)
        self.assertEqual(second.wait(TIMEOUT_S), 0)

        # Another port: the connector is told its new endpoint.
        self.start_distributor()
        if self.port != port:
            moved = self.endpoint_for("token-kept", count=2)
            self.assertNotEqual(moved, endpoint)
            self.assertEqual(self.post(moved, b"moved").status, 201)
            wait_for(self.record, lambda line: line["method"] == "Message", count=2)

    def test_bus_activates_the_connector_and_failures_are_logged(self):
        # A private bus that can start the fake connector on demand.
        bus_dir = self.path("bus")
        os.makedirs(os.path.join(bus_dir, "services"))
        record = self.path("activated.jsonl")
        with open(os.path.join(bus_dir, "services", APP + ".service"), "w") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=%s %s --fake-connector %s %s\n" % (
                APP, sys.executable, os.path.abspath(__file__), APP, record))
        config = os.path.join(bus_dir, "bus.conf")
        with open(config, "w") as f:
            f.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:dir=%s</listen>
<servicedir>%s/services</servicedir>
<policy context="default">
  <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy>
</busconfig>""" % (bus_dir, bus_dir))
        daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork",
                                   "--print-address=1"], stdout=subprocess.PIPE)
        self.addCleanup(daemon.stdout.close)
        self.addCleanup(daemon.wait)
        self.addCleanup(daemon.terminate)
        address = daemon.stdout.readline().decode().strip()
        bus = dbus.bus.BusConnection(address)
        self.addCleanup(bus.close)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
        self.start_distributor(env=env, bus=bus)

        self.register("token-activated")
        endpoint = self.endpoint_for("token-activated", record=record)
        self.assertEqual(self.post(endpoint, b"wake").status, 201)
        wait_for(record, lambda line: line["method"] == "Message" and line["token"] == "token-activated")

        # No service file: the push is accepted, and the failure is logged, not hidden.
        self.register("token-nobody", service="org.example.NotInstalled")
        with open(self.state) as f:
            lost = json.load(f)["registrations"]["token-nobody"]["endpoint"]
        self.assertEqual(self.post(lost, b"lost").status, 201)
        failed = wait_for(self.relay_log, lambda line: line["status"] == "failed")[0]
        self.assertEqual(failed["error"], "org.freedesktop.DBus.Error.ServiceUnknown")


class CommandLineTest(unittest.TestCase):
    def test_help_version_and_bad_options(self):
        for args, code in ((["--help"], 0), (["--version"], 0), (["--name", "no spaces"], 2),
                           (["--port", "70000"], 2)):
            with self.subTest(args=args):
                done = subprocess.run([sys.executable, DISTRIBUTOR, *args], capture_output=True,
                                      timeout=TIMEOUT_S)
                self.assertEqual(done.returncode, code)

    def test_taken_bus_name_is_an_error(self):
        bus = dbus.SessionBus()
        name = dbus.service.BusName("org.unifiedpush.Distributor.taken", bus)  # noqa: F841
        done = subprocess.run([sys.executable, DISTRIBUTOR, "--name", "taken"],
                              capture_output=True, timeout=TIMEOUT_S)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, b"")
        self.assertEqual(json.loads(done.stderr)["event"], "error")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--fake-connector":
        run_fake_connector(sys.argv[2], sys.argv[3])
    else:
        unittest.main(verbosity=2)
