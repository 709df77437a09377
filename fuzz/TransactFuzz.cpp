// The meter device's answer judging with any answer bytes: a device whose
// reads come from the fuzz input instead of the line. Input: one byte of
// settings (mode, request kind, guard limits), then the answers, one per
// receive, each as a length byte and that many bytes; a receive that finds no
// more input hears silence.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "link/ModBusDevice.h"
#include "link/PacketString.h"
#include "link/UnExtlibs.h"
#include "support/PtyPeer.h"

namespace {

class TFuzzDevice : public TCustomModBusDevice {
public:
  std::string FInput;
  size_t FPos = 0;
  std::string FChunk;
  size_t FChunkPos = 0;

  bool ReadData(void *Buf, int32_t Count, int32_t &Done) override
  {
    Done = 0;
    if (Count != 1 || FChunkPos >= FChunk.size())
      return true; // silence: a time-out
    *static_cast<char *>(Buf) = FChunk[FChunkPos++];
    Done = 1;
    return true;
  }
  bool WriteData(const void *, int32_t Count, int32_t &Done) override
  {
    Done = Count;
    return true;
  }
  void DoEvent(uint8_t Kind, TRS485 &Port) override
  {
    if (Kind == evWaiting) { // a new receive: the next answer of the input
      FChunk.clear();
      FChunkPos = 0;
      if (FPos < FInput.size()) {
        const size_t len = static_cast<uint8_t>(FInput[FPos++]);
        FChunk = FInput.substr(FPos, len);
        FPos += FChunk.size();
      }
    }
    TCustomModBusDevice::DoEvent(Kind, Port);
  }
};

struct TLine {
  testsupport::PtyPeer Peer;
  TFuzzDevice Device;
  TLine()
  {
    Device.FInfo->SetParam(rpPortNumber, Peer.ComNumber());
    Device.SetActive(true);
    Device.FWaitOnBusy = false; // the busy nibble would sleep for seconds
    Device.SetOnLog([](int32_t, uint8_t, const char *, int32_t) {});
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
  static TLine *line = new TLine; // one open port for the whole run
  if (!line->Device.IsOpen())
    std::abort(); // the harness itself is broken
  if (Size < 1)
    return 0;
  TFuzzDevice &d = line->Device;
  const uint8_t settings = Data[0];
  static const uint8_t modes[] = {ModeStandard, ModeRelaxed, ModeRelaxed2, ModeRaw};
  d.FMode = modes[settings & 0x03];
  const int32_t limit = (settings & 0x10) != 0 ? 0 : 2;
  for (int32_t g : {GuardReopen, GuardRepeat, GuardNoAnswer})
    d.SetRetryLimit(g, limit);
  d.FInput.assign(reinterpret_cast<const char *>(Data) + 1, Size - 1);
  d.FPos = 0;

  std::string request;
  int32_t count = -1;
  switch ((settings >> 2) & 0x03) {
  case 0:
    request = AddCheckSum(std::string("\x01\x08\x03", 3), ctCrc16);
    count = 7;
    break;
  case 1:
    request = AddCheckSum(std::string("\xFC\x01\x02\x03\x04\x08\x03", 7), ctCrc16);
    break;
  case 2:
    request = AddCheckSum(std::string("\xFE\x08\x03", 3), ctXor8);
    count = 4;
    break;
  default: {
    TPacketString packet;
    packet.FItems->push_back(std::string("\x01\x08\x03", 3));
    packet.Build(request);
    break;
  }
  }
  if ((settings & 0x20) != 0)
    count = -1;
  d.Transact(request, count);
  for (int g = 0; g < 3; ++g)
    if (d.FRetry->Node(g)->FCount != 0)
      std::abort(); // guards left balanced
  return 0;
}
