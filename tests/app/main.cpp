// The window's tests run in a real QApplication on the offscreen platform.
// With --screenshot=<file.png> the program instead draws a window with a few
// processes and saves it as a picture (the README's screenshot).
#include "AppTestSupport.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QApplication Application(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--screenshot=", 13) == 0)
      return apptest::TakeScreenshot(argv[i] + 13);
  const apptest::TTestUnits Units;
  return RUN_ALL_TESTS();
}
