#!/usr/bin/env bash
# The benchmarks: runs each one for a bounded time and prints the figures, then a
# summary. Builds nothing (`make bench` builds first); the programs come from BUILD/bin.
# Everything runs on loopback and on pseudo-terminals made for the run; a scratch folder
# holds the server's files and is removed at the end, with every process started here.
#
#   scripts/bench.sh [BUILD]
#
# Environment:
#   BENCH_RUNS=3            runs of each short measurement (best and median are reported)
#   BENCH_TCP_SECONDS=3     length of one TCP load run
#   BENCH_TCP_THREADS=1     tcp_load worker threads
#   BENCH_MEMORY_SECONDS=60 length of the memory run (600 for the 10-minute check)
#   BENCH_COUNT=200         commands / queries of the end-to-end runs
#   BENCH_PIN=1             TCP runs: servers on CPU 0, the load generator on CPU 1
set -euo pipefail

build=${1:-build}
runs=${BENCH_RUNS:-3}
tcp_seconds=${BENCH_TCP_SECONDS:-3}
tcp_threads=${BENCH_TCP_THREADS:-1}
memory_seconds=${BENCH_MEMORY_SECONDS:-60}
count=${BENCH_COUNT:-200}
pin=${BENCH_PIN:-1}

bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "bench: no $build/bin; build first (make build)" >&2; exit 1; }
for p in poll_bench e2e_bench receipt_bench tcp_load echo_floor kassirod ecrsim; do
  if [[ ! -x "$bin/$p" ]]; then
    echo "bench: $bin/$p is missing; the benchmarks are built unless -DKASSIRO_BENCH=OFF" >&2
    exit 1
  fi
done

source "$(dirname "$0")/scratch.sh"
scratch_folder kassiro-bench
trap 'echo; echo "bench: stopped early"; exit 130' INT TERM

summary=()
note() { summary+=("$1"); }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
section() { echo; echo "== $1 (load average $(loadavg))"; }

source "$(dirname "$0")/wait-for-line.sh"

# Best (highest) and median of numbers, one per line on stdin: "best median".
best_median() { sort -g | awk '{v[NR]=$1} END {print v[NR], v[int((NR+1)/2)]}'; }
# Median and lowest of numbers on stdin: "median lowest".
median_low() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)], v[1]}'; }

# CPU seconds a process has used so far (user + system).
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"; }

echo "Kassiro benchmarks: $(nproc) cores, load average $(loadavg), build $bin"

# ------------------------------------------------------------------ ECR link
section "ECR link: one ECR answering in-line (poll_bench inline)"
"$bin/poll_bench" inline --seconds 5 --runs "$runs" | tee "$work/inline.out"
note "$(grep -m1 '^inline cycles/s' "$work/inline.out")"
note "$(grep -m1 '^inline software share' "$work/inline.out")"
note "$(grep -m1 '^ack after' "$work/inline.out")"

for filler in off on; do
  section "ECR link: 99 silent ECRs, filler $filler (poll_bench silent)"
  flag=(); [[ $filler == on ]] && flag=(--filler)
  "$bin/poll_bench" silent --seconds 10 --runs 2 "${flag[@]}" | tee "$work/silent-$filler.out"
  note "$(grep -m1 '^silent cpu' "$work/silent-$filler.out")"
done

# ------------------------------------------------------------------------ TCP
# Both servers at the same priority: kassirod raises its own when it may (root).
nice_cmd=()
if [[ $(id -u) == 0 ]]; then nice_cmd=(nice -n -20); fi
# Left to itself the scheduler now and then runs a server and the load generator on one
# core, taking turns, which halves the rate; pinned, each has a core of its own.
server_cpu=(); load_cpu=()
if [[ $pin == 1 ]] && command -v taskset > /dev/null && (( $(nproc) >= 2 )); then
  server_cpu=(taskset -c 0); load_cpu=(taskset -c 1)
fi

# One tcp_load run against a server; prints it and appends "rate p50 p99 cpu-per-request"
# to $work/tcp-LABEL-N. $1 label, $2 server pid, $3 port, $4 clients, then options.
tcp_run() {
  local label=$1 pid=$2 port=$3 n=$4 c0 c1 out; shift 4
  c0=$(cpu_of "$pid")
  out=$("${load_cpu[@]}" "$bin/tcp_load" --threads "$tcp_threads" "$@" 127.0.0.1 "$port" "$n" "$tcp_seconds")
  c1=$(cpu_of "$pid")
  printf '  %-8s %s\n' "$label:" "$out"
  # The server's CPU per answered request, in microseconds.
  awk -v a="$c0" -v b="$c1" -v o="$out" 'BEGIN {
    split(o, f, " "); for (i in f) { split(f[i], kv, "="); v[kv[1]] = kv[2] + 0 }
    printf "%s %s %s %.2f\n", v["rate"], v["p50"], v["p99"], (v["answered"] > 0 ? (b - a) * 1e6 / v["answered"] : 0)
  }' >> "$work/tcp-$label-$n"
}

# Column $2 of $work/tcp-$1: "best median" (highest) or, with $3 = low, "median lowest".
column_stats() {
  if [[ ${3:-} == low ]]; then awk -v c="$2" '{print $c}' "$work/tcp-$1" | median_low
  else awk -v c="$2" '{print $c}' "$work/tcp-$1" | best_median; fi
}

# kassirod in the scratch folder on an ecrsim line where no ECR answers (ECR 99 is
# simulated but silent): AC_Phase never waits for the line. Both on the servers' CPU
# (when pinned). Sets kd_pid, kd_port, sim_pid.
start_kassirod() {
  local dir=$work/$1 line
  mkdir -p "$dir"
  cp "$bin/kassirod" "$dir/"
  "${server_cpu[@]}" "$bin/ecrsim" --ecr 99 --fault 99:silent --speed 38400 --log /dev/null > "$dir/ecrsim.out" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  line=$(wait_for_line "$dir/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
  "${server_cpu[@]}" "$dir/kassirod" "-Port:$line" -Speed:38400 -IPPort:0 -LanguageID:1 \
    -SetPW:1:pw -SetPW:5:pw -SetPW:9:pw -SetPW:11:pw -SetPW:13:pw > "$dir/kassirod.out" 2>&1 &
  kd_pid=$!
  pids+=("$kd_pid")
  kd_port=$(wait_for_line "$dir/kassirod.out" 'started on' | sed -E 's/.*TCP port ([0-9]+).*/\1/')
}

stop_kassirod() {
  kill -TERM "$kd_pid" 2>/dev/null || true
  wait "$kd_pid" 2>/dev/null || true
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}

section "TCP: echo_floor (bare Asio echo: the floor) and kassirod (AC_Phase, no ECR answering) under tcp_load"
echo "  The two servers run side by side and take turns, so a busy machine weighs on both alike."
[[ ${#server_cpu[@]} -gt 0 ]] && echo "  Servers pinned to CPU 0, tcp_load to CPU 1."
"${server_cpu[@]}" "${nice_cmd[@]}" "$bin/echo_floor" 0 > "$work/floor.out" 2>&1 &
floor_pid=$!
pids+=("$floor_pid")
floor_port=$(wait_for_line "$work/floor.out" '^listening on' | awk '{print $3}')
start_kassirod tcp
for n in 10 100 500; do
  for i in $(seq "$runs"); do
    tcp_run floor "$floor_pid" "$floor_port" "$n"
    tcp_run kassirod "$kd_pid" "$kd_port" "$n" --phase pw
  done
done
"${load_cpu[@]}" "$bin/tcp_load" --rate 20 127.0.0.1 "$floor_port" 500 "$tcp_seconds" > "$work/floor-paced.out"
"${load_cpu[@]}" "$bin/tcp_load" --rate 20 --phase pw 127.0.0.1 "$kd_port" 500 "$tcp_seconds" > "$work/kd-paced.out"
echo "  floor, paced (500 clients x 20 requests/s): $(cat "$work/floor-paced.out")"
echo "  kassirod, paced (500 clients x 20 requests/s): $(cat "$work/kd-paced.out")"
kill -TERM "$floor_pid"; wait "$floor_pid" 2>/dev/null || true
stop_kassirod

echo
echo "  (kassirod/floor: the median of each kassirod run's rate over the floor run's just before it)"
echo "  clients | req/s floor best/median | req/s kassirod best/median | kassirod/floor | p50 us floor/kassirod | p99 us floor/kassirod | server CPU us/request floor/kassirod"
for n in 10 100 500; do
  read -r fb fm < <(column_stats "floor-$n" 1)
  read -r kb km < <(column_stats "kassirod-$n" 1)
  read -r f50 _ < <(column_stats "floor-$n" 2 low)
  read -r k50 _ < <(column_stats "kassirod-$n" 2 low)
  read -r f99 _ < <(column_stats "floor-$n" 3 low)
  read -r k99 _ < <(column_stats "kassirod-$n" 3 low)
  read -r fc _ < <(column_stats "floor-$n" 4 low)
  read -r kc _ < <(column_stats "kassirod-$n" 4 low)
  # Each kassirod run against the floor run just before it, which met the same machine.
  ratio=$(paste -d' ' "$work/tcp-floor-$n" "$work/tcp-kassirod-$n" | awk '{print 100 * $5 / $1}' |
          median_low | awk '{printf "%.0f%%", $1}')
  printf '  %7s | %10.0f / %-10.0f | %12.0f / %-11.0f | %14s | %9s / %-9s | %9s / %-9s | %s / %s\n' \
    "$n" "$fb" "$fm" "$kb" "$km" "$ratio" "$f50" "$k50" "$f99" "$k99" "$fc" "$kc"
  note "tcp $n clients: kassirod ${km}/s, floor ${fm}/s (medians of $runs), kassirod/floor ${ratio} (median of run pairs); p50 ${k50} us, p99 ${k99} us (floor ${f50} / ${f99} us); server CPU per request ${kc} us (floor ${fc} us)"
done
note "tcp 500 clients paced at 20 requests/s each: floor $(sed -E 's/.*(rate=[^ ]+ p50=[^ ]+ p99=[^ ]+).*/\1/' "$work/floor-paced.out"); kassirod $(sed -E 's/.*(rate=[^ ]+ p50=[^ ]+ p99=[^ ]+).*/\1/' "$work/kd-paced.out")"

# ------------------------------------------------------------------ end to end
section "Receipt numbers: stored on disk before they are handed out (receipt_bench)"
"$bin/receipt_bench" --count 300 --dir "$work" | tee "$work/receipt.out"
note "$(grep -m1 '^GetIncBon, number on disk' "$work/receipt.out")"
note "$(grep -m1 'at  9600 baud' "$work/receipt.out")"

section "End to end: IN_Cmd -> result, ECR 2 the only one polled (e2e_bench command)"
"$bin/e2e_bench" command --ecrs 1 --count "$count" | tee "$work/cmd1.out"
note "$(grep -m1 '^command -> result' "$work/cmd1.out")"

section "End to end: IN_Cmd -> result, 99 ECRs polled (e2e_bench command --ecrs 99)"
"$bin/e2e_bench" command --ecrs 99 --count "$count" | tee "$work/cmd99.out"
note "$(grep -m1 '^command -> result' "$work/cmd99.out")"

section "End to end: ECR query -> client, AC_Ans -> line (e2e_bench query)"
"$bin/e2e_bench" query --count "$count" | tee "$work/query.out"
note "$(grep -m1 '^query frame' "$work/query.out")"
note "$(grep -m1 '^AC_Ans sent' "$work/query.out")"

# ---------------------------------------------------------------------- bridge
if [[ -x "$bin/bridge_bench" ]]; then
  section "ecrbridge: stand-in server -> bridge -> mosquitto on loopback -> subscriber (bridge_bench)"
  "$bin/bridge_bench" | tee "$work/bridge.out"
  note "$(grep -m1 '^bridge latency' "$work/bridge.out")"
  note "$(grep -m1 '^sustained' "$work/bridge.out")"
  note "$(grep -m1 '^drain' "$work/bridge.out")"
fi

# ---------------------------------------------------------------------- memory
section "Memory: kassirod's VmRSS under 100 clients of AC_Phase for $memory_seconds s"
start_kassirod memory
"${load_cpu[@]}" "$bin/tcp_load" --phase pw 127.0.0.1 "$kd_port" 100 "$memory_seconds" > "$work/memory-load.out" &
load_pid=$!
pids+=("$load_pid")
interval=$(( memory_seconds >= 100 ? 10 : (memory_seconds >= 10 ? memory_seconds / 10 : 1) ))
: > "$work/rss"
while kill -0 "$load_pid" 2>/dev/null; do
  awk '/^VmRSS/ {print $2}' "/proc/$kd_pid/status" >> "$work/rss"
  sleep "$interval"
done
wait "$load_pid" || true
awk '/^VmRSS/ {print $2}' "/proc/$kd_pid/status" >> "$work/rss"
echo "  load: $(cat "$work/memory-load.out")"
echo "  VmRSS samples (kB, every $interval s): $(tr '\n' ' ' < "$work/rss")"
note "memory over ${memory_seconds} s of 100-client load: VmRSS first $(head -1 "$work/rss") kB, last $(tail -1 "$work/rss") kB, max $(sort -n "$work/rss" | tail -1) kB ($(wc -l < "$work/rss") samples); $(sed -E 's/.*(answered=[0-9]+).*/\1/' "$work/memory-load.out") requests"
stop_kassirod

# --------------------------------------------------------------------- summary
echo
echo "== Summary (load average now $(loadavg); $(nproc) cores)"
for s in "${summary[@]}"; do echo "  $s"; done
