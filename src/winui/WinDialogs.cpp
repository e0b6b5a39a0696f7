#include "winui/WinDialogs.h"

#include <string_view>

#include "operator/HelpTopics.h"
#include "operator/SettingsRules.h"
#include "util/LangTbl.h"
#include "winui/Resource.h"
#include "winui/WinText.h"

namespace kassiro::winui {

using namespace kassiro::op;

namespace {

// One modal dialog: the resource template, the host's bookkeeping, F1, and the
// dialog's own answers to its start and its buttons.
class TModalDialog {
 public:
  TModalDialog(TDialogHost& host, int templateId, int helpContext)
      : FHost(host), FTemplate(templateId), FHelpContext(helpContext) {}
  virtual ~TModalDialog() = default;

  INT_PTR Run() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(FTemplate), FHost.DialogOwner(), Proc,
                           reinterpret_cast<LPARAM>(this));
  }

 protected:
  // Sets the focus itself.
  virtual void Init() = 0;
  // IDOK, or a control's notification.
  virtual void Command(int id, int code) = 0;

  HWND Item(int id) const { return GetDlgItem(FWnd, id); }
  void Focus(int id) const { SendMessageW(FWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE); }
  void Close(INT_PTR result) const { EndDialog(FWnd, result); }
  // A message box over the dialog; the focus then goes back to the control `then`.
  void Complain(std::string_view text, UINT icon, int then) const {
    MessageBoxText(FWnd, text, icon);
    Focus(then);
  }
  std::string Text(int id) const { return ControlText(FWnd, id); }
  void Limit(int id, int chars) const { SendMessageW(Item(id), EM_LIMITTEXT, static_cast<WPARAM>(chars), 0); }

  HWND FWnd = nullptr;

 private:
  static INT_PTR CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
      auto* self = reinterpret_cast<TModalDialog*>(lp);
      SetWindowLongPtrW(wnd, DWLP_USER, lp);
      self->FWnd = wnd;
      SetProgramCaption(wnd);
      SendMessageW(wnd, WM_SETICON, ICON_SMALL,
                   reinterpret_cast<LPARAM>(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_RUNNING))));
      self->FHost.DialogOpened(wnd);
      self->Init();
      SetForegroundWindow(wnd);
      return FALSE;  // the focus is set
    }
    auto* self = reinterpret_cast<TModalDialog*>(GetWindowLongPtrW(wnd, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (msg) {
      case WM_COMMAND:
        if (LOWORD(wp) == IDCANCEL) {
          self->Close(IDCANCEL);
        } else {
          self->Command(LOWORD(wp), HIWORD(wp));
        }
        return TRUE;
      case WM_HELP:
        self->FHost.ShowHelp(self->FHelpContext);
        return TRUE;
      case WM_DESTROY:
        self->FHost.DialogClosed(wnd);
        return FALSE;
      default:
        return FALSE;
    }
  }

  TDialogHost& FHost;
  int FTemplate;
  int FHelpContext;
};

// ---------------------------------------------------------------- password prompt

class TfmPassword : public TModalDialog {
 public:
  TfmPassword(TDialogHost& host, const std::string& stored) : TModalDialog(host, IDD_PASSWORD, 0), FStored(stored) {}

 private:
  void Init() override {
    SetControlText(FWnd, IDC_ePassword, "");
    Focus(IDC_ePassword);
  }
  void Command(int id, int) override {
    if (id != IDOK) return;
    if (PasswordMatches(Text(IDC_ePassword), FStored)) return Close(IDOK);
    SetControlText(FWnd, IDC_ePassword, "");
    Complain(TXT_INCORRECT_PASSWORD, MB_ICONERROR, IDC_ePassword);
  }
  const std::string& FStored;
};

// ------------------------------------------------------------------- access setup

class TfmAccess : public TModalDialog {
 public:
  TfmAccess(TDialogHost& host, const TApplySetPassword& apply) : TModalDialog(host, IDD_ACCESS, HELP_ACCESS), FApply(apply) {}
  std::string NewPassword;

 private:
  void Init() override {
    Limit(IDC_eNewPW, ACCESS_PW_MAX);
    Limit(IDC_eVerify, ACCESS_PW_MAX);
    Limit(IDC_eSetPW, SET_PW_EDIT_MAX);
    for (int set = 1; set <= SET_COUNT; ++set)
      SendMessageW(Item(IDC_cbSetNo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(set).c_str()));
    SendMessageW(Item(IDC_cbSetNo), CB_SETCURSEL, 0, 0);
    SetControlText(FWnd, IDC_eNewPW, "");
    SetControlText(FWnd, IDC_eVerify, "");
    Focus(IDC_eNewPW);
  }
  void Command(int id, int code) override {
    if (id == IDC_cbSetNo && code == CBN_SELCHANGE) return SetControlText(FWnd, IDC_eSetPW, "");
    if (id == IDC_BitBtnSetPWOK) return ApplySetPassword();
    if (id != IDOK) return;
    // Enter in the edits moves on or applies; only the OK button itself closes.
    const HWND focus = GetFocus();
    if (focus == Item(IDC_eNewPW)) return Focus(IDC_eVerify);
    if (focus == Item(IDC_eVerify)) return Focus(IDOK);
    if (focus == Item(IDC_eSetPW)) return ApplySetPassword();
    if (focus != Item(IDOK)) return;
    const std::string password = Text(IDC_eNewPW);
    if (!VerificationMatches(password, Text(IDC_eVerify)))
      return Complain(TXT_BAD_VERIFICATION, MB_ICONERROR, IDC_eNewPW);
    NewPassword = password;
    Close(IDOK);
  }
  void ApplySetPassword() {
    const auto set = SendMessageW(Item(IDC_cbSetNo), CB_GETCURSEL, 0, 0);
    if (FApply && set >= 0) FApply(static_cast<int>(set) + 1, Text(IDC_eSetPW));
  }
  const TApplySetPassword& FApply;
};

// -------------------------------------------------------------------------- offset

class TfmOffset : public TModalDialog {
 public:
  TfmOffset(TDialogHost& host, std::int32_t globalBon) : TModalDialog(host, IDD_OFFSET, HELP_OFFSET), GlobalBon(globalBon) {}
  std::int32_t GlobalBon;

 private:
  void Init() override {
    SetControlText(FWnd, IDC_eOffset, std::to_string(GlobalBon));
    Focus(IDC_eOffset);
  }
  void Command(int id, int) override {
    if (id != IDOK) return;
    const TOffsetResult r = ParseOffset(Text(IDC_eOffset));
    switch (r.Verdict) {
      case TOffsetVerdict::Store:
        GlobalBon = r.Value;
        return Close(IDOK);
      case TOffsetVerdict::BadNumber:
        return Complain(TXT_BAD_NUMBER, 0, IDC_eOffset);
      case TOffsetVerdict::RangeError:
        return Complain(TXT_RANGE_ERROR, MB_ICONERROR, IDC_eOffset);
    }
  }
};

// ---------------------------------------------------------------------- port setup

class TfmPorts : public TModalDialog {
 public:
  TfmPorts(TDialogHost& host, const TPortValues& current, const std::vector<platform::TSerialPortEntry>& ports)
      : TModalDialog(host, IDD_PORTS, HELP_PORTS), Values(current), FPorts(ports) {}
  TPortValues Values;

 private:
  void Init() override {
    const HWND speed = Item(IDC_cbSpeed);
    for (std::uint16_t s : SPEEDS_LIST)
      SendMessageW(speed, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(s).c_str()));
    SendMessageW(speed, CB_SETCURSEL, SpeedIndex(Values.Speed), 0);
    SetControlText(FWnd, IDC_eIPPort, std::to_string(Values.IPPort));
    // In the system's order; the stored name is the short one, the description only
    // tells adapters apart. Nothing is selected when the stored port is not there.
    const HWND com = Item(IDC_cbComPort);
    for (const auto& p : FPorts) {
      const std::string shown = p.Description.empty() ? p.Name : p.Name + "  (" + p.Description + ")";
      SendMessageW(com, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(shown).c_str()));
    }
    SendMessageW(com, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    for (std::size_t i = 0; i < FPorts.size(); ++i)
      if (FPorts[i].Name == Values.ComPortName) SendMessageW(com, CB_SETCURSEL, i, 0);
    Focus(IDC_cbComPort);
  }
  void Command(int id, int) override {
    if (id != IDOK) return;
    const TIPPortResult ip = ParseIPPort(Text(IDC_eIPPort), Values.IPPort);
    // A refused port number stores nothing, so the settings never hold half a change.
    if (ip.Verdict == TIPPortVerdict::RangeError) return Complain(TXT_RANGE_ERROR, MB_ICONERROR, IDC_eIPPort);
    const auto speed = SendMessageW(Item(IDC_cbSpeed), CB_GETCURSEL, 0, 0);
    Values.Speed = SPEEDS_LIST[speed >= 0 && static_cast<std::size_t>(speed) < SPEEDS_LIST.size()
                                   ? static_cast<std::size_t>(speed)
                                   : SpeedIndex(FALLBACK_SPEED)];
    Values.IPPort = ip.Value;
    const auto port = SendMessageW(Item(IDC_cbComPort), CB_GETCURSEL, 0, 0);
    Values.ComPortName = port >= 0 && static_cast<std::size_t>(port) < FPorts.size()
                             ? StoredPortName(FPorts[static_cast<std::size_t>(port)].Name)
                             : std::string();
    Close(IDOK);
  }
  const std::vector<platform::TSerialPortEntry>& FPorts;
};

// ---------------------------------------------------------------------- code table

class TfmLangSel : public TModalDialog {
 public:
  TfmLangSel(TDialogHost& host, int languageID) : TModalDialog(host, IDD_LANGSEL, HELP_CODE_TABLE), LanguageID(languageID) {}
  int LanguageID;

 private:
  void Init() override {
    std::string label(TXT_CURRENT_CODE_TABLE);
    label.replace(label.find("%s"), 2, LanguageName(LanguageID));
    SetControlText(FWnd, IDC_lblCurrLng, label);
    std::vector<std::string> names;
    ReadLanguages(names);
    const HWND list = Item(IDC_lbAllLangs);
    for (const std::string& n : names) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(n).c_str()));
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(LanguageID - 1), 0);
    Focus(IDC_lbAllLangs);
  }
  void Command(int id, int) override {
    if (id != IDOK) return;
    const auto selected = SendMessageW(Item(IDC_lbAllLangs), LB_GETCURSEL, 0, 0);
    const auto chosen = ChosenCodeTable(LanguageID, static_cast<int>(selected));
    if (!chosen) return Close(IDCANCEL);
    LanguageID = *chosen;
    Close(IDOK);
  }
};

}  // namespace

bool RunPassword(TDialogHost& host, const std::string& stored) {
  if (!PromptNeeded(stored)) return true;
  TfmPassword dlg(host, stored);
  return dlg.Run() == IDOK;
}

std::optional<std::string> RunAccess(TDialogHost& host, const TApplySetPassword& apply) {
  TfmAccess dlg(host, apply);
  if (dlg.Run() != IDOK) return std::nullopt;
  return dlg.NewPassword;
}

std::optional<std::int32_t> RunOffset(TDialogHost& host, std::int32_t globalBon) {
  TfmOffset dlg(host, globalBon);
  if (dlg.Run() != IDOK) return std::nullopt;
  return dlg.GlobalBon;
}

std::optional<TPortValues> RunPorts(TDialogHost& host, const TPortValues& current,
                                    const std::vector<platform::TSerialPortEntry>& ports) {
  TfmPorts dlg(host, current, ports);
  if (dlg.Run() != IDOK) return std::nullopt;
  return dlg.Values;
}

std::optional<int> RunCodeTable(TDialogHost& host, int languageID) {
  TfmLangSel dlg(host, languageID);
  if (dlg.Run() != IDOK) return std::nullopt;
  return dlg.LanguageID;
}

}  // namespace kassiro::winui
