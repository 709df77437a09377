#pragma once
// Helpers for POSIX descriptors: one owner that closes, and writes that go on
// until every byte is out. Failures follow the system's own style: false,
// with errno telling why.
#include <string_view>

namespace platform {

// A descriptor that is closed when its owner goes out of scope.
class TFileDescriptor {
public:
  explicit TFileDescriptor(int Fd = -1) noexcept : FFd(Fd) {}
  ~TFileDescriptor();
  TFileDescriptor(const TFileDescriptor &) = delete;
  TFileDescriptor &operator=(const TFileDescriptor &) = delete;

  int Get() const noexcept { return FFd; }
  bool IsOpen() const noexcept { return FFd >= 0; }
  // Closes now; false with errno set when the close fails (a delayed write
  // error shows here).
  bool Close() noexcept;

private:
  int FFd;
};

// Writes all of Bytes, going on after an interrupted or partial write; false
// with errno set on failure.
bool WriteAll(int Fd, std::string_view Bytes) noexcept;

// Sends all of Bytes on a connected socket, likewise; a peer that has gone
// gives EPIPE rather than a SIGPIPE.
bool SendAll(int Fd, std::string_view Bytes) noexcept;

} // namespace platform
