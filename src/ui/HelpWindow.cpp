#include "ui/HelpWindow.h"

#include <QFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QUrl>

#include <map>

#include "ui/DialogSupport.h"
#include "operator/HelpTopics.h"
#include "ui/OperatorNames.h"

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
  const QString path = QString::fromStdString(FHelpFile.string());
  setSource(QUrl::fromLocalFile(path), QTextDocument::MarkdownResource);
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) NameHeadings(file.readAll().toStdString());
}

// Markdown has no anchors of its own: the guide marks its topics with HTML anchors before
// their headings, which the viewer puts on the headings themselves.
void THelpWindow::NameHeadings(const std::string& markdown) {
  std::map<QString, QString> names;
  for (const auto& [heading, name] : HeadingAnchors(markdown))
    names[QString::fromStdString(heading)] = QString::fromStdString(name);
  for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
    if (b.blockFormat().headingLevel() == 0) continue;
    const auto it = names.find(b.text().trimmed());
    if (it == names.end()) continue;
    QTextCursor c(b);
    c.select(QTextCursor::BlockUnderCursor);
    c.movePosition(QTextCursor::StartOfBlock);
    c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    QTextCharFormat f;
    f.setAnchor(true);
    f.setAnchorNames({it->second});
    c.mergeCharFormat(f);
  }
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
