// The places of the processes as they travel with their loaders: a place
// goes back once, and only when the loader it was taken for has been freed.
#include "app/ProcessPlaces.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// A loader that records, as it is freed, how many places are taken.
app::TPlacedLoader Placed(app::TProcessPlaces &Places, std::int32_t &TakenWhileFreed)
{
  app::TPlacedLoader Process(Places.Take(), platform::MakeThread<loader::TQuorlan>());
  Process.Loader->FOnFree = [&Places, &TakenWhileFreed] { TakenWhileFreed = Places.Taken(); };
  return Process;
}

} // namespace

TEST(ProcessPlaces, APlaceGoesBackOnceAfterItsLoaderIsFreed)
{
  app::TProcessPlaces Places(1);
  std::int32_t TakenWhileFreed = -1;
  {
    app::TPlacedLoader Process = Placed(Places, TakenWhileFreed);
    ASSERT_TRUE(Process.Place);
    EXPECT_FALSE(Places.Take()) << "past the bound no place is taken";
    app::TPlacedLoader MovedOn = std::move(Process);
    EXPECT_EQ(Places.Taken(), 1);
  }
  EXPECT_EQ(TakenWhileFreed, 1) << "the place was still taken while its loader was freed";
  EXPECT_EQ(Places.Taken(), 0);

  // Assigning over a placed loader (or nullptr) frees the loader it held
  // before that loader's place goes back.
  app::TPlacedLoader Process = Placed(Places, TakenWhileFreed);
  TakenWhileFreed = -1;
  Process = nullptr;
  EXPECT_EQ(TakenWhileFreed, 1);
  EXPECT_EQ(Places.Taken(), 0);
  Process = Placed(Places, TakenWhileFreed);
  EXPECT_EQ(Places.Taken(), 1);
}
