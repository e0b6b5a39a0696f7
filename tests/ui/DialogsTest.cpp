// The settings dialogs on their own: texts, masks, limits, Enter, and each one's rules.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>

#include <vector>

#include "QtUiSupport.h"
#include "server/KassiroServer.h"
#include "ui/Dialogs.h"
#include "util/LangTbl.h"

using namespace kassiro;
using namespace kassiro::ui;
using kassiro::testing::AnswerBox;
using kassiro::testing::OpenBox;

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void captionIsTheApplicationTitle() {
    TfmOffset dlg(1);
    QCOMPARE(dlg.windowTitle(), QString::fromStdString(ApplicationTitle()));
    QVERIFY(dlg.windowTitle().endsWith(" - DEBUG"));
  }

  void emptyPasswordIsAcceptedWithoutAPrompt() { QVERIFY(AskPassword("")); }

  void passwordPromptRetriesUntilTheRightPassword() {
    TfmPassword dlg("Secret");
    dlg.open();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(dlg.findChild<QLabel*>()->text() == "Enter administrator password:");
    QCOMPARE(dlg.ePassword->echoMode(), QLineEdit::Password);
    QVERIFY(dlg.ePassword->hasFocus());
    QTest::keyClicks(dlg.ePassword, "secret");
    QTest::keyClick(dlg.ePassword, Qt::Key_Return);
    QCOMPARE(OpenBox()->icon(), QMessageBox::Critical);
    QCOMPARE(AnswerBox(), QString("Incorrect Password"));
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.ePassword->text(), QString());
    QTest::keyClicks(dlg.ePassword, "Secret");
    QTest::keyClick(dlg.ePassword, Qt::Key_Return);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
  }

  void passwordPromptCancelRefuses() {
    TfmPassword dlg("x");
    dlg.open();
    dlg.btnCancel->click();
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
  }

  void accessEnterMovesTheFocusAndVerifies() {
    std::vector<std::pair<int, std::string>> applied;
    TfmAccess dlg([&](int set, const std::string& t) { applied.emplace_back(set, t); });
    dlg.open();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QCOMPARE(dlg.eNewPW->maxLength(), 16);
    QCOMPARE(dlg.eVerify->maxLength(), 16);
    QCOMPARE(dlg.eSetPW->maxLength(), 20);
    for (QLineEdit* e : {dlg.eNewPW, dlg.eVerify, dlg.eSetPW}) QCOMPARE(e->echoMode(), QLineEdit::Password);
    QVERIFY(dlg.eNewPW->hasFocus());
    QTest::keyClicks(dlg.eNewPW, "abcdefghijkl");
    QTest::keyClick(dlg.eNewPW, Qt::Key_Return);
    QVERIFY(dlg.eVerify->hasFocus());
    QTest::keyClicks(dlg.eVerify, "abcdefghijkX");
    QTest::keyClick(dlg.eVerify, Qt::Key_Return);
    QVERIFY(dlg.btnOK->hasFocus());
    QVERIFY(dlg.isVisible());
    dlg.btnOK->click();
    QCOMPARE(AnswerBox(), QString("Bad verification!"));
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.eNewPW->hasFocus());
    dlg.eVerify->setText("abcdefghijkl");
    dlg.btnOK->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.NewPassword(), std::string("abcdefghijkl"));
  }

  void accessTwoEmptyFieldsAreAccepted() {
    TfmAccess dlg(nullptr);
    dlg.open();
    dlg.btnOK->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.NewPassword(), std::string());
  }

  void accessAppliesSetPasswordsAtOnce() {
    std::vector<std::pair<int, std::string>> applied;
    TfmAccess dlg([&](int set, const std::string& t) { applied.emplace_back(set, t); });
    dlg.open();
    QCOMPARE(dlg.cbSetNo->count(), 14);
    QCOMPARE(dlg.cbSetNo->currentText(), QString("1"));
    QCOMPARE(dlg.cbSetNo->itemText(13), QString("14"));
    QCOMPARE(dlg.BitBtnSetPWOK->text(), QString("Apply SET password"));
    dlg.eSetPW->setText("first");
    dlg.BitBtnSetPWOK->click();
    dlg.eSetPW->setText("typed");
    dlg.cbSetNo->setCurrentIndex(4);
    QCOMPARE(dlg.eSetPW->text(), QString());  // another SET empties the edit
    QTest::keyClicks(dlg.eSetPW, "fifth");
    QTest::keyClick(dlg.eSetPW, Qt::Key_Return);
    QVERIFY(dlg.isVisible());  // Enter applies, it does not close
    dlg.btnCancel->click();
    const std::vector<std::pair<int, std::string>> expected = {{1, "first"}, {5, "fifth"}};
    QCOMPARE(applied, expected);
  }

  void offset_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("stored");
    QTest::newRow("positive") << "250" << true << "" << 250;
    QTest::newRow("zero") << "0" << false << "Bad number!" << 17;
    QTest::newRow("not a number") << "x12" << false << "Bad number!" << 17;
    QTest::newRow("empty") << "" << false << "Bad number!" << 17;
    QTest::newRow("negative") << "-3" << false << "Range check error" << 17;
  }

  void offset() {
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(QString, box);
    QFETCH(int, stored);
    TfmOffset dlg(17);
    QCOMPARE(dlg.eOffset->text(), QString("17"));
    dlg.open();
    dlg.eOffset->setText(text);
    QTest::keyClick(dlg.eOffset, Qt::Key_Return);
    if (!accepted) {
      QCOMPARE(AnswerBox(), box);
      QVERIFY(dlg.isVisible());
      dlg.btnCancel->click();
    }
    QCOMPARE(dlg.result(), int(accepted ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(dlg.GlobalBon(), stored);
  }

  void portsOpensWithTheSettingsAndFallsBackTo4800() {
    const std::vector<TSerialPortEntry> ports = {{"COM1", "/dev/ttyS0", ""},
                                                 {"USB0", "/dev/ttyUSB0", "usb-FTDI_X-if00"}};
    TfmPorts dlg(57600 % 65536, 4999, "USB0", ports);
    QStringList speeds;
    for (int i = 0; i < dlg.cbSpeed->count(); ++i) speeds << dlg.cbSpeed->itemText(i);
    QCOMPARE(speeds.join(','), QString("1200,2400,4800,9600,14400,19200,28800,38400"));
    QCOMPARE(dlg.cbSpeed->currentText(), QString("4800"));
    QCOMPARE(dlg.eIPPort->text(), QString("4999"));
    QCOMPARE(dlg.cbComPort->currentData().toString(), QString("USB0"));
    QVERIFY(dlg.cbComPort->currentText().contains("usb-FTDI_X-if00"));
    QCOMPARE(dlg.findChildren<QGroupBox*>().size(), 2);
    TfmPorts unknown(9600, 1, "pts/3", ports);
    QCOMPARE(unknown.cbComPort->currentIndex(), -1);
    QCOMPARE(unknown.cbSpeed->currentText(), QString("9600"));
  }

  void portsOkStoresAllOrNothing_data() {
    QTest::addColumn<QString>("ipText");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("ipPort");
    QTest::addColumn<int>("speed");
    QTest::newRow("a port") << "5000" << true << 5000 << 38400;
    QTest::newRow("not a number keeps the port") << "abc" << true << 4999 << 38400;
    QTest::newRow("above 65535 stores nothing") << "65536" << false << 4999 << 4800;
  }

  void portsOkStoresAllOrNothing() {
    QFETCH(QString, ipText);
    QFETCH(bool, accepted);
    QFETCH(int, ipPort);
    QFETCH(int, speed);
    TfmPorts dlg(4800, 4999, "COM1", {{"COM1", "/dev/ttyS0", ""}, {"COM2", "/dev/ttyS1", ""}});
    dlg.open();
    dlg.cbSpeed->setCurrentIndex(7);
    dlg.cbComPort->setCurrentIndex(1);
    dlg.eIPPort->setText(ipText);
    dlg.btnOK->click();
    if (!accepted) {
      QCOMPARE(AnswerBox(), QString("Range check error"));
      QVERIFY(dlg.isVisible());
      dlg.btnCancel->click();
    }
    QCOMPARE(dlg.result(), int(accepted ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(int(dlg.IPPort()), ipPort);
    QCOMPARE(int(dlg.Speed()), speed);
    QCOMPARE(dlg.ComPortName(), std::string(accepted ? "COM2" : "COM1"));
  }

  void portsEmptySelectionStoresAnEmptyName() {
    TfmPorts dlg(4800, 4999, "pts/3", {{"COM1", "/dev/ttyS0", ""}});
    dlg.open();
    dlg.btnOK->click();
    QCOMPARE(dlg.ComPortName(), std::string());
  }

  void codeTable() {
    TfmLangSel same(3);
    QCOMPARE(same.lblCurrLng->text(), "Current code table: " + QString::fromStdString(LanguageName(3)));
    QCOMPARE(same.lbAllLangs->count(), LANG_COUNT);
    QCOMPARE(same.lbAllLangs->item(0)->text(), QString::fromStdString(LanguageName(1)));
    QCOMPARE(same.lbAllLangs->currentRow(), 2);
    same.open();
    same.btnOK->click();
    QCOMPARE(same.result(), int(QDialog::Rejected));
    QCOMPARE(same.LanguageID(), 3);

    TfmLangSel other(3);
    other.open();
    other.lbAllLangs->setCurrentRow(5);
    other.btnOK->click();
    QCOMPARE(other.result(), int(QDialog::Accepted));
    QCOMPARE(other.LanguageID(), 6);
  }

  void f1AsksForTheDialogsTopic() {
    TfmPorts dlg(4800, 4999, "COM1", {});
    QSignalSpy help(&dlg, &TKassiroDialog::helpRequested);
    dlg.open();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClick(&dlg, Qt::Key_F1);
    QCOMPARE(help.size(), 1);
    QCOMPARE(help.at(0).at(0).toInt(), 230);
    dlg.reject();
  }
};

KASSIRO_QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
