// The loader's requests: the address list, one exchange over either link,
// the meter type detection and the fixed exchanges the procedure runs as
// units.
#include "loader/Quorlan.h"

#include "link/MeterProtocol.h"
#include "link/PacketString.h"
#include "link/UnExtlibs.h"
#include "loader/AnswerEnd.h"
#include "loader/LoaderTexts.h"
#include "platform/Clock.h"
#include "platform/TextRules.h"

#include <stdexcept>

namespace loader {

std::uint8_t DateCodeOf(int Year, int Month)
{
  return static_cast<std::uint8_t>(((Year - 2000) * 12 + (Month - 1)) & 0xFF);
}

std::string TQuorlan::Request(const std::string &Prefix, std::string_view Command) const
{
  return AddCheckSum(Prefix + std::string(Command), ctCrc16);
}

void TQuorlan::NextAddress(bool Advance, std::int32_t &Count, std::string &Prefix)
{
  Prefix.clear();
  Count = 0;
  const std::vector<std::string> items = platform::SplitCommaText(NetAdr());
  Count = static_cast<std::int32_t>(items.size());
  if (Advance)
    ++FAddrIndex;
  struct TReset { // also when the conversion raises
    TQuorlan &Self;
    std::string &Prefix;
    ~TReset()
    {
      if (Prefix.empty()) {
        Self.FAddrIndex = -1;
        Self.FDevice->FNetAddress = 0;
      }
    }
  } reset{*this, Prefix};
  if (FAddrIndex >= 0 && FAddrIndex < Count) {
    const std::string &item = items[static_cast<std::size_t>(FAddrIndex)];
    std::int64_t value;
    // A value beyond 32 bits would reach the meter of its low 32 bits.
    if (!platform::TryStrToInt64(item, value) || value > 0xFFFFFFFFll || value < -0x80000000ll)
      throw std::invalid_argument(item); // the item itself, for the log
    const auto address = static_cast<std::uint32_t>(value);
    FDevice->FNetAddress = static_cast<std::int32_t>(address);
    Prefix = protocol::AddressPrefix(address);
  }
}

std::vector<std::string> TQuorlan::AddressesAfterCurrent() const
{
  std::vector<std::string> rest;
  const std::vector<std::string> items = platform::SplitCommaText(NetAdr());
  for (std::size_t i = static_cast<std::size_t>(FAddrIndex + 1); i < items.size(); ++i) {
    std::int64_t value;
    // Named as the meter knows it, like the address that failed; an item
    // that is no number as written.
    if (platform::TryStrToInt64(items[i], value) && value <= 0xFFFFFFFFll && value >= -0x80000000ll)
      rest.push_back(std::to_string(static_cast<std::uint32_t>(value)));
    else if (!items[i].empty())
      rest.push_back(items[i]);
  }
  return rest;
}

bool TQuorlan::Exchange(const std::string &Request, std::int32_t Count, std::string &Answer)
{
  Answer.clear();
  bool result = false;
  if (FUseComPort) {
    // A request that could not be sent leaves no answer of its own: the
    // last exchange's must not pass for one.
    FDevice->FRxData.clear();
    result = FDevice->Transact(Request, Count);
    Answer = FDevice->FRxData;
    if (!result)
      NotePortFault();
  } else if (FTcpClient->Connected()) {
    result = ExchangeTcp(Request, Count, Answer);
    if (FLinkError)
      return false; // the step that sent it ends here
  }
  FSilentInARow = Answer.empty() ? FSilentInARow + 1 : 0;
  return result;
}

void TQuorlan::NotePortFault()
{
  const platform::SerialError error = FDevice->FHandle.LastError();
  if (FRun.PortFaultLogged || (error != platform::SerialError::Io && error != platform::SerialError::TimedOut))
    return;
  // The device's own messages are off during a run: the loader says it.
  FRun.PortFaultLogged = true;
  AppendLog(texts::SLinkError + std::string("COM") + std::to_string(FDevice->FInfo->GetParam(rpPortNumber)) + ": " +
            FDevice->FHandle.LastErrorText());
}

bool TQuorlan::ExchangeTcp(const std::string &Request, std::int32_t Count, std::string &Answer)
{
  // What waits now came after its exchange had ended (a late answer, or the
  // tail of one): it must not pass for the start of this answer.
  const std::string late = FTcpClient->TakeWaiting();
  if (FDevice->IsLogEnabled()) {
    if (!late.empty())
      AppendLog(protocol::ReceivedLine(platform::GetLocalTime(), late));
    AppendLog(protocol::SentLine(platform::GetLocalTime(), Request));
  }
  FAnswerTag = -1;
  const std::size_t L = protocol::PrefixLength(Request);
  if (Request.size() > L + 5 && std::string_view(Request).substr(L, 2) == protocol::CmdBlockWrite)
    FAnswerTag = static_cast<unsigned char>(Request[L + 5]);
  try {
    FTcpClient->Write(Request);
  } catch (const platform::TcpError &error) {
    LinkBroke(error);
    return false;
  }
  return ReceiveAnswer(Count, Answer);
}

void TQuorlan::LinkBroke(const platform::TcpError &Error)
{
  FLinkError = Error.what();
  FTcpClient->Disconnect();
}

std::optional<std::string> TQuorlan::TakeLinkError()
{
  std::optional<std::string> reason;
  reason.swap(FLinkError);
  return reason;
}

bool TQuorlan::ExchangeData(const std::string &Request, std::int32_t Count, std::string &Answer)
{
  // Exchange judges an answer of a fixed length by its length alone: the COM
  // device reports a checksum that fails but still succeeds on the right
  // length, and the TCP link reads until Count bytes are in without looking
  // at them. A bit flipped on the line must not pass for the meter's word,
  // so the checksum is tested here, for both links and every Count.
  return Exchange(Request, Count, Answer) && TestCheckSum(Answer, ctCrc16);
}

bool TQuorlan::ReceiveAnswer(std::int32_t Count, std::string &Answer)
{
  Answer.clear();
  if (FUseComPort) {
    const bool result = FDevice->Receive(Count);
    Answer = FDevice->FRxData;
    return result;
  }
  if (!FTcpClient->Connected())
    return false;
  auto rxLine = [this, &Answer] {
    if (FDevice->IsLogEnabled()) {
      AppendLog(protocol::ReceivedLine(platform::GetLocalTime(), Answer));
      AppendLog(" ");
    }
  };
  // A block answer echoes its request's tag where a refusal has its status.
  const int echo = Count > 0 ? FAnswerTag : -1;
  try {
    Answer = FTcpClient->ReadAnswer(
        [Count, echo](std::string_view Bytes) { return AnswerEnd(Bytes, Count, echo); }, FAnswerPause);
  } catch (const platform::TcpError &error) {
    LinkBroke(error);
  } catch (...) {
    rxLine(); // the RX line is written also when the read fails
    throw;
  }
  rxLine();
  if (FLinkError)
    return false;
  if (Count == -1)
    return !Answer.empty() && TestCheckSum(Answer, ctCrc16);
  return static_cast<std::int32_t>(Answer.size()) == Count;
}

std::int32_t TQuorlan::ReadMeterType(const std::string &Prefix)
{
  const auto L = static_cast<std::size_t>(Prefix.size());
  const auto byte = [](const std::string &s, std::size_t i) {
    return i < s.size() ? static_cast<std::uint8_t>(s[i]) : std::uint8_t{0};
  };
  std::string answer;
  if (!ExchangeData(Request(Prefix, protocol::CmdTypeWord), static_cast<std::int32_t>(L + 5), answer))
    return -1;
  const std::uint8_t v0 = byte(answer, L), v1 = byte(answer, L + 1), v2 = byte(answer, L + 2);
  if (v0 == 0 && v1 == 0 && v2 == 0)
    return 2;
  std::int32_t candidate = -1;
  switch (v2 >> 4) {
  case 0xB:
    candidate = 0;
    break;
  case 0xD:
    candidate = 1;
    break;
  case 0xF:
    if (ExchangeData(Request(Prefix, protocol::CmdTypeWordMore), static_cast<std::int32_t>(L + 8), answer) &&
        byte(answer, L + 3) == 0x10)
      candidate = 2;
    break;
  default:
    break;
  }
  if (!ExchangeData(Request(Prefix, protocol::CmdVersion), static_cast<std::int32_t>(L + 5), answer))
    return -1;
  if (candidate == 0 && byte(answer, L + 1) == 0x01)
    return 3;
  if (candidate == 2 && byte(answer, L + 1) == 0x01)
    return 4;
  return candidate;
}

bool TQuorlan::CloseChannel(const std::string &Prefix)
{
  std::string answer;
  return Exchange(Request(Prefix, protocol::CmdCloseChannel), static_cast<std::int32_t>(Prefix.size() + 3),
                  answer);
}

bool TQuorlan::TestLink(const std::string &Prefix)
{
  std::string answer;
  return Exchange(Request(Prefix, protocol::CmdLinkTest), static_cast<std::int32_t>(Prefix.size() + 3),
                  answer);
}

void TQuorlan::SendAlertSequence()
{
  if (IsLinkActive())
    FDevice->Send(SAlertSequence);
  Wait(FAlertWait);
}

void TQuorlan::SendDateCodeSeries(const std::string &Prefix)
{
  const platform::TSystemTime now = platform::GetLocalTime();
  const char code = static_cast<char>(DateCodeOf(now.wYear, now.wMonth));
  const std::string dateCode = std::string(protocol::CmdDateCode) + code;
  std::string answer;
  if (!FPacketMode) {
    for (const std::string_view command :
         {protocol::CmdSeriesFirst, protocol::CmdSeriesFirst, protocol::CmdSeriesSecond,
          std::string_view(dateCode), std::string_view(dateCode)}) {
      if (SeriesCut())
        return;
      Exchange(Request(Prefix, command), -1, answer);
    }
    return;
  }
  TPacketString packet;
  packet.SetIdent(protocol::SeriesIdent);
  for (const std::string_view command :
       {protocol::CmdSeriesFirst, protocol::CmdSeriesSecond, std::string_view(dateCode), protocol::CmdVersion,
        protocol::CmdSeriesLast})
    packet.FItems->push_back(Request(Prefix, command));
  std::string frame;
  if (!SeriesCut() && packet.Build(frame))
    Exchange(frame, -1, answer);
}

} // namespace loader
