#include "platform/Thread.h"

#include "platform/Synchronize.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace platform {

void LowerCurrentThreadPriority()
{
  // On Linux the "process" of these calls is the calling thread alone.
  const auto thread = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, thread);
  if (errno == 0)
    ::setpriority(PRIO_PROCESS, thread, std::min(now + 10, 19));
}

void SetCurrentThreadTimerSlack(std::chrono::nanoseconds Slack)
{
  if (Slack.count() > 0)
    ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(Slack.count()), 0, 0, 0);
}

void TThreadDeleter::operator()(TThread *thread) const noexcept
{
  if (thread == nullptr)
    return;
  thread->BeforeDestruction();
  delete thread;
}

TThread::~TThread()
{
  if (!FThread.joinable())
    return;
  if (!FFinished.load()) {
    // The derived part is already gone and the thread may still call into it.
    std::fputs("TThread destroyed while its thread runs: free it through its TThreadPtr\n", stderr);
    std::abort();
  }
  FThread.join();
}

void TThread::Terminate()
{
  FTerminated.store(true);
  TerminatedSet();
}

void TThread::AfterConstruction()
{
  const std::lock_guard guard(FJoinLock);
  FSuspended.store(false);
  try {
    FThread = std::thread([this] { ThreadProc(); });
  } catch (...) {
    FSuspended.store(true);
    throw;
  }
}

void TThread::BeforeDestruction()
{
  if (!Terminated())
    Terminate();
  WaitFor();
}

void TThread::ThreadProc()
{
  FThreadID.store(std::this_thread::get_id());
  try {
    if (!Terminated())
      Execute();
  } catch (...) {
    // An exception never ends the program from a thread's top.
  }
  {
    const std::lock_guard guard(FFinishLock);
    FFinished.store(true);
  }
  FFinishChanged.notify_all();
  NotifyMainThreadWaiters();
}

void TThread::WaitFor()
{
  {
    const std::lock_guard guard(FJoinLock);
    if (!FThread.joinable())
      return; // never started, or already joined
  }
  if (IsCurrentThread())
    throw std::logic_error("a thread cannot wait for its own end");
  if (IsMainThread()) {
    WaitServingSynchronize([this] { return FFinished.load(); });
  } else {
    std::unique_lock lock(FFinishLock);
    FFinishChanged.wait(lock, [this] { return FFinished.load(); });
  }
  const std::lock_guard guard(FJoinLock);
  if (FThread.joinable())
    FThread.join();
}

} // namespace platform
