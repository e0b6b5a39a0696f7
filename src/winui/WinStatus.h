// The status window: a tab control with the Status tab (the indicator, the settings and
// code-table labels, the served ECRs as a report-style list view) and the About tab
// (the product, the maker, and the e-mail and web labels that open through the shell).
// It refreshes once a second while shown; each refresh counts the listed modes down
// (the records do that under their lock) and touches only the cells that changed.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "operator/ServerFacade.h"
#include "operator/StatusGrid.h"
#include "winui/Win32.h"

namespace kassiro::winui {

inline constexpr const char* SUPPORT_EMAIL = "support@kassiro.example";
inline constexpr const char* PROJECT_LINK = "https://kassiro.example/";

class TStatusWindow {
 public:
  using THelp = std::function<void(int context)>;
  TStatusWindow(op::TSessionRecords records, THelp help);
  ~TStatusWindow();
  TStatusWindow(const TStatusWindow&) = delete;
  TStatusWindow& operator=(const TStatusWindow&) = delete;

  // Shown, in front, with the focus; the Status tab first.
  void Present();
  void Hide();
  void UpdateMonitor();
  // Back to one data row (server started or stopped).
  void ResetGrid();
  void SetLabels(const std::string& settings, const std::string& language);
  void SetLanguage(const std::string& language);
  HWND Handle() const { return FWnd; }

 private:
  enum TControl {
    pgcStatusScreen, shIndicator, lblSettings, lblLanguage, Label2, sgECRs,
    ProdName, Img, lblMaker, lblWhat, lblPhones, lblFaxes, lblEMail, lblLINK, CONTROL_COUNT
  };
  static LRESULT CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void CreateControls();
  void Layout();
  void ShowTab(int tab);
  void ShowRows(const std::vector<op::TGridRow>& rows);
  void SetHot(HWND link);
  void Open(TControl link);
  HWND C(TControl c) const { return FControls[c]; }

  op::TSessionRecords FRecords;
  THelp FHelp;
  op::TStatusGrid FGrid;
  std::vector<op::TGridRow> FShown;  // the list view's rows as drawn
  HWND FWnd = nullptr;
  std::array<HWND, CONTROL_COUNT> FControls{};
  HWND FHot = nullptr;  // the link under the mouse, drawn blue
  HFONT FFont = nullptr;
  HFONT FBold = nullptr;
  HBRUSH FPage;  // the tab page's background, behind the labels (the system's own brush)
  HICON FIcon = nullptr;
  bool FPolling = false;
  int FTab = 0;
};

}  // namespace kassiro::winui
