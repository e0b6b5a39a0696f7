// The settings dialogs: the administrator password prompt that guards the others, the
// access setup, the receipt-number offset, the port setup and the code-table choice.
// Each edits values handed to it; the caller stores them in the settings and saves.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/OperatorNames.h"
#include "ui/DialogSupport.h"
#include "platform/SerialPort.h"

namespace kassiro::ui {

using platform::ListSerialPorts;
using platform::TSerialPortEntry;

// fmPassword: accepted when the typed text equals the stored password.
class TfmPassword : public TKassiroDialog {
  Q_OBJECT
 public:
  explicit TfmPassword(std::string stored, QWidget* parent = nullptr);
  QLineEdit* ePassword;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void OKClick();
  std::string FStored;
};

// The prompt for the stored password; an empty password is accepted without a prompt.
bool AskPassword(const std::string& stored, QWidget* parent = nullptr);

// fmAccess: a new server password with its verification, and set passwords applied
// one at a time through applySetPassword(set, text) while the dialog is open.
class TfmAccess : public TKassiroDialog {
  Q_OBJECT
 public:
  using TApplySetPassword = std::function<void(int set, const std::string& text)>;
  explicit TfmAccess(TApplySetPassword applySetPassword, QWidget* parent = nullptr);
  std::string NewPassword() const { return eNewPW->text().toStdString(); }

  QLineEdit* eNewPW;
  QLineEdit* eVerify;
  QComboBox* cbSetNo;
  QLineEdit* eSetPW;
  QPushButton* BitBtnSetPWOK;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void OKClick();
  void ApplySetPassword();
  TApplySetPassword FApply;
};

// fmOffset: the next receipt number.
class TfmOffset : public TKassiroDialog {
  Q_OBJECT
 public:
  explicit TfmOffset(std::int32_t globalBon, QWidget* parent = nullptr);
  std::int32_t GlobalBon() const { return FGlobalBon; }
  QLineEdit* eOffset;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  void OKClick();
  std::int32_t FGlobalBon;
};

// fmPorts: serial port, line speed and TCP port.
class TfmPorts : public TKassiroDialog {
  Q_OBJECT
 public:
  TfmPorts(std::uint16_t speed, std::uint16_t ipPort, const std::string& comPortName,
           const std::vector<TSerialPortEntry>& ports, QWidget* parent = nullptr);
  std::uint16_t Speed() const { return FSpeed; }
  std::uint16_t IPPort() const { return FIPPort; }
  const std::string& ComPortName() const { return FComPortName; }

  QComboBox* cbComPort;
  QComboBox* cbSpeed;
  QLineEdit* eIPPort;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  void OKClick();
  std::uint16_t FSpeed;
  std::uint16_t FIPPort;
  std::string FComPortName;
};

// fmLangSel: accepted only when another code table than the current one was chosen.
class TfmLangSel : public TKassiroDialog {
  Q_OBJECT
 public:
  explicit TfmLangSel(int languageID, QWidget* parent = nullptr);
  int LanguageID() const { return FLanguageID; }
  QLabel* lblCurrLng;
  QListWidget* lbAllLangs;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  void OKClick();
  int FLanguageID;
};

}  // namespace kassiro::ui
