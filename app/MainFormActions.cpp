// The main window at work: the window timer, the actions, the commands typed
// into the log memo, the devices' log callback, and the memory images.
#include "app/MainForm.h"

#include "app/QtText.h"
#include "app/WindowTexts.h"
#include "link/DeviceList.h"
#include "link/RS485.h"
#include "link/UnExtlibs.h"
#include "loader/BuiltinImages.h"
#include "loader/FileErrors.h"
#include "platform/TextRules.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace app {
namespace {

// Assigns an enabled state or a check mark only when it differs.
void SetEnabled(QAction *Action, bool Value)
{
  if (Action->isEnabled() != Value)
    Action->setEnabled(Value);
}

void SetChecked(QAction *Action, bool Value)
{
  if (Action->isChecked() != Value)
    Action->setChecked(Value);
}

bool StartsWith(const std::string &Text, std::string_view Prefix) { return Text.rfind(Prefix, 0) == 0; }

// The image an image file goes into, by the file's extension: -1 for none.
int ImageOfExtension(const std::string &FileName)
{
  const std::string Name = std::filesystem::path(FileName).filename().string();
  const std::size_t Dot = Name.find_last_of('.');
  if (Dot == std::string::npos)
    return -1;
  std::string Ext = Name.substr(Dot);
  for (char &C : Ext)
    if (C >= 'a' && C <= 'z')
      C = static_cast<char>(C - 'a' + 'A');
  static const char *const Extensions[] = {".V7A", ".V7B", ".V7C", ".V7P", ".V7Q"};
  for (int i = 0; i < 5; ++i)
    if (Ext == Extensions[i])
      return i;
  return -1;
}

// What the memo shows of a log: the log text it was last filled from and the
// document's revision right after. The memo's own text cannot be compared with
// the log, since a no-break space or a CR inside a line does not come back as
// it went in; the memo is rewritten only when the log has changed or the memo
// has been edited since. It lives as a child of the memo.
class TMemoShown : public QObject {
public:
  explicit TMemoShown(QObject *Parent) : QObject(Parent) { setObjectName(QStringLiteral("MemoShown")); }

  static TMemoShown &Of(QPlainTextEdit *Memo)
  {
    if (auto *Shown = dynamic_cast<TMemoShown *>(
          Memo->findChild<QObject *>(QStringLiteral("MemoShown"), Qt::FindDirectChildrenOnly)))
      return *Shown;
    return *new TMemoShown(Memo);
  }

  std::string FLog;
  int FRevision = -1;
};

} // namespace

TListItem *TForm1::FirstSelectedRow() const
{
  for (int i = 0; i < RowCount(); ++i)
    if (Row(i)->isSelected())
      return Row(i);
  return nullptr;
}

void TForm1::Timer1Timer(QObject *)
{
  if (!ListView1)
    return;

  bool AllIdle = true;
  for (int i = 0; i < RowCount() && AllIdle; ++i)
    if (const loader::TQuorlan *L = Row(i)->Data())
      AllIdle = L->State() == ssIdle;
  SetEnabled(OpenFileAction, FAdminMode && AllIdle);

  bool Idle = false;
  const TListItem *Item = FirstSelectedRow();
  if (const loader::TQuorlan *L = Item ? Item->Data() : nullptr) {
    SetEnabled(StopBootAction, L->State() != ssIdle);
    TMemoShown &Shown = TMemoShown::Of(Memo1);
    std::string Log = L->Log();
    if (Log != Shown.FLog || Memo1->document()->revision() != Shown.FRevision) {
      QStringList Lines;
      for (const std::string &Line : platform::SplitCommaText(Log))
        Lines << ToQt(Line);
      Memo1->setPlainText(Lines.join(QLatin1Char('\n')));
      Memo1->moveCursor(QTextCursor::End);
      Shown.FLog = std::move(Log);
      Shown.FRevision = Memo1->document()->revision();
    }
    SetChecked(TestMaxSpeedAction, L->FMaxSpeed);
    Idle = L->State() == ssIdle;
  }
  SetEnabled(StartBootAction, Idle);
  SetEnabled(RemoveItemAction, Idle);

  if (FRemoteProcesses)
    FRemoteProcesses->LockList([this](std::vector<loader::TQuorlan *> &List) {
      while (!List.empty()) {
        platform::TThreadPtr<loader::TQuorlan> L(List.front());
        List.erase(List.begin());
        AddProcess(std::move(L));
      }
    });
  RememberIdleSettings();
}

void TForm1::StartBootActionExecute(QObject *)
{
  for (int i = 0; i < RowCount(); ++i) {
    loader::TQuorlan *L = Row(i)->Data();
    if (Row(i)->isSelected() && L && L->State() == ssIdle)
      L->Start();
  }
}

void TForm1::StopBootActionExecute(QObject *)
{
  for (int i = 0; i < RowCount(); ++i) {
    loader::TQuorlan *L = Row(i)->Data();
    if (Row(i)->isSelected() && L && L->State() != ssIdle) {
      L->FStopRequested = true;
      L->Stop();
    }
  }
}

void TForm1::RemoveItemActionExecute(QObject *)
{
  int FirstDeleted = -1;
  for (int i = 0; i < RowCount();) {
    if (Row(i)->isSelected()) {
      if (FirstDeleted < 0)
        FirstDeleted = i;
      delete Row(i); // its deletion frees its loader
    } else {
      ++i;
    }
  }
  if (FirstDeleted < 0)
    return;
  ListView1->clearSelection();
  if (RowCount() > 0)
    Row(std::min(FirstDeleted, RowCount() - 1))->setSelected(true);
}

void TForm1::AddItemActionExecute(QObject *) { AddProcess(nullptr); }

void TForm1::TestMaxSpeedActionExecute(QObject *)
{
  const TListItem *Item = FirstSelectedRow();
  loader::TQuorlan *L = Item ? Item->Data() : nullptr;
  if (!L)
    return;
  TestMaxSpeedAction->setChecked(!TestMaxSpeedAction->isChecked());
  L->FMaxSpeed = TestMaxSpeedAction->isChecked();
}

void TForm1::StayOnTopActionExecute(QObject *)
{
  StayOnTopAction->setChecked(!StayOnTopAction->isChecked());
  const bool WasVisible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, StayOnTopAction->isChecked());
  if (WasVisible)
    show(); // a change of the window's flags hides it
}

void TForm1::Splitter1CanResize(QObject *, int &NewSize, bool &Accept) { Accept = NewSize > 100; }

void TForm1::SetAdminMode(bool Value)
{
  FAdminMode = Value;
  SaveFileAction->setEnabled(Value);
  OpenFileAction->setEnabled(Value);
}

void TForm1::Memo1KeyPress(QObject *, QChar &Key)
{
  const auto CaretLine = [this] { return FromQt(Memo1->textCursor().block().text()); };
  std::string Line = CaretLine();
  if (StartsWith(Line, texts::SAdminCommand)) {
    if (Line == texts::SAdminCommand)
      FAdminPassword.clear();
    if (Key.unicode() > 27) {
      FAdminPassword += FromQt(QString(Key));
      Key = QLatin1Char('*');
    }
  }
  if (Key == QLatin1Char('\r')) {
    Line = CaretLine();
    bool Cleared = false;
    if (Line == texts::SClearCommand) {
      Memo1->clear();
      Cleared = true;
    } else if (StartsWith(Line, texts::SAdminPrefix)) {
      SetAdminMode(platform::Trim(FAdminPassword) == texts::SAdminPassPhrase);
    }
    if (!Cleared) {
      Memo1->appendPlainText(ToQt(texts::SEcho + Line));
      Memo1->moveCursor(QTextCursor::End); // the Enter then opens a line below the echo
    }
  }
}

bool TForm1::eventFilter(QObject *Watched, QEvent *Event)
{
  if (Watched == ListView1->viewport() && Event->type() == QEvent::MouseButtonDblClick) {
    // After the list has taken the click (a click beside the rows selects none).
    QTimer::singleShot(0, this, [this] { ListView1DblClick(ListView1); });
    return false;
  }
  if (Watched != Memo1 || Event->type() != QEvent::KeyPress)
    return QMainWindow::eventFilter(Watched, Event);
  auto *KeyEvent = static_cast<QKeyEvent *>(Event);
  const QString Text = KeyEvent->text();
  // Only keys that type a character reach the handler (Delete types none).
  if (Text.size() != 1 || KeyEvent->key() == Qt::Key_Delete)
    return false;
  const QChar Typed = KeyEvent->key() == Qt::Key_Enter ? QLatin1Char('\r') : Text.front();
  QChar Key = Typed;
  Memo1KeyPress(Memo1, Key);
  if (Key == Typed)
    return false; // the memo takes the character as usual
  if (!Key.isNull())
    Memo1->insertPlainText(QString(Key));
  return true;
}

void TForm1::DeviceLog(std::int32_t DeviceIndex, std::uint8_t Kind, const char *Text, std::int32_t Len)
{
  const std::string S = BufToStr(Text, Len);
  if (S.empty())
    return;
  TRS485 *D = DeviceByIndex(DeviceIndex);
  if (!D)
    return;
  auto *L = static_cast<loader::TQuorlan *>(D->FOwner.load());
  if (!L)
    return;
  switch (Kind) {
  case evError:
    if (D->FError == ErrPortBusy) {
      char Line[128];
      std::snprintf(Line, sizeof Line, SComPortBusy, static_cast<int>(D->FInfo->GetParam(0)));
      L->AppendLog(Line);
    } else {
      L->AppendLog(S);
    }
    break;
  case evSent:
    if (FAdminMode)
      L->AppendLog(S);
    break;
  case evReceived:
    if (FAdminMode) {
      L->AppendLog(S);
      L->AppendLog(" ");
    }
    break;
  default:
    break;
  }
}

void TForm1::OpenFileActionExecute(QObject *)
{
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty())
    return;
  const std::string FileName = QFile::encodeName(OpenDialog1->selectedFiles().front()).toStdString();
  const int Target = ImageOfExtension(FileName);
  loader::TExtDumpMem *Image = Target >= 0 ? loader::DumpMem[static_cast<std::size_t>(Target)].get() : nullptr;
  if (Image) {
    try {
      Image->LoadFromFile(FileName);
    } catch (const std::exception &Error) {
      ShowError(Error); // the save action keeps its state
      return;
    }
  }
  SaveFileAction->setEnabled(FAdminMode && Image && Image->GetSize() > 0);
}

void TForm1::SaveFileActionExecute(QObject *)
{
  namespace fs = std::filesystem;
  // Existing source units are left alone. A unit that could not be written
  // is named to the operator, and the others are still written.
  QStringList Failed;
  for (const loader::TBuiltinImage &Unit : loader::BuiltinImages()) {
    const loader::TExtDumpMem *Image = loader::DumpMem[static_cast<std::size_t>(Unit.MeterType)].get();
    const fs::path Path = fs::path(FImageSourceDir) / (std::string(Unit.UnitName) + ".pas");
    std::error_code Ignored;
    if (!Image || fs::exists(Path, Ignored))
      continue;
    try {
      Image->SaveToFile(Path.string());
      if (!fs::exists(Path, Ignored))
        Failed << QString::fromStdString(Path.string());
    } catch (const loader::EWriteError &Error) {
      fs::remove(Path, Ignored); // no half-written unit is left to be taken for a whole one
      Failed << QString::fromUtf8(Error.what());
    } catch (const std::exception &Error) {
      Failed << QString::fromUtf8(Error.what()); // nothing was written: whatever has the name stays
    }
  }
  if (!Failed.isEmpty())
    QMessageBox::critical(this, ToQt(texts::SError),
                          ToQt(texts::SSaveFailed) + QLatin1Char('\n') + Failed.join(QLatin1Char('\n')));
}

} // namespace app
