#!/usr/bin/env bash
# kassiro.exe under Wine on a real X server: Xvfb with icewm as the tray host, driven by
# xdotool. The icon docks; a right click opens the menu; a double click opens the status
# window, which lists the ECR that a Linux ecrsim plays on COM1 (a pseudo-terminal) once
# a Linux client has taken a set on it; "&Stop" with a wrong and then the right password
# turns the icon red; the port setup stores a new speed; Help and F1 open the guide; `kassiro.exe -Q:` from a second
# copy closes it without a prompt; a logoff (wineboot -e) saves and closes a new start.
# Screenshots go to OUT.
#
#   tray_wine_e2e.sh WINBIN HOSTBIN OUT
#     WINBIN   the folder of kassiro.exe (and kassiro.html)
#     HOSTBIN  the folder of the Linux ecrsim, ecrclient and write_settings
#   exit 77: skipped, with the reason (a tool or the Linux programs are missing)
set -euo pipefail
SECONDS=0
step() { echo "[${SECONDS}s] $*"; }

winbin=$(cd "$1" && pwd)
hostbin=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
for tool in wine wineserver Xvfb icewm xdotool import convert; do
  command -v "$tool" > /dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
for p in ecrsim ecrclient write_settings; do
  [[ -x $hostbin/$p ]] || { echo "skipped: the Linux $p is not built in $hostbin (make build)"; exit 77; }
done
hostbin=$(cd "$hostbin" && pwd)

source "$here/../../scripts/scratch.sh"
scratch_folder kassiro-wine
source "$here/../../scripts/tray-x.sh"
source "$here/../../scripts/wait-for-line.sh"
source "$here/../../scripts/wine-tray.sh"
mkdir -p "$out"
rm -f "$out"/*.png
fail() {
  echo "FAILED: $*" >&2
  shot_screen "$out/failure.png" || true
  cp "$work/app/kassiro.log" "$work/client.out" "$out/" 2> /dev/null || true
  exit 1
}

start_x icewm

"$hostbin/ecrsim" --ecr 3:424242 --speed 38400 --log "$work/line.log" > "$work/ecrsim.out" 2>&1 &
pids+=($!)
line=$(wait_for_line "$work/ecrsim.out" '^ecrsim: line ' | sed -E 's/.*\((.*)\).*/\1/')
wine_prefix "$line" || fail "no Wine prefix"
step "wine prefix ready; COM1 is $line"

mkdir -p "$work/app"
cp "$winbin/kassiro.exe" "$work/app/"
cp "$winbin/kassiro.html" "$work/app/" 2> /dev/null || true
tcp=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$hostbin/write_settings" "$work/app/kassiro" COM1 38400 "$tcp" secret pw

# Help opens the guide in the browser that the system names for .html: Wine's
# winebrowser, which hands it to xdg-open, here a stand-in that notes what it was given.
wine reg add 'HKCR\.html' /ve /d htmlfile /f > /dev/null 2>&1
mkdir -p "$work/fakebin"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s/opened.txt"\n' "$work" > "$work/fakebin/xdg-open"
chmod +x "$work/fakebin/xdg-open"

PATH=$work/fakebin:$PATH wine "$work/app/kassiro.exe" > "$work/kassiro.out" 2>&1 &
kassiro_pid=$!
pids+=($kassiro_pid)

# ------------------------------------------------------------------------ the icon
icon=$(wait_for tray_icon 30) || fail "the tray icon did not dock"
step "icon docked: window $icon"
sleep_icon() { for _ in $(seq 40); do import -window "$icon" "$1" 2> /dev/null && [[ -s $1 ]] && return 0; sleep 0.05; done; }
# Pixels of a colour (R,G,B) in a picture, give or take 40 per channel.
count() { convert "$1" -fuzz 16% -fill black +opaque "rgb($2)" -fill white -opaque "rgb($2)" -format '%[fx:round(mean*w*h)]' info:; }
icon_is() {  # running: the display green; stopped: red
  local want=$1
  for _ in $(seq 100); do
    sleep_icon "$work/icon.png"
    if [[ $want == running ]] && (( $(count "$work/icon.png" 40,190,60) > 4 )); then return 0; fi
    if [[ $want == stopped ]] && (( $(count "$work/icon.png" 215,40,40) > 4 )); then return 0; fi
    sleep 0.1
  done
  return 1
}
icon_is running || fail "the icon does not show the running server"
shot_screen "$out/1-docked.png"

# ------------------------------------------------------------------------ the menu
open_menu() {
  local m
  xdotool mousemove --window "$icon" 12 12 click 3
  m=$(wait_for wine_menu_window 10) || return 1
  xdotool windowfocus --sync "$m" 2> /dev/null || true
  echo "$m"
}
menu=$(open_menu) || fail "the right click opened no menu"
step "menu: window $menu"
xdotool mousemove 10 10  # away from the icon, whose hint would cover the menu
sleep 0.5
shot_screen "$out/2-menu.png"
import -window "$menu" "$work/menu-running.png"
# Black text in the settings items' rows (the top four, right of the margin): none while
# they are greyed out.
settings_ink() { convert "$1" -crop 110x88+50+4 +repage -colorspace gray -threshold 30% -format '%[fx:round((1-mean)*w*h)]' info:; }
(( $(settings_ink "$work/menu-running.png") < 10 )) || fail "the settings items are not greyed out while the server runs"
# Wine's menus do not grab the keyboard: the menu takes keys once it has the focus.
xdotool windowfocus --sync "$menu" 2> /dev/null || true
xdotool key Escape
for _ in $(seq 100); do wine_menu_window > /dev/null || break; sleep 0.05; done

# ---------------------------------------------------------------------------- help
opened() { grep -m1 -- "$1" "$work/opened.txt" 2> /dev/null; }
open_menu > /dev/null || fail "no menu for Help"
xdotool key h
wait_for "opened kassiro.html" 20 > /dev/null || fail "Help did not open the guide"
# F1 on the second item, Offset: its topic. (Wine's winebrowser hands a file address
# with an anchor on as it is, so a browser would not find it; the anchor is what counts.)
open_menu > /dev/null || fail "no menu for F1"
xdotool key Down Down F1
wait_for "opened kassiro.html#help-220" 20 > /dev/null || fail "F1 on Offset did not open its topic"
for _ in $(seq 100); do wine_menu_window > /dev/null || break; sleep 0.05; done
step "Help opens the guide, F1 on a menu item its topic"

# ---------------------------------------------------------------- the status window
titled_windows() { xdotool search --onlyvisible --name '^Kassiro v.* - DEBUG$' 2> /dev/null; }
xdotool mousemove --window "$icon" 12 12 click --repeat 2 --delay 80 1
status=$(wait_for titled_windows 10) || fail "the double click opened no status window"
status=$(echo "$status" | tail -1)

"$hostbin/ecrclient" --port "$tcp" --linger 120000 "ST_RPR COP_REQ 3 pw" > "$work/client.out" 2>&1 &
pids+=($!)
wait_for_line "$work/client.out" '<- ST_RPR\(5\) COP_REQ\(1\) ecr=3 err=ERR_NO_ERROR' > /dev/null || fail "the client got no set"
# Dark (text) pixels in the list's first row, just below its header: none while it is
# empty.
row_ink() { convert "$1" -crop 460x16+16+111 +repage -colorspace gray -threshold 40% -format '%[fx:round((1-mean)*w*h)]' info:; }
listed=
for _ in $(seq 100); do
  import -window "$status" "$work/after.png"
  if (( $(count "$work/after.png" 0,128,0) > 20 )) && (( $(row_ink "$work/after.png") > 40 )); then
    listed=yes; break
  fi
  sleep 0.2
done
cp "$work/after.png" "$out/3-status.png"
[[ -n $listed ]] || fail "the status window does not list ECR 3"
step "status window lists ECR 3"

# ---------------------------------------------------------- "&Stop" with the password
newest_titled_except() {  # the newest titled window that is none of $@
  local w
  for w in $(titled_windows | tac); do
    [[ " $* " == *" $w "* ]] || { echo "$w"; return 0; }
  done
  return 1
}
dialog() { wait_for "newest_titled_except $status" 10; }
type_into() {  # window, text, then Return
  xdotool windowfocus --sync "$1" 2> /dev/null || true
  xdotool type --delay 30 "$2"
  xdotool key Return
}
open_menu > /dev/null || fail "no menu for Stop"
xdotool key s
prompt=$(dialog) || fail "Stop opened no password prompt"
shot_window "$prompt" "$out/4-password.png"
type_into "$prompt" wrong
box=$(wait_for "newest_titled_except $status $prompt" 10) || fail "a wrong password gave no message"
shot_screen "$out/5-incorrect.png"
xdotool windowfocus --sync "$box" 2> /dev/null || true
xdotool key Return
type_into "$prompt" secret
icon_is stopped || fail "the icon did not turn red after Stop"
step "stopped after a wrong and the right password: the icon is red"
menu=$(open_menu) || fail "no menu after Stop"
xdotool mousemove 10 10
sleep 0.5
shot_screen "$out/6-menu-stopped.png"
import -window "$menu" "$work/menu-stopped.png"
(( $(settings_ink "$work/menu-stopped.png") > 40 )) || fail "the settings items are not enabled after Stop"
step "the settings items are enabled"

# ------------------------------------------------------------------ the port setup
xdotool key p
prompt=$(dialog) || fail "Server Ports opened no password prompt"
type_into "$prompt" secret
ports=$(wait_for "newest_titled_except $status $prompt" 10) || fail "no port setup dialog"
sleep 0.3
shot_window "$ports" "$out/7-ports.png"
cp "$work/app/kassiro.STG" "$work/before.STG"
xdotool windowfocus --sync "$ports" 2> /dev/null || true
xdotool key alt+s Up Return
for _ in $(seq 100); do cmp -s "$work/app/kassiro.STG" "$work/before.STG" || break; sleep 0.05; done
cmp -s "$work/app/kassiro.STG" "$work/before.STG" && fail "the port setup stored nothing"
step "port setup stored a new speed"

# ----------------------------------------------------------------- remote quit, logoff
wine "$work/app/kassiro.exe" -Q:secret > /dev/null 2>&1 || fail "the remote quit was refused"
for _ in $(seq 200); do kill -0 "$kassiro_pid" 2> /dev/null || break; sleep 0.05; done
kill -0 "$kassiro_pid" 2> /dev/null && fail "the remote quit did not end kassiro.exe"
grep -q 'closed by user\.' "$work/app/kassiro.log" || fail "no closing line in the log"
step "remote quit: closed without a prompt"

lines=$(grep -c 'closed by user\.' "$work/app/kassiro.log")
wine "$work/app/kassiro.exe" > /dev/null 2>&1 &
kassiro_pid=$!
pids+=($kassiro_pid)
icon=$(wait_for tray_icon 30) || fail "the icon did not dock again"
wine wineboot -e < /dev/null > /dev/null 2>&1 || true
for _ in $(seq 200); do kill -0 "$kassiro_pid" 2> /dev/null || break; sleep 0.05; done
kill -0 "$kassiro_pid" 2> /dev/null && fail "the logoff did not end kassiro.exe"
(( $(grep -c 'closed by user\.' "$work/app/kassiro.log") > lines )) || fail "the logoff closed without the closing line"
step "logoff: saved and closed; screenshots in $out"
