// Entry of the GoogleTest programs that use the database: Qt's ODBC driver is a
// plugin and needs an application object, and date-time texts are pinned to the C
// locale's defaults so expected texts do not depend on the machine.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>

#include "clock/format_settings.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QLocale::setDefault(QLocale::c());
  cardsync::ReloadFormatSettings();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
