// The loader against simulated meters: on a pseudo-terminal standing for a
// COM port, and on a TCP port standing for a serial gateway.
#include "LoaderFixture.h"
#include "link/MeterProtocol.h"
#include "link/PacketString.h"
#include "loader/LoaderTexts.h"
#include "tests/platform/SynchronizeTestHook.h"

#include <map>
#include <termios.h>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::Hex;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

// A row of the window's list, as the loader sees it.
class TFakeRow : public TListRow {
public:
  std::string Caption() const override { return FCaption; }
  void SetCaption(const std::string &Text) override
  {
    FCaption = Text;
    ++Writes;
  }
  std::string SubItem(int Index) const override { return FSubItems.at(static_cast<std::size_t>(Index)); }
  void SetSubItem(int Index, const std::string &Text) override
  {
    FSubItems.at(static_cast<std::size_t>(Index)) = Text;
    ++Writes;
  }
  std::string FCaption;
  std::vector<std::string> FSubItems = std::vector<std::string>(7);
  int Writes = 0;
};

} // namespace

TEST_F(LoaderTest, NewLoaderLogRowAndBlockSize)
{
  auto q = MakeLoader("");
  EXPECT_EQ(q->State(), ssIdle);
  EXPECT_EQ(q->StateText(), texts::SStopped);

  q->AppendLog("x");
  EXPECT_EQ(q->Log(), "\"\tx\"");
  q->AppendLog("ok: ВНИМАНИЕ!"); // not this word in Windows-1251: gets its TAB
  q->AppendLog(std::string(texts::SAttention) + " here");
  EXPECT_EQ(q->Log(), "\"\tx\",\"\tok: ВНИМАНИЕ!\",\"" + std::string(texts::SAttention) + " here\"");
  q->AppendLog("");
  EXPECT_EQ(q->Log(), "");

  for (int n : {1024, 0, 100, -16}) {
    q->SetBlockSize(n);
    EXPECT_EQ(q->BlockSize(), 512) << n;
  }
  for (int n : {16, 32, 64, 128, 256, 512}) {
    q->SetBlockSize(n);
    EXPECT_EQ(q->BlockSize(), n);
  }

  TFakeRow row;
  q->FListItem = &row;
  q->UpdateRow();
  EXPECT_EQ(row.FCaption, "COM1 (9600/" + std::string(texts::SParityNone));
  EXPECT_EQ(row.FSubItems[0], std::string(MeterTypeNames[-1]));
  EXPECT_EQ(row.FSubItems[1], ""); // address 0 leaves the column alone
  EXPECT_EQ(row.FSubItems[5], "0");
  EXPECT_EQ(row.FSubItems[6], texts::SStopped);
  const int writes = row.Writes;
  q->UpdateRow();
  EXPECT_EQ(row.Writes, writes) << "a refresh without changes writes nothing";

  q->FDevice->FInfo->SetParam(rpParity, platform::EVENPARITY);
  q->UpdateRow();
  EXPECT_EQ(row.FCaption, "COM1 (9600/" + std::string(texts::SParityOdd));
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = 5000;
  q->UpdateRow();
  EXPECT_EQ(row.FCaption, "127.0.0.1:5000");
  q->FListItem = nullptr;
}

// What a refresh records as shown is what the row got: a setting changed
// while a refresh is on its way to the main thread, and then changed back,
// still leaves the row right. Once the row is right, an idle loader's timer
// sleeps, and a change wakes it.
TEST_F(LoaderTest, AnIdleRowIsKeptRightByChangesAloneAndNeverStale)
{
  TMainThreadHook hook;
  auto q = MakeLoader("");
  const std::string none = "COM1 (9600/" + std::string(texts::SParityNone);
  const std::string odd = "COM1 (9600/" + std::string(texts::SParityOdd);
  TFakeRow row;
  q->FListItem = &row;
  ASSERT_TRUE(WaitUntil([&] { return hook.Wakes() > 0; })) << "a refresh is on its way";
  q->FDevice->FInfo->SetParam(rpParity, platform::ODDPARITY);
  platform::CheckSynchronize();
  ASSERT_EQ(row.FCaption, odd);
  q->FDevice->FInfo->SetParam(rpParity, platform::NOPARITY);
  EXPECT_TRUE(hook.ServeUntil([&] { return row.FCaption == none; }, 5s));

  EXPECT_TRUE(hook.ServeUntil([&] { return q->FTimer->Held(); }, 5s)) << "the idle timer sleeps";
  q->FDevice->FInfo->SetParam(rpPortNumber, 7);
  EXPECT_TRUE(
      hook.ServeUntil([&] { return row.FCaption == "COM7 (9600/" + std::string(texts::SParityNone); }, 5s));
  q->FListItem = nullptr;
}

TEST_F(LoaderTest, NextAddressWalksTheListAndBuildsPrefixes)
{
  auto q = MakeLoader("5,300");
  std::int32_t count = 0;
  std::string prefix;
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Hex(prefix), "05");
  EXPECT_EQ(q->FDevice->FNetAddress, 5);
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(Hex(prefix), "FC0000012C");
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(prefix, "");
  EXPECT_EQ(q->FDevice->FNetAddress, 0);

  const std::pair<const char *, const char *> cases[] = {
      {"255", "FF"}, {"256", "FC00000100"},        {"-1", "FCFFFFFFFF"},
      {"$10", "10"}, {"4294967295", "FCFFFFFFFF"}, {"-2147483648", "FC80000000"}};
  for (const auto &[text, expected] : cases) {
    q->SetNetAdr(text);
    q->NextAddress(true, count, prefix); // back from the end of the list to its start
    EXPECT_EQ(Hex(prefix), expected) << text;
    q->NextAddress(true, count, prefix);
  }

  // Beyond 32 bits an address is no address: its low bits would name another meter.
  for (const char *text : {"4294967296", "4294967301", "-2147483649", "$100000005"}) {
    q->SetNetAdr(text);
    EXPECT_THROW(q->NextAddress(true, count, prefix), std::invalid_argument) << text;
    EXPECT_EQ(prefix, "");
  }

  q->SetNetAdr("7 8");
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(count, 2);
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(Hex(prefix), "08");
  q->NextAddress(true, count, prefix);

  q->SetNetAdr("7,,8");
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(count, 3);
  EXPECT_THROW(q->NextAddress(true, count, prefix), std::invalid_argument);
  EXPECT_EQ(prefix, "");
  EXPECT_EQ(q->FDevice->FNetAddress, 0);

  q->SetNetAdr("");
  q->NextAddress(true, count, prefix);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(prefix, "");
}

TEST_F(LoaderTest, UpdatesOneMeterOverAComPort)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  Run(*q);

  const std::string image = *DumpMem[0]->Snapshot();
  EXPECT_TRUE(meter->WholeImageWritten());
  EXPECT_EQ(meter->Memory().substr(0x5000), image.substr(0x5000))
      << "the meter holds the image byte for byte";
  EXPECT_EQ(meter->BlockWrites(), 216);
  EXPECT_EQ(meter->LastTestModeByte(), 0x00);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(q->VersionBefore(), sim::VersionText(MeterConfig::OlderThanBuiltIn(0)));
  EXPECT_EQ(q->VersionAfter(), ImageVersions[0]);
  EXPECT_EQ(q->Errors(), 0);
  EXPECT_EQ(q->MeterType(), 0);
  EXPECT_TRUE(LogHas(*q, texts::SSuccessfully));
  EXPECT_TRUE(LogHas(*q, std::string(texts::SExtendedAddress) + "00A10005"));
  EXPECT_FALSE(q->IsLinkActive());

  // Identification speaks to the configured address, everything from the
  // test-mode check on to the extended address the meter reported.
  const auto requests = meter->Requests();
  std::size_t check = 0;
  while (check < requests.size() && Hex(requests[check]).rfind("FC00A1000500", 0) != 0)
    ++check;
  ASSERT_LT(check, requests.size()) << "the test-mode check uses the extended address";
  for (std::size_t i = 0; i < requests.size(); ++i)
    EXPECT_EQ(Hex(requests[i]).substr(0, i < check ? 2 : 10), i < check ? "05" : "FC00A10005") << i;
}

TEST_F(LoaderTest, FailedBlocksResendTheirPageAndStaleAnswersAreSkipped)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(1, 9));
  int block6 = 0, block9 = 0;
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    const std::size_t L = 5; // the loader addresses the meter by its extended address
    if (r.size() < L + 6 || r[L] != '\x07')
      return std::nullopt;
    const int index = static_cast<unsigned char>(r[L + 3]);
    const std::string prefix = r.substr(0, L);
    if (index == 6 && block6++ == 0) // refused once
      return sim::WithCrc(prefix + std::string("\x07\x01", 2));
    if (index == 9 && block9++ == 0) // an old answer with another tag comes first
      return sim::WithCrc(prefix + std::string("\x55\x00", 2)) + meter->OwnAnswer(r);
    return std::nullopt;
  });
  auto q = MakeLoader("9");
  q->SetBlockSize(128);
  Run(*q);

  const std::vector<int> indexes = BlockIndexes(*meter);
  ASSERT_GE(indexes.size(), 12u);
  EXPECT_EQ(std::vector<int>(indexes.begin(), indexes.begin() + 11),
            (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 4, 5, 6, 7}));
  EXPECT_EQ(indexes.size(), 864u + 3u) << "one failure resends the three blocks of its page";
  EXPECT_EQ(q->Errors(), 1);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(meter->Memory().substr(0x5000), DumpMem[1]->Snapshot()->substr(0x5000));
}

TEST_F(LoaderTest, SeveralMetersOnOneLineOneAfterAnother)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto lat = line->AddMeter(MeterConfig::ForType(3, 7));
  auto lct = line->AddMeter(MeterConfig::ForType(4, 8));
  auto q = MakeLoader("7, 8");
  q->SetBlockSize(256);
  Run(*q);

  EXPECT_EQ(lat->LastTestModeByte(), 0x0B);
  EXPECT_EQ(lct->LastTestModeByte(), 0x10);
  EXPECT_EQ(lat->Memory().substr(0x5000), DumpMem[3]->Snapshot()->substr(0x5000));
  EXPECT_EQ(lct->Memory().substr(0x5000), DumpMem[4]->Snapshot()->substr(0x5000));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  int headlines = 0;
  for (const auto &l : LogLines(*q))
    headlines += l.find(texts::SAttention) != std::string::npos;
  EXPECT_EQ(headlines, 2) << "one log for the whole run, a headline per address";
}

TEST_F(LoaderTest, MeterWithTheImagesVersionIsLeftAloneUnlessItAsks)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  MeterConfig config = MeterConfig::ForType(2, 4);
  const std::string_view image = BuiltinImages()[2].UserData; // the version the image carries
  for (std::size_t i = 0; i < 3; ++i)
    config.Version[i] = static_cast<std::uint8_t>(image[0x5000 + i]);
  config.NeedsUpdate = false;
  auto meter = line->AddMeter(config);
  auto q = MakeLoader("4");
  Run(*q);
  EXPECT_EQ(meter->BlockWrites(), 0);
  EXPECT_TRUE(LogHas(*q, texts::SNotNeeded));
  EXPECT_EQ(q->StateText(), texts::SRunDone) << "its version equals the image's";

  std::atomic<bool> admin{true};
  SetAdminModeSource(&admin);
  Run(*q);
  SetAdminModeSource(nullptr);
  EXPECT_EQ(meter->BlockWrites(), 216) << "administrator mode writes it anyway";
}

TEST_F(LoaderTest, RaisedLineSpeedIsRestoredAfterTheRun)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  MeterConfig config = MeterConfig::ForType(0, 6);
  config.SpeedCode = 0x25; // the high bits are not part of the code sent back
  auto meter = line->AddMeter(config);
  std::atomic<unsigned> speed{0};
  std::atomic<int> parity{-1};
  std::atomic<TQuorlan *> loader{nullptr};
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (r.size() > 9 && r[5] == '\x07' && r[7] == '\x00' && r[8] == '\x03') { // while block 3 is written
      unsigned lineSpeed = 0, flags = 0;
      line->LineSettings(lineSpeed, flags);
      speed = lineSpeed;
      parity = loader.load()->FDevice->FInfo->GetParam(rpParity); // a pty may not keep the parity flag itself
    }
    return std::nullopt;
  });
  auto q = MakeLoader("6");
  loader = q.get();
  q->FMaxSpeed = true;
  Run(*q);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_EQ(speed, static_cast<unsigned>(B38400)) << "the run went at the raised speed";
  EXPECT_EQ(parity, platform::ODDPARITY) << "with odd parity";
  EXPECT_EQ(meter->SpeedCode(), 0x05) << "the meter got its own speed code back";
  EXPECT_EQ(q->FDevice->FInfo->GetParam(rpBaudRate), 9600);
  EXPECT_EQ(q->FDevice->FInfo->GetParam(rpParity), platform::NOPARITY);
  int raised = -1, reopened = -1, restored = -1, index = 0;
  for (const auto &r : meter->Requests()) {
    const std::string body = Hex(r).substr(2);
    if (body.rfind("031508", 0) == 0 && raised < 0)
      raised = index;
    if (r.find(std::string("\x01") + "582630") != std::string::npos)
      reopened = index;
    if (Hex(r).substr(10).rfind("031505", 0) == 0)
      restored = index;
    ++index;
  }
  EXPECT_GE(raised, 0);
  EXPECT_GT(reopened, raised);
  EXPECT_GT(restored, reopened) << "the channel is opened with the password before the speed is set back";
}

TEST_F(LoaderTest, MeterWithoutASpeedCodeKeepsThePortSpeed)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  MeterConfig config = MeterConfig::ForType(0, 6);
  config.SpeedCode = 0xFF;
  auto meter = line->AddMeter(config);
  auto q = MakeLoader("6");
  q->FMaxSpeed = true;
  Run(*q);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  for (const auto &r : meter->Requests())
    EXPECT_NE(Hex(r).substr(2 * protocol::PrefixLength(r), 4), "0315") << "no speed setting is sent";
}

TEST_F(LoaderTest, BroadcastAddressSkipsVersionDecisionAndTestModeEntry)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  MeterConfig config = MeterConfig::ForType(2, 12);
  config.StartsInTestMode = true;
  auto meter = line->AddMeter(config);
  auto q = MakeLoader("255");
  Run(*q);
  EXPECT_TRUE(meter->WholeImageWritten());
  EXPECT_EQ(meter->LastTestModeByte(), 0xFF) << "no test-mode entry was sent";
  EXPECT_EQ(q->VersionBefore(), "");
  EXPECT_EQ(q->VersionAfter(), "");
  EXPECT_EQ(q->StateText(), "???") << "no version is read after the write either";
  for (const auto &r : meter->Requests())
    EXPECT_NE(Hex(r).substr(0, 6), "FF0400") << "no date-code series before the probe";
}

TEST_F(LoaderTest, OperatorStopEndsTheRunAndLeavesTheRestOfTheList)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto first = line->AddMeter(MeterConfig::ForType(0, 1));
  auto second = line->AddMeter(MeterConfig::ForType(0, 2));
  auto q = MakeLoader("1,2");
  q->SetBlockSize(16);
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return first->BlockWrites() >= 10; }));
  q->OperatorStop();
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
  EXPECT_EQ(q->StateText(), texts::STestStopped);
  EXPECT_TRUE(second->Requests().empty());
  const auto lines = LogLines(*q);
  ASSERT_FALSE(lines.empty());
  const std::string stopLine = StopLineEnd();
  ASSERT_GE(lines.back().size(), stopLine.size());
  EXPECT_EQ(lines.back().substr(lines.back().size() - stopLine.size()), stopLine)
      << "the stop line ends with the blank before its empty verdict";
}

TEST_F(LoaderTest, FailingAddressesRunToTheEndOfTheList)
{
  auto line = SimLine::OpenPty(Dir / "", 1); // nobody answers
  std::string list;
  for (int a = 1; a <= 7; ++a)
    list += std::to_string(a) + ",";
  list += "8";
  auto q = MakeLoader(list);
  q->FDevice->FInfo->SetParam(rpAnswerTimeOut, 100); // nobody answers: every wait runs out
  q->FDevice->FInfo->SetParam(rpSystemTimeOut, 30);
  Run(*q);
  EXPECT_EQ(q->StateText(), "???");
  int failures = 0;
  for (const auto &l : LogLines(*q))
    failures += l.find(texts::SExtendedAddressFailed) != std::string::npos;
  EXPECT_EQ(failures, 8);
}

// However many addresses fail one after another, the start of the next one
// does not nest inside the stop of the last: each runs at the same depth of
// the loader's stack (the first may differ by the frame that the loop's own
// call takes). A meter still in test mode answers the probe, which moves
// the loader to ssRun in the middle of its start step; the state event,
// fired on the loader's own thread, shows where the stack stands.
TEST_F(LoaderTest, FailingAddressesStartAtTheSameDepthOfTheStack)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  std::vector<std::shared_ptr<sim::SimMeter>> meters;
  std::string list;
  for (std::uint8_t a = 1; a <= 3; ++a) {
    MeterConfig config = MeterConfig::ForType(0, a);
    config.AnswersExtendedAddress = false;
    config.StartsInTestMode = true;
    meters.push_back(line->AddMeter(config));
    meters.back()->FlipAnswerBit(std::string("\x08\x12", 2), 0, 0, 0); // the type cannot be read
    list += (list.empty() ? "" : ",") + std::to_string(a);
  }
  auto q = MakeLoader(list);
  TQuorlan *const loader = q.get();
  std::mutex lock;
  std::vector<std::uintptr_t> frames;
  q->FSynchronized = false;
  q->FOnStateChange = [&lock, &frames, loader] {
    if (loader->State() != ssRun)
      return;
    const std::lock_guard guard(lock);
    frames.push_back(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  };
  TMainThreadHook hook; // events fire only where the main thread can be woken
  Run(*q);

  EXPECT_EQ(q->StateText(), "???");
  int unknown = 0;
  for (const auto &l : LogLines(*q))
    unknown += l.find(texts::SUnknownDevice) != std::string::npos;
  EXPECT_EQ(unknown, 3);
  const std::lock_guard guard(lock);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2], frames[1]) << "the next address never starts inside the last one's stop";
}

TEST_F(LoaderTest, EmptyListMissingPortAndBadAddress)
{
  auto q = MakeLoader("");
  Run(*q);
  EXPECT_EQ(q->StateText(), texts::SNoAddresses);

  q->SetNetAdr("3,4");
  q->FDevice->FInfo->SetParam(rpPortNumber, 7); // no com7 in the folder
  Run(*q);
  EXPECT_TRUE(LogHas(*q, std::string(texts::SPortFailed) + " (No such file or directory)"));
  EXPECT_EQ(q->StateText(), "???") << "a port that does not open fails the run, it is no operator's stop";
  EXPECT_EQ(q->FDevice->FNetAddress, 3) << "the rest of the list is on the same port and is left";

  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  q->FDevice->FInfo->SetParam(rpPortNumber, 1);
  q->SetNetAdr("5,x,6");
  Run(*q);
  EXPECT_EQ(meter->BlockWrites(), 216);
  EXPECT_EQ(LogLines(*q).back(), texts::SBadAddress + std::string("x"));
  EXPECT_EQ(q->StateText(), texts::SBadAddressState) << "the run ends instead of starting the list again";

  // An address beyond 32 bits ends the run the same way, before any request
  // reaches the meter of its low 32 bits.
  const std::size_t requests = meter->Requests().size();
  q->SetNetAdr("4294967301");
  Run(*q);
  EXPECT_EQ(meter->Requests().size(), requests);
  EXPECT_EQ(LogLines(*q).back(), texts::SBadAddress + std::string("4294967301"));
  EXPECT_EQ(q->StateText(), texts::SBadAddressState);
}

TEST_F(LoaderTest, FreeingARunningLoaderEndsTheRunFirst)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto next = line->AddMeter(MeterConfig::ForType(0, 6));
  auto q = MakeLoader("5,6");
  q->SetBlockSize(16);
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return meter->BlockWrites() >= 5; }));
  q.reset();
  EXPECT_FALSE(meter->InTestMode()) << "the stop step closed the meter's channel";
  EXPECT_TRUE(next->Requests().empty()) << "a loader being freed goes on with no further address";
}

TEST_F(LoaderTest, UpdatesOneMeterThroughATcpGateway)
{
  auto gateway = SimLine::ListenTcp();
  MeterConfig config = MeterConfig::ForType(0, 44);
  config.ExtendedAddress = 300;
  auto meter = gateway->AddMeter(config);
  auto q = MakeLoader("300");
  q->FUseComPort = false;
  q->SetTcpHost("127.0.0.1");
  q->FTcpClient->Port = gateway->Port();
  q->FTcpClient->ReadTimeout = 2000; // waited out once, for the probe outside test mode
  Run(*q);
  EXPECT_EQ(meter->Memory().substr(0x5000), DumpMem[0]->Snapshot()->substr(0x5000));
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  EXPECT_TRUE(
      LogHas(*q, texts::SConnectionOpened + std::string("127.0.0.1:") + std::to_string(gateway->Port())));
  EXPECT_TRUE(LogHas(*q, texts::SConnectionClosed));
}

TEST_F(LoaderTest, BlockAnswersAcceptedRefusedAndMissing)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  std::map<int, int> seen;
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (r.size() < 11 || r[5] != '\x07')
      return std::nullopt;
    const int index = static_cast<unsigned char>(r[8]);
    const int count = seen[index]++;
    const std::string own = meter->OwnAnswer(r);
    std::string changed = own.substr(0, own.size() - 2);
    if (index == 1 && count == 0) { // status 3: accepted like 0
      changed[6] = '\x03';
      return sim::WithCrc(changed);
    }
    if (index == 2 && count == 0) { // status 2: refused
      changed[6] = '\x02';
      return sim::WithCrc(changed);
    }
    if (index == 3 && count == 0) // an old answer and nothing after it
      return sim::WithCrc(r.substr(0, 5) + std::string("\x77\x00", 2));
    return std::nullopt;
  });
  auto q = MakeLoader("5");
  ShortAnswerWait(*q);
  Run(*q);
  line.reset(); // the meter's thread has ended: its counts can be read
  EXPECT_EQ(seen[1], 1) << "status 3 is accepted";
  EXPECT_EQ(seen[2], 2) << "status 2 sends the page again";
  EXPECT_EQ(seen[3], 2) << "no answer after an old one sends the page again";
  EXPECT_EQ(q->Errors(), 2);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
}

TEST_F(LoaderTest, LinkTestFailingAfterTheWriteLeavesTheVersionUnread)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  meter->SetOverride([&](const std::string &r) -> std::optional<std::string> {
    if (r.size() == 8 && r[5] == '\x00' && meter->WholeImageWritten())
      return std::string(); // silent once written
    return std::nullopt;
  });
  auto q = MakeLoader("5");
  ShortAnswerWait(*q);
  Run(*q);
  EXPECT_EQ(q->VersionAfter(), "");
  EXPECT_FALSE(LogHas(*q, texts::SVersionUnread));
  EXPECT_FALSE(LogHas(*q, texts::SVersionMismatch));
  EXPECT_EQ(q->StateText(), "???");
}

TEST_F(LoaderTest, DateCodeSeriesPlainAndPacketAndTheAlertSequence)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  q->FDevice->FInfo->FAlertSequence = true;
  q->FPacketMode = true;
  q->FAlertWait = 50ms; // the purge after it must not catch the sequence still in the driver
  Run(*q);
  EXPECT_EQ(q->StateText(), texts::SRunDone);
  int alerts = 0, packets = 0;
  for (const auto &frame : line->Frames()) {
    alerts += frame == SAlertSequence;
    packets += frame[0] == '\x02';
  }
  EXPECT_EQ(alerts, 2) << "before the first request and in the stop step";
  EXPECT_EQ(packets, 2) << "one frame at the start, one in the stop step";
  for (const auto &r : meter->Requests())
    EXPECT_NE(Hex(r).substr(2, 4), "0400") << "no plain series in packet mode";

  // The meter took each frame's five records as requests: the start step's
  // with the configured address, the stop step's with the extended one.
  const auto records = meter->PacketRecords();
  ASSERT_EQ(records.size(), 10u);
  const auto now = platform::GetLocalTime();
  const std::string code = Hex(std::string(1, static_cast<char>(DateCodeOf(now.wYear, now.wMonth))));
  const std::string commands[] = {"0400", "0801", "0811" + code, "0803", "0800"};
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::string prefix = i < 5 ? "05" : "FC00A10005";
    EXPECT_TRUE(sim::CrcOk(records[i])) << "each record is a whole request";
    EXPECT_EQ(Hex(records[i]).substr(0, Hex(records[i]).size() - 4), prefix + commands[i % 5]) << i;
  }

  // The meter answers a frame with one answer frame that the program's codec
  // reads as complete, holding the plain answer to each record.
  TPacketString request;
  request.SetIdent("KelVar");
  request.FItems->push_back(sim::WithCrc(std::string("\x05\x08\x03", 3)));
  request.FItems->push_back(sim::WithCrc(std::string("\x05\x00", 2)));
  std::string frame;
  ASSERT_TRUE(request.Build(frame));
  const std::string answer =
      sim::AnswerPacket({std::make_shared<sim::SimMeter>(MeterConfig::ForType(0, 5))}, frame);
  TPacketString parsed(answer, false);
  EXPECT_TRUE(parsed.IsComplete());
  ASSERT_EQ(parsed.FItems->size(), 2u);
  const auto version = MeterConfig::OlderThanBuiltIn(0);
  EXPECT_EQ(Hex((*parsed.FItems)[0]),
            Hex(sim::WithCrc("\x05" + std::string(version.begin(), version.end()))));
  EXPECT_EQ(Hex((*parsed.FItems)[1]), Hex(sim::WithCrc(std::string("\x05\x00", 2))));

  EXPECT_EQ(DateCodeOf(2000, 1), 0);
  EXPECT_EQ(DateCodeOf(2021, 4), 255);
  EXPECT_EQ(DateCodeOf(2021, 5), 0) << "the month count wraps every 256 months";
  EXPECT_EQ(DateCodeOf(2026, 12), 67);
}

TEST_F(LoaderTest, StopWhileTheLastAddressEndsNeverStartsTheListAgain)
{
  auto line = SimLine::OpenPty(Dir / "", 1);
  auto meter = line->AddMeter(MeterConfig::ForType(0, 5));
  auto q = MakeLoader("5");
  // A remote STATUS=STOP (no operator-stop flag) that comes while the stop
  // step of the last address runs: sent when its first request arrives.
  std::atomic<bool> stopped{false};
  TQuorlan *const loader = q.get();
  meter->SetOverride([&, loader](const std::string &) -> std::optional<std::string> {
    if (!stopped && loader->StateText() == texts::SFinishing) {
      loader->Stop();
      stopped = true;
    }
    return std::nullopt;
  });
  q->Start();
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
  EXPECT_TRUE(stopped);
  EXPECT_EQ(meter->BlockWrites(), 216) << "the meter is written once";
  EXPECT_EQ(q->StateText(), texts::SRunDone);

  q->Stop(); // and to a loader that is idle
  ASSERT_TRUE(WaitUntil([&] { return q->State() == ssIdle; }));
  EXPECT_EQ(meter->BlockWrites(), 216);
  EXPECT_EQ(q->StateText(), texts::SRunDone) << "the row keeps the last result";
}
