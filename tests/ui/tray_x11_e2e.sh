#!/usr/bin/env bash
# The tray program on a real X server: Xvfb with a tray host, driven by xdotool. The icon
# docks; a right click opens the menu; a double click opens the status window, which
# lists the ECR that ecrsim plays once a client has taken a set on it; a remote quit
# ends the program. Screenshots go to OUT.
#
#   tray_x11_e2e.sh BIN OUT      (exit 77: skipped, the X tools are missing)
set -euo pipefail
SECONDS=0
step() { echo "[${SECONDS}s] $*"; }

bin=$(cd "$1" && pwd)
out=$2
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdotool import convert; do
  command -v "$tool" > /dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
command -v icewm > /dev/null || command -v trayer > /dev/null || { echo "skipped: no tray host"; exit 77; }

source "$here/../../scripts/scratch.sh"
scratch_folder kassiro-x11
source "$here/../../scripts/tray-x.sh"
source "$here/../../scripts/wait-for-line.sh"
mkdir -p "$out"
rm -f "$out"/*.png
fail() { echo "FAILED: $*" >&2; shot_screen "$out/failure.png" || true; exit 1; }

start_x

"$bin/ecrsim" --ecr 3:424242 --speed 38400 --log "$work/line.log" > "$work/ecrsim.out" 2>&1 &
pids+=($!)
line=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
mkdir -p "$work/app"
cp "$bin/kassiro" "$work/app/"
"$bin/write_settings" "$work/app/kassiro" "$line" 38400 0 "" pw || {
  rc=$?
  [[ $rc == 3 ]] && { echo "skipped: the pseudo-terminal's name $line is too long for the settings"; exit 77; }
  exit $rc
}

"$work/app/kassiro" > "$work/kassiro.out" 2>&1 &
kassiro_pid=$!
pids+=($kassiro_pid)
started=$(wait_for_line "$work/kassiro.out" 'started on') || fail "kassiro did not start"
tcp=$(echo "$started" | sed -E 's/.*TCP port ([0-9]+).*/\1/')
step "kassiro: $started"

icon=$(wait_for icon_window 20) || fail "the tray icon did not dock"
step "icon docked: window $icon in $tray_host"
shot_screen "$out/1-docked.png"

xdotool mousemove --window "$icon" 6 6 click 3
menu=$(wait_for menu_window 10) || fail "the right click opened no menu"
step "menu: window $menu"
shot_screen "$out/2-menu.png"
xdotool key Escape
for _ in $(seq 100); do menu_window > /dev/null || break; sleep 0.05; done

xdotool mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
status=$(wait_for titled_windows 10) || fail "the double click opened no status window"
status=$(echo "$status" | tail -1)
sleep_until_painted() { for _ in $(seq 40); do shot_window "$status" "$1"; [[ -s $1 ]] && return 0; sleep 0.05; done; }
sleep_until_painted "$work/before.png"

# A client takes the report set on ECR 3 and keeps it.
"$bin/ecrclient" --port "$tcp" --linger 120000 "ST_RPR COP_REQ 3 pw" > "$work/client.out" 2>&1 &
client=$!
pids+=($client)
wait_for_line "$work/client.out" '<- ST_RPR\(5\) COP_REQ\(1\) ecr=3 err=ERR_NO_ERROR' > /dev/null || fail "the client got no set"

# Green pixels of the indicator, and dark (text) pixels in the grid's part of the window.
green() { convert "$1" -fill black +opaque 'rgb(0,128,0)' -fill white -opaque 'rgb(0,128,0)' -format '%[fx:round(mean*w*h)]' info:; }
grid_ink() { convert "$1" -gravity south -crop 100%x65%+0+0 +repage -colorspace gray -threshold 40% -format '%[fx:round((1-mean)*w*h)]' info:; }
listed=
for _ in $(seq 100); do
  shot_window "$status" "$work/after.png"
  if (( $(green "$work/after.png") > 20 )) && (( $(grid_ink "$work/after.png") > $(grid_ink "$work/before.png") + 40 )); then
    listed=yes
    break
  fi
  sleep 0.2
done
cp "$work/after.png" "$out/3-status.png"
[[ -n $listed ]] || fail "the status window does not list ECR 3 (green $(green "$work/after.png"), ink $(grid_ink "$work/before.png") -> $(grid_ink "$work/after.png"))"
step "status window lists ECR 3"
shot_screen "$out/4-desktop.png"

"$work/app/kassiro" -Q: > /dev/null 2>&1
for _ in $(seq 200); do kill -0 "$kassiro_pid" 2> /dev/null || break; sleep 0.05; done
kill -0 "$kassiro_pid" 2> /dev/null && fail "the remote quit did not end kassiro"
grep -q 'closed by user\.' "$work/app/kassiro.log" || fail "no closing line in the log"
step "remote quit: closed; screenshots in $out"
