#include "ui/StatusWindow.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

#include <exception>

#include "core/LogFile.h"
#include "ui/DialogSupport.h"
#include "ui/TrayArt.h"
#include "operator/HelpTopics.h"

namespace kassiro::ui {

namespace {

const QColor CL_GREEN(0, 128, 0);
const QColor CL_RED(255, 0, 0);
const QColor CL_BLUE(0, 0, 255);

// Each cell: its background, then its text 2 pixels right of and below the cell's
// corner, clipped to the cell. Row 0 is the fixed header row.
class TCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QPalette& pal = option.palette;
    p->save();
    p->setClipRect(option.rect);
    p->fillRect(option.rect, index.row() == 0 ? pal.button() : pal.base());
    p->setPen(pal.color(QPalette::Text));
    const QFontMetrics fm(option.font);
    p->drawText(option.rect.left() + 2, option.rect.top() + 2 + fm.ascent(), index.data().toString());
    p->restore();
  }
};

void SetLinkColour(QLabel* l, const QColor& c) {
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, c);
  l->setPalette(pal);
}

}  // namespace

// ---------------------------------------------------------------------- indicator

TIndicator::TIndicator(QWidget* parent) : QWidget(parent) { setFixedSize(sizeHint()); }

void TIndicator::SetOn(bool on) {
  if (on == FOn) return;
  FOn = on;
  update();
}

void TIndicator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(FOn ? CL_GREEN : CL_RED);
  p.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

// ---------------------------------------------------------------------- link label

TLinkLabel::TLinkLabel(const QString& text, QString target, QWidget* parent)
    : QLabel(text, parent), FTarget(std::move(target)) {
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::SetHot(bool hot) {
  FHot = hot;
  SetLinkColour(this, hot ? CL_BLUE : Qt::black);
}

void TLinkLabel::enterEvent(QEnterEvent* e) {
  SetHot(true);
  QLabel::enterEvent(e);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  SetHot(false);
  emit clicked(FTarget);
  QLabel::mouseReleaseEvent(e);
}

// -------------------------------------------------------------------- the window

TfmKassiroStatus::TfmKassiroStatus(TSessionRecords records, QWidget* parent)
    : QWidget(parent, Qt::Window), tmrDisplay(new QTimer(this)), FRecords(records) {
  setObjectName(QStringLiteral("fmKassiroStatus"));
  SetProgramCaption(this);
  pgcStatusScreen = new QTabWidget;
  pgcStatusScreen->setObjectName(QStringLiteral("pgcStatusScreen"));
  tabStatus = MakeStatusTab();
  tabAbout = MakeAboutTab();
  pgcStatusScreen->addTab(tabStatus, QStringLiteral("Status"));
  pgcStatusScreen->addTab(tabAbout, QStringLiteral("About"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pgcStatusScreen);
  resize(480, 360);

  tmrDisplay->setInterval(1000);
  connect(tmrDisplay, &QTimer::timeout, this, &TfmKassiroStatus::UpdateMonitor);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { emit helpRequested(HELP_STATUS); });
}

QWidget* TfmKassiroStatus::MakeStatusTab() {
  auto* tab = new QWidget;
  shIndicator = new TIndicator;
  shIndicator->setObjectName(QStringLiteral("shIndicator"));
  lblSettings = new QLabel(QString::fromUtf8(SERVER_STOPPED_TEXT.data(), SERVER_STOPPED_TEXT.size()));
  lblSettings->setObjectName(QStringLiteral("lblSettings"));
  lblLanguage = new QLabel;
  lblLanguage->setObjectName(QStringLiteral("lblLanguage"));
  sgECRs = new QTableWidget(2, STATUS_COLUMNS);
  sgECRs->setObjectName(QStringLiteral("sgECRs"));
  sgECRs->horizontalHeader()->hide();
  sgECRs->verticalHeader()->hide();
  sgECRs->verticalHeader()->setDefaultSectionSize(sgECRs->fontMetrics().height() + 6);
  sgECRs->horizontalHeader()->setStretchLastSection(true);
  sgECRs->setColumnWidth(0, 60);
  sgECRs->setColumnWidth(1, 80);
  sgECRs->setColumnWidth(2, 70);
  sgECRs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  sgECRs->setSelectionMode(QAbstractItemView::NoSelection);
  sgECRs->setFocusPolicy(Qt::NoFocus);
  sgECRs->setItemDelegate(new TCellDelegate(sgECRs));
  ShowRows(FGrid.Rows());

  auto* top = new QHBoxLayout;
  top->addWidget(shIndicator);
  auto* labels = new QVBoxLayout;
  labels->addWidget(lblSettings);
  labels->addWidget(lblLanguage);
  top->addLayout(labels, 1);
  auto* layout = new QVBoxLayout(tab);
  layout->addLayout(top);
  auto* served = new QLabel(QStringLiteral("Served ECRs"));
  served->setObjectName(QStringLiteral("Label2"));
  layout->addWidget(served);
  layout->addWidget(sgECRs, 1);
  return tab;
}

QWidget* TfmKassiroStatus::MakeAboutTab() {
  auto* tab = new QWidget;
  FAboutPanel = tab;
  ProdName = new QLabel(windowTitle());
  ProdName->setObjectName(QStringLiteral("ProdName"));
  QFont big = ProdName->font();
  big.setBold(true);
  big.setPointSize(big.pointSize() + 3);
  ProdName->setFont(big);
  Img = new QLabel;
  Img->setObjectName(QStringLiteral("Img"));
  Img->setPixmap(AppIcon().pixmap(64, 64));
  auto* line1 = new QLabel(QStringLiteral("The Kassiro project"));
  auto* line2 = new QLabel(QStringLiteral("Communication server for electronic cash registers"));
  auto* lblPhones = new QLabel(QStringLiteral("Phone: no telephone support, please write"));
  lblPhones->setObjectName(QStringLiteral("lblPhones"));
  auto* lblFaxes = new QLabel(QStringLiteral("Fax: none"));
  lblFaxes->setObjectName(QStringLiteral("lblFaxes"));
  lblEMail = new TLinkLabel(QString::fromLatin1(SUPPORT_EMAIL),
                            QStringLiteral("mailto:") + QString::fromLatin1(SUPPORT_EMAIL));
  lblEMail->setObjectName(QStringLiteral("lblEMail"));
  lblLINK = new TLinkLabel(QString::fromLatin1(PROJECT_LINK), QString::fromLatin1(PROJECT_LINK));
  lblLINK->setObjectName(QStringLiteral("lblLINK"));
  for (TLinkLabel* l : {lblEMail, lblLINK}) {
    connect(l, &TLinkLabel::clicked, this, [](const QString& target) { QDesktopServices::openUrl(QUrl(target)); });
  }
  tab->setMouseTracking(true);
  tab->installEventFilter(this);

  auto* head = new QHBoxLayout;
  head->addWidget(Img);
  head->addWidget(ProdName, 1);
  auto* layout = new QVBoxLayout(tab);
  layout->addLayout(head);
  for (QWidget* w : std::initializer_list<QWidget*>{line1, line2, lblPhones, lblFaxes, lblEMail, lblLINK})
    layout->addWidget(w);
  layout->addStretch(1);
  return tab;
}

bool TfmKassiroStatus::eventFilter(QObject* watched, QEvent* e) {
  // The mouse back on the panel: both links turn black again.
  if (watched == FAboutPanel && (e->type() == QEvent::Enter || e->type() == QEvent::MouseMove)) {
    lblEMail->SetHot(false);
    lblLINK->SetHot(false);
  }
  return QWidget::eventFilter(watched, e);
}

void TfmKassiroStatus::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  pgcStatusScreen->setCurrentWidget(tabStatus);
  UpdateMonitor();
  tmrDisplay->start();
}

void TfmKassiroStatus::hideEvent(QHideEvent* e) {
  tmrDisplay->stop();
  QWidget::hideEvent(e);
}

void TfmKassiroStatus::ResetGrid() {
  FGrid.Reset();
  ShowRows(FGrid.Rows());
}

void TfmKassiroStatus::UpdateMonitor() {
  try {
    FRecords.Refresh(FGrid);
    shIndicator->SetOn(FGrid.Polling());
    ShowRows(FGrid.Rows());
  } catch (const std::exception& e) {
    LogAddLine(std::string("UpdateMonitor: ") + e.what());
  }
}

// Only cells whose text changed are touched, so an idle window repaints nothing.
void TfmKassiroStatus::ShowRows(const std::vector<TGridRow>& rows) {
  const int count = static_cast<int>(rows.size());
  if (sgECRs->rowCount() != count) sgECRs->setRowCount(count);
  for (int r = 0; r < count; ++r) {
    for (int c = 0; c < STATUS_COLUMNS; ++c) {
      const QString text = QString::fromStdString(rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]);
      QTableWidgetItem* item = sgECRs->item(r, c);
      if (item == nullptr) {
        sgECRs->setItem(r, c, new QTableWidgetItem(text));
      } else if (item->text() != text) {
        item->setText(text);
      }
    }
  }
}

}  // namespace kassiro::ui
