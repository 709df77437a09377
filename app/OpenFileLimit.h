#pragma once
// The open-file limit of the process. Every process row costs descriptors
// while it runs (a TCP row its socket; a COM row its port and two wake-up
// counters), and the window needs some of its own (the display connection,
// fonts, the command server and its clients), so the soft limit is raised to
// the hard one at start.
#include <cstdint>

namespace app {

// Raises the soft RLIMIT_NOFILE to the hard limit; the soft limit in force
// afterwards (0 when it cannot be read).
std::uint64_t RaiseOpenFileLimit();

} // namespace app
