// One request of 512 + 9 bytes (a block write) and its 5-byte answer over a
// pty, the peer answering at once: the meter device's exchange against the
// same exchange made with plain system calls on the same kind of line. The
// difference is the per-exchange overhead of the link layer.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "link/ModBusDevice.h"
#include "link/UnExtlibs.h"
#include "support/PtyPeer.h"

namespace {

std::string BlockRequest()
{
  std::string request = "\x01\x10";
  for (int i = 0; request.size() < 519; ++i)
    request.push_back(static_cast<char>(i * 13));
  return AddCheckSum(request, ctCrc16); // 521 bytes
}

const std::string kAnswer = AddCheckSum(std::string("\x01\x10\x00", 3), ctCrc16);

// Answers every complete 521-byte request with the 5-byte answer.
testsupport::PtyPeer::Handler Answering()
{
  return [](testsupport::PtyPeer &Peer, std::string &Pending) {
    while (Pending.size() >= 521) {
      Pending.erase(0, 521);
      Peer.Write(kAnswer);
    }
  };
}

void BM_DeviceTransact(benchmark::State &State)
{
  testsupport::PtyPeer peer(Answering());
  TCustomModBusDevice device;
  device.FInfo->SetParam(rpPortNumber, peer.ComNumber());
  device.FInfo->SetParam(rpBaudRate, 115200);
  device.SetActive(true);
  for (int32_t g : {GuardReopen, GuardNoAnswer, GuardRepeat})
    device.SetRetryLimit(g, 0);
  device.FLogEnabled = false;
  const std::string request = BlockRequest();
  for (auto _ : State) {
    if (!device.Transact(request, 5) || device.FRxData != kAnswer) {
      State.SkipWithError("exchange failed");
      break;
    }
  }
}

void BM_DeviceTransactLogged(benchmark::State &State)
{
  testsupport::PtyPeer peer(Answering());
  TCustomModBusDevice device;
  device.FInfo->SetParam(rpPortNumber, peer.ComNumber());
  device.SetActive(true);
  for (int32_t g : {GuardReopen, GuardNoAnswer, GuardRepeat})
    device.SetRetryLimit(g, 0);
  size_t logged = 0;
  device.SetOnLog([&](int32_t, uint8_t, const char *, int32_t Len) { logged += static_cast<size_t>(Len); });
  const std::string request = BlockRequest();
  for (auto _ : State) {
    if (!device.Transact(request, 5)) {
      State.SkipWithError("exchange failed");
      break;
    }
  }
  benchmark::DoNotOptimize(logged);
}

// The same exchange with write, poll and read on the pty's slave side.
void BM_PlainPtyExchange(benchmark::State &State)
{
  testsupport::PtyPeer peer(Answering());
  const int fd = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const std::string request = BlockRequest();
  char answer[16];
  for (auto _ : State) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      State.SkipWithError("write failed");
      break;
    }
    size_t got = 0;
    while (got < kAnswer.size()) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1000);
      const ssize_t n = read(fd, answer + got, sizeof answer - got);
      if (n > 0)
        got += static_cast<size_t>(n);
    }
  }
  close(fd);
}

} // namespace

BENCHMARK(BM_PlainPtyExchange)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_DeviceTransact)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_DeviceTransactLogged)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
