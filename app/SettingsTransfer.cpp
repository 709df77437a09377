// The window's side of the connection settings dialog: the settings of the
// selected process go into the dialog's variables, the dialog is shown, and
// confirmed values go back into the process.
#include "app/MainForm.h"

#include "app/ComAndTCPClient.h"
#include "app/QtText.h"
#include "app/WindowTexts.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

namespace app {

TLinkSettings TForm1::ConfiguredSettings(const loader::TQuorlan &L) const
{
  TLinkSettings S = ReadLinkSettings(L);
  // Only the port's settings are bent by a run; the others stay as set.
  const std::array<std::int32_t, RS485ParamCount> Params = L.ConfiguredPortParams();
  S.Port = Params[rpPortNumber];
  S.BaudRate = Params[rpBaudRate];
  S.Parity = Params[rpParity];
  S.AnswerTimeOut = Params[rpAnswerTimeOut];
  S.SystemTimeOut = Params[rpSystemTimeOut];
  S.Multiplier = Params[rpTimeOutMultiplier];
  return S;
}

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

  const TLinkSettings S = ConfiguredSettings(*L);
  DlgPort = S.Port;
  DlgBaudRate = S.BaudRate;
  DlgParity = S.Parity;
  DlgSystemTimeOut = S.SystemTimeOut;
  DlgAnswerTimeOut = S.AnswerTimeOut;
  DlgMultiplier = S.Multiplier;
  DlgNetAdr = S.NetAdr;
  DlgUseComPort = S.UseComPort;
  DlgTcpHost = S.TcpHost;
  DlgTcpPort = S.TcpPort;
  DlgBlockSize = S.BlockSize;
  DlgMaxBlockSize = 512;
  DlgAlertSequence = S.AlertSequence;
  DlgPacketMode = S.PacketMode;

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

  TRS485Info &Info = *L->FDevice->FInfo;
  Info.SetParam(rpPortNumber, DlgPort);
  Info.SetParam(rpBaudRate, DlgBaudRate);
  Info.SetParam(rpParity, DlgParity);
  Info.SetParam(rpSystemTimeOut, DlgSystemTimeOut);
  Info.SetParam(rpAnswerTimeOut, DlgAnswerTimeOut);
  Info.SetParam(rpTimeOutMultiplier, DlgMultiplier);
  L->SetNetAdr(DlgNetAdr);
  L->FTcpClient->ReadTimeout = DlgAnswerTimeOut;
  L->FUseComPort = DlgUseComPort;
  L->SetTcpHost(DlgTcpHost);
  L->FTcpClient->Port = DlgTcpPort;
  L->SetBlockSize(DlgBlockSize);
  Info.FAlertSequence = DlgAlertSequence;
  L->FPacketMode = DlgPacketMode;
}

void TForm1::ListView1DblClick(QObject *Sender)
{
  const TListItem *Item = FirstSelectedRow();
  if (Item && Item->Data())
    SetOnActionExecute(Sender);
}

} // namespace app
