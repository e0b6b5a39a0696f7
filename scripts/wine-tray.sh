# Shared by the Windows tray's end-to-end test and its benchmark (sourced, not run, after
# scratch.sh and tray-x.sh): a Wine prefix of the scratch folder with COM1 on a
# pseudo-terminal, and ways to find kassiro.exe's icon and menu.

# Makes the prefix $work/prefix with COM1 pointing at the pseudo-terminal $1, starts its
# wine server for good (so that Wine's services never hold a program's output), and
# refuses to go on while any COM port points at the machine's console. The server ends
# when the scratch folder goes.
wine_prefix() {
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k 2> /dev/null || true; remove_scratch' EXIT
  ln -sfn "$1" "$work/com1.link"
  wine wineboot -i < /dev/null > "$work/wineboot.log" 2>&1 || { echo "wineboot -i failed" >&2; return 1; }
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$work/com1.link" /f > /dev/null 2>&1
  wineserver -k 2> /dev/null || true
  wineserver -w 2> /dev/null || true
  wineserver -p > "$work/wineserver.log" 2>&1
  wine wineboot < /dev/null > /dev/null 2>&1
  rm -f "$WINEPREFIX"/dosdevices/com[2-9] "$WINEPREFIX"/dosdevices/com[1-9][0-9]
  local c
  for c in "$WINEPREFIX"/dosdevices/com*; do
    if [[ $(readlink "$c") == /dev/ttyS* ]]; then
      echo "$c points at the machine's console $(readlink "$c")" >&2
      return 1
    fi
  done
}

# The icon: a window of Wine's explorer.exe docked into the tray, at most 64x64.
tray_icon() {
  local w WIDTH HEIGHT
  for w in $(xdotool search --onlyvisible --class '^explorer\.exe$' 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2> /dev/null)" || continue
    if (( WIDTH <= 64 && HEIGHT <= 64 )); then echo "$w"; return 0; fi
  done
  return 1
}

# The open pop-up menu: a window of kassiro.exe taller than an icon, without the title
# that its other windows carry.
wine_menu_window() {
  local w WIDTH HEIGHT
  for w in $(xdotool search --onlyvisible --class '^kassiro\.exe$' 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2> /dev/null)" || continue
    if (( HEIGHT > 100 && WIDTH < 400 )) && ! [[ $(xdotool getwindowname "$w" 2> /dev/null) =~ ^Kassiro\ v ]]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}
