// The loader behind TCP serial gateways that forward answers in pieces.
//
// Block phase: one image written through a gateway whose line is paced like
// a serial wire at 38400 baud, 8O1, once through a gateway that packs every
// answer into one segment and once through one that forwards every answer
// byte in a segment of its own: the time from the first block request to the
// last block answer against the wire time of those requests and answers.
//
// --matrix: every meter type, the one-byte and the five-byte prefix, blocks
// of 512 and 16 bytes, through a gateway that forwards every byte in its own
// segment on a line paced at 9600 baud, with block answers that go wrong
// (lost, refused with a status answer, spoiled checksum, preceded by an old
// answer, status 3): whether each memory ends exact. All runs go at once;
// the matrix takes about six minutes.
//
// A plain program, run by hand: TcpGatewayBench [--matrix | --quick]
// (--quick: the 16-byte blocks only).
#include "bench/LoaderBenchSupport.h"
#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/Quorlan.h"
#include "support/SimLine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using bench::Clock;
using bench::Seconds;
using bench::WaitIdle;
using loader::TQuorlan;
using sim::SimLine;

namespace {

constexpr std::size_t kWriteStart = sim::SimMeter::kWriteStart;
constexpr double kBitsPerByte = 11.0; // start, 8 data, parity, stop

using protocol::PrefixLength;

int BlockIndex(const std::string &request)
{
  const std::size_t L = PrefixLength(request);
  if (request.size() <= L + 6 || request[L] != '\x07')
    return -1;
  return (static_cast<unsigned char>(request[L + 2]) << 8) | static_cast<unsigned char>(request[L + 3]);
}

platform::TThreadPtr<TQuorlan> MakeLoader(const std::string &address, std::int32_t blockSize, int port)
{
  auto q = platform::MakeThread<TQuorlan>();
  q->SetNetAdr(address);
  q->SetBlockSize(blockSize);
  q->FTestModeWait = 0ms;
  q->FCloseWait = 0ms;
  q->FAlertWait = 0ms;
  q->FLinkWait = 0ms;
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = port;
  q->FTcpClient->ReadTimeout = 2000;
  return q;
}

double Median(std::vector<double> values)
{
  if (values.empty())
    return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

const char *PiecesName(SimLine::Pieces how)
{
  return how == SimLine::Pieces::Whole ? "packing" : "byte a segment";
}

void BlockPhase(const std::string &fullImage, std::int32_t blockSize, SimLine::Pieces how, std::size_t part)
{
  const std::string image = fullImage.substr(0, kWriteStart + (fullImage.size() - kWriteStart) / part);
  loader::DumpMem[0]->LoadFromStr(image);
  auto gateway = SimLine::ListenTcp();
  gateway->SetPacing(38400);
  gateway->SetAnswerPieces(how);
  auto meter = gateway->AddMeter(sim::MeterConfig::ForType(0, 1));
  auto q = MakeLoader("1", blockSize, gateway->Port());
  q->Start();
  const bool ended = WaitIdle({q.get()}, 600s);

  const auto frames = gateway->Frames();
  const auto times = gateway->Times();
  std::size_t first = frames.size(), last = 0;
  for (std::size_t i = 0; i < frames.size(); ++i)
    if (BlockIndex(frames[i]) >= 0) {
      first = std::min(first, i);
      last = i;
    }
  if (!ended || first > last) {
    std::printf("%5d %-15s the run did not end or wrote no block\n", blockSize, PiecesName(how));
    return;
  }
  // Gap: from an answer's last byte written to the next request's first
  // byte arriving (the loader's turnaround and the gateway's wake-up); late:
  // how much later than the wire the gateway wrote an answer's last byte.
  std::size_t bytes = 0, blocks = 0;
  std::vector<double> gaps, late; // microseconds
  for (std::size_t i = first; i <= last; ++i) {
    const std::size_t exchanged = frames[i].size() + times[i].AnswerBytes;
    bytes += exchanged;
    blocks += BlockIndex(frames[i]) >= 0 ? 1 : 0;
    late.push_back(Seconds(times[i].Written - times[i].Start) * 1e6 -
                   static_cast<double>(exchanged) * kBitsPerByte / 38400 * 1e6);
    if (i > first)
      gaps.push_back(Seconds(times[i].Start - times[i - 1].Written) * 1e6);
  }
  const double measured = Seconds(times[last].Written - times[first].Start);
  const double wire = static_cast<double>(bytes) * kBitsPerByte / 38400;
  std::string expected(sim::SimMeter::kMemorySize, '\xFF');
  expected.replace(kWriteStart, image.size() - kWriteStart, image.substr(kWriteStart));
  std::printf("%5d %-15s %5zu%s %9.3f %9.3f %7.4f %7.0f %7.0f %4d %s\n", blockSize, PiecesName(how), blocks,
              part > 1 ? " (1/8)" : "      ", measured, wire, measured / wire, Median(gaps), Median(late),
              q->Errors(), meter->Memory() == expected ? "yes" : "NO");
  std::fflush(stdout);
}

// Block answers that go wrong once each (on the gateway's thread).
sim::AnswerOverride BlockFaults(sim::SimMeter &meter)
{
  auto seen = std::make_shared<std::map<int, int>>();
  return [&meter, seen](const std::string &r) -> std::optional<std::string> {
    const int index = BlockIndex(r);
    if (index < 0 || (*seen)[index]++ > 0)
      return std::nullopt;
    const std::size_t L = PrefixLength(r);
    const std::string prefix = r.substr(0, L);
    switch (index) {
    case 3: // lost
      return std::string();
    case 5: // refused with a short status answer
      return sim::WithCrc(prefix + '\x01');
    case 7: { // written, its answer spoiled on the way
      std::string spoiled = meter.OwnAnswer(r);
      spoiled.back() = static_cast<char>(spoiled.back() ^ 0x5A);
      return spoiled;
    }
    case 9: // an old answer with another tag first
      return sim::WithCrc(prefix + static_cast<char>(r[L + 5] + 1) + '\x00') + meter.OwnAnswer(r);
    case 11: // accepted with status 3
      return sim::WithCrc(meter.OwnAnswer(r).substr(0, L + 1) + '\x03');
    default:
      return std::nullopt;
    }
  };
}

void Matrix()
{
  struct TRun {
    int Type;
    bool Broadcast; // the one-byte prefix
    std::int32_t BlockSize;
    std::unique_ptr<SimLine> Gateway;
    std::shared_ptr<sim::SimMeter> Meter;
    platform::TThreadPtr<TQuorlan> Loader;
  };
  std::vector<TRun> runs;
  std::vector<TQuorlan *> loaders;
  for (const std::int32_t blockSize : {512, 16})
    for (const bool broadcast : {true, false})
      for (int type = 0; type < 5; ++type) {
        TRun run{type, broadcast, blockSize, SimLine::ListenTcp(), nullptr, nullptr};
        run.Gateway->SetPacing(9600);
        run.Gateway->SetAnswerPieces(SimLine::Pieces::EveryByte);
        sim::MeterConfig config = sim::MeterConfig::ForType(type, broadcast ? 255 : 7);
        config.StartsInTestMode = broadcast; // the broadcast address finds it there
        run.Meter = run.Gateway->AddMeter(config);
        run.Meter->SetOverride(BlockFaults(*run.Meter));
        run.Loader = MakeLoader(broadcast ? "255" : "7", blockSize, run.Gateway->Port());
        loaders.push_back(run.Loader.get());
        runs.push_back(std::move(run));
      }
  std::printf("Matrix: a byte a segment, line paced at 9600 baud, five faulty block answers a meter\n");
  std::fflush(stdout);
  const auto start = Clock::now();
  for (auto *q : loaders)
    q->Start();
  const bool ended = WaitIdle(loaders, 1800s);
  std::printf("all runs %s after %.0f s\n", ended ? "ended" : "DID NOT END", Seconds(Clock::now() - start));
  std::printf("type prefix block blocks-sent errors exact\n");
  int exact = 0;
  for (auto &run : runs) {
    const std::string image = *loader::DumpMem[static_cast<std::size_t>(run.Type)]->Snapshot();
    const bool same = run.Meter->Memory().substr(kWriteStart) == image.substr(kWriteStart);
    exact += same ? 1 : 0;
    int sent = 0;
    for (const auto &r : run.Meter->Requests())
      sent += BlockIndex(r) >= 0 ? 1 : 0;
    const char *const names[] = {"LA", "LB", "LC", "LAT", "LCT"};
    std::printf("%4s %6d %5d %11d %6d %s\n", names[run.Type], run.Broadcast ? 1 : 5, run.BlockSize, sent,
                run.Loader->Errors(), same ? "yes" : "NO");
  }
  std::printf("exact: %d of %zu\n", exact, runs.size());
}

} // namespace

int main(int argc, char **argv)
{
  const bool matrix = argc > 1 && std::strcmp(argv[1], "--matrix") == 0;
  loader::TLoaderUnits units;
  if (matrix) {
    Matrix();
    return 0;
  }
  const std::string fullImage = *loader::DumpMem[0]->Snapshot();
  std::printf("TCP gateway, line paced at 38400 baud, 8O1 (11 bits a byte); times in s\n");
  std::printf(
      "block gateway         blocks         measured      wire   ratio gap-med late-med err exact (medians in us)\n");
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  for (const std::int32_t blockSize : {512, 16})
    for (const auto how : {SimLine::Pieces::Whole, SimLine::Pieces::EveryByte})
      if (!quick || blockSize == 16)
        BlockPhase(fullImage, blockSize, how, blockSize == 16 ? 8 : 1);
  loader::DumpMem[0]->LoadFromStr(fullImage);
  return 0;
}
