#include "app/OpenFileLimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <limits>

namespace app {

std::uint64_t RaiseOpenFileLimit()
{
  rlimit Limit{};
  if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0)
    return 0;
  if (Limit.rlim_cur < Limit.rlim_max) {
    rlimit Raised = Limit;
    Raised.rlim_cur = Limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &Raised) == 0)
      Limit = Raised;
  }
  return static_cast<std::uint64_t>(Limit.rlim_cur);
}

std::int64_t OpenFileLimit()
{
  rlimit Limit{};
  if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0 || Limit.rlim_cur == RLIM_INFINITY)
    return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(Limit.rlim_cur);
}

std::int64_t FreeDescriptors()
{
  DIR *Dir = ::opendir("/proc/self/fd");
  if (!Dir)
    return 0;             // not even one more descriptor for the listing
  std::int64_t Open = -1; // the listing's own
  while (const dirent *Entry = ::readdir(Dir))
    if (Entry->d_name[0] != '.')
      ++Open;
  ::closedir(Dir);
  const std::int64_t Limit = OpenFileLimit();
  return Limit == std::numeric_limits<std::int64_t>::max() ? Limit : Limit - Open;
}

} // namespace app
