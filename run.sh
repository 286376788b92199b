#!/usr/bin/env bash
# ./run.sh [URL]: installs what is missing, builds Corvane (Release) and runs the
# main job: `corvane get URL`, which starts the service corvaned when needed and
# follows the download until it ends. Without a URL, a demo: a small HTTP server
# on 127.0.0.1 serves a generated file, corvane downloads it into the download
# folder, the saved file's SHA-256 is compared with the served one's, and every
# process the demo started is stopped again (the downloaded file stays).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
scripts/build-release.sh

client=build/release/bin/corvane
if [ ! -x "$client" ] || [ ! -x build/release/bin/corvaned ]; then
  echo "run.sh: build/release/bin has no corvane or corvaned; see the build output above." >&2
  exit 1
fi

if [ $# -gt 0 ]; then
  exec "$client" get "$@"
fi

# --- the demo ---
demo_file=demo.bin
demo_mib=24
workdir=$(mktemp -d "${TMPDIR:-/tmp}/corvane-demo.XXXXXX")
server_pid=""
service_started=0

# Whether this user's corvaned answers on its socket (the object folder of
# base/platform/locations.h), without starting one as every corvane command would.
service_listening() {
  local socket="${XDG_RUNTIME_DIR:-/tmp}/VELMO_TOBRIC_BASE-$(id -u)/{10E19CD9-ECF7-4524-A80A-E15C75B5095D}"
  [ -S "$socket" ] || return 1
  python3 - "$socket" <<'EOF' 2>/dev/null
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(2)
s.connect(sys.argv[1])
EOF
}

cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ "$service_started" = 1 ]; then
    "$client" stop || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! service_listening; then service_started=1; fi

mkdir -p "$workdir/www"
python3 scripts/demo_server.py --folder "$workdir/www" --port-file "$workdir/port" \
  --make "$demo_file:$demo_mib" 2>"$workdir/server.log" &
server_pid=$!
for _ in $(seq 1 300); do
  [ -s "$workdir/port" ] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "run.sh: the demo HTTP server did not start:" >&2
    cat "$workdir/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -s "$workdir/port" ]; then
  echo "run.sh: the demo HTTP server did not start within 30 s" >&2
  exit 1
fi
url="http://127.0.0.1:$(cat "$workdir/port")/$demo_file"

echo "run.sh: demo: serving a $demo_mib MiB file at $url (pid $server_pid)"
echo "run.sh: demo: $client get $url"
status=0
"$client" get "$url" 2>"$workdir/get.err" || status=$?
cat "$workdir/get.err" >&2

if [ "$status" = 0 ]; then
  # Compare the downloaded file with the served one.
  "$client" list --json >"$workdir/list.json"
  python3 - "$workdir/www/$demo_file" "$url" "$workdir/list.json" <<'EOF'
import hashlib, json, os, sys
served, url, listed = sys.argv[1], sys.argv[2], sys.argv[3]
with open(listed) as f:
    # A download that ended within six seconds of its start is still shown as
    # running until they have passed; its finish time comes with its final name.
    packages = [p for p in json.load(f)
                if p["uri"] == url and p["complete_time"] != 0 and p["state"] != 7]
def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()
if not packages:
    sys.exit("run.sh: demo: the finished download is not in the list")
saved = os.path.join(packages[0]["path"], packages[0]["name"])
if not os.path.isfile(saved):
    sys.exit("run.sh: demo: the finished download has no file at %s" % saved)
served_digest, saved_digest = digest(served), digest(saved)
print("run.sh: demo: saved as %s (%d bytes, served %d bytes)"
      % (saved, os.path.getsize(saved), os.path.getsize(served)))
print("run.sh: demo: SHA-256 served: %s" % served_digest)
print("run.sh: demo: SHA-256 saved:  %s" % saved_digest)
if served_digest != saved_digest:
    sys.exit("run.sh: demo: FAILED: the saved file differs from the served one")
print("run.sh: demo: success: the saved file is identical to the served one")
EOF
  exit $?
fi

echo "run.sh: demo: corvane get ended with status $status; the download ended in error (above)."
# The failed entry would stay in the user's list; the demo leaves nothing behind.
id=$("$client" list --json | python3 -c 'import json, sys
print(next((p["id"] for p in json.load(sys.stdin) if p["uri"] == sys.argv[1]), ""))' "$url") || id=""
if [ -n "$id" ]; then "$client" rm --files "$id" >/dev/null || true; fi
exit "$status"
