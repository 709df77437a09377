#include "app/LinkSettings.h"

namespace app {

TLinkSettings ReadLinkSettings(const loader::TQuorlan &L)
{
  const TRS485Info &Info = *L.FDevice->FInfo;
  TLinkSettings S;
  S.Port = Info.GetParam(rpPortNumber);
  S.BaudRate = Info.GetParam(rpBaudRate);
  S.Parity = Info.GetParam(rpParity);
  S.SystemTimeOut = Info.GetParam(rpSystemTimeOut);
  S.AnswerTimeOut = Info.GetParam(rpAnswerTimeOut);
  S.Multiplier = Info.GetParam(rpTimeOutMultiplier);
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
