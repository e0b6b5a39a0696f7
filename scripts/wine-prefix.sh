#!/usr/bin/env bash
# Runs a command (ctest, a test script) with the Windows programs of BUILD under Wine, in
# a private Wine prefix made in BUILD for this run and removed afterwards:
#
#   scripts/wine-prefix.sh BUILD COMMAND [ARGS...]
#
# The command sees WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES, and KASSIRO_COM1_LINK:
# the link that COM1 of the prefix opens (a test points it at a pseudo-terminal of its
# own). COM1 is never the machine's console: the run is refused while any COM port of
# the prefix leads to a /dev/ttyS* device.
set -euo pipefail

build=$(cd "${1:?usage: wine-prefix.sh BUILD COMMAND...}" && pwd)
shift
[ $# -gt 0 ] || { echo "wine-prefix.sh: no command" >&2; exit 2; }

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
# No Mono and no Gecko: console programs need neither, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
export KASSIRO_COM1_LINK="$build/com1.link"

server_started=
cleanup() {
  if [ -n "$server_started" ]; then wineserver -k >/dev/null 2>&1 || true; wineserver -w 2>/dev/null || true; fi
  rm -rf "$WINEPREFIX" "$KASSIRO_COM1_LINK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"

# The first start makes the prefix (4 to 7 s). Its services (services.exe, winedevice.exe)
# inherit the output of the process that starts them: never a pipe someone waits on.
wine wineboot -i </dev/null >/dev/null 2>&1

# COM1 leads to a link in the build folder, not to the first /dev/ttyS*: Wine recreates
# dosdevices/comN from this key (then from the serial devices) each time its server starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$KASSIRO_COM1_LINK" /f </dev/null >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w 2>/dev/null || true

# A persistent server for the whole run, with the services started once before it: each
# test program then starts in a fraction of a second instead of waiting for them.
wineserver -p >"$build/wineserver.log" 2>&1
server_started=1
wine wineboot </dev/null >/dev/null 2>&1

# Wine mapped the machine's serial devices to the next free names (com2 for /dev/ttyS0,
# the console): remove them, and refuse to run if one is left.
for port in "$WINEPREFIX"/dosdevices/com*; do
  [ -L "$port" ] || continue
  [ "$(basename "$port")" = com1 ] && continue
  rm -f "$port"
done
for port in "$WINEPREFIX"/dosdevices/com*; do
  [ -L "$port" ] || continue
  case "$(readlink "$port")" in
    /dev/ttyS*)
      echo "wine-prefix.sh: $port leads to $(readlink "$port"), a serial device of this machine: refused" >&2
      exit 1 ;;
  esac
done

"$@"
