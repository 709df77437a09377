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

struct TSyncRequest {
  const TThreadMethod *method;
  std::exception_ptr error;
  bool done = false;
};

// The queue of the main thread. Queue changes, completions and the end of a
// waited-for thread are announced under Lock, so no wake-up gets lost.
struct TSyncQueue {
  std::mutex Lock;
  std::condition_variable Changed; // a call queued, or a waited-for thread ended
  std::condition_variable Done;    // a queued call has run
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

void SetMainThread()
{
  MainThreadId().store(std::this_thread::get_id());
}

bool IsMainThread()
{
  RecordMainThread();
  return MainThreadId().load() == std::this_thread::get_id();
}

void SetWakeMainThread(TWakeMainThread hook)
{
  TSyncQueue &queue = Queue();
  const std::lock_guard guard(queue.HookLock);
  queue.HasHook = static_cast<bool>(hook);
  queue.Hook = hook ? std::make_shared<const TWakeMainThread>(std::move(hook)) : nullptr;
}

bool HasWakeMainThread()
{
  return Queue().HasHook.load();
}

void Synchronize(const TThreadMethod &method)
{
  if (IsMainThread()) {
    method();
    return;
  }
  TSyncQueue &queue = Queue();
  TSyncRequest request{&method, nullptr};
  {
    const std::lock_guard guard(queue.Lock);
    queue.Calls.push_back(&request);
  }
  queue.Changed.notify_all();
  WakeMainThread();
  {
    std::unique_lock lock(queue.Lock);
    queue.Done.wait(lock, [&] { return request.done; });
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
    {
      const std::lock_guard guard(queue.Lock);
      request->done = true;
    }
    queue.Done.notify_all();
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
  { const std::lock_guard guard(queue.Lock); }
  queue.Changed.notify_all();
}

} // namespace platform
