#pragma once
// One program at a time on a file: a lock that belongs to the file's name,
// held on a lock file beside it ("<file>.lock"). The file itself cannot hold
// it, since every save replaces the file by a new one.
//
// The lock is the system's (flock): it ends with its holder however that
// ends, killed or cut off by a power loss included, so a lock file left
// behind keeps nobody out. The holder writes its process id into the lock
// file, for the message of the one it keeps out, and removes the lock file
// when it lets go.
#include <string>
#include <sys/types.h>

namespace platform {

class TFileLock {
public:
  enum class TState {
    Held,   // this program holds the lock
    InUse,  // another program holds it
    NotMade // no lock file could be made or locked (Error says why)
  };

  // Takes the lock of FileName at once, or finds it held. A link is followed,
  // so that every name of one file has one lock.
  explicit TFileLock(const std::string &FileName);
  // Lets go: the lock file is removed, then the lock ends.
  ~TFileLock();
  TFileLock(const TFileLock &) = delete;
  TFileLock &operator=(const TFileLock &) = delete;

  TState State() const { return FState; }
  const std::string &LockFileName() const { return FLockFileName; }
  // InUse: the holder's process id, 0 when it is not known.
  pid_t Holder() const { return FHolder; }
  // NotMade: the errno of the failure.
  int Error() const { return FError; }

private:
  // One attempt; false when the lock file went away meanwhile and the
  // attempt must be made again.
  bool TryLock();

  std::string FLockFileName;
  int FFd = -1; // of the lock file, while the lock is held
  TState FState = TState::NotMade;
  pid_t FHolder = 0;
  int FError = 0;
};

} // namespace platform
