// The desktop program. `--open-image PATH [--disk|--partition]` starts with
// that image already chosen (without the open dialog and the question), so a
// demonstration can open the window on a prepared image.
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <optional>

#include "app/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  sorrelon::app::SetUpApplication();

  QString image;
  std::optional<bool> partition;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--open-image") && i + 1 < args.size()) {
      image = args[++i];
    } else if (args[i] == QLatin1String("--disk")) {
      partition = false;
    } else if (args[i] == QLatin1String("--partition")) {
      partition = true;
    } else {
      std::fprintf(stderr, "usage: sorrelon-gui [--open-image PATH [--disk|--partition]]\n");
      return 2;
    }
  }

  sorrelon::app::TForm1 window;
  if (!image.isEmpty()) window.OpenImage(image.toStdString(), partition);
  window.show();
  return app.exec();
}
