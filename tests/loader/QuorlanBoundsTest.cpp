// Runs that must end by themselves, and stops that must come soon: a meter
// that dies during the write, a port that goes away, a connection refused,
// and stops on a line where nobody answers any more, counted in requests.
#include "LoaderFixture.h"
#include "link/MeterProtocol.h"
#include "loader/LoaderTexts.h"

#include <atomic>
#include <cstdio>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

std::string MeterGoneLine(int failures)
{
  char line[256];
  std::snprintf(line, sizeof line, texts::SMeterGone, failures);
  return line;
}

class LoaderBounds : public LoaderTest {
protected:
  // A meter that answers nothing from its block Index on.
  static void DiesAtBlock(sim::SimMeter &meter, int index, std::atomic<bool> &dead)
  {
    meter.SetOverride([&dead, index](const std::string &r) -> std::optional<std::string> {
      if (BlockIndexOf(r) == index)
        dead = true;
      return dead ? std::optional<std::string>(std::string()) : std::nullopt;
    });
  }
};

} // namespace

TEST_F(LoaderBounds, DeadMeterEndsItsAddressAndTheNextIsWritten)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto dying = line->AddMeter(MeterConfig::ForType(0, 5));
  auto next = line->AddMeter(MeterConfig::ForType(2, 6));
  std::atomic<bool> dead{false};
  DiesAtBlock(*dying, 10, dead);
  auto q = MakeLoader("5,6");
  ShortAnswerWait(*q, 500);
  Run(*q);

  EXPECT_EQ(Written(*next), ImageOf(2));
  EXPECT_EQ(q->StateText(), "???") << "one meter of the run was not updated";
  EXPECT_TRUE(LogHas(*q, MeterGoneLine(TQuorlan::MaxFailedWrites)));
  EXPECT_EQ(LogLines(*q).back(), texts::SFailedAddresses + std::string("5"));

  // Ten block writes unanswered, then the stop step gives the meter up after
  // its channel close and one more request went unanswered.
  const std::vector<int> indexes = BlockIndexes(*dying);
  EXPECT_EQ(indexes.size(), 10u + TQuorlan::MaxFailedWrites);
  const auto requests = dying->Requests();
  std::size_t lastBlock = 0;
  for (std::size_t i = 0; i < requests.size(); ++i)
    if (BlockIndexOf(requests[i]) >= 0)
      lastBlock = i;
  EXPECT_EQ(requests.size() - lastBlock - 1, 2u);
}

// A block that is always refused, behind blocks that are accepted, rewinds
// its page for ever unless the page's resends are bounded too.
TEST_F(LoaderBounds, APageThatIsNeverFinishedEndsItsAddress)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto stuck = line->AddMeter(MeterConfig::ForType(0, 5));
  auto next = line->AddMeter(MeterConfig::ForType(1, 6));
  stuck->SetOverride([](const std::string &r) -> std::optional<std::string> {
    if (BlockIndexOf(r) != 5)
      return std::nullopt;
    return sim::WithCrc(r.substr(0, 1) + '\x01'); // refused at once
  });
  auto q = MakeLoader("5,6");
  q->SetBlockSize(64);
  Run(*q);

  EXPECT_EQ(Written(*next), ImageOf(1));
  EXPECT_EQ(q->StateText(), "???");
  char text[256];
  std::snprintf(text, sizeof text, texts::SPageNotWritten, TQuorlan::MaxPageResends);
  EXPECT_TRUE(LogHas(*q, text));
}

// A meter that leaves the date-code requests unanswered but answers the
// channel close is there: the stop step still reads its version.
TEST_F(LoaderBounds, AMeterSilentOnlyToDateCodesIsStillVerified)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  meter->SetOverride([](const std::string &r) -> std::optional<std::string> {
    const std::size_t L = protocol::PrefixLength(r);
    if (r.size() == L + 4 && r[L] == '\x04' && r[L + 1] == '\x00')
      return std::string(); // 04 00 goes unanswered
    return std::nullopt;
  });
  auto q = MakeLoader("5");
  ShortAnswerWait(*q, 300);
  Run(*q);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

// Stops on a line where nobody answers: after the stop at most three
// requests more go out, however many the steps still hold.
TEST_F(LoaderBounds, StopDuringIdentificationOnASilentLineGoesStraightToTheVerdict)
{
  auto line = SimLine::OpenPty(Dir / "", 1); // nobody answers
  auto q = MakeLoader("5");
  ShortAnswerWait(*q, 300);
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return line->Frames().size() >= 2; }));
  const std::size_t before = line->Frames().size();
  q->Stop(); // a remote stop: it ends the address, not the run
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
  EXPECT_LE(line->Frames().size() - before, 3u);
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_FALSE(q->IsLinkActive());
}

TEST_F(LoaderBounds, StopOrFreeingDuringTheWriteToASilentMeterEndsWithinThreeRequests)
{
  for (const bool freeing : {false, true}) {
    auto line = SimLine::OpenPty(Dir / "", 1);
    auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
    std::atomic<bool> dead{false};
    DiesAtBlock(*meter, 10, dead);
    auto q = MakeLoader("5");
    ShortAnswerWait(*q, 300);
    q->Start();
    ASSERT_TRUE(WaitUntil([&] { return q->Errors() >= 2; })) << freeing;
    const std::size_t before = line->Frames().size();
    if (freeing) {
      q.reset(); // returns when the loader has ended
    } else {
      q->OperatorStop(); // the operator's stop
      ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
      EXPECT_EQ(q->StateText(), texts::STestStopped);
    }
    EXPECT_LE(line->Frames().size() - before, 3u) << freeing;
  }
}

// A port whose far end is gone fails every write at once: the address still
// ends after the bound, and the writes go out no faster than a meter could
// answer them.
TEST_F(LoaderBounds, PortClosedUnderTheWriteEndsTheAddress)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  ShortAnswerWait(*q, 200);
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return meter->BlockWrites() >= 10; }));
  line.reset();
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }, 60s));
  EXPECT_LE(q->Errors(), TQuorlan::MaxFailedWrites);
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_TRUE(LogHas(*q, MeterGoneLine(TQuorlan::MaxFailedWrites)) || LogHas(*q, texts::SLinkInactive));
}

TEST_F(LoaderBounds, RefusedConnectionSaysWhyAndFails)
{
  int port = 0;
  {
    auto gone = SimLine::ListenTcp();
    port = gone->Port();
  } // nobody listens there any more
  auto q = MakeLoader("5");
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = port;
  q->FTcpClient->ReadTimeout = 300;
  Run(*q);
  EXPECT_TRUE(LogHas(*q, texts::SLinkError));
  EXPECT_TRUE(LogHas(*q, "refused"));
  EXPECT_EQ(q->StateText(), "???") << "no operator's stop";
}

// Whatever ends a run with "???", its log ends with the addresses of the
// meters that were not updated: a port that another process holds (the rest
// of the list, on the same port, is left too), a connection refused, and a
// run of one address that fails.
TEST_F(LoaderBounds, FailedRunEndsItsLogWithTheAddressesLeft)
{
  const auto lastLine = [](const TQuorlan &q) {
    const std::vector<std::string> lines = LogLines(q);
    return lines.empty() ? std::string() : lines.back();
  };
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto holder = MakeLoader("5");
  holder->SetLinkActive(true);
  ASSERT_TRUE(holder->IsLinkActive());
  auto q = MakeLoader("5, 6,7");
  Run(*q);
  EXPECT_TRUE(LogHas(*q, texts::SPortFailed));
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_EQ(lastLine(*q), texts::SFailedAddresses + std::string("5, 6, 7"));
  holder->SetLinkActive(false);

  int port = 0;
  {
    auto gone = SimLine::ListenTcp();
    port = gone->Port();
  } // nobody listens there any more
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = port;
  q->SetNetAdr("9,300");
  Run(*q);
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_EQ(lastLine(*q), texts::SFailedAddresses + std::string("9, 300"));

  // Nobody answers the one address of the list.
  q->FUseComPort = true;
  q->SetNetAdr("5");
  ShortAnswerWait(*q, 200);
  Run(*q);
  EXPECT_TRUE(LogHas(*q, texts::SExtendedAddressFailed));
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_EQ(lastLine(*q), texts::SFailedAddresses + std::string("5"));
}
