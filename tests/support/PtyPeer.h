// The far end of a serial line for tests: a pseudo-terminal whose slave side
// the code under test opens as COM n (through a symlink com<n> in a private
// directory named by QUORLAN2_COM_DIR), and whose master side a peer thread
// reads. A handler sees what has arrived and answers, stays silent, answers
// late, in parts or with damaged bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

// The line settings of the terminal as the kernel holds them.
struct LineSettings {
  uint32_t Baud = 0;
  int DataBits = 0;
  bool ParityEnabled = false;
  bool ParityOdd = false;
  bool MarkSpace = false; // CMSPAR: mark (odd) or space (even) parity
  bool TwoStopBits = false;
  bool ParityCheck = false;
  bool Raw = false; // no echo, no line editing, no output processing
};

class PtyPeer {
public:
  // Called on the peer thread with everything received and not yet dealt with;
  // the handler erases what it has dealt with and may leave the rest for later.
  using Handler = std::function<void(PtyPeer &Peer, std::string &Pending)>;

  // ComNumber 0 takes the next free number of this process.
  explicit PtyPeer(Handler OnReceive = {}, int ComNumber = 0);
  ~PtyPeer();
  PtyPeer(const PtyPeer &) = delete;
  PtyPeer &operator=(const PtyPeer &) = delete;

  int ComNumber() const { return FComNumber; }
  const std::string &SlavePath() const { return FSlavePath; }
  // The private directory of this process's com<n> links.
  static const std::string &ComDir();

  void SetHandler(Handler OnReceive);
  // Writes to the line from any thread (the handler included).
  void Write(const std::string &Bytes);
  std::string Received() const;
  void ClearReceived();
  // Waits until at least Count bytes have been received in all.
  bool WaitReceived(size_t Count, std::chrono::milliseconds Timeout) const;
  LineSettings Settings() const;
  // Bytes the line holds that the code under test has not read yet.
  int PendingToSlave() const;
  // Number of exceptions thrown by the handler (caught on the peer thread).
  int HandlerFailures() const;

private:
  void Run();

  int FComNumber = 0;
  int FMaster = -1;
  int FSlave = -1; // kept open so that the line never hangs up between opens
  int FStop = -1;
  std::string FSlavePath;
  std::string FLinkPath;
  mutable std::mutex FLock;
  mutable std::condition_variable FArrived;
  std::string FReceived;
  Handler FHandler;
  int FHandlerFailures = 0;
  std::mutex FWriteLock;
  std::thread FThread;
};

} // namespace testsupport
