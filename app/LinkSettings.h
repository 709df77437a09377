#pragma once
// The link settings of a loader as one value: what the connection settings
// dialog shows and the clipboard import copies from its template.
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

  bool operator==(const TLinkSettings &) const = default;
};

// Reads the settings as they are now (the port's parameters under its lock,
// the texts through the loader's getters).
TLinkSettings ReadLinkSettings(const loader::TQuorlan &L);

} // namespace app
