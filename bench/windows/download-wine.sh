#!/usr/bin/env bash
# Download speed of the Windows build under Wine against the Linux build's: 10,000 records of one
# terminal over tcp:// from the simulator, RUNS downloads each (the compiled client's --download
# mode, through the IMachine vtable), medians printed in records per second. Twice: with the
# simulator pacing its answers to the line's speed (115200 baud; the line's limit is what both
# should reach) and without pacing (what each build manages on its own).
#
#   bash bench/windows/download-wine.sh [LINUX_BUILD_DIR] [RUNS]     (default build/, 5)
#
# Needs build-win-x86_64 and the Linux build (both as scripts/windows-stage.sh leaves them). Every
# wait is bounded (timeout); the work folder and Wine's server go at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."
linux_build=${1:-build}
runs=${2:-5}
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
for f in "$wine64" build-win-x86_64/VANTO.dll build-win-x86_64/vanto-client-test.exe "$linux_build/terminal/sim/vanto-sim"; do
  [ -e "$f" ] || { echo "download bench: $f is missing (run scripts/windows-stage.sh first)" >&2; exit 1; }
done
client=$(find "$linux_build/tests/windows" -name vanto-client-test -type f | head -n 1)

work=$(mktemp -d /tmp/vanto-download-bench.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  timeout 30 "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "download bench: $*" >&2; exit 1; }
w() { timeout 300 "$wine64" "$@"; }

cat >"$work/site.seed" <<'EOF'
port 1
  terminal 1
port 2
  terminal 3
    records 10000 1001 50 2026 1 1 0 0
EOF

# Starts the simulator (tcp://; extra arguments passed on) and sets `tcp` to port 2's address.
start_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  timeout 1800 "$linux_build/terminal/sim/vanto-sim" --seed "$work/site.seed" --tcp "$@" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 300); do grep -q '^ready$' "$work/sim.out" && break; sleep 0.1; done
  tcp=$(sed -n 's/^port 2: //p' "$work/sim.out")
  [ -n "$tcp" ] || fail "the simulator did not get ready: $(cat "$work/sim.out")"
}

export VANTO_REGISTRY=$work/linux-registry
for module in Corvel FK303ID VANTO; do
  "$linux_build/component/vanto-regsvr" -s "$linux_build/component/$module.so" >/dev/null || fail "registering $module.so failed"
done
w wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed"
w reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
mkdir -p "$WINEPREFIX/drive_c/vanto"
cp build-win-x86_64/{VANTO.dll,Corvel.dll,FK303ID.ocx,VantoHost.dll,vanto-client-test.exe} "$WINEPREFIX/drive_c/vanto/"
for module in Corvel.dll FK303ID.ocx VANTO.dll VantoHost.dll; do
  w regsvr32 /s "C:\\vanto\\$module" || fail "regsvr32 $module failed"
done

median() { sed -n 's/^median \([0-9]*\) records.*/\1/p' "$1"; }
for pacing in paced unpaced; do
  args=()
  [ "$pacing" = unpaced ] && args=(--no-pace)
  start_sim "${args[@]}"
  VANTO_FK_PORT_2=$tcp VANTO_FK_TIMEOUT_MS=5000 timeout 1200 "$client" --download 2 3 "$runs" >"$work/linux-$pacing.out" 2>&1 ||
    { cat "$work/linux-$pacing.out"; fail "the Linux download failed ($pacing)"; }
  w reg add 'HKCU\Software\VANTO\FK303ID' /v VANTO_FK_PORT_2 /d "$tcp" /f >/dev/null
  w reg add 'HKCU\Software\VANTO\FK303ID' /v VANTO_FK_TIMEOUT_MS /t REG_DWORD /d 5000 /f >/dev/null
  timeout 1200 "$wine64" 'C:\vanto\vanto-client-test.exe' --download 2 3 "$runs" >"$work/wine-$pacing.raw" 2>&1 ||
    { cat "$work/wine-$pacing.raw"; fail "the download under Wine failed ($pacing)"; }
  tr -d '\r' <"$work/wine-$pacing.raw" >"$work/wine-$pacing.out"
  printf '%-9s Linux %7s records/s   Wine %7s records/s   (median of %s downloads of 10,000 records)\n' \
    "$pacing" "$(median "$work/linux-$pacing.out")" "$(median "$work/wine-$pacing.out")" "$runs"
done
