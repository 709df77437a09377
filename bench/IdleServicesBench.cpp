// CPU cost of idle worker services.
//
// Measures the processor time the whole process uses while 100 idle
// TThreadServices (200 threads: each service and its timer) sit for a while,
// against 200 plain threads that pass through a loop once per millisecond as
// an always-polling service loop would, in the same run. A third figure shows
// 100 idle services whose timers run every 100 ms, as a loader's does.
//
// Usage: IdleServicesBench [seconds per case, default 10] [services, default 100]
#include "link/ThreadService.h"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TUsage {
  double Cpu;    // seconds of processor time of the process
  long Switches; // voluntary context switches of the process (every wake-up after a sleep)
};

TUsage Now()
{
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9, usage.ru_nvcsw};
}

void Report(const char *name, int threads, const TUsage &before, const TUsage &after, double seconds)
{
  const double cpu = after.Cpu - before.Cpu;
  std::printf("%-44s %4d threads  cpu %7.3f s  = %6.2f %% of one core  %9.0f wake-ups/s\n", name, threads,
              cpu, 100.0 * cpu / seconds, static_cast<double>(after.Switches - before.Switches) / seconds);
  std::fflush(stdout);
}

// Lets freshly started threads settle before measuring.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

void MeasureServices(const char *name, int count, double seconds, bool timersRunning)
{
  std::vector<platform::TThreadPtr<TThreadService>> services;
  services.reserve(count);
  for (int i = 0; i < count; ++i) {
    services.push_back(platform::MakeThread<TThreadService>());
    if (timersRunning) {
      services.back()->FTimer->FInterval = 100;
      services.back()->FTimer->Start();
    }
  }
  Settle();
  const TUsage before = Now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const TUsage after = Now();
  Report(name, 2 * count, before, after, seconds);
  services.clear();
}

void MeasurePlainLoop(int threads, double seconds)
{
  std::atomic<bool> stop{false};
  std::atomic<unsigned char> state{3};
  std::vector<std::thread> loops;
  for (int i = 0; i < threads; ++i)
    loops.emplace_back([&] {
      while (!stop.load()) {
        if (state.load() != 3) // a pass: read the state, nothing to do while idle
          std::abort();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  Settle();
  const TUsage before = Now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const TUsage after = Now();
  Report("plain loop, 1 ms sleep per pass", threads, before, after, seconds);
  stop = true;
  for (auto &loop : loops)
    loop.join();
}

} // namespace

int main(int argc, char **argv)
{
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int count = argc > 2 ? std::atoi(argv[2]) : 100;
  if (seconds <= 0 || count <= 0) {
    std::fprintf(stderr, "usage: %s [seconds per case] [services]\n", argv[0]);
    return 2;
  }
  std::printf("%d services, %.1f s per case\n", count, seconds);
  MeasurePlainLoop(2 * count, seconds);
  MeasureServices("idle services, timers idle", count, seconds, false);
  MeasureServices("idle services, timers every 100 ms", count, seconds, true);
  return 0;
}
