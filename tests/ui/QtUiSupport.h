// Shared by the window tests: a main that runs them offscreen with a private runtime
// folder, and helpers that answer modal dialogs from the event loop.
#pragma once

#include <stdlib.h>

#include <QApplication>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <functional>
#include <string>

namespace kassiro::testing {

// Runs fn on the first modal window of type T to come up, polled every 10 ms. A dialog
// that never comes fails the test by its function time-out (QTEST_FUNCTION_TIMEOUT).
template <class T>
void WhenModal(std::function<void(T*)> fn) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, fn] {
    if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      fn(w);
    }
  });
  timer->start();
}

// The message box now open on top, or null.
inline QMessageBox* OpenBox() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }

// Closes the box on top with OK; returns its text ("" when there is none).
inline QString AnswerBox() {
  QMessageBox* box = OpenBox();
  if (box == nullptr) return {};
  const QString text = box->text();
  box->button(QMessageBox::Ok)->click();
  return text;
}

inline void PrepareEnvironment() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    std::string dir = (std::filesystem::temp_directory_path() / "kassiro-xdg-XXXXXX").string();
    if (::mkdtemp(dir.data()) != nullptr) qputenv("XDG_RUNTIME_DIR", dir.c_str());
  }
}

}  // namespace kassiro::testing

#define KASSIRO_QTEST_MAIN(TestClass)                 \
  int main(int argc, char** argv) {                   \
    kassiro::testing::PrepareEnvironment();           \
    QApplication app(argc, argv);                     \
    QApplication::setQuitOnLastWindowClosed(false);   \
    TestClass tc;                                     \
    return QTest::qExec(&tc, argc, argv);             \
  }
