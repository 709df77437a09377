#include "platform/FoldedNameIndex.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

using platform::FoldedNameIndex;

// Names that crowd the slots, added and removed in a random order: every
// name in the index is found at its place, whatever its letter case, and
// every name removed is gone, as a plain set of the same names says.
TEST(FoldedNameIndex, FindsWhatIsInItAfterAddsAndRemoves)
{
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i)
    names.push_back("Objects(" + std::to_string(i) + ")");
  FoldedNameIndex index([&names](FoldedNameIndex::Place at) { return std::string_view(names[at]); });
  std::set<FoldedNameIndex::Place> expected;
  std::mt19937 random(23);
  for (int step = 0; step < 20000; ++step) {
    const auto at = static_cast<FoldedNameIndex::Place>(random() % names.size());
    if (random() % 3 != 0) {
      ASSERT_EQ(index.Add(names[at], at), at);
      expected.insert(at);
    } else {
      index.Remove("OBJECTS" + names[at].substr(7));
      expected.erase(at);
    }
  }
  for (FoldedNameIndex::Place at = 0; at < names.size(); ++at)
    EXPECT_EQ(index.Find("objects" + names[at].substr(7)),
              expected.contains(at) ? at : FoldedNameIndex::NoPlace)
        << names[at];
}
