#include "platform/ThreadList.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

TEST(ThreadList, IgnoresASecondAddAndUnlocksWhenTheWalkRaises)
{
  platform::TThreadList<int> list;
  int a = 1, b = 2;
  list.Add(&a);
  list.Add(&b);
  list.Add(&a);
  EXPECT_EQ(list.Count(), 2u);
  list.LockList([&](std::vector<int *> &items) { EXPECT_EQ(items, (std::vector<int *>{&a, &b})); });

  EXPECT_THROW(list.LockList([](std::vector<int *> &) -> void { throw std::runtime_error("walk"); }),
               std::runtime_error);
  std::thread([&] { list.Remove(&a); }).join(); // would hang if the lock were still held
  EXPECT_EQ(list.Count(), 1u);
  list.Remove(&a);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

TEST(ThreadList, KeepsEveryItemAddedFromManyThreads)
{
  platform::TThreadList<int> list;
  std::vector<int> values(400);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = t; i < 400; i += 4) {
        list.Add(&values[i]);
        list.Add(&values[(i + 1) % 400]);
      }
    });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(list.Count(), 400u);
}
