#include "winui/WinStatus.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <exception>

#include "core/LogFile.h"
#include "operator/HelpTopics.h"
#include "winui/Resource.h"
#include "winui/WinText.h"

namespace kassiro::winui {

using namespace kassiro::op;

namespace {

constexpr wchar_t CLASS_NAME[] = L"TfmKassiroStatus";
constexpr UINT_PTR TIMER_DISPLAY = 1;
constexpr UINT REFRESH_MS = 1000;
constexpr COLORREF CL_GREEN = RGB(0, 128, 0);
constexpr COLORREF CL_RED = RGB(255, 0, 0);
constexpr COLORREF CL_BLUE = RGB(0, 0, 255);
constexpr int INDICATOR = 18;
constexpr std::array<int, STATUS_COLUMNS> COLUMN_WIDTHS = {60, 80, 70, 0};  // the last takes the rest

HFONT MessageFont(bool bold, int grow) {
  NONCLIENTMETRICSW m{};
  m.cbSize = sizeof m;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0);
  LOGFONTW f = m.lfMessageFont;
  if (bold) f.lfWeight = FW_BOLD;
  if (f.lfHeight < 0) f.lfHeight -= grow;
  return CreateFontIndirectW(&f);
}

void RegisterClassOnce(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW c{};
  if (GetClassInfoExW(instance, CLASS_NAME, &c)) return;
  c.cbSize = sizeof c;
  c.lpfnWndProc = proc;
  c.hInstance = instance;
  c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  c.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  c.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_RUNNING));
  c.lpszClassName = CLASS_NAME;
  RegisterClassExW(&c);
}

}  // namespace

TStatusWindow::TStatusWindow(TSessionRecords records, THelp help)
    : FRecords(records),
      FHelp(std::move(help)),
      FFont(MessageFont(false, 0)),
      FBold(MessageFont(true, 4)),
      // A themed tab page is white, a classic one has the face colour of the controls.
      FPage(GetSysColorBrush(IsAppThemed() ? COLOR_WINDOW : COLOR_BTNFACE)) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterClassOnce(instance, Proc);
  FIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_RUNNING), IMAGE_ICON, 48, 48, 0));
  FWnd = CreateWindowExW(0, CLASS_NAME, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                         520, 400, nullptr, nullptr, instance, nullptr);
  // Until here the messages of its creation took the default handling.
  SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetProgramCaption(FWnd);
  CreateControls();
  ShowRows(FGrid.Rows());
  Layout();
  ShowTab(0);
}

TStatusWindow::~TStatusWindow() {
  if (FWnd != nullptr) {
    KillTimer(FWnd, TIMER_DISPLAY);
    SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    DestroyWindow(FWnd);
  }
  DeleteObject(FFont);
  DeleteObject(FBold);
  if (FIcon != nullptr) DestroyIcon(FIcon);
}

void TStatusWindow::CreateControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto make = [&](TControl c, const wchar_t* cls, const std::string& text, DWORD style) {
    FControls[c] = CreateWindowExW(0, cls, Wide(text).c_str(), WS_CHILD | style, 0, 0, 10, 10, FWnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + c)), instance, nullptr);
    SendMessageW(FControls[c], WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  };
  // The tab control first and at the bottom of the z-order, or it paints over its pages.
  make(pgcStatusScreen, WC_TABCONTROLW, "", WS_VISIBLE | WS_CLIPSIBLINGS);
  TCITEMW tab{};
  tab.mask = TCIF_TEXT;
  tab.pszText = const_cast<wchar_t*>(L"Status");
  TabCtrl_InsertItem(C(pgcStatusScreen), 0, &tab);
  tab.pszText = const_cast<wchar_t*>(L"About");
  TabCtrl_InsertItem(C(pgcStatusScreen), 1, &tab);

  make(shIndicator, L"STATIC", "", SS_OWNERDRAW);
  make(lblSettings, L"STATIC", std::string(SERVER_STOPPED_TEXT), SS_LEFTNOWORDWRAP);
  make(lblLanguage, L"STATIC", "", SS_LEFTNOWORDWRAP);
  make(Label2, L"STATIC", "Served ECRs", SS_LEFTNOWORDWRAP);
  make(sgECRs, WC_LISTVIEWW, "", WS_BORDER | LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL);
  ListView_SetExtendedListViewStyle(C(sgECRs), LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  for (int i = 0; i < STATUS_COLUMNS; ++i) {
    const std::wstring title = Wide(STATUS_HEADER[static_cast<std::size_t>(i)]);
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH;
    col.pszText = const_cast<wchar_t*>(title.c_str());
    col.cx = COLUMN_WIDTHS[static_cast<std::size_t>(i)] > 0 ? COLUMN_WIDTHS[static_cast<std::size_t>(i)] : 200;
    ListView_InsertColumn(C(sgECRs), i, &col);
  }

  make(ProdName, L"STATIC", ApplicationTitle(), SS_LEFTNOWORDWRAP);
  SendMessageW(C(ProdName), WM_SETFONT, reinterpret_cast<WPARAM>(FBold), FALSE);
  make(Img, L"STATIC", "", SS_ICON);
  SendMessageW(C(Img), STM_SETICON, reinterpret_cast<WPARAM>(FIcon), 0);
  make(lblMaker, L"STATIC", "The Kassiro project", SS_LEFTNOWORDWRAP);
  make(lblWhat, L"STATIC", "Communication server for electronic cash registers", SS_LEFTNOWORDWRAP);
  make(lblPhones, L"STATIC", "Phone: no telephone support, please write", SS_LEFTNOWORDWRAP);
  make(lblFaxes, L"STATIC", "Fax: none", SS_LEFTNOWORDWRAP);
  make(lblEMail, L"STATIC", SUPPORT_EMAIL, SS_LEFTNOWORDWRAP | SS_NOTIFY);
  make(lblLINK, L"STATIC", PROJECT_LINK, SS_LEFTNOWORDWRAP | SS_NOTIFY);
}

void TStatusWindow::Layout() {
  RECT client{};
  GetClientRect(FWnd, &client);
  InflateRect(&client, -6, -6);
  MoveWindow(C(pgcStatusScreen), client.left, client.top, client.right - client.left, client.bottom - client.top, TRUE);
  RECT page = client;
  TabCtrl_AdjustRect(C(pgcStatusScreen), FALSE, &page);
  InflateRect(&page, -6, -4);
  const int x = page.left;
  const int w = page.right - page.left;
  const int line = 18;
  const auto place = [&](TControl c, int left, int top, int width, int height) {
    MoveWindow(C(c), left, top, width, height, TRUE);
  };
  // Status.
  place(shIndicator, x, page.top + 8, INDICATOR, INDICATOR);
  place(lblSettings, x + INDICATOR + 10, page.top, w - INDICATOR - 10, line);
  place(lblLanguage, x + INDICATOR + 10, page.top + line, w - INDICATOR - 10, line);
  place(Label2, x, page.top + 2 * line + 8, w, line);
  const int gridTop = page.top + 3 * line + 10;
  place(sgECRs, x, gridTop, w, page.bottom - gridTop);
  int rest = w - 4 - GetSystemMetrics(SM_CXVSCROLL);
  for (int i = 0; i + 1 < STATUS_COLUMNS; ++i) rest -= COLUMN_WIDTHS[static_cast<std::size_t>(i)];
  ListView_SetColumnWidth(C(sgECRs), STATUS_COLUMNS - 1, std::max(rest, 80));
  // About.
  place(Img, x, page.top + 4, 48, 48);
  place(ProdName, x + 60, page.top + 16, w - 60, 24);
  int y = page.top + 64;
  for (TControl c : {lblMaker, lblWhat, lblPhones, lblFaxes, lblEMail, lblLINK}) {
    place(c, x, y, c == lblEMail || c == lblLINK ? 220 : w, line);
    y += line + 4;
  }
}

void TStatusWindow::ShowTab(int tab) {
  FTab = tab;
  TabCtrl_SetCurSel(C(pgcStatusScreen), tab);
  for (int c = shIndicator; c < CONTROL_COUNT; ++c) {
    const bool onStatus = c <= sgECRs;
    ShowWindow(FControls[static_cast<std::size_t>(c)], onStatus == (tab == 0) ? SW_SHOW : SW_HIDE);
  }
}

void TStatusWindow::Present() {
  if (!IsWindowVisible(FWnd)) ShowWindow(FWnd, SW_SHOW);  // WM_SHOWWINDOW refreshes and starts the timer
  if (IsIconic(FWnd)) ShowWindow(FWnd, SW_RESTORE);
  SetForegroundWindow(FWnd);
  SetFocus(FWnd);
}

void TStatusWindow::Hide() { ShowWindow(FWnd, SW_HIDE); }

void TStatusWindow::ResetGrid() {
  FGrid.Reset();
  ShowRows(FGrid.Rows());
}

void TStatusWindow::SetLabels(const std::string& settings, const std::string& language) {
  SetWindowTextW(C(lblSettings), Wide(settings).c_str());
  SetLanguage(language);
}

void TStatusWindow::SetLanguage(const std::string& language) { SetWindowTextW(C(lblLanguage), Wide(language).c_str()); }

void TStatusWindow::UpdateMonitor() {
  try {
    FRecords.Refresh(FGrid);
    if (FGrid.Polling() != FPolling) {
      FPolling = FGrid.Polling();
      InvalidateRect(C(shIndicator), nullptr, TRUE);
    }
    ShowRows(FGrid.Rows());
  } catch (const std::exception& e) {
    LogAddLine(std::string("UpdateMonitor: ") + e.what());
  }
}

// Row 0 of the grid is the list view's header; only cells whose text changed are set,
// so an idle window repaints nothing.
void TStatusWindow::ShowRows(const std::vector<TGridRow>& rows) {
  const HWND list = C(sgECRs);
  const std::size_t count = rows.size() - 1;
  while (FShown.size() > count) {
    ListView_DeleteItem(list, static_cast<int>(FShown.size() - 1));
    FShown.pop_back();
  }
  while (FShown.size() < count) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(FShown.size());
    item.pszText = const_cast<wchar_t*>(L"");
    ListView_InsertItem(list, &item);
    FShown.emplace_back();
  }
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t c = 0; c < STATUS_COLUMNS; ++c) {
      const std::string& text = rows[r + 1][c];
      if (FShown[r][c] == text) continue;
      FShown[r][c] = text;
      std::wstring wide = Wide(text);
      ListView_SetItemText(list, static_cast<int>(r), static_cast<int>(c), wide.data());
    }
  }
}

void TStatusWindow::SetHot(HWND link) {
  if (link == FHot) return;
  const HWND was = FHot;
  FHot = link;
  if (was != nullptr) InvalidateRect(was, nullptr, TRUE);
  if (link != nullptr) InvalidateRect(link, nullptr, TRUE);
}

void TStatusWindow::Open(TControl link) {
  SetHot(nullptr);
  const std::string target = link == lblEMail ? std::string("mailto:") + SUPPORT_EMAIL : std::string(PROJECT_LINK);
  ShellExecuteW(FWnd, L"open", Wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

LRESULT CALLBACK TStatusWindow::Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TStatusWindow*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(wnd, msg, wp, lp);
  return self->Handle(msg, wp, lp);
}

LRESULT TStatusWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_SHOWWINDOW:
      if (wp != FALSE) {
        ShowTab(0);
        UpdateMonitor();
        SetTimer(FWnd, TIMER_DISPLAY, REFRESH_MS, nullptr);
      } else {
        KillTimer(FWnd, TIMER_DISPLAY);
      }
      break;
    case WM_TIMER:
      if (wp == TIMER_DISPLAY) UpdateMonitor();
      return 0;
    case WM_CLOSE:
      Hide();  // closing only hides it
      return 0;
    case WM_HELP:
      if (FHelp) FHelp(HELP_STATUS);
      return TRUE;
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const NMHDR*>(lp);
      if (n->hwndFrom == C(pgcStatusScreen) && n->code == TCN_SELCHANGE) ShowTab(TabCtrl_GetCurSel(C(pgcStatusScreen)));
      break;
    }
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d->hwndItem != C(shIndicator)) break;
      FillRect(d->hDC, &d->rcItem, FPage);
      const HBRUSH fill = CreateSolidBrush(FPolling ? CL_GREEN : CL_RED);
      const HGDIOBJ oldBrush = SelectObject(d->hDC, fill);
      const HGDIOBJ oldPen = SelectObject(d->hDC, GetStockObject(BLACK_PEN));
      Ellipse(d->hDC, d->rcItem.left + 1, d->rcItem.top + 1, d->rcItem.right - 1, d->rcItem.bottom - 1);
      SelectObject(d->hDC, oldPen);
      SelectObject(d->hDC, oldBrush);
      DeleteObject(fill);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
      // Labels on the tab page: its background, and the links blue while the mouse is on them.
      const auto dc = reinterpret_cast<HDC>(wp);
      const auto label = reinterpret_cast<HWND>(lp);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, label == FHot ? CL_BLUE : GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(FPage);
    }
    case WM_SETCURSOR: {
      const auto over = reinterpret_cast<HWND>(wp);
      if (over == C(lblEMail) || over == C(lblLINK)) {
        SetHot(over);
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      SetHot(nullptr);  // the mouse back on the panel
      break;
    }
    case WM_COMMAND:
      if (HIWORD(wp) == STN_CLICKED) {
        const auto from = reinterpret_cast<HWND>(lp);
        if (from == C(lblEMail)) Open(lblEMail);
        else if (from == C(lblLINK)) Open(lblLINK);
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcW(FWnd, msg, wp, lp);
}

}  // namespace kassiro::winui
