// How soon runs that meet a dead meter or a stop come to their end, with the
// procedure's own waits:
//  - a row of twenty addresses on one TCP gateway whose first meter falls
//    silent after block 10: the time of the whole run, whether the other
//    nineteen memories are exact, the row's verdict and the log's list of
//    failed addresses;
//  - a stop on a gateway that takes the connection and never answers (one
//    address, the stop 1.5 s or 2.5 s after the start, as a remote
//    client's), and a
//    stop while writing to a meter that has fallen silent: the time from the
//    stop to idle, with answer time-outs of 2000 and 20000 ms.
//
// A plain program, run by hand: LoaderEndsBench [--quick]. --quick cuts the
// procedure's fixed waits and uses a 300 ms answer time-out for the row of
// twenty, and runs the stops with 2000 ms only. The full run takes about
// five minutes.
#include "bench/LoaderBenchSupport.h"
#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "loader/Quorlan.h"
#include "platform/TextRules.h"
#include "support/SimLine.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using bench::Clock;
using bench::Seconds;
using loader::TQuorlan;
using sim::SimLine;

namespace {

bool WaitFor(const std::function<bool()> &done, Clock::duration limit)
{
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool IsBlockWrite(const std::string &r, int index)
{
  const std::size_t L = protocol::PrefixLength(r);
  if (r.size() <= L + 5 || r[L] != '\x07')
    return false;
  return ((static_cast<unsigned char>(r[L + 2]) << 8) | static_cast<unsigned char>(r[L + 3])) == index;
}

platform::TThreadPtr<TQuorlan> GatewayLoader(const SimLine &gateway, int answerTimeOut, bool quick)
{
  auto q = platform::MakeThread<TQuorlan>();
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = gateway.Port();
  q->FTcpClient->ReadTimeout = answerTimeOut;
  q->FDevice->FInfo->SetParam(rpAnswerTimeOut, answerTimeOut);
  if (quick) {
    q->FTestModeWait = 0ms;
    q->FCloseWait = 0ms;
    q->FAlertWait = 0ms;
    q->FLinkWait = 0ms;
  }
  return q;
}

void RowOfTwenty(bool quick)
{
  auto gateway = SimLine::ListenTcp();
  std::vector<std::shared_ptr<sim::SimMeter>> meters;
  std::string list;
  for (int a = 1; a <= 20; ++a) {
    sim::MeterConfig config = sim::MeterConfig::ForType(a % 3, static_cast<std::uint8_t>(a));
    meters.push_back(gateway->AddMeter(config));
    list += (a > 1 ? "," : "") + std::to_string(a);
  }
  auto dead = std::make_shared<std::atomic<bool>>(false);
  meters[0]->SetOverride([dead](const std::string &r) -> std::optional<std::string> {
    if (IsBlockWrite(r, 10))
      *dead = true;
    return *dead ? std::optional<std::string>(std::string()) : std::nullopt;
  });
  const int answerTimeOut = quick ? 300 : 2000;
  auto q = GatewayLoader(*gateway, answerTimeOut, quick);
  q->SetNetAdr(list);
  const auto start = Clock::now();
  q->Start();
  const bool ended = WaitFor([&] { return q->State() == ssIdle; }, 30min);
  const double took = Seconds(Clock::now() - start);

  int exact = 0;
  for (int a = 2; a <= 20; ++a) {
    const std::string image =
        loader::DumpMem[static_cast<std::size_t>(a % 3)]->Snapshot()->substr(sim::SimMeter::kWriteStart);
    exact += meters[static_cast<std::size_t>(a - 1)]->Memory().substr(sim::SimMeter::kWriteStart) == image;
  }
  const auto lines = platform::SplitCommaText(q->Log());
  const bool named = !lines.empty() && lines.back() == std::string(loader::texts::SFailedAddresses) + "1";
  std::printf("row of twenty, meter 1 silent after block 10, answer time-out %d ms%s:\n", answerTimeOut,
              quick ? ", fixed waits cut" : "");
  std::printf("  ended by itself: %s after %.1f s; exact memories of the other nineteen: %d; verdict %s; "
              "log names address 1 last: %s\n",
              ended ? "yes" : "NO", took, exact, q->StateText() == "???" ? "\"???\"" : "NOT \"???\"",
              named ? "yes" : "NO");
}

void StopWhileIdentifying(int answerTimeOut, std::chrono::milliseconds after)
{
  auto gateway = SimLine::ListenTcp(); // takes the connection, answers nothing
  auto q = GatewayLoader(*gateway, answerTimeOut, false);
  q->FDevice->FInfo->FAlertSequence = true; // as a remote client's process has it
  q->SetNetAdr("5");
  q->Start();
  std::this_thread::sleep_for(after);
  const auto stop = Clock::now();
  q->Stop(); // what "SET STATUS=STOP" does
  const bool idle = WaitFor([&] { return q->State() == ssIdle; }, 10min);
  std::printf(
      "stop %.1f s after the start on a silent gateway, answer time-out %d ms: %s %.1f s after the stop\n",
      Seconds(after), answerTimeOut, idle ? "idle" : "NOT idle within", Seconds(Clock::now() - stop));
}

void StopWhileWriting(int answerTimeOut)
{
  auto gateway = SimLine::ListenTcp();
  auto meter = gateway->AddMeter(sim::MeterConfig::ForType(0, 5));
  auto dead = std::make_shared<std::atomic<bool>>(false);
  meter->SetOverride([dead](const std::string &r) -> std::optional<std::string> {
    if (IsBlockWrite(r, 10))
      *dead = true;
    return *dead ? std::optional<std::string>(std::string()) : std::nullopt;
  });
  auto q = GatewayLoader(*gateway, answerTimeOut, false);
  q->SetNetAdr("5");
  q->Start();
  WaitFor([&] { return *dead && q->Errors() >= 1; }, 10min);
  std::this_thread::sleep_for(std::chrono::milliseconds(answerTimeOut / 4)); // within the next block's wait
  const auto stop = Clock::now();
  q->OperatorStop(); // the operator's stop
  const bool idle = WaitFor([&] { return q->State() == ssIdle; }, 10min);
  std::printf(
      "operator's stop while writing to a silent meter, answer time-out %d ms: %s %.1f s after the stop\n",
      answerTimeOut, idle ? "idle" : "NOT idle within", Seconds(Clock::now() - stop));
}

} // namespace

int main(int argc, char **argv)
{
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  loader::LoaderUnitsInitialization();
  RowOfTwenty(quick);
  for (const int timeOut : quick ? std::vector<int>{2000} : std::vector<int>{2000, 20000}) {
    // At 1.5 s the stop finds the alert sequence's wait; at 2.5 s the first
    // request under way, whose answer time-out it has to wait out.
    StopWhileIdentifying(timeOut, 1500ms);
    StopWhileIdentifying(timeOut, 2500ms);
    StopWhileWriting(timeOut);
  }
  loader::LoaderUnitsFinalization();
  return 0;
}
