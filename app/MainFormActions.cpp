// The main window at work: the window timer, the actions, the commands typed
// into the log memo, the devices' log callback, and the memory images.
#include "app/MainForm.h"

#include "app/OpenFileLimit.h"
#include "app/QtText.h"
#include "app/WindowTexts.h"
#include "link/DeviceList.h"
#include "link/RS485.h"
#include "link/UnExtlibs.h"
#include "loader/BuiltinImages.h"
#include "loader/FileErrors.h"
#include "platform/TextFormat.h"
#include "platform/TextRules.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>

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

// The lines of a piece of a log when every item of it is plain: in double
// quotes, without a quote or a NUL inside, items separated by one comma (a
// piece that follows earlier lines begins with that comma). Read as comma
// text, such pieces give the same lines one by one as joined.
bool SplitPlainLog(std::string_view Piece, bool First, QStringList &Lines)
{
  if (!First) {
    if (Piece.empty() || Piece.front() != ',')
      return false;
    Piece.remove_prefix(1);
  }
  for (;;) {
    if (Piece.size() < 2 || Piece.front() != '"')
      return false;
    const std::size_t Close = Piece.find_first_of(std::string_view("\"\0", 2), 1);
    if (Close == std::string_view::npos || Piece[Close] != '"')
      return false;
    Lines << ToQt(std::string(Piece.substr(1, Close - 1)));
    Piece.remove_prefix(Close + 1);
    if (Piece.empty())
      return true;
    if (Piece.front() != ',')
      return false;
    Piece.remove_prefix(1);
  }
}

} // namespace

// The selection's ranges, not every row: the first selected row costs as
// much with a thousand rows as with ten.
TListItem *TForm1::FirstSelectedRow() const
{
  int First = -1;
  for (const QItemSelectionRange &Range : ListView1->selectionModel()->selection())
    if (!Range.parent().isValid() && (First < 0 || Range.top() < First))
      First = Range.top();
  return First < 0 ? nullptr : Row(First);
}

void TForm1::ShowLog(const loader::TQuorlan &L)
{
  TMemoShown &Shown = FMemoShown;
  if (Memo1->document()->revision() != Shown.FRevision)
    Shown.FMark = 0; // edited since: shown whole again
  bool Whole = false;
  const bool Empty = Shown.FLength == 0;
  std::string Text = L.LogSince(Shown.FMark, Shown.FLength, Whole);
  if (!Whole && Text.empty())
    return;
  QStringList Lines;
  if (!Whole && Shown.FPlain && SplitPlainLog(Text, Empty, Lines)) {
    if (Empty)
      Memo1->setPlainText(Lines.join(QLatin1Char('\n')));
    else
      Memo1->appendPlainText(Lines.join(QLatin1Char('\n')));
  } else {
    if (!Whole) {
      Shown.FMark = 0;
      Text = L.LogSince(Shown.FMark, Shown.FLength, Whole);
    }
    Lines.clear();
    Shown.FPlain = SplitPlainLog(Text, true, Lines) || Text.empty();
    if (!Shown.FPlain) {
      Lines.clear();
      for (const std::string &Line : platform::SplitCommaText(Text))
        Lines << ToQt(Line);
    }
    Memo1->setPlainText(Lines.join(QLatin1Char('\n')));
  }
  Memo1->moveCursor(QTextCursor::End);
  Shown.FRevision = Memo1->document()->revision();
}

void TForm1::Timer1Timer(QObject *)
{
  if (!ListView1)
    return;

  // The rows are looked at only while administrator mode could enable the
  // action, and only up to the first busy one.
  bool AllIdle = FAdminMode;
  for (int i = 0; i < RowCount() && AllIdle; ++i)
    if (const loader::TQuorlan *L = Row(i)->Data())
      AllIdle = L->State() == ssIdle;
  SetEnabled(OpenFileAction, FAdminMode && AllIdle);

  bool Idle = false;
  const TListItem *Item = FirstSelectedRow();
  if (const loader::TQuorlan *L = Item ? Item->Data() : nullptr) {
    SetEnabled(StopBootAction, L->State() != ssIdle);
    ShowLog(*L);
    SetChecked(TestMaxSpeedAction, L->FMaxSpeed);
    Idle = L->State() == ssIdle;
  }
  SetEnabled(StartBootAction, Idle);
  SetEnabled(RemoveItemAction, Idle);

  if (!FRemoteProcesses)
    return;
  // Oldest first, the whole list at once.
  for (TPlacedLoader &Process : FRemoteProcesses->TakeAll())
    AddProcess(std::move(Process));
}

void TForm1::StartBootActionExecute(QObject *)
{
  // A row whose link would find no descriptor is not started: it would only
  // fail to open, and the window needs a few descriptors of its own. Its
  // log says why, and one message says how many were left out.
  std::vector<loader::TQuorlan *> Selected;
  for (int i = 0; i < RowCount(); ++i) {
    loader::TQuorlan *L = Row(i)->Data();
    if (Row(i)->isSelected() && L && L->State() == ssIdle)
      Selected.push_back(L);
  }
  const int LeftOut = FDescriptorBudget.Start(Selected);
  if (LeftOut == 0)
    return;
  const std::string Message =
      platform::Format(texts::SStartBoundedByDescriptors, LeftOut, static_cast<int>(Selected.size()),
                       static_cast<long long>(OpenFileLimit()));
  QMessageBox::warning(this, QString(), ToQt(Message), QMessageBox::Ok);
}

void TForm1::StopBootActionExecute(QObject *)
{
  for (int i = 0; i < RowCount(); ++i) {
    loader::TQuorlan *L = Row(i)->Data();
    if (Row(i)->isSelected() && L && L->State() != ssIdle) {
      L->OperatorStop();
    }
  }
}

void TForm1::RemoveItemActionExecute(QObject *)
{
  // The loaders of the rows that go are told to end first, so that many of
  // them end side by side; each deletion then finds its threads ended.
  for (int i = 0; i < RowCount(); ++i)
    if (loader::TQuorlan *L = Row(i)->Data(); L && Row(i)->isSelected()) {
      L->TerminateAsStopped();
    }
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

void TForm1::AddItemActionExecute(QObject *)
{
  if (AddProcess(nullptr))
    return;
  const std::string Message = platform::Format(texts::SAddBounded, static_cast<int>(FProcessPlaces.Limit()));
  QMessageBox::warning(this, QString(), ToQt(Message), QMessageBox::Ok);
}

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
      // A port that the open-file limit kept closed is not said to be busy;
      // any other says why it is closed, as the system puts it.
      const bool NoDescriptors = D->FHandle.LastError() == platform::SerialError::NoDescriptors;
      std::string Line = platform::Format(NoDescriptors ? texts::SComPortNoDescriptors : SComPortBusy,
                                          static_cast<int>(D->FInfo->GetParam(rpPortNumber)));
      if (const std::string Reason = D->FHandle.LastErrorText(); !NoDescriptors && !Reason.empty())
        Line += " (" + Reason + ")";
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
  QFileDialog *const Dialog = OpenDialog();
  if (Dialog->exec() != QDialog::Accepted || Dialog->selectedFiles().isEmpty())
    return;
  const std::string FileName = QFile::encodeName(Dialog->selectedFiles().front()).toStdString();
  const int Target = ImageOfExtension(FileName);
  loader::TExtDumpMem *Image =
      Target >= 0 ? loader::DumpMem[static_cast<std::size_t>(Target)].get() : nullptr;
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
    // Only a file of that name is an existing unit; anything else there (a
    // folder, a pipe) keeps the unit from being written and is named below.
    if (!Image || fs::is_regular_file(Path, Ignored))
      continue;
    try {
      Image->SaveToFile(Path.string());
      // A unit that cannot be created is passed over without a word: only a
      // file of that name afterwards says that it was written.
      if (!fs::is_regular_file(Path, Ignored))
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
