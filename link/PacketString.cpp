#include "link/PacketString.h"

#include "link/MeterProtocol.h"
#include "link/UnExtlibs.h"

namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
// The channel password of the meters doubles as the default identification.
constexpr const char *DefaultIdent = protocol::ChannelPassword;

uint8_t At(const std::string &S, size_t I) { return static_cast<uint8_t>(S[I]); }

} // namespace

std::string Decode7(const std::string &Packed)
{
  // Positions 8, 16, 24... (from 1) and the last byte are marks; data byte k
  // (from 1) takes bit 7 from bit 0x40 >> ((k - 1) mod 7) of its group's mark.
  const size_t n = Packed.size();
  std::string data;
  data.reserve(n);
  size_t k = 0;
  for (size_t pos = 1; pos <= n; ++pos) {
    if (pos % 8 == 0 || pos == n)
      continue;
    const size_t group = k / 7 + 1;
    const size_t markPos = std::min(group * 8, n);
    const uint8_t bit = static_cast<uint8_t>(0x40u >> (k % 7));
    uint8_t c = At(Packed, pos - 1);
    if ((At(Packed, markPos - 1) & bit) == 0)
      c &= 0x7F;
    data.push_back(static_cast<char>(c));
    ++k;
  }
  return data;
}

TPacketString::TPacketString() : FOwnsItems(true), FOwnItems(std::make_unique<TPacketItems>())
{
  FItems = FOwnItems.get();
  Reset();
}

TPacketString::TPacketString(const std::string &Frame, bool WholeRecords) : TPacketString()
{
  ParseAnswer(Frame, WholeRecords);
}

TPacketString::TPacketString(const std::string &Frame, TPacketItems &Items) : FItems(&Items)
{
  Reset();
  Parse(Frame);
}

TPacketString::TPacketString(const std::string &Frame, bool WholeRecords, TPacketItems &Items)
    : FItems(&Items)
{
  Reset();
  ParseAnswer(Frame, WholeRecords);
}

TPacketString::~TPacketString()
{
  // Free the chain one packet at a time: a long chain must not nest destructors.
  std::unique_ptr<TPacketString> next = std::move(FNextPacket);
  while (next)
    next = std::move(next->FNextPacket);
}

void TPacketString::Reset()
{
  FId = 0xAAAA;
  FHead1 = 0x86;
  FHead2 = 0x81;
  FHead3 = 0xFF;
  FIdent = DefaultIdent;
  FPrefix.assign(11, '\0');
  FNextPacket.reset();
}

void TPacketString::SetIdent(const std::string &S) { FIdent = FitStr(S, 6, '0', false); }

std::string TPacketString::Encode7(const std::string &Source)
{
  std::string out;
  out.reserve(Source.size() + Source.size() / 7 + 1);
  uint8_t mark = 1;
  for (char ch : Source) {
    auto c = static_cast<uint8_t>(ch);
    mark = static_cast<uint8_t>(mark * 2);
    if ((c & 0x80) != 0)
      mark |= 1;
    else
      c |= 0x80;
    out.push_back(static_cast<char>(c));
    if ((mark & 0x80) != 0) {
      out.push_back(static_cast<char>(mark));
      mark = 1;
    }
  }
  if (Source.size() % 7 != 0) {
    while ((mark & 0x80) == 0)
      mark = static_cast<uint8_t>(mark * 2);
    out.push_back(static_cast<char>(mark));
  }
  return out;
}

bool TPacketString::Build(std::string &Out)
{
  if (FItems->empty()) {
    Out = FRaw;
    return true;
  }
  // The length byte holds length + 1 and the index byte the record's number:
  // a list they cannot describe is refused rather than sent garbled.
  if (FItems->size() > MaxRecords)
    return false;
  for (const auto &item : *FItems)
    if (item.size() > MaxRecordLength)
      return false;
  std::string payload = FPrefix + FIdent;
  for (size_t i = 0; i < FItems->size(); ++i) {
    const std::string &item = (*FItems)[i];
    payload.push_back(static_cast<char>(item.size() + 1));
    payload.push_back(static_cast<char>(i));
    payload += item;
  }
  std::string body;
  body.push_back(static_cast<char>(FHead1));
  body.push_back(static_cast<char>(FHead2));
  body.push_back(static_cast<char>(FHead3));
  body += Encode7(payload);
  body = AddCheckSum(body, ctCrc16Ccitt);
  Out.clear();
  Out.push_back(STX);
  Out.push_back(static_cast<char>(FId >> 8));
  Out.push_back(static_cast<char>(FId & 0xFF));
  Out += body;
  Out.push_back(ETX);
  return true;
}

size_t TPacketString::CheckFrame(const std::string &S, size_t Start)
{
  // The head keeps the whole string; a chained packet keeps its own frame
  // (or, when it fails, the rest), so a long chain holds each byte once.
  const size_t etx = S.find(ETX, Start); // every byte before ETX has bit 7 set
  const bool chained = Start != 0;
  const size_t size = S.size() - Start;
  if (size < 9 || S[Start] != STX || etx == std::string::npos || etx + 1 - Start <= 8 ||
      FindCheckSumType(S.substr(Start, etx + 1 - Start)) != ctCrc16Ccitt) {
    FRaw = chained ? S.substr(Start) : S;
    FParseError = true;
    return 0;
  }
  FRaw = chained ? S.substr(Start, etx + 1 - Start) : S;
  FId = static_cast<uint16_t>(At(S, Start + 1) * 256 + At(S, Start + 2));
  FHead1 = At(S, Start + 3);
  FHead2 = At(S, Start + 4);
  return etx + 1;
}

void TPacketString::ParseChain(const std::string &Frame, bool Answer, bool WholeRecords)
{
  // The chain is parsed in a loop, not by nesting: each further frame goes to
  // a new packet that shares the record list.
  TPacketString *packet = this;
  size_t start = 0;
  for (;;) {
    const size_t end = packet->CheckFrame(Frame, start);
    if (end == 0) {
      // A packet with its own list drops the chain of an earlier string, which
      // would otherwise still answer for this one in IsComplete.
      if (packet->FOwnsItems)
        packet->FNextPacket.reset();
      return;
    }
    if (packet->FOwnsItems) {
      packet->FItems->clear();
      packet->FNextPacket.reset();
    }
    const size_t before = packet->FItems->size();
    // Request payload from offset 6 with the checksum; answer payload from 5 without.
    if (Answer)
      packet->DecodeAnswerItems(Frame.substr(start + 5, end - 3 - (start + 5)), WholeRecords);
    else
      packet->DecodeItems(Frame.substr(start + 6, end - 1 - (start + 6)));
    packet->FParseError = packet->FItems->size() == before;
    if (packet->FParseError || end >= Frame.size())
      return;
    start = end;
    packet->FNextPacket.reset(new TPacketString(*packet->FItems));
    packet = packet->FNextPacket.get();
  }
}

void TPacketString::Parse(const std::string &Frame) { ParseChain(Frame, false, false); }

void TPacketString::ParseAnswer(const std::string &Frame, bool WholeRecords)
{
  ParseChain(Frame, true, WholeRecords);
}

TPacketString::TPacketString(TPacketItems &Items) : FItems(&Items) { Reset(); }

void TPacketString::DecodeItems(const std::string &Packed)
{
  if (Packed.size() < 2)
    return;
  const std::string data = Decode7(Packed.substr(0, Packed.size() - 2));
  // 17 bytes of prefix and identification, then: length + 1, index, content.
  for (size_t pos = 17; pos + 1 < data.size();) {
    const size_t len = At(data, pos);
    if (len > 1) {
      std::string record = data.substr(pos + 2, len - 1);
      if (!record.empty())
        FItems->push_back(std::move(record));
    }
    pos += len + 1;
  }
}

void TPacketString::DecodeAnswerItems(const std::string &Packed, bool WholeRecords)
{
  const std::string data = Decode7(Packed);
  // Length L of what follows, two bytes not looked at, L - 2 bytes of content.
  // A record is read whenever its length byte and those two bytes are there.
  for (size_t pos = 0; pos + 3 <= data.size();) {
    const size_t len = At(data, pos);
    std::string record;
    if (WholeRecords)
      record = data.substr(pos, len + 1);
    else if (len > 2)
      record = data.substr(pos + 3, len - 2);
    if (!record.empty())
      FItems->push_back(std::move(record));
    pos += len + 1;
  }
}

bool TPacketString::IsComplete() const
{
  // Every packet from here parsed without error: a failed re-parse of one
  // keeps the chain behind it, which belongs to an earlier string.
  const TPacketString *packet = this;
  while (packet->FNextPacket) {
    if (packet->FParseError)
      return false;
    packet = packet->FNextPacket.get();
  }
  return !packet->FParseError && packet->IsLast();
}
