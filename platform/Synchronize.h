#pragma once
// Calls that other threads hand to the main thread.
//
// The main thread is the thread that calls SetMainThread(); until some
// thread does, it is the thread that ran the program's static initialisation
// (the one that runs main()). A worker thread that calls Synchronize() queues
// the call, wakes the main thread through the installed wake-up hook, waits
// until the main thread has run it and raises again whatever the call raised.
// The main thread runs queued calls in CheckSynchronize(); the GUI installs a
// hook that posts a queued call of CheckSynchronize() to its event loop.
#include <functional>

namespace platform {

using TThreadMethod = std::function<void()>;
using TWakeMainThread = std::function<void()>;

// Makes the calling thread the main thread.
void SetMainThread();
bool IsMainThread();

// Installs the main thread's wake-up hook, called on the queuing thread each
// time a call is queued; an empty hook removes it. The hook must be cheap and
// thread-safe (post a message; notify a condition).
void SetWakeMainThread(TWakeMainThread hook);
bool HasWakeMainThread();

// On the main thread: runs method at once. On any other thread: queues it for
// the main thread, wakes the main thread, waits until it has run and raises
// its exception again here. A call queued while nothing serves the main
// thread's queue waits until something does: check HasWakeMainThread() first.
void Synchronize(const TThreadMethod &method);

// On the main thread: runs the calls queued so far, in order; true when it ran
// any. Raises std::logic_error on any other thread.
bool CheckSynchronize();

// On the main thread: serves queued calls until done() holds. Whoever makes
// done() true must call NotifyMainThreadWaiters() afterwards.
void WaitServingSynchronize(const std::function<bool()> &done);
void NotifyMainThreadWaiters();

} // namespace platform
