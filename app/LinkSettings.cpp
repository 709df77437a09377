#include "app/LinkSettings.h"

namespace app {
namespace {

// The fields that are port settings, with the port setting each is.
struct TPortSetting {
  TLinkSetting Bit;
  std::int32_t Param;
  std::int32_t TLinkSettings::*Field;
};
constexpr TPortSetting PortSettings[] = {
    {lsPort, rpPortNumber, &TLinkSettings::Port},
    {lsBaudRate, rpBaudRate, &TLinkSettings::BaudRate},
    {lsParity, rpParity, &TLinkSettings::Parity},
    {lsSystemTimeOut, rpSystemTimeOut, &TLinkSettings::SystemTimeOut},
    {lsAnswerTimeOut, rpAnswerTimeOut, &TLinkSettings::AnswerTimeOut},
    {lsMultiplier, rpTimeOutMultiplier, &TLinkSettings::Multiplier},
};

} // namespace

TLinkSettings ReadLinkSettings(const loader::TQuorlan &L)
{
  const TRS485Info &Info = *L.FDevice->FInfo;
  TLinkSettings S;
  for (const TPortSetting &P : PortSettings)
    S.*P.Field = Info.GetParam(P.Param);
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

TLinkSettings ReadConfiguredLinkSettings(const loader::TQuorlan &L)
{
  TLinkSettings S = ReadLinkSettings(L);
  const std::array<std::int32_t, RS485ParamCount> Params = L.ConfiguredPortParams();
  for (const TPortSetting &P : PortSettings)
    S.*P.Field = Params[static_cast<std::size_t>(P.Param)];
  return S;
}

void ApplyLinkSettings(loader::TQuorlan &L, const TLinkSettings &S, TLinkSettingSet Which)
{
  TRS485Info &Info = *L.FDevice->FInfo;
  for (const TPortSetting &P : PortSettings)
    if (Which & P.Bit)
      Info.SetParam(P.Param, S.*P.Field);
  if (Which & lsNetAdr)
    L.SetNetAdr(S.NetAdr);
  if (Which & lsTcpReadTimeout)
    L.FTcpClient->ReadTimeout = S.TcpReadTimeout;
  if (Which & lsUseComPort)
    L.FUseComPort = S.UseComPort;
  if (Which & lsTcpHost)
    L.SetTcpHost(S.TcpHost);
  if (Which & lsTcpPort)
    L.FTcpClient->Port = S.TcpPort;
  if (Which & lsBlockSize)
    L.SetBlockSize(S.BlockSize);
  if (Which & lsAlertSequence)
    Info.FAlertSequence = S.AlertSequence;
  if (Which & lsPacketMode)
    L.FPacketMode = S.PacketMode;
}

} // namespace app
