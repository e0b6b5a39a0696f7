#!/usr/bin/env bash
# The Windows pictures of the operator's guide (docs/operator/windows/), taken from
# kassiro.exe under Wine by its end-to-end test, which walks through the menu, the status
# window, the password prompt and the port setup.
#
#   scripts/screenshots-windows.sh WINBIN HOSTBIN
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=$here/../docs/operator/windows
shots=$(mktemp -d "${TMPDIR:-/tmp}/kassiro-shots.XXXXXX")
trap 'rm -rf "$shots"' EXIT
bash "$here/../tests/winui/tray_wine_e2e.sh" "$1" "$2" "$shots"
mkdir -p "$dest"
# The screen is 1024x600 with the tray at the bottom right: the menu stands above it.
convert "$shots/2-menu.png" -crop 260x260+764+340 +repage "$dest/menu.png"
convert "$shots/1-docked.png" -crop 80x40+824+560 +repage "$dest/tray.png"
cp "$shots/3-status.png" "$dest/status.png"
cp "$shots/4-password.png" "$dest/password.png"
cp "$shots/7-ports.png" "$dest/ports.png"
echo "pictures written to $dest"
