// The program's own pictures, drawn at run time: the tray icon's two images (running,
// stopped), which also serve as the windows' icon, and the menu's strip of ten glyphs.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace kassiro::ui {

inline constexpr int GLYPH_SIZE = 16;

// Image 0 (running) or 1 (stopped) of the tray icon, size x size pixels.
QPixmap TrayImage(int image, int size = 32);
// The tray images in the sizes a tray or a window frame asks for.
QIcon TrayIconFor(int image);
// The application's icon: the running image.
QIcon AppIcon();
// Ten glyphs side by side, GLYPH_SIZE pixels each.
QPixmap GlyphStrip();
// Cell tag - 1 of the strip, for tags 1..10; an empty icon otherwise.
QIcon GlyphIcon(const QPixmap& strip, int tag);

}  // namespace kassiro::ui
