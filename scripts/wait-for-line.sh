# Shared by the demo and the benchmark scripts (sourced, not run).

# Waits up to 10 s for a line matching $2 in file $1 and prints it; on time-out tells
# which script gave up ($0) and shows the file.
wait_for_line() {
  for _ in $(seq 100); do
    if line=$(grep -m1 -E "$2" "$1" 2>/dev/null); then echo "$line"; return 0; fi
    sleep 0.1
  done
  echo "$(basename "$0" .sh): gave up waiting for '$2' in $1" >&2
  cat "$1" >&2
  return 1
}
