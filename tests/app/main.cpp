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

// Qt and GLib (Qt's event loop) are not built with ThreadSanitizer: the
// hand-over of memory between their internal threads (the file dialog's
// gatherer, the thread pool that paints and converts images) goes through
// atomics it cannot see, and shows as races on the memory those libraries
// allocate, copy and free. Only the allocation and copy calls made from inside
// those libraries are left unchecked; every access our own code makes is
// checked whatever called it, so a race between a loader thread and the
// window's timer or slots is still reported.
extern "C" const char *__tsan_default_suppressions()
{
  return "called_from_lib:libQt6Core.so\n"
         "called_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\n"
         "called_from_lib:libglib-2.0.so\n";
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
