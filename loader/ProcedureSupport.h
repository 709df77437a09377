#pragma once
// Small helpers that the steps of the update procedure share: the byte of an
// answer, the prefix of address 255, the time stamp and the formatting of a
// log line.
#include "link/UnExtlibs.h"
#include "platform/Clock.h"
#include "platform/TextFormat.h"

#include <cstdint>
#include <string>

namespace loader::procedure {

// Byte i of an answer, 0 past its end.
inline std::uint8_t At(const std::string &s, std::size_t i)
{
  return i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0;
}

// Address 255: its meter is identified and written, but its version is not
// read, nothing is decided and the procedure enters no test mode of its own.
inline const std::string Prefix255(1, '\xFF');

inline std::string TimeStamp() { return TimeToStrMs(platform::GetLocalTime()); }

// A log line from one of the procedure's formats ("%s", "%d").
using platform::Format;

} // namespace loader::procedure
