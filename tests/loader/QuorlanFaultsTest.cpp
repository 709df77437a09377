// The loader against meters and gateways that misbehave: lost and refused
// block answers, corrupted checksums, a meter that falls silent, one that
// refuses its test mode, and a gateway that drops the connection.
#include "LoaderFixture.h"
#include "loader/LoaderTexts.h"
#include "support/StuckLine.h"

#include <atomic>
#include <map>
#include <mutex>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::Hex;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

// Counts the block writes per block index, for overrides that act on the
// n-th write of a block. Overrides run on the line's thread.
class TBlockCounter {
public:
  int Next(int index)
  {
    std::lock_guard lock(FLock);
    return FCount[index]++;
  }

private:
  std::mutex FLock;
  std::map<int, int> FCount;
};

// The same answer with its checksum spoiled.
std::string SpoilCrc(std::string answer)
{
  answer.back() = static_cast<char>(answer.back() ^ 0x5A);
  return answer;
}

} // namespace

TEST_F(LoaderTest, SilentBlocksAreSentAgainFromTheirPage)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  TBlockCounter seen;
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    const int index = BlockIndexOf(r);
    if (index < 0)
      return std::nullopt;
    const int count = seen.Next(index);
    if (index == 6 && count == 0) // the request is lost on the line
      return std::string();
    if (index == 9 && count == 0) { // the meter writes the block, its answer is lost
      meter->OwnAnswer(r);
      return std::string();
    }
    if (index == 13 && count < 3) // three times in a row
      return std::string();
    return std::nullopt;
  });
  auto q = MakeLoader("5");
  q->SetBlockSize(128);      // four blocks a page
  ShortAnswerWait(*q, 1000); // some 900 answers must each come within it
  Run(*q);

  const std::vector<int> indexes = BlockIndexes(*meter);
  ASSERT_GE(indexes.size(), 24u);
  EXPECT_EQ(
      std::vector<int>(indexes.begin(), indexes.begin() + 24),
      (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11, 12, 13, 12, 13, 12, 13, 12}));
  EXPECT_EQ(indexes.size(), 864u + 3u + 2u + 3u * 2u);
  EXPECT_EQ(q->Errors(), 5) << "one error per silent block";
  EXPECT_EQ(Written(*meter), ImageOf(0));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(q->VersionAfter(), ImageVersions[0]);
}

TEST_F(LoaderTest, BlockRefusedWithStatusOneIsSentAgain)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(1, 5));
  TBlockCounter seen;
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    const int index = BlockIndexOf(r);
    if (index < 0)
      return std::nullopt;
    const int count = seen.Next(index);
    const std::string prefix = r.substr(0, 5);
    if (index == 2 && count == 0) // the short status answer: code 1
      return sim::WithCrc(prefix + '\x01');
    if (index == 5 && count == 0) // the block answer with its tag and status 1
      return sim::WithCrc(prefix + r[10] + '\x01');
    return std::nullopt;
  });
  auto q = MakeLoader("5");
  q->SetBlockSize(256); // two blocks a page
  Run(*q);

  const std::vector<int> indexes = BlockIndexes(*meter);
  ASSERT_GE(indexes.size(), 10u);
  EXPECT_EQ(std::vector<int>(indexes.begin(), indexes.begin() + 10),
            (std::vector<int>{0, 1, 2, 2, 3, 4, 5, 4, 5, 6}));
  EXPECT_EQ(indexes.size(), 432u + 1u + 2u);
  EXPECT_EQ(q->Errors(), 2);
  EXPECT_EQ(Written(*meter), ImageOf(1));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

// A block answer whose checksum does not hold counts as a failed block, also
// when it reads as accepted: a refusal spoiled on the line into an
// acceptance must not leave a gap in the meter. The page goes out again.
TEST_F(LoaderTest, BlockAnswerWithAWrongChecksumSendsThePageAgain)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto first = line->AddMeter(MeterConfig::ForType(0, 5));
  auto second = line->AddMeter(MeterConfig::ForType(2, 6));
  int spoiled5 = 0, spoiled7 = 0;
  first->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (BlockIndexOf(r) == 5 && spoiled5++ == 0)
      return SpoilCrc(first->OwnAnswer(r)); // written, answer spoiled on the way
    return std::nullopt;
  });
  second->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (BlockIndexOf(r) == 7 && spoiled7++ == 0) // not written; status 1 spoiled into 0 on the way
      return SpoilCrc(sim::WithCrc(r.substr(0, 5) + r[10] + '\x00'));
    return std::nullopt;
  });
  auto q = MakeLoader("5,6");
  Run(*q);

  std::vector<int> withResend(217);
  for (int i = 0; i < 217; ++i)
    withResend[static_cast<std::size_t>(i)] = i <= 5 ? i : i - 1;
  EXPECT_EQ(BlockIndexes(*first), withResend) << "block 5 is sent again";
  EXPECT_EQ(Written(*first), ImageOf(0));
  EXPECT_EQ(Written(*second), ImageOf(2)) << "the refused block is written on the second try";
  EXPECT_EQ(q->Errors(), 1) << "the errors of the last meter";
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

TEST_F(LoaderTest, MeterFallingSilentGetsItsPageAgainUntilTheOperatorStops)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  std::atomic<bool> dead{false};
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (BlockIndexOf(r) == 10)
      dead = true;
    return dead ? std::optional<std::string>(std::string()) : std::nullopt;
  });
  auto q = MakeLoader("5");
  q->SetBlockSize(128);
  ShortAnswerWait(*q, 400); // few answers before the meter falls silent, many silences after
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return q->Errors() >= 3; }));
  EXPECT_EQ(q->State(), ssRun) << "a few failures do not end the address";
  EXPECT_EQ(q->StateText().rfind(texts::SProgress, 0), 0u);

  q->OperatorStop(); // the operator's stop
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
  EXPECT_EQ(q->StateText(), texts::STestStopped);
  EXPECT_FALSE(q->IsLinkActive());
  EXPECT_EQ(q->VersionAfter(), "") << "the silent meter's version is not read";

  const std::vector<int> indexes = BlockIndexes(*meter);
  ASSERT_GE(indexes.size(), 11u + 2u);
  for (int i = 0; i <= 10; ++i)
    EXPECT_EQ(indexes[static_cast<std::size_t>(i)], i);
  for (std::size_t i = 11; i < indexes.size(); ++i)
    EXPECT_EQ(indexes[i], 8) << "every resend starts the page of block 10 again";
  EXPECT_EQ(q->Errors(), static_cast<std::int32_t>(indexes.size() - 10)) << "one error per unanswered block";

  const auto lines = LogLines(*q);
  ASSERT_GE(lines.size(), 2u);
  const std::string &last = lines.back();
  ASSERT_GE(last.size(), StopLineEnd().size());
  EXPECT_EQ(last.substr(last.size() - StopLineEnd().size()), StopLineEnd());
  EXPECT_FALSE(LogHas(*q, texts::SVersionMismatch));
  EXPECT_FALSE(LogHas(*q, texts::SVersionUnread));
  EXPECT_FALSE(LogHas(*q, texts::SStopError));

  const std::string written = Written(*meter);
  EXPECT_EQ(written.substr(0, 10 * 128), ImageOf(0).substr(0, 10 * 128));
  EXPECT_EQ(written.substr(10 * 128), std::string(written.size() - 10 * 128, '\xFF'));
}

TEST_F(LoaderTest, MeterRefusingTestModeIsLeftAndTheListGoesOn)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto refusing = line->AddMeter(MeterConfig::ForType(0, 7));
  auto next = line->AddMeter(MeterConfig::ForType(3, 8));
  refusing->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (r.size() == 8 && r[1] == '\x03' && r[2] == '\x0F') // 03 0F 02 m 00 with the one-byte address
      return sim::WithCrc(r.substr(0, 1) + '\x01');
    return std::nullopt;
  });
  auto q = MakeLoader("7");
  Run(*q);
  EXPECT_EQ(refusing->BlockWrites(), 0);
  EXPECT_FALSE(refusing->InTestMode());
  EXPECT_EQ(q->StateText(), "???");
  const std::string old = sim::VersionText(MeterConfig::OlderThanBuiltIn(0));
  EXPECT_EQ(q->VersionBefore(), old);
  EXPECT_EQ(q->VersionAfter(), old) << "the stop step reads the version again";
  EXPECT_FALSE(q->IsLinkActive());
  auto lines = LogLines(*q);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "\t" + std::string(texts::SNoAnswer));
  EXPECT_EQ(lines[lines.size() - 2], "\t" + std::string(texts::SVersionMismatch));
  EXPECT_EQ(lines.back(), texts::SFailedAddresses + std::string("7"));
  EXPECT_FALSE(LogHas(*q, texts::SNoAnswerInTest));
  int closes = 0;
  for (const auto &r : refusing->Requests())
    closes += Hex(r).substr(0, 4) == "0702";
  EXPECT_EQ(closes, 1) << "the channel is closed with the configured address after the refusal";

  // The refusal ends only that address: the next one is written.
  q->SetNetAdr("7,8");
  Run(*q);
  EXPECT_EQ(Written(*next), ImageOf(3));
  EXPECT_EQ(next->LastTestModeByte(), 0x0B);
  EXPECT_EQ(q->StateText(), "???") << "the verdict covers the refusing meter too";
  lines = LogLines(*q);
  EXPECT_EQ(lines.back(), texts::SFailedAddresses + std::string("7"));
  int refusals = 0;
  for (const auto &l : lines)
    refusals += l == "\t" + std::string(texts::SNoAnswer);
  EXPECT_EQ(refusals, 1) << "the log of the second run starts afresh";
}

TEST_F(LoaderTest, GatewayDroppingTheConnectionEndsTheRun)
{
  auto gateway = SimLine::ListenTcp();
  MeterConfig config = MeterConfig::ForType(0, 44);
  config.ExtendedAddress = 300;
  auto meter = gateway->AddMeter(config);
  std::atomic<bool> dropped{false};
  SimLine *const line = gateway.get();
  meter->SetOverride([&, line](const std::string &r) -> std::optional<std::string> {
    if (BlockIndexOf(r) == 20 && !dropped.exchange(true)) {
      line->DropConnection(); // no answer: the connection closes instead
      return std::string();
    }
    return std::nullopt;
  });
  auto q = MakeLoader("300");
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = gateway->Port();
  q->FTcpClient->ReadTimeout = 2000; // waited out once, for the probe outside test mode
  Run(*q);

  EXPECT_TRUE(dropped);
  EXPECT_EQ(q->StateText(), "???") << "a lost connection is a failure, not an operator's stop";
  EXPECT_FALSE(q->IsLinkActive());
  EXPECT_FALSE(q->FTcpClient->Connected());
  EXPECT_EQ(q->Errors(), 1) << "the block under way failed";
  const auto lines = LogLines(*q);
  std::size_t running = 0;
  while (running < lines.size() &&
         lines[running].find(std::string(texts::STestRunning).substr(2)) == std::string::npos)
    ++running;
  ASSERT_EQ(running + 3, lines.size()) << "after the headline of the run only the reason and the address";
  EXPECT_EQ(lines[running + 1], "\t" + std::string(texts::SLinkError) + "Connection closed gracefully.");
  EXPECT_EQ(lines.back(), texts::SFailedAddresses + std::string("300"));
  EXPECT_EQ(BlockIndexes(*meter).size(), 21u);
  EXPECT_EQ(Written(*meter).substr(0, 20 * 512), ImageOf(0).substr(0, 20 * 512));

  // The gateway takes the next connection: a new start writes the meter.
  Run(*q);
  EXPECT_EQ(Written(*meter), ImageOf(0));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_FALSE(q->FTcpClient->Connected());
}

// A connection that the gateway drops under any request of the start or the
// stop step ends the address there: the log gives the reason where the
// failure happened and nothing that a failed request would otherwise lead
// to ("unknown device", "version not read"...), and no request follows.
TEST_F(LoaderTest, GatewayDroppingTheConnectionUnderTheStartOrStopStep)
{
  const std::string reason = "Connection closed gracefully.";
  const auto tab = [](const std::string &text) { return "\t" + text; };
  const std::string failed = texts::SFailedAddresses + std::string("300");
  struct TCase {
    std::string Command; // hex of the bytes after the prefix, as far as given
    int Nth;             // which of the requests that begin so is dropped
    bool SpoilType;      // the type word comes with a wrong checksum
    std::string Before;  // the last line before the failure, as far as given
    std::vector<std::string> Tail;
  };
  const std::vector<TCase> cases = {
      {"0812",
       0,
       false,
       tab(texts::SReadingType),
       {tab(texts::SLinkError + reason), tab(texts::SStartError), failed}},
      {"030F02",
       0,
       false,
       tab(texts::SVersionBefore),
       {tab(texts::SLinkError + reason), tab(texts::SStartError), failed}},
      {"02",
       0,
       true,
       tab(texts::SUnknownDevice),
       {tab(texts::SLinkError + reason), tab(texts::SStartError), failed}},
      {"02", 0, false, "", {tab(texts::SStopError + reason), failed}},
      {"0400", 0, false, "", {tab(texts::SStopError + reason), failed}},
      {"00", 1, false, "", {tab(texts::SStopError + reason), failed}},
      {"0803", 2, false, "", {tab(texts::SStopError + reason), failed}},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Command + " #" + std::to_string(c.Nth));
    auto gateway = SimLine::ListenTcp();
    MeterConfig config = MeterConfig::ForType(0, 44);
    config.ExtendedAddress = 300;
    config.StartsInTestMode = true; // the probe is answered: no wait for it
    auto meter = gateway->AddMeter(config);
    auto seen = std::make_shared<std::atomic<int>>(0);
    auto after = std::make_shared<std::atomic<int>>(0);
    SimLine *const line = gateway.get();
    sim::SimMeter *const own = meter.get();
    meter->SetOverride([&c, own, line, seen, after](const std::string &r) -> std::optional<std::string> {
      if (*seen > c.Nth)
        ++*after;
      const std::string command = Hex(r).substr(10);
      if (c.SpoilType && command.size() == 8 && command.rfind("0812", 0) == 0)
        return SpoilCrc(own->OwnAnswer(r));
      if (command.rfind(c.Command, 0) == 0 && (*seen)++ == c.Nth) {
        line->DropConnection();
        return std::string();
      }
      return std::nullopt;
    });
    auto q = MakeLoader("300");
    q->FUseComPort = false;
    q->SetTcpHost("127.0.0.1");
    q->FTcpClient->Port = gateway->Port();
    q->FTcpClient->ReadTimeout = 5000;
    Run(*q);

    EXPECT_EQ(*seen, c.Nth + 1);
    EXPECT_EQ(*after, 0) << "nothing is sent after the connection dropped";
    EXPECT_EQ(q->StateText(), "???");
    EXPECT_FALSE(q->FTcpClient->Connected());
    const auto lines = LogLines(*q);
    ASSERT_GT(lines.size(), c.Tail.size());
    const std::vector<std::string> tail(lines.end() - static_cast<std::ptrdiff_t>(c.Tail.size()),
                                        lines.end());
    EXPECT_EQ(tail, c.Tail);
    const std::string &before = lines[lines.size() - c.Tail.size() - 1];
    if (!c.Before.empty())
      EXPECT_EQ(before.substr(0, c.Before.size()), c.Before);
    else
      EXPECT_NE(before.find(std::string(texts::STestRunning).substr(2)), std::string::npos)
          << "the stop step logs nothing before the reason";
  }
}

TEST_F(LoaderTest, ALineThatTakesNoOutputEndsItsRunAndAStopEndsItAtOnce)
{
  const testsupport::StuckLine line(Dir / "", 1);
  auto q = MakeLoader("5");
  ShortAnswerWait(*q, 300);
  Run(*q); // every write gives up after a second: the run ends by itself
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_TRUE(LogHas(*q, std::string(texts::SLinkError) + "COM1: Write not taken in time"));

  // Writes that would wait ten minutes each: the operator's stop and a
  // remote stop end the write in progress, and the untouched meter's run
  // ends without a further request.
  ShortAnswerWait(*q, 600000);
  for (const bool byOperator : {true, false}) {
    q->Start();
    ASSERT_TRUE(WaitUntil([&] { return q->FDevice->FBusy.load(); }));
    if (byOperator)
      q->OperatorStop();
    else
      q->Stop();
    ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }, 30s)) << byOperator;
    EXPECT_EQ(q->StateText(), byOperator ? std::string(texts::STestStopped) : "???");
    EXPECT_FALSE(LogHas(*q, texts::SNoAnswer)) << "a cut request is no silent meter";
  }
}

TEST_F(LoaderTest, ALineThatHangsUpMidRunSaysWhyInTheLog)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  q->SetBlockSize(16);
  ShortAnswerWait(*q, 500);
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return BlockIndexes(*meter).size() >= 20; }));
  line.reset(); // the adapter is pulled out
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }, 60s));
  EXPECT_EQ(q->StateText(), "???");
  int reasons = 0;
  for (const auto &l : LogLines(*q))
    reasons += l.find(std::string(texts::SLinkError) + "COM1: Input/output error") != std::string::npos;
  EXPECT_EQ(reasons, 1) << "once for the address, not once per request";
}
