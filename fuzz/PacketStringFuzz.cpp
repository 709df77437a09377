// Any byte string given to the packet-mode parsers: no crash, no sanitizer
// report, and what parses as a request builds back into frames that parse to
// the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/PacketString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string input(reinterpret_cast<const char*>(Data), Size);

  TPacketString contents(input, false);
  TPacketString whole(input, true);
  (void)contents.IsComplete();
  (void)whole.IsComplete();
  if (!contents.FParseError && whole.FParseError) std::abort();  // whole records are never fewer

  TPacketItems items;
  TPacketString request(input, items);
  (void)request.IsComplete();

  TPacketString packet;
  if (Decode7(packet.Encode7(input)) != input) std::abort();

  if (!items.empty() && items.size() <= TPacketString::MaxRecords) {
    TPacketString built;
    *built.FItems = items;
    std::string frame;
    if (built.Build(frame)) {
      TPacketItems again;
      TPacketString reparsed(frame, again);
      if (reparsed.FParseError || again != items) std::abort();
    }
  }
  return 0;
}
