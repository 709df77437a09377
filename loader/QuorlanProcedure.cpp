// The update procedure: the start step (QuorlanStart.cpp) identifies the
// meter of the next address and switches it into test mode, the run step
// writes one block of the image per pass, the stop step reads the version
// again, gives the verdict and moves on to the next address or ends the run.
// Here are the steps as the service loop calls them, and the run and stop
// steps themselves.
#include "loader/Quorlan.h"

#include "link/MeterProtocol.h"
#include "link/UnExtlibs.h"
#include "loader/LoaderTexts.h"
#include "loader/MeterTypes.h"
#include "loader/ProcedureSupport.h"
#include "platform/Clock.h"
#include "platform/NumberFormat.h"

#include <algorithm>
#include <chrono>

namespace loader {

using namespace procedure;
using namespace protocol;
using namespace texts;

template <class Step> void TQuorlan::Outermost(Step step)
{
  if (FStepDepth > 0) {
    step();
    return;
  }
  struct TDepth {
    int &Depth;
    bool &Due;
    explicit TDepth(int &d, bool &due) : Depth(d), Due(due) { ++Depth; }
    ~TDepth()
    {
      --Depth;
      Due = false;
    }
  } depth(FStepDepth, FStartDue);
  step();
  // A stop step that ended an address with more to follow marked the next
  // start due: it runs here, one after another, never nested in that stop.
  while (FStartDue) {
    FStartDue = false;
    StartStep();
  }
}

void TQuorlan::DoStart()
{
  FNextPassDelay = std::chrono::nanoseconds(0);
  // Hundreds of loaders may write at once; the window must stay responsive
  // all the same, so their threads give way to the main thread.
  if (!FPriorityLowered) {
    platform::LowerCurrentThreadPriority();
    FPriorityLowered = true;
  }
  Outermost([this] { StartStep(); });
  LetGoOfLinkHold(); // a run that ended before its link was asked to open
}

void TQuorlan::DoRun()
{
  FNextPassDelay = std::chrono::nanoseconds(0);
  Outermost([this] { RunStep(); });
}

std::chrono::nanoseconds TQuorlan::PassDelay() const
{
  return FNextPassDelay > std::chrono::nanoseconds(0) ? FNextPassDelay : TThreadService::PassDelay();
}

bool TQuorlan::StopAsked() { return FStopRequested || Terminated() || StopCommanded(); }

bool TQuorlan::SeriesCut() { return FLinkError || (FInStopStep ? MeterGone() : StopAsked()); }

std::chrono::milliseconds TQuorlan::AnswerTimeOut() const
{
  return std::chrono::milliseconds(FUseComPort ? FDevice->FInfo->GetParam(rpAnswerTimeOut)
                                               : FTcpClient->ReadTimeout.load());
}

void TQuorlan::DoStop()
{
  FNextPassDelay = std::chrono::nanoseconds(0);
  LetGoOfLinkHold(); // stopped before the start step asked for the link
  // The operator stopped a run before its first address began: the run ends
  // with the verdict of a stopped run, in a log of its own.
  if (FStartPending.exchange(false) && FStopRequested) {
    AppendLog("");
    Outermost([this] { StopStep(); });
    return;
  }
  // Any other stop with no run in progress (a Stop that came while the last
  // address was ending, or to a loader that has just gone idle) only goes
  // idle: the verdict would otherwise take it for an address with more to
  // follow and start the list again.
  if (FAddrIndex == -1 && !IsLinkActive()) {
    TThreadService::DoStop();
    return;
  }
  Outermost([this] { StopStep(); });
}

void TQuorlan::BeginAddress()
{
  FRun = TAddressRun{};
  FRun.BlockSize = FBlockSize;
  FRun.AbortsAtStart = FExchangeAborts;
  FMeterType = -1;
  FErrors = 0;
  FRunStart = platform::MonotonicMilliseconds();
}

void TQuorlan::RunStep()
{
  FLinkError.reset();
  ShowProgress();
  try {
    if (!IsLinkActive()) {
      AwaitLink();
      return;
    }
    FRun.StallSince = -1;
    const std::int32_t offset = FRun.BlockIndex * FRun.BlockSize + FRun.ImageWriteStart;
    if (FStopRequested || Terminated() || ImageSize() - offset <= 0) {
      StopStep();
      return;
    }
    WriteBlock(offset);
  } catch (const std::exception &error) {
    WriteBroke(error.what());
  }
}

void TQuorlan::WriteBroke(const std::string &Reason)
{
  // The link broke under the write (the connection lost or reset): the
  // log says why, and this meter ends as one that was not updated.
  ++FErrors;
  AppendLog(SLinkError + Reason);
  StopStep();
}

std::int32_t TQuorlan::ImageSize() const
{
  return FRun.Image ? static_cast<std::int32_t>(FRun.Image->size()) : 0;
}

void TQuorlan::ShowProgress()
{
  const std::int32_t total = ImageSize() - FRun.ImageWriteStart;
  const float percent =
      total > 0 ? static_cast<float>(static_cast<double>(FRun.BlockIndex) * FRun.BlockSize * 100.0 / total)
                : 100.0f;
  SetStateText(SProgress + platform::FormatFixed2(percent) + "%)");
}

void TQuorlan::AwaitLink()
{
  // Nothing here opens the link again: after a while the meter is given
  // up. Meanwhile the passes come at a calm pace.
  const std::int64_t now = platform::MonotonicMilliseconds();
  if (FRun.StallSince < 0)
    FRun.StallSince = now;
  if (now - FRun.StallSince >= FLinkStallLimit.count()) {
    AppendLog(SLinkInactive);
    StopStep();
    return;
  }
  FNextPassDelay = std::chrono::milliseconds(std::min<std::int64_t>(100, FLinkStallLimit.count()));
}

void TQuorlan::WriteBlock(std::int32_t Offset)
{
  const std::int32_t blockSize = FRun.BlockSize;
  const std::int32_t index = FRun.BlockIndex;
  const auto high = static_cast<std::uint8_t>(index >> 8);
  const auto low = static_cast<std::uint8_t>(index);
  const auto tag = static_cast<std::uint8_t>((high ^ low) + 1);
  std::string command(CmdBlockWrite);
  command += {static_cast<char>(high), static_cast<char>(low), static_cast<char>(512 / blockSize),
              static_cast<char>(tag)};
  command += FRun.Image->substr(static_cast<std::size_t>(Offset), static_cast<std::size_t>(blockSize));

  const std::size_t L = FRun.Prefix.size();
  const auto expected = static_cast<std::int32_t>(L + 4);
  const auto sent = std::chrono::steady_clock::now();
  std::string a;
  bool answered = Exchange(Request(FRun.Prefix, command), expected, a);
  // An answer of the right length with another tag belongs to an earlier
  // request: the answer to this one may follow. Each earlier request left
  // at most one such answer, and fewer than MaxFailedWrites of them failed
  // in a row before this one, so a line that sends more is noise.
  for (int late = 0; answered && a.size() == L + 4 && At(a, L) != tag; ++late)
    answered = late < MaxFailedWrites && ReceiveAnswer(expected, a);
  if (const std::optional<std::string> reason = TakeLinkError()) {
    WriteBroke(*reason);
    return;
  }
  if (!answered && ExchangeCut())
    return; // a stop cut the write short: its step follows, and no failure counts
  // A block counts as written only on an answer whose checksum holds: a
  // refusal spoiled on the line into an acceptance would otherwise leave a
  // gap in the meter's memory. Sending the page again costs nothing.
  const std::uint8_t status = At(a, L + 1);
  if (answered && a.size() == L + 4 && TestCheckSum(a, ctCrc16) && At(a, L) == tag &&
      (status == 0 || status == 3)) {
    ++FRun.BlockIndex;
    FRun.FailedWrites = 0;
    return;
  }
  BlockFailed(a.empty(), sent);
}

void TQuorlan::BlockFailed(bool Silent, std::chrono::steady_clock::time_point Sent)
{
  const std::int32_t blockSize = FRun.BlockSize;
  FRun.BlockIndex = ((FRun.BlockIndex * blockSize) & ~511) / blockSize;
  ++FErrors;
  if (++FRun.FailedWrites >= MaxFailedWrites) {
    AppendLog(Format(SMeterGone, static_cast<int>(FRun.FailedWrites)));
    StopStep();
    return;
  }
  const std::int32_t page = FRun.BlockIndex * blockSize / 512;
  FRun.PageResends = page == FRun.ResentPage ? FRun.PageResends + 1 : 1;
  FRun.ResentPage = page;
  if (FRun.PageResends >= MaxPageResends) {
    AppendLog(Format(SPageNotWritten, static_cast<int>(FRun.PageResends)));
    StopStep();
    return;
  }
  // A link that fails at once, without a byte back (a closed port, a
  // refused write), is tried again no faster than a meter could answer.
  if (Silent) {
    const auto pace = std::min(AnswerTimeOut(), std::chrono::milliseconds(1000));
    const auto took = std::chrono::steady_clock::now() - Sent;
    if (took < pace)
      FNextPassDelay = pace - took;
  }
}

void TQuorlan::StopLinkPart()
{
  if (!IsLinkActive())
    return;
  struct TInStopStep {
    bool &Flag;
    explicit TInStopStep(bool &f) : Flag(f) { Flag = true; }
    ~TInStopStep() { Flag = false; }
  } inStopStep(FInStopStep);
  // A TCP link that breaks under a request ends the part there.
  FSilentInARow = 0;
  CloseChannel(FRun.Prefix);
  if (FLinkError)
    return;
  FCloseSilent = FSilentInARow > 0;
  Wait(FCloseWait);
  if (FDevice->FInfo->FAlertSequence)
    SendAlertSequence();
  FDevice->Purge();
  if (FRun.Prefix != Prefix255)
    ReadVersionAfter();
  if (!FLinkError && FRun.SpeedCode != 0xFF && !MeterGone())
    RestoreMeterSpeed();
  if (!FLinkError && !MeterGone())
    CloseChannel(FRun.Prefix);
  if (!FLinkError)
    SetLinkActive(false);
}

void TQuorlan::ReadVersionAfter()
{
  SendDateCodeSeries(FRun.Prefix);
  if (FLinkError || MeterGone() || !TestLink(FRun.Prefix))
    return;
  const std::size_t L = FRun.Prefix.size();
  std::string a;
  if (!ExchangeData(Request(FRun.Prefix, CmdVersion), -1, a) || a.size() != L + 5) {
    if (FLinkError)
      return;
    SetVersionAfter(SCannotRead);
    AppendLog(SVersionUnread);
    return;
  }
  const std::string version = StrToHex(a.substr(L, 3), ".");
  SetVersionAfter(version);
  const std::int32_t type = FMeterType;
  if (type >= 0 && type < MeterTypeCount && version == ImageVersions[type]) {
    AppendLog(SVersionAfter + version);
    AppendLog(Format(STestFinished, TimeStamp().c_str(), SSuccessfully));
  } else {
    AppendLog(SVersionMismatch);
  }
}

void TQuorlan::RestoreMeterSpeed()
{
  std::string a;
  FRun.SpeedCode &= 0x1F;
  Exchange(Request(FRun.Prefix, std::string(CmdOpenChannel) + ChannelPassword), -1, a);
  if (!FLinkError)
    Exchange(Request(FRun.Prefix, std::string(CmdSetSpeed) + static_cast<char>(FRun.SpeedCode)), -1, a);
  if (FLinkError)
    return;
  SetLinkActive(false);
  FDevice->FInfo->SetParam(rpParity, FRun.SavedParity);
  FDevice->FInfo->SetParam(rpBaudRate, FRun.SavedBaudRate);
  FRun.SpeedCode = 0xFF;
  SetLinkActive(true);
}

void TQuorlan::StopStep(bool Untouched)
{
  SetStopStepRuns(true);
  FLinkError.reset(); // a break under the step before ended with that step
  SetStateText(SFinishing);
  LeaveMeter(Untouched);
  if (FRun.SpeedCode != 0xFF) {
    // The link closed before the speed could be restored: the port at
    // least gets its own settings back for the next address, and the log
    // says that the meter may still run at the raised speed.
    FDevice->FInfo->SetParam(rpParity, FRun.SavedParity);
    FDevice->FInfo->SetParam(rpBaudRate, FRun.SavedBaudRate);
    FRun.SpeedCode = 0xFF;
    AppendLog(SSpeedNotRestored);
  }
  Verdict();
}

void TQuorlan::LeaveMeter(bool Untouched)
{
  std::optional<std::string> failure;
  try {
    if (Untouched)
      SetLinkActive(false);
    else
      StopLinkPart();
    failure = TakeLinkError();
  } catch (const std::exception &error) {
    FLinkError.reset();
    failure = error.what();
  }
  if (!failure)
    return;
  // The link failed under the stop step: the address still ends here,
  // with the link closed and the port's own speed back.
  AppendLog(SStopError + *failure);
  try {
    SetLinkActive(false);
  } catch (const std::exception &) {
  }
}

void TQuorlan::Verdict()
{
  // The text a run that ends now leaves in the row, when the start step
  // has named one; the verdict's own text otherwise.
  const std::string endText = std::move(FEndText);
  FEndText.clear();
  const auto endWith = [&](const std::string &verdict) { SetStateText(endText.empty() ? verdict : endText); };

  // A Stop that came while this address was ending is spent on it: the
  // run goes on with the next address as if it had not come. The operator's
  // stop sets its flag before its Stop, so the flag is read after this.
  TakeStopCommand();
  NoteFailedAddresses();
  if (FStopRequested || Terminated()) {
    AppendLog(Format(STestFinished, TimeStamp().c_str(), ""));
    FAddrIndex = -1;
    endWith(STestStopped);
    TThreadService::DoStop();
  } else if (FAddrCount - 1 > FAddrIndex && !FLinkFailed) {
    SetStateText(SMeterDone);
    FStartDue = true;
  } else {
    // The row's verdict covers every address of the run, and a run that
    // leaves any meter behind ends its log with their addresses.
    FAddrIndex = -1;
    if (!FFailedAddresses.empty()) {
      std::string list;
      for (const std::string &address : FFailedAddresses)
        list += (list.empty() ? "" : ", ") + address;
      AppendLog(SFailedAddresses + list);
    }
    endWith(FFailedAddresses.empty() ? SRunDone : "???");
    TThreadService::DoStop();
  }
}

void TQuorlan::NoteFailedAddresses()
{
  const std::int32_t type = FMeterType;
  const bool updated = type >= 0 && type < MeterTypeCount && VersionAfter() == ImageVersions[type];
  if (FAddrIndex < 0 || updated)
    return;
  FFailedAddresses.push_back(std::to_string(static_cast<std::uint32_t>(FDevice->FNetAddress.load())));
  // A link that did not open leaves the rest of the list as it was.
  if (FLinkFailed)
    for (std::string &address : AddressesAfterCurrent())
      FFailedAddresses.push_back(std::move(address));
}

} // namespace loader
