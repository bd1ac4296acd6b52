// userauth <configuration name>: the user-authentication dialog.
#include <QApplication>

#include "app/QtPlatform.h"
#include "app/fmMain.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  vix::TQtPlatform platform;
  vix::TMainForm MainForm(platform);
  MainForm.show();
  return application.exec();
}
