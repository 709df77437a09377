#pragma once
// The thread object: an operating-system thread that runs Execute() of an
// object derived from TThread, with a terminate request, a wait for the end
// that keeps serving synchronised calls on the main thread, and the
// synchronised call itself (platform/Synchronize.h).
//
// Lifetime. A C++ base constructor runs before the derived part exists, and a
// base destructor after it is gone, while the thread calls virtual functions
// of the whole object. So the object is made and freed only here:
//  - MakeThread<T>(args...) constructs the most-derived T, then calls its
//    AfterConstruction(), which starts the thread. The loop therefore never
//    sees a half-built object. Every constructor in the hierarchy takes the
//    TCreateKey first and passes it on; only MakeThread can make a key, so a
//    thread object cannot be created on the stack, with new, or as a member.
//  - The returned TThreadPtr frees the object through TThreadDeleter, which
//    calls BeforeDestruction() while the whole object is alive (the base asks
//    the thread to end and waits for it) and only then deletes it. So no
//    member of a derived class dies while the thread may still use it.
// A thread object that is destroyed with its thread still running (a raw
// delete past the deleter) aborts the program with a message instead of
// letting the thread run on in a dead object.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

class TThread;

struct TThreadDeleter {
  void operator()(TThread *thread) const noexcept;
};

template <class T> using TThreadPtr = std::unique_ptr<T, TThreadDeleter>;

template <class T, class... Args> TThreadPtr<T> MakeThread(Args &&...args);

class TThread {
public:
  // Proof of creation through MakeThread. Constructors take it as their
  // first parameter (const TCreateKey &) and pass it to their base.
  class TCreateKey {
    TCreateKey() = default;
    template <class T, class... Args> friend TThreadPtr<T> MakeThread(Args &&...args);

  public:
    TCreateKey(const TCreateKey &) = delete;
    TCreateKey &operator=(const TCreateKey &) = delete;
  };

  TThread(const TThread &) = delete;
  TThread &operator=(const TThread &) = delete;

  // Sets the terminate request; Execute() reads it through Terminated().
  // Any thread may call it, any number of times.
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }

  // Waits until the thread has ended. On the main thread it keeps running
  // the synchronised calls of other threads meanwhile. Returns at once when
  // the thread was never started; raises std::logic_error on the thread itself.
  void WaitFor();

  // True until the thread has been started (while the object is being built).
  bool Suspended() const { return FSuspended.load(); }
  bool Finished() const { return FFinished.load(); }
  // True on the object's own thread.
  bool IsCurrentThread() const { return FThreadID.load() == std::this_thread::get_id(); }

protected:
  explicit TThread(const TCreateKey &) {}
  virtual ~TThread();

  // The thread's work, on its own thread. Runs only if the terminate request
  // was not set before the thread began. An exception that escapes it is
  // dropped: none crosses the thread's top.
  virtual void Execute() = 0;

  // Called by Terminate() after setting the request, on the calling thread.
  virtual void TerminatedSet() {}

  // Called by MakeThread once the most-derived constructor has finished;
  // the base starts the thread. An override calls the inherited one last.
  virtual void AfterConstruction();

  // Called by the deleter with the whole object alive; the base asks the
  // thread to end and waits for it. An override calls the inherited one first.
  virtual void BeforeDestruction();

private:
  friend struct TThreadDeleter;
  template <class T, class... Args> friend TThreadPtr<T> MakeThread(Args &&...args);

  void ThreadProc();

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FSuspended{true};
  std::atomic<bool> FFinished{false};
  std::atomic<std::thread::id> FThreadID{};
  std::mutex FFinishLock;
  std::condition_variable FFinishChanged;
  std::mutex FJoinLock;
  std::thread FThread;
};

// Lets the calling thread give way to threads of normal priority, the main
// thread above all, whenever the processors are short: for threads that do
// bulk work side by side with the window. On Linux it raises the thread's
// nice value by 10 (as far as 19), which any thread may do to itself; where
// that fails, nothing changes.
void LowerCurrentThreadPriority();

// Lets the system end the calling thread's timed waits up to Slack late, so
// that it can wake many waiting threads at once (Linux: the thread's timer
// slack). For threads that only need to wake now and then.
void SetCurrentThreadTimerSlack(std::chrono::nanoseconds Slack);

template <class T, class... Args> TThreadPtr<T> MakeThread(Args &&...args)
{
  static_assert(std::is_base_of_v<TThread, T>, "MakeThread makes thread objects");
  TThreadPtr<T> thread(new T(TThread::TCreateKey{}, std::forward<Args>(args)...));
  static_cast<TThread *>(thread.get())->AfterConstruction();
  return thread;
}

} // namespace platform
