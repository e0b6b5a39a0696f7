// The status window built from prepared shared records: header, rows, ageing, rows
// moving up, the indicator's colour, the timer's life, and the About tab's links.
#include <QEnterEvent>
#include <QSignalSpy>

#include <mutex>

#include "QtUiSupport.h"
#include "server/KassiroServer.h"
#include "ui/StatusWindow.h"

using namespace kassiro;
using namespace kassiro::ui;

namespace {

QStringList Row(const QTableWidget* g, int r) {
  QStringList cells;
  for (int c = 0; c < g->columnCount(); ++c) cells << (g->item(r, c) ? g->item(r, c)->text() : QString());
  return cells;
}

QColor IndicatorCentre(TIndicator* i) {
  const QImage img = i->grab().toImage();
  return img.pixelColor(img.width() / 2, img.height() / 2);
}

}  // namespace

class StatusTest : public QObject {
  Q_OBJECT

  Session s;
  TSessionRecords records{s};

  void Serve(int ecr, std::initializer_list<std::pair<int, std::uint16_t>> owners = {}) {
    std::lock_guard lock(s.Lock);
    (*s.Ecrs)[ecr].UserCount = 1;
    for (auto [set, id] : owners) (*s.Ecrs)[ecr].Sets[set].OwnerID = id;
  }

 private slots:
  void init() {
    std::lock_guard lock(s.Lock);
    s.ClearStructures();
    s.IniStru = TIniStru{};
  }

  void showsHeaderAndOneEmptyRowAndTheTabs() {
    TfmKassiroStatus w(records);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.pgcStatusScreen->tabText(0), QString("Status"));
    QCOMPARE(w.pgcStatusScreen->tabText(1), QString("About"));
    QCOMPARE(w.pgcStatusScreen->currentWidget(), w.tabStatus);
    QCOMPARE(w.sgECRs->rowCount(), 2);
    QCOMPARE(Row(w.sgECRs, 0), QStringList({"Log No", "Ser No", "Mode", "SET:ID"}));
    QCOMPARE(Row(w.sgECRs, 1), QStringList({"", "", "", ""}));
    QCOMPARE(w.findChild<QLabel*>("Label2")->text(), QString("Served ECRs"));
    QCOMPARE(w.windowTitle(), QString::fromStdString(ApplicationTitle()));
    QCOMPARE(IndicatorCentre(w.shIndicator), QColor(255, 0, 0));
  }

  void listsServedEcrsAgesModesAndMovesRowsUp() {
    Serve(3, {{5, 2}});
    Serve(8);  // all sets free: an empty SET:ID cell
    Serve(20, {{1, 3}, {4, 3}});
    {
      std::lock_guard lock(s.Lock);
      s.ServerStatus = 1;
      s.IniStru.ERData[3].SerNum = 4711;
      s.IniStru.ERData[3].CurrMode = MD_INLINE;
      s.IniStru.ERData[3].CurrTO = DISP_TO;
    }
    TfmKassiroStatus w(records);
    w.show();  // shows once: the first refresh
    QCOMPARE(w.sgECRs->rowCount(), 4);
    QCOMPARE(Row(w.sgECRs, 1), QStringList({"3", "004711", "InLine", "5:2;"}));
    QCOMPARE(Row(w.sgECRs, 2), QStringList({"8", "000000", "Off", ""}));
    QCOMPARE(Row(w.sgECRs, 3), QStringList({"20", "000000", "Off", "1:3;4:3;"}));
    QCOMPARE(IndicatorCentre(w.shIndicator), QColor(0, 128, 0));
    for (int i = 2; i <= 15; ++i) w.UpdateMonitor();
    QCOMPARE(w.sgECRs->item(1, 2)->text(), QString("InLine"));
    w.UpdateMonitor();  // the 16th
    QCOMPARE(w.sgECRs->item(1, 2)->text(), QString("Off"));

    {
      std::lock_guard lock(s.Lock);
      (*s.Ecrs)[3].UserCount = 0;
      s.ServerStatus = 0;
    }
    w.UpdateMonitor();
    QCOMPARE(w.sgECRs->rowCount(), 3);
    QCOMPARE(Row(w.sgECRs, 1).at(0), QString("8"));
    QCOMPARE(Row(w.sgECRs, 2).at(0), QString("20"));
    QCOMPARE(IndicatorCentre(w.shIndicator), QColor(255, 0, 0));
  }

  void refreshesEverySecondOnlyWhileShown() {
    Serve(1);
    TfmKassiroStatus w(records);
    QVERIFY(!w.tmrDisplay->isActive());
    QCOMPARE(w.tmrDisplay->interval(), 1000);
    w.SetRefreshInterval(20);
    w.pgcStatusScreen->setCurrentWidget(w.tabAbout);
    w.show();
    QCOMPARE(w.pgcStatusScreen->currentWidget(), w.tabStatus);
    QVERIFY(w.tmrDisplay->isActive());
    {
      std::lock_guard lock(s.Lock);
      s.IniStru.ERData[1].CurrMode = MD_ONLINE;
      s.IniStru.ERData[1].CurrTO = DISP_TO;
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.sgECRs->item(1, 2)->text(), QString("OnLine"), 10000);
    w.close();  // closing only hides
    QVERIFY(!w.tmrDisplay->isActive());
    std::uint8_t left = 0;
    {
      std::lock_guard lock(s.Lock);
      left = s.IniStru.ERData[1].CurrTO;
    }
    QTest::qWait(100);
    std::lock_guard lock(s.Lock);
    QCOMPARE(s.IniStru.ERData[1].CurrTO, left);  // no ageing while hidden
  }

  void aboutTabLinksTurnBlueAndBlackAndOpenTheirTargets() {
    TfmKassiroStatus w(records);
    w.show();
    w.pgcStatusScreen->setCurrentWidget(w.tabAbout);
    QCOMPARE(w.ProdName->text(), QString::fromStdString(ApplicationTitle()));
    QVERIFY(!w.Img->pixmap().isNull());
    for (TLinkLabel* l : {w.lblEMail, w.lblLINK}) QCOMPARE(l->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(w.lblEMail->Target(), QString("mailto:") + SUPPORT_EMAIL);
    QCOMPARE(w.lblLINK->Target(), QString(PROJECT_LINK));

    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(w.lblEMail, &enter);
    QVERIFY(w.lblEMail->Hot());
    QCOMPARE(w.lblEMail->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QEvent panel(QEvent::Enter);
    QApplication::sendEvent(w.tabAbout, &panel);
    QVERIFY(!w.lblEMail->Hot());
    QCOMPARE(w.lblEMail->palette().color(QPalette::WindowText), QColor(Qt::black));

    QSignalSpy clicks(w.lblLINK, &TLinkLabel::clicked);
    QApplication::sendEvent(w.lblLINK, &enter);
    w.lblLINK->SetHot(true);
    QTest::mouseRelease(w.lblLINK, Qt::LeftButton);
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(clicks.at(0).at(0).toString(), QString(PROJECT_LINK));
    QVERIFY(!w.lblLINK->Hot());
  }
};

KASSIRO_QTEST_MAIN(StatusTest)
#include "StatusTest.moc"
