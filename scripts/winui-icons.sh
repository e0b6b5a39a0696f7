#!/usr/bin/env bash
# Renders the Windows tray program's icons (src/winui/res) from the Linux tray's art
# (src/ui/TrayArt.cpp), so that both trays show the same pictures: the two tray images at
# 16 to 64 pixels and the ten menu glyphs. Needs Qt 6 and ImageMagick; run it after the
# art changed and commit the result.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/scratch.sh"
scratch_folder winui-icons
cat > "$work/art.cpp" <<'CPP'
#include <QApplication>
#include "ui/TrayArt.h"
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  for (int image : {0, 1})
    for (int size : {16, 20, 24, 32, 48, 64})
      kassiro::ui::TrayImage(image, size).save(QString("tray%1-%2.png").arg(image).arg(size));
  kassiro::ui::GlyphStrip().save("glyphs.png");
}
CPP
# shellcheck disable=SC2046
g++ -std=c++20 -fPIC -I"$top/src" "$work/art.cpp" "$top/src/ui/TrayArt.cpp" \
  $(pkg-config --cflags --libs Qt6Widgets) -o "$work/art"
cd "$work"
QT_QPA_PLATFORM=offscreen ./art 2> /dev/null
res=$top/src/winui/res
sizes=(16 20 24 32 48 64)
convert $(printf 'tray0-%s.png ' "${sizes[@]}") "$res/running.ico"
convert $(printf 'tray1-%s.png ' "${sizes[@]}") "$res/stopped.ico"
for i in $(seq 1 10); do
  convert glyphs.png -crop "16x16+$(( (i - 1) * 16 ))+0" +repage "$res/glyph$i.ico"
done
echo "icons written to $res"
