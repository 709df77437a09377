#include "platform/FileSpace.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

// Takes the file back to its old length after a failed growth; what lay
// before OldSize was never written.
int Undo(int Fd, off_t OldSize, int Error)
{
  while (::ftruncate(Fd, OldSize) != 0 && errno == EINTR) {
  }
  return Error;
}

} // namespace

int ExtendWithZeros(int Fd, off_t OldSize, off_t NewSize)
{
  static const char Zeros[4096] = {};
  for (off_t At = OldSize; At < NewSize;) {
    const auto Chunk = static_cast<std::size_t>(std::min<off_t>(NewSize - At, sizeof Zeros));
    const ssize_t Written = ::pwrite(Fd, Zeros, Chunk, At);
    if (Written < 0) {
      if (errno == EINTR)
        continue;
      return Undo(Fd, OldSize, errno);
    }
    At += Written;
  }
  return 0;
}

int ReserveFileSpace(int Fd, off_t OldSize, off_t NewSize)
{
  if (NewSize <= OldSize)
    return 0;
  int Error;
  do
    Error = ::posix_fallocate(Fd, OldSize, NewSize - OldSize);
  while (Error == EINTR);
  if (Error == 0)
    return 0;
  // A file system that cannot allocate ahead: the zeros take the room.
  if (Error == EOPNOTSUPP || Error == ENOSYS || Error == EINVAL)
    return ExtendWithZeros(Fd, OldSize, NewSize);
  return Undo(Fd, OldSize, Error);
}

} // namespace platform
