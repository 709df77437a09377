// The main window as an object: its controls, start-up from the settings
// file, process rows and their loaders, and closing.
#include "app/MainForm.h"

#include "app/QtText.h"
#include "app/WindowTexts.h"
#include "loader/BlockSizes.h"
#include "loader/MeterTypes.h"
#include "platform/IniFile.h"
#include "platform/TextFormat.h"
#include "platform/TextRules.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#ifndef QUORLAN2_IMAGE_SOURCE_DIR
#define QUORLAN2_IMAGE_SOURCE_DIR "."
#endif

namespace app {

TForm1 *Form1 = nullptr;

namespace {

constexpr int ColumnCount = 8;
constexpr int DesignClientWidth = 712;
constexpr int DesignClientHeight = 395;
constexpr int DesignPanel1Height = 234;
constexpr int DesignColumnWidths[ColumnCount] = {100, 100, 100, 80, 90, 150, 70, 150};
constexpr int DefaultColumnWidth = 150;

// What a row the window makes starts with: a TCP link to this computer
// that waits long for answers.
TLinkSettings WindowDefaults()
{
  TLinkSettings S;
  S.SetAnswerTimeOut(20000);
  S.SystemTimeOut = 50;
  S.TcpHost = "127.0.0.1";
  S.UseComPort = false;
  return S;
}
constexpr TLinkSettingSet WindowDefaultSettings =
    lsAnswerTimeOuts | lsSystemTimeOut | lsTcpHost | lsUseComPort;

// The longest host name there can be; a longer one in the file is a bad value.
constexpr std::size_t MaxHostNameLength = 253;

const char SMain[] = "Main";
const char SServer[] = "Server";

std::string ColumnKey(int Index) { return "Column[" + platform::IntToStr(Index) + "]"; }
std::string ObjectSection(int Index) { return "Objects(" + platform::IntToStr(Index) + ")"; }

// The numbered port settings and their keys, in the order of the file.
struct TPortKey {
  const char *Key;
  std::int32_t Param;
  std::int32_t TLinkSettings::*Field;
  std::int32_t Default;
};
constexpr TPortKey PortKeys[] = {
    {"COM", rpPortNumber, &TLinkSettings::Port, 1},
    {"BaudRate", rpBaudRate, &TLinkSettings::BaudRate, 9600},
    {"Parity", rpParity, &TLinkSettings::Parity, platform::ODDPARITY},
    {"AnswerTimeOut", rpAnswerTimeOut, &TLinkSettings::AnswerTimeOut, 500},
    {"SystemTimeOut", rpSystemTimeOut, &TLinkSettings::SystemTimeOut, 50},
    {"RWMTimeOut", rpTimeOutMultiplier, &TLinkSettings::Multiplier, 0},
};

// A row's link settings from its section of the settings file, and which of
// them the file sets: every one but the TCP read time-out, which follows a
// stored answer time-out and otherwise stays the window's default.
TLinkSettings ReadObjectLink(const platform::IniFile &Ini, const std::string &Section,
                             TLinkSettingSet &Stored)
{
  TLinkSettings S;
  S.NetAdr = Ini.ReadString(Section, "NetAdr", "");
  for (const TPortKey &Key : PortKeys)
    S.*Key.Field = Ini.ReadInteger(Section, Key.Key, Key.Default);
  Stored = lsAll & ~lsTcpReadTimeout;
  if (const std::int32_t AnswerTimeOut = Ini.ReadInteger(Section, "AnswerTimeOut", 0); AnswerTimeOut > 0) {
    S.SetAnswerTimeOut(AnswerTimeOut);
    Stored |= lsTcpReadTimeout;
  }
  S.TcpHost = Ini.ReadString(Section, "TCPIP.IP", "127.0.0.1");
  if (S.TcpHost.size() > MaxHostNameLength)
    S.TcpHost = "127.0.0.1";
  S.TcpPort = Ini.ReadInteger(Section, "TCPIP.Port", 5000);
  S.BlockSize = Ini.ReadInteger(Section, "BlockSize", loader::MaxBlockSize);
  S.UseComPort = Ini.ReadBool(Section, "Type", true);
  S.AlertSequence = Ini.ReadBool(Section, "AlertSequence", false);
  S.PacketMode = Ini.ReadBool(Section, "PacketMode", false);
  return S;
}

// A panel of the splitter, named PanelName, with one control named
// ControlName that fills it.
template <class TControl>
TControl *AddPanel(QSplitter *Splitter, QWidget *&Panel, const char *PanelName, const char *ControlName)
{
  Panel = new QWidget(Splitter);
  Panel->setObjectName(QLatin1String(PanelName));
  auto *Layout = new QVBoxLayout(Panel);
  Layout->setContentsMargins(0, 0, 0, 0);
  auto *Control = new TControl(Panel);
  Control->setObjectName(QLatin1String(ControlName));
  Layout->addWidget(Control);
  return Control;
}

// The program file's path as the system names it: bytes, which need not be
// valid UTF-8 and so cannot go through a QString unchanged.
std::string ProgramFilePath()
{
  std::error_code Error;
  const std::filesystem::path Path = std::filesystem::read_symlink("/proc/self/exe", Error);
  if (!Error && !Path.empty())
    return Path.string();
  return QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
}

} // namespace

std::string IniFileNameOf(const std::string &ProgramPath)
{
  const std::size_t NameStart = ProgramPath.find_last_of('/') + 1; // npos + 1 == 0
  const std::size_t Dot = ProgramPath.find_last_of('.');
  if (Dot == std::string::npos || Dot < NameStart)
    return ProgramPath + ".INI";
  return ProgramPath.substr(0, Dot) + ".INI";
}

std::string SettingsFileName(const std::string &Argument)
{
  return Argument.empty() ? IniFileNameOf(ProgramFilePath()) : Argument;
}

TForm1::TForm1(const std::string &IniFileName, QWidget *Parent)
    : QMainWindow(Parent), FIniFileName(IniFileName), FImageSourceDir(QUORLAN2_IMAGE_SOURCE_DIR)
{
  if (!Form1)
    Form1 = this;
  loader::SetAdminModeSource(&FAdminMode);
  CreateActions();
  CreateControls();
  FormCreate(this);
  Timer1->start();
}

TForm1::~TForm1()
{
  Timer1->stop();
  // Freeing a loader waits for its threads; the rows go while the window is
  // whole, so that their deletion event still finds it. Every loader is told
  // to end first (a run in progress as if the operator had stopped it), so
  // that their threads end side by side and not one after another.
  for (int i = 0; i < RowCount(); ++i)
    if (loader::TQuorlan *L = Row(i)->Data()) {
      L->TerminateAsStopped();
    }
  ListView1->clear();
  FreeCommandServer();
  FreeRemoteProcesses();
  // Loaders of removed rows still use the window's log callback.
  FDeparting.WaitAll();
  loader::SetAdminModeSource(nullptr);
  if (Form1 == this)
    Form1 = nullptr;
}

void TForm1::CreateActions()
{
  const auto Make = [this](const char *Caption, const char *Hint, QStyle::StandardPixmap Icon) {
    auto *Action = new QAction(style()->standardIcon(Icon), ToQt(Caption), this);
    Action->setToolTip(ToQt(Hint));
    return Action;
  };
  SaveFileAction = Make(texts::SSaveCaption, texts::SSaveHint, QStyle::SP_DialogSaveButton);
  OpenFileAction = Make(texts::SOpenCaption, texts::SOpenCaption, QStyle::SP_DialogOpenButton);
  SetOnAction = Make(texts::SSetOnCaption, texts::SSetOnCaption, QStyle::SP_FileDialogDetailedView);
  TestMaxSpeedAction = Make(texts::SMaxSpeedCaption, texts::SMaxSpeedHint, QStyle::SP_MediaSeekForward);
  AddItemAction = Make(texts::SAddCaption, texts::SAddCaption, QStyle::SP_FileDialogNewFolder);
  RemoveItemAction = Make(texts::SRemoveCaption, texts::SRemoveCaption, QStyle::SP_TrashIcon);
  StartBootAction = Make(texts::SStartCaption, texts::SStartHint, QStyle::SP_MediaPlay);
  StopBootAction = Make(texts::SStopCaption, texts::SStopCaption, QStyle::SP_MediaStop);
  StayOnTopAction = Make(texts::SStayOnTopCaption, texts::SStayOnTopCaption, QStyle::SP_TitleBarShadeButton);
  AddObjectsFromBufferAction = Make(texts::SAddFromBufferCaption, "", QStyle::SP_FileDialogContentsView);
  StartBootAction->setEnabled(false);
  StopBootAction->setEnabled(false);

  // A check-mark action's handler toggles the mark itself, so the toggle Qt
  // makes on a trigger is taken back first.
  for (QAction *Action : {TestMaxSpeedAction, StayOnTopAction}) {
    Action->setCheckable(true);
    connect(Action, &QAction::triggered, this, [this, Action](bool Checked) {
      {
        const QSignalBlocker Blocker(Action);
        Action->setChecked(!Checked);
      }
      if (Action == TestMaxSpeedAction)
        TestMaxSpeedActionExecute(Action);
      else
        StayOnTopActionExecute(Action);
    });
  }
  const auto Bind = [this](QAction *Action, void (TForm1::*Handler)(QObject *)) {
    connect(Action, &QAction::triggered, this, [this, Action, Handler] { (this->*Handler)(Action); });
  };
  Bind(SaveFileAction, &TForm1::SaveFileActionExecute);
  Bind(OpenFileAction, &TForm1::OpenFileActionExecute);
  Bind(AddItemAction, &TForm1::AddItemActionExecute);
  Bind(RemoveItemAction, &TForm1::RemoveItemActionExecute);
  Bind(StartBootAction, &TForm1::StartBootActionExecute);
  Bind(StopBootAction, &TForm1::StopBootActionExecute);
  Bind(SetOnAction, &TForm1::SetOnActionExecute);
  Bind(AddObjectsFromBufferAction, &TForm1::AddObjectsFromBufferActionExecute);
}

void TForm1::CreateControls()
{
  resize(DesignClientWidth, DesignClientHeight);
  QFont FormFont(QStringLiteral("Tahoma"));
  setFont(FormFont);

  CreateToolBar();

  Splitter1 = new QSplitter(Qt::Vertical, this);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));
  Splitter1->setHandleWidth(4);
  Splitter1->setOpaqueResize(false);
  Splitter1->setChildrenCollapsible(false);
  setCentralWidget(Splitter1);
  CreateListPanel();
  CreatePopupMenu();
  CreateMemoPanel();

  // The list takes what the window gains or loses; the panel keeps its height.
  Splitter1->setStretchFactor(0, 1);
  Splitter1->setStretchFactor(1, 0);
  connect(Splitter1, &QSplitter::splitterMoved, this, [this] { SplitterMoved(); });
  SetPanel1Height(DesignPanel1Height);

  Timer1 = new QTimer(this);
  Timer1->setInterval(100);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });
}

void TForm1::CreateToolBar()
{
  ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setIconSize(QSize(16, 16));
  ToolBar1->addActions({SaveFileAction, OpenFileAction, SetOnAction, TestMaxSpeedAction});
  ToolBar1->addSeparator();
  ToolBar1->addActions({AddItemAction, RemoveItemAction});
  ToolBar1->addSeparator();
  ToolBar1->addActions({StartBootAction, StopBootAction});
  ToolBar1->addSeparator();
  ToolBar1->addAction(StayOnTopAction);
}

void TForm1::CreateListPanel()
{
  ListView1 = AddPanel<QTreeWidget>(Splitter1, Panel2, "Panel2", "ListView1");
  ListView1->setColumnCount(ColumnCount);
  QStringList Headers;
  for (const char *Header : texts::SColumns)
    Headers << ToQt(Header);
  ListView1->setHeaderLabels(Headers);
  for (int i = 0; i < ColumnCount; ++i) {
    ListView1->headerItem()->setTextAlignment(i, i == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
    ListView1->setColumnWidth(i, DesignColumnWidths[i]);
  }
  ListView1->header()->setMinimumSectionSize(16);
  // Stored widths are taken as they are: no column stretches.
  ListView1->header()->setStretchLastSection(false);
  ListView1->setRootIsDecorated(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setStyleSheet(QStringLiteral(
      "QTreeWidget::item { border-right: 1px solid #d0d0d0; border-bottom: 1px solid #d0d0d0; }"
      "QTreeWidget::item:selected { background: palette(highlight); color: palette(highlighted-text); }"));
  QFont ListFont(QStringLiteral("Tahoma"));
  ListFont.setBold(true);
  ListView1->setFont(ListFont);
  ListView1->viewport()->installEventFilter(this); // double clicks
}

void TForm1::CreatePopupMenu()
{
  PopupMenu1 = new QMenu(this);
  PopupMenu1->addAction(SetOnAction);
  PopupMenu1->addSeparator();
  PopupMenu1->addActions({AddObjectsFromBufferAction, AddItemAction, RemoveItemAction});
  PopupMenu1->addSeparator();
  PopupMenu1->addActions({StartBootAction, StopBootAction});
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint &Pos) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(Pos)); });
}

void TForm1::CreateMemoPanel()
{
  Memo1 = AddPanel<QPlainTextEdit>(Splitter1, Panel1, "Panel1", "Memo1");
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont MemoFont(QStringLiteral("System"));
  MemoFont.setPixelSize(13);
  MemoFont.setBold(true);
  Memo1->setFont(MemoFont);
  Memo1->installEventFilter(this);
}

// The open dialog is made when first needed: once made, it watches the
// folder it shows, and a busy working folder would cost the window's thread
// all the time.
QFileDialog *TForm1::OpenDialog()
{
  if (OpenDialog1)
    return OpenDialog1;
  OpenDialog1 = new QFileDialog(this, ToQt(texts::SOpenDialogTitle));
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setSizeGripEnabled(true);
  // Each filter's text shows its pattern once, in the parentheses at its end,
  // which is where the dialog takes the pattern from.
  OpenDialog1->setNameFilters(
      {QStringLiteral("TSK file format (*.tsk)"), QStringLiteral("Binary file format (*.V7A)"),
       QStringLiteral("Binary file format (*.V7B)"), QStringLiteral("Binary file format (*.V7C)"),
       QStringLiteral("Binary file format (*.V7P)"), QStringLiteral("Binary file format (*.V7Q)")});
  return OpenDialog1;
}

// Lays the window out at its present size, so that the panel's height is
// exact also before the window is first shown.
int TForm1::Panel1Height() const { return Splitter1->sizes().value(1, FPanel1Accepted); }

void TForm1::SetPanel1Height(int Height)
{
  if (layout())
    layout()->activate();
  const int Total = std::max(Splitter1->height() - Splitter1->handleWidth(), 0);
  Height = std::clamp(Height, 0, Total);
  Splitter1->setSizes({Total - Height, Height});
  FPanel1Accepted = Height;
}

// The largest size whose frame fits the screen the window is on. The frame
// is known once the window has been made on the screen; before, it counts
// as none.
QSize TForm1::ScreenFit() const
{
  const QScreen *Screen = screen();
  if (!Screen)
    return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
  const QMargins Frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  return Screen->availableGeometry().size().shrunkBy(Frame).expandedTo(QSize(0, 0));
}

void TForm1::showEvent(QShowEvent *Event)
{
  QMainWindow::showEvent(Event);
  if (FShown)
    return;
  FShown = true;
  // Its frame is known now: a size read before is held to the screen again,
  // once the window system has placed the window.
  QTimer::singleShot(0, this, [this] {
    if (const QSize Fit = size().boundedTo(ScreenFit()); Fit != size())
      resize(Fit);
  });
}

void TForm1::SplitterMoved()
{
  int NewSize = Panel1Height();
  bool Accept = true;
  Splitter1CanResize(Splitter1, NewSize, Accept);
  if (Accept)
    FPanel1Accepted = NewSize;
  else
    SetPanel1Height(FPanel1Accepted);
}

// While the program closes by a signal there is nobody to answer a box: the
// error goes to the standard error output instead.
void TForm1::ShowError(const std::string &Text)
{
  if (FClosingBySignal || SignalledBeforeWindow)
    std::fprintf(stderr, "Quorlan2: %s\n", ToQt(Text).toLocal8Bit().constData());
  else
    QMessageBox::critical(this, ToQt(texts::SError), ToQt(Text));
}

void TForm1::ShowError(const std::exception &Error)
{
  // Messages of the platform's errors carry file names as the system gave
  // them (UTF-8 on this system).
  if (FClosingBySignal || SignalledBeforeWindow)
    std::fprintf(stderr, "Quorlan2: %s\n", Error.what());
  else
    QMessageBox::critical(this, ToQt(texts::SError), QString::fromUtf8(Error.what()));
}

int TForm1::RowCount() const { return ListView1->topLevelItemCount(); }

TListItem *TForm1::Row(int Index) const { return static_cast<TListItem *>(ListView1->topLevelItem(Index)); }

void TForm1::FormCreate(QObject *)
{
  FIniFileName = SettingsFileName(FIniFileName);

  std::unique_ptr<platform::IniFile> Ini;
  try {
    Ini = std::make_unique<platform::IniFile>(FIniFileName);
  } catch (const std::exception &Error) {
    // The window still opens, without rows, and keeps working.
    ShowError(Error);
  }
  if (Ini) {
    try {
      ReadSettings(*Ini);
      Ini->UpdateFile();
    } catch (const std::exception &Error) {
      ShowError(Error);
    }
    Ini.reset();
  }

  SetAdminMode(false);
  StartBootAction->setEnabled(true);
  OpenFileAction->setEnabled(false);

  setWindowTitle(ToQt(platform::Format(
      texts::STitleFormat, std::string(loader::ImageVersions[0]).c_str(),
      std::string(loader::ImageVersions[1]).c_str(), std::string(loader::ImageVersions[2]).c_str(),
      std::string(loader::ImageVersions[3]).c_str(), std::string(loader::ImageVersions[4]).c_str())));

  FRemoteProcesses = std::make_unique<TRemoteProcesses>();
  CreateCommandServer();
}

void TForm1::ReadSettings(platform::IniFile &Ini)
{
  // The stored layout is held to the screen: a window larger than the screen
  // has parts the operator cannot reach, and one far larger is never painted
  // and costs memory by its area.
  const QSize Fit = ScreenFit();
  const int Height = std::clamp(Ini.ReadInteger(SMain, "Height", height()), 0, Fit.height());
  const int Width = std::clamp(Ini.ReadInteger(SMain, "Width", width()), 0, Fit.width());
  resize(Width, Height);
  SetPanel1Height(Ini.ReadInteger(SMain, "Panel1.Height", Panel1Height()));
  // A stored width is held to the list's minimum (a column of width 0 could
  // not be dragged back) and to the screen's width.
  const int Narrowest = ListView1->header()->minimumSectionSize();
  for (int i = 0; i < ListView1->columnCount(); ++i)
    ListView1->setColumnWidth(i, std::clamp(Ini.ReadInteger(SMain, ColumnKey(i), DefaultColumnWidth),
                                            Narrowest, std::max(Narrowest, Fit.width())));
  // Past the bound on rows the file's processes are not read.
  const std::int32_t Count = std::min(Ini.ReadInteger(SMain, "Count", 0), FProcessPlaces.Limit());
  FCommandPort = Ini.ReadInteger(SServer, "Port", TCommandServer::DefaultCommandPort);

  for (std::int32_t i = 0; i < Count; ++i) {
    TListItem *Item = AddProcess(nullptr);
    if (!Item)
      break;
    loader::TQuorlan *L = Item->Data();
    const std::string Section = ObjectSection(i);
    TLinkSettingSet Stored = 0;
    const TLinkSettings S = ReadObjectLink(Ini, Section, Stored);
    ApplyLinkSettings(*L, S, Stored);
    L->FMaxSpeed = Ini.ReadBool(Section, "MaxSpeed", false);
  }
}

void TForm1::WriteSettings(platform::IniFile &Ini)
{
  // A window made larger than its screen is stored at the size that fits it.
  const QSize Stored = size().boundedTo(ScreenFit());
  Ini.EraseSection(SMain);
  Ini.WriteInteger(SMain, "Height", Stored.height());
  Ini.WriteInteger(SMain, "Width", Stored.width());
  Ini.WriteInteger(SMain, "Panel1.Height", Panel1Height());
  for (int i = 0; i < ListView1->columnCount(); ++i)
    Ini.WriteInteger(SMain, ColumnKey(i), ListView1->columnWidth(i));
  Ini.WriteInteger(SMain, "Count", RowCount());

  for (int i = 0; i < RowCount(); ++i) {
    const std::string Section = ObjectSection(i);
    Ini.EraseSection(Section);
    const loader::TQuorlan *L = Row(i)->Data();
    if (!L)
      continue;
    Ini.WriteString(Section, "NetAdr", L->NetAdr());
    for (const TPortKey &Key : PortKeys)
      Ini.WriteInteger(Section, Key.Key, L->FDevice->FInfo->GetParam(Key.Param));
    Ini.WriteString(Section, "TCPIP.IP", L->TcpHost());
    Ini.WriteInteger(Section, "TCPIP.Port", L->FTcpClient->Port);
    Ini.WriteInteger(Section, "BlockSize", L->BlockSize());
    Ini.WriteBool(Section, "Type", L->FUseComPort);
    Ini.WriteBool(Section, "MaxSpeed", L->FMaxSpeed);
    Ini.WriteBool(Section, "AlertSequence", L->FDevice->FInfo->FAlertSequence);
    Ini.WriteBool(Section, "PacketMode", L->FPacketMode);
  }
}

TListItem *TForm1::AddProcess(TPlacedLoader Arg)
{
  const bool IsNew = !Arg.Loader;
  if (IsNew) {
    Arg.Place = FProcessPlaces.Take();
    if (!Arg.Place)
      return nullptr;
  }
  // Without a row the loader is freed and its place goes back, whether it
  // was taken here or by the command server.
  auto NewItem = std::make_unique<TListItem>(ListView1->columnCount());
  if (IsNew)
    Arg.Loader = platform::MakeThread<loader::TQuorlan>();
  NewItem->FData = std::move(Arg);
  TListItem *Item = NewItem.release();
  Item->FOnDeletion = [this](TListItem *Deleted) { ListView1Deletion(ListView1, Deleted); };
  ListView1->addTopLevelItem(Item);
  loader::TQuorlan *L = Item->Data();
  L->FListItem = Item;
  if (IsNew) {
    TCustomModBusDevice &Device = *L->FDevice;
    Device.SetOnLog([this](std::int32_t Index, std::uint8_t Kind, const char *Text, std::int32_t Len) {
      DeviceLog(Index, Kind, Text, Len);
    });
    Device.FLogEnabled = true;
    ApplyLinkSettings(*L, WindowDefaults(), WindowDefaultSettings);
    Device.FOwner = L;
  }
  if (!ListView1->selectionModel()->hasSelection())
    Item->setSelected(true);
  return Item;
}

void TForm1::ListView1Deletion(QObject *, TListItem *Item)
{
  if (!Item->FData.Loader)
    return;
  TPlacedLoader Process = std::move(Item->FData);
  loader::TQuorlan *const L = Process.Loader.get();
  L->FListItem = nullptr;
  // A client's connection lets go of the loader now: nothing starts it again.
  if (const std::function<void()> OnFree = std::exchange(L->FOnFree, nullptr))
    OnFree();
  // An idle loader's threads end at once: it is freed here, and its place
  // goes back. A running loader ends its run through the stop step, which
  // may wait for answer time-outs: that happens out of the window's way.
  if (L->State() != ssIdle)
    FDeparting.Add(std::move(Process));
}

void TForm1::FormCloseQuery(QObject *, bool &CanClose)
{
  // Every process that runs keeps the window open, also a loader that a
  // client has started before the timer gave it a row (the close would free
  // it mid-run) and the loader of a removed row that is still ending.
  if (BusyProcessCount() > 0)
    CanClose = false;
  // A close by signal waits for the processes instead (SignalCloseStep).
  if (!CanClose && !FClosingBySignal)
    QMessageBox::warning(this, QString(), ToQt(texts::SCloseRefused), QMessageBox::Ok);
}

bool TForm1::SaveSettings(std::string &Error)
{
  try {
    platform::IniFile Ini(FIniFileName);
    WriteSettings(Ini);
    Ini.UpdateFile();
    return true;
  } catch (const std::exception &Failure) {
    Error = Failure.what();
    return false;
  }
}

bool TForm1::AskCloseWithoutSaving(const std::string &Error)
{
  const QString Text =
      QString::fromUtf8(Error.c_str()) + QStringLiteral("\n\n") + ToQt(texts::SCloseWithoutSaving);
  return QMessageBox::question(this, ToQt(texts::SError), Text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void TForm1::FormClose(QObject *, TCloseAction &Action)
{
  // The old file stays whole when the new one cannot be written (it is
  // replaced only by a complete new one). The operator is told why and
  // decides: close without saving, or keep the window open, with its
  // server, and try again. Under a signal nobody is there to ask.
  std::string Error;
  if (!SaveSettings(Error)) {
    if (FClosingBySignal) {
      std::fprintf(stderr, "Quorlan2: %s\n", Error.c_str());
      FSettingsNotWritten = true;
    } else if (!AskCloseWithoutSaving(Error)) {
      Action = TCloseAction::caNone;
      return;
    }
  }
  FreeCommandServer();
  FreeRemoteProcesses();
}

void TForm1::closeEvent(QCloseEvent *Event)
{
  if (FInClose) { // a box of this close is open
    Event->ignore();
    return;
  }
  const struct TInClose {
    bool &Flag;
    explicit TInClose(bool &F) : Flag(F) { Flag = true; }
    ~TInClose() { Flag = false; }
  } InClose(FInClose);
  bool CanClose = true;
  FormCloseQuery(this, CanClose);
  if (!CanClose) {
    Event->ignore();
    return;
  }
  TCloseAction Action = TCloseAction::caHide;
  FormClose(this, Action);
  if (Action == TCloseAction::caNone) {
    Event->ignore();
    return;
  }
  Event->accept();
}

void TForm1::CreateCommandServer()
{
  if (!CommandServerEnabled)
    return;
  // Every connection's loader comes to the window through the hand-over
  // list; the window timer gives it a row. A port that cannot be bound is
  // reported, and the window works without remote control.
  FCommandServer = std::make_unique<TCommandServer>(
      FCommandPort, [this](TPlacedLoader Process) { FRemoteProcesses->Add(std::move(Process)); },
      [this](std::int32_t Index, std::uint8_t Kind, const char *Text, std::int32_t Len) {
        DeviceLog(Index, Kind, Text, Len);
      },
      TCommandServer::MaxConnections, &FProcessPlaces, &FDescriptorBudget);
  try {
    FCommandServer->SetActive(true);
  } catch (const std::exception &Error) {
    ShowError(Error);
  }
}

void TForm1::FreeCommandServer()
{
  if (!FCommandServer)
    return;
  try {
    FCommandServer->SetActive(false); // closes the connections and waits for their threads
  } catch (const std::exception &Error) {
    ShowError(Error);
  }
  FCommandServer.reset();
}

void TForm1::FreeRemoteProcesses()
{
  if (!FRemoteProcesses)
    return;
  // Loaders handed over too late for a row are freed after the list, each
  // giving its place back: nothing else refers to them once the server has
  // stopped.
  const std::vector<TPlacedLoader> Left = FRemoteProcesses->TakeAll();
  FRemoteProcesses.reset();
}

} // namespace app
