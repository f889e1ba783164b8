#!/usr/bin/env bash
# The console's screenshots for the README's "Using the console": a simulated site synced into a
# database of its own, its people named, an HR user, `vanto serve` on a free port of this machine,
# then headless Chromium signs in as that user and photographs the pages in English and Chinese
# (scripts/screenshots.py). Everything but the pictures lives in a temporary folder, removed at
# the end.
#
#   bash scripts/screenshots.sh [FOLDER]      (default: docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshots}")
bash scripts/setup.sh build >/dev/null
vanto=$PWD/build/cli/vanto

work=$(mktemp -d /tmp/vanto-screenshots.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits (at most 30 s) for a line matching $2 in the file $1 and prints it.
await() {
  for _ in $(seq 300); do
    if line=$(grep -m1 -E "$2" "$1"); then echo "$line"; return 0; fi
    sleep 0.1
  done
  echo "screenshots: gave up waiting for '$2' in $1:" >&2
  cat "$1" >&2
  return 1
}

timeout 900 "$vanto" sim --link-dir "$work" >"$work/sim.log" 2>&1 &
pids+=($!)
await "$work/sim.log" '^ready' >/dev/null
cat >"$work/site.toml" <<END
database = "vanto.db"
[line]
probe_timeout_ms = 250
answer_timeout_ms = 2000
[[port]]
number = 1
device = "$work/port1"
terminals = [1, 2]
[[port]]
number = 2
device = "$work/port2"
terminals = [3]
END
export VANTO_SITE=$work/site.toml
cat >"$work/people.csv" <<'END'
person,name,department
101,Ann Lee,Stores
102,Bo Chen,Office
103,Chen Wei,Stores
104,李娜,人事部
105,Omar Haddad,Workshop
106,王芳,Workshop
107,Grace Park,Office
108,张伟,Stores
109,Lena Vogel,Workshop
110,刘洋,Office
111,Sam Okafor,Stores
112,陈静,人事部
END
"$vanto" sync >/dev/null
"$vanto" people import "$work/people.csv" >/dev/null
# A working day of 07:00-19:00 (an hour makes a full day), so the demo's days show late arrivals and
# missing swipes on To review and a person's month.
"$vanto" shift add long --start 07:00 --end 19:00 --full-day 60 --days mon-fri >/dev/null
"$vanto" shift assign long --people 101-112 --from 2026-11-01 >/dev/null
"$vanto" backup --port 1 --terminal 1 --person 101 >/dev/null
"$vanto" copy --from-port 1 --from-terminal 2 --to-port 2 --to-terminal 3 --person 109 >/dev/null
password=$(head -c 18 /dev/urandom | base64)
printf '%s\n' "$password" | "$vanto" user add hanna --role hr >/dev/null

timeout 900 "$vanto" serve --listen 127.0.0.1:0 >"$work/serve.log" 2>&1 &
pids+=($!)
url=$(await "$work/serve.log" '^listening on ' | awk '{print $3}')
printf '%s\n' "$password" | /usr/bin/python3 scripts/screenshots.py "$url" hanna "$out"
