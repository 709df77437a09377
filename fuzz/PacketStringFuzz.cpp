// Any byte string given to the packet-mode parsers: no crash, no sanitizer
// report, and what parses as a request builds back into frames that parse to
// the same records. The one exception is the parser's: it takes a frame for
// the first checksum type its bytes verify as, and CRC-16/MODBUS is tried
// before the frame's own type 2, so a built frame whose bytes happen to
// verify as CRC-16/MODBUS too (about one in 65,536) is refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/PacketString.h"
#include "link/UnExtlibs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
  const std::string input(reinterpret_cast<const char *>(Data), Size);

  TPacketString contents(input, false);
  TPacketString whole(input, true);
  (void)contents.IsComplete();
  (void)whole.IsComplete();
  if (!contents.FParseError && whole.FParseError)
    std::abort(); // whole records are never fewer

  TPacketItems items;
  TPacketString request(input, items);
  (void)request.IsComplete();

  TPacketString packet;
  if (Decode7(packet.Encode7(input)) != input)
    std::abort();

  if (!items.empty() && items.size() <= TPacketString::MaxRecords) {
    TPacketString built;
    *built.FItems = items;
    std::string frame;
    if (built.Build(frame)) {
      TPacketItems again;
      TPacketString reparsed(frame, again);
      const bool alsoModbus = reparsed.FParseError && again.empty() && TestCheckSum(frame, ctCrc16);
      if (!alsoModbus && (reparsed.FParseError || again != items))
        std::abort();
    }
  }
  return 0;
}
