#pragma once
// A service for the tests: it writes what its steps do into a record that
// outlives it, can be told to raise in a step or to hold a step at a gate,
// and uses members of its own in every step, as the loader does.
#include "link/ThreadService.h"
#include "support/WaitUntil.h"
#include "tests/platform/SynchronizeTestHook.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// What a probe did, kept after the probe is gone.
struct TProbeRecord {
  std::mutex Lock;
  std::vector<std::string> Log; // "start", "stop", "run" (first of a run), "pause", "!" suffix: raised
  std::atomic<int> Starts{0}, Runs{0}, Stops{0}, Pauses{0};
  std::atomic<bool> RunOutsideAStart{false};
  std::thread::id StopThread;

  void Add(const std::string &entry)
  {
    const std::lock_guard guard(Lock);
    if (Log.size() < 20000)
      Log.push_back(entry);
  }
  void Clear()
  {
    const std::lock_guard guard(Lock);
    Log.clear();
  }
  std::vector<std::string> Entries()
  {
    const std::lock_guard guard(Lock);
    return Log;
  }
  // The log without the pauses.
  std::vector<std::string> Steps()
  {
    std::vector<std::string> steps;
    for (const std::string &entry : Entries())
      if (entry != "pause")
        steps.push_back(entry);
    return steps;
  }
};

// Holds a step until the test opens it.
class TGate {
public:
  void Close()
  {
    const std::lock_guard guard(FLock);
    FOpen = false;
  }
  void Open()
  {
    {
      const std::lock_guard guard(FLock);
      FOpen = true;
    }
    FChanged.notify_all();
  }
  void Pass()
  {
    std::unique_lock lock(FLock);
    ++FWaiting;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FOpen; });
    --FWaiting;
  }
  bool WaitForArrival()
  {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::seconds(20), [this] { return FWaiting > 0; });
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = true;
  int FWaiting = 0;
};

class TProbeService : public TThreadService {
public:
  struct TOptions {
    std::atomic<int> RaiseInStart{0}, RaiseInRun{0}, RaiseInStop{0}; // passes left that raise
    std::atomic<bool> StopRaisesForever{false};
    std::atomic<int> StartRepeats{0}, StopRepeats{0}; // passes that leave the state unchanged
    TGate StartGate, StopGate;
  };

  TProbeService(const TCreateKey &key, std::shared_ptr<TProbeRecord> record,
                std::shared_ptr<TOptions> options, bool terminateWhileBuilt = false)
      : TThreadService(key), FRecord(std::move(record)), FOptions(std::move(options))
  {
    FBlocks.assign(64, 0); // built after the base: the loop must not run before this
    if (terminateWhileBuilt)
      Terminate();
  }

  int Blocks() const { return static_cast<int>(FBlocks.size()); }

protected:
  ~TProbeService() override = default;

  void DoStart() override
  {
    FOptions->StartGate.Pass();
    ++FRecord->Starts;
    FStarted = true;
    FBlocks.assign(64, 0);
    FFirstRun = true;
    if (TakeOne(FOptions->RaiseInStart)) {
      FRecord->Add("start!");
      throw std::runtime_error("start failed");
    }
    FRecord->Add("start");
    if (TakeOne(FOptions->StartRepeats))
      return;
    TThreadService::DoStart();
  }

  void DoRun() override
  {
    ++FRecord->Runs;
    if (!FStarted)
      FRecord->RunOutsideAStart = true;
    FBlocks[FRecord->Runs % FBlocks.size()] += 1;
    if (TakeOne(FOptions->RaiseInRun)) {
      FRecord->Add("run!");
      throw std::runtime_error("run failed");
    }
    if (FFirstRun)
      FRecord->Add("run");
    FFirstRun = false;
    TThreadService::DoRun();
  }

  void DoStop() override
  {
    FOptions->StopGate.Pass();
    ++FRecord->Stops;
    FStarted = false;
    FBlocks.clear();
    {
      const std::lock_guard guard(FRecord->Lock);
      FRecord->StopThread = std::this_thread::get_id();
    }
    if (FOptions->StopRaisesForever || TakeOne(FOptions->RaiseInStop)) {
      FRecord->Add("stop!");
      throw std::runtime_error("stop failed");
    }
    FRecord->Add("stop");
    if (TakeOne(FOptions->StopRepeats))
      return;
    TThreadService::DoStop();
  }

  std::chrono::nanoseconds PassDelay() const override
  {
    ++FRecord->Pauses;
    FRecord->Add("pause");
    return TThreadService::PassDelay();
  }

private:
  // Uses up one of the passes left; false when none is left.
  static bool TakeOne(std::atomic<int> &left) { return left > 0 && left-- > 0; }

  std::shared_ptr<TProbeRecord> FRecord;
  std::shared_ptr<TOptions> FOptions;
  std::vector<int> FBlocks;
  bool FStarted = false;
  bool FFirstRun = false;
};
