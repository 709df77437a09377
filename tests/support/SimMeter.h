#pragma once
// A simulated meter of the KV-750L family for tests: it answers the requests
// of the update procedure from its own memory, as a real meter would on the
// RS485 line. It knows little of the program's own code: its checksum and
// framing are written here again on purpose, so that a fault in the
// program's versions shows instead of being mirrored. Only the records of a
// packet-mode request frame are read with the program's frame codec (whose
// own tests cover it); the packet answer frame is built here. A new meter's
// software is made older than the built-in image's, whatever images the
// program was built with.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// CRC-16/MODBUS, written independently of the library.
std::uint16_t Crc16(const std::string &bytes);
// CRC-16/XMODEM OR 0x8080, the checksum of packet-mode frames.
std::uint16_t CrcPacket(const std::string &bytes);
// bytes followed by their CRC-16/MODBUS, low byte first.
std::string WithCrc(const std::string &bytes);
// True when the last two bytes are the CRC-16/MODBUS of the rest.
bool CrcOk(const std::string &frame);
// A version as the loader shows it: each byte as two upper-case hex digits
// and a dot ("34.00.35.").
std::string VersionText(const std::array<std::uint8_t, 3> &version);

struct MeterConfig {
  std::uint8_t Address = 1;                                  // one-byte network address
  std::uint32_t ExtendedAddress = 0x00010203;                // reported by 08 05 01
  int Type = 0;                                              // 0..4: LA, LB, LC, LAT, LCT
  std::array<std::uint8_t, 3> Version = OlderThanBuiltIn(0); // software before the update
  bool NeedsUpdate = true;                                   // bit 0 of the status word
  std::uint8_t SpeedCode = 0x05;                             // answered to 08 17 00
  bool AnswersExtendedAddress = true;                        // 08 05 01 answered
  bool StartsInTestMode = false;                             // left in test mode by an earlier run

  // A meter of the type with a software version older than the built-in one.
  static MeterConfig ForType(int type, std::uint8_t address);
  // The version at 0x5000 of the type's built-in image, one less in its last
  // byte; when that byte is 0, one less in its first byte instead. The
  // middle byte, which tells the T variants apart, is kept.
  static std::array<std::uint8_t, 3> OlderThanBuiltIn(int type);
};

// What a test may put in place of the meter's own answer to one request:
// nullopt keeps the meter's answer, an empty string keeps the meter silent,
// anything else is sent as it stands.
using AnswerOverride = std::function<std::optional<std::string>(const std::string &request)>;

class SimMeter {
public:
  static constexpr std::size_t kMemorySize = 0x20000;
  static constexpr std::size_t kWriteStart = 0x5000;

  explicit SimMeter(MeterConfig config);

  // True when a request with this address prefix is meant for this meter.
  bool Addressed(const std::string &prefix) const;

  // The answer to one complete request (prefix, command, data, CRC); empty
  // when the meter stays silent.
  std::string Answer(const std::string &request);

  void SetOverride(AnswerOverride override);
  // Noise on the line: in the answer to the nth (from 0) request whose bytes
  // between the prefix and the checksum are Command, bit Bit of the answer
  // byte Offset after the echoed prefix is flipped; the checksum stays as
  // the meter sent it. Applies to overridden answers too.
  void FlipAnswerBit(const std::string &Command, int Nth, std::size_t Offset, int Bit);
  // The meter's own answer, for an override that changes what follows it.
  std::string OwnAnswer(const std::string &request);
  // One record of a packet-mode frame, taken as that request: recorded (see
  // PacketRecords) and acted on; the answer is the meter's own (no override).
  std::string PacketRecord(const std::string &record);

  // What a test looks at afterwards.
  bool InTestMode() const;
  std::array<std::uint8_t, 3> CurrentVersion() const;
  std::string Memory() const;                     // the whole 128 KiB
  std::vector<std::string> Requests() const;      // every request addressed here, in order
  std::vector<std::string> PacketRecords() const; // every packet record addressed here
  int BlockWrites() const;                        // accepted block writes
  bool WholeImageWritten() const;                 // every byte from the write start on written
  std::uint8_t LastTestModeByte() const;
  std::uint8_t SpeedCode() const;

private:
  std::string AnswerLocked(const std::string &request);
  std::string Status(const std::string &prefix, std::uint8_t status) const;
  std::string Data(const std::string &prefix, const std::string &data) const;
  std::string WriteBlock(const std::string &prefix, const std::string &body);
  bool AllWrittenLocked() const;

  struct BitFlip {
    std::string Command;
    int Nth;
    std::size_t Offset;
    int Bit;
    int Seen = 0;
  };
  void FlipLocked(const std::string &request, std::string &answer);

  mutable std::mutex FLock;
  MeterConfig FConfig;
  AnswerOverride FOverride;
  std::vector<BitFlip> FFlips;
  std::string FMemory;
  std::vector<bool> FWritten; // per 16-byte unit from the write start
  std::vector<std::string> FRequests;
  std::vector<std::string> FPacketRecords;
  std::array<std::uint8_t, 3> FVersion;
  bool FTestMode = false;
  int FBlockWrites = 0;
  std::uint8_t FTestModeByte = 0xFF;
  std::uint8_t FSpeedCode;
};

// The answer to a packet-mode request frame: its records go to the meter
// that the first one addresses, and their answers come back in one answer
// frame (identifier AAAA, marked last). Empty when no meter is addressed or
// the frame holds no record.
std::string AnswerPacket(const std::vector<std::shared_ptr<SimMeter>> &meters, const std::string &frame);

// Length of the complete request that starts the buffer, 0 when more bytes
// are needed, -1 when the bytes are no request this meter family knows.
// Alert sequences and packet frames are framed too, so they can be skipped.
int RequestLength(const std::string &buffer);

} // namespace sim
