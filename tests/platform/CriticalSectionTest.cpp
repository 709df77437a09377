#include "platform/CriticalSection.h"

#include <gtest/gtest.h>

#include <thread>

TEST(CriticalSection, ReentersOnItsThreadAndTryEnterFailsElsewhereWhileHeld)
{
  platform::TCriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter()) << "the holding thread may enter again";

  bool otherEntered = true;
  std::thread([&] { otherEntered = section.TryEnter(); }).join();
  EXPECT_FALSE(otherEntered);

  section.Leave();
  std::thread([&] { otherEntered = section.TryEnter(); }).join();
  EXPECT_FALSE(otherEntered) << "entered twice, left once: still held";

  section.Leave();
  std::thread([&] {
    otherEntered = section.TryEnter();
    if (otherEntered)
      section.Leave();
  }).join();
  EXPECT_TRUE(otherEntered);

  {
    const std::lock_guard guard(section);
    std::thread([&] { otherEntered = section.TryEnter(); }).join();
    EXPECT_FALSE(otherEntered);
  }
}
