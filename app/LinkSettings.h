#pragma once
// The link settings of a loader as one value: what the connection settings
// dialog shows and confirms, what the settings file stores for a row, what
// the clipboard import copies from its template and what the command
// server's "SET COM=" and "SET TCP=" set.
//
// While a loader runs, its port rewrites some of its own settings for a while
// (the time-outs during every receive, the speed and parity of a line raised
// to 38400 baud for the run), so the window shows and copies what the loader
// was configured with: its port's settings as it left idle.
#include "loader/Quorlan.h"

#include <cstdint>
#include <string>

namespace app {

struct TLinkSettings {
  std::int32_t Port = 0;          // port setting rpPortNumber
  std::int32_t BaudRate = 0;      // port setting rpBaudRate
  std::int32_t Parity = 0;        // port setting rpParity
  std::int32_t SystemTimeOut = 0; // port setting rpSystemTimeOut
  std::int32_t AnswerTimeOut = 0; // port setting rpAnswerTimeOut
  std::int32_t Multiplier = 0;    // port setting rpTimeOutMultiplier
  std::string NetAdr;
  bool UseComPort = false;
  std::string TcpHost;
  std::int32_t TcpPort = 0;
  std::int32_t TcpReadTimeout = 0;
  std::int32_t BlockSize = 0;
  bool AlertSequence = false;
  bool PacketMode = false;

  // A TCP link waits for an answer as long as the row shows: wherever a
  // row's answer time-out is set (the settings dialog, "SET TCP=", the
  // settings file, a new row's defaults), its TCP read time-out is set to
  // the same. "SET COM=" sets the port's alone; the clipboard import copies
  // both as its template has them.
  void SetAnswerTimeOut(std::int32_t TimeOut)
  {
    AnswerTimeOut = TimeOut;
    TcpReadTimeout = TimeOut;
  }

  bool operator==(const TLinkSettings &) const = default;
};

// The fields of TLinkSettings as the bits of a set: which of them
// ApplyLinkSettings applies.
enum TLinkSetting : std::uint32_t {
  lsPort = 1u << 0,
  lsBaudRate = 1u << 1,
  lsParity = 1u << 2,
  lsSystemTimeOut = 1u << 3,
  lsAnswerTimeOut = 1u << 4,
  lsMultiplier = 1u << 5,
  lsNetAdr = 1u << 6,
  lsUseComPort = 1u << 7,
  lsTcpHost = 1u << 8,
  lsTcpPort = 1u << 9,
  lsTcpReadTimeout = 1u << 10,
  lsBlockSize = 1u << 11,
  lsAlertSequence = 1u << 12,
  lsPacketMode = 1u << 13,
  lsAll = (1u << 14) - 1,
  // What TLinkSettings::SetAnswerTimeOut sets.
  lsAnswerTimeOuts = lsAnswerTimeOut | lsTcpReadTimeout,
};
using TLinkSettingSet = std::uint32_t;

// Reads the settings as they are now (the port's parameters under its lock,
// the texts through the loader's getters).
TLinkSettings ReadLinkSettings(const loader::TQuorlan &L);
// What the loader was configured with: its settings now while it is idle,
// else its port's as it left idle (TQuorlan::ConfiguredPortParams; only the
// port's settings are bent by a run, the others stay as set).
TLinkSettings ReadConfiguredLinkSettings(const loader::TQuorlan &L);

// Sets the settings of Which to the values of S; the others stay. The
// loader is idle (the flags may change at any time).
void ApplyLinkSettings(loader::TQuorlan &L, const TLinkSettings &S, TLinkSettingSet Which = lsAll);

} // namespace app
