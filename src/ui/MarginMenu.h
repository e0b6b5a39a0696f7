// The tray's pop-up menu, drawn with a margin on its left: a yellow gradient with the
// application's name written bottom-up in white. F1 on an item asks for its help topic
// (the item's data holds its help context).
#pragma once

#include <QMenu>

namespace kassiro::ui {

inline constexpr int MENU_MARGIN = 25;

class TMarginMenu : public QMenu {
  Q_OBJECT
 public:
  explicit TMarginMenu(QWidget* parent = nullptr);

 signals:
  void helpRequested(int context);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
};

}  // namespace kassiro::ui
