// The packet-mode frame codec. A frame runs from STX (0x02) to ETX (0x03) and
// carries a list of records; everything between the header and the checksum
// is packed 7 bits a byte (bit 7 of every byte set), and the checksum is type
// 2 over the header bytes after the identifier and the packed payload.
//
// Request frame: STX, FId (high, low), FHead1, FHead2, FHead3, packed payload
// (FPrefix, FIdent, then per record: length + 1, index, content), checksum
// low and high, ETX. Answer frame: STX, identifier, FHead1, FHead2, packed
// payload (per record: length L of what follows, two bytes not interpreted,
// content), checksum, ETX. Bit 7 of FHead2 marks the last frame of a message.
//
// A received string of several frames becomes a chain: each further frame a
// packet (FNextPacket, owned) that adds its records to the same list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using TPacketItems = std::vector<std::string>;

class TPacketString {
public:
  // An empty packet with its own record list, for building a request.
  TPacketString();
  // Parses Frame as answer frames into a list of its own.
  TPacketString(const std::string &Frame, bool WholeRecords);
  // Parses Frame as request frames, adding the records to Items.
  TPacketString(const std::string &Frame, TPacketItems &Items);
  // Parses Frame as answer frames, adding the records to Items.
  TPacketString(const std::string &Frame, bool WholeRecords, TPacketItems &Items);
  virtual ~TPacketString();
  TPacketString(const TPacketString &) = delete;
  TPacketString &operator=(const TPacketString &) = delete;

  // Header fields and the 17-byte block back to their defaults; the records,
  // FRaw, FParseError and the list's ownership stay.
  virtual void Reset();
  // Request records from the packed payload followed by the two checksum bytes.
  virtual void DecodeItems(const std::string &Packed);
  // Answer records from the packed payload: the contents, or with
  // WholeRecords the whole records with their length byte.
  virtual void DecodeAnswerItems(const std::string &Packed, bool WholeRecords);
  // The 7-bit packing: a mark byte after every group of up to seven bytes.
  virtual std::string Encode7(const std::string &Source);
  virtual void Parse(const std::string &Frame);
  virtual void ParseAnswer(const std::string &Frame, bool WholeRecords);
  // The request frame of the records into Out (with no records: FRaw). False,
  // Out untouched, when a record has more than 254 bytes or there are more
  // than 256 records: their length and index bytes cannot hold them.
  virtual bool Build(std::string &Out);

  bool IsLast() const { return (FHead2 & 0x80) != 0; }
  // FIdent := S cut or padded with '0' on the right to six characters.
  void SetIdent(const std::string &S);
  // Every packet of the chain from here parsed without error and the last
  // one is marked last.
  bool IsComplete() const;

  static constexpr size_t MaxRecordLength = 254;
  static constexpr size_t MaxRecords = 256;

  std::unique_ptr<TPacketString> FNextPacket;
  // The head: the whole string parsed. A chained packet: its own frame only
  // (or, when that frame failed, the rest of the string from it on).
  std::string FRaw;
  bool FParseError = false;
  TPacketItems *FItems = nullptr; // own (FOwnItems) or shared with the chain's head
  uint16_t FId = 0xAAAA;
  uint8_t FHead1 = 0x86;
  uint8_t FHead2 = 0x81;
  uint8_t FHead3 = 0xFF;
  std::string FPrefix;
  std::string FIdent;
  bool FOwnsItems = false;

private:
  // A chained packet, parsed by the head's loop.
  explicit TPacketString(TPacketItems &Items);
  // The checks and the header of the frame at Start; the position after its
  // ETX, 0 when a check failed.
  size_t CheckFrame(const std::string &S, size_t Start);
  void ParseChain(const std::string &Frame, bool Answer, bool WholeRecords);

  std::unique_ptr<TPacketItems> FOwnItems;
};

// The data bytes of a packed payload (the inverse of Encode7).
std::string Decode7(const std::string &Packed);
