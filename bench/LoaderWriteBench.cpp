// The loader writing one image into a simulated meter over a pty that is
// paced like a serial line at 9600 and 38400 baud, 8O1, with 512- and 16-byte
// blocks: the time from the first block request to the last block answer
// against the wire time of the bytes of those requests and answers. Then 32
// loaders writing 32 meters at once through TCP gateways on 127.0.0.1,
// unpaced: total time, process CPU, and whether every memory is exact.
//
// A plain program, run by hand: LoaderWriteBench [--quick] (--quick skips
// the paced cases). The paced cases take about five minutes of wire time.
#include "bench/LoaderBenchSupport.h"
#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/Quorlan.h"
#include "support/SimLine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
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

// What the meter's memory must hold after the image's bytes from the write
// start on were written: those bytes, and erased bytes everywhere else.
std::string ExpectedMemory(const std::string &image)
{
  std::string memory(sim::SimMeter::kMemorySize, '\xFF');
  memory.replace(kWriteStart, image.size() - kWriteStart, image.substr(kWriteStart));
  return memory;
}

double Sum(const std::vector<double> &values)
{
  double sum = 0;
  for (const double v : values)
    sum += v;
  return sum;
}

double Median(std::vector<double> values)
{
  if (values.empty())
    return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

bool IsBlockWrite(const std::string &request)
{
  const std::size_t L = protocol::PrefixLength(request);
  return request.size() > L + 6 && request[L] == '\x07';
}

class TempDir {
public:
  TempDir()
  {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/quorlan2-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
      throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  ~TempDir()
  {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  const std::string &Path() const { return FPath; }

private:
  std::string FPath;
};

platform::TThreadPtr<TQuorlan> MakeLoader(std::int32_t blockSize)
{
  auto q = platform::MakeThread<TQuorlan>();
  q->SetNetAdr("1");
  q->SetBlockSize(blockSize);
  q->FTestModeWait = 0ms;
  q->FCloseWait = 0ms;
  q->FAlertWait = 0ms;
  q->FLinkWait = 0ms;
  return q;
}

// Blocks and wire time of a whole image at this block size and baud rate,
// with the five-byte extended address the loader switches to.
double WholeImageWireSeconds(std::size_t blockSize, unsigned baud)
{
  const std::size_t blocks = (loader::DumpMemSize - kWriteStart) / blockSize;
  const std::size_t bytes = blocks * ((5 + 6 + blockSize + 2) + (5 + 4));
  return static_cast<double>(bytes) * kBitsPerByte / baud;
}

void PacedCase(const std::string &fullImage, std::int32_t blockSize, unsigned baud)
{
  // A case with more than about three minutes of wire time writes the first
  // eighth of the image only.
  const double wholeWire = WholeImageWireSeconds(static_cast<std::size_t>(blockSize), baud);
  const std::size_t part = wholeWire > 180.0 ? 8 : 1;
  const std::string image = fullImage.substr(0, kWriteStart + (fullImage.size() - kWriteStart) / part);
  loader::DumpMem[0]->LoadFromStr(image);

  TempDir dir;
  ::setenv("QUORLAN2_COM_DIR", dir.Path().c_str(), 1);
  auto line = SimLine::OpenPty(dir.Path(), 1);
  line->SetPacing(baud);
  auto meter = line->AddMeter(sim::MeterConfig::ForType(0, 1));
  auto q = MakeLoader(blockSize);
  q->FDevice->FInfo->SetParam(rpPortNumber, 1);
  q->FDevice->FInfo->SetParam(rpBaudRate, static_cast<std::int32_t>(baud));
  q->FDevice->FInfo->SetParam(rpParity, platform::ODDPARITY);
  q->FDevice->FInfo->SetParam(rpAnswerTimeOut, 2000);
  q->FDevice->FInfo->SetParam(rpSystemTimeOut, 100);

  q->Start();
  const bool ended = WaitIdle({q.get()}, std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(wholeWire / part * 2 + 60)));

  const auto frames = line->Frames();
  const auto times = line->Times();
  std::size_t first = frames.size(), last = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (IsBlockWrite(frames[i])) {
      first = std::min(first, i);
      last = i;
    }
  }
  if (!ended || first > last) {
    std::printf("%5d %6u  the run did not end or wrote no block\n", blockSize, baud);
    std::fflush(stdout);
    return;
  }

  // The measured time splits into the wire time of each exchange, the
  // simulator's lateness in answering (its sleeps wake late), and the gaps
  // from one answer being written to the next request arriving: the loader's
  // turnaround, the pty and the simulator's wake-up included.
  std::size_t bytes = 0, blocks = 0;
  std::vector<double> late, gaps; // microseconds, one per exchange
  for (std::size_t i = first; i <= last; ++i) {
    const std::size_t exchanged = frames[i].size() + times[i].AnswerBytes;
    bytes += exchanged;
    blocks += IsBlockWrite(frames[i]) ? 1 : 0;
    late.push_back(Seconds(times[i].Written - times[i].Start) * 1e6 -
                   static_cast<double>(exchanged) * kBitsPerByte / baud * 1e6);
    if (i > first)
      gaps.push_back(Seconds(times[i].Start - times[i - 1].Written) * 1e6);
  }
  const double measured = Seconds(times[last].Written - times[first].Start);
  const double wire = static_cast<double>(bytes) * kBitsPerByte / baud;
  const bool exact = meter->Memory() == ExpectedMemory(image);
  std::printf("%5d %6u %5zu%s %9.3f %9.3f %7.4f %7.3f %7.3f %7.0f %7.0f %5d %s\n", blockSize, baud, blocks,
              part > 1 ? " (1/8)" : "      ", measured, wire, measured / wire, Sum(gaps) / 1e6,
              Sum(late) / 1e6, Median(gaps), Median(late), q->Errors(), exact ? "yes" : "NO");
  if (part > 1)
    std::printf("      (1/8): the whole image would need %.0f s of wire time; its first eighth was written\n",
                wholeWire);
  std::fflush(stdout);
}

void ConcurrentCase(const std::string &image, int count)
{
  loader::DumpMem[0]->LoadFromStr(image);
  std::vector<std::unique_ptr<SimLine>> gateways;
  std::vector<std::shared_ptr<sim::SimMeter>> meters;
  std::vector<platform::TThreadPtr<TQuorlan>> loaders;
  std::vector<TQuorlan *> running;
  for (int i = 0; i < count; ++i) {
    gateways.push_back(SimLine::ListenTcp());
    meters.push_back(gateways.back()->AddMeter(sim::MeterConfig::ForType(0, 1)));
    auto q = MakeLoader(512);
    q->FUseComPort = false;
    q->SetTcpHost("127.0.0.1");
    q->FTcpClient->Port = gateways.back()->Port();
    q->FTcpClient->ReadTimeout = 2000;
    running.push_back(q.get());
    loaders.push_back(std::move(q));
  }

  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  for (auto *q : running)
    q->Start();
  const bool ended = WaitIdle(running, 300s);
  const double total = Seconds(Clock::now() - start);
  ::getrusage(RUSAGE_SELF, &after);
  auto cpu = [](const timeval &a, const timeval &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_usec - a.tv_usec) / 1e6;
  };
  const double user = cpu(before.ru_utime, after.ru_utime);
  const double system = cpu(before.ru_stime, after.ru_stime);

  const std::string expected = ExpectedMemory(image);
  int exact = 0, errors = 0;
  for (int i = 0; i < count; ++i) {
    exact += meters[static_cast<std::size_t>(i)]->Memory() == expected ? 1 : 0;
    errors += loaders[static_cast<std::size_t>(i)]->Errors();
  }
  std::printf("%d loaders x %d TCP gateways, 512-byte blocks, unpaced: %s\n", count, count,
              ended ? "all runs ended" : "NOT ALL RUNS ENDED");
  std::printf("  total %.3f s, process CPU %.3f s (user %.3f + system %.3f, simulators included)\n", total,
              user + system, user, system);
  std::printf("  memories exact: %d of %d, block errors: %d\n", exact, count, errors);
}

} // namespace

int main(int argc, char **argv)
{
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  try {
    loader::TLoaderUnits units;
    const std::string fullImage = *loader::DumpMem[0]->Snapshot();
    if (!quick) {
      std::printf(
          "Paced pty, 8O1 (11 bits a byte). Times in s; gap: from an answer written to the next request\n"
          "arriving (loader, pty, line wake-up); late: the simulated line's lateness; medians in us\n");
      std::vector<double> sleeps;
      for (int i = 0; i < 200; ++i) {
        const auto before = Clock::now();
        std::this_thread::sleep_for(1ms);
        sleeps.push_back(Seconds(Clock::now() - before) * 1e6);
      }
      std::printf("A 1 ms sleep on this machine now takes %.0f us (median)\n", Median(sleeps));
      std::printf(
          "block   baud blocks         measured      wire   ratio    gaps    late gap-med late-med err exact\n");
      std::fflush(stdout);
      for (const std::int32_t blockSize : {512, 16})
        for (const unsigned baud : {9600u, 38400u})
          PacedCase(fullImage, blockSize, baud);
    }
    ConcurrentCase(fullImage, 32);
    loader::DumpMem[0]->LoadFromStr(fullImage);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "LoaderWriteBench: %s\n", error.what());
    return 1;
  }
  return 0;
}
