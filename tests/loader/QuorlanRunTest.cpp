// Whole runs of the loader over a COM port: every block size, an address
// above 255, and the log of a successful meter line by line.
#include "LoaderFixture.h"
#include "loader/LoaderTexts.h"
#include "loader/MeterTypes.h"

#include <regex>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::Hex;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

// A log line with its time stamp (a TimeToStrMs text before " : ") replaced
// by "<t>", so that lines can be compared whole.
std::string Masked(const std::string &line)
{
  static const std::regex stamp("^(\t?)(\\S.*?:[0-9]{3}) : ");
  return std::regex_replace(line, stamp, "$1<t> : ", std::regex_constants::format_first_only);
}

// One of the procedure's line formats with "<t>" for the time stamp (the
// first %s), then the given text for a second %s and the number for %d.
std::string Expected(const char *format, const std::string &text = "", int number = 0)
{
  std::string line = format;
  line.replace(line.find("%s"), 2, "<t>");
  if (const auto s = line.find("%s"); s != std::string::npos)
    line.replace(s, 2, text);
  if (const auto d = line.find("%d"); d != std::string::npos)
    line.replace(d, 2, std::to_string(number));
  return line;
}

std::vector<std::string> MaskedLog(const TQuorlan &q)
{
  std::vector<std::string> lines;
  for (const auto &line : platform::SplitCommaText(q.Log()))
    lines.push_back(Masked(line));
  return lines;
}

void ExpectLines(const std::vector<std::string> &actual, const std::vector<std::string> &expected)
{
  for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i)
    EXPECT_EQ(platform::Cp1251ToUtf8(i < actual.size() ? actual[i] : "(none)"),
              platform::Cp1251ToUtf8(i < expected.size() ? expected[i] : "(none)"))
        << "line " << i;
}

std::string Tab(const std::string &text) { return "\t" + text; }

} // namespace

class BlockSizeTest : public LoaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(BlockSizeTest, WritesTheExactImage)
{
  const int size = GetParam();
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(4, 5));
  auto q = MakeLoader("5");
  q->SetBlockSize(size);
  Run(*q, 180s);

  const int blocks = 110592 / size;
  EXPECT_EQ(Written(*meter), ImageOf(4));
  EXPECT_EQ(meter->BlockWrites(), blocks);
  EXPECT_EQ(q->Errors(), 0) << "the meter accepted every tag";
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(q->VersionAfter(), ImageVersions[4]);
  const std::vector<int> indexes = BlockIndexes(*meter);
  ASSERT_EQ(indexes.size(), static_cast<std::size_t>(blocks));
  for (int i = 0; i < blocks; ++i)
    ASSERT_EQ(indexes[static_cast<std::size_t>(i)], i);
  for (const auto &r : meter->Requests())
    if (BlockIndexOf(r) >= 0) {
      ASSERT_EQ(r.size(), 5u + 6u + static_cast<std::size_t>(size) + 2u);
      ASSERT_EQ(static_cast<unsigned char>(r[9]), 512 / size) << "the divisor byte";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBlockSize, BlockSizeTest, ::testing::Values(16, 32, 64, 128, 256, 512),
                         [](const ::testing::TestParamInfo<int> &param) {
                           return "Bytes" + std::to_string(param.param);
                         });

TEST_F(LoaderTest, AddressAbove255OverAComPort)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  MeterConfig config = MeterConfig::ForType(1, 44);
  config.ExtendedAddress = 300;
  auto meter = line->AddMeter(config);
  auto q = MakeLoader("300");
  ShortAnswerWait(*q); // the probe outside test mode gets no answer
  Run(*q);

  EXPECT_EQ(Written(*meter), ImageOf(1));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(q->VersionBefore(), sim::VersionText(MeterConfig::OlderThanBuiltIn(1)));
  EXPECT_EQ(q->VersionAfter(), ImageVersions[1]);
  const auto requests = meter->Requests();
  ASSERT_FALSE(requests.empty());
  for (std::size_t i = 0; i < requests.size(); ++i)
    ASSERT_EQ(Hex(requests[i]).substr(0, 10), "FC0000012C") << "request " << i << " " << Hex(requests[i]);
  for (const auto &r : requests)
    EXPECT_NE(Hex(r).substr(10, 6), "080501") << "no extended address is read";
  // The probe finds the meter outside its test mode: the date-code series
  // follows it, with the long prefix.
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(Hex(requests[0]).substr(10, 4), "08FF");
  EXPECT_EQ(Hex(requests[1]).substr(10, 4), "0400");

  ExpectLines(MaskedLog(*q),
              {
                  Expected(texts::STestStarting, "", 300),
                  Tab(texts::SReadingType),
                  Tab(texts::SMeterUnderTest + std::string(MeterTypeNames[1])),
                  Tab(texts::SVersionBefore + sim::VersionText(MeterConfig::OlderThanBuiltIn(1))),
                  Tab(Expected(texts::STestRunning)),
                  Tab(texts::SVersionAfter + std::string(ImageVersions[1])),
                  Tab(Expected(texts::STestFinished, texts::SSuccessfully)),
              });
}

TEST_F(LoaderTest, LogOfASuccessfulMeterLineByLine)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  q->AppendLog("left from before");
  Run(*q);
  ASSERT_EQ(Written(*meter), ImageOf(0));

  ExpectLines(MaskedLog(*q),
              {
                  Expected(texts::STestStarting, "", 5),
                  Tab(texts::SExtendedAddress + std::string("00A10005")),
                  Tab(texts::SReadingType),
                  Tab(texts::SMeterUnderTest + std::string(MeterTypeNames[0])),
                  Tab(texts::SVersionBefore + sim::VersionText(MeterConfig::OlderThanBuiltIn(0))),
                  Tab(Expected(texts::STestRunning)),
                  Tab(texts::SVersionAfter + std::string(ImageVersions[0])),
                  Tab(Expected(texts::STestFinished, texts::SSuccessfully)),
              });
}
