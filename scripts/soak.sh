#!/usr/bin/env bash
# The soak run: kassirod serving 99 simulated ECRs on one pseudo-terminal and a few hundred
# clients on loopback for a bounded time, with random faults on the line (about 1 % of the
# exchanges), a few SIGHUPs and kill -9 with restarts. At the end one table: the clients'
# checks (ecrsoak), then the server's memory and descriptors, its survival and the line's
# figures. Exit 0 when every check passed, 1 otherwise (the scratch folder is then kept).
# Builds nothing (`make soak` builds first); the programs come from BUILD/bin.
#
#   scripts/soak.sh [BUILD]
#
# Environment:
#   SOAK_SECONDS=600     length of the run
#   SOAK_CLIENTS=300     client connections
#   SOAK_FAULT_RATE=1    percent of the line's exchanges that get a fault
#   SOAK_SEED=N          seed of the faults and the clients' choices (default: random)
#   SOAK_KEEP=1          keep the scratch folder also after a clean run
set -euo pipefail

build=${1:-build}
seconds=${SOAK_SECONDS:-600}
clients=${SOAK_CLIENTS:-300}
fault_rate=${SOAK_FAULT_RATE:-1}
seed=${SOAK_SEED:-$((RANDOM * 32768 + RANDOM))}
speed=38400  # the simulator sends at the line's pace: a real line's timing, and a bounded load

bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "soak: no $build/bin; build first (make build)" >&2; exit 1; }
for p in kassirod ecrsim ecrsoak; do
  [[ -x "$bin/$p" ]] || { echo "soak: $bin/$p is missing" >&2; exit 1; }
done
(( seconds >= 20 )) || { echo "soak: SOAK_SECONDS must be at least 20" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kassiro-soak.XXXXXX")
sim_pid='' kd_pid='' soak_pid='' keep=${SOAK_KEEP:-0}
cleanup() {
  (( $? == 0 )) || keep=1
  for p in $soak_pid $kd_pid $sim_pid; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $soak_pid $kd_pid $sim_pid; do wait "$p" 2>/dev/null || true; done
  if [[ $keep == 1 ]]; then echo "soak: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'echo; echo "soak: stopped early"; keep=1; exit 130' INT TERM

source "$(dirname "$0")/wait-for-line.sh"
row() { printf '| %-34s | %-100s | %-4s |\n' "$1" "$2" "$3"; }
failed=0
check() { if [[ $3 == ok ]]; then row "$1" "$2" ok; else row "$1" "$2" FAIL; failed=1; fi; }

# ------------------------------------------------------------------ the line
"$bin/ecrsoak" --script > "$work/soak.sim"
"$bin/ecrsim" --script "$work/soak.sim" --fault-rate "$fault_rate" --seed "$seed" --pace --speed "$speed" \
  --counts "$work/sim.counts" --journal "$work/sim.journal" --log /dev/null > "$work/ecrsim.out" 2>&1 &
sim_pid=$!
pty=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')

# ------------------------------------------------------------------ the server
# In a folder of its own. Without the right to raise its priority (which it tries, and
# logs when it can't) it stays at the soak's own niceness: the machine is shared.
mkdir -p "$work/server"
cp "$bin/kassirod" "$work/server/"
passwords=()
for s in $(seq 14); do passwords+=("-SetPW:$s:pw"); done
# One port for every life of the server: a SIGHUP restart reads it from the settings again.
ip_port=$("$bin/ecrsoak" --free-port) lives=0
start_server() {
  local out=$work/server/kassirod.out.$lives
  setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice \
    "$work/server/kassirod" "-Port:$pty" "-Speed:$speed" "-IPPort:$ip_port" -LanguageID:1 "${passwords[@]}" > "$out" 2>&1 &
  kd_pid=$!
  (wait_for_line "$out" "started on") > /dev/null  # in a subshell: it sets "line"
  lives=$((lives + 1))
  life_start=$SECONDS
}
start_server

# Descriptors: all of them, and those that are sockets (the clients and the listener).
fds() { ls /proc/"$1"/fd 2>/dev/null | wc -l; }
sockets() { ls -l /proc/"$1"/fd 2>/dev/null | grep -c 'socket:' || true; }
rss() { awk '/^VmRSS/ {print $2}' /proc/"$1"/status 2>/dev/null || echo 0; }
fds_idle_before=$(fds "$kd_pid")
sockets_idle_before=$(sockets "$kd_pid")
files_idle_before=$((fds_idle_before - sockets_idle_before))

# ------------------------------------------------------------------ the clients
"$bin/ecrsoak" --port "$ip_port" --seconds "$seconds" --clients "$clients" --seed "$seed" \
  --journal "$work/sim.journal" > "$work/ecrsoak.out" 2>&1 &
soak_pid=$!

# Restarts spread over the run: SIGHUP and kill -9 by turns, a SIGHUP last, so the last
# life of the server also went through one. ecrsoak hears of each (SIGUSR1 before, SIGUSR2
# once the server is up again): what a restart cuts is expected.
step=$((seconds / 8))
events=(hup kill hup kill hup kill hup)
hups=0 kills=0 crashes=0 next=0
: > "$work/samples"
sample() {
  local listing
  listing=$(ls -l /proc/"$kd_pid"/fd 2>/dev/null | grep -- '->' || true)
  echo "$lives $((SECONDS - life_start)) $(rss "$kd_pid") $(grep -c . <<< "$listing") $(grep -c 'socket:' <<< "$listing")" >> "$work/samples"
}
restarted_lines() { grep -c 'Server restarted on' "$work/server/kassirod.log" 2>/dev/null || true; }
do_hup() {
  local before
  before=$(restarted_lines)
  kill -USR1 "$soak_pid" 2>/dev/null || true
  kill -HUP "$kd_pid" 2>/dev/null || true  # a server that died is found by the next round
  for _ in $(seq 100); do (( $(restarted_lines) > before )) && break; sleep 0.1; done
  kill -USR2 "$soak_pid" 2>/dev/null || true
  hups=$((hups + 1))
}
do_kill() {
  kill -USR1 "$soak_pid" 2>/dev/null || true
  kill -KILL "$kd_pid" 2>/dev/null || true
  wait "$kd_pid" 2>/dev/null || true
  start_server
  kill -USR2 "$soak_pid" 2>/dev/null || true
  kills=$((kills + 1))
}
begin=$SECONDS
while kill -0 "$soak_pid" 2>/dev/null; do
  if ! kill -0 "$kd_pid" 2>/dev/null; then  # died on its own: a failure; serve on
    crashes=$((crashes + 1))
    kill -USR1 "$soak_pid" 2>/dev/null || true
    wait "$kd_pid" 2>/dev/null || true
    start_server
    kill -USR2 "$soak_pid" 2>/dev/null || true
  fi
  elapsed=$((SECONDS - begin))
  if (( next < ${#events[@]} && elapsed >= (next + 1) * step )); then
    case ${events[next]} in hup) do_hup ;; kill) do_kill ;; esac
    next=$((next + 1))
  fi
  sample
  sleep 2
done
soak_status=0
wait "$soak_pid" || soak_status=$?
soak_pid=''

# The clients are gone: the server must let go of every connection.
fds_idle_after=0
for _ in $(seq 100); do
  fds_idle_after=$(fds "$kd_pid")
  (( $(sockets "$kd_pid") <= sockets_idle_before )) && break
  sleep 0.1
done
files_idle_after=$((fds_idle_after - $(sockets "$kd_pid")))
alive=ok; kill -0 "$kd_pid" 2>/dev/null || alive=FAIL

kill -USR1 "$sim_pid"
wait_for_line "$work/sim.counts" '^total ' > /dev/null || true

# ------------------------------------------------------------------ the table
cat "$work/ecrsoak.out"
(( soak_status == 0 )) || failed=1

# Memory per life of the server, after its first 20 s: the last sample within 10 % (and
# 2 MB) of the first.
mem=$(awk '$2 >= 20 && $3 > 0 {
    if (!($1 in first)) first[$1] = $3; last[$1] = $3; if ($3 > max) max = $3 }
  END { ok = "ok"; s = ""
    for (l in first) { s = s sprintf("life %d: %d->%d kB; ", l, first[l], last[l])
      if (last[l] > first[l] * 1.10 + 2048) ok = "FAIL" }
    printf "%s|%smax %d kB", ok, s, max }' "$work/samples")
check "resident memory flat" "${mem#*|}" "${mem%%|*}"
files=$(awk '$2 >= 5 { n = $4 - $5; if (!($1 in lo) || n < lo[$1]) lo[$1] = n; if (n > hi[$1]) hi[$1] = n }
  END { s = ""
    for (l in lo) s = s sprintf("life %d: %d-%d; ", l, lo[l], hi[l])
    printf "%s", s }' "$work/samples")
max_sockets=$(awk '$5 > m { m = $5 } END { print m + 0 }' "$work/samples")
fd_ok=ok
(( fds_idle_after <= fds_idle_before + 1 && files_idle_after <= files_idle_before + 1 )) || fd_ok=FAIL
check "file descriptors flat" "idle before $fds_idle_before ($files_idle_before not sockets), after $fds_idle_after ($files_idle_after); not sockets per life ${files}max sockets $max_sockets" "$fd_ok"
server_ok=ok; [[ $alive == ok && $crashes == 0 ]] || server_ok=FAIL
check "server survived" "SIGHUP $hups, kill -9 $kills (restarts: $((lives - 1))), died on its own $crashes, running at the end: $alive" "$server_ok"
total=$(grep '^total ' "$work/sim.counts" || echo "total")
takes=$(sed -nE 's/.* takes=([0-9]+).*/\1/p' <<< "$total"); takes=${takes:-0}
random=$(sed -nE 's/.* random_faults=([0-9]+).*/\1/p' <<< "$total"); random=${random:-0}
kinds=$(sed -nE 's/.* silent=([0-9]+).* badcrc=([0-9]+) noise=([0-9]+) nak_faults=([0-9]+).* late=([0-9]+).*/missing answer \1, bad CRC \2, noise \3, NAK \4, late answer \5/p' <<< "$total")
share=$(awk -v r="$random" -v t="$takes" 'BEGIN { printf "%.2f", (t > 0 ? 100 * r / t : 0) }')
line_ok=ok; (( takes > 0 )) || line_ok=FAIL
check "line faults injected" "exchanges $takes, faulted $random ($share %): $kinds; seed $seed" "$line_ok"
online=$(sed -nE 's/.* online_taken=([0-9]+).* commands=([0-9]+) answers=([0-9]+).* stray_answers=([0-9]+).*/on-line blocks taken \1, commands \2, answers \3 (after a block that wanted none: \4)/p' <<< "$total")
row "line traffic" "$online" ""

if (( failed )); then
  keep=1
  echo "soak: FAILED (files in $work)"
  exit 1
fi
echo "soak: passed ($seconds s, $clients clients)"
