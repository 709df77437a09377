#include "app/ShutdownSignals.h"

#include <QSocketNotifier>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace app {
namespace {

sigset_t ShutdownSet()
{
  sigset_t Set;
  ::sigemptyset(&Set);
  ::sigaddset(&Set, SIGTERM);
  ::sigaddset(&Set, SIGHUP);
  ::sigaddset(&Set, SIGINT);
  return Set;
}

} // namespace

void BlockShutdownSignals()
{
  const sigset_t Set = ShutdownSet();
  ::pthread_sigmask(SIG_BLOCK, &Set, nullptr);
}

TShutdownSignals::TShutdownSignals(THandler Handler) : FHandler(std::move(Handler))
{
  const sigset_t Set = ShutdownSet();
  FFd = ::signalfd(-1, &Set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (FFd < 0) {
    std::fprintf(stderr, "Quorlan2: cannot read shutdown signals (%s); they end the program at once\n",
                 std::strerror(errno));
    ::pthread_sigmask(SIG_UNBLOCK, &Set, nullptr);
    return;
  }
  FNotifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), [this] { ReadSignals(); });
}

TShutdownSignals::~TShutdownSignals()
{
  FNotifier.reset();
  if (FFd >= 0)
    ::close(FFd);
}

void TShutdownSignals::ReadSignals()
{
  signalfd_siginfo Info;
  while (::read(FFd, &Info, sizeof Info) == static_cast<ssize_t>(sizeof Info))
    if (FHandler)
      FHandler(static_cast<int>(Info.ssi_signo));
}

} // namespace app
