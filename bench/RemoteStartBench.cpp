// Remote starts under the open-file limit.
//
// Many clients, up to 32 at a time as the command server allows, each
// connect, read the greeting, send "SET TCP=" (a gateway that takes every
// connection and never answers, so every started process keeps its socket
// for the whole run), "SET NETADR=5" and "SET STATUS=START", then "QUIT". The
// clients and the gateway run in a child process, so every descriptor of
// this process is the server's and its processes'. Run it under the usual
// limit, e.g. `(ulimit -n 1024; build/default/bin/RemoteStartBench 1000)`.
//
// Reported: the slowest greeting, the starts answered "202 Ok" and "401
// Execute error", the clients refused; of the processes, how many opened
// their links, how many failed to (for want of a descriptor or otherwise),
// and whether every process left idle says why; the most descriptors open.
//
// Usage: RemoteStartBench [clients, default 1000]
#include "app/CommandServer.h"
#include "bench/CommandClient.h"
#include "app/DescriptorBudget.h"
#include "app/OpenFileLimit.h"
#include "app/WindowTexts.h"
#include "loader/LoaderTexts.h"
#include "platform/TextRules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct TClientResults {
  int Started = 0, Refused = 0, NotStarted = 0, Failed = 0;
  double SlowestGreeting = 0; // seconds
};

// The child: a gateway that never accepts (its connections wait in the
// listen queue, costing this process nothing) and the clients.
int RunClients(int Port, int Clients, int Gateway, int GatewayPort, int Done)
{
  const std::string Tcp = "SET TCP=127.0.0.1," + std::to_string(GatewayPort) + ",30000";
  TClientResults Results;
  std::mutex Lock;
  std::atomic<int> Next{0};
  std::vector<std::thread> Threads;
  for (std::size_t i = 0; i < app::TCommandServer::MaxConnections; ++i)
    Threads.emplace_back([&] {
      while (Next++ < Clients) {
        const Clock::time_point Begin = Clock::now();
        try {
          TCommandClient Client(Port);
          const std::string Greeting = TCommandClient::WithoutLineEnd(Client.ReadLine());
          const double Took = std::chrono::duration<double>(Clock::now() - Begin).count();
          bool Greeted = Greeting == app::SReplyReady;
          {
            const std::lock_guard Guard(Lock);
            Results.SlowestGreeting = std::max(Results.SlowestGreeting, Took);
            Results.Refused += Greeted ? 0 : 1;
          }
          if (!Greeted)
            continue;
          const bool Set = Client.Ask(Tcp) == app::SReplyOk && Client.Ask("SET NETADR=5") == app::SReplyOk;
          const std::string Reply = Set ? Client.Ask("SET STATUS=START") : "";
          Client.Ask("QUIT");
          const std::lock_guard Guard(Lock);
          if (Reply == app::SReplyStatusOk)
            ++Results.Started;
          else if (Reply == app::SReplyExecuteError)
            ++Results.NotStarted;
          else
            ++Results.Failed;
        } catch (const std::exception &) {
          const std::lock_guard Guard(Lock);
          ++Results.Failed;
        }
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  std::printf(
      "%d clients: slowest greeting %.3f s; starts answered 202: %d, 401: %d; refused: %d; failed: %d\n",
      Clients, Results.SlowestGreeting, Results.Started, Results.NotStarted, Results.Refused, Results.Failed);
  std::fflush(stdout);
  const char Byte = 'E';
  [[maybe_unused]] const ssize_t Sent = ::write(Done, &Byte, 1);
  // Holds the gateway until the server has looked at its processes.
  char Ignored = 0;
  [[maybe_unused]] const ssize_t Got = ::read(Done, &Ignored, 1);
  ::close(Gateway);
  return Results.Failed == 0 && Results.Refused == 0 && Results.SlowestGreeting < 1.0 ? 0 : 1;
}

int GatewaySocket(int &Port)
{
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  if (Fd < 0 || ::bind(Fd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) != 0 ||
      ::listen(Fd, 4096) != 0 || ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Address), &Length) != 0)
    throw std::runtime_error("no gateway");
  Port = ntohs(Address.sin_port);
  return Fd;
}

bool LogHas(const loader::TQuorlan &L, const std::string &Text)
{
  for (const std::string &Line : platform::SplitCommaText(L.Log()))
    if (Line.find(Text) != std::string::npos)
      return true;
  return false;
}

// What became of the processes: each started one opened its link or failed
// to; each one left idle says why. True when nothing went wrong.
bool Verdicts(const std::vector<platform::TThreadPtr<loader::TQuorlan>> &Loaders)
{
  const std::string Line = app::texts::SStartNoDescriptors;
  const std::string NoDescriptors = Line.substr(0, Line.find('('));
  int Opened = 0, LinkFailed = 0, NoFiles = 0, LeftIdle = 0, Silent = 0;
  const auto Deadline = Clock::now() + std::chrono::seconds(20);
  for (const auto &L : Loaders) {
    if (LogHas(*L, NoDescriptors)) {
      ++LeftIdle;
      continue;
    }
    while (!LogHas(*L, loader::texts::SConnectionOpened) && !LogHas(*L, loader::texts::SLinkError) &&
           Clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Opened += LogHas(*L, loader::texts::SConnectionOpened) ? 1 : 0;
    LinkFailed += LogHas(*L, loader::texts::SLinkError) ? 1 : 0;
    NoFiles += LogHas(*L, "Too many open files") ? 1 : 0;
    Silent += LogHas(*L, loader::texts::SConnectionOpened) || LogHas(*L, loader::texts::SLinkError) ? 0 : 1;
  }
  std::printf(
      "%zu processes: %d opened their links, %d failed to (%d for want of a descriptor), %d left idle "
      "saying why, %d never got to their link\n",
      Loaders.size(), Opened, LinkFailed, NoFiles, LeftIdle, Silent);
  return LinkFailed == 0 && Silent == 0;
}

// Samples how many descriptors this process holds until Stop is set.
std::int64_t MostOpen(std::atomic<bool> &Stop)
{
  std::int64_t Most = 0;
  while (!Stop) {
    Most = std::max(Most, app::OpenFileLimit() - app::FreeDescriptors());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return Most;
}

int Serve(int Clients, pid_t Child, int PortPipe, int Done)
{
  std::mutex LoadersLock;
  std::vector<platform::TThreadPtr<loader::TQuorlan>> Loaders;
  app::TDescriptorBudget Budget;
  app::TProcessPlaces Places(Clients + 1);
  std::vector<app::TProcessPlace> Held; // as in the window, a loader kept keeps its place
  auto Server = std::make_unique<app::TCommandServer>(
      0,
      [&](app::TPlacedLoader Process) {
        Process.Loader->FCloseWait = std::chrono::milliseconds(0); // a quick end at the close
        const std::lock_guard Lock(LoadersLock);
        Loaders.push_back(std::move(Process.Loader));
        Held.push_back(std::move(Process.Place));
      },
      [](std::int32_t, std::uint8_t, const char *, std::int32_t) {}, app::TCommandServer::MaxConnections,
      &Places, &Budget);
  Server->SetActive(true);
  const int Port = Server->BoundPort();
  std::atomic<bool> StopSampling{false};
  std::int64_t Most = 0;
  std::thread Sampler([&] { Most = MostOpen(StopSampling); });
  char Byte = 0;
  const bool Finished = ::write(PortPipe, &Port, sizeof Port) == sizeof Port && ::read(Done, &Byte, 1) == 1;
  StopSampling = true;
  Sampler.join();
  std::printf("open-file limit %lld; at most %lld descriptors open\n",
              static_cast<long long>(app::OpenFileLimit()), static_cast<long long>(Most));
  bool Good = false;
  {
    const std::lock_guard Lock(LoadersLock);
    Good = Finished && Verdicts(Loaders);
  }
  Server.reset();
  [[maybe_unused]] const ssize_t Sent = ::write(Done, &Byte, 1); // the gateway may go
  int ChildStatus = 0;
  ::waitpid(Child, &ChildStatus, 0);
  for (auto &L : Loaders) {
    L->FStopRequested = true;
    L->Terminate(); // they end side by side
  }
  Loaders.clear();
  return Good && WIFEXITED(ChildStatus) && WEXITSTATUS(ChildStatus) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  const int Clients = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (Clients <= 0) {
    std::fprintf(stderr, "usage: %s [clients]\n", argv[0]);
    return 2;
  }
  int PortPipe[2], Done[2];
  if (::pipe(PortPipe) != 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Done) != 0) {
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
    ::close(Done[0]);
    int Port = 0, GatewayPort = 0;
    if (::read(PortPipe[0], &Port, sizeof Port) != sizeof Port)
      ::_exit(2);
    const int Gateway = GatewaySocket(GatewayPort);
    ::_exit(RunClients(Port, Clients, Gateway, GatewayPort, Done[1]));
  }
  ::close(PortPipe[0]);
  ::close(Done[1]);
  try {
    return Serve(Clients, Child, PortPipe[1], Done[0]);
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "server: %s\n", Error.what());
    ::kill(Child, SIGTERM);
    ::waitpid(Child, nullptr, 0);
    return 2;
  }
}
