#!/usr/bin/env bash
# kassiro.exe's benchmark under Wine, on a private X server with icewm as the tray host:
#   - time from the start of kassiro.exe to its icon docked in the tray (several runs);
#   - CPU while idle with the status window open, refreshing once a second with 99 ECRs
#     listed (a client holds a set on each of ECRs 1..99; ecrsim plays ECR 1 at line
#     pace on COM1, the other 98 stay silent), as a share of one core over the wall time,
#     for the whole process and for its main (window) thread alone, and for wineserver;
#   - resident memory (VmRSS) with the window open.
# The Linux Qt tray's figures come from scripts/bench-tray.sh.
#
#   scripts/bench-tray-wine.sh WINBIN HOSTBIN   BENCH_TRAY_SECONDS=30, BENCH_TRAY_RUNS=5
set -euo pipefail

winbin=$(cd "$1" && pwd)
hostbin=$(cd "$2" && pwd)
seconds=${BENCH_TRAY_SECONDS:-30}
runs=${BENCH_TRAY_RUNS:-5}
here=$(cd "$(dirname "$0")" && pwd)
[[ -f $winbin/kassiro.exe ]] || { echo "bench-tray-wine: $winbin/kassiro.exe is missing; make windows first" >&2; exit 1; }
for p in ecrsim ecrclient write_settings; do
  [[ -x $hostbin/$p ]] || { echo "bench-tray-wine: $hostbin/$p is missing; make build first" >&2; exit 1; }
done
for tool in wine Xvfb xdotool icewm; do
  command -v "$tool" > /dev/null || { echo "bench-tray-wine: $tool is missing, skipped"; exit 0; }
done

source "$here/scratch.sh"
scratch_folder kassiro-bench-wine
source "$here/tray-x.sh"
source "$here/wait-for-line.sh"
source "$here/wine-tray.sh"
cpu_ns() { awk '{print $1}' "$1/schedstat"; }
process_ns() { local s=0 t; for t in /proc/$1/task/*; do s=$((s + $(cpu_ns "$t" 2> /dev/null || echo 0))); done; echo $s; }
now_ns() { date +%s%N; }
# The Linux process of the running kassiro.exe.
exe_pid() { pgrep -f "$work/app/kassiro.exe\$" | head -1; }

echo "== kassiro.exe (Wine tray) benchmark: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
start_x icewm
"$hostbin/ecrsim" --ecr 1 --pace --speed 38400 --log /dev/null > "$work/ecrsim.out" 2>&1 &
pids+=($!)
line=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | sed -E 's/.*\((.*)\).*/\1/')
wine_prefix "$line"
mkdir -p "$work/app"
cp "$winbin/kassiro.exe" "$work/app/"
tcp=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$hostbin/write_settings" "$work/app/kassiro" COM1 38400 "$tcp" "" pw
sleep 1

docked=()
for _ in $(seq "$runs"); do
  t0=$(now_ns)
  wine "$work/app/kassiro.exe" > /dev/null 2>&1 &
  kpid=$!
  wait_for tray_icon 60 > /dev/null || { echo "bench-tray-wine: the icon did not dock" >&2; exit 1; }
  t1=$(now_ns)
  docked+=($(( (t1 - t0) / 1000000 )))
  wine "$work/app/kassiro.exe" -Q: > /dev/null 2>&1 || true
  wait "$kpid" || true
  for _ in $(seq 100); do tray_icon > /dev/null || break; sleep 0.05; done
done
sorted=$(printf '%s\n' "${docked[@]}" | sort -n)
echo "start to icon docked (ms, $runs runs): ${docked[*]}; median $(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p"), best $(echo "$sorted" | head -1)"

wine "$work/app/kassiro.exe" > /dev/null 2>&1 &
pids+=($!)
icon=$(wait_for tray_icon 60)
kpid=$(exe_pid)
takes=()
for n in $(seq 99); do takes+=("ST_RPR COP_REQ $n pw"); done
"$hostbin/ecrclient" --port "$tcp" --linger 3600000 "${takes[@]}" > "$work/client.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do (( $(grep -c 'COP_REQ(1) ecr=[0-9]* err=ERR_NO_ERROR' "$work/client.out" || true) >= 198 )) && break; sleep 0.1; done
xdotool mousemove --window "$icon" 12 12 click --repeat 2 --delay 80 1
status=$(wait_for "xdotool search --onlyvisible --name ^Kassiro.v" 20 | tail -1)
sleep 3
mkdir -p "$winbin/../artefacts"
import -window "$status" "$winbin/../artefacts/bench-tray-wine-status-99.png" 2> /dev/null || true

server=$(pgrep -f "wineserver" -n)
measure() {  # prints "process% mainthread% wineserver%" over $seconds
  local p0 m0 s0 p1 m1 s1 t0 t1
  p0=$(process_ns "$kpid"); m0=$(cpu_ns "/proc/$kpid/task/$kpid"); s0=$(process_ns "$server"); t0=$(now_ns)
  sleep "$seconds"
  p1=$(process_ns "$kpid"); m1=$(cpu_ns "/proc/$kpid/task/$kpid"); s1=$(process_ns "$server"); t1=$(now_ns)
  awk -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v s=$((s1 - s0)) -v ns=$((t1 - t0)) \
    'BEGIN { printf "%.3f %.3f %.3f\n", 100 * p / ns, 100 * m / ns, 100 * s / ns }'
}
read -r open_all open_main open_server < <(measure)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$kpid/status")
rows=$(grep -c 'COP_REQ(1) ecr=[0-9]* err=ERR_NO_ERROR' "$work/client.out" || true)
echo "idle, status window open, $((rows / 2)) ECRs listed, ${seconds} s: process ${open_all} % of one core, main (window) thread ${open_main} %, wineserver ${open_server} %"
echo "resident memory with the window open: VmRSS ${rss} kB"
wine "$work/app/kassiro.exe" -Q: > /dev/null 2>&1 || true
