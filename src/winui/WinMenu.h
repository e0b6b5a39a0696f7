// The tray's pop-up menu, owner-drawn: the items of the operator layer's menu with their
// glyphs, and a 25-pixel margin with a yellow gradient and the program's name written
// bottom-up in white bold Arial. Mnemonics of owner-drawn items work only through
// WM_MENUCHAR, which the owner window forwards to MenuChar.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "operator/TrayMenu.h"
#include "winui/Win32.h"

namespace kassiro::winui {

inline constexpr int MENU_MARGIN = 25;
inline constexpr UINT MENU_FIRST_ID = 1000;  // item i of the menu has the command MENU_FIRST_ID + i

class TTrayMenu {
 public:
  TTrayMenu();
  ~TTrayMenu();
  TTrayMenu(const TTrayMenu&) = delete;
  TTrayMenu& operator=(const TTrayMenu&) = delete;

  // The start/stop item's caption and glyph, the settings items' state.
  void Show(const op::TMenuState& state);
  // Opens the menu at the cursor for the owner window; the chosen item, if any.
  std::optional<op::TMenuItem> Track(HWND owner);

  // The owner window's messages for the menu; true when handled.
  bool Measure(MEASUREITEMSTRUCT& m) const;
  bool Draw(const DRAWITEMSTRUCT& d) const;
  // WM_MENUCHAR: execute the enabled item whose mnemonic is the key.
  LRESULT MenuChar(wchar_t key, HMENU menu) const;

  static std::optional<op::TMenuItem> ItemOfCommand(UINT id);
  HMENU Handle() const { return FMenu; }

 private:
  struct TLook {
    std::wstring Caption;
    int Tag = 0;
    bool Enabled = true;
  };
  int ItemHeight(bool separator) const;
  int MenuHeight() const;
  void DrawMargin(HDC dc, const RECT& item) const;

  HMENU FMenu = nullptr;
  HFONT FFont = nullptr;        // the menu's text
  HFONT FMarginFont = nullptr;  // Arial bold 15 pt, turned a quarter
  std::array<HICON, op::GLYPH_COUNT> FGlyphs{};
  std::array<TLook, op::TRAY_MENU.size()> FLooks;
};

}  // namespace kassiro::winui
