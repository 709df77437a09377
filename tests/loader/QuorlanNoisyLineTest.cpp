// The loader on a noisy line: an answer with a bit flipped on the way (its
// checksum as the meter sent it) is no answer, on either link.
#include "LoaderFixture.h"
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

int LinesWith(const std::vector<std::string> &lines, const std::string &text)
{
  int n = 0;
  for (const auto &line : lines)
    n += line.find(text) != std::string::npos;
  return n;
}

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
  EXPECT_EQ(LinesWith(LogLines(*q), texts::SUnknownDevice), 2);
  EXPECT_EQ(LinesWith(LogLines(*q), texts::SMeterUnderTest), 0);
  EXPECT_EQ(q->MeterType(), -1);
  EXPECT_EQ(q->StateText(), "???");
}

INSTANTIATE_TEST_SUITE_P(BothLinks, NoisyTypeRead, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) { return param.param ? "Tcp" : "Com"; });

TEST_F(LoaderTest, NoisySpeedCodeLeavesTheLineSpeedAlone)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 6));
  meter->FlipAnswerBit(std::string("\x08\x17\x00", 3), 0, 0, 1); // code 05 reads as 07
  auto q = MakeLoader("6");
  q->FMaxSpeed = true;
  Run(*q);

  EXPECT_TRUE(Written(*meter) == ImageOf(0));
  EXPECT_EQ(meter->SpeedCode(), 0x05);
  for (const auto &r : meter->Requests())
    EXPECT_NE(Hex(r).substr(r[0] == '\xFC' ? 10 : 2, 4), "0315") << "no speed is set";
  EXPECT_EQ(q->FDevice->FInfo->GetParam(1), 9600);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

TEST_F(LoaderTest, NoisyExtendedAddressIsNotAdopted)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto first = line->AddMeter(MeterConfig::ForType(0, 5));
  auto next = line->AddMeter(MeterConfig::ForType(1, 6));
  first->FlipAnswerBit(std::string("\x08\x05\x01", 3), 0, 3, 4);
  auto q = MakeLoader("5,6");
  ShortAnswerWait(*q); // the probe outside test mode gets no answer
  Run(*q);

  EXPECT_FALSE(first->InTestMode());
  EXPECT_EQ(first->BlockWrites(), 0);
  EXPECT_EQ(LinesWith(LogLines(*q), texts::SExtendedAddressFailed), 1);
  EXPECT_TRUE(Written(*next) == ImageOf(1)) << "the list goes on";
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}
