#include "platform/FileSpace.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

off_t SizeOf(int fd)
{
  struct stat status {};
  EXPECT_EQ(::fstat(fd, &status), 0);
  return status.st_size;
}

std::string Contents(int fd)
{
  std::string text(static_cast<std::size_t>(SizeOf(fd)), '?');
  EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  return text;
}

// Both ways of growing a file: they make room, or they leave the old bytes
// and the old length as they were when the file may not grow that far.
TEST(FileSpace, GrowsTheFileOrLeavesItAsItWas)
{
  char name[] = "/tmp/filespace-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  const std::string old = "[Main]\r\nCount=1\r\n";
  ASSERT_EQ(::write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
  const auto oldSize = static_cast<off_t>(old.size());

  for (auto *grow : {&platform::ReserveFileSpace, &platform::ExtendWithZeros}) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 6000; // more than the old file, less than asked for
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int error = grow(fd, oldSize, 10000);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(Contents(fd), old);
  }
  EXPECT_EQ(platform::ExtendWithZeros(fd, oldSize, 5000), 0);
  EXPECT_EQ(platform::ReserveFileSpace(fd, 5000, 9000), 0);
  EXPECT_EQ(Contents(fd), old + std::string(9000 - old.size(), '\0'));
  EXPECT_EQ(platform::ReserveFileSpace(fd, 9000, 100), 0); // no shrinking here
  EXPECT_EQ(SizeOf(fd), 9000);
  ::close(fd);
}

} // namespace
