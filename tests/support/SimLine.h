#pragma once
// The far side of a link, with simulated meters on it: a pseudo-terminal
// that the program opens as a COM port, or a TCP port that stands for a
// serial gateway. A thread of its own cuts what arrives into requests and
// lets the addressed meter answer.
#include "support/SimMeter.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class SimLine {
public:
  using Clock = std::chrono::steady_clock;
  // When one framed request was on the line: its first byte, its last byte
  // (the request is complete), the last byte of its answer as the wire would
  // deliver it, and when the answer was actually written (the last three are
  // Complete when there was no answer). Without pacing the wire is instant.
  struct FrameTimes {
    Clock::time_point Start, Complete, Answered, Written;
    std::size_t AnswerBytes = 0;
  };

  // A pty whose slave side is reachable as <dir>/com<number>.
  static std::unique_ptr<SimLine> OpenPty(const std::string &dir, int number);
  // A listening socket on 127.0.0.1: on the given port, or on a free one
  // when the port is 0 (see Port()).
  static std::unique_ptr<SimLine> ListenTcp(int port = 0);

  ~SimLine();
  SimLine(const SimLine &) = delete;
  SimLine &operator=(const SimLine &) = delete;

  std::shared_ptr<SimMeter> AddMeter(MeterConfig config);
  int Port() const { return FPort; }
  std::string SlavePath() const { return FSlavePath; }
  // The line's speed and control flags as the program set them (pty only).
  bool LineSettings(unsigned &Speed, unsigned &ControlFlags) const;
  // Every byte that arrived, in order, and every request the line framed.
  std::string Received() const;
  std::vector<std::string> Frames() const;
  // TCP only: closes the connection the gateway serves now, as a gateway
  // that resets would, at the line's next look (within 20 ms); the next
  // client is accepted as before. Safe from any thread, an answer override
  // included (the close then follows that answer).
  void DropConnection();
  std::vector<FrameTimes> Times() const; // one for each of Frames()
  // Makes the line as slow as a wire at Baud, 11 bits a byte (8O1: start,
  // 8 data, parity, stop): a request is complete only when its last byte
  // would have arrived, and an answer is written when its last byte would
  // have left. 0 (the default) turns pacing off. Set it before traffic.
  void SetPacing(unsigned Baud) { FBaud = Baud; }
  // How the gateway forwards each answer: whole in one segment (the
  // default, as a gateway that packs), one byte a segment (as one that
  // forwards bytes the moment the line delivers them), or in two segments
  // split at a random point. On a paced line every piece leaves when the
  // wire would have delivered its last byte; otherwise Gap lies between the
  // pieces. TCP only; set it before a client connects.
  enum class Pieces { Whole, EveryByte, RandomSplit };
  void SetAnswerPieces(Pieces How, Clock::duration Gap = {})
  {
    FPieces = How;
    FPieceGap = Gap;
  }

private:
  SimLine() = default;
  void Serve();
  void Handle(int fd, std::string &buffer);
  void Start();
  Clock::duration WireTime(std::size_t bytes) const;
  FrameTimes Arrival(std::size_t buffered, std::size_t length);
  void Reply(int fd, const std::string &answer);
  // Writes an answer in the pieces set; the first one at once, a paced
  // line's ones when the wire that began at Start would have delivered them.
  void WritePieces(int fd, const std::string &answer, std::optional<Clock::time_point> Start);

  int FListenFd = -1; // TCP only
  int FFd = -1;       // pty master, or the accepted connection
  int FSlaveFd = -1;  // kept open so the master never sees a hang-up
  int FWake[2] = {-1, -1};
  int FPort = 0;
  std::string FSlavePath;
  std::string FLinkPath;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDrop{false};
  std::thread FThread;
  mutable std::mutex FLock;
  std::vector<std::shared_ptr<SimMeter>> FMeters;
  std::string FReceived;
  std::vector<std::string> FFrames;
  std::vector<FrameTimes> FTimes;
  std::atomic<unsigned> FBaud{0};
  std::atomic<Pieces> FPieces{Pieces::Whole};
  std::atomic<Clock::duration> FPieceGap{};
  std::mt19937 FRandom{std::random_device{}()}; // the line's thread only
  // On the line's thread: the wire times of the first and the last byte held.
  Clock::time_point FRxStart, FRxEnd;
};

} // namespace sim
