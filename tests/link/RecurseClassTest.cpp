#include "link/RecurseClass.h"

#include <gtest/gtest.h>

TEST(RecurseClass, ChainLengthAndNodes)
{
  TRecurseClass chain(3);
  EXPECT_EQ(chain.Node(0), &chain);
  ASSERT_NE(chain.Node(1), nullptr);
  ASSERT_NE(chain.Node(2), nullptr);
  EXPECT_EQ(chain.Node(2)->FNext, nullptr);
  EXPECT_EQ(chain.Node(1)->Node(1), chain.Node(2));
  EXPECT_EQ(chain.Node(3), nullptr);
  EXPECT_EQ(chain.Node(-1), nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(chain.Node(i)->FCount, 0);
    EXPECT_EQ(chain.Node(i)->FLimit, 3);
  }
  for (int depth : {1, 0, -5}) {
    TRecurseClass single(depth);
    EXPECT_EQ(single.Node(0), &single);
    EXPECT_EQ(single.Node(1), nullptr) << depth;
  }
}

TEST(RecurseClass, EnterLeaveAndLimits)
{
  TRecurseClass node(1);
  node.Leave();
  EXPECT_EQ(node.FCount, 0);
  EXPECT_TRUE(node.Enter());
  EXPECT_EQ(node.FCount, 1);
  node.Leave();

  node.FLimit = 4;
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(node.Enter()) << i;
  EXPECT_FALSE(node.Enter());
  for (int i = 0; i < 5; ++i)
    node.Leave();
  EXPECT_EQ(node.FCount, 0);

  node.FLimit = 0; // turns this kind of re-entry off
  EXPECT_FALSE(node.Enter());
  node.Leave();
  EXPECT_EQ(node.FCount, 0);

  // Guarded recursion as the device applies it: with limit 2 it nests twice.
  TRecurseClass chain(3);
  chain.Node(1)->FLimit = 2;
  int depth = 0;
  auto nested = [&](auto &self) -> void {
    TRecurseClass *kind = chain.Node(1);
    if (kind->Enter()) {
      ++depth;
      self(self);
    }
    kind->Leave();
  };
  nested(nested);
  EXPECT_EQ(depth, 2);
  EXPECT_EQ(chain.Node(1)->FCount, 0);
  EXPECT_EQ(chain.Node(0)->FCount, 0);
}

TEST(RecurseClass, EnterAsksTheOverriddenAllowed)
{
  struct Never : TRecurseClass {
    Never() : TRecurseClass(2) {}
    bool Allowed() override { return false; }
  };
  Never never;
  EXPECT_FALSE(never.Enter());
  EXPECT_EQ(never.FCount, 1);
  // The rest of the chain is of the plain class.
  EXPECT_TRUE(never.Node(1)->Enter());
}

TEST(RecurseClass, LongChainIsBuiltAndFreedWithoutDeepNesting)
{
  // Freeing the first node frees every node; a million nodes would
  // overflow the stack if destruction nested.
  auto chain = std::make_unique<TRecurseClass>(1000000);
  EXPECT_NE(chain->Node(999999), nullptr);
  EXPECT_EQ(chain->Node(1000000), nullptr);
  chain.reset();
}
