#include "app/OpenFileLimit.h"

#include <sys/resource.h>

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

} // namespace app
