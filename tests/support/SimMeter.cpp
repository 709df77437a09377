#include "support/SimMeter.h"

#include "link/PacketString.h"
#include "loader/BuiltinImages.h"

namespace sim {

std::uint16_t Crc16(const std::string &bytes)
{
  std::uint16_t crc = 0xFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit)
      crc =
          (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
  }
  return crc;
}

std::uint16_t CrcPacket(const std::string &bytes)
{
  std::uint16_t crc = 0;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(c) << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
  }
  return static_cast<std::uint16_t>(crc | 0x8080);
}

std::string WithCrc(const std::string &bytes)
{
  const std::uint16_t crc = Crc16(bytes);
  std::string out = bytes;
  out += static_cast<char>(crc & 0xFF);
  out += static_cast<char>(crc >> 8);
  return out;
}

std::string VersionText(const std::array<std::uint8_t, 3> &version)
{
  std::string text;
  for (const std::uint8_t byte : version) {
    text += "0123456789ABCDEF"[byte >> 4];
    text += "0123456789ABCDEF"[byte & 0xF];
    text += '.';
  }
  return text;
}

bool CrcOk(const std::string &frame)
{
  return frame.size() > 2 && WithCrc(frame.substr(0, frame.size() - 2)) == frame;
}

namespace {

std::uint8_t Byte(const std::string &s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

std::size_t PrefixLength(const std::string &buffer) { return Byte(buffer, 0) == 0xFC ? 5 : 1; }

// Answer bytes of 08 12 that tell the meter type, by type.
std::string TypeWord(int type)
{
  switch (type) {
  case 0:
  case 3:
    return std::string("\x10\x20\xB4", 3);
  case 1:
    return std::string("\x10\x20\xD4", 3);
  default:
    return std::string("\x10\x20\xF4", 3);
  }
}

// The 7-bit packing of packet frames: every byte with bit 7 set, and after
// each group of up to seven bytes a mark byte 0x80 whose bits 6, 5, ... hold
// the original bit 7 of the group's first, second, ... byte.
std::string Pack7(const std::string &data)
{
  std::string out;
  for (std::size_t group = 0; group < data.size(); group += 7) {
    std::uint8_t mark = 0x80;
    for (std::size_t j = 0; j < 7 && group + j < data.size(); ++j) {
      const std::uint8_t c = Byte(data, group + j);
      if (c & 0x80)
        mark |= static_cast<std::uint8_t>(0x40 >> j);
      out += static_cast<char>(c | 0x80);
    }
    out += static_cast<char>(mark);
  }
  return out;
}

} // namespace

std::string AnswerPacket(const std::vector<std::shared_ptr<SimMeter>> &meters, const std::string &frame)
{
  TPacketItems records;
  TPacketString parsed(frame, records);
  if (records.empty())
    return {};
  const auto prefixOf = [](const std::string &r) { return r.substr(0, PrefixLength(r)); };
  std::shared_ptr<SimMeter> meter;
  for (const auto &m : meters)
    if (m->Addressed(prefixOf(records[0]))) {
      meter = m;
      break;
    }
  if (!meter)
    return {};
  // Answer records: length of what follows, two bytes (the record's number
  // and 0), the meter's plain answer.
  std::string payload;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!meter->Addressed(prefixOf(records[i])))
      continue;
    const std::string answer = meter->PacketRecord(records[i]);
    payload += static_cast<char>(answer.size() + 2);
    payload += static_cast<char>(i);
    payload += '\0';
    payload += answer;
  }
  const std::string covered = std::string("\x86\x81", 2) + Pack7(payload);
  const std::uint16_t crc = CrcPacket(covered);
  return std::string("\x02\xAA\xAA", 3) + covered + static_cast<char>(crc & 0xFF) +
         static_cast<char>(crc >> 8) + '\x03';
}

int RequestLength(const std::string &b)
{
  if (b.empty())
    return 0;
  // Alert sequence: 0xAA bytes then 0x66 bytes, no checksum.
  if (Byte(b, 0) == 0xAA && (b.size() < 2 || Byte(b, 1) == 0xAA)) {
    std::size_t n = 0;
    while (n < b.size() && Byte(b, n) == 0xAA)
      ++n;
    while (n < b.size() && Byte(b, n) == 0x66)
      ++n;
    return n < b.size() ? static_cast<int>(n) : 0;
  }
  // Packet frame: STX, then bytes with bit 7 set, up to ETX.
  if (Byte(b, 0) == 0x02 && b.size() >= 2 && (Byte(b, 1) & 0x80)) {
    const auto etx = b.find('\x03');
    return etx == std::string::npos ? 0 : static_cast<int>(etx + 1);
  }
  const std::size_t L = PrefixLength(b);
  if (b.size() < L + 1)
    return 0;
  const std::uint8_t cmd = Byte(b, L);
  std::size_t body; // command bytes and data, without prefix and CRC
  switch (cmd) {
  case 0x00:
  case 0x02:
    body = 1;
    break;
  case 0x01:
    body = 7;
    break;
  case 0x03:
    if (b.size() < L + 2)
      return 0;
    body = Byte(b, L + 1) == 0x0F ? 5 : 3;
    break;
  case 0x04:
    body = 2;
    break;
  case 0x07: {
    if (b.size() < L + 5)
      return 0;
    const std::uint8_t k = Byte(b, L + 4);
    if (k == 0 || 512 % k != 0)
      return -1;
    body = 6 + 512 / k;
    break;
  }
  case 0x08: {
    if (b.size() < L + 2)
      return 0;
    switch (Byte(b, L + 1)) {
    case 0x05:
    case 0x11:
    case 0x17:
      body = 3;
      break;
    case 0x12:
      // 08 12 and 08 12 01 differ only in length: a CRC that holds after
      // two bytes decides.
      if (b.size() >= L + 4 && CrcOk(b.substr(0, L + 4)))
        body = 2;
      else
        body = 3;
      break;
    default:
      body = 2;
    }
    break;
  }
  default:
    return -1;
  }
  const std::size_t total = L + body + 2;
  return b.size() >= total ? static_cast<int>(total) : 0;
}

std::array<std::uint8_t, 3> MeterConfig::OlderThanBuiltIn(int type)
{
  const std::string_view image = loader::BuiltinImages().at(static_cast<std::size_t>(type)).UserData;
  std::array<std::uint8_t, 3> version{};
  for (std::size_t i = 0; i < version.size(); ++i)
    version[i] = static_cast<unsigned char>(image[SimMeter::kWriteStart + i]);
  --version[version[2] != 0 ? 2 : 0];
  return version;
}

MeterConfig MeterConfig::ForType(int type, std::uint8_t address)
{
  MeterConfig config;
  config.Address = address;
  config.ExtendedAddress = 0x00A10000u + address;
  config.Type = type;
  config.Version = OlderThanBuiltIn(type);
  return config;
}

SimMeter::SimMeter(MeterConfig config)
    : FConfig(config), FMemory(kMemorySize, '\xFF'), FWritten((kMemorySize - kWriteStart) / 16, false),
      FVersion(config.Version), FTestMode(config.StartsInTestMode), FSpeedCode(config.SpeedCode)
{
  for (std::size_t i = 0; i < 3; ++i)
    FMemory[kWriteStart + i] = static_cast<char>(config.Version[i]);
}

bool SimMeter::Addressed(const std::string &prefix) const
{
  std::lock_guard lock(FLock);
  if (prefix.size() == 1)
    return Byte(prefix, 0) == FConfig.Address || Byte(prefix, 0) == 0xFF;
  if (prefix.size() == 5 && Byte(prefix, 0) == 0xFC) {
    const std::uint32_t a = (std::uint32_t{Byte(prefix, 1)} << 24) | (std::uint32_t{Byte(prefix, 2)} << 16) |
                            (std::uint32_t{Byte(prefix, 3)} << 8) | Byte(prefix, 4);
    return a == FConfig.ExtendedAddress;
  }
  return false;
}

void SimMeter::SetOverride(AnswerOverride override)
{
  std::lock_guard lock(FLock);
  FOverride = std::move(override);
}

void SimMeter::FlipAnswerBit(const std::string &Command, int Nth, std::size_t Offset, int Bit)
{
  std::lock_guard lock(FLock);
  FFlips.push_back({Command, Nth, Offset, Bit});
}

void SimMeter::FlipLocked(const std::string &request, std::string &answer)
{
  if (request.size() < 3)
    return;
  const std::size_t L = PrefixLength(request);
  const std::string body = request.substr(L, request.size() - L - 2);
  for (BitFlip &flip : FFlips)
    if (flip.Command == body && flip.Seen++ == flip.Nth && L + flip.Offset < answer.size())
      answer[L + flip.Offset] = static_cast<char>(answer[L + flip.Offset] ^ (1 << flip.Bit));
}

std::string SimMeter::Answer(const std::string &request)
{
  std::unique_lock lock(FLock);
  FRequests.push_back(request);
  std::optional<std::string> answer;
  if (FOverride) {
    auto override = FOverride; // run it without the lock: it may look at the meter
    lock.unlock();
    answer = override(request);
    lock.lock();
  }
  if (!answer)
    answer = AnswerLocked(request);
  FlipLocked(request, *answer);
  return *answer;
}

std::string SimMeter::OwnAnswer(const std::string &request)
{
  std::lock_guard lock(FLock);
  return AnswerLocked(request);
}

std::string SimMeter::PacketRecord(const std::string &record)
{
  std::lock_guard lock(FLock);
  FPacketRecords.push_back(record);
  return AnswerLocked(record);
}

std::string SimMeter::Status(const std::string &prefix, std::uint8_t status) const
{
  return WithCrc(prefix + static_cast<char>(status));
}

std::string SimMeter::Data(const std::string &prefix, const std::string &data) const
{
  return WithCrc(prefix + data);
}

std::string SimMeter::AnswerLocked(const std::string &request)
{
  if (!CrcOk(request))
    return {};
  const std::size_t L = PrefixLength(request);
  const std::string prefix = request.substr(0, L);
  const std::string body = request.substr(L, request.size() - L - 2);
  const auto cmd = Byte(body, 0);
  const auto sub = body.size() > 1 ? Byte(body, 1) : 0;

  switch (cmd) {
  case 0x00: // link test
  case 0x01: // channel open
  case 0x04: // date-code series
    return Status(prefix, 0);
  case 0x02: // channel close: a meter that got its whole image starts it
    if (FTestMode && AllWrittenLocked()) {
      for (std::size_t i = 0; i < 3; ++i)
        FVersion[i] = Byte(FMemory, kWriteStart + i);
    }
    FTestMode = false;
    return Status(prefix, 0);
  case 0x03:
    if (sub == 0x0F) { // test-mode entry
      FTestModeByte = Byte(body, 3);
      FTestMode = true;
      std::fill(FWritten.begin(), FWritten.end(), false);
      return Status(prefix, 0);
    }
    if (sub == 0x15) { // speed setting
      FSpeedCode = Byte(body, 2);
      return Status(prefix, 0);
    }
    return Status(prefix, 1);
  case 0x07:
    return WriteBlock(prefix, body);
  case 0x08:
    switch (sub) {
    case 0x00:
    case 0x01:
    case 0x11:
      return Status(prefix, 0);
    case 0x03:
      return Data(prefix, std::string(reinterpret_cast<const char *>(FVersion.data()), 3));
    case 0x05:
      if (!FConfig.AnswersExtendedAddress)
        return Status(prefix, 1);
      return Data(prefix, std::string{static_cast<char>(FConfig.ExtendedAddress >> 24),
                                      static_cast<char>(FConfig.ExtendedAddress >> 16),
                                      static_cast<char>(FConfig.ExtendedAddress >> 8),
                                      static_cast<char>(FConfig.ExtendedAddress)});
    case 0x0A: {
      std::string word(5, '\0');
      word[1] = FConfig.NeedsUpdate ? '\x01' : '\x00';
      return Data(prefix, word);
    }
    case 0x12:
      if (body.size() == 3) // 08 12 01
        return Data(prefix, std::string("\x00\x00\x00\x10\x00\x00", 6));
      return Data(prefix, TypeWord(FConfig.Type));
    case 0x17:
      return Data(prefix, std::string{static_cast<char>(FSpeedCode), '\0'});
    case 0xFF:
      return FTestMode ? Status(prefix, 0) : std::string{};
    default:
      return Status(prefix, 1);
    }
  default:
    return Status(prefix, 1);
  }
}

std::string SimMeter::WriteBlock(const std::string &prefix, const std::string &body)
{
  // 07 04 iH iL k t data...
  const std::size_t index = (std::size_t{Byte(body, 2)} << 8) | Byte(body, 3);
  const std::size_t size = 512 / Byte(body, 4);
  const std::uint8_t tag = Byte(body, 5);
  if (!FTestMode)
    return Status(prefix, 5);
  if (static_cast<std::uint8_t>(((index >> 8) ^ index) + 1) != tag)
    return Data(prefix, std::string{static_cast<char>(tag), '\x01'});
  const std::size_t offset = kWriteStart + index * size;
  if (offset + size > kMemorySize || body.size() != 6 + size)
    return Data(prefix, std::string{static_cast<char>(tag), '\x01'});
  FMemory.replace(offset, size, body.substr(6));
  for (std::size_t unit = (offset - kWriteStart) / 16; unit < (offset + size - kWriteStart) / 16; ++unit)
    FWritten[unit] = true;
  ++FBlockWrites;
  return Data(prefix, std::string{static_cast<char>(tag), '\0'});
}

bool SimMeter::InTestMode() const
{
  std::lock_guard lock(FLock);
  return FTestMode;
}

std::array<std::uint8_t, 3> SimMeter::CurrentVersion() const
{
  std::lock_guard lock(FLock);
  return FVersion;
}

std::string SimMeter::Memory() const
{
  std::lock_guard lock(FLock);
  return FMemory;
}

std::vector<std::string> SimMeter::Requests() const
{
  std::lock_guard lock(FLock);
  return FRequests;
}

std::vector<std::string> SimMeter::PacketRecords() const
{
  std::lock_guard lock(FLock);
  return FPacketRecords;
}

int SimMeter::BlockWrites() const
{
  std::lock_guard lock(FLock);
  return FBlockWrites;
}

bool SimMeter::WholeImageWritten() const
{
  std::lock_guard lock(FLock);
  return AllWrittenLocked();
}

bool SimMeter::AllWrittenLocked() const
{
  for (const bool unit : FWritten)
    if (!unit)
      return false;
  return true;
}

std::uint8_t SimMeter::LastTestModeByte() const
{
  std::lock_guard lock(FLock);
  return FTestModeByte;
}

std::uint8_t SimMeter::SpeedCode() const
{
  std::lock_guard lock(FLock);
  return FSpeedCode;
}

} // namespace sim
