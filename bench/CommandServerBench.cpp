// Load on the command server.
//
// Many clients connect at once, each reads its greeting and then polls
// "GET STATUS" a number of times, one command at a time, timing each round
// trip with the monotonic clock. The clients run in a child process, so the
// processor time of this process over the polling phase is the server's own
// (its connection threads and the idle loaders the connections made).
//
// Usage: CommandServerBench [clients, default 100] [commands per client, default 1000]
// The server serves as many connections at once as there are clients.
#include "app/CommandServer.h"
#include "bench/CommandClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What the client process tells the server process through the pipe.
constexpr char AllConnected = 'S';
constexpr char AllDone = 'E';

const std::string Greeting = std::string(app::SReplyReady) + "\r\n";
const std::string Command = "GET STATUS\r\n";
const std::string Reply = "STATUS=IDLE\r\n";

bool WriteAll(int Fd, const void *Data, std::size_t Size)
{
  const char *Bytes = static_cast<const char *>(Data);
  while (Size > 0) {
    const ssize_t Done = ::write(Fd, Bytes, Size);
    if (Done < 0 && errno == EINTR)
      continue;
    if (Done <= 0)
      return false;
    Bytes += Done;
    Size -= static_cast<std::size_t>(Done);
  }
  return true;
}

bool ReadAll(int Fd, void *Data, std::size_t Size)
{
  char *Bytes = static_cast<char *>(Data);
  while (Size > 0) {
    const ssize_t Done = ::read(Fd, Bytes, Size);
    if (Done < 0 && errno == EINTR)
      continue;
    if (Done <= 0)
      return false;
    Bytes += Done;
    Size -= static_cast<std::size_t>(Done);
  }
  return true;
}

double CpuSeconds(const rusage &Usage)
{
  const auto Seconds = [](const timeval &T) {
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6;
  };
  return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

double ProcessCpu()
{
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  return CpuSeconds(Usage);
}

// The client process: connects every client, tells the server process when
// all are in and when all are done, then prints the latencies.
int RunClients(int Port, int Clients, int Rounds, int EventFd)
{
  std::vector<std::vector<std::int64_t>> Latencies(static_cast<std::size_t>(Clients));
  std::atomic<int> Refused{0}, Failed{0}, WrongReplies{0};
  std::latch Connected(Clients), Go(1);
  std::vector<std::thread> Threads;
  for (int i = 0; i < Clients; ++i)
    Threads.emplace_back([&, i] {
      std::vector<std::int64_t> &Mine = Latencies[static_cast<std::size_t>(i)];
      Mine.reserve(static_cast<std::size_t>(Rounds));
      std::unique_ptr<TCommandClient> Client;
      try {
        Client = std::make_unique<TCommandClient>(Port);
        if (Client->ReadLine() != Greeting) {
          ++Refused;
          Client.reset();
        }
      } catch (const std::exception &) {
        ++Failed;
        Client.reset();
      }
      Connected.count_down();
      Go.wait();
      if (!Client)
        return;
      try {
        for (int Round = 0; Round < Rounds; ++Round) {
          const Clock::time_point Start = Clock::now();
          Client->Send(Command);
          const std::string Line = Client->ReadLine();
          Mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - Start).count());
          if (Line != Reply)
            ++WrongReplies;
        }
      } catch (const std::exception &) {
        ++Failed;
      }
    });
  Connected.wait();
  const double CpuBefore = ProcessCpu();
  WriteAll(EventFd, &AllConnected, 1);
  const Clock::time_point Start = Clock::now();
  Go.count_down();
  for (std::thread &Thread : Threads)
    Thread.join();
  const double Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
  const double ClientCpu = ProcessCpu() - CpuBefore;
  WriteAll(EventFd, &AllDone, 1);

  std::vector<std::int64_t> All;
  for (const auto &Mine : Latencies)
    All.insert(All.end(), Mine.begin(), Mine.end());
  std::printf("%d clients x %d commands: %zu replies, %d wrong, %d clients refused, %d failed\n", Clients,
              Rounds, All.size(), WrongReplies.load(), Refused.load(), Failed.load());
  if (!All.empty()) {
    std::sort(All.begin(), All.end());
    const auto At = [&](double Share) {
      const auto Index = static_cast<std::size_t>(Share * static_cast<double>(All.size() - 1) + 0.5);
      return static_cast<double>(All[Index]) / 1e3;
    };
    std::printf("latency     median %8.1f us   99th percentile %8.1f us   max %8.1f us\n", At(0.5), At(0.99),
                static_cast<double>(All.back()) / 1e3);
    std::printf("total time  %.3f s   %.0f replies/s   clients' cpu %.3f s\n", Seconds,
                static_cast<double>(All.size()) / Seconds, ClientCpu);
  }
  std::fflush(stdout);
  return Refused == 0 && Failed == 0 && WrongReplies == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  const int Clients = argc > 1 ? std::atoi(argv[1]) : 100;
  const int Rounds = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (Clients <= 0 || Rounds <= 0) {
    std::fprintf(stderr, "usage: %s [clients] [commands per client]\n", argv[0]);
    return 2;
  }
  // Forked before any thread exists: the port goes down one pipe, the
  // events come back up the other.
  int PortPipe[2], EventPipe[2];
  if (::pipe(PortPipe) != 0 || ::pipe(EventPipe) != 0) {
    std::perror("pipe");
    return 2;
  }
  std::fflush(stdout);
  const pid_t Child = ::fork();
  if (Child < 0) {
    std::perror("fork");
    return 2;
  }
  if (Child == 0) {
    ::close(PortPipe[1]);
    ::close(EventPipe[0]);
    int Port = 0;
    if (!ReadAll(PortPipe[0], &Port, sizeof Port))
      ::_exit(2);
    ::_exit(RunClients(Port, Clients, Rounds, EventPipe[1]));
  }
  ::close(PortPipe[0]);
  ::close(EventPipe[1]);

  // Plays the window's part: keeps the loaders the connections hand over
  // until the end. They never run a procedure.
  std::mutex LoadersLock;
  std::vector<platform::TThreadPtr<loader::TQuorlan>> Loaders;
  auto Server = std::make_unique<app::TCommandServer>(
      0,
      [&](platform::TThreadPtr<loader::TQuorlan> L) {
        const std::lock_guard Lock(LoadersLock);
        Loaders.push_back(std::move(L));
      },
      [](std::int32_t, std::uint8_t, const char *, std::int32_t) {}, static_cast<std::size_t>(Clients));
  int Status = 2;
  bool Reaped = false;
  try {
    Server->SetActive(true);
    const int Port = Server->BoundPort();
    char Event = 0;
    double CpuBefore = 0;
    Clock::time_point Start;
    if (WriteAll(PortPipe[1], &Port, sizeof Port) && ReadAll(EventPipe[0], &Event, 1) &&
        Event == AllConnected) {
      CpuBefore = ProcessCpu();
      Start = Clock::now();
      if (ReadAll(EventPipe[0], &Event, 1) && Event == AllDone) {
        const double Cpu = ProcessCpu() - CpuBefore;
        const double Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
        int ChildStatus = 0;
        Reaped = ::waitpid(Child, &ChildStatus, 0) == Child;
        std::size_t LoaderCount = 0;
        {
          const std::lock_guard Lock(LoadersLock);
          LoaderCount = Loaders.size();
        }
        std::printf("server cpu  %.3f s over %.3f s = %.1f %% of one core   (%zu loaders idle meanwhile)\n",
                    Cpu, Seconds, 100.0 * Cpu / Seconds, LoaderCount);
        Status = Reaped && WIFEXITED(ChildStatus) ? WEXITSTATUS(ChildStatus) : 2;
      }
    }
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "server: %s\n", Error.what());
  }
  ::close(PortPipe[1]);
  if (!Reaped) {
    ::kill(Child, SIGTERM);
    ::waitpid(Child, nullptr, 0);
  }
  if (Status == 2)
    std::fprintf(stderr, "the run did not complete\n");
  Server.reset();
  Loaders.clear();
  return Status;
}
