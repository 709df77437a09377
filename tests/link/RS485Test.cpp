#include "link/RS485.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/DeviceList.h"
#include "support/PtyPeer.h"
#include "support/WaitUntil.h"

using testsupport::PtyPeer;
using namespace std::chrono_literals;

namespace {

// A port that records the events it raises.
class TTestPort : public TRS485 {
public:
  using TRS485::TRS485;
  void DoEvent(uint8_t Kind, TRS485 &Port) override
  {
    EXPECT_EQ(&Port, this);
    {
      std::lock_guard lock(FEventLock);
      FEvents.push_back(Kind);
    }
    if (OnEvent)
      OnEvent(Kind);
  }
  std::vector<uint8_t> Events()
  {
    std::lock_guard lock(FEventLock);
    return FEvents;
  }
  void ClearEvents()
  {
    std::lock_guard lock(FEventLock);
    FEvents.clear();
  }
  std::function<void(uint8_t)> OnEvent;

private:
  std::mutex FEventLock;
  std::vector<uint8_t> FEvents;
};

// A port that runs a hook once, before its next read.
class THookedPort : public TTestPort {
public:
  bool ReadData(void *Buf, int32_t Count, int32_t &Done) override
  {
    if (BeforeRead) {
      const auto hook = std::move(BeforeRead);
      BeforeRead = nullptr;
      hook();
    }
    return TTestPort::ReadData(Buf, Count, Done);
  }
  std::function<void()> BeforeRead;
};

using Events = std::vector<uint8_t>;

void OpenOn(TTestPort &Port, const PtyPeer &Peer)
{
  Port.FInfo->SetParam(rpPortNumber, Peer.ComNumber());
  Port.SetActive(true);
  ASSERT_TRUE(Port.IsOpen());
  Port.ClearEvents();
}

} // namespace

TEST(RS485Info, DefaultsAndParameters)
{
  TRS485Info info(nullptr);
  const int32_t defaults[] = {1, 9600, 0, 0x11, 0, 150, 30, 0, 8};
  for (int i = 0; i < RS485ParamCount; ++i)
    EXPECT_EQ(info.GetParam(i), defaults[i]) << i;
  EXPECT_EQ(info.GetParam(-1), 0);
  EXPECT_EQ(info.GetParam(RS485ParamCount), 0);

  info.SetParam(rpParity, 257); // a byte parameter keeps the low byte
  EXPECT_EQ(info.GetParam(rpParity), platform::ODDPARITY);
  info.SetParam(rpByteSize, -1);
  EXPECT_EQ(info.GetParam(rpByteSize), 255);
  info.SetParam(rpBaudRate, 38400);
  info.SetParam(rpAnswerTimeOut, 20000);
  info.SetParam(RS485ParamCount, 5);
  info.SetParam(-1, 5);
  EXPECT_EQ(info.GetParam(rpBaudRate), 38400);
  EXPECT_EQ(info.GetParam(rpAnswerTimeOut), 20000);
  EXPECT_FALSE(info.Apply()); // no port
  info.SetDefaults();
  EXPECT_EQ(info.GetParam(rpBaudRate), 9600);
}

TEST(RS485, PortsThatCannotOpenReport253)
{
  TTestPort port;
  port.FInfo->SetParam(rpPortNumber, 0);
  port.SetActive(true);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.FError, ErrPortBusy);
  EXPECT_EQ(port.Events(), Events{evError});

  port.ClearEvents();
  EXPECT_FALSE(port.Receive(5));
  EXPECT_EQ(port.FError, ErrPortBusy);
  EXPECT_EQ(port.Events(), Events{evError}); // no end-of-receive event
  port.ClearEvents();
  EXPECT_FALSE(port.Send("x"));
  EXPECT_EQ(port.FError, ErrPortBusy);
  EXPECT_FALSE(port.Send(""));
  EXPECT_EQ(port.FError, ErrZeroLength);
  EXPECT_FALSE(port.Purge());

  // A port already held by another opener is busy too.
  PtyPeer peer;
  TTestPort first, second;
  first.FInfo->SetParam(rpPortNumber, peer.ComNumber());
  second.FInfo->SetParam(rpPortNumber, peer.ComNumber());
  first.SetActive(true);
  ASSERT_TRUE(first.IsOpen());
  second.SetActive(true);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.FError, ErrPortBusy);
  // Opening an open port closes it first, so the port opens again.
  first.SetActive(true);
  EXPECT_TRUE(first.IsOpen());
  first.SetActive(false);
  second.SetActive(true);
  EXPECT_TRUE(second.IsOpen());

  // A setting the driver refuses keeps the port closed, with the reason.
  second.FInfo->SetParam(rpBaudRate, 0);
  second.SetActive(true);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.FError, ErrPortBusy);
  EXPECT_EQ(second.FHandle.LastErrorText(), "Invalid argument");
}

TEST(RS485, SendAndReceiveWithTheirEvents)
{
  PtyPeer peer;
  TTestPort port;
  OpenOn(port, peer);

  ASSERT_TRUE(port.Send(std::string("\x01\x03\x00", 3)));
  EXPECT_EQ(port.FTxData, std::string("\x01\x03\x00", 3));
  EXPECT_EQ(port.Events(), Events{evSent});
  ASSERT_TRUE(peer.WaitReceived(3, 5s));
  EXPECT_EQ(peer.Received(), std::string("\x01\x03\x00", 3));

  // Receive(0): nothing read, no event.
  port.ClearEvents();
  EXPECT_FALSE(port.Receive(0));
  EXPECT_TRUE(port.Events().empty());

  // A silent line: the wait, then the end, with an empty answer.
  EXPECT_TRUE(port.Receive(-1));
  EXPECT_EQ(port.FRxData, "");
  EXPECT_EQ(port.Events(), (Events{evWaiting, evReceived}));

  // Fewer bytes than asked for: the read ends at the first silence.
  port.ClearEvents();
  peer.Write("abc");
  EXPECT_FALSE(port.Receive(5));
  EXPECT_EQ(port.FRxData, "abc");
  EXPECT_EQ(port.Events(), (Events{evWaiting, evByte, evByte, evByte, evReceived}));

  // More bytes than asked for: the rest stays queued until a purge.
  peer.Write("wxyz");
  EXPECT_TRUE(port.Receive(2));
  EXPECT_EQ(port.FRxData, "wx");
  EXPECT_EQ(peer.PendingToSlave(), 2);
  EXPECT_TRUE(port.Purge());
  EXPECT_EQ(peer.PendingToSlave(), 0);
  EXPECT_EQ(port.FRxData, "");
  EXPECT_EQ(port.FTxData, "");

  // Count -1 reads on until a pause longer than the time-out between bytes.
  peer.Write("12");
  std::thread late([&] {
    std::this_thread::sleep_for(10ms);
    peer.Write("34");
  });
  port.FInfo->SetParam(rpSystemTimeOut, 1000); // far above the pause, also on a loaded machine
  EXPECT_TRUE(port.Receive(-1));
  late.join();
  EXPECT_EQ(port.FRxData, "1234");

  // The receive's own time-outs do not outlive it.
  EXPECT_EQ(port.FInfo->GetParam(rpAnswerTimeOut), 150);
  EXPECT_EQ(port.FInfo->GetParam(rpSystemTimeOut), 1000);
  EXPECT_EQ(port.FInfo->GetParam(rpTimeOutMultiplier), 0);
  const auto t = port.FHandle.GetCommTimeouts();
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 150u);
  EXPECT_EQ(t.ReadIntervalTimeout, 1000u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
}

TEST(RS485, OverlappingCallsAreRefusedAsBusy)
{
  PtyPeer peer;
  TTestPort port;
  OpenOn(port, peer);
  // A second operation started from an event of a running one.
  bool nested = true;
  port.OnEvent = [&](uint8_t Kind) {
    if (Kind == evWaiting)
      nested = port.Send("x");
  };
  port.Receive(1);
  EXPECT_FALSE(nested);
  port.OnEvent = nullptr;

  // A second thread while the first waits for an answer.
  port.FInfo->SetParam(rpAnswerTimeOut, 5000);
  std::atomic<bool> waiting{false};
  port.OnEvent = [&](uint8_t Kind) {
    if (Kind == evWaiting)
      waiting = true;
  };
  std::thread receiver([&] { port.Receive(1); });
  while (!waiting)
    std::this_thread::yield();
  TTestPort *same = &port;
  bool sent = true;
  std::thread other([&] { sent = same->Send("y"); });
  other.join();
  EXPECT_FALSE(sent);
  peer.Write("z");
  receiver.join();
  EXPECT_EQ(port.FRxData, "z");
}

TEST(RS485, PurgeFromAnotherThreadEndsAReceive)
{
  PtyPeer peer;
  TTestPort port;
  OpenOn(port, peer);
  port.FInfo->SetParam(rpAnswerTimeOut, 20000);
  std::atomic<bool> done{false};
  bool result = true;
  const auto start = std::chrono::steady_clock::now();
  std::thread receiver([&] {
    result = port.Receive(4);
    done = true;
  });
  while (!done && std::chrono::steady_clock::now() - start < 10s) {
    port.Purge();
    std::this_thread::sleep_for(2ms);
  }
  receiver.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(result);
  EXPECT_EQ(port.FInfo->GetParam(rpAnswerTimeOut), 20000);
}

TEST(RS485, PurgeJustBeforeTheReadIsNotMissed)
{
  PtyPeer peer;
  THookedPort port;
  OpenOn(port, peer);
  port.FInfo->SetParam(rpAnswerTimeOut, 5000);
  ASSERT_TRUE(port.Send("q"));
  // Another thread purges after the receive has looked at its abort flag and
  // before the read begins: the read ends at once instead of waiting out the
  // answer time-out.
  port.BeforeRead = [&] { std::thread([&] { port.Purge(); }).join(); };
  EXPECT_FALSE(port.Receive(4));
  EXPECT_EQ(port.FHandle.LastError(), platform::SerialError::Aborted);
  EXPECT_EQ(port.FRxData, "");
  EXPECT_EQ(port.FTxData, "q"); // left to the running receive
  // The next receive is not ended by that purge.
  peer.Write("abcd");
  EXPECT_TRUE(port.Receive(4));
  EXPECT_EQ(port.FRxData, "abcd");
}

TEST(RS485, PurgeFromAnotherThreadNeverRefusesTheOwner)
{
  PtyPeer peer;
  TTestPort port;
  OpenOn(port, peer);
  // Another thread purges without pause: it may abort, but the thread that
  // owns the port must never find it busy because of it.
  std::atomic<bool> stop{false};
  std::atomic<int> purges{0};
  std::thread purger([&] {
    while (!stop) {
      port.Purge();
      ++purges;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return purges > 0; }));
  int busy = 0;
  for (int i = 0; i < 20000; ++i) {
    if (i % 20 == 0)
      port.Send("x");
    else
      port.Receive(0); // takes the port and gives it back at once
    if (port.FError == ErrDriverBusy)
      ++busy;
  }
  stop = true;
  purger.join();
  EXPECT_EQ(busy, 0);
}

TEST(RS485, SetParamChangesAnOpenPortAtOnce)
{
  PtyPeer peer;
  TTestPort port;
  OpenOn(port, peer);
  EXPECT_EQ(peer.Settings().Baud, 9600u);
  // The time-outs that have no setting reach the port as well.
  EXPECT_EQ(port.FHandle.GetCommTimeouts().ReadTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(port.FHandle.GetCommTimeouts().WriteTotalTimeoutConstant, 0u);
  port.FInfo->SetParam(rpBaudRate, 38400);
  EXPECT_EQ(peer.Settings().Baud, 38400u);
  port.FInfo->SetParam(rpBaudRate, 28800);
  EXPECT_EQ(peer.Settings().Baud, 28800u);
  port.FInfo->SetParam(rpStopBits, platform::TWOSTOPBITS);
  EXPECT_TRUE(peer.Settings().TwoStopBits);
  port.FInfo->SetParam(rpFlags, 0x13); // fParity: received parity is checked
  EXPECT_TRUE(peer.Settings().ParityCheck);
  port.FInfo->SetParam(rpAnswerTimeOut, 777);
  EXPECT_EQ(port.FHandle.GetCommTimeouts().ReadTotalTimeoutConstant, 777u);
  // A new port number waits for the next open.
  port.FInfo->SetParam(rpPortNumber, peer.ComNumber() + 500);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(port.Send("a"));
  port.SetActive(true);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.FError, ErrPortBusy);
}

TEST(RS485, AutoOpenSendsAndReceives)
{
  PtyPeer peer;
  TTestPort port;
  port.FInfo->SetParam(rpPortNumber, peer.ComNumber());
  port.FAutoOpen = true;
  ASSERT_TRUE(port.Send("q"));
  EXPECT_TRUE(port.IsOpen());
  port.SetActive(false);
  // The receive opens the port itself and is not ended by the opening purge.
  port.FInfo->SetParam(rpAnswerTimeOut, 20000);
  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    peer.Write("ok");
  });
  EXPECT_TRUE(port.Receive(2));
  writer.join();
  EXPECT_EQ(port.FRxData, "ok");
}

TEST(DeviceList, IndexesAreNeverReused)
{
  auto first = std::make_unique<TTestPort>();
  const int32_t index = first->DeviceIndex();
  ASSERT_GE(index, 0);
  EXPECT_TRUE(DeviceExists(index));
  EXPECT_EQ(DeviceByIndex(index), first.get());
  first.reset();
  EXPECT_FALSE(DeviceExists(index));
  EXPECT_EQ(DeviceByIndex(index), nullptr);
  TTestPort second;
  EXPECT_GT(second.DeviceIndex(), index);
  EXPECT_FALSE(DeviceExists(-1));
  EXPECT_FALSE(DeviceExists(DeviceList.load()->Count()));
  EXPECT_EQ(DeviceByIndex(-1), nullptr);

  int owner = 0;
  TTestPort owned(&owner);
  EXPECT_EQ(owned.FOwner.load(), &owner);
}
