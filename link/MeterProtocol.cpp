#include "link/MeterProtocol.h"

#include "link/UnExtlibs.h"

namespace protocol {

std::string AddressPrefix(uint32_t Address)
{
  if (Address <= 0xFF)
    return std::string(1, static_cast<char>(Address));
  return {static_cast<char>(WideAddressMark), static_cast<char>(Address >> 24),
          static_cast<char>(Address >> 16), static_cast<char>(Address >> 8), static_cast<char>(Address)};
}

std::string WidePrefix(std::string_view AddressBytes)
{
  return static_cast<char>(WideAddressMark) + std::string(AddressBytes);
}

std::string SentLine(const platform::TSystemTime &Time, const std::string &Bytes)
{
  return TimeToStrMs(Time) + "\tTX\t" + StrToHex(Bytes, " ");
}

std::string ReceivedLine(const platform::TSystemTime &Time, const std::string &Bytes)
{
  return TimeToStrMs(Time) + "\tRX\t" + StrToHex(Bytes, " ");
}

} // namespace protocol
