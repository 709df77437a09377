#include "app/LinkSettings.h"

namespace app {

TLinkSettings ReadLinkSettings(const loader::TQuorlan &L)
{
  const TRS485Info &Info = *L.FDevice->FInfo;
  TLinkSettings S;
  S.Port = Info.GetParam(0);
  S.BaudRate = Info.GetParam(1);
  S.Parity = Info.GetParam(2);
  S.SystemTimeOut = Info.GetParam(6);
  S.AnswerTimeOut = Info.GetParam(5);
  S.Multiplier = Info.GetParam(7);
  S.NetAdr = L.NetAdr();
  S.UseComPort = L.FUseComPort;
  S.TcpHost = L.TcpHost();
  S.TcpPort = L.FTcpClient->Port;
  S.TcpReadTimeout = L.FTcpClient->ReadTimeout;
  S.BlockSize = L.BlockSize();
  S.AlertSequence = Info.FAlertSequence;
  S.PacketMode = L.FPacketMode;
  return S;
}

} // namespace app
