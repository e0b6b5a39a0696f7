// The help window: the operator's guide (Markdown) in a browser of its own, opened at
// the contents or at a topic's anchor.
#pragma once

#include <QTextBrowser>

#include <filesystem>
#include <string>

namespace kassiro::ui {

class THelpWindow : public QTextBrowser {
  Q_OBJECT
 public:
  explicit THelpWindow(std::filesystem::path helpFile, QWidget* parent = nullptr);
  // Shows the window at the topic of a help context (the contents for 0 or 270).
  void ShowTopic(int context);

 private:
  void Load();
  void NameHeadings(const std::string& markdown);
  std::filesystem::path FHelpFile;
  bool FLoaded = false;
};

}  // namespace kassiro::ui
