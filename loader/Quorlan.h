#pragma once
// The loader: one per process, that is per row of the window's process list.
// Its own thread carries the meters of its address list one after another
// through identification, test mode, block writing and verification; its
// timer thread refreshes the process row on the main thread every 100 ms.
//
// Made with platform::MakeThread<TQuorlan>() and freed through the pointer it
// returns: freeing a running loader first ends the run through its stop step
// (with the verdict of a stopped run) and waits for both threads.
//
// Threads: the window and the command server change the settings only while
// the loader is idle (the one-byte flags at any time) and command it with
// Start and Stop. The texts (log, state text, versions, the TCP host) are
// guarded by FTextLock; other threads read them through the getters, which
// copy under the lock.
#include "link/ModBusDevice.h"
#include "link/ThreadService.h"
#include "loader/ExtDumpMem.h"
#include "loader/ListRow.h"
#include "platform/TcpClient.h"
#include "platform/Watched.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loader {

// The alert sequence: 0xAA forty times, then 0x66 forty times.
extern const std::string SAlertSequence;

// Where loaders read the window's administrator mode; the window hands its
// flag in once at start-up. Without it administrator mode is off.
void SetAdminModeSource(const std::atomic<bool> *Flag);
bool AdminMode();

// The one-byte date code of the date-code series for a local date: the
// months since January 2000, modulo 256.
std::uint8_t DateCodeOf(int Year, int Month);

class TQuorlan : public TThreadService {
public:
  explicit TQuorlan(const TCreateKey &key);

  // --- settings (change while idle) ---
  platform::TWatched<bool> FUseComPort{true}; // COM port through FDevice, else TCP
  std::atomic<bool> FMaxSpeed{false};         // raise a COM line to 38400 for the run
  std::atomic<bool> FPacketMode{false};
  void SetBlockSize(std::int32_t N); // 16..512 in powers of two, else 512
  std::int32_t BlockSize() const { return FBlockSize.load(); }
  void SetNetAdr(const std::string &Text);
  std::string NetAdr() const;
  void SetTcpHost(const std::string &Host);
  std::string TcpHost() const;

  // The COM link (its settings FInfo, FNetAddress, FLogEnabled, FOnLog) and
  // the TCP link (Port, ReadTimeout; the host through SetTcpHost).
  const std::unique_ptr<TCustomModBusDevice> FDevice;
  const std::unique_ptr<platform::TcpClient> FTcpClient;

  // --- the row ---
  // Set and cleared on the main thread; the timer's thread looks whether it
  // is there.
  platform::TWatched<TListRow *> FListItem{nullptr};
  // On the main thread: writes every text of the row that differs from what
  // the row shows, and records what it showed. The timer hands it over at
  // most every 100 ms, only when something the row shows differs from what
  // was recorded. While the loader is idle and its row is up to date the
  // timer sleeps; every change of what the row shows (a setting, a text, a
  // start) wakes it.
  void UpdateRow();
  // Any thread: something the row shows may have changed.
  void RowChanged();

  // The port's settings, indexed by TRS485Param, as the process was
  // configured: while it is not idle, as they were when its last Start was
  // taken (a run bends some of them for a while: the speed, the parity, the
  // time-outs); otherwise as they are.
  std::array<std::int32_t, RS485ParamCount> ConfiguredPortParams() const;

  // --- the log and the texts shown ---
  void AppendLog(const std::string &S);
  std::string Log() const;
  // The log as far as it has grown since a reader last looked. Mark and
  // Length tell what the reader has (both 0 at first) and are brought up to
  // date. When the log has only grown since, the result is the text appended
  // (possibly none) and Whole is false; otherwise (it was cleared since, or
  // the reader's Mark is of another log) the result is the whole log and
  // Whole is true. No two logs, nor two clearings, share a mark.
  std::string LogSince(std::uint64_t &Mark, std::size_t &Length, bool &Whole) const;
  std::string StateText() const;
  std::string VersionBefore() const;
  std::string VersionAfter() const;
  std::int32_t MeterType() const { return FMeterType.load(); }
  std::int32_t Errors() const { return FErrors.load(); }

  // The operator's stop: the run ends with the verdict of a stopped run and
  // the rest of the address list is left. Any thread; returns at once.
  void OperatorStop();
  // A stop from another thread also ends the COM exchange in progress at
  // once (a line that takes no output would otherwise hold it), unless the
  // stop step runs: its requests take the meter out of test mode.
  void Stop() override;
  // Tells the loader to end before it is freed (so that many loaders end
  // side by side), a run in progress as if the operator had stopped it.
  // Any thread; returns at once.
  void TerminateAsStopped();

  // The operator's stop: set by OperatorStop and TerminateAsStopped before
  // their command, so that the step that takes the command finds it, and
  // by the loader itself. Cleared when a Start is taken: while a run goes
  // on, it means a stop of that run.
  std::atomic<bool> FStopRequested{false};

  // Start, holding Hold from a start that is taken until the run's link has
  // been asked to open (or the run has ended without opening it): whoever
  // starts the loader can so keep count of what its link is about to take
  // until the link holds it itself. A start that is not taken (the loader
  // is not idle) lets go of Hold at once. Any thread.
  void StartHolding(std::shared_ptr<void> Hold);

  // Called first when the loader is freed, on the freeing thread, before its
  // threads are told to end: another thread that still refers to the loader
  // (a command-server connection) forgets it here. Set it before the loader
  // is shared; it must not throw.
  std::function<void()> FOnFree;

  // --- link switches and requests: the loader's own thread only (or while
  // the loader is idle), since a TCP link may be closed by looking at it ---
  bool IsLinkActive();
  void SetLinkActive(bool Value);

  // Moves on to the next address (Advance), gives the number of addresses and
  // the current address's prefix; raises std::invalid_argument for an address
  // that is not a number.
  void NextAddress(bool Advance, std::int32_t &Count, std::string &Prefix);
  // The items of the address list after the current one, each as a
  // decimal address (an item that is no number as written).
  std::vector<std::string> AddressesAfterCurrent() const;
  // Sends Request and receives its answer of Count bytes (-1: any length
  // that ends with a CRC-16/MODBUS that holds). On the TCP link bytes still
  // waiting from an earlier answer are dropped first, and an answer that
  // comes in pieces is read until it is whole (ReceiveAnswer). A TCP
  // connection that fails under it (closed by the gateway, reset) is closed
  // and makes it false, as a COM failure does; the reason is kept in
  // FLinkError for the step to report.
  bool Exchange(const std::string &Request, std::int32_t Count, std::string &Answer);
  // An exchange whose answer bytes the procedure reads: it counts only when
  // the answer's CRC-16/MODBUS holds, on either link and whatever Count
  // (Exchange itself judges an answer of a fixed Count by its length).
  bool ExchangeData(const std::string &Request, std::int32_t Count, std::string &Answer);
  // Receives an answer to the request last sent, without sending (a further
  // answer may follow the one just read). On the TCP link the answer is
  // complete with Count bytes, with a short status answer, or for Count -1
  // with a CRC that holds at its end; otherwise it ends with FAnswerPause
  // without a new byte, or with the read time-out counted from the call.
  // A failing TCP connection is closed, as in Exchange.
  bool ReceiveAnswer(std::int32_t Count, std::string &Answer);
  std::int32_t ReadMeterType(const std::string &Prefix);
  bool CloseChannel(const std::string &Prefix);
  bool TestLink(const std::string &Prefix);
  void SendAlertSequence();
  void SendDateCodeSeries(const std::string &Prefix);

  // The fixed waits of the procedure; tests shorten them.
  std::chrono::milliseconds FTestModeWait{1000}; // after the test-mode entry
  std::chrono::milliseconds FCloseWait{3000};    // after closing the channel
  std::chrono::milliseconds FAlertWait{1000};    // after the alert sequence
  std::chrono::milliseconds FLinkWait{500};      // after a TCP connect or close
  // On the TCP link, how long an incomplete answer waits for its next piece.
  // Gateways forward the bytes of an answer as the line delivers them or in
  // packets of their own; cellular ones deliver the pieces tens of
  // milliseconds apart, and up to a few hundred when the network is busy.
  // Only an answer that is cut short or spoiled waits this out (a whole
  // answer is taken the moment it is in), so a wait well above those gaps
  // costs a good run nothing.
  std::chrono::milliseconds FAnswerPause{300};
  // How long the run step waits for a link that is no longer active before
  // it gives the meter up: nothing in the run step opens it again.
  std::chrono::milliseconds FLinkStallLimit{5000};

  // Failed block writes in a row, with no block accepted in between, after
  // which the meter is taken as gone and its address ends as a failed one.
  // On a line that loses or spoils one answer in twenty, ten failures in a
  // row come with a probability of 0.05^10, about 1e-13, per block; a run
  // of the smallest blocks makes some 7,300 block writes with its resends,
  // so an address that is merely noisy ends this way about once in 10^9.
  // A dead meter costs ten answer time-outs.
  static constexpr int MaxFailedWrites = 10;
  // Resends of one 512-byte page, without that page ever being finished,
  // after which the meter is taken as one that will not take it (a block
  // it always refuses, or one that never reaches it whole). Accepted blocks
  // in between do not count as progress: the page starts again each time.
  // With 16-byte blocks a page is 32 writes, which one answer in twenty lost
  // spoils with a probability of 0.81; 150 such attempts in a row come with
  // about 1e-14 per page, 2e-12 per run.
  static constexpr int MaxPageResends = 150;

protected:
  ~TQuorlan() override;

  void DoStart() override;
  void DoRun() override;
  void DoStop() override;
  void BeforeEnd() override;
  void StartTaken() override;
  std::chrono::nanoseconds PassDelay() const override;

private:
  // The steps themselves; DoStart, DoRun and DoStop run them so that the
  // start of the next address never nests inside the stop of the last one.
  void StartStep();
  void RunStep();
  // Untouched: the meter was left before anything was asked of it that
  // needs undoing (test mode, a raised speed); only the link is closed.
  void StopStep(bool Untouched = false);

  // The parts of the start step, in their order. A part that returns Ended
  // has ended the address itself (the stop step has run).
  enum class TNext { GoOn, Ended };
  // The next address of the list into FRun.Address; false when the run
  // ends here instead (no addresses, one that is no number, a list that
  // has become shorter).
  bool TakeAddress();
  void Announce();     // the headline of the address; its texts cleared
  TNext Identify();    // OpenLink, FindAddress, ReadType
  TNext OpenLink();    // the link, the alert sequence
  TNext FindAddress(); // the extended address, or the test-mode probe
  TNext ReadType();    // the meter type and its image
  TNext Decide();      // the version, and the status word when it is the image's
  TNext RaiseSpeed();  // 38400 baud on a COM link, when asked for
  TNext EnterTestMode();
  void CheckTestMode(); // the link test in test mode; the run begins
  // Ends the address on a failure of the start step: Text to the log, the
  // meter's channel closed with Prefix, then the stop step. A TCP link that
  // broke under the failed request or under the close ends it as EndOnError.
  TNext EndAddress(const char *Text, const std::string &Prefix);
  // Ends the address on what the start step cannot go on from: a TCP link
  // that broke (its reason to the log first) or an exception.
  TNext EndOnError();
  // A TCP link that broke, or a stop asked for, ends the address here
  // (true). Until the meter is in test mode or runs at a raised speed
  // nothing in it needs undoing, and on a stop only the link is closed.
  bool StartCut();

  // The parts of the run step.
  std::int32_t ImageSize() const;
  void ShowProgress();
  void AwaitLink(); // the link is not active
  void WriteBlock(std::int32_t Offset);
  // The link failed under the block write: Reason to the log, the block
  // counted as failed, and the address ends.
  void WriteBroke(const std::string &Reason);
  // A block write failed (Silent: without a byte back; Sent: when it was
  // sent): its page goes out again, unless the meter is taken as gone.
  void BlockFailed(bool Silent, std::chrono::steady_clock::time_point Sent);

  // The parts of the stop step.
  void LeaveMeter(bool Untouched); // the meter and the link, failures caught
  void StopLinkPart();
  void ReadVersionAfter();
  void RestoreMeterSpeed();
  void Verdict(); // the next address, or the end of the run
  void NoteFailedAddresses();
  // A stop of any kind (the operator's, a Stop command, the loader's end)
  // has been asked for since this run's address began.
  bool StopAsked();
  // In the stop step: two requests in a row have gone unanswered, so the
  // meter is taken as gone and the step's further requests are left out.
  // The channel close at its beginning must have gone unanswered too: a
  // meter that answered it is there, and gets every request of the step.
  bool MeterGone() const { return FCloseSilent && FSilentInARow >= 2; }
  // Whether a series of requests is to end early: in the stop step when
  // the meter is gone, elsewhere when a stop has been asked for.
  bool SeriesCut();
  std::chrono::milliseconds AnswerTimeOut() const;
  template <class Step> void Outermost(Step step);

  // Writes one of the row's texts (under the text lock) and wakes the row.
  void SetRowText(std::string &Field, const std::string &Text);
  void SetStateText(const std::string &Text);
  void SetVersionBefore(const std::string &Text);
  void SetVersionAfter(const std::string &Text);
  void LetGoOfLinkHold();
  // Prefix, Command (with its data) and their CRC-16/MODBUS.
  std::string Request(const std::string &Prefix, std::string_view Command) const;
  bool ExchangeTcp(const std::string &Request, std::int32_t Count, std::string &Answer);
  // Why the TCP link broke under an exchange of the step in hand; nothing
  // when it did not. A step that finds it set ends its address at once, as
  // it would on an exception there, and each step begins without it.
  std::optional<std::string> FLinkError;
  void LinkBroke(const platform::TcpError &Error); // keeps the reason, closes the link
  std::optional<std::string> TakeLinkError();      // the reason, and clears it
  // Any thread: ends the COM exchange in progress, and fails at once those
  // that follow until the stop step begins; nothing while the stop step runs.
  void AbortExchange();
  // On the loader's thread: the stop step begins (true) or a start step
  // does (false); an abort never cuts the stop step's requests.
  void SetStopStepRuns(bool Value);
  // An abort has cut or may have cut an exchange of this address: a request
  // that failed then is no failure of the meter.
  bool ExchangeCut() const { return FExchangeAborts.load() != FRun.AbortsAtStart; }
  // After a failed COM exchange: the first port failure of the address (a
  // line that hung up, or took no output) goes to the log with its reason.
  void NotePortFault();
  // Why the COM port did not open, as " (reason)"; empty on the TCP link.
  std::string PortFailure() const;
  std::mutex FAbortLock;
  bool FStopStepRuns = true; // under FAbortLock
  std::atomic<std::uint64_t> FExchangeAborts{0};
  // On the TCP link: the tag that the answer to the block write last sent
  // echoes, -1 after any other request.
  int FAnswerTag = -1;

  // What the row is made of. The timer's thread compares it with what it
  // was at the last refresh it handed over.
  struct TRowInputs {
    TListRow *Row = nullptr;
    bool UseComPort = false;
    std::int32_t Port = 0, BaudRate = 0, Parity = 0, TcpPort = 0;
    std::uint64_t Texts = 0; // FTextGeneration
    std::int32_t MeterType = 0, NetAddress = 0, Errors = 0;
    bool Running = false;
    std::int64_t ElapsedSeconds = 0; // while running
    bool operator==(const TRowInputs &) const = default;
  };
  TRowInputs RowInputs() const;
  void RefreshRow(); // the timer's handler, on the timer's thread
  bool RowShows(const TRowInputs &Inputs) const;
  mutable std::mutex FRowShownLock;
  std::optional<TRowInputs> FRowShown; // what UpdateRow last showed
  std::string LinkName();
  void Wait(std::chrono::milliseconds Time);

  // What the procedure keeps of the address in hand, on the loader's own
  // thread only. The start step of every address begins it anew.
  struct TAddressRun {
    std::string Address; // the prefix of the configured address
    // The prefix of the requests to the meter from the addressing on: the
    // configured one, or the meter's extended address.
    std::string Prefix;
    // The meter was asked for something that needs undoing (test mode, a
    // raised speed).
    bool Touched = false;
    std::shared_ptr<const std::string> Image; // the image of this address, whole
    std::int32_t ImageWriteStart = 0;
    std::int32_t BlockSize = 512;  // bytes per block write
    std::int32_t BlockIndex = 0;   // the next block to write
    std::int32_t FailedWrites = 0; // in a row, since the last accepted block
    std::int32_t ResentPage = -1;  // the page last sent again, in 512-byte pages
    std::int32_t PageResends = 0;  // how often in a row it was
    std::int64_t StallSince = -1;  // when the run step found the link inactive
    // The meter's own speed code while its speed is raised; 0xFF: not raised.
    std::uint8_t SpeedCode = 0xFF;
    std::int32_t SavedBaudRate = 0; // the port's, before the raise
    std::int32_t SavedParity = 0;
    std::uint64_t AbortsAtStart = 0; // FExchangeAborts when the address began
    bool PortFaultLogged = false;
  };
  TAddressRun FRun;
  // Begins the next address: FRun and what the row shows of it.
  void BeginAddress();

  std::atomic<std::int32_t> FErrors{0};
  std::atomic<std::int64_t> FRunStart; // monotonic milliseconds
  std::atomic<std::int32_t> FBlockSize{512};
  std::atomic<std::int32_t> FMeterType{-1};
  int FSilentInARow = 0; // exchanges in a row that got no byte back
  bool FInStopStep = false;
  bool FCloseSilent = false; // the stop step's channel close got no byte back
  // How long the loop waits before the next pass; zero: its usual pause.
  std::chrono::nanoseconds FNextPassDelay{0};
  // The addresses of this run that ended without the new version.
  std::vector<std::string> FFailedAddresses;
  bool FLinkFailed = false; // the link did not open: the run ends at this address
  std::int32_t FAddrIndex = -1;
  std::int32_t FAddrCount = 0;

  // The loader's thread has given way to the window's (its first start).
  bool FPriorityLowered = false;

  // The hand-over to the next address: the stop step marks it due and the
  // outermost step runs it.
  std::string FEndText; // the row's text for a run the start step ends
  bool FStartDue = false;
  // A Start was taken and its start step has not run yet.
  std::atomic<bool> FStartPending{false};
  // StartHolding's hold: offered while its Start is asked for, held from a
  // start that is taken until the link has been asked to open.
  std::mutex FLinkHoldLock;
  std::shared_ptr<void> FOfferedHold;
  std::shared_ptr<void> FLinkHold;
  int FStepDepth = 0;

  mutable std::mutex FTextLock;
  // Counts the changes of the row's texts (state, versions, TCP host).
  std::atomic<std::uint64_t> FTextGeneration{0};
  std::string FNetAdr;
  std::string FLog;
  std::uint64_t FLogMark = 0; // taken anew from a process-wide count at every clearing
  std::optional<std::array<std::int32_t, RS485ParamCount>> FIdleParams; // as at the last Start taken
  std::string FStateText;
  std::string FVersionBefore;
  std::string FVersionAfter;
  std::string FTcpHost;
};

} // namespace loader
