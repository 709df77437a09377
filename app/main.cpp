// Quorlan2: loads memory images into electricity meters, many at once.
//
// Start-up and shut-down keep one order: the thread services and the device
// list exist before any loader and outlive them all; the images are loaded
// before the window and freed after every loader has gone.
//
// The shutdown signals are blocked before the first thread is made, so that
// every thread inherits that, and read on the main thread once the window
// exists: they close the program as the operator would.
//
// One copy of the program at a time works on a settings file: the lock of
// its name is taken before the file is read, and a second copy on the same
// file ends at once, its window, its command server and the file untouched.
#include "app/ComAndTCPClient.h"
#include "app/MainForm.h"
#include "app/OpenFileLimit.h"
#include "app/QtText.h"
#include "app/ShutdownSignals.h"
#include "app/WakeHook.h"
#include "app/WindowTexts.h"
#include "link/DeviceList.h"
#include "link/ThreadService.h"
#include "loader/BuiltinImages.h"
#include "platform/FileLock.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#ifdef __SANITIZE_THREAD__
// In a ThreadSanitizer build: Qt and GLib are not built with it, and the
// hand-over of memory between their own threads (the pool that paints and
// converts images) goes through atomics it cannot see. Only allocations and
// copies made inside those libraries are left unchecked; every access of the
// program's own code is still checked.
extern "C" const char *__tsan_default_suppressions()
{
  return "called_from_lib:libQt6Core.so\n"
         "called_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\n"
         "called_from_lib:libglib-2.0.so\n";
}
#endif

namespace {

// The exit status of a copy of the program that another copy keeps off its
// settings file.
constexpr int SettingsInUseStatus = 3;

// False when another copy of the program holds the settings file: that is
// said on the standard error output and, where there is a screen to show it
// on, in a box. A lock that cannot be made keeps nobody out (in a folder that
// takes no new file the settings are rewritten in place): that is said too.
bool SettingsFileFree(const platform::TFileLock &Lock, const std::string &IniFileName)
{
  if (Lock.State() == platform::TFileLock::TState::NotMade)
    std::fprintf(stderr,
                 "Quorlan2: cannot make the lock file %s (%s); a second copy of the program "
                 "on the same settings file will not be kept out\n",
                 Lock.LockFileName().c_str(), std::strerror(Lock.Error()));
  if (Lock.State() != platform::TFileLock::TState::InUse)
    return true;
  std::string Text = "settings file " + IniFileName + " is in use by another copy of the program";
  if (Lock.Holder() > 0)
    Text += " (process " + std::to_string(Lock.Holder()) + ")";
  std::fprintf(stderr, "Quorlan2: the %s\n", Text.c_str());
  const QString Platform = QGuiApplication::platformName();
  if (!app::TForm1::SignalledBeforeWindow && Platform != "offscreen" && Platform != "minimal")
    QMessageBox::critical(nullptr, app::ToQt(app::texts::SError), QString::fromUtf8("The " + Text + "."));
  return false;
}

} // namespace

int main(int argc, char *argv[])
{
  app::BlockShutdownSignals();
  // A closed standard error (the pipe to a tee that a Ctrl+C has ended) and
  // a file-size limit are errors to report, not reasons to die before the
  // settings are written: the writes that meet them fail and say so.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  app::RaiseOpenFileLimit();
  ServiceList();           // the service list, before the first thread service
  (void)DeviceList.load(); // the device list exists from the program's start
  int Result = 0;
  {
    const loader::TLoaderUnits LoaderUnits; // the five images
    QApplication Application(argc, argv);
    const app::TWakeHook WakeHook;
    // The first argument names the settings file. It is taken as the bytes
    // it is (QApplication has removed its own options from argv by now): a
    // file name need not be valid UTF-8, and a QString would change it.
    const std::string IniFileName =
        app::SettingsFileName(argc > 1 && argv[1] ? std::string(argv[1]) : std::string());
    const platform::TFileLock Lock(IniFileName); // held until the program ends
    {
      // A signal that comes while the window is being made (a box of the
      // start may be open) ends that box and is acted on once the event
      // loop runs.
      std::unique_ptr<app::TForm1> Form;
      std::vector<int> Early;
      const app::TShutdownSignals Signals([&Form, &Early](int Signal) {
        if (Form) {
          Form->CloseBySignal(Signal);
          return;
        }
        Early.push_back(Signal);
        app::TForm1::SignalledBeforeWindow = true; // no further box of the start
        if (auto *Dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
          Dialog->reject();
      });
      if (!SettingsFileFree(Lock, IniFileName)) {
        Result = SettingsInUseStatus;
      } else {
        Form = std::make_unique<app::TForm1>(IniFileName);
        // The connection settings dialog, made once and shown again and
        // again; the window owns it.
        new app::TfrmComAndTCPClient(Form.get());
        Form->show();
        QTimer::singleShot(0, Form.get(), [&Form, &Early] {
          for (const int Signal : Early)
            Form->CloseBySignal(Signal);
        });
        Result = QApplication::exec();
      }
      // Destroying the window deletes its rows; each frees its loader.
    }
  }
  // Every loader is gone: the device list ends, then the services.
  FinalizeDeviceList();
  TerminateAllServices();
  return Result;
}
