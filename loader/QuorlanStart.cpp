// The start step of the update procedure: it takes the next address of the
// list, opens the link, identifies the meter, decides whether it needs the
// procedure, raises the line speed when asked to and switches the meter into
// test mode. Each part returns whether the address goes on; a part that ends
// it has already handed it to the stop step.
#include "loader/Quorlan.h"

#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "loader/MeterTypes.h"
#include "loader/ProcedureSupport.h"

#include <array>
#include <stdexcept>

namespace loader {

using namespace procedure;
using namespace protocol;
using namespace texts;

namespace {

// The byte m of the test-mode entry 03 0F 02 m 00, which names the test mode
// to enter: the KV-750LAT and the KV-750LCT each have one of their own, the
// other types the plain one.
constexpr char PlainTestMode = '\x00';
constexpr char TestModeLAT = '\x0B';
constexpr char TestModeLCT = '\x10';
constexpr std::array<char, MeterTypeCount> TestModeOfType{PlainTestMode, PlainTestMode, PlainTestMode,
                                                          TestModeLAT, TestModeLCT};

// The line speed of a raised COM link, with odd parity.
constexpr std::int32_t RaisedBaudRate = 38400;

} // namespace

void TQuorlan::StartStep()
{
  SetStopStepRuns(false);
  FStartPending = false;
  FLinkError.reset();
  BeginAddress();
  if (!TakeAddress())
    return;
  Announce();
  try {
    if (Identify() == TNext::Ended)
      return;
    if (FRun.Address != Prefix255 &&
        (Decide() == TNext::Ended || RaiseSpeed() == TNext::Ended || EnterTestMode() == TNext::Ended))
      return;
    CheckTestMode();
  } catch (const std::exception &) {
    EndOnError();
  }
}

bool TQuorlan::TakeAddress()
{
  if (FAddrIndex == -1) {
    AppendLog("");
    FFailedAddresses.clear();
    FLinkFailed = false;
  }
  std::int32_t count = 0;
  try {
    NextAddress(true, count, FRun.Address);
    FAddrCount = count;
  } catch (const std::invalid_argument &error) {
    // An address that is no number ends the run here: going on would start
    // the list from its first address again, without end.
    FAddrCount = count;
    AppendLog(SBadAddress + std::string(error.what()));
    FAddrIndex = -1;
    SetStateText(SBadAddressState);
    TThreadService::DoStop();
    return false;
  }
  if (FAddrCount == 0) {
    // The row keeps "no addresses" while idle; the text is in place before
    // the stop step lets the loader go idle, so nobody sees idle without it.
    FEndText = SNoAddresses;
    StopStep();
    return false;
  }
  if (FRun.Address.empty()) {
    // The list became shorter than the run's position: the run ends here,
    // and no request ever goes out without an address.
    TThreadService::DoStop();
    return false;
  }
  return true;
}

void TQuorlan::Announce()
{
  AppendLog(Format(STestStarting, TimeStamp().c_str(), static_cast<int>(FDevice->FNetAddress.load())));
  SetVersionBefore("");
  SetVersionAfter("");
  SetStateText(SStarting);
  // The operator-stop flag was cleared when the run was started, and a
  // flag that is set ends the run in the verdict: set now, it is a stop
  // the operator gave since, which must not be lost here.
  if (Terminated())
    FStopRequested = true; // a loader being freed stays stopped
}

bool TQuorlan::StartCut()
{
  if (FLinkError) {
    EndOnError();
    return true;
  }
  if (!StopAsked())
    return false;
  StopStep(!FRun.Touched);
  return true;
}

TQuorlan::TNext TQuorlan::EndAddress(const char *Text, const std::string &Prefix)
{
  if (FLinkError) // the failed request broke the link: that is the reason
    return EndOnError();
  if (ExchangeCut() && StopAsked()) { // the stop cut the request short
    StopStep(!FRun.Touched);
    return TNext::Ended;
  }
  AppendLog(Text);
  CloseChannel(Prefix);
  if (FLinkError)
    return EndOnError();
  StopStep();
  return TNext::Ended;
}

TQuorlan::TNext TQuorlan::EndOnError()
{
  if (const std::optional<std::string> reason = TakeLinkError())
    AppendLog(SLinkError + *reason);
  AppendLog(SStartError);
  CloseChannel(FRun.Address);
  StopStep();
  return TNext::Ended;
}

TQuorlan::TNext TQuorlan::Identify()
{
  if (OpenLink() == TNext::Ended || FindAddress() == TNext::Ended || StartCut())
    return TNext::Ended;
  return ReadType();
}

TQuorlan::TNext TQuorlan::OpenLink()
{
  if (!IsLinkActive())
    SetLinkActive(true);
  if (!IsLinkActive()) {
    // This address fails, and with it the run: the rest of the list is
    // on the same link. No operator stopped it, so the verdict is "???".
    AppendLog(SPortFailed + PortFailure());
    FLinkFailed = true;
    StopStep();
    return TNext::Ended;
  }
  if (StartCut())
    return TNext::Ended;
  FRun.Prefix = FRun.Address;
  FDevice->FLogEnabled = false;
  if (FDevice->FInfo->FAlertSequence)
    SendAlertSequence();
  FDevice->Purge();
  return TNext::GoOn;
}

TQuorlan::TNext TQuorlan::FindAddress()
{
  const std::string &P = FRun.Address;
  std::string a;
  if (P.size() != ShortPrefixLength || P == Prefix255) {
    // Extended and 255: the prefix stays; a meter that answers the probe
    // is in test mode still, from an earlier run.
    if (Exchange(Request(P, CmdProbe), static_cast<std::int32_t>(P.size() + 3), a))
      AppendLog(Format(STestRunning, TimeStamp().c_str()));
    else
      SendDateCodeSeries(P);
    return TNext::GoOn;
  }
  SendDateCodeSeries(P);
  if (StartCut())
    return TNext::Ended;
  if (ExchangeData(Request(P, CmdExtendedAddress), 7, a) && a.size() == 7) {
    FRun.Prefix = WidePrefix(a.substr(1, 4));
    AppendLog(SExtendedAddress + StrToHex(a.substr(1, 4), ""));
    return TNext::GoOn;
  }
  if (StartCut())
    return TNext::Ended;
  // No extended address: the meter keeps its one-byte prefix when it
  // answers the probe, and the run counts as begun from here.
  if (!Exchange(Request(P, CmdProbe), 4, a))
    return EndAddress(SExtendedAddressFailed, P);
  TThreadService::DoStart();
  return TNext::GoOn;
}

TQuorlan::TNext TQuorlan::ReadType()
{
  const std::string &P = FRun.Address;
  AppendLog(SReadingType);
  const std::int32_t type = ReadMeterType(P);
  FMeterType = type;
  if (type < 0 || type >= MeterTypeCount)
    return EndAddress(SUnknownDevice, P);
  AppendLog(SMeterUnderTest + std::string(MeterTypeNames[type]));
  const TExtDumpMem *image = DumpMem[static_cast<std::size_t>(type)].get();
  if (!image)
    throw std::logic_error("no image for the meter type");
  FRun.Image = image->Snapshot();
  FRun.ImageWriteStart = image->FWriteStart;
  return TNext::GoOn;
}

TQuorlan::TNext TQuorlan::Decide()
{
  const std::string &P = FRun.Address;
  const std::size_t L = P.size();
  if (StartCut())
    return TNext::Ended;
  std::string a;
  // A version that cannot be read is no reason to leave the meter.
  if (!ExchangeData(Request(P, CmdVersion), static_cast<std::int32_t>(L + 5), a) || a.size() <= L + 3)
    return TNext::GoOn;
  const std::string version = StrToHex(a.substr(a.size() - 5, 3), ".");
  SetVersionBefore(version);
  AppendLog(SVersionBefore + version);
  if (AdminMode() || version != ImageVersions[FMeterType])
    return TNext::GoOn;
  // The meter has the image's version already: its status word tells
  // whether it needs the procedure all the same.
  if (StartCut())
    return TNext::Ended;
  AppendLog(SReadingStatus);
  if (!ExchangeData(Request(P, CmdStatusWord), static_cast<std::int32_t>(L + 7), a))
    return EndAddress(SNoAnswer, P);
  if (!(At(a, L + 1) & 0x01))
    return EndAddress(SNotNeeded, P);
  return TNext::GoOn;
}

TQuorlan::TNext TQuorlan::RaiseSpeed()
{
  FRun.SpeedCode = 0xFF;
  if (StartCut())
    return TNext::Ended;
  if (!FMaxSpeed || !FUseComPort)
    return TNext::GoOn;
  const std::string &P = FRun.Address;
  const std::size_t L = P.size();
  std::string a;
  // A meter that names no speed code of its own (0xFF) could not be given
  // its speed back after the run: its speed is left alone.
  if (ExchangeData(Request(P, CmdSpeedCode), -1, a) && a.size() == L + 4 && At(a, L) != 0xFF) {
    FRun.SpeedCode = At(a, L);
    FRun.Touched = true; // the meter may have taken the new speed
    if (!Exchange(Request(P, std::string(CmdSetSpeed) + RaisedSpeedCode), -1, a))
      FRun.SpeedCode = 0xFF;
  }
  if (FRun.SpeedCode != 0xFF) {
    SetLinkActive(false);
    FRun.SavedBaudRate = FDevice->FInfo->GetParam(rpBaudRate);
    FRun.SavedParity = FDevice->FInfo->GetParam(rpParity);
    FDevice->FInfo->SetParam(rpParity, platform::ODDPARITY);
    FDevice->FInfo->SetParam(rpBaudRate, RaisedBaudRate);
    SetLinkActive(true); // a port that does not open shows in the next request
    if (!IsLinkActive())
      AppendLog(SPortFailed + PortFailure());
  }
  return TNext::GoOn;
}

TQuorlan::TNext TQuorlan::EnterTestMode()
{
  if (StartCut())
    return TNext::Ended;
  FRun.Touched = true;
  const std::string &P = FRun.Address;
  const char mode = TestModeOfType[static_cast<std::size_t>(FMeterType.load())];
  std::string a;
  if (!Exchange(Request(P, std::string(CmdTestMode) + mode + '\x00'), -1, a))
    return EndAddress(SNoAnswer, P);
  Wait(FTestModeWait);
  return TNext::GoOn;
}

void TQuorlan::CheckTestMode()
{
  if (StartCut())
    return;
  std::string a;
  if (!Exchange(Request(FRun.Prefix, CmdLinkTest), static_cast<std::int32_t>(FRun.Prefix.size() + 3), a)) {
    EndAddress(SNoAnswerInTest, FRun.Prefix);
    return;
  }
  AppendLog(Format(STestRunning, TimeStamp().c_str()));
  TThreadService::DoStart();
}

} // namespace loader
