// The main window of the desktop program.
#pragma once

#include <QMainWindow>

namespace sorrelon::app {

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
};

}  // namespace sorrelon::app
