#pragma once
// The open-file limit of the process. Every process row costs descriptors
// while it runs (a TCP row its socket; a COM row its port and two wake-up
// counters), and the window needs some of its own (the display connection,
// fonts, the command server and its clients), so the soft limit is raised to
// the hard one at start.
#include <cstdint>

namespace app {

// What a running row holds: a TCP row its socket, a COM row its port and
// the port's two wake-up counters. An idle row holds none.
inline constexpr std::int64_t TcpRowDescriptors = 1;
inline constexpr std::int64_t ComRowDescriptors = 3;
// Kept free for the window itself (fonts, dialogs, the settings file) when
// rows are started; the command server's clients still to come are kept
// room for besides (TDescriptorBudget).
inline constexpr std::int64_t WindowDescriptorReserve = 32;

// Raises the soft RLIMIT_NOFILE to the hard limit; the soft limit in force
// afterwards (0 when it cannot be read).
std::uint64_t RaiseOpenFileLimit();
// The soft limit in force.
std::int64_t OpenFileLimit();
// How many more descriptors the process may open now.
std::int64_t FreeDescriptors();

} // namespace app
