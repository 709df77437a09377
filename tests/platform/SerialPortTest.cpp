#include "platform/SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <vector>
#include <thread>

#include "support/PtyPeer.h"
#include "support/StuckLine.h"
#include "support/WaitUntil.h"

using namespace platform;
using testsupport::PtyPeer;
using Clock = std::chrono::steady_clock;

namespace {

long MsSince(Clock::time_point Start)
{
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count());
}

DCB DefaultDcb()
{
  DCB d;
  d.BaudRate = 9600;
  d.Flags = 0x11;
  d.ByteSize = 8;
  return d;
}

std::string ReadAll(SerialPort &Port, uint32_t Count, bool *Result = nullptr)
{
  std::string buffer(Count, '\0');
  uint32_t done = 0;
  const bool ok = Port.ReadFile(buffer.data(), Count, done);
  if (Result != nullptr)
    *Result = ok;
  buffer.resize(done);
  return buffer;
}

} // namespace

TEST(SerialPort, OpensOnlyComNamesOfExistingTerminals)
{
  PtyPeer peer;
  SerialPort port;
  EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(0)));
  EXPECT_EQ(port.LastError(), SerialError::NotFound);
  EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(-1)));
  EXPECT_FALSE(port.Open("COM" + std::to_string(peer.ComNumber())));
  EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(peer.ComNumber()) + "x"));
  EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(peer.ComNumber() + 1000)));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(SerialPort::ComDevicePath(3), PtyPeer::ComDir() + "/com3");

  // A file that is no terminal is no port.
  const std::string plain = PtyPeer::ComDir() + "/com999";
  close(open(plain.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(999)));
  EXPECT_EQ(port.LastError(), SerialError::NotFound);
  unlink(plain.c_str());

  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(peer.Settings().Raw);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.SetCommState(DefaultDcb()));
  EXPECT_EQ(port.LastError(), SerialError::NotOpen);
}

// Many ports exist at once (one per process row), mostly closed: a closed
// port holds no descriptor, an open one its terminal and two wake-up
// counters. Without a descriptor left, the open says so.
TEST(SerialPort, OnlyAnOpenPortHoldsDescriptors)
{
  const auto OpenFiles = [] {
    const auto Entries = std::filesystem::directory_iterator("/proc/self/fd");
    return std::distance(std::filesystem::begin(Entries), std::filesystem::end(Entries));
  };
  PtyPeer peer;
  const auto Before = OpenFiles();
  SerialPort Ports[20];
  EXPECT_FALSE(Ports[0].Open(SerialPort::ComDeviceName(peer.ComNumber() + 1000)));
  EXPECT_EQ(OpenFiles(), Before);
  ASSERT_TRUE(Ports[0].Open(SerialPort::ComDeviceName(peer.ComNumber())));
  EXPECT_EQ(OpenFiles(), Before + 3);
  Ports[0].Close();

  // Every descriptor below a lowered limit taken but one.
  rlimit Saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Saved), 0);
  rlimit Low{static_cast<rlim_t>(Before + 16), Saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &Low), 0);
  std::vector<int> Taken;
  for (int fd; (fd = dup(0)) >= 0;)
    Taken.push_back(fd);
  close(Taken.back());
  Taken.pop_back();
  EXPECT_FALSE(Ports[1].Open(SerialPort::ComDeviceName(peer.ComNumber())));
  for (const int fd : Taken)
    close(fd);
  setrlimit(RLIMIT_NOFILE, &Saved);
  EXPECT_EQ(Ports[1].LastError(), SerialError::NoDescriptors);
  EXPECT_EQ(OpenFiles(), Before);
}

TEST(SerialPort, SecondOpenerIsRefusedInThisAndAnotherProcess)
{
  PtyPeer peer;
  const std::string name = SerialPort::ComDeviceName(peer.ComNumber());
  SerialPort first, second;
  ASSERT_TRUE(first.Open(name));
  EXPECT_FALSE(second.Open(name));
  EXPECT_EQ(second.LastError(), SerialError::Busy);

  // Another process trying the same lock on the same terminal fails too.
  const std::string path = SerialPort::ComDevicePath(peer.ComNumber());
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.Close();
  EXPECT_TRUE(second.Open(name));
  second.Close();

  // A port held by another process is busy for us.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
    char c;
    [[maybe_unused]] ssize_t r = read(release[0], &c, 1);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, '1');
  EXPECT_FALSE(first.Open(name));
  EXPECT_EQ(first.LastError(), SerialError::Busy);
  ASSERT_EQ(write(release[1], "x", 1), 1);
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(first.Open(name));
  for (int fd : {ready[0], ready[1], release[0], release[1]})
    close(fd);
}

TEST(SerialPort, AppliesEveryOfferedLineSetting)
{
  PtyPeer peer;
  SerialPort port;
  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  DCB dcb = DefaultDcb();
  for (uint32_t baud : {300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 28800u, 38400u, 56000u,
                        57600u, 115200u, 128000u, 256000u}) {
    dcb.BaudRate = baud;
    ASSERT_TRUE(port.SetCommState(dcb)) << baud;
    EXPECT_EQ(peer.Settings().Baud, baud);
  }
  // A pty keeps eight data bits whatever it is asked for.
  for (uint8_t bits = 5; bits <= 8; ++bits) {
    dcb.ByteSize = bits;
    ASSERT_TRUE(port.SetCommState(dcb));
    const int got = peer.Settings().DataBits;
    EXPECT_TRUE(got == bits || got == 8) << int(bits);
  }
  dcb.StopBits = ONESTOPBIT;
  ASSERT_TRUE(port.SetCommState(dcb));
  EXPECT_FALSE(peer.Settings().TwoStopBits);
  for (uint8_t stop : {ONE5STOPBITS, TWOSTOPBITS}) {
    dcb.StopBits = stop;
    ASSERT_TRUE(port.SetCommState(dcb));
    EXPECT_TRUE(peer.Settings().TwoStopBits);
  }
  // A pty may clear the parity bits it has no use for; where it keeps them,
  // they must be the ones asked for.
  struct Case {
    uint8_t Parity;
    bool Odd, MarkSpace;
  };
  for (Case c : {Case{ODDPARITY, true, false}, Case{EVENPARITY, false, false}, Case{MARKPARITY, true, true},
                 Case{SPACEPARITY, false, true}}) {
    dcb.Parity = c.Parity;
    ASSERT_TRUE(port.SetCommState(dcb));
    const auto s = peer.Settings();
    if (s.ParityEnabled) {
      EXPECT_EQ(s.ParityOdd, c.Odd) << int(c.Parity);
      EXPECT_EQ(s.MarkSpace, c.MarkSpace) << int(c.Parity);
    }
  }
  dcb.Parity = NOPARITY;
  ASSERT_TRUE(port.SetCommState(dcb));
  EXPECT_FALSE(peer.Settings().ParityEnabled);
  EXPECT_TRUE(peer.Settings().Raw);

  using Spoil = void (*)(DCB &);
  for (Spoil bad : {Spoil([](DCB &d) { d.BaudRate = 0; }), Spoil([](DCB &d) { d.ByteSize = 9; }),
                    Spoil([](DCB &d) { d.ByteSize = 4; }), Spoil([](DCB &d) { d.Parity = 5; }),
                    Spoil([](DCB &d) { d.StopBits = 3; })}) {
    DCB d = DefaultDcb();
    bad(d);
    EXPECT_FALSE(port.SetCommState(d));
    EXPECT_EQ(port.LastError(), SerialError::BadSetting);
  }
}

TEST(SerialPort, ReadTimeoutsFollowCommTimeouts)
{
  PtyPeer peer;
  SerialPort port;
  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  ASSERT_TRUE(port.SetCommState(DefaultDcb()));

  // Total time-out on a silent line: multiplier x count + constant.
  ASSERT_TRUE(port.SetCommTimeouts({0, 20, 100, 0, 0}));
  auto start = Clock::now();
  bool ok = false;
  EXPECT_EQ(ReadAll(port, 5, &ok), "");
  EXPECT_TRUE(ok); // a time-out is no failure
  EXPECT_GE(MsSince(start), 200);

  // MAXDWORD interval with zero totals: what is there, at once.
  ASSERT_TRUE(port.SetCommTimeouts({MAXDWORD, 0, 0, 0, 0}));
  EXPECT_EQ(ReadAll(port, 5), "");
  peer.Write("ab");
  while (peer.PendingToSlave() < 2)
    std::this_thread::yield();
  EXPECT_EQ(ReadAll(port, 5), "ab");

  // The interval ends a read at the first pause after the first byte. The
  // rest comes once the read has returned, or after 5 s when it does not.
  ASSERT_TRUE(port.SetCommTimeouts({50, 0, 0, 0, 0}));
  peer.Write("123");
  std::atomic<bool> returned{false};
  std::thread late([&] {
    WaitUntil([&] { return returned.load(); }, std::chrono::seconds(5));
    peer.Write("45");
  });
  EXPECT_EQ(ReadAll(port, 5), "123");
  returned = true;
  late.join();
  EXPECT_EQ(ReadAll(port, 5), "45");

  // A read of fewer bytes than the line holds leaves the rest queued.
  ASSERT_TRUE(port.SetCommTimeouts({30, 1, 150, 0, 0}));
  peer.Write("wxyz");
  EXPECT_EQ(ReadAll(port, 2), "wx");
  EXPECT_EQ(peer.PendingToSlave(), 2);
  ASSERT_TRUE(port.PurgeComm(PURGE_RXCLEAR));
  EXPECT_EQ(peer.PendingToSlave(), 0);
}

TEST(SerialPort, WritesReachTheLine)
{
  PtyPeer peer;
  SerialPort port;
  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  ASSERT_TRUE(port.SetCommState(DefaultDcb()));
  std::string data(700, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  uint32_t done = 0;
  ASSERT_TRUE(port.WriteFile(data.data(), static_cast<uint32_t>(data.size()), done));
  EXPECT_EQ(done, data.size());
  ASSERT_TRUE(peer.WaitReceived(data.size(), std::chrono::seconds(5)));
  EXPECT_EQ(peer.Received(), data); // no output processing of 0x0A and the like
}

TEST(SerialPort, PurgeFromAnotherThreadAbortsABlockedRead)
{
  PtyPeer peer;
  SerialPort port;
  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  ASSERT_TRUE(port.SetCommTimeouts({0, 0, 0, 0, 0})); // wait for ever
  std::atomic<bool> finished{false};
  bool result = true;
  std::thread reader([&] {
    result = !ReadAll(port, 1, &result).empty() || result;
    finished = true;
  });
  const auto start = Clock::now();
  while (!finished && MsSince(start) < 10000) {
    port.PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(port.LastError(), SerialError::Aborted);

  // An abort before a read started does not end the next read.
  ASSERT_TRUE(port.PurgeComm(PURGE_RXABORT));
  ASSERT_TRUE(port.SetCommTimeouts({0, 0, 100, 0, 0}));
  peer.Write("z");
  EXPECT_EQ(ReadAll(port, 1), "z");

  // A read given an abort count taken earlier ends at any abort since then,
  // even one made before the read began and with a byte waiting.
  const uint64_t mark = port.RxAbortGeneration();
  ASSERT_TRUE(port.PurgeComm(PURGE_RXABORT));
  peer.Write("y");
  ASSERT_TRUE(WaitUntil([&] { return peer.PendingToSlave() == 1; }));
  char c = 0;
  uint32_t done = 0;
  EXPECT_FALSE(port.ReadFile(&c, 1, done, mark));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(port.LastError(), SerialError::Aborted);
  EXPECT_TRUE(port.ReadFile(&c, 1, done, port.RxAbortGeneration()));
  EXPECT_EQ(c, 'y');
}

TEST(SerialPort, AHungUpLineEndsAReadAtOnce)
{
  SerialPort port;
  {
    PtyPeer peer;
    ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  }
  ASSERT_TRUE(port.SetCommTimeouts({0, 0, 0, 0, 0})); // no time-out: only the hang-up ends it
  bool ok = true;
  EXPECT_EQ(ReadAll(port, 4, &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(port.LastError(), SerialError::Io);
}

TEST(SerialPort, OpenFailuresSayWhy)
{
  const std::string dir = PtyPeer::ComDir();
  SerialPort port;
  const auto reason = [&port](int Com) {
    EXPECT_FALSE(port.Open(SerialPort::ComDeviceName(Com)));
    return port.LastErrorText();
  };
  EXPECT_EQ(reason(990), "No such file or directory");
  ASSERT_EQ(symlink("/", (dir + "/com991").c_str()), 0);
  EXPECT_EQ(reason(991), "Is a directory");
  ASSERT_EQ(mkfifo((dir + "/com992").c_str(), 0600), 0);
  EXPECT_EQ(reason(992), "Not a tty");
  ASSERT_EQ(symlink("/dev/null", (dir + "/com993").c_str()), 0);
  EXPECT_EQ(reason(993), "Not a tty");
  for (const char *name : {"/com991", "/com992", "/com993"})
    unlink((dir + name).c_str());

  PtyPeer peer;
  SerialPort first;
  ASSERT_TRUE(first.Open(SerialPort::ComDeviceName(peer.ComNumber())));
  EXPECT_EQ(first.LastErrorText(), "");
  EXPECT_EQ(reason(peer.ComNumber()), "Device or resource busy");
}

TEST(SerialPort, AWriteToALineThatTakesNothingEndsByItselfOrByAnAbort)
{
  testsupport::StuckLine line(PtyPeer::ComDir(), 994);
  SerialPort port;
  ASSERT_TRUE(port.Open(SerialPort::ComDeviceName(994)));
  ASSERT_TRUE(WaitUntil([&] { return line.Filled(); }));
  const std::string request(64, 'r');
  uint32_t done = 0;
  // No write time-outs of its own, as a loader's port has: the write ends
  // once its bytes could have gone out and the margin (here a second) is over.
  ASSERT_TRUE(port.SetCommTimeouts({30, 1, 150, 0, 0}));
  const auto start = Clock::now();
  EXPECT_FALSE(port.WriteFile(request.data(), static_cast<uint32_t>(request.size()), done));
  EXPECT_GE(MsSince(start), static_cast<long>(SerialPort::ImplicitWriteMarginMs));
  EXPECT_EQ(port.LastError(), SerialError::TimedOut);
  EXPECT_EQ(port.LastErrorText(), "Write not taken in time");

  // With a margin of ten minutes only an abort from another thread ends it.
  ASSERT_TRUE(port.SetCommTimeouts({30, 1, 600000, 0, 0}));
  std::atomic<bool> finished{false};
  bool ok = true;
  std::thread writer([&] {
    uint32_t written = 0;
    ok = port.WriteFile(request.data(), static_cast<uint32_t>(request.size()), written);
    finished = true;
  });
  const auto aborting = Clock::now();
  while (!finished && MsSince(aborting) < 20000) {
    port.AbortTransfers();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  writer.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(port.LastError(), SerialError::Aborted);
}
