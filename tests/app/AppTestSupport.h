#pragma once
// What the window's tests share: the program's units for the whole test run,
// waits with a deadline that keep the event loop going, private temporary
// folders, and a catcher for the window's message boxes.
#include "app/WakeHook.h"
#include "loader/BuiltinImages.h"

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

namespace apptest {

// The images and the main thread's wake-up hook, for the whole test run.
struct TTestUnits {
  loader::TLoaderUnits Images;
  app::TWakeHook WakeHook;
};

// Serves the event loop (at least once) until Done holds or Timeout has
// passed; Done's last value.
bool WaitUntil(const std::function<bool()> &Done,
               std::chrono::milliseconds Timeout = std::chrono::seconds(10));

// A private folder, removed with everything in it.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir &) = delete;
  TTempDir &operator=(const TTempDir &) = delete;
  const std::string &Path() const { return FPath; }
  std::string File(const std::string &Name) const { return FPath + "/" + Name; }

private:
  std::string FPath;
};

std::string ReadFile(const std::string &Name);
void WriteFile(const std::string &Name, const std::string &Bytes);

// While it lives, every modal message box that opens is answered at once
// and its text recorded (UTF-8): with Answer where the box has that button,
// else closed as with OK.
class TMessageBoxCatcher {
public:
  explicit TMessageBoxCatcher(QMessageBox::StandardButton Answer = QMessageBox::Ok);
  ~TMessageBoxCatcher();
  TMessageBoxCatcher(const TMessageBoxCatcher &) = delete;
  TMessageBoxCatcher &operator=(const TMessageBoxCatcher &) = delete;
  QStringList Texts() const { return FTexts; }

private:
  QTimer FTimer;
  QStringList FTexts;
};

// Draws a window with a few processes into a PNG file; the program's result.
int TakeScreenshot(const std::string &FileName);
// Draws the connection settings dialog of one of those processes.
int TakeDialogScreenshot(const std::string &FileName);

} // namespace apptest
