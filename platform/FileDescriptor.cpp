#include "platform/FileDescriptor.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

TFileDescriptor::~TFileDescriptor()
{
  if (FFd >= 0)
    ::close(FFd);
}

bool TFileDescriptor::Close() noexcept { return ::close(std::exchange(FFd, -1)) == 0; }

namespace {

// Hands Bytes to Put until all are out; Put returns what it took or -1.
template <class TPut> bool PutAll(std::string_view Bytes, TPut Put) noexcept
{
  while (!Bytes.empty()) {
    const ssize_t Done = Put(Bytes);
    if (Done < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    Bytes.remove_prefix(static_cast<std::size_t>(Done));
  }
  return true;
}

} // namespace

bool WriteAll(int Fd, std::string_view Bytes) noexcept
{
  return PutAll(Bytes, [Fd](std::string_view Rest) { return ::write(Fd, Rest.data(), Rest.size()); });
}

bool SendAll(int Fd, std::string_view Bytes) noexcept
{
  return PutAll(Bytes,
                [Fd](std::string_view Rest) { return ::send(Fd, Rest.data(), Rest.size(), MSG_NOSIGNAL); });
}

} // namespace platform
