// The settings dialogs as Win32 dialogs from the resource script: the password prompt,
// the access setup, the offset, the port setup and the code table. Each runs modally
// and answers what the tray's view interface asks; the rules they apply are the
// operator layer's.
#pragma once

#include "winui/Win32.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator/TrayView.h"
#include "platform/SerialPort.h"

namespace kassiro::winui {

// What a dialog needs of the program around it: the owner window, to be told that it
// opened and closed (tray clicks are ignored meanwhile, the open one comes to the front),
// and help for its topic.
class TDialogHost {
 public:
  virtual ~TDialogHost() = default;
  virtual HWND DialogOwner() const = 0;
  virtual void DialogOpened(HWND dialog) = 0;
  virtual void DialogClosed(HWND dialog) = 0;
  virtual void ShowHelp(int context) = 0;
};

bool RunPassword(TDialogHost& host, const std::string& stored);
std::optional<std::string> RunAccess(TDialogHost& host, const op::TApplySetPassword& apply);
std::optional<std::int32_t> RunOffset(TDialogHost& host, std::int32_t globalBon);
std::optional<op::TPortValues> RunPorts(TDialogHost& host, const op::TPortValues& current,
                                        const std::vector<platform::TSerialPortEntry>& ports);
std::optional<int> RunCodeTable(TDialogHost& host, int languageID);

}  // namespace kassiro::winui
