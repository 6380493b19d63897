#!/usr/bin/env bash
# The main job: a full push round, the way it travels on a Linux desktop.
#
#   tamsel-delivery-service --Web Push--> test distributor --D-Bus--> tamsel-push-connector
#     (started by D-Bus activation) --> tamsel-notification-service, one process per push
#     --> the notification centre
#
# Builds the programs, starts a private session bus whose service directory can
# start the connector, the delivery service on loopback with a fresh CA and the
# test distributor; registers the connector with the distributor and hands its
# Web Push subscription to the service; then queues what happened while the
# device slept. The service sends one encrypted wake-up, and everything after
# that happens by itself. A second round queues one more message.
# Extra flags for the connector and the extension can be passed in HOST_FLAGS
# (e.g. HOST_FLAGS="--notifications desktop").
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD

if [ -z "${TAMSEL_DEMO_WORK:-}" ]; then
  scripts/setup.sh demo
  echo "demo: building (the first build takes a few minutes)" >&2
  # The main job needs no test suite; a build dir that has them keeps them, so
  # that running the demo between test runs rebuilds nothing.
  extra=(-DTAMSEL_TESTS=OFF -DTAMSEL_BENCH=OFF)
  if grep -qs '^TAMSEL_TESTS:BOOL=ON' build/CMakeCache.txt; then extra=(); fi
  dir=$(scripts/build.sh "${extra[@]}" | tail -n 1)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The connector is started by the session bus from a service file of ours: on
  # a private bus made here, or (TAMSEL_DEMO_SERVICES, set by the screenshot
  # script) on the caller's bus, whose service directory that is.
  services=${TAMSEL_DEMO_SERVICES:-$work/services}
  mkdir -p "$services" "$work/bundle" "$work/root/containers/group.com.brindaxel.tamsel"
  exec_line="$root_dir/$dir/tamsel-push-connector serve --bundle $work/bundle --platform-root $work/root"
  exec_line+=" --ca-file $work/tls/ca.pem --idle-exit 5${HOST_FLAGS:+ $HOST_FLAGS}"
  printf '[D-BUS Service]\nName=com.brindaxel.tamsel\nExec=%s\n' "$exec_line" > "$services/com.brindaxel.tamsel.service"
  bus=()
  if [ -z "${TAMSEL_DEMO_SERVICES:-}" ]; then
    cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <servicedir>$services</servicedir>
</busconfig>
CONF
    bus=(dbus-run-session --config-file "$work/bus.conf" --)
  fi
  # Whatever the bus-started connector logs goes to a file, not over the demo's output.
  status=0
  TAMSEL_DEMO_WORK=$work TAMSEL_DEMO_BUILD=$dir "${bus[@]}" "$0" "$@" \
    2> >(tee -a "$work/bus.err" | grep -v -e '^{' -e '^dbus-daemon\[' >&2) || status=$?
  exit "$status"
fi

work=$TAMSEL_DEMO_WORK
dir=$TAMSEL_DEMO_BUILD
host="$dir/tamsel-notification-service"
connector="$dir/tamsel-push-connector"
service="$dir/tamsel-delivery-service"
distributor=tools/test-distributor/tamsel-test-distributor
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
trap 'exit 130' INT TERM
field() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
first_line() {  # first_line FILE SECONDS: waits for a program's first stdout line
  for _ in $(seq $(($2 * 10))); do
    if [ -s "$1" ]; then head -n 1 "$1"; return 0; fi
    sleep 0.1
  done
  echo "demo: no start line in $1" >&2; return 1
}

# 1. The delivery service, on a free port, with a CA of its own.
"$service" --port 0 --cert-dir "$work/tls" > "$work/service.out" 2> "$work/service.err" &
pids+=($!)
listening=$(first_line "$work/service.out" 30)
url=$(field "$listening" url); ca=$(field "$listening" caFile); admin=$(field "$listening" adminToken)
api() { curl -sS --fail-with-body --cacert "$ca" -H "Authorization: Bearer $admin" -H 'Content-Type: application/json' "$@"; }

# 2. The push distributor on the session bus (the test one, standing in for the desktop's).
/usr/bin/python3 "$distributor" --relay-log "$work/relayed.jsonl" > "$work/distributor.out" 2> "$work/distributor.err" &
pids+=($!)
first_line "$work/distributor.out" 30 > /dev/null

# 3. The extension's bundle, a receiver, and its credential where the main application puts it.
cat > "$work/bundle/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>
  <key>TAMSEL_API_BASE_URL</key><string>$url</string>
  <key>TAMSEL_NOTIFICATION_KEYCHAIN_GROUP</key><string>group.com.brindaxel.tamsel.keychain</string>
  <key>TAMSEL_NOTIFICATION_APP_GROUP</key><string>group.com.brindaxel.tamsel</string>
</dict></plist>
PLIST
credential=$(api -X POST "$url/admin/receivers" -d '{}')
receiver=$(field "$credential" receiverID)
printf '%s' "$credential" | "$host" keychain-store --bundle "$work/bundle" --platform-root "$work/root"

# 4. The connector registers with the distributor; its subscription goes to the service.
# shellcheck disable=SC2086
subscription=$("$connector" register --bundle "$work/bundle" --platform-root "$work/root" ${HOST_FLAGS:-})
echo "== registered with $(field "$subscription" distributor)"
echo "  endpoint $(field "$subscription" endpoint)"
api -X PUT "$url/admin/receivers/$receiver/push-subscription" \
  -d "$(python3 -c 'import json,sys; s=json.loads(sys.argv[1]); print(json.dumps({k: s[k] for k in ("endpoint","p256dh","auth")}))' "$subscription")" > /dev/null

# 5. What happened while the device slept: three conversations, a named sender,
#    a sender whose name looks like a phone number, a replacement, a withdrawal, a badge.
#    Queuing the changes makes the service send one wake-up naming the family conversation.
changes=$(python3 - <<'PY'
import json
family, work, support = "a1"*32, "b2"*32, "c3"*32
sender = lambda n, h: {"schema": "notification_sender.v1", "canonicalId": "tamsel_sender_" + h*32, "displayName": n}
def available(nid, rev, title, body, group, audible=True, who=None):
    target = {"kind": "communication", "communicationId": "comm_" + nid, "channelThreadId": "thread_" + group[:12]}
    p = {"title": title, "body": body, "target": target,
         "attention": {"policyVersion": "notification-attention.v1", "groupKey": group, "audible": audible}}
    if who is not None: p["sender"] = who
    return {"notificationId": nid, "notificationRevision": str(rev), "state": "available", "presentation": p}
print(json.dumps([
    available("msg_family_00000001", 1, "Family", "Dinner at eight?", family, who=sender("Ana Souza", "a5")),
    available("msg_work_0000000001", 1, "Design review", "Slides are up", work),
    available("msg_support_0000001", 1, "Support", "Your ticket was updated", support,
              who=sender("Call +1 (555) 010-0199 now", "c7")),
    available("msg_work_0000000002", 1, "Design review", "Moved to 3pm", work, audible=False),
    available("msg_work_0000000001", 2, "Design review", "Slides are up (v2)", work),
    {"notificationId": "msg_work_0000000002", "notificationRevision": "2", "state": "withdrawn", "presentation": None},
]))
PY
)
api -X POST "$url/admin/receivers/$receiver/badge" -d '{"unreadCount": 4}' > /dev/null
api -X POST "$url/admin/receivers/$receiver/changes" -d "$changes" > /dev/null

# What the centre holds: the file-backed one, or the desktop centre's registry.
center="$work/root/notification-center.json"
case " ${HOST_FLAGS:-} " in *" --notifications desktop "*) center="$work/root/desktop-notifications.json" ;; esac

# Waits until the push relayed as number $1 has been shown under its message id.
await_push() {
  python3 - "$work/relayed.jsonl" "$center" "$1" <<'PY'
import json, sys, time
relayed, center, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
deadline = time.time() + 60
while time.time() < deadline:
    try:
        pushes = [json.loads(l) for l in open(relayed) if l.strip()]
        if len(pushes) >= n:
            wanted = pushes[n - 1]["messageId"]
            state = json.load(open(center))
            ids = [d.get("identifier") or d.get("request", {}).get("identifier") for d in state.get("delivered", [])]
            if wanted in ids or wanted in json.dumps(state):
                print(wanted); sys.exit(0)
    except (FileNotFoundError, json.JSONDecodeError, KeyError):
        pass
    time.sleep(0.1)
sys.exit("demo: push %d was not shown within 60 s" % n)
PY
}

show() {
  python3 - "$center" "$1" "$work/bus.err" <<'PY'
import json, sys
center, push, logfile = sys.argv[1:4]
state = json.load(open(center))
events = []
for line in open(logfile):
    try: e = json.loads(line)
    except json.JSONDecodeError: continue
    if isinstance(e, dict) and "message" in e: events.append(e["message"])
print("  extension log: " + ", ".join(dict.fromkeys(events)))
delivered = state.get("delivered", [])
print(f"  notification centre: {len(delivered)} delivered, {len(state.get('pending', []))} pending, badge {state.get('badge')}")
rows = [("", "conversation", "title", "body", "sound", "revision", "sender")]
for d in delivered:
    c = d["content"]; u = c.get("userInfo", {})
    mark = "push" if d.get("identifier") == push else ""
    rows.append((mark, u.get("tamselGroupKey", "?")[:8] + "…", c.get("title", ""), c.get("body", ""), c.get("sound", "none"),
                 u.get("tamselNotificationRevision", "?"), c.get("communication", {}).get("senderDisplayName", "-")))
widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
for i, r in enumerate(rows):
    print("    " + "  ".join(str(v).ljust(w) for v, w in zip(r, widths)))
    if i == 0: print("    " + "  ".join("-" * w for w in widths))
print("  ('push' marks the content the extension handed back for the wake-up itself)")
PY
}

push=$(await_push 1)
echo "== first wake-up: the service pushed, the distributor relayed, D-Bus started the connector"
show "$push"

# 6. One more message in the family conversation: one more wake-up, nothing shown twice.
more=$(python3 - <<'PY'
import json
family = "a1"*32
target = {"kind": "communication", "communicationId": "comm_msg_family_00000002", "channelThreadId": "thread_" + family[:12]}
print(json.dumps([{"notificationId": "msg_family_00000002", "notificationRevision": "1", "state": "available",
  "presentation": {"title": "Family", "body": "Bring dessert", "target": target,
    "sender": {"schema": "notification_sender.v1", "canonicalId": "tamsel_sender_" + "a5"*32, "displayName": "Ana Souza"},
    "attention": {"policyVersion": "notification-attention.v1", "groupKey": family, "audible": True}}}]))
PY
)
api -X POST "$url/admin/receivers/$receiver/changes" -d "$more" > /dev/null
push=$(await_push 2)
echo "== second wake-up: one new message"
show "$push"
echo "== the service's Web Push deliveries"
api "$url/admin/receivers/$receiver/push-deliveries" | python3 -c '
import json, sys
for d in json.load(sys.stdin)["deliveries"]:
    print("  status %s, location %s, conversation %s…" % (d["status"], d["location"], d["groupKey"][:8]))'
