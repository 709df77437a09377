// The window's side of the connection settings dialog: the settings of the
// selected process go into the dialog's variables, the dialog is shown, and
// confirmed values go back into the process.
#include "app/MainForm.h"

#include "app/ComAndTCPClient.h"
#include "app/QtText.h"
#include "app/WindowTexts.h"
#include "loader/BlockSizes.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

namespace app {
namespace {

// Calls Pair(variable, field) for every dialog variable and the setting it
// shows, in both directions the same list.
template <class F> void PairDialogVariables(TLinkSettings &S, F &&Pair)
{
  Pair(DlgPort, S.Port);
  Pair(DlgBaudRate, S.BaudRate);
  Pair(DlgParity, S.Parity);
  Pair(DlgSystemTimeOut, S.SystemTimeOut);
  Pair(DlgAnswerTimeOut, S.AnswerTimeOut);
  Pair(DlgMultiplier, S.Multiplier);
  Pair(DlgNetAdr, S.NetAdr);
  Pair(DlgUseComPort, S.UseComPort);
  Pair(DlgTcpHost, S.TcpHost);
  Pair(DlgTcpPort, S.TcpPort);
  Pair(DlgBlockSize, S.BlockSize);
  Pair(DlgAlertSequence, S.AlertSequence);
  Pair(DlgPacketMode, S.PacketMode);
}

void ShowInDialog(TLinkSettings S)
{
  PairDialogVariables(S, [](auto &Variable, const auto &Field) { Variable = Field; });
  DlgMaxBlockSize = loader::MaxBlockSize;
}

// What the operator confirmed.
TLinkSettings ConfirmedInDialog()
{
  TLinkSettings S;
  PairDialogVariables(S, [](const auto &Variable, auto &Field) { Field = Variable; });
  S.SetAnswerTimeOut(DlgAnswerTimeOut);
  return S;
}

} // namespace

bool TForm1::HasRowOf(const loader::TQuorlan *L) const
{
  for (int i = 0; i < RowCount(); ++i)
    if (Row(i)->Data() == L)
      return true;
  return false;
}

void TForm1::SetOnActionExecute(QObject *)
{
  const TListItem *Item = FirstSelectedRow();
  loader::TQuorlan *L = Item ? Item->Data() : nullptr;
  if (!L || !frmComAndTCPClient)
    return;
  // A busy process's settings are only shown.
  frmComAndTCPClient->ButOk->setEnabled(L->State() == ssIdle);

  ShowInDialog(ReadConfiguredLinkSettings(*L));

  if (frmComAndTCPClient->exec() != QDialog::Accepted)
    return;
  if (!HasRowOf(L))
    return;
  // A process of the command server may have been started by its client
  // while the dialog was open: a running process's settings stay as they are.
  if (L->State() != ssIdle) {
    QMessageBox::warning(this, QString(), ToQt(texts::SSettingsNotApplied), QMessageBox::Ok);
    return;
  }

  ApplyLinkSettings(*L, ConfirmedInDialog());
}

void TForm1::ListView1DblClick(QObject *Sender)
{
  const TListItem *Item = FirstSelectedRow();
  if (Item && Item->Data())
    SetOnActionExecute(Sender);
}

} // namespace app
