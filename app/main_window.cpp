#include "app/main_window.h"

namespace sorrelon::app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("TForm1");
  setWindowTitle(QStringLiteral("Sorrelon Recover for SQLSERVER"));
  setFixedSize(1014, 615);
}

}  // namespace sorrelon::app
