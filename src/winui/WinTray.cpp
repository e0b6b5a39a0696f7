#include "winui/WinTray.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "operator/HelpTopics.h"
#include "winui/Resource.h"
#include "winui/WinText.h"

namespace kassiro::winui {

using namespace kassiro::op;

namespace {

constexpr wchar_t CLASS_NAME[] = L"TfmMain";
constexpr UINT WM_TRAY = WM_APP + 1;     // the icon's mouse messages
constexpr UINT WM_LATER = WM_APP + 2;    // a step handed to Later
constexpr UINT WM_CHANNEL = WM_APP + 3;  // a connection waits on the single-instance channel
constexpr UINT TRAY_ID = 1;
constexpr UINT_PTR TIMER_CHANNEL = 1;  // the channel's budget is spent: wait, then watch again
constexpr UINT_PTR TIMER_REDOCK = 2;   // one NIM_MODIFY after docking clears a ghost copy of the icon
constexpr UINT REDOCK_MS = 2000;

// "file:///C:/Program%20Files/Kassiro/kassiro.html#help-210"
std::wstring FileUrl(const std::filesystem::path& file, const std::string& anchor) {
  wchar_t url[2 * MAX_PATH + 64];
  DWORD length = sizeof url / sizeof url[0];
  std::wstring out;
  if (SUCCEEDED(UrlCreateFromPathW(file.c_str(), url, &length, 0))) out = url;
  else out = L"file:///" + file.generic_wstring();
  if (!anchor.empty()) out += L"#" + Wide(anchor);
  return out;
}

}  // namespace

TWinTray::TWinTray(TKassiroServer& server, std::filesystem::path helpFile)
    : FServer(server), FController(FServer, *this), FHelpFile(std::move(helpFile)) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = Proc;
  c.hInstance = instance;
  c.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_RUNNING));
  c.lpszClassName = CLASS_NAME;
  RegisterClassExW(&c);
  FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  // A real top-level window that is never shown: a message-only window would miss the
  // session's end and TaskbarCreated.
  FWnd = CreateWindowExW(WS_EX_TOOLWINDOW, CLASS_NAME, Wide(FServer.Title()).c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 0,
                         0, nullptr, nullptr, instance, nullptr);
  SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  const int small = GetSystemMetrics(SM_CXSMICON);
  FIcons[IMAGE_RUNNING] = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_RUNNING), IMAGE_ICON, small, small, 0));
  FIcons[IMAGE_STOPPED] = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_STOPPED), IMAGE_ICON, small, small, 0));
}

TWinTray::~TWinTray() {
  if (FMessenger != nullptr) {
    FMessenger->WhenPending(nullptr);
    FMessenger->OnSelfEvent = nullptr;
  }
  if (FIconAdded) UpdateIcon(NIM_DELETE);
  FStatus.reset();
  SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
  DestroyWindow(FWnd);
  for (HICON icon : FIcons)
    if (icon != nullptr) DestroyIcon(icon);
}

void TWinTray::FormCreate() {
  AddIcon();
  FController.FormCreate();
}

void TWinTray::ListenTo(TSelfMessenger& messenger) {
  FMessenger = &messenger;
  messenger.HandleIncoming();  // what came before start-up was done is dropped
  messenger.OnSelfEvent = [this](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool loopBack) {
    if (id != SM_QUIT || loopBack) return;
    m.Reply(FController.RemoteQuit(txt) ? QUIT_ACCEPTED : QUIT_WRONG_PASSWORD);
  };
  WatchMessages();
}

void TWinTray::WatchMessages() {
  // From the channel's thread: only a posted message crosses to the window's.
  const HWND wnd = FWnd;
  FMessenger->WhenPending([wnd] { PostMessageW(wnd, WM_CHANNEL, 0, 0); });
}

int TWinTray::Run() {
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

// --------------------------------------------------------------------- tray icon

void TWinTray::UpdateIcon(DWORD message) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = FWnd;
  data.uID = TRAY_ID;
  data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  data.uCallbackMessage = WM_TRAY;
  data.hIcon = FIcons[FTrayImage == IMAGE_RUNNING ? IMAGE_RUNNING : IMAGE_STOPPED];
  const std::wstring tip = Wide(FServer.Title());
  lstrcpynW(data.szTip, tip.c_str(), static_cast<int>(sizeof data.szTip / sizeof data.szTip[0]));
  Shell_NotifyIconW(message, &data);
}

void TWinTray::AddIcon() {
  UpdateIcon(NIM_ADD);
  FIconAdded = true;
  SetTimer(FWnd, TIMER_REDOCK, REDOCK_MS, nullptr);
}

void TWinTray::TrayEvent(UINT mouse) {
  // The menu and the status window wait while a dialog or message box is open.
  if (FModal > 0) {
    if (mouse == WM_RBUTTONUP || mouse == WM_LBUTTONDBLCLK) BringToFront();
    return;
  }
  if (mouse == WM_LBUTTONDBLCLK) return StatusWindow();
  if (mouse != WM_RBUTTONUP) return;
  FMenuSelected.reset();
  if (const auto item = FMenu.Track(FWnd)) Choose(*item);
}

void TWinTray::Choose(TMenuItem item) {
  switch (item) {
    case TMenuItem::miAccess: return FController.Access();
    case TMenuItem::miOffset: return FController.Offset();
    case TMenuItem::miServerPorts: return FController.Ports();
    case TMenuItem::miCodetable: return FController.CodeTable();
    case TMenuItem::miStatus: return StatusWindow();
    case TMenuItem::miHelp: return OpenHelp(HELP_CONTENTS);
    case TMenuItem::miStartStop: return FController.StartStop();
    case TMenuItem::miExit: FController.Exit(); return;
    default: return;
  }
}

void TWinTray::StatusWindow() {
  if (!FStatus) {
    FStatus = std::make_unique<TStatusWindow>(FServer.Records(), [this](int context) { OpenHelp(context); });
    ShowServerState(FController.State());
  }
  FStatus->Present();
}

// The guide in the default browser, at the topic's anchor. The browser is asked by name
// with the URL, since the shell drops the anchor of a file it opens itself.
void TWinTray::OpenHelp(int context) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(FHelpFile, ec)) {
    ShowError("The help file " + Narrow(FHelpFile.wstring()) + " is missing.");
    return;
  }
  const std::wstring url = FileUrl(FHelpFile, HelpAnchor(context));
  wchar_t browser[MAX_PATH];
  DWORD length = MAX_PATH;
  if (SUCCEEDED(AssocQueryStringW(ASSOCF_NONE, ASSOCSTR_EXECUTABLE, L".html", L"open", browser, &length))) {
    const std::wstring argument = L"\"" + url + L"\"";
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(FWnd, L"open", browser, argument.c_str(), nullptr, SW_SHOWNORMAL)) > 32)
      return;
  }
  ShellExecuteW(FWnd, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// ------------------------------------------------------------------- server state

void TWinTray::ShowServerState(const TServerState& state) {
  FMenu.Show(state.Menu);
  if (FTrayImage != state.Menu.TrayImage) {
    FTrayImage = state.Menu.TrayImage;
    if (FIconAdded) UpdateIcon(NIM_MODIFY);
  }
  if (FStatus) {
    FStatus->SetLabels(state.SettingsText, state.LanguageText);
    FStatus->ResetGrid();
  }
}

void TWinTray::ShowLanguage(const std::string& text) {
  if (FStatus) FStatus->SetLanguage(text);
}

// ------------------------------------------------------------------------ dialogs

void TWinTray::DialogOpened(HWND dialog) {
  FDialogs.push_back(dialog);
  ++FModal;
}

void TWinTray::DialogClosed(HWND dialog) {
  std::erase(FDialogs, dialog);
  --FModal;
}

bool TWinTray::AskPassword(const std::string& stored) { return RunPassword(*this, stored); }

std::optional<std::string> TWinTray::ShowAccess(const TApplySetPassword& apply) { return RunAccess(*this, apply); }

std::optional<std::int32_t> TWinTray::ShowOffset(std::int32_t globalBon) { return RunOffset(*this, globalBon); }

std::optional<TPortValues> TWinTray::ShowPorts(const TPortValues& current) {
  return RunPorts(*this, current, platform::ListSerialPorts());
}

std::optional<int> TWinTray::ShowCodeTable(int languageID) { return RunCodeTable(*this, languageID); }

void TWinTray::ShowError(const std::string& text) {
  ++FModal;
  MessageBoxText(FDialogs.empty() ? FWnd : FDialogs.back(), text, MB_ICONERROR | MB_SETFOREGROUND);
  --FModal;
}

void TWinTray::BringToFront() {
  if (!FDialogs.empty()) SetForegroundWindow(FDialogs.back());
}

void TWinTray::Later(std::function<void()> step) {
  FLater.push_back(std::move(step));
  PostMessageW(FWnd, WM_LATER, 0, 0);
}

// The icon and the windows go; the loop ends, also one of a dialog still open, which
// then answers as cancelled.
void TWinTray::Closed() {
  if (FIconAdded) UpdateIcon(NIM_DELETE);
  FIconAdded = false;
  if (FStatus) FStatus->Hide();
  for (HWND d : FDialogs) EndDialog(d, IDCANCEL);
  PostQuitMessage(0);
}

// --------------------------------------------------------------------- the window

LRESULT CALLBACK TWinTray::Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TWinTray*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(wnd, msg, wp, lp);
  return self->Handle(msg, wp, lp);
}

LRESULT TWinTray::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == FTaskbarCreated && FTaskbarCreated != 0) {
    // Explorer restarted: its new tray knows nothing of the icon.
    if (FIconAdded) AddIcon();
    return 0;
  }
  switch (msg) {
    case WM_TRAY:
      if (wp == TRAY_ID) TrayEvent(static_cast<UINT>(lp));
      return 0;
    case WM_LATER:
      if (!FLater.empty()) {
        auto step = std::move(FLater.front());
        FLater.pop_front();
        step();
      }
      return 0;
    case WM_CHANNEL:
      if (FMessenger != nullptr) {
        const auto pause = FMessenger->HandleIncoming();
        if (pause.count() == 0) WatchMessages();
        else SetTimer(FWnd, TIMER_CHANNEL, static_cast<UINT>(pause.count()), nullptr);
      }
      return 0;
    case WM_TIMER:
      KillTimer(FWnd, wp);
      if (wp == TIMER_CHANNEL && FMessenger != nullptr) WatchMessages();
      if (wp == TIMER_REDOCK && FIconAdded) UpdateIcon(NIM_MODIFY);
      return 0;
    case WM_MEASUREITEM:
      if (FMenu.Measure(*reinterpret_cast<MEASUREITEMSTRUCT*>(lp))) return TRUE;
      break;
    case WM_DRAWITEM:
      if (FMenu.Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp))) return TRUE;
      break;
    case WM_MENUCHAR:
      return FMenu.MenuChar(static_cast<wchar_t>(LOWORD(wp)), reinterpret_cast<HMENU>(lp));
    case WM_MENUSELECT:
      FMenuSelected = TTrayMenu::ItemOfCommand(LOWORD(wp));
      break;
    case WM_HELP: {
      // F1 on a menu item: its topic, and the menu closes. The hidden window itself has
      // no topic: an F1 that reaches it after the menu closed is the same key again.
      const auto* info = reinterpret_cast<const HELPINFO*>(lp);
      if (info->iContextType != HELPINFO_MENUITEM) return TRUE;
      auto item = TTrayMenu::ItemOfCommand(static_cast<UINT>(info->iCtrlId));
      if (!item) item = FMenuSelected;
      EndMenu();
      OpenHelp(item ? MenuItemDef(*item).HelpContext : HELP_CONTENTS);
      return TRUE;
    }
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // A logoff or shutdown: saved and closed before the session takes the process.
      if (wp != FALSE) FController.CloseWithoutPrompt();
      return 0;
    case WM_CLOSE:
      // Asked from outside (taskkill): like a stop event on Linux, without a prompt.
      FController.CloseWithoutPrompt();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(FWnd, msg, wp, lp);
}

}  // namespace kassiro::winui
