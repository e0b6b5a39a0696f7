# Shared by the tray's end-to-end test, its screenshots and its benchmark (sourced, not
# run): a private X server with a tray host, and ways to find and photograph the tray
# program's windows. The caller's scratch folder `work` and its array `pids` come from
# scratch_folder (scratch.sh).

# Starts Xvfb on a free display and a tray host (icewm, else trayer); exports DISPLAY,
# and XDG_RUNTIME_DIR as a private folder in the scratch folder.
# $1: "icewm" or "trayer" to choose the host.
start_x() {
  local host=${1:-}
  export XDG_RUNTIME_DIR=$work/xdg
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  : > "$work/display"
  Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 200); do [[ -s $work/display ]] && break; sleep 0.05; done
  [[ -s $work/display ]] || { echo "Xvfb did not come up" >&2; cat "$work/xvfb.log" >&2; return 1; }
  export DISPLAY=":$(head -1 "$work/display")"
  # The tray host's own files go to a scratch home, never into the user's.
  export HOME=$work/home
  mkdir -p "$HOME"
  if [[ -z $host ]]; then
    if command -v icewm > /dev/null; then host=icewm; else host=trayer; fi
  fi
  case $host in
    icewm) icewm > "$work/traywm.log" 2>&1 & ;;
    trayer) trayer --edge bottom --align right --widthtype request --height 28 --SetDockType true \
              --transparent false --tint 0xc0c0c0 > "$work/traywm.log" 2>&1 & ;;
  esac
  pids+=($!)
  tray_host=$host
}

# The tray icon's window of the program (window class $1, default kassiro): the one that
# is viewable and at most 64x64. Prints its id, or nothing.
icon_window() {
  local w WIDTH HEIGHT
  for w in $(xdotool search --onlyvisible --classname "^${1:-kassiro}\$" 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2> /dev/null)" || continue
    if (( WIDTH <= 64 && HEIGHT <= 64 )); then echo "$w"; return 0; fi
  done
  return 1
}

# Waits up to $2 seconds (default 20) for a command ($1, a function name) to print
# something; prints it.
wait_for() {
  local out
  for _ in $(seq $(( ${2:-20} * 20 ))); do
    if out=$($1) && [[ -n $out ]]; then echo "$out"; return 0; fi
    sleep 0.05
  done
  return 1
}

# The program's visible windows titled like its windows ("Kassiro v... - DEBUG"), newest
# last.
titled_windows() { xdotool search --onlyvisible --name '^Kassiro v.* - DEBUG$' 2> /dev/null; }

# A visible pop-up menu of the program: a kassiro window taller than an icon that is
# none of its titled windows.
menu_window() {
  local w WIDTH HEIGHT
  for w in $(xdotool search --onlyvisible --classname '^kassiro$' 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2> /dev/null)" || continue
    if (( HEIGHT > 100 )) && ! [[ $(xdotool getwindowname "$w" 2> /dev/null) =~ ^Kassiro\ v ]]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}

# Screenshot of the whole screen into $1.
shot_screen() { import -window root "$1"; }
# Screenshot of window $1 with its frame into $2.
shot_window() { import -frame -window "$1" "$2" 2> /dev/null || import -window "$1" "$2"; }
