#!/usr/bin/env bash
# The operator's guide's pictures (docs/operator/*.png), taken from the real program on a
# private X server with a tray host, so they stay true: the tray, the menu, the status
# window and its About tab, the password prompt and the four settings dialogs. Two ECRs
# played by ecrsim are served by a client while the pictures are taken.
#
# The pictures show what a shop sees: the default TCP port 4999 (if another program
# listens there, the script says so and stops) and the serial port COM1. COM1 is played
# by the simulator's pseudo-terminal: the tray program runs in a private mount namespace
# (root, or an unprivileged user namespace) where that pseudo-terminal is bound over
# /dev/ttyS0 and /sys/class/tty lists ttyS0 alone, so the port dialog offers and selects
# COM1 on any machine. The machine's own /dev/ttyS0 is never opened.
#
#   scripts/screenshots.sh [BUILD] [OUT]      (defaults: build, docs/operator)
set -euo pipefail

build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "${2:-$here/../docs/operator}" && cd "${2:-$here/../docs/operator}" && pwd)
bin=$(cd "$build/bin" && pwd)
for p in kassiro ecrsim ecrclient write_settings; do
  [[ -x $bin/$p ]] || { echo "screenshots: $bin/$p is missing; build first" >&2; exit 1; }
done

source "$here/scratch.sh"
scratch_folder kassiro-shots
source "$here/tray-x.sh"
source "$here/wait-for-line.sh"

readonly ip_port=4999
if ss -Hltn "sport = :$ip_port" | grep -q .; then
  echo "screenshots: TCP port $ip_port is in use on this machine; the pictures must show it, so stop what listens there and run again" >&2
  exit 1
fi

# Runs $2 with the pseudo-terminal $1 as COM1 (see above); execs, so the PID stays $2's.
run_on_com1() {
  local as_root=()
  (( EUID == 0 )) || as_root=(--map-root-user)
  exec unshare "${as_root[@]}" --mount --propagation private -- bash -c '
    set -e
    mount --bind "$1" /dev/ttyS0
    mount -t tmpfs -o size=64k kassiro-shots /sys/class/tty
    mkdir -p /sys/class/tty/ttyS0/device
    major=$(( 0x$(stat -c %t /dev/ttyS0) ))
    # Unix98 pseudo-terminal slaves have majors 136..143: anything else is a real port.
    (( major >= 136 && major <= 143 )) || { echo "screenshots: /dev/ttyS0 is not the simulator'"'"'s line" >&2; exit 1; }
    exec "$2"' run_on_com1 "$1" "$2"
}

start_x icewm
"$bin/ecrsim" --ecr 3:104711 --ecr 7:200312 --speed 38400 --log "$work/line.log" > "$work/ecrsim.out" 2>&1 &
pids+=($!)
line=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
mkdir -p "$work/app"
cp "$bin/kassiro" "$bin/kassiro.md" "$work/app/"
"$bin/write_settings" "$work/app/kassiro" COM1 38400 "$ip_port" admin pw
(run_on_com1 "/dev/$line" "$work/app/kassiro") > "$work/kassiro.out" 2>&1 &
pids+=($!)
started=$(wait_for_line "$work/kassiro.out" 'started on|stopped:') || true
tcp=$(echo "$started" | sed -nE 's/.* started on COM1\. Clients connect on TCP port ([0-9]+)\..*/\1/p')
if [[ $tcp != "$ip_port" ]]; then
  echo "screenshots: kassiro did not start on COM1 and TCP port $ip_port: ${started:-no answer}" >&2
  cat "$work/kassiro.out" >&2
  exit 1
fi
icon=$(wait_for icon_window 20) || { echo "screenshots: the icon did not dock" >&2; exit 1; }

# The back office listens to ECR 7's reports; the sales program works with ECR 3.
"$bin/ecrclient" --port "$tcp" --linger 600000 "ST_ERS COP_REQ 7 pw" "ST_RPR COP_REQ 3 pw" \
  "ST_RPR COP_SELL 3 1;" > "$work/client.out" 2>&1 &
pids+=($!)
wait_for_line "$work/client.out" 'COP_REQ\(1\) ecr=3 err=ERR_NO_ERROR' > /dev/null

shot_screen "$work/screen.png"
convert "$work/screen.png" -gravity southeast -crop 240x40+0+0 +repage "$out/tray.png"

# Crops window $1 of the screen with a margin of $3 pixels into $2.
crop_window() {
  local X Y WIDTH HEIGHT m=${3:-6}
  eval "$(xdotool getwindowgeometry --shell "$1")"
  shot_screen "$work/screen.png"
  convert "$work/screen.png" -crop "$((WIDTH + 2 * m))x$((HEIGHT + 2 * m))+$((X > m ? X - m : 0))+$((Y > m ? Y - m : 0))" +repage "$2"
}

open_menu() {
  xdotool mousemove --window "$icon" 6 6 click 3
  wait_for menu_window 10
}
# The newest titled window, waited for.
newest_dialog() { wait_for titled_windows 10 | tail -1; }
settle() { sleep 0.5; }  # lets a window paint before it is photographed

menu=$(open_menu)
settle
crop_window "$menu" "$out/menu.png" 40
xdotool key Escape

xdotool mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
status=$(newest_dialog)
sleep 2
shot_window "$status" "$out/status.png"
xdotool windowactivate --sync "$status" key ctrl+Tab
settle
shot_window "$status" "$out/about.png"
xdotool key ctrl+Tab key alt+F4
for _ in $(seq 100); do titled_windows > /dev/null || break; sleep 0.05; done

# Stop, through the password prompt.
open_menu > /dev/null
xdotool key s
prompt=$(newest_dialog)
xdotool type --delay 30 admin
settle
shot_window "$prompt" "$out/password.png"
xdotool key Return
for _ in $(seq 100); do titled_windows > /dev/null || break; sleep 0.05; done

# Each settings dialog: the menu letter, the password, the picture, Escape.
dialog_shot() {
  open_menu > /dev/null
  xdotool key "$1"
  newest_dialog > /dev/null
  xdotool type --delay 30 admin
  xdotool key Return
  sleep 1
  local d
  d=$(newest_dialog)
  settle
  shot_window "$d" "$out/$2.png"
  xdotool key Escape
  for _ in $(seq 100); do titled_windows > /dev/null || break; sleep 0.05; done
}
dialog_shot a access
dialog_shot o offset
dialog_shot p ports
dialog_shot c codetable

"$work/app/kassiro" -Q:admin
echo "screenshots: $(ls "$out" | tr '\n' ' ')in $out"
