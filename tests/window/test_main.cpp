// test_window's entry: the window tests need an application object, and the one the
// program uses, so the exception backstop is what they exercise.
#include <gtest/gtest.h>

#include "shell/error_box.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  cardsync::shell::GuardedApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
