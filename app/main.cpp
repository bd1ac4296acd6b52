// userauth <configuration name>: the user-authentication dialog.
#include <QApplication>

#include "MySql/MySQLVixProvider.h"
#include "app/QtPlatform.h"
#include "app/fmMain.h"

int main(int argc, char** argv) {
  // Providers register explicitly: a self-registering object in a static
  // library would be dropped by the linker.
  vix::RegisterMySQLVixProvider();
  QApplication application(argc, argv);
  vix::TQtPlatform platform;
  vix::TMainForm MainForm(platform);
  MainForm.show();
  return application.exec();
}
