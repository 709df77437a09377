// The window's tests run in a real QApplication on the offscreen platform.
// With --screenshot=<file.png> the program instead draws a window with a few
// processes and saves it as a picture (the README's screenshot), with
// --dialog-screenshot=<file.png> the connection settings dialog.
#include "AppTestSupport.h"
#include "app/MainForm.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

// Qt's own libraries are not built with ThreadSanitizer, so the hand-over of
// memory between Qt's internal threads (file-dialog gatherers, its thread
// pool) is invisible to it and shows as races inside Qt. Reports whose
// stacks run through Qt are left out; our threads never call Qt.
extern "C" const char *__tsan_default_suppressions()
{
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n"
         "race:libQt6Widgets.so\n";
}

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QApplication Application(argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--screenshot=", 13) == 0)
      return apptest::TakeScreenshot(argv[i] + 13);
    else if (std::strncmp(argv[i], "--dialog-screenshot=", 20) == 0)
      return apptest::TakeDialogScreenshot(argv[i] + 20);
  const apptest::TTestUnits Units;
  // Windows of these tests open no command server unless a test asks for one
  // (on a free port), so that parallel test programs never share a port.
  app::TForm1::CommandServerEnabled = false;
  return RUN_ALL_TESTS();
}
