// The status window: the served ECRs with serial number, traffic mode and who holds
// which data set, an indicator of whether any ECR is polled, the settings and code table
// in use, and an About tab. It refreshes once a second while shown; each refresh counts
// the listed modes down (the records do that under their lock) and draws the rows.
#pragma once

#include <QLabel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

#include "operator/ServerFacade.h"
#include "operator/StatusGrid.h"
#include "ui/OperatorNames.h"

namespace kassiro::ui {

// The round indicator: green while ECRs are polled, red otherwise.
class TIndicator : public QWidget {
  Q_OBJECT
 public:
  explicit TIndicator(QWidget* parent = nullptr);
  void SetOn(bool on);
  bool On() const { return FOn; }
  QSize sizeHint() const override { return {18, 18}; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  bool FOn = false;
};

// A label that opens its target through the desktop; blue while the mouse is over it.
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  TLinkLabel(const QString& text, QString target, QWidget* parent = nullptr);
  void SetHot(bool hot);
  bool Hot() const { return FHot; }
  const QString& Target() const { return FTarget; }

 signals:
  void clicked(const QString& target);

 protected:
  void enterEvent(QEnterEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  QString FTarget;
  bool FHot = false;
};

class TfmKassiroStatus : public QWidget {
  Q_OBJECT
 public:
  explicit TfmKassiroStatus(TSessionRecords records, QWidget* parent = nullptr);

  // Rebuilds the grid and the indicator from the shared records.
  void UpdateMonitor();
  // Back to one data row (server started or stopped).
  void ResetGrid();
  void SetRefreshInterval(int ms) { tmrDisplay->setInterval(ms); }

  QTabWidget* pgcStatusScreen;
  QWidget* tabStatus;
  QWidget* tabAbout;
  TIndicator* shIndicator;
  QLabel* lblSettings;
  QLabel* lblLanguage;
  QTableWidget* sgECRs;
  QTimer* tmrDisplay;
  QLabel* ProdName;
  QLabel* Img;
  TLinkLabel* lblEMail;
  TLinkLabel* lblLINK;

 signals:
  void helpRequested(int context);

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QWidget* MakeStatusTab();
  QWidget* MakeAboutTab();
  void ShowRows(const std::vector<TGridRow>& rows);

  TSessionRecords FRecords;
  TStatusGrid FGrid;
  QWidget* FAboutPanel = nullptr;
};

// The About tab's support address and web address.
inline constexpr const char* SUPPORT_EMAIL = "support@kassiro.example";
inline constexpr const char* PROJECT_LINK = "https://kassiro.example/";

}  // namespace kassiro::ui
