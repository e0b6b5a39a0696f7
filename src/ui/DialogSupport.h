// What every window of the program shares: the application title as caption, the
// program's icon, F1 for the window's help topic, and message boxes that do not block.
#pragma once

#include <QDialog>
#include <QMessageBox>

#include <functional>

namespace kassiro::ui {


class TKassiroDialog : public QDialog {
  Q_OBJECT
 public:
  TKassiroDialog(int helpContext, QWidget* parent);
  int HelpContext() const { return FHelpContext; }

 signals:
  void helpRequested(int context);

 private:
  int FHelpContext;
};

// Sets caption and icon of a top-level window of the program.
void SetProgramCaption(QWidget* w);

// Opens a message box over parent and returns at once; `after` runs when it closes.
QMessageBox* OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                            std::function<void()> after = {});

}  // namespace kassiro::ui
