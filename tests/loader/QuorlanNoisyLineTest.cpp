// The loader on a noisy line: an answer with a bit flipped on the way (its
// checksum as the meter sent it) is no answer, on either link; and stops
// that come at awkward moments.
#include "LoaderFixture.h"
#include "link/MeterProtocol.h"
#include "loader/LoaderTexts.h"

#include <atomic>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::Hex;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

const std::string Version("\x08\x03", 2);

} // namespace

class NoisyTypeRead : public LoaderTest, public ::testing::WithParamInterface<bool> {};

// Bit 0 of the version's middle byte tells the T variants apart: flipped,
// an LA reads as an LAT and an LC as an LCT, and would get their images.
TEST_P(NoisyTypeRead, MeterIsLeftAloneInsteadOfGettingAnotherTypesImage)
{
  const bool tcp = GetParam();
  auto line = tcp ? SimLine::ListenTcp() : SimLine::OpenPty(Dir / "", 1);
  auto la = line->AddMeter(MeterConfig::ForType(0, 5));
  auto lc = line->AddMeter(MeterConfig::ForType(2, 6));
  la->FlipAnswerBit(Version, 0, 1, 0);
  lc->FlipAnswerBit(Version, 0, 1, 0);
  auto q = MakeLoader("5,6");
  if (tcp) {
    q->FUseComPort = false;
    q->SetTcpHost("127.0.0.1");
    q->FTcpClient->Port = line->Port();
    q->FTcpClient->ReadTimeout = 300;
  }
  Run(*q);

  for (const auto *meter : {la.get(), lc.get()}) {
    EXPECT_EQ(meter->BlockWrites(), 0);
    EXPECT_FALSE(meter->InTestMode());
  }
  EXPECT_TRUE(LogHas(*q, texts::SUnknownDevice));
  EXPECT_FALSE(LogHas(*q, texts::SMeterUnderTest));
  EXPECT_EQ(q->MeterType(), -1);
  EXPECT_EQ(q->StateText(), "???");
}

INSTANTIATE_TEST_SUITE_P(BothLinks, NoisyTypeRead, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) {
                           return param.param ? "Tcp" : "Com";
                         });

// A flipped extended address would send test mode to one address and
// everything after it to another; a flipped speed code would be restored
// into the meter after the run.
TEST_F(LoaderTest, NoisyExtendedAddressAndSpeedCodeAreNotTaken)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto first = line->AddMeter(MeterConfig::ForType(0, 5));
  auto second = line->AddMeter(MeterConfig::ForType(1, 6));
  first->FlipAnswerBit(std::string("\x08\x05\x01", 3), 0, 3, 4);
  second->FlipAnswerBit(std::string("\x08\x17\x00", 3), 0, 0, 1); // code 05 reads as 07
  auto q = MakeLoader("5,6");
  q->FMaxSpeed = true;
  ShortAnswerWait(*q); // the probe outside test mode gets no answer
  Run(*q);

  EXPECT_FALSE(first->InTestMode());
  EXPECT_EQ(first->BlockWrites(), 0);
  EXPECT_TRUE(LogHas(*q, texts::SExtendedAddressFailed));
  EXPECT_TRUE(Written(*second) == ImageOf(1));
  EXPECT_EQ(second->SpeedCode(), 0x05);
  for (const auto &r : second->Requests())
    EXPECT_NE(Hex(r).substr(2 * protocol::PrefixLength(r), 4), "0315") << "no speed is set";
  EXPECT_EQ(q->FDevice->FInfo->GetParam(rpBaudRate), 9600);
  EXPECT_EQ(q->StateText(), "???") << "the first meter was left";
}

// A remote stop (no operator flag) that comes while an address ends is
// spent on that address: the next one is written as if it had not come.
TEST_F(LoaderTest, RemoteStopWhileAnAddressEndsLeavesTheNextOneWhole)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto first = line->AddMeter(MeterConfig::ForType(0, 5));
  auto second = line->AddMeter(MeterConfig::ForType(2, 6));
  std::atomic<TQuorlan *> loader{nullptr};
  std::atomic<bool> stopped{false};
  first->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    const bool close = r.size() == 8 && r[0] == '\xFC' && r[5] == '\x02';
    if (close && first->BlockWrites() == 216 && !stopped.exchange(true))
      loader.load()->Stop(); // the stop step's first channel close
    return std::nullopt;
  });
  auto q = MakeLoader("5,6");
  loader = q.get();
  Run(*q);

  EXPECT_TRUE(stopped);
  EXPECT_TRUE(Written(*first) == ImageOf(0));
  EXPECT_TRUE(Written(*second) == ImageOf(2));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

// The operator's stop at once after the start, whether or not the start
// step has begun: the run ends as a stopped one, with a log of its own.
TEST_F(LoaderTest, OperatorStopRightAfterStartShowsTheStop)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  q->AppendLog("left from before");
  q->Start();
  q->OperatorStop();
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));

  EXPECT_EQ(q->StateText(), texts::STestStopped);
  const auto lines = LogLines(*q);
  ASSERT_FALSE(lines.empty());
  EXPECT_FALSE(LogHas(*q, "left from before"));
  ASSERT_GE(lines.back().size(), StopLineEnd().size());
  EXPECT_EQ(lines.back().substr(lines.back().size() - StopLineEnd().size()), StopLineEnd());
  EXPECT_FALSE(meter->InTestMode());
  EXPECT_FALSE(q->IsLinkActive());
}
