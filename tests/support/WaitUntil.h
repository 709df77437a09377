#pragma once
// Waiting in tests for a condition, with a deadline instead of a fixed sleep.
#include <chrono>
#include <thread>

// Polls a condition until it holds or the time-out has passed.
template <class Done> bool WaitUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}
