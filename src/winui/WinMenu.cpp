#include "winui/WinMenu.h"

#include <algorithm>
#include <cwctype>

#include "server/KassiroServer.h"
#include "winui/Resource.h"
#include "winui/WinText.h"

namespace kassiro::winui {

using namespace kassiro::op;

namespace {

constexpr int GLYPH = 16;

// The menu font of the system, as the other menus of the desktop use it.
HFONT MenuFont() {
  NONCLIENTMETRICSW m{};
  m.cbSize = sizeof m;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0)) return CreateFontIndirectW(&m.lfMenuFont);
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

HFONT MarginFont() {
  const HDC screen = GetDC(nullptr);
  const int height = -MulDiv(15, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 900, 900, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                     CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
}

// The mnemonic of a caption: the character after its '&'.
std::optional<wchar_t> Mnemonic(const std::wstring& caption) {
  const auto at = caption.find(L'&');
  if (at == std::wstring::npos || at + 1 >= caption.size()) return std::nullopt;
  return static_cast<wchar_t>(std::towlower(caption[at + 1]));
}

}  // namespace

TTrayMenu::TTrayMenu() : FMenu(CreatePopupMenu()), FFont(MenuFont()), FMarginFont(MarginFont()) {
  for (int i = 0; i < GLYPH_COUNT; ++i)
    FGlyphs[static_cast<std::size_t>(i)] = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_GLYPH1 + i), IMAGE_ICON, GLYPH, GLYPH, 0));
  for (std::size_t i = 0; i < TRAY_MENU.size(); ++i) {
    const TMenuItemDef& d = TRAY_MENU[i];
    FLooks[i] = {Wide(d.Caption), d.Tag, true};
    UINT type = MFT_OWNERDRAW;
    if (d.Separator()) type |= MFT_SEPARATOR;
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_DATA;
    info.fType = type;
    info.wID = MENU_FIRST_ID + static_cast<UINT>(i);
    info.dwItemData = i;
    InsertMenuItemW(FMenu, static_cast<UINT>(i), TRUE, &info);
  }
  // No check marks: the glyphs take their place.
  MENUINFO mi{};
  mi.cbSize = sizeof mi;
  mi.fMask = MIM_STYLE;
  mi.dwStyle = MNS_NOCHECK;
  SetMenuInfo(FMenu, &mi);
}

TTrayMenu::~TTrayMenu() {
  DestroyMenu(FMenu);
  for (HICON g : FGlyphs)
    if (g != nullptr) DestroyIcon(g);
  DeleteObject(FFont);
  DeleteObject(FMarginFont);
}

void TTrayMenu::Show(const TMenuState& state) {
  for (std::size_t i = 0; i < TRAY_MENU.size(); ++i) {
    const TMenuItemDef& d = TRAY_MENU[i];
    if (IsSettingsItem(d.Item)) {
      FLooks[i].Enabled = state.SettingsEnabled;
      EnableMenuItem(FMenu, static_cast<UINT>(i), MF_BYPOSITION | (state.SettingsEnabled ? MF_ENABLED : MF_GRAYED));
    }
    if (d.Item == TMenuItem::miStartStop) {
      FLooks[i].Caption = Wide(state.StartStopCaption);
      FLooks[i].Tag = state.StartStopTag;
    }
  }
}

std::optional<TMenuItem> TTrayMenu::Track(HWND owner) {
  POINT at{};
  GetCursorPos(&at);
  // The owner in front, or the menu does not close when the operator clicks elsewhere.
  SetForegroundWindow(owner);
  const UINT id = static_cast<UINT>(TrackPopupMenu(FMenu, TPM_RETURNCMD | TPM_RIGHTBUTTON,
                                                   at.x, at.y, 0, owner, nullptr));
  PostMessageW(owner, WM_NULL, 0, 0);
  return ItemOfCommand(id);
}

std::optional<TMenuItem> TTrayMenu::ItemOfCommand(UINT id) {
  if (id < MENU_FIRST_ID || id >= MENU_FIRST_ID + TRAY_MENU.size()) return std::nullopt;
  return TRAY_MENU[id - MENU_FIRST_ID].Item;
}

int TTrayMenu::ItemHeight(bool separator) const {
  if (separator) return 8;
  const HDC screen = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(screen, FFont);
  TEXTMETRICW tm{};
  GetTextMetricsW(screen, &tm);
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  return std::max<int>(GLYPH + 6, tm.tmHeight + 8);
}

int TTrayMenu::MenuHeight() const {
  int height = 0;
  for (const TMenuItemDef& d : TRAY_MENU) height += ItemHeight(d.Separator());
  return height;
}

bool TTrayMenu::Measure(MEASUREITEMSTRUCT& m) const {
  if (m.CtlType != ODT_MENU || m.itemData >= FLooks.size()) return false;
  m.itemHeight = static_cast<UINT>(ItemHeight(TRAY_MENU[m.itemData].Separator()));
  const HDC screen = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(screen, FFont);
  // The widest caption, so that "&Start" and "&Stop" take the same width.
  int text = 0;
  for (const TLook& l : FLooks) {
    RECT r{};
    DrawTextW(screen, l.Caption.c_str(), -1, &r, DT_SINGLELINE | DT_CALCRECT);
    text = std::max<int>(text, r.right - r.left);
  }
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  m.itemWidth = static_cast<UINT>(MENU_MARGIN + 6 + GLYPH + 8 + text + 24);
  return true;
}

// The slice of the margin beside one item: the gradient runs over the whole menu's
// height, and the name stands 5 pixels above the bottom of the menu, clipped to the item.
void TTrayMenu::DrawMargin(HDC dc, const RECT& item) const {
  // From yellow at the top to a quarter of it (63, 63, 0) at the bottom.
  const int height = MenuHeight();
  for (int y = item.top; y < item.bottom; ++y) {
    const int level = 255 - (255 - 63) * std::clamp(y, 0, height) / std::max(height, 1);
    const HBRUSH b = CreateSolidBrush(RGB(level, level, 0));
    const RECT line{item.left, y, item.left + MENU_MARGIN, y + 1};
    FillRect(dc, &line, b);
    DeleteObject(b);
  }
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, item.left, item.top, item.left + MENU_MARGIN, item.bottom);
  SelectObject(dc, FMarginFont);
  SetTextColor(dc, RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SetTextAlign(dc, TA_BASELINE | TA_LEFT);
  // Turned a quarter back, the text runs upwards on a baseline column in the middle.
  const int baseline = item.left + (MENU_MARGIN + tm.tmAscent - tm.tmDescent) / 2;
  const std::wstring name = Wide(APP_NAME);
  TextOutW(dc, baseline, height - 5, name.c_str(), static_cast<int>(name.size()));
  RestoreDC(dc, saved);
}

bool TTrayMenu::Draw(const DRAWITEMSTRUCT& d) const {
  if (d.CtlType != ODT_MENU || d.itemData >= FLooks.size()) return false;
  const TLook& look = FLooks[d.itemData];
  const bool separator = TRAY_MENU[d.itemData].Separator();
  const bool selected = (d.itemState & ODS_SELECTED) != 0 && !separator;
  const bool disabled = (d.itemState & (ODS_GRAYED | ODS_DISABLED)) != 0 || !look.Enabled;
  const HDC dc = d.hDC;

  RECT body = d.rcItem;
  body.left += MENU_MARGIN;
  FillRect(dc, &body, GetSysColorBrush(selected && !disabled ? COLOR_HIGHLIGHT : COLOR_MENU));
  DrawMargin(dc, d.rcItem);
  if (separator) {
    RECT line = body;
    line.left += 2;
    line.top = (body.top + body.bottom) / 2 - 1;
    DrawEdge(dc, &line, EDGE_ETCHED, BF_TOP);
    return true;
  }
  const int glyphX = body.left + 4;
  const int glyphY = (body.top + body.bottom - GLYPH) / 2;
  if (look.Tag >= 1 && look.Tag <= GLYPH_COUNT) {
    const HICON glyph = FGlyphs[static_cast<std::size_t>(look.Tag - 1)];
    if (disabled) {
      DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(glyph), 0, glyphX, glyphY, GLYPH, GLYPH,
                 DST_ICON | DSS_DISABLED);
    } else {
      DrawIconEx(dc, glyphX, glyphY, glyph, GLYPH, GLYPH, 0, nullptr, DI_NORMAL);
    }
  }
  RECT text = body;
  text.left = glyphX + GLYPH + 8;
  const HGDIOBJ old = SelectObject(dc, FFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
  UINT format = DT_SINGLELINE | DT_VCENTER | DT_LEFT;
  if ((d.itemState & ODS_NOACCEL) != 0) format |= DT_HIDEPREFIX;
  DrawTextW(dc, look.Caption.c_str(), -1, &text, format);
  SelectObject(dc, old);
  return true;
}

LRESULT TTrayMenu::MenuChar(wchar_t key, HMENU menu) const {
  if (menu != FMenu) return MAKELRESULT(0, MNC_IGNORE);
  const wchar_t wanted = static_cast<wchar_t>(std::towlower(key));
  for (std::size_t i = 0; i < FLooks.size(); ++i) {
    if (TRAY_MENU[i].Separator() || !FLooks[i].Enabled) continue;
    if (Mnemonic(FLooks[i].Caption) == wanted) return MAKELRESULT(i, MNC_EXECUTE);
  }
  return MAKELRESULT(0, MNC_IGNORE);
}

}  // namespace kassiro::winui
