#!/usr/bin/env bash
# Installs both distributions into ./.venv, kq5316 (the class and its demonstration, kq5316-demo)
# and kq5316x (which carries the simulated instrument, kq5316-sim), and runs the demonstration
# against the simulated instrument. The demonstration always talks to /dev/cu.PL2303G-USBtoUART2110, so the
# simulator links that path to its pseudo-terminal for the length of the run (this needs write
# access to /dev, that is root).
set -euo pipefail
cd "$(dirname "$0")/.."

port=/dev/cu.PL2303G-USBtoUART2110
if [ ! -w "$(dirname "$port")" ]; then
    echo "first-run: cannot create $port here; run this as root (sudo bash $0)" >&2
    exit 1
fi
if [ -e "$port" ] && [ ! -L "$port" ]; then
    echo "first-run: $port exists and is not a link: a real instrument? Not touching it." >&2
    exit 1
fi

# open() asks lsof whether the port is free.
if ! command -v lsof >/dev/null 2>&1; then
    echo "== Installing lsof"
    apt-get update -qq && apt-get install -y -qq lsof
fi

# An install made from these very sources is reused: the stamp is a digest of everything the two
# distributions are built from, written once an install has succeeded.
sources_digest() {
    find pyproject.toml CMakeLists.txt cmake src stubs kq5316x-dist -name __pycache__ -prune -o \
        -path kq5316x-dist/build -prune -o -type f -print0 |
        LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}
stamp=.venv/.first-run-sources
digest=$(sources_digest)
if [ -x .venv/bin/kq5316-demo ] && [ -x .venv/bin/kq5316-sim ] &&
    [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ]; then
    echo "== kq5316 and kq5316x in .venv are up to date with these sources: reusing them"
else
    echo "== Installing kq5316 and kq5316x into .venv"
    [ -x .venv/bin/python ] || python3.11 -m venv .venv
    rm -f "$stamp"
    .venv/bin/python -m pip install -q --disable-pip-version-check . ./kq5316x-dist
    echo "$digest" >"$stamp"
fi

log=$(mktemp)
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -f "$log"' EXIT
.venv/bin/kq5316-sim --link "$port" --log "$log" </dev/null >/dev/null &
sim=$!
for _ in $(seq 50); do
    grep -q '"ready"' "$log" 2>/dev/null && break
    sleep 0.1
done

echo "== Running kq5316-demo against the simulated instrument at $port (about 12 s)"
status=0
.venv/bin/kq5316-demo || status=$?

echo "== Frames the instrument received, and its replies"
.venv/bin/python - "$log" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    event = json.loads(line)
    if event.get("event") == "frame":
        print(f"  {event['command']:<20} ch {event.get('channel', '?'):<3} sent {event['rx']:<27} reply {event['tx']}")
PY
echo "== kq5316-demo exited with status $status"
exit "$status"
