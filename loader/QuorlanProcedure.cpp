// The update procedure: the start step identifies the meter of the next
// address and switches it into test mode, the run step writes one block of
// the image per pass, the stop step reads the version again, gives the
// verdict and moves on to the next address or ends the run.
#include "loader/Quorlan.h"

#include "link/UnExtlibs.h"
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "loader/MeterTypes.h"
#include "platform/Clock.h"
#include "platform/NumberFormat.h"
#include "platform/TcpClient.h"
#include "platform/TextFormat.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace loader {

using namespace texts;

namespace {

std::uint8_t At(const std::string &s, std::size_t i) { return i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0; }

std::string TimeStamp() { return TimeToStrMs(platform::GetLocalTime()); }

// A log line from one of the procedure's formats ("%s", "%d").
using platform::Format;

const std::string CmdExtendedAddress("\x08\x05\x01", 3);
const std::string CmdProbe("\x08\xFF", 2);
const std::string CmdVersion("\x08\x03", 2);
const std::string CmdStatusWord("\x08\x0A", 2);
const std::string CmdSpeedCode("\x08\x17\x00", 3);
const std::string CmdSpeedHigh("\x03\x15\x08", 3);
const std::string CmdLinkTest("\x00", 1);
const std::string CmdOpenChannel = std::string("\x01", 1) + "582630";

} // namespace

template <class Step>
void TQuorlan::Outermost(Step step)
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

bool TQuorlan::SeriesCut() { return FInStopStep ? MeterGone() : StopAsked(); }

std::chrono::milliseconds TQuorlan::AnswerTimeOut() const
{
  return std::chrono::milliseconds(FUseComPort ? FDevice->FInfo->GetParam(rpAnswerTimeOut) : FTcpClient->ReadTimeout.load());
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

void TQuorlan::StartStep()
{
  struct TNesting {
    std::atomic<int> &Depth, &Deepest;
    TNesting(std::atomic<int> &d, std::atomic<int> &m) : Depth(d), Deepest(m)
    {
      if (++Depth > Deepest)
        Deepest = Depth.load();
    }
    ~TNesting() { --Depth; }
  } nesting(FStartNesting, FDeepestStart);

  FStartPending = false;
  FMeterType = -1;
  FImage.reset();
  FErrors = 0;
  FRunStart = platform::MonotonicMilliseconds();
  FSpeedCode = 0xFF;
  FFailedWrites = 0;
  FResentPage = -1;
  FPageResends = 0;
  FStallSince = -1;

  if (FAddrIndex == -1) {
    AppendLog("");
    FFailedAddresses.clear();
    FLinkFailed = false;
  }
  std::int32_t count = 0;
  std::string P;
  try {
    NextAddress(true, count, P);
    FAddrCount = count;
  } catch (const std::invalid_argument &error) {
    // An address that is no number ends the run here: going on would start
    // the list from its first address again, without end.
    FAddrCount = count;
    AppendLog(SBadAddress + std::string(error.what()));
    FAddrIndex = -1;
    SetStateText(SBadAddressState);
    TThreadService::DoStop();
    return;
  }
  if (FAddrCount == 0) {
    // The row keeps "no addresses" while idle; the text is in place before
    // the stop step lets the loader go idle, so nobody sees idle without it.
    FEndText = SNoAddresses;
    StopStep();
    return;
  }
  if (P.empty()) {
    // The list became shorter than the run's position: the run ends here,
    // and no request ever goes out without an address.
    TThreadService::DoStop();
    return;
  }

  AppendLog(Format(STestStarting, TimeStamp().c_str(), static_cast<int>(FDevice->FNetAddress.load())));
  SetVersionBefore("");
  SetVersionAfter("");
  SetStateText(SStarting);
  FBlockIndex = 0;
  FRunBlockSize = FBlockSize;
  // The operator-stop flag was cleared when the run was started, and a
  // flag that is set ends the run in the verdict: set now, it is a stop
  // the operator gave since, which must not be lost here.
  if (Terminated())
    FStopRequested = true; // a loader being freed stays stopped

  const std::size_t L = P.size();
  std::string a;
  // Until the meter is in test mode or runs at a raised speed, nothing in it
  // needs undoing: a stop asked for meanwhile ends the address at once.
  bool touched = false;
  const auto stopped = [&] {
    if (!StopAsked())
      return false;
    StopStep(!touched);
    return true;
  };
  try {
    if (!IsLinkActive())
      SetLinkActive(true);
    if (!IsLinkActive()) {
      // This address fails, and with it the run: the rest of the list is
      // on the same link. No operator stopped it, so the verdict is "???".
      AppendLog(SPortFailed);
      FLinkFailed = true;
      StopStep();
      return;
    }
    if (stopped())
      return;

    FAddrPrefix = P;
    FDevice->FLogEnabled = false;
    if (FDevice->FInfo->FAlertSequence)
      SendAlertSequence();
    FDevice->Purge();

    if (L == 1 && At(P, 0) != 0xFF) {
      SendDateCodeSeries(P);
      if (stopped())
        return;
      if (ExchangeData(Request(P, CmdExtendedAddress), 7, a) && a.size() == 7) {
        FAddrPrefix = '\xFC' + a.substr(1, 4);
        AppendLog(SExtendedAddress + StrToHex(a.substr(1, 4), ""));
      } else {
        if (stopped())
          return;
        if (!Exchange(Request(P, CmdProbe), 4, a)) {
          AppendLog(SExtendedAddressFailed);
          CloseChannel(P);
          StopStep();
          return;
        }
        FAddrPrefix = P;
        TThreadService::DoStart();
      }
    } else {
      FAddrPrefix = P;
      if (Exchange(Request(P, CmdProbe), static_cast<std::int32_t>(L + 3), a))
        AppendLog(Format(STestRunning, TimeStamp().c_str()));
      else
        SendDateCodeSeries(P);
    }

    if (stopped())
      return;
    AppendLog(SReadingType);
    const std::int32_t type = ReadMeterType(P);
    FMeterType = type;
    if (type < 0 || type >= MeterTypeCount) {
      AppendLog(SUnknownDevice);
      CloseChannel(P);
      StopStep();
      return;
    }
    AppendLog(SMeterUnderTest + std::string(MeterTypeNames[type]));
    const TExtDumpMem *image = DumpMem[static_cast<std::size_t>(type)].get();
    if (!image)
      throw std::logic_error("no image for the meter type");
    FImage = image->Snapshot();
    FImageWriteStart = image->FWriteStart;
    const char m = type == 3 ? '\x0B' : type == 4 ? '\x10' : '\x00';

    if (P != std::string(1, '\xFF')) {
      if (stopped())
        return;
      if (ExchangeData(Request(P, CmdVersion), static_cast<std::int32_t>(L + 5), a) && a.size() > L + 3) {
        const std::string version = StrToHex(a.substr(a.size() - 5, 3), ".");
        SetVersionBefore(version);
        AppendLog(SVersionBefore + version);
        if (!AdminMode() && version == ImageVersions[type]) {
          if (stopped())
            return;
          AppendLog(SReadingStatus);
          if (!ExchangeData(Request(P, CmdStatusWord), static_cast<std::int32_t>(L + 7), a)) {
            AppendLog(SNoAnswer);
            CloseChannel(P);
            StopStep();
            return;
          }
          if (!(At(a, L + 1) & 0x01)) {
            AppendLog(SNotNeeded);
            CloseChannel(P);
            StopStep();
            return;
          }
        }
      }

      FSpeedCode = 0xFF;
      if (stopped())
        return;
      if (FMaxSpeed && FUseComPort) {
        // A meter that names no speed code of its own (0xFF) could not be
        // given its speed back after the run: its speed is left alone.
        if (ExchangeData(Request(P, CmdSpeedCode), -1, a) && a.size() == L + 4 && At(a, L) != 0xFF) {
          FSpeedCode = At(a, L);
          touched = true; // the meter may have taken the new speed
          if (!Exchange(Request(P, CmdSpeedHigh), -1, a))
            FSpeedCode = 0xFF;
        }
        if (FSpeedCode != 0xFF) {
          SetLinkActive(false);
          FSavedBaudRate = FDevice->FInfo->GetParam(rpBaudRate);
          FSavedParity = FDevice->FInfo->GetParam(rpParity);
          FDevice->FInfo->SetParam(rpParity, platform::ODDPARITY);
          FDevice->FInfo->SetParam(rpBaudRate, 38400);
          SetLinkActive(true);
        }
      }

      if (stopped())
        return;
      touched = true;
      if (!Exchange(Request(P, std::string("\x03\x0F\x02", 3) + m + '\x00'), -1, a)) {
        AppendLog(SNoAnswer);
        CloseChannel(P);
        StopStep();
        return;
      }
      Wait(FTestModeWait);
    }

    if (stopped())
      return;
    if (!Exchange(Request(FAddrPrefix, CmdLinkTest), static_cast<std::int32_t>(FAddrPrefix.size() + 3), a)) {
      AppendLog(SNoAnswerInTest);
      CloseChannel(FAddrPrefix);
      StopStep();
      return;
    }
    AppendLog(Format(STestRunning, TimeStamp().c_str()));
    TThreadService::DoStart();
  } catch (const std::exception &error) {
    if (dynamic_cast<const platform::TcpError *>(&error))
      AppendLog(SLinkError + std::string(error.what()));
    AppendLog(SStartError);
    CloseChannel(P);
    StopStep();
  }
}

void TQuorlan::RunStep()
{
  const std::int32_t size = FImage ? static_cast<std::int32_t>(FImage->size()) : 0;
  const std::int32_t blockSize = FRunBlockSize;
  const std::int32_t total = size - FImageWriteStart;
  const float percent =
      total > 0 ? static_cast<float>(static_cast<double>(FBlockIndex) * blockSize * 100.0 / total) : 100.0f;
  SetStateText(SProgress + platform::FormatFixed2(percent) + "%)");

  try {
    if (!IsLinkActive()) {
      // Nothing here opens the link again: after a while the meter is given
      // up. Meanwhile the passes come at a calm pace.
      const std::int64_t now = platform::MonotonicMilliseconds();
      if (FStallSince < 0)
        FStallSince = now;
      if (now - FStallSince >= FLinkStallLimit.count()) {
        AppendLog(SLinkInactive);
        StopStep();
        return;
      }
      FNextPassDelay = std::chrono::milliseconds(std::min<std::int64_t>(100, FLinkStallLimit.count()));
      return;
    }
    FStallSince = -1;
    const std::int32_t index = FBlockIndex;
    const std::int32_t offset = index * blockSize + FImageWriteStart;
    if (FStopRequested || Terminated() || size - offset <= 0) {
      StopStep();
      return;
    }

    const auto high = static_cast<std::uint8_t>(index >> 8);
    const auto low = static_cast<std::uint8_t>(index);
    const auto tag = static_cast<std::uint8_t>((high ^ low) + 1);
    std::string command = {'\x07', '\x04', static_cast<char>(high), static_cast<char>(low),
                           static_cast<char>(512 / blockSize), static_cast<char>(tag)};
    command += FImage->substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(blockSize));

    const std::size_t L = FAddrPrefix.size();
    const auto expected = static_cast<std::int32_t>(L + 4);
    const auto sent = std::chrono::steady_clock::now();
    std::string a;
    bool answered = Exchange(Request(FAddrPrefix, command), expected, a);
    // An answer of the right length with another tag belongs to an earlier
    // request: the answer to this one may follow. Each earlier request left
    // at most one such answer, and fewer than MaxFailedWrites of them failed
    // in a row before this one, so a line that sends more is noise.
    for (int late = 0; answered && a.size() == L + 4 && At(a, L) != tag; ++late)
      answered = late < MaxFailedWrites && ReceiveAnswer(expected, a);
    // A block counts as written only on an answer whose checksum holds: a
    // refusal spoiled on the line into an acceptance would otherwise leave a
    // gap in the meter's memory. Sending the page again costs nothing.
    const std::uint8_t status = At(a, L + 1);
    if (answered && a.size() == L + 4 && TestCheckSum(a, ctCrc16) && At(a, L) == tag && (status == 0 || status == 3)) {
      ++FBlockIndex;
      FFailedWrites = 0;
      return;
    }
    FBlockIndex = ((FBlockIndex * blockSize) & ~511) / blockSize;
    ++FErrors;
    if (++FFailedWrites >= MaxFailedWrites) {
      AppendLog(Format(SMeterGone, static_cast<int>(FFailedWrites)));
      StopStep();
      return;
    }
    const std::int32_t page = FBlockIndex * blockSize / 512;
    FPageResends = page == FResentPage ? FPageResends + 1 : 1;
    FResentPage = page;
    if (FPageResends >= MaxPageResends) {
      AppendLog(Format(SPageNotWritten, static_cast<int>(FPageResends)));
      StopStep();
      return;
    }
    // A link that fails at once, without a byte back (a closed port, a
    // refused write), is tried again no faster than a meter could answer.
    if (a.empty()) {
      const auto pace = std::min(AnswerTimeOut(), std::chrono::milliseconds(1000));
      const auto took = std::chrono::steady_clock::now() - sent;
      if (took < pace)
        FNextPassDelay = pace - took;
    }
  } catch (const std::exception &error) {
    // The link broke under the write (the connection lost or reset): the
    // log says why, and this meter ends as one that was not updated.
    ++FErrors;
    AppendLog(SLinkError + std::string(error.what()));
    StopStep();
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
  FSilentInARow = 0;
  const std::size_t L = FAddrPrefix.size();
  std::string a;
  CloseChannel(FAddrPrefix);
  FCloseSilent = FSilentInARow > 0;
  Wait(FCloseWait);
  if (FDevice->FInfo->FAlertSequence)
    SendAlertSequence();
  FDevice->Purge();

  if (FAddrPrefix != std::string(1, '\xFF')) {
    SendDateCodeSeries(FAddrPrefix);
    if (!MeterGone() && TestLink(FAddrPrefix)) {
      if (ExchangeData(Request(FAddrPrefix, CmdVersion), -1, a) && a.size() == L + 5) {
        const std::string version = StrToHex(a.substr(L, 3), ".");
        SetVersionAfter(version);
        const std::int32_t type = FMeterType;
        if (type >= 0 && type < MeterTypeCount && version == ImageVersions[type]) {
          AppendLog(SVersionAfter + version);
          AppendLog(Format(STestFinished, TimeStamp().c_str(), SSuccessfully));
        } else {
          AppendLog(SVersionMismatch);
        }
      } else {
        SetVersionAfter(SCannotRead);
        AppendLog(SVersionUnread);
      }
    }
  }

  if (FSpeedCode != 0xFF && !MeterGone()) {
    FSpeedCode &= 0x1F;
    Exchange(Request(FAddrPrefix, CmdOpenChannel), -1, a);
    Exchange(Request(FAddrPrefix, std::string("\x03\x15", 2) + static_cast<char>(FSpeedCode)), -1, a);
    SetLinkActive(false);
    FDevice->FInfo->SetParam(rpParity, FSavedParity);
    FDevice->FInfo->SetParam(rpBaudRate, FSavedBaudRate);
    FSpeedCode = 0xFF;
    SetLinkActive(true);
  }

  if (!MeterGone())
    CloseChannel(FAddrPrefix);
  SetLinkActive(false);
}

void TQuorlan::StopStep(bool Untouched)
{
  SetStateText(SFinishing);
  try {
    if (Untouched)
      SetLinkActive(false);
    else
      StopLinkPart();
  } catch (const std::exception &error) {
    // The link failed under the stop step: the address still ends here,
    // with the link closed and the port's own speed back.
    AppendLog(SStopError + std::string(error.what()));
    try {
      SetLinkActive(false);
    } catch (const std::exception &) {
    }
  }
  if (FSpeedCode != 0xFF) {
    // The link closed before the speed could be restored: the port at
    // least gets its own settings back for the next address, and the log
    // says that the meter may still run at the raised speed.
    FDevice->FInfo->SetParam(rpParity, FSavedParity);
    FDevice->FInfo->SetParam(rpBaudRate, FSavedBaudRate);
    FSpeedCode = 0xFF;
    AppendLog(SSpeedNotRestored);
  }

  // The text a run that ends now leaves in the row, when the start step
  // has named one; the verdict's own text otherwise.
  const std::string endText = std::move(FEndText);
  FEndText.clear();
  const auto endWith = [&](const std::string &verdict) { SetStateText(endText.empty() ? verdict : endText); };

  // A Stop that came while this address was ending is spent on it: the
  // run goes on with the next address as if it had not come. The operator's
  // stop sets its flag before its Stop, so the flag is read after this.
  TakeStopCommand();
  const std::int32_t type = FMeterType;
  const bool updated = type >= 0 && type < MeterTypeCount && VersionAfter() == ImageVersions[type];
  if (FAddrIndex >= 0 && !updated) {
    FFailedAddresses.push_back(std::to_string(static_cast<std::uint32_t>(FDevice->FNetAddress.load())));
    // A link that did not open leaves the rest of the list as it was.
    if (FLinkFailed)
      for (std::string &address : AddressesAfterCurrent())
        FFailedAddresses.push_back(std::move(address));
  }
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

} // namespace loader
