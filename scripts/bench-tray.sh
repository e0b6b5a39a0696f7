#!/usr/bin/env bash
# The tray program's benchmark, on a private X server with a tray host (icewm):
#   - time from the start of kassiro to its icon docked in the tray (several runs);
#   - CPU while idle with the status window open, refreshing once a second with 99 ECRs
#     listed (a client holds a set on each of ECRs 1..99; ecrsim plays ECR 1 at line
#     pace, the other 98 stay silent), as a share of one core over the wall time, for the
#     whole process and for its main (window) thread alone; then the same with the window
#     closed;
#   - resident memory (VmRSS) with the window open.
#
#   scripts/bench-tray.sh [BUILD]     BENCH_TRAY_SECONDS=30 per CPU measurement,
#                                      BENCH_TRAY_RUNS=5 start-up runs
set -euo pipefail

build=${1:-build}
seconds=${BENCH_TRAY_SECONDS:-30}
runs=${BENCH_TRAY_RUNS:-5}
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$build/bin" && pwd)
for p in kassiro ecrsim ecrclient write_settings; do
  [[ -x $bin/$p ]] || { echo "bench-tray: $bin/$p is missing; build first" >&2; exit 1; }
done
for tool in Xvfb xdotool icewm; do
  command -v "$tool" > /dev/null || { echo "bench-tray: $tool is missing, skipped"; exit 0; }
done

source "$here/scratch.sh"
scratch_folder kassiro-bench-tray
source "$here/tray-x.sh"
source "$here/wait-for-line.sh"
# CPU time of a task in ns (schedstat: finer than the stat file's clock ticks); the
# process's is the sum over its threads.
cpu_ns() { awk '{print $1}' "$1/schedstat"; }
process_ns() { local s=0 t; for t in /proc/$1/task/*; do s=$((s + $(cpu_ns "$t" 2> /dev/null || echo 0))); done; echo $s; }
now_ns() { date +%s%N; }

echo "== kassiro (tray) benchmark: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
start_x icewm
sleep 1  # the tray host's own start is not part of the measurement

"$bin/ecrsim" --ecr 1 --pace --speed 38400 --log /dev/null > "$work/ecrsim.out" 2>&1 &
pids+=($!)
line=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
mkdir -p "$work/app"
cp "$bin/kassiro" "$work/app/"
"$bin/write_settings" "$work/app/kassiro" "$line" 38400 0 "" pw

# Start to docked.
docked=()
for i in $(seq "$runs"); do
  t0=$(now_ns)
  "$work/app/kassiro" > "$work/kassiro.out" 2>&1 &
  kpid=$!
  wait_for icon_window 30 > /dev/null || { echo "bench-tray: the icon did not dock" >&2; exit 1; }
  t1=$(now_ns)
  docked+=($(( (t1 - t0) / 1000000 )))
  "$work/app/kassiro" -Q:
  wait "$kpid" || true
done
sorted=$(printf '%s\n' "${docked[@]}" | sort -n)
echo "start to icon docked (ms, $runs runs): ${docked[*]}; median $(echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p"), best $(echo "$sorted" | head -1)"

# Idle with 99 ECRs listed.
"$work/app/kassiro" > "$work/kassiro.out" 2>&1 &
kpid=$!
pids+=($kpid)
started=$(wait_for_line "$work/kassiro.out" 'started on')
tcp=$(echo "$started" | sed -E 's/.*TCP port ([0-9]+).*/\1/')
icon=$(wait_for icon_window 30)
takes=()
for n in $(seq 99); do takes+=("ST_RPR COP_REQ $n pw"); done
"$bin/ecrclient" --port "$tcp" --linger 3600000 "${takes[@]}" > "$work/client.out" 2>&1 &
pids+=($!)
for _ in $(seq 200); do (( $(grep -c 'COP_REQ(1) ecr=[0-9]* err=ERR_NO_ERROR' "$work/client.out" || true) >= 198 )) && break; sleep 0.1; done
xdotool mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
status=$(wait_for titled_windows 10 | tail -1)
sleep 3
mkdir -p "$build/artefacts"
shot_window "$status" "$build/artefacts/bench-tray-status-99.png"

measure() {  # prints "process% mainthread%" over $seconds
  local p0 m0 p1 m1 t0 t1
  p0=$(process_ns "$kpid"); m0=$(cpu_ns "/proc/$kpid/task/$kpid"); t0=$(now_ns)
  sleep "$seconds"
  p1=$(process_ns "$kpid"); m1=$(cpu_ns "/proc/$kpid/task/$kpid"); t1=$(now_ns)
  awk -v p=$((p1 - p0)) -v m=$((m1 - m0)) -v ns=$((t1 - t0)) \
    'BEGIN { printf "%.3f %.3f\n", 100 * p / ns, 100 * m / ns }'
}
read -r open_all open_main < <(measure)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$kpid/status")
rows=$(grep -c 'COP_REQ(1) ecr=[0-9]* err=ERR_NO_ERROR' "$work/client.out" || true)
echo "idle, status window open, $((rows / 2)) ECRs listed, ${seconds} s: process ${open_all} % of one core, main (window) thread ${open_main} %"
echo "resident memory with the window open: VmRSS ${rss} kB"
xdotool windowactivate --sync "$status" key alt+F4
sleep 1
read -r closed_all closed_main < <(measure)
echo "idle, status window closed, same ECRs, ${seconds} s: process ${closed_all} % of one core, main (window) thread ${closed_main} %"
"$work/app/kassiro" -Q:
wait "$kpid" || true
