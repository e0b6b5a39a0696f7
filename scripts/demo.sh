#!/usr/bin/env bash
# The demo: kassirod in a folder of its own, on a serial line played by ecrsim with
# three cash registers, driven by a scripted ecrclient session. Prints what goes over
# both sides, one line per message, and ends by itself (Ctrl-C ends it early).
set -euo pipefail

build=${1:-build}
bin=$(cd "$build/bin" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
demo="$(pwd)/demo-run"

pids=()
cleanup() {
  trap - INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'echo; echo "demo: stopped early"; exit 130' INT TERM

source "$(dirname "$0")/wait-for-line.sh"

rm -rf "$demo"
mkdir -p "$demo"
cp "$bin/kassirod" "$demo/"

echo "== The line: ecrsim plays ECRs 3 (counter), 4 (cafe) and 5 (fiscal desk)"
"$bin/ecrsim" --script "$here/demo/shop.sim" --speed 38400 --log "$demo/line.log" > "$demo/ecrsim.out" 2>&1 &
pids+=($!)
port=$(wait_for_line "$demo/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
echo "   line $port"

echo "== The server: kassirod in $demo"
"$demo/kassirod" "-Port:$port" -Speed:38400 -IPPort:0 > "$demo/kassirod.out" 2>&1 &
server=$!
pids+=($server)
started=$(wait_for_line "$demo/kassirod.out" 'started on')
echo "   $started"
tcp=$(echo "$started" | sed -E 's/.*TCP port ([0-9]+).*/\1/')

echo "== The conversation"
echo "   [client] -> request to the server, <- message from the server"
echo "   [line]   -> NN frame sent by ECR NN, frame ... crc ok: frame the server sent to an ECR"
echo "            (the registers' character set has capitals only)"
# The line side: the frames, without the polling's takes, releases, acknowledgements and
# the short answers of registers that have nothing to report. It ends with the server.
tail -n +1 --pid="$server" -f "$demo/line.log" |
  grep --line-buffered -E 'frame' | grep --line-buffered -vE -- '-> [0-9]+ frame [0-9]+;$' |
  sed -u -E 's/^\[ *[0-9]+ ms\] /   [line]   /' &
"$bin/ecrclient" --port "$tcp" --name client --linger 300 < "$here/demo/session.txt" | sed -u 's/^/   /'

echo "== Stopping the server"
kill -TERM "$server"
wait "$server" || true
echo "   its log ($demo/kassirod.log):"
sed 's/^/   | /' "$demo/kassirod.log"
echo "== Demo finished"
