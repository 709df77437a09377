#include "loader/Quorlan.h"

#include "link/UnExtlibs.h"
#include "loader/BlockSizes.h"
#include "loader/LoaderTexts.h"
#include "loader/MeterTypes.h"
#include "platform/Clock.h"
#include "platform/Synchronize.h"

#include <thread>

namespace loader {

using namespace texts;

const std::string SAlertSequence = std::string(40, '\xAA') + std::string(40, '\x66');

namespace {
std::atomic<const std::atomic<bool> *> AdminModeSource{nullptr};

// Marks of logs: every log, at every clearing, takes the next one.
std::uint64_t NextLogMark()
{
  static std::atomic<std::uint64_t> Marks{0};
  return ++Marks;
}
} // namespace

void SetAdminModeSource(const std::atomic<bool> *Flag) { AdminModeSource = Flag; }

bool AdminMode()
{
  const std::atomic<bool> *flag = AdminModeSource;
  return flag && flag->load();
}

TQuorlan::TQuorlan(const TCreateKey &key)
    : TThreadService(key), FDevice(std::make_unique<TCustomModBusDevice>()),
      FTcpClient(std::make_unique<platform::TcpClient>()), FRunStart(platform::MonotonicMilliseconds())
{
  // The device never re-opens a channel nor re-sends a request on its own
  // for a loader: every failure reaches the procedure at once.
  FDevice->SetRetryLimit(GuardReopen, 0);
  FDevice->SetRetryLimit(GuardNoAnswer, 0);
  FDevice->SetRetryLimit(GuardRepeat, 0);
  AppendLog("");
  FStateText = SStopped;
  FTimer->FInterval = 100;
  // The timer's handler runs on the timer's thread and hands the refresh to
  // the main thread itself, only when there is something to show.
  FTimer->FSynchronized = false;
  FTimer->FOnTimer = [this] { RefreshRow(); };
  // Whoever changes what the row shows wakes the timer, which otherwise
  // sleeps while the loader is idle and its row up to date.
  FUseComPort.SetOnChange([this] { RowChanged(); });
  FListItem.SetOnChange([this] { RowChanged(); });
  FTcpClient->Port.SetOnChange([this] { RowChanged(); });
  FDevice->FInfo->SetOnChange([this] { RowChanged(); });
  FTimer->Start();
}

void TQuorlan::BeforeEnd()
{
  if (FOnFree)
    FOnFree();
  // A run in progress ends with the verdict of a stopped run instead of
  // going on with further addresses.
  FStopRequested = true;
  AbortExchange();
}

void TQuorlan::OperatorStop()
{
  FStopRequested = true;
  Stop();
}

void TQuorlan::Stop()
{
  const TServiceState before = State();
  TThreadService::Stop();
  if (!IsCurrentThread() && (before == ssStart || before == ssRun))
    AbortExchange();
}

void TQuorlan::TerminateAsStopped()
{
  FStopRequested = true;
  Terminate();
  AbortExchange();
}

void TQuorlan::AbortExchange()
{
  // Counted first: the step that finds its exchange failed knows why.
  const std::lock_guard lock(FAbortLock);
  if (FStopStepRuns)
    return;
  ++FExchangeAborts;
  FDevice->AbortIo();
}

void TQuorlan::SetStopStepRuns(bool Value)
{
  // Either way the link works again: the stop step's requests go out, and
  // a new start step's.
  const std::lock_guard lock(FAbortLock);
  FStopStepRuns = Value;
  FDevice->ResumeIo();
}

void TQuorlan::StartTaken()
{
  // A new run: the operator-stop flag of the last one has had its say, and
  // from now on it means a stop of this run (the window sets it before its
  // Stop, so it cannot be set for this run yet).
  FStopRequested = false;
  FStartPending = true;
  {
    // A plain Start offers no hold, and one left from an earlier run goes.
    const std::lock_guard lock(FLinkHoldLock);
    FLinkHold = std::move(FOfferedHold);
  }
  // The port's settings as configured, before the run bends any of them.
  std::array<std::int32_t, RS485ParamCount> params{};
  for (std::size_t i = 0; i < params.size(); ++i)
    params[i] = FDevice->FInfo->GetParam(static_cast<std::int32_t>(i));
  {
    std::lock_guard lock(FTextLock);
    FIdleParams = params;
  }
  RowChanged(); // the row shows the run's time from now on
}

void TQuorlan::RowChanged() { FTimer->Wake(); }

TQuorlan::~TQuorlan()
{
  // Both threads have ended here. The device closes its port itself.
  if (FTcpClient->Connected()) {
    FTcpClient->Disconnect();
    Wait(FLinkWait);
  }
}

void TQuorlan::SetBlockSize(std::int32_t N) { FBlockSize = IsBlockSize(N) ? N : MaxBlockSize; }

void TQuorlan::SetNetAdr(const std::string &Text)
{
  std::lock_guard lock(FTextLock);
  FNetAdr = Text;
}

std::string TQuorlan::NetAdr() const
{
  std::lock_guard lock(FTextLock);
  return FNetAdr;
}

void TQuorlan::SetTcpHost(const std::string &Host) { SetRowText(FTcpHost, Host); }

std::string TQuorlan::TcpHost() const
{
  std::lock_guard lock(FTextLock);
  return FTcpHost;
}

void TQuorlan::AppendLog(const std::string &S)
{
  std::lock_guard lock(FTextLock);
  if (S.empty()) {
    FLog.clear();
    FLogMark = NextLogMark();
    return;
  }
  if (!FLog.empty())
    FLog += ',';
  FLog += '"';
  if (S.find(SAttention) == std::string::npos)
    FLog += '\t';
  FLog += S;
  FLog += '"';
}

std::string TQuorlan::Log() const
{
  std::lock_guard lock(FTextLock);
  return FLog;
}

std::string TQuorlan::LogSince(std::uint64_t &Mark, std::size_t &Length, bool &Whole) const
{
  std::lock_guard lock(FTextLock);
  Whole = Mark != FLogMark || Length > FLog.size();
  const std::size_t From = Whole ? 0 : Length;
  Mark = FLogMark;
  Length = FLog.size();
  return FLog.substr(From);
}

std::string TQuorlan::StateText() const
{
  std::lock_guard lock(FTextLock);
  return FStateText;
}

std::string TQuorlan::VersionBefore() const
{
  std::lock_guard lock(FTextLock);
  return FVersionBefore;
}

std::string TQuorlan::VersionAfter() const
{
  std::lock_guard lock(FTextLock);
  return FVersionAfter;
}

void TQuorlan::SetRowText(std::string &Field, const std::string &Text)
{
  {
    std::lock_guard lock(FTextLock);
    Field = Text;
    ++FTextGeneration;
  }
  RowChanged();
}

void TQuorlan::SetStateText(const std::string &Text) { SetRowText(FStateText, Text); }

void TQuorlan::SetVersionBefore(const std::string &Text) { SetRowText(FVersionBefore, Text); }

void TQuorlan::SetVersionAfter(const std::string &Text) { SetRowText(FVersionAfter, Text); }

void TQuorlan::Wait(std::chrono::milliseconds Time)
{
  if (Time.count() > 0)
    std::this_thread::sleep_for(Time);
}

std::string TQuorlan::PortFailure() const
{
  const std::string reason = FUseComPort ? FDevice->FHandle.LastErrorText() : std::string();
  return reason.empty() ? reason : " (" + reason + ")";
}

std::string TQuorlan::LinkName() { return TcpHost() + ":" + std::to_string(FTcpClient->Port.load()); }

bool TQuorlan::IsLinkActive() { return FUseComPort ? FDevice->IsOpen() : FTcpClient->Connected(); }

void TQuorlan::StartHolding(std::shared_ptr<void> Hold)
{
  {
    const std::lock_guard lock(FLinkHoldLock);
    FOfferedHold = std::move(Hold);
  }
  Start(); // a start that is taken moves the hold over (StartTaken)
  std::shared_ptr<void> NotTaken;
  const std::lock_guard lock(FLinkHoldLock);
  NotTaken = std::move(FOfferedHold);
}

void TQuorlan::LetGoOfLinkHold()
{
  std::shared_ptr<void> Gone;
  const std::lock_guard lock(FLinkHoldLock);
  Gone = std::move(FLinkHold);
}

void TQuorlan::SetLinkActive(bool Value)
{
  if (FUseComPort) {
    FDevice->SetActive(Value);
    if (Value)
      LetGoOfLinkHold(); // the port holds its descriptors now, or failed to
    return;
  }
  const std::string name = LinkName();
  if (FTcpClient->Connected()) {
    FTcpClient->Disconnect();
    Wait(FLinkWait);
    AppendLog(SConnectionClosed + name);
  }
  if (!Value)
    return;
  AppendLog(SConnectionOpening + name);
  try {
    FTcpClient->Host = TcpHost();
    FTcpClient->Connect();
    LetGoOfLinkHold(); // the socket is the link's own now
    Wait(FLinkWait);
    if (FTcpClient->Connected())
      AppendLog(SConnectionOpened + name);
  } catch (const std::exception &error) {
    LetGoOfLinkHold();
    AppendLog(SConnectionFailed + name);
    AppendLog(SLinkError + std::string(error.what())); // refused, no such host, no answer in time
  }
}

std::array<std::int32_t, RS485ParamCount> TQuorlan::ConfiguredPortParams() const
{
  const auto current = [this] {
    std::array<std::int32_t, RS485ParamCount> params{};
    for (std::size_t i = 0; i < params.size(); ++i)
      params[i] = FDevice->FInfo->GetParam(static_cast<std::int32_t>(i));
    return params;
  };
  if (State() == ssIdle) {
    const std::array<std::int32_t, RS485ParamCount> params = current();
    if (State() == ssIdle) // nothing could bend them meanwhile
      return params;
  }
  std::lock_guard lock(FTextLock);
  return FIdleParams ? *FIdleParams : current();
}

TQuorlan::TRowInputs TQuorlan::RowInputs() const
{
  TRowInputs in;
  in.Row = FListItem.load();
  in.UseComPort = FUseComPort;
  const TRS485Info &info = *FDevice->FInfo;
  in.Port = info.GetParam(rpPortNumber);
  in.BaudRate = info.GetParam(rpBaudRate);
  in.Parity = info.GetParam(rpParity);
  in.TcpPort = FTcpClient->Port;
  in.Texts = FTextGeneration;
  in.MeterType = FMeterType;
  in.NetAddress = FDevice->FNetAddress;
  in.Errors = FErrors;
  in.Running = State() == ssRun;
  if (in.Running)
    in.ElapsedSeconds = (platform::MonotonicMilliseconds() - FRunStart.load()) / 1000;
  return in;
}

bool TQuorlan::RowShows(const TRowInputs &Inputs) const
{
  std::lock_guard lock(FRowShownLock);
  return FRowShown == Inputs;
}

void TQuorlan::RefreshRow()
{
  // An idle row costs nothing: what it shows is looked at here, only a
  // change is handed to the main thread, and an idle loader whose row is up
  // to date lets its timer sleep until something changes. The mark is taken
  // before the look, so a change made while looking keeps the timer awake.
  // The state is read before the values: a loader found idle changes
  // nothing the row shows until a start, which wakes the timer.
  const std::uint64_t mark = FTimer->WakeMark();
  const bool idle = State() == ssIdle;
  const TRowInputs inputs = RowInputs();
  if (inputs.Row && !RowShows(inputs) && platform::HasWakeMainThread())
    platform::Synchronize([this] { UpdateRow(); });
  if (idle && (!inputs.Row || RowShows(inputs)))
    FTimer->Hold(mark);
}

void TQuorlan::UpdateRow()
{
  TListRow *const row = FListItem.load();
  if (!row)
    return;
  auto put = [row](int index, const std::string &text) {
    if (row->SubItem(index) != text)
      row->SetSubItem(index, text);
  };

  // Each value is read once, shown, and recorded as shown: a change that
  // comes while the row is written differs from the record and is shown at
  // the next refresh.
  std::string host, before, after, state;
  std::uint64_t texts = 0;
  {
    std::lock_guard lock(FTextLock);
    texts = FTextGeneration;
    host = FTcpHost;
    before = FVersionBefore;
    after = FVersionAfter;
    state = FStateText;
  }
  TRowInputs in = RowInputs();
  in.Texts = texts; // as the texts were copied

  std::string caption;
  if (in.UseComPort) {
    const auto number = [](std::int32_t value) { return std::to_string(static_cast<std::uint32_t>(value)); };
    caption = "COM" + number(in.Port) + " (" + number(in.BaudRate) + "/" +
              (in.Parity == platform::NOPARITY ? SParityNone : SParityOdd);
  } else {
    caption = host + ":" + std::to_string(in.TcpPort);
  }
  if (row->Caption() != caption)
    row->SetCaption(caption);

  std::int32_t type = in.MeterType;
  if (type < -1 || type >= MeterTypeCount)
    type = -1;
  put(0, std::string(MeterTypeNames[type]));

  const std::string address = std::to_string(static_cast<std::uint32_t>(in.NetAddress));
  if (address != "0")
    put(1, address);

  put(2, before);
  put(3, after);

  if (in.Running) {
    const std::int64_t seconds = in.ElapsedSeconds % 86400;
    platform::TSystemTime time;
    time.wYear = 2000;
    time.wMonth = 1;
    time.wDay = 1;
    time.wDayOfWeek = 6;
    time.wHour = static_cast<std::uint16_t>(seconds / 3600);
    time.wMinute = static_cast<std::uint16_t>(seconds / 60 % 60);
    time.wSecond = static_cast<std::uint16_t>(seconds % 60);
    put(4, platform::TTimeLocale::User().FormatTime(time));
  }
  put(5, std::to_string(in.Errors));
  put(6, state);

  std::lock_guard lock(FRowShownLock);
  FRowShown = in;
}

} // namespace loader
