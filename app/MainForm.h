#pragma once
// The main window: the process list, the log memo with its typed commands,
// the actions on the toolbar and in the list's popup menu, and the 100 ms
// window timer. Each process row owns its loader. The window reads its layout
// and its processes from the settings file when it is made and writes them
// back when it closes.
#include "app/CommandServer.h"
#include "app/DepartingLoaders.h"
#include "app/DescriptorBudget.h"
#include "app/LinkSettings.h"
#include "app/ListItem.h"
#include "app/ProcessPlaces.h"
#include "app/RemoteProcesses.h"
#include "loader/Quorlan.h"

#include <QMainWindow>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QFileDialog;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QTimer;
class QToolBar;
class QTreeWidget;

namespace platform {
class IniFile;
}

namespace app {

// The settings file that goes with a program file: its extension (the text
// after the last "." of the file name) replaced by ".INI", or ".INI" appended.
std::string IniFileNameOf(const std::string &ProgramPath);
// The settings file of the program: Argument (the first command-line
// argument), or when that is empty the one that goes with the program file.
std::string SettingsFileName(const std::string &Argument);

// What becomes of the window when it closes.
enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm1 : public QMainWindow {
  Q_OBJECT

public:
  // Makes the window and runs FormCreate. IniFileName is the first
  // command-line argument; empty: the program's path with ".INI".
  explicit TForm1(const std::string &IniFileName, QWidget *Parent = nullptr);
  // Deletes every remaining row first (each freeing its loader, which waits
  // for its threads) while the window is whole.
  ~TForm1() override;
  TForm1(const TForm1 &) = delete;
  TForm1 &operator=(const TForm1 &) = delete;

  // --- own fields ---
  // What the start action and the command server's clients may start: the
  // rows whose links find descriptors (before the command server, which
  // keeps room in it for its clients).
  TDescriptorBudget FDescriptorBudget;
  // The command server; made in FormCreate once its handlers exist, stopped
  // and freed in FormClose.
  std::unique_ptr<TCommandServer> FCommandServer;
  // False keeps windows from opening the command server at all: the window
  // tests run many windows at once, and each would claim the same port.
  static inline bool CommandServerEnabled = true;
  // The bound on rows of the windows made from now on (MaxProcessCount;
  // tests lower it, so that reaching it takes a few rows).
  static inline std::int32_t ProcessLimit = MaxProcessCount;
  // Every row and every loader a connection made for the window holds a
  // place; the command server takes its places here too.
  TProcessPlaces FProcessPlaces{ProcessLimit};
  // Loaders of removed rows that are still ending, each with its place.
  TDepartingLoaders FDeparting;
  // Loaders made by command-server connections that have no row yet: filled
  // on connection threads, emptied by the window timer.
  std::unique_ptr<TRemoteProcesses> FRemoteProcesses;
  // Administrator mode; loader threads read it (loader::AdminMode()).
  std::atomic<bool> FAdminMode{false};
  // The characters typed after "-ADMIN " in the memo.
  std::string FAdminPassword;
  // The settings file, fixed at start-up.
  std::string FIniFileName;
  // The command server's port, from the settings file.
  std::int32_t FCommandPort = TCommandServer::DefaultCommandPort;
  // Where the save action writes the images as source units.
  std::string FImageSourceDir;

  // --- controls ---
  QToolBar *ToolBar1 = nullptr;
  QSplitter *Splitter1 = nullptr;
  QWidget *Panel2 = nullptr;
  QTreeWidget *ListView1 = nullptr;
  QWidget *Panel1 = nullptr;
  QPlainTextEdit *Memo1 = nullptr;
  QTimer *Timer1 = nullptr;
  QFileDialog *OpenDialog1 = nullptr; // made by OpenDialog() on first use
  QFileDialog *OpenDialog();
  QMenu *PopupMenu1 = nullptr;

  // --- actions ---
  QAction *SaveFileAction = nullptr;
  QAction *OpenFileAction = nullptr;
  QAction *SetOnAction = nullptr;
  QAction *TestMaxSpeedAction = nullptr;
  QAction *AddItemAction = nullptr;
  QAction *RemoveItemAction = nullptr;
  QAction *StartBootAction = nullptr;
  QAction *StopBootAction = nullptr;
  QAction *StayOnTopAction = nullptr;
  QAction *AddObjectsFromBufferAction = nullptr;

  // --- start-up, rows and shut-down ---
  void FormCreate(QObject *Sender);
  void FormCloseQuery(QObject *Sender, bool &CanClose);
  void FormClose(QObject *Sender, TCloseAction &Action);
  // Appends a process row. Arg is a loader to adopt (it keeps its settings
  // and the place the command server took for it); none (nullptr) makes a
  // new loader with the window's defaults and a place of its own, or
  // nothing (nullptr) when the list is full.
  TListItem *AddProcess(TPlacedLoader Arg);
  void ListView1Deletion(QObject *Sender, TListItem *Item);

  // --- operation ---
  void Timer1Timer(QObject *Sender);
  void StartBootActionExecute(QObject *Sender);
  void StopBootActionExecute(QObject *Sender);
  void RemoveItemActionExecute(QObject *Sender);
  void AddItemActionExecute(QObject *Sender);
  void TestMaxSpeedActionExecute(QObject *Sender);
  void StayOnTopActionExecute(QObject *Sender);
  void OpenFileActionExecute(QObject *Sender);
  void SaveFileActionExecute(QObject *Sender);
  // The connection settings of the selected process in the settings dialog;
  // confirmed values go back into an idle process.
  void SetOnActionExecute(QObject *Sender);
  void ListView1DblClick(QObject *Sender);
  // New processes from the "Object" lines of the clipboard's text.
  void AddObjectsFromBufferActionExecute(QObject *Sender);
  void Splitter1CanResize(QObject *Sender, int &NewSize, bool &Accept);
  // Runs before the memo takes the typed character; may replace it.
  void Memo1KeyPress(QObject *Sender, QChar &Key);
  void SetAdminMode(bool Value);
  // The log callback of every loader's meter device, on the loader's thread.
  void DeviceLog(std::int32_t DeviceIndex, std::uint8_t Kind, const char *Text, std::int32_t Len);

  // A shutdown signal (SIGTERM, SIGHUP, SIGINT): every running process is
  // stopped as the stop action stops it, the window waits for them with its
  // event loop going, writes the settings file and ends the event loop with
  // status 0, or SettingsNotWrittenStatus when the file could not be
  // written. A second signal, or SignalCloseLimit without a process ending,
  // writes the settings and ends the program at once (EndAtOnce).
  void CloseBySignal(int Signal);
  static constexpr std::chrono::seconds SignalCloseLimit{60};
  static constexpr int SettingsNotWrittenStatus = 2;
  // The exit status of a program ended at once, its processes not stopped.
  static constexpr int EndAtOnceStatus = 1;
  [[noreturn]] void EndAtOnce();
  bool ClosingBySignal() const { return FClosingBySignal; }
  // A shutdown signal came while the window was being made (main thread):
  // the errors of the start go to the standard error output from then on.
  static inline bool SignalledBeforeWindow = false;
  // Processes that still run: rows not idle, handed-over loaders not idle,
  // and loaders of removed rows not yet freed.
  std::size_t BusyProcessCount() const;

  // The rows in list order.
  int RowCount() const;
  TListItem *Row(int Index) const;

protected:
  void closeEvent(QCloseEvent *Event) override;
  void showEvent(QShowEvent *Event) override;
  bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
  void CreateActions();
  // The controls, part by part: the toolbar, the splitter with the process
  // list and its popup menu above the log memo, and the timer.
  void CreateControls();
  void CreateToolBar();
  void CreateListPanel();
  void CreatePopupMenu();
  void CreateMemoPanel();
  void ReadSettings(platform::IniFile &Ini);
  void WriteSettings(platform::IniFile &Ini);
  // Writes the settings file; false with the reason when it cannot.
  bool SaveSettings(std::string &Error);
  // After a failed write: true when the operator closes without saving.
  bool AskCloseWithoutSaving(const std::string &Error);
  // Stops every running process that is not stopping yet, as the stop action
  // does; the number of processes still running.
  std::size_t StopRunningProcesses();
  void SignalCloseStep();
  // Ends the modal dialogs and boxes that are open; false when there were any.
  bool EndModalWindows();
  void CreateCommandServer();
  void FreeCommandServer();
  void FreeRemoteProcesses();
  void ShowError(const std::string &Text);
  void ShowError(const std::exception &Error);
  int Panel1Height() const;
  void SetPanel1Height(int Height);
  QSize ScreenFit() const;
  void SplitterMoved();
  TListItem *FirstSelectedRow() const;
  // Brings the memo up to date with a process's log.
  void ShowLog(const loader::TQuorlan &L);
  bool HasRowOf(const loader::TQuorlan *L) const;

  int FPanel1Accepted = 0; // the panel height last accepted by the splitter
  bool FShown = false;     // the window has been shown once

  // What the memo shows of a log: how far it has been filled from which log
  // (TQuorlan::LogSince) and the document's revision right after. The memo's
  // own text cannot be compared with the log, since a no-break space or a CR
  // inside a line does not come back as it went in; the memo is rewritten only
  // when the log has changed or the memo has been edited since, and lines
  // appended to the log are appended to the memo.
  struct TMemoShown {
    std::uint64_t FMark = 0;
    std::size_t FLength = 0;
    int FRevision = -1;
    // Every line shown so far came as a plain quoted item (SplitPlainLog), so
    // the log read whole splits where its pieces split.
    bool FPlain = false;
  };
  TMemoShown FMemoShown;

  // The close after a shutdown signal.
  bool FClosingBySignal = false;
  bool FSettingsNotWritten = false; // the close by signal could not write them
  bool FInClose = false;            // closeEvent runs
  QTimer *FSignalCloseTimer = nullptr;
  std::size_t FBusyLeft = 0;
  std::chrono::steady_clock::time_point FLastProgress;
};

// The window made at start-up; loaders reach its administrator flag through
// loader::SetAdminModeSource instead.
extern TForm1 *Form1;

} // namespace app
