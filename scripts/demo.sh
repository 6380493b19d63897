#!/usr/bin/env bash
# The main job: a full push round against the bundled local delivery service.
#
# Builds everything, starts tamsel-delivery-service on loopback with a fresh CA,
# registers a receiver and stores its credential in the file-backed keychain,
# queues a realistic set of changes, writes the extension's Info.plist, sends
# one wake-up through the host and shows what the user would now see. A second
# wake-up then shows that nothing is presented twice.
# Extra host flags can be passed in HOST_FLAGS (e.g. HOST_FLAGS="--notifications desktop").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=$(scripts/build.sh -DTAMSEL_TESTS=OFF -DTAMSEL_BENCH=OFF | tail -n 1)
host="$dir/tamsel-notification-service"
service="$dir/tamsel-delivery-service"

work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# 1. The delivery service, on a free port, with a CA of its own.
mkfifo "$work/service.out"
"$service" --port 0 --cert-dir "$work/tls" > "$work/service.out" 2> "$work/service.err" &
service_pid=$!
exec 3< "$work/service.out"
read -r -t 30 listening <&3 || { echo "demo: the delivery service did not start" >&2; cat "$work/service.err" >&2; exit 1; }
field() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
url=$(field "$listening" url); ca=$(field "$listening" caFile); admin=$(field "$listening" adminToken)
api() { curl -sS --fail-with-body --cacert "$ca" -H "Authorization: Bearer $admin" -H 'Content-Type: application/json' "$@"; }

# 2. A receiver; its credential goes where the main application would put it.
credential=$(api -X POST "$url/admin/receivers" -d '{}')
receiver=$(field "$credential" receiverID)
mkdir -p "$work/bundle" "$work/root/containers/group.com.brindaxel.tamsel"
cat > "$work/bundle/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>
  <key>TAMSEL_API_BASE_URL</key><string>$url</string>
  <key>TAMSEL_NOTIFICATION_KEYCHAIN_GROUP</key><string>group.com.brindaxel.tamsel.keychain</string>
  <key>TAMSEL_NOTIFICATION_APP_GROUP</key><string>group.com.brindaxel.tamsel</string>
</dict></plist>
PLIST
printf '%s' "$credential" | "$host" keychain-store --bundle "$work/bundle" --platform-root "$work/root"

# 3. What happened while the device slept: three conversations, a named sender,
#    a sender whose name looks like a phone number, a replacement, a withdrawal, a badge.
changes=$(python3 - <<'PY'
import json
family, work, support = "a1"*32, "b2"*32, "c3"*32
sender = lambda n, h: {"schema": "notification_sender.v1", "canonicalId": "tamsel_sender_" + h*32, "displayName": n}
def available(nid, rev, title, body, group, audible=True, who=None, kind="communication"):
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
api -X POST "$url/admin/receivers/$receiver/changes" -d "$changes" > /dev/null
api -X POST "$url/admin/receivers/$receiver/badge" -d '{"unreadCount": 4}' > /dev/null

# 4. The wake-up for the family conversation.
wakeup() {
  printf '{"identifier":"%s","content":{"title":"Tamsel","body":"New activity","userInfo":{"tamsel":{"version":"notification-wakeup.v2","groupKey":"%s"}}}}\n' "$1" "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1"
}
# shellcheck disable=SC2086
wakeup push-1 | "$host" --bundle "$work/bundle" --platform-root "$work/root" --ca-file "$ca" \
  --time-budget 25 ${HOST_FLAGS:-} > "$work/push-1.out" 2> "$work/push-1.err"

show() {
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
out, err, center = sys.argv[1:4]
events = [json.loads(l)["message"] for l in open(err) if l.strip().startswith("{") and '"message"' in l]
print("  log:      " + ", ".join(events))
for line in open(out):
    answer = json.loads(line)
    c = answer["content"]
    kind = "built for this push" if "tamselNotificationId" in c.get("userInfo", {}) else "the push's own content (fallback)"
    print(f"  handed back for {answer['request']}: {kind}")
    print(f"    title={c.get('title')!r} body={c.get('body')!r} sound={c.get('sound', 'none')}"
          + (f" sender={c['communication']['senderDisplayName']!r}" if "communication" in c else ""))
try:
    state = json.load(open(center))
except FileNotFoundError:
    state = {"delivered": [], "pending": [], "badge": None}
print(f"  notification centre: {len(state.get('delivered', []))} delivered, {len(state.get('pending', []))} pending, badge {state.get('badge')}")
rows = [("conversation", "title", "body", "sound", "revision", "sender")]
for d in state.get("delivered", []):
    c = d["content"]; u = c.get("userInfo", {})
    rows.append((u.get("tamselGroupKey", "?")[:8] + "…", c.get("title", ""), c.get("body", ""), c.get("sound", "none"),
                 u.get("tamselNotificationRevision", "?"), c.get("communication", {}).get("senderDisplayName", "-")))
widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
for i, r in enumerate(rows):
    print("    " + "  ".join(str(v).ljust(w) for v, w in zip(r, widths)))
    if i == 0: print("    " + "  ".join("-" * w for w in widths))
PY
}
# What the centre holds: the file-backed one, or the desktop centre's registry.
center="$work/root/notification-center.json"
case " ${HOST_FLAGS:-} " in *" --notifications desktop "*) center="$work/root/desktop-notifications.json" ;; esac
echo "== first wake-up (family conversation)"
show "$work/push-1.out" "$work/push-1.err" "$center"

# 5. The same wake-up again: everything was acknowledged and recorded, nothing repeats.
# shellcheck disable=SC2086
wakeup push-2 | "$host" --bundle "$work/bundle" --platform-root "$work/root" --ca-file "$ca" \
  --time-budget 25 ${HOST_FLAGS:-} > "$work/push-2.out" 2> "$work/push-2.err"
echo "== second wake-up (nothing new)"
show "$work/push-2.out" "$work/push-2.err" "$center"
