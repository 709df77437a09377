#include "platform/Synchronize.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace platform {

namespace {

// One queued call. It lives on the stack of the thread that waits for it;
// the main thread marks it done and notifies its own condition while holding
// the queue's lock, so the waiter cannot return (and destroy it) in between.
// A completion thus wakes its own caller only, whatever the number of
// threads waiting.
struct TSyncRequest {
  explicit TSyncRequest(const TThreadMethod &call) : method(&call) {}
  const TThreadMethod *method;
  std::exception_ptr error;
  bool done = false;
  std::condition_variable Done;
};

// The queue of the main thread. Queue changes, completions and the end of a
// waited-for thread are announced under Lock, so no wake-up gets lost.
//
// The main thread is woken once per batch: the call that finds the queue
// empty wakes it; later calls join that batch until CheckSynchronize takes
// the queue as it stands.
struct TSyncQueue {
  std::mutex Lock;
  std::condition_variable Changed; // a call queued, or a waited-for thread ended
  std::deque<TSyncRequest *> Calls;

  std::mutex HookLock;
  std::shared_ptr<const TWakeMainThread> Hook;
  std::atomic<bool> HasHook{false};
};

TSyncQueue &Queue()
{
  // Never destroyed: a thread that outlives static destruction may still queue.
  static auto *const queue = new TSyncQueue;
  return *queue;
}

std::atomic<std::thread::id> &MainThreadId()
{
  static std::atomic<std::thread::id> id;
  return id;
}

// The thread that runs static initialisation is the main thread until
// SetMainThread() says otherwise.
void RecordMainThread()
{
  std::thread::id none;
  MainThreadId().compare_exchange_strong(none, std::this_thread::get_id());
}

[[maybe_unused]] const bool MainThreadRecorded = (RecordMainThread(), true);

void WakeMainThread()
{
  TSyncQueue &queue = Queue();
  std::shared_ptr<const TWakeMainThread> hook;
  {
    const std::lock_guard guard(queue.HookLock);
    hook = queue.Hook;
  }
  if (hook && *hook)
    (*hook)();
}

} // namespace

void SetMainThread() { MainThreadId().store(std::this_thread::get_id()); }

bool IsMainThread()
{
  RecordMainThread();
  return MainThreadId().load() == std::this_thread::get_id();
}

void SetWakeMainThread(TWakeMainThread hook)
{
  TSyncQueue &queue = Queue();
  const bool installed = static_cast<bool>(hook);
  {
    const std::lock_guard guard(queue.HookLock);
    queue.HasHook = installed;
    queue.Hook = installed ? std::make_shared<const TWakeMainThread>(std::move(hook)) : nullptr;
  }
  // Calls queued before the hook was there woke nobody through it; their
  // batch would otherwise wait for a later one that never comes.
  if (installed) {
    bool waiting;
    {
      const std::lock_guard guard(queue.Lock);
      waiting = !queue.Calls.empty();
    }
    if (waiting)
      WakeMainThread();
  }
}

bool HasWakeMainThread() { return Queue().HasHook.load(); }

void Synchronize(const TThreadMethod &method)
{
  if (IsMainThread()) {
    method();
    return;
  }
  TSyncQueue &queue = Queue();
  TSyncRequest request(method);
  bool wake;
  {
    const std::lock_guard guard(queue.Lock);
    wake = queue.Calls.empty();
    queue.Calls.push_back(&request);
  }
  if (wake) {
    queue.Changed.notify_all();
    WakeMainThread();
  }
  {
    std::unique_lock lock(queue.Lock);
    request.Done.wait(lock, [&] { return request.done; });
  }
  if (request.error)
    std::rethrow_exception(request.error);
}

bool CheckSynchronize()
{
  if (!IsMainThread())
    throw std::logic_error("CheckSynchronize called outside the main thread");
  TSyncQueue &queue = Queue();
  std::deque<TSyncRequest *> calls;
  {
    const std::lock_guard guard(queue.Lock);
    calls.swap(queue.Calls);
  }
  // Calls queued while these run wait for the next CheckSynchronize, so a
  // thread that queues without pause cannot keep the main thread here.
  for (TSyncRequest *request : calls) {
    try {
      (*request->method)();
    } catch (...) {
      request->error = std::current_exception();
    }
    const std::lock_guard guard(queue.Lock);
    request->done = true;
    request->Done.notify_one();
  }
  return !calls.empty();
}

void WaitServingSynchronize(const std::function<bool()> &done)
{
  TSyncQueue &queue = Queue();
  for (;;) {
    CheckSynchronize();
    std::unique_lock lock(queue.Lock);
    if (done())
      return;
    queue.Changed.wait(lock, [&] { return !queue.Calls.empty() || done(); });
  }
}

void NotifyMainThreadWaiters()
{
  TSyncQueue &queue = Queue();
  {
    const std::lock_guard guard(queue.Lock);
  }
  queue.Changed.notify_all();
}

} // namespace platform
