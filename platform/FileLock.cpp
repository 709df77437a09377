#include "platform/FileLock.h"

#include "platform/FileDescriptor.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Tries of a lock file that its holder removes each time, before it counts
// as not made.
constexpr int MaxAttempts = 16;

// The descriptor and the name are one file still: a holder that lets go
// removes the name before its lock ends.
bool StillNamed(int Fd, const std::string &Name)
{
  struct stat Held {};
  struct stat Named {};
  return ::fstat(Fd, &Held) == 0 && ::stat(Name.c_str(), &Named) == 0 && Held.st_dev == Named.st_dev &&
         Held.st_ino == Named.st_ino;
}

// The process id its holder wrote into the lock file; 0 when there is none yet.
pid_t HolderOf(int Fd)
{
  char Text[24] = {};
  if (::pread(Fd, Text, sizeof Text - 1, 0) <= 0)
    return 0;
  const long Pid = std::strtol(Text, nullptr, 10);
  return Pid > 0 && Pid <= INT_MAX ? static_cast<pid_t>(Pid) : 0;
}

} // namespace

TFileLock::TFileLock(const std::string &FileName)
{
  char Resolved[PATH_MAX];
  FLockFileName = (::realpath(FileName.c_str(), Resolved) ? std::string(Resolved) : FileName) + ".lock";
  for (int Attempt = 0; Attempt < MaxAttempts; ++Attempt)
    if (TryLock())
      return;
  FError = EAGAIN;
}

TFileLock::~TFileLock()
{
  if (FFd < 0)
    return;
  // A lock file that has taken the name since (this one removed by hand) is
  // another program's.
  if (StillNamed(FFd, FLockFileName))
    ::unlink(FLockFileName.c_str());
  ::close(FFd);
}

bool TFileLock::TryLock()
{
  const char *Name = FLockFileName.c_str();
  int Fd = ::open(Name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  const int MadeError = errno;
  if (Fd < 0 && MadeError == EACCES) // one left by another user locks as well
    Fd = ::open(Name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (Fd < 0) {
    FError = MadeError;
    return true;
  }
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      FState = TState::InUse;
      FHolder = HolderOf(Fd);
    } else {
      FError = errno; // a file system without locks
    }
    ::close(Fd);
    return true;
  }
  if (!StillNamed(Fd, FLockFileName)) {
    ::close(Fd); // its holder removed it as it ended
    return false;
  }
  // The id is for the message of a program kept out; the lock holds without it.
  if (::ftruncate(Fd, 0) == 0)
    WriteAll(Fd, std::to_string(::getpid()) + "\n");
  FState = TState::Held;
  FFd = Fd;
  return true;
}

} // namespace platform
