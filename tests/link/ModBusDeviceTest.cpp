#include "link/ModBusDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "link/PacketString.h"
#include "link/UnExtlibs.h"
#include "support/PtyPeer.h"
#include "support/WaitUntil.h"

using testsupport::PtyPeer;
using namespace std::chrono_literals;

namespace {

std::string Bytes(std::initializer_list<int> List)
{
  std::string s;
  for (int b : List)
    s.push_back(static_cast<char>(b));
  return s;
}

std::string Crc(std::initializer_list<int> List) { return AddCheckSum(Bytes(List), ctCrc16); }

// One answer of the meter: nothing (silence), or bytes after a delay, maybe
// in two parts with a pause between them.
struct TReply {
  TReply() = default;
  TReply(std::string F, int Delay = 0, std::string S = {}, int Pause = 0) // NOLINT
      : First(std::move(F)), DelayMs(Delay), Second(std::move(S)), PauseMs(Pause)
  {
  }
  std::string First;
  int DelayMs = 0;
  std::string Second;
  int PauseMs = 0;
};

// A meter on the far end of a pty that answers each complete request (one
// that ends in a valid CRC-16/MODBUS or packet-mode checksum) with the next
// reply of its script, and stays silent when the script has run out.
class TScriptedMeter {
public:
  explicit TScriptedMeter(std::vector<TReply> Script = {})
      : FScript(Script.begin(), Script.end()),
        FPeer([this](PtyPeer &Peer, std::string &Pending) { OnData(Peer, Pending); })
  {
  }

  int ComNumber() const { return FPeer.ComNumber(); }
  PtyPeer &Peer() { return FPeer; }
  std::vector<std::string> Requests()
  {
    std::lock_guard lock(FLock);
    return FRequests;
  }

private:
  // Requests that arrive together are answered one after the other.
  void OnData(PtyPeer &Peer, std::string &Pending)
  {
    for (size_t len = 1; len <= Pending.size(); ++len) {
      const auto type = FindCheckSumType(Pending.substr(0, len));
      if (type != ctCrc16 && type != ctCrc16Ccitt)
        continue;
      Answer(Peer, Pending.substr(0, len));
      Pending.erase(0, len);
      len = 0;
    }
  }

  void Answer(PtyPeer &Peer, const std::string &Request)
  {
    TReply reply;
    {
      std::lock_guard lock(FLock);
      FRequests.push_back(Request);
      if (!FScript.empty()) {
        reply = FScript.front();
        FScript.pop_front();
      }
    }
    if (reply.DelayMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(reply.DelayMs));
    if (!reply.First.empty())
      Peer.Write(reply.First);
    if (reply.PauseMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(reply.PauseMs));
    if (!reply.Second.empty())
      Peer.Write(reply.Second);
  }

  std::mutex FLock;
  std::deque<TReply> FScript;
  std::vector<std::string> FRequests;
  PtyPeer FPeer;
};

// The scripted meter answers at once, but a loaded machine may wake it late:
// the answer time-out of an exchange that gets an answer is generous, the
// short one is for silences that a test waits out on purpose.
constexpr int32_t kAnswerWait = 20000;
constexpr int32_t kSilenceWait = 150;

// A device that counts the steps of its busy waits, which never reach the log.
class TTickingDevice : public TCustomModBusDevice {
public:
  void DoEvent(uint8_t Kind, TRS485 &Port) override
  {
    if (Kind == evBusyTick)
      ++FBusyTicks;
    TCustomModBusDevice::DoEvent(Kind, Port);
  }
  std::atomic<int> FBusyTicks{0};
};

struct TLogLine {
  int32_t Index;
  uint8_t Kind;
  std::string Text;
};

// A device on the meter's line that records its log.
class TDeviceOnLine {
public:
  explicit TDeviceOnLine(TScriptedMeter &Meter, bool LoaderLimits = false)
  {
    Device.FInfo->SetParam(rpPortNumber, Meter.ComNumber());
    Device.FInfo->SetParam(rpAnswerTimeOut, kAnswerWait);
    Device.SetActive(true);
    EXPECT_TRUE(Device.IsOpen());
    if (LoaderLimits)
      for (int32_t g : {GuardReopen, GuardNoAnswer, GuardRepeat})
        Device.SetRetryLimit(g, 0);
    Device.SetOnLog([this](int32_t Index, uint8_t Kind, const char *Text, int32_t Len) {
      std::lock_guard lock(FLock);
      FLog.push_back({Index, Kind, std::string(Text, static_cast<size_t>(Len))});
    });
  }
  std::vector<TLogLine> Log()
  {
    std::lock_guard lock(FLock);
    return FLog;
  }
  std::vector<uint8_t> Kinds()
  {
    std::vector<uint8_t> kinds;
    for (const auto &line : Log())
      kinds.push_back(line.Kind);
    return kinds;
  }
  std::vector<std::string> Messages()
  {
    std::vector<std::string> texts;
    for (const auto &line : Log())
      if (line.Kind == evError)
        texts.push_back(line.Text);
    return texts;
  }
  int GuardCounts()
  {
    return Device.FRetry->Node(GuardReopen)->FCount + Device.FRetry->Node(GuardRepeat)->FCount +
           Device.FRetry->Node(GuardNoAnswer)->FCount;
  }

  TTickingDevice Device;

private:
  std::mutex FLock;
  std::vector<TLogLine> FLog;
};

std::string Message(uint8_t Code) { return GetProtocolMessage(static_cast<int8_t>(Code)); }

const std::string kRequest = Crc({0x01, 0x08, 0x03}); // a plain request to meter 1
using Kinds = std::vector<uint8_t>;

} // namespace

TEST(ModBusDevice, ConstructionAndLimits)
{
  TCustomModBusDevice device;
  EXPECT_EQ(device.FPassword, "582630");
  EXPECT_TRUE(device.FReopenOnAccess && device.FRepeatOnNoAnswer && device.FWaitOnBusy);
  EXPECT_TRUE(device.FLogEnabled);
  EXPECT_FALSE(device.IsLogEnabled()); // no callback yet
  EXPECT_EQ(device.FRetry->Node(GuardReopen)->FLimit, 2);
  EXPECT_EQ(device.FRetry->Node(GuardRepeat)->FLimit, 4);
  EXPECT_EQ(device.FRetry->Node(GuardNoAnswer)->FLimit, 2);
  device.SetRetryLimit(GuardRepeat, 0);
  device.SetRetryLimit(7, 9); // no such guard
  EXPECT_EQ(device.FRetry->Node(GuardRepeat)->FLimit, 0);
  EXPECT_GE(device.DeviceIndex(), 0);
  EXPECT_EQ(DeviceByIndex(device.DeviceIndex()), &device);
}

TEST(ModBusDevice, SilentLineUnderLoaderLimits)
{
  TScriptedMeter meter;
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  d.FInfo->SetParam(rpAnswerTimeOut, kSilenceWait);
  // Count -1: True as long as the request went out; the silence is in the code.
  EXPECT_TRUE(d.Transact(kRequest, -1));
  EXPECT_EQ(d.FError, ErrNoAnswer);
  EXPECT_EQ(d.FRxData, "");
  EXPECT_EQ(line.Kinds(), (Kinds{evSent, evWaiting, evReceived, evError}));
  const auto log = line.Log();
  EXPECT_EQ(log[0].Index, d.DeviceIndex());
  const std::string tx = log[0].Text;
  ASSERT_GT(tx.size(), 13u);
  EXPECT_EQ(tx.substr(tx.find('\t')), "\tTX\t01 08 03 " + StrToHex(kRequest.substr(3), " "));
  EXPECT_EQ(tx.substr(0, tx.find('\t')).size(), 12u); // hh:mm:ss:mmm in a 24-hour locale
  EXPECT_EQ(log[1].Text, std::string(1, '\0'));
  const std::string rx = log[2].Text;
  EXPECT_EQ(rx.substr(rx.find('\t')), "\tRX\t");
  EXPECT_EQ(log[3].Text, Message(255));
  EXPECT_EQ(meter.Requests().size(), 1u);

  // A fixed count and no answer: False.
  EXPECT_FALSE(d.Transact(kRequest, 5));
  EXPECT_EQ(d.FError, ErrNoAnswer);
  EXPECT_EQ(meter.Requests().size(), 2u);
  EXPECT_EQ(line.GuardCounts(), 0);
}

TEST(ModBusDevice, DamagedAndShortAnswersUnderLoaderLimits)
{
  std::string bad = Crc({0x01, 0x08, 0x34, 0x00, 0x35});
  bad.back() ^= 0x01;
  TScriptedMeter meter({{bad},
                        {Crc({0x01, 0x08, 0x34})},
                        {Crc({0x01, 0x08, 0x34, 0x00, 0x35})},
                        {Crc({0x01, 0x08, 0x34, 0x00, 0x35, 0x77})}});
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  // The expected length with a corrupted checksum: True, 254.
  EXPECT_TRUE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrCheckSum);
  EXPECT_EQ(d.FRxData, bad);
  EXPECT_EQ(line.Messages(), std::vector<std::string>{Message(254)});
  // Fewer bytes than expected: False (this short answer has a valid checksum).
  EXPECT_FALSE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrNone);
  EXPECT_EQ(d.FRxData.size(), 5u);
  // A good data answer of the right length.
  EXPECT_TRUE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrNone);
  EXPECT_EQ(d.FRxData, Crc({0x01, 0x08, 0x34, 0x00, 0x35}));
  // An over-long answer: the read stops at Count, the rest is left unread and
  // the first 7 bytes carry no valid checksum.
  EXPECT_TRUE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrCheckSum);
  EXPECT_EQ(d.FRxData.size(), 7u);
  EXPECT_EQ(meter.Requests().size(), 4u);
}

TEST(ModBusDevice, ShortStatusAnswers)
{
  TScriptedMeter meter({{Crc({0x01, 0x05})},
                        {Crc({0x01, 0x02})},
                        {Crc({0x01, 0x00})},
                        {Crc({0xFC, 1, 2, 3, 4, 0x05})},
                        {Crc({0x01, 0x30})},
                        {Crc({0x01, 0x06})}});
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  // Status 5 under the loader's limits: one exchange, no open-channel request.
  EXPECT_FALSE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, 5);
  EXPECT_EQ(line.Messages(), std::vector<std::string>{Message(5)});
  // A four-byte data answer is read as a status answer.
  EXPECT_FALSE(d.Transact(kRequest, 4));
  EXPECT_EQ(d.FError, 2);
  // Status 0 to a request that expected more: False with code 0.
  EXPECT_FALSE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrNone);
  // The wide address: an 8-byte status answer, its status the sixth byte.
  EXPECT_FALSE(d.Transact(Crc({0xFC, 1, 2, 3, 4, 0x08, 0x03}), 12));
  EXPECT_EQ(d.FError, 5);
  // A busy nibble without the wait: code 0 accepted at once.
  d.FWaitOnBusy = false;
  EXPECT_TRUE(d.Transact(kRequest, 4));
  EXPECT_EQ(d.FError, ErrNone);
  EXPECT_EQ(d.FBusyTicks, 0);
  // Status 6 that is not repeated fails with its code.
  EXPECT_FALSE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, 6);
  EXPECT_EQ(meter.Requests().size(), 6u);
  d.FRepeatOnNoAnswer = false;
  EXPECT_EQ(line.GuardCounts(), 0);
}

TEST(ModBusDevice, BusyNibbleWaitsBeforeTheCode)
{
  TScriptedMeter meter(std::vector<TReply>{TReply(Crc({0x01, 0x10}))});
  TDeviceOnLine line(meter, true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(line.Device.Transact(kRequest, 4));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 992ms);
  EXPECT_GT(line.Device.FBusyTicks, 0);
  EXPECT_EQ(line.Device.FError, ErrNone);
  // The wait's ticks never reach the log.
  for (auto kind : line.Kinds())
    EXPECT_NE(kind, evBusyTick);
}

TEST(ModBusDevice, BusyWaitNeverEndsEarly)
{
  // Each wait starts at some point within a millisecond of the clock.
  TCustomModBusDevice device;
  for (int i = 0; i < 50; ++i) {
    const auto start = std::chrono::steady_clock::now();
    device.WaitMs(2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);
  }
}

TEST(ModBusDevice, ResendCountsUnderDefaultLimits)
{
  // No answer: three sends in all.
  {
    TScriptedMeter meter;
    TDeviceOnLine line(meter);
    line.Device.FInfo->SetParam(rpAnswerTimeOut, kSilenceWait);
    EXPECT_FALSE(line.Device.Transact(kRequest, 7));
    EXPECT_EQ(line.Device.FError, ErrNoAnswer);
    EXPECT_EQ(meter.Requests().size(), 3u);
    EXPECT_EQ(line.GuardCounts(), 0);
  }
  // A request to every meter (0xFE) is not sent again.
  {
    TScriptedMeter meter;
    TDeviceOnLine line(meter);
    line.Device.FInfo->SetParam(rpAnswerTimeOut, kSilenceWait);
    EXPECT_TRUE(line.Device.Transact(Crc({0xFE, 0x08, 0x03}), -1));
    EXPECT_EQ(line.Device.FError, ErrNoAnswer);
    EXPECT_EQ(meter.Requests().size(), 1u);
  }
  // A wrong checksum, then a good answer: the second send succeeds.
  {
    std::string bad = Crc({0x01, 0x08, 0x34, 0x00, 0x35});
    bad[2] ^= 0x40;
    TScriptedMeter meter({{bad}, {Crc({0x01, 0x08, 0x34, 0x00, 0x35})}});
    TDeviceOnLine line(meter);
    line.Device.FInfo->SetParam(rpAnswerTimeOut, 1000); // the drain after the damaged answer waits it out
    EXPECT_TRUE(line.Device.Transact(kRequest, 7));
    EXPECT_EQ(line.Device.FError, ErrNone);
    EXPECT_EQ(meter.Requests().size(), 2u);
    EXPECT_EQ(line.Messages(), std::vector<std::string>{Message(254)});
  }
  // Status 6 each time: five sends in all.
  {
    TScriptedMeter meter(std::vector<TReply>(6, TReply{Crc({0x01, 0x06})}));
    TDeviceOnLine line(meter);
    EXPECT_FALSE(line.Device.Transact(kRequest, 7));
    EXPECT_EQ(line.Device.FError, 6);
    EXPECT_EQ(meter.Requests().size(), 5u);
    EXPECT_EQ(line.GuardCounts(), 0);
  }
  // Status 6 and a request to every meter: still sent again.
  {
    TScriptedMeter meter({{Crc({0xFE, 0x06})}, {Crc({0xFE, 0x00})}});
    TDeviceOnLine line(meter);
    EXPECT_TRUE(line.Device.Transact(Crc({0xFE, 0x08, 0x03}), 4));
    EXPECT_EQ(meter.Requests().size(), 2u);
  }
}

TEST(ModBusDevice, ReopensTheChannelOnAccessRefusal)
{
  const std::string data = Crc({0x01, 0x08, 0x34, 0x00, 0x35});
  TScriptedMeter meter({{Crc({0x01, 0x05})}, {Crc({0x01, 0x00})}, {data}});
  TDeviceOnLine line(meter);
  EXPECT_TRUE(line.Device.Transact(kRequest, 7));
  EXPECT_EQ(line.Device.FError, ErrNone);
  EXPECT_EQ(line.Device.FRxData, data);
  const auto requests = meter.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], kRequest);
  EXPECT_EQ(requests[1], AddCheckSum(Bytes({0x01, 0x01}) + "582630", ctCrc16));
  EXPECT_EQ(requests[1].size(), 10u);
  EXPECT_EQ(requests[2], kRequest);
  EXPECT_EQ(line.GuardCounts(), 0);

  // Refused every time: two open-channel requests, no further send.
  TScriptedMeter refusing(std::vector<TReply>(6, TReply{Crc({0xFC, 9, 9, 9, 9, 0x03})}));
  TDeviceOnLine line2(refusing);
  EXPECT_FALSE(line2.Device.Transact(Crc({0xFC, 9, 9, 9, 9, 0x08, 0x03}), 12));
  EXPECT_EQ(line2.Device.FError, 3);
  const auto sent = refusing.Requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], AddCheckSum(Bytes({0xFC, 9, 9, 9, 9, 0x01}) + "582630", ctCrc16));
  EXPECT_EQ(sent[2], sent[1]);
  EXPECT_EQ(line2.GuardCounts(), 0);

  // Modes 1 and 2 pad the password to 16 bytes, take a status answer one
  // byte longer, and accept an echo of the request.
  const std::string shortRequest = Crc({0x01, 0x08});
  TScriptedMeter echoing({{Crc({0x01, 0x05})}, {Crc({0x01, 0x00, 0x00})}, {shortRequest}});
  TDeviceOnLine line3(echoing);
  line3.Device.FMode = ModeRelaxed;
  EXPECT_TRUE(line3.Device.Transact(shortRequest, 4));
  EXPECT_EQ(line3.Device.FError, ErrNone);
  ASSERT_EQ(echoing.Requests().size(), 3u);
  EXPECT_EQ(echoing.Requests()[1],
            AddCheckSum(Bytes({0x01, 0x01}) + FitStr("582630", 16, '\0', false), ctCrc16));
}

TEST(ModBusDevice, PacketAnswerInTwoPartsIsJoined)
{
  TPacketString request;
  request.FItems->push_back(kRequest);
  std::string frame;
  ASSERT_TRUE(request.Build(frame));
  // An answer frame with one record, cut in two with a pause longer than the
  // time-out between bytes.
  TPacketString codec;
  const std::string body =
      AddCheckSum(Bytes({0x86, 0x81}) + codec.Encode7(Bytes({0x05, 0, 0, 'a', 'b', 'c'})), ctCrc16Ccitt);
  const std::string answer = Bytes({0x02, 0xAA, 0xAA}) + body + Bytes({0x03});
  TScriptedMeter meter({{answer.substr(0, 6), 0, answer.substr(6), 200}});
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  EXPECT_TRUE(d.Transact(frame, -1));
  EXPECT_EQ(d.FError, ErrNone);
  EXPECT_EQ(d.FRxData, answer);
  // A chain that never completes: False, 254, the answer kept. Its part is
  // on the line before the request, so the short wait is only for the rest.
  d.FInfo->SetParam(rpAnswerTimeOut, kSilenceWait);
  meter.Peer().Write(answer.substr(0, 6));
  ASSERT_TRUE(WaitUntil([&] { return meter.Peer().PendingToSlave() == 6; }));
  EXPECT_FALSE(d.Transact(frame, -1));
  EXPECT_EQ(d.FError, ErrCheckSum);
  EXPECT_EQ(d.FRxData, answer.substr(0, 6));
  // No answer at all to a packet request: 255.
  EXPECT_TRUE(d.Transact(frame, -1));
  EXPECT_EQ(d.FError, ErrNoAnswer);
}

TEST(ModBusDevice, RawModeAndSendOnly)
{
  TScriptedMeter meter(std::vector<TReply>{TReply(Bytes({0x55, 0x66}))});
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  d.FMode = ModeRaw;
  EXPECT_TRUE(d.Transact(kRequest, -1));
  EXPECT_EQ(d.FError, ErrNone); // not judged
  EXPECT_EQ(d.FRxData, Bytes({0x55, 0x66}));
  const auto log = line.Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.front().Kind, evSent);
  EXPECT_EQ(log.front().Text, kRequest);
  EXPECT_EQ(log.back().Kind, evReceived);
  EXPECT_EQ(log.back().Text, Bytes({0x55, 0x66}));

  // Send only: the old answer is not judged again.
  d.FMode = ModeStandard;
  EXPECT_TRUE(d.Transact(kRequest, 0));
  EXPECT_EQ(d.FError, ErrNone);
  ASSERT_TRUE(meter.Peer().WaitReceived(2 * kRequest.size(), 5s));
}

TEST(ModBusDevice, LogLockAndThrowingCallback)
{
  TScriptedMeter meter({{Crc({0x01, 0x00})}, {Crc({0x01, 0x00})}, {Crc({0x01, 0x00})}});
  TDeviceOnLine line(meter);
  auto &d = line.Device;
  // Held by another thread: every notification is dropped.
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    std::lock_guard lock(d.FLogLock);
    held = true;
    while (!release)
      std::this_thread::sleep_for(1ms);
  });
  while (!held)
    std::this_thread::yield();
  EXPECT_TRUE(d.Transact(kRequest, 4));
  release = true;
  holder.join();
  EXPECT_TRUE(line.Log().empty());

  // Logging switched off: nothing either.
  d.FLogEnabled = false;
  EXPECT_TRUE(d.Transact(kRequest, 4));
  EXPECT_TRUE(line.Log().empty());
  d.FLogEnabled = true;

  // An exception of the callback leaves the exchange; the port stays usable.
  int calls = 0;
  d.SetOnLog([&](int32_t, uint8_t Kind, const char *, int32_t) {
    ++calls;
    if (Kind == evWaiting)
      throw std::runtime_error("log full");
  });
  EXPECT_THROW(d.Transact(kRequest, 4), std::runtime_error);
  EXPECT_FALSE(d.FBusy);
  EXPECT_EQ(line.GuardCounts(), 0);
  EXPECT_EQ(d.FInfo->GetParam(rpSystemTimeOut), 30); // the receive's settings were put back
  d.SetOnLog(nullptr);
  EXPECT_FALSE(d.IsLogEnabled());
  EXPECT_TRUE(d.Transact(kRequest, 4));
}

TEST(ModBusDevice, PurgeFromAnotherThreadEndsAnExchange)
{
  TScriptedMeter meter;
  TDeviceOnLine line(meter);
  auto &d = line.Device;
  d.FInfo->SetParam(rpAnswerTimeOut, 20000);
  std::atomic<bool> waiting{false};
  d.SetOnLog([&](int32_t, uint8_t Kind, const char *, int32_t) {
    if (Kind == evWaiting)
      waiting = true;
  });
  bool result = true;
  std::thread exchange([&] { result = d.Transact(kRequest, 7); });
  EXPECT_TRUE(WaitUntil([&] { return waiting.load(); }));
  // One purge while the exchange waits for the answer ends it.
  EXPECT_TRUE(d.Purge());
  exchange.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(d.FHandle.LastError(), platform::SerialError::Aborted);
  // Aborted, not sent again (the purge may even drop the request unsent).
  EXPECT_LE(meter.Requests().size(), 1u);
}

TEST(ModBusDevice, PurgeWhilePacketAnswerIsIncompleteGivesWrongChecksum)
{
  TPacketString request;
  request.FItems->push_back(kRequest);
  std::string frame;
  ASSERT_TRUE(request.Build(frame));
  const std::string part = Bytes({0x02, 0xAA, 0xAA, 0x86, 0x81}); // a frame that never ends
  TScriptedMeter meter({TReply(part)});
  TDeviceOnLine line(meter, true);
  auto &d = line.Device;
  d.FInfo->SetParam(rpAnswerTimeOut, 20000);
  // The second wait for a first byte is the read for the rest of the chain.
  std::atomic<int> waits{0};
  d.SetOnLog([&](int32_t, uint8_t Kind, const char *, int32_t) {
    if (Kind == evWaiting)
      ++waits;
  });
  bool result = true;
  std::thread exchange([&] { result = d.Transact(frame, -1); });
  EXPECT_TRUE(WaitUntil([&] { return waits.load() >= 2; }));
  d.Purge();
  exchange.join();
  // As for a chain that stays incomplete: False, 254, what arrived kept.
  EXPECT_FALSE(result);
  EXPECT_EQ(d.FError, ErrCheckSum);
  EXPECT_EQ(d.FRxData, part);
}

namespace {

// A device whose exchange lock a test can hold from another thread, and
// whose Send runs a hook first.
class THookedDevice : public TCustomModBusDevice {
public:
  bool Send(const std::string &Data) override
  {
    ++FSends;
    if (FBeforeSend)
      FBeforeSend();
    return TCustomModBusDevice::Send(Data);
  }
  std::recursive_mutex &IoLock() { return FIoLock; }
  std::function<void()> FBeforeSend;
  int FSends = 0;
};

} // namespace

TEST(ModBusDevice, ExchangeRefusedWhileAnotherThreadHoldsThePort)
{
  TScriptedMeter meter(std::vector<TReply>{TReply(Crc({0x01, 0x08, 0x34, 0x00, 0x35}))});
  THookedDevice d;
  d.FInfo->SetParam(rpPortNumber, meter.ComNumber());
  d.FInfo->SetParam(rpAnswerTimeOut, kAnswerWait);
  d.SetActive(true);
  ASSERT_TRUE(d.IsOpen());
  // Another thread holds the port and lets go the moment a send is tried:
  // the refused exchange must not slip a request out and report success.
  std::atomic<bool> held{false}, release{false}, released{false};
  std::thread holder([&] {
    d.IoLock().lock();
    held = true;
    while (!release)
      std::this_thread::yield();
    d.IoLock().unlock();
    released = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  d.FBeforeSend = [&] {
    release = true;
    while (!released)
      std::this_thread::yield();
  };
  const bool result = d.Transact(kRequest, 7);
  release = true;
  holder.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(d.FError, ErrDriverBusy);
  EXPECT_EQ(d.FSends, 0);
  // Once the other thread is done, the exchange runs.
  d.FBeforeSend = nullptr;
  EXPECT_TRUE(d.Transact(kRequest, 7));
  EXPECT_EQ(d.FError, ErrNone);
}
