# Shared by the scripts and tests that start programs of their own (sourced, not run):
# a scratch folder and the processes started in it, both gone when the script ends.

# Makes the scratch folder `work` (named after $1, under TMPDIR) and the empty array
# `pids`; at exit every process in `pids` is stopped and waited for, and the folder
# removed. A caller adds the PID of each program it starts to `pids`.
scratch_folder() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  pids=()
  trap remove_scratch EXIT
}

remove_scratch() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2> /dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2> /dev/null || true; done
  rm -rf "$work"
}
