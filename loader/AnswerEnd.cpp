#include "loader/AnswerEnd.h"

#include "link/MeterProtocol.h"
#include "link/PacketString.h"
#include "link/UnExtlibs.h"

#include <string>

namespace loader {
namespace {

using protocol::PrefixLength;

// Prefix, status byte and checksum: the shortest answer a meter gives.
std::size_t ShortStatusLength(std::string_view Bytes) { return PrefixLength(Bytes) + 3; }

} // namespace

std::size_t AnswerEnd(std::string_view Bytes, std::int32_t Count, int Echo)
{
  if (Bytes.empty())
    return 0;
  const std::string bytes(Bytes);
  if (Count == -1) {
    // Shorter than a status answer, a CRC that holds is chance.
    if (Bytes.size() >= ShortStatusLength(Bytes) && TestCheckSum(bytes, ctCrc16))
      return Bytes.size();
    if (Bytes[0] == '\x02' && Bytes.back() == '\x03' && TPacketString(bytes, false).IsComplete())
      return Bytes.size();
    return 0;
  }
  if (Count <= 0)
    return Bytes.size();
  const auto count = static_cast<std::size_t>(Count);
  if (Bytes.size() >= count)
    return count;
  // Only exactly its bytes: a whole answer that has come at once may begin
  // with bytes that read as a status answer by chance. One in 65536 of the
  // answers that arrive in pieces does so too, and the echoed byte tells
  // those apart where the request has one.
  if (Bytes.size() == ShortStatusLength(Bytes) && TestCheckSum(bytes, ctCrc16) &&
      static_cast<unsigned char>(Bytes[PrefixLength(Bytes)]) != Echo)
    return Bytes.size();
  return 0;
}

} // namespace loader
