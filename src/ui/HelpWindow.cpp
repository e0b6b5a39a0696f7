#include "ui/HelpWindow.h"

#include <QScrollBar>
#include <QUrl>

#include "ui/DialogSupport.h"
#include "ui/logic/HelpTopics.h"

namespace kassiro::ui {

THelpWindow::THelpWindow(std::filesystem::path helpFile, QWidget* parent)
    : QTextBrowser(parent), FHelpFile(std::move(helpFile)) {
  setWindowFlag(Qt::Window);
  setObjectName(QStringLiteral("HelpWindow"));
  SetProgramCaption(this);
  setOpenExternalLinks(true);
  resize(720, 600);
}

void THelpWindow::Load() {
  if (FLoaded) return;
  FLoaded = true;
  std::error_code ec;
  if (!std::filesystem::exists(FHelpFile, ec)) {
    setPlainText(QStringLiteral("The help file %1 is missing.").arg(QString::fromStdString(FHelpFile.string())));
    return;
  }
  setSource(QUrl::fromLocalFile(QString::fromStdString(FHelpFile.string())), QTextDocument::MarkdownResource);
}

void THelpWindow::ShowTopic(int context) {
  Load();
  show();
  showNormal();
  raise();
  activateWindow();
  const std::string anchor = HelpAnchor(context);
  if (anchor.empty()) verticalScrollBar()->setValue(0);
  else scrollToAnchor(QString::fromStdString(anchor));
}

}  // namespace kassiro::ui
