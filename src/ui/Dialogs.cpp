#include "ui/Dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "operator/SettingsRules.h"
#include "operator/HelpTopics.h"
#include "util/LangTbl.h"

namespace kassiro::ui {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QLineEdit* MaskedEdit(int maxLength = 0) {
  auto* e = new QLineEdit;
  e->setEchoMode(QLineEdit::Password);
  if (maxLength > 0) e->setMaxLength(maxLength);
  return e;
}

// OK and Cancel at the bottom of a dialog; Enter presses OK unless a dialog says otherwise.
QDialogButtonBox* OkCancel(QDialog* d, QPushButton*& ok, QPushButton*& cancel) {
  auto* box = new QDialogButtonBox;
  ok = box->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel = box->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  ok->setObjectName(QStringLiteral("btnOK"));
  cancel->setObjectName(QStringLiteral("btnCancel"));
  ok->setDefault(true);
  QObject::connect(cancel, &QPushButton::clicked, d, &QDialog::reject);
  return box;
}

bool IsEnter(QEvent* e) {
  if (e->type() != QEvent::KeyPress) return false;
  const int key = static_cast<QKeyEvent*>(e)->key();
  return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

// ---------------------------------------------------------------- password prompt

TfmPassword::TfmPassword(std::string stored, QWidget* parent)
    : TKassiroDialog(0, parent), ePassword(MaskedEdit()), FStored(std::move(stored)) {
  setObjectName(QStringLiteral("fmPassword"));
  ePassword->setObjectName(QStringLiteral("ePassword"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q(TXT_ENTER_PASSWORD)));
  layout->addWidget(ePassword);
  layout->addWidget(OkCancel(this, btnOK, btnCancel));
  connect(btnOK, &QPushButton::clicked, this, &TfmPassword::OKClick);
}

void TfmPassword::showEvent(QShowEvent* e) {
  TKassiroDialog::showEvent(e);
  ePassword->clear();
  ePassword->setFocus();
}

void TfmPassword::OKClick() {
  if (PasswordMatches(ePassword->text().toStdString(), FStored)) {
    accept();
    return;
  }
  ePassword->clear();
  OpenMessageBox(this, QMessageBox::Critical, Q(TXT_INCORRECT_PASSWORD), [this] { ePassword->setFocus(); });
}

bool AskPassword(const std::string& stored, QWidget* parent) {
  if (!PromptNeeded(stored)) return true;
  TfmPassword prompt(stored, parent);
  return prompt.exec() == QDialog::Accepted;
}

// ------------------------------------------------------------------- access setup

TfmAccess::TfmAccess(TApplySetPassword applySetPassword, QWidget* parent)
    : TKassiroDialog(HELP_ACCESS, parent),
      eNewPW(MaskedEdit(ACCESS_PW_MAX)),
      eVerify(MaskedEdit(ACCESS_PW_MAX)),
      cbSetNo(new QComboBox),
      eSetPW(MaskedEdit(SET_PW_EDIT_MAX)),
      BitBtnSetPWOK(new QPushButton(QStringLiteral("Apply SET password"))),
      FApply(std::move(applySetPassword)) {
  setObjectName(QStringLiteral("fmAccess"));
  eNewPW->setObjectName(QStringLiteral("eNewPW"));
  eVerify->setObjectName(QStringLiteral("eVerify"));
  cbSetNo->setObjectName(QStringLiteral("cbSetNo"));
  eSetPW->setObjectName(QStringLiteral("eSetPW"));
  BitBtnSetPWOK->setObjectName(QStringLiteral("BitBtnSetPWOK"));
  BitBtnSetPWOK->setAutoDefault(false);
  for (int set = 1; set <= SET_COUNT; ++set) cbSetNo->addItem(QString::number(set));
  cbSetNo->setCurrentIndex(0);

  auto* panel1 = new QGroupBox;
  auto* form1 = new QFormLayout(panel1);
  form1->addRow(QStringLiteral("Server Password:"), eNewPW);
  form1->addRow(QStringLiteral("Verification:"), eVerify);
  auto* panel2 = new QGroupBox;
  auto* form2 = new QFormLayout(panel2);
  form2->addRow(QStringLiteral("SET No:"), cbSetNo);
  form2->addRow(QStringLiteral("SET Password:"), eSetPW);
  form2->addRow(BitBtnSetPWOK);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel1);
  layout->addWidget(panel2);
  layout->addWidget(OkCancel(this, btnOK, btnCancel));
  // Enter in the edits moves on or applies; it never closes the dialog by itself.
  btnOK->setDefault(false);
  for (QLineEdit* e : {eNewPW, eVerify, eSetPW}) e->installEventFilter(this);

  connect(btnOK, &QPushButton::clicked, this, &TfmAccess::OKClick);
  connect(BitBtnSetPWOK, &QPushButton::clicked, this, &TfmAccess::ApplySetPassword);
  connect(cbSetNo, &QComboBox::currentIndexChanged, eSetPW, &QLineEdit::clear);
}

void TfmAccess::showEvent(QShowEvent* e) {
  TKassiroDialog::showEvent(e);
  eNewPW->clear();
  eVerify->clear();
  eNewPW->setFocus();
}

bool TfmAccess::eventFilter(QObject* watched, QEvent* e) {
  if (!IsEnter(e)) return TKassiroDialog::eventFilter(watched, e);
  if (watched == eNewPW) eVerify->setFocus();
  else if (watched == eVerify) btnOK->setFocus();
  else if (watched == eSetPW) ApplySetPassword();
  return true;
}

void TfmAccess::OKClick() {
  if (VerificationMatches(eNewPW->text().toStdString(), eVerify->text().toStdString())) {
    accept();
    return;
  }
  OpenMessageBox(this, QMessageBox::Critical, Q(TXT_BAD_VERIFICATION), [this] { eNewPW->setFocus(); });
}

void TfmAccess::ApplySetPassword() {
  if (FApply) FApply(cbSetNo->currentIndex() + 1, eSetPW->text().toStdString());
}

// -------------------------------------------------------------------------- offset

TfmOffset::TfmOffset(std::int32_t globalBon, QWidget* parent)
    : TKassiroDialog(HELP_OFFSET, parent), eOffset(new QLineEdit), FGlobalBon(globalBon) {
  setObjectName(QStringLiteral("fmOffset"));
  eOffset->setObjectName(QStringLiteral("eOffset"));
  eOffset->setText(QString::number(globalBon));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Offset:"), eOffset);
  layout->addLayout(form);
  layout->addWidget(OkCancel(this, btnOK, btnCancel));
  connect(btnOK, &QPushButton::clicked, this, &TfmOffset::OKClick);
}

void TfmOffset::OKClick() {
  const TOffsetResult r = ParseOffset(eOffset->text().toStdString());
  switch (r.Verdict) {
    case TOffsetVerdict::Store:
      FGlobalBon = r.Value;
      accept();
      return;
    case TOffsetVerdict::BadNumber:
      OpenMessageBox(this, QMessageBox::NoIcon, Q(TXT_BAD_NUMBER), [this] { eOffset->setFocus(); });
      return;
    case TOffsetVerdict::RangeError:
      OpenMessageBox(this, QMessageBox::Critical, Q(TXT_RANGE_ERROR), [this] { eOffset->setFocus(); });
      return;
  }
}

// ---------------------------------------------------------------------- port setup

TfmPorts::TfmPorts(std::uint16_t speed, std::uint16_t ipPort, const std::string& comPortName,
                   const std::vector<TSerialPortEntry>& ports, QWidget* parent)
    : TKassiroDialog(HELP_PORTS, parent),
      cbComPort(new QComboBox),
      cbSpeed(new QComboBox),
      eIPPort(new QLineEdit),
      FSpeed(speed),
      FIPPort(ipPort),
      FComPortName(comPortName) {
  setObjectName(QStringLiteral("fmPorts"));
  cbComPort->setObjectName(QStringLiteral("cbComPort"));
  cbSpeed->setObjectName(QStringLiteral("cbSpeed"));
  eIPPort->setObjectName(QStringLiteral("eIPPort"));
  for (std::uint16_t s : SPEEDS_LIST) cbSpeed->addItem(QString::number(s));
  cbSpeed->setCurrentIndex(static_cast<int>(SpeedIndex(speed)));
  eIPPort->setText(QString::number(ipPort));
  // The stored name is the short one; the by-id name only helps to tell adapters apart.
  for (const TSerialPortEntry& p : ports) {
    const QString name = QString::fromStdString(p.Name);
    cbComPort->addItem(p.Description.empty() ? name : name + QStringLiteral("  (") +
                                                          QString::fromStdString(p.Description) + ')',
                       name);
  }
  cbComPort->setCurrentIndex(cbComPort->findData(QString::fromStdString(comPortName)));

  auto* com = new QGroupBox(QStringLiteral(" COM Settings "));
  auto* comForm = new QFormLayout(com);
  comForm->addRow(QStringLiteral("ComPort:"), cbComPort);
  comForm->addRow(QStringLiteral("&Speed:"), cbSpeed);
  auto* socket = new QGroupBox(QStringLiteral(" Socket Settings "));
  auto* socketForm = new QFormLayout(socket);
  socketForm->addRow(QStringLiteral("&IP Port:"), eIPPort);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(com);
  layout->addWidget(socket);
  layout->addWidget(OkCancel(this, btnOK, btnCancel));
  connect(btnOK, &QPushButton::clicked, this, &TfmPorts::OKClick);
}

void TfmPorts::OKClick() {
  const TIPPortResult ip = ParseIPPort(eIPPort->text().toStdString(), FIPPort);
  // A refused port number stores nothing, so the settings never hold half a change.
  if (ip.Verdict == TIPPortVerdict::RangeError) {
    OpenMessageBox(this, QMessageBox::Critical, Q(TXT_RANGE_ERROR), [this] { eIPPort->setFocus(); });
    return;
  }
  FSpeed = SPEEDS_LIST[static_cast<std::size_t>(cbSpeed->currentIndex())];
  FIPPort = ip.Value;
  FComPortName = StoredPortName(cbComPort->currentData().toString().toStdString());
  accept();
}

// ---------------------------------------------------------------------- code table

TfmLangSel::TfmLangSel(int languageID, QWidget* parent)
    : TKassiroDialog(HELP_CODE_TABLE, parent), lblCurrLng(new QLabel), lbAllLangs(new QListWidget),
      FLanguageID(languageID) {
  setObjectName(QStringLiteral("fmLangSel"));
  lblCurrLng->setObjectName(QStringLiteral("lblCurrLng"));
  lbAllLangs->setObjectName(QStringLiteral("lbAllLangs"));
  lblCurrLng->setText(Q(TXT_CURRENT_CODE_TABLE).replace(QStringLiteral("%s"),
                                                        QString::fromStdString(LanguageName(languageID))));
  std::vector<std::string> names;
  ReadLanguages(names);
  for (const std::string& n : names) lbAllLangs->addItem(QString::fromStdString(n));
  lbAllLangs->setCurrentRow(languageID - 1);
  auto* group = new QGroupBox(QStringLiteral("Available code tables"));
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(lbAllLangs);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblCurrLng);
  layout->addWidget(group);
  layout->addWidget(OkCancel(this, btnOK, btnCancel));
  connect(btnOK, &QPushButton::clicked, this, &TfmLangSel::OKClick);
}

void TfmLangSel::OKClick() {
  const auto chosen = ChosenCodeTable(FLanguageID, lbAllLangs->currentRow());
  if (!chosen) {
    reject();
    return;
  }
  FLanguageID = *chosen;
  accept();
}

}  // namespace kassiro::ui
