#include "ui/DialogSupport.h"

#include <QPushButton>
#include <QShortcut>

#include "server/KassiroServer.h"
#include "ui/TrayArt.h"

namespace kassiro::ui {

void SetProgramCaption(QWidget* w) {
  w->setWindowTitle(QString::fromStdString(ApplicationTitle()));
  w->setWindowIcon(AppIcon());
}

TKassiroDialog::TKassiroDialog(int helpContext, QWidget* parent)
    : QDialog(parent), FHelpContext(helpContext) {
  SetProgramCaption(this);
  setMinimumWidth(340);  // wide enough for the caption
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { emit helpRequested(FHelpContext); });
}

QMessageBox* OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                            std::function<void()> after) {
  auto* box = new QMessageBox(icon, QString::fromStdString(ApplicationTitle()), text,
                              QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  if (after) QObject::connect(box, &QMessageBox::finished, box, [after = std::move(after)] { after(); });
  box->open();
  return box;
}

}  // namespace kassiro::ui
