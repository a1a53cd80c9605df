#include <QApplication>

#include "app/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vellicor"));
  QApplication::setApplicationDisplayName(QStringLiteral("Vellicor"));
  sorrelon::app::MainWindow w;
  w.show();
  return app.exec();
}
