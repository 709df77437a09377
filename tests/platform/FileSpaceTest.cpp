#include "platform/FileSpace.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

// The fallback for file systems that cannot allocate ahead (the settings
// file's tests cover posix_fallocate): a growth that does not fit leaves the
// old bytes and the old length; one that fits adds zeros.
TEST(FileSpace, ZerosThatDoNotFitLeaveTheFileAsItWas)
{
  char name[] = "/tmp/filespace-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  const std::string old = "[Main]\r\nCount=1\r\n";
  ASSERT_EQ(::write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
  const auto contents = [fd] {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '?');
    return ::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? text : "<unread>";
  };

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 6000; // more than the old file, less than asked for
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int error = platform::ExtendWithZeros(fd, static_cast<off_t>(old.size()), 10000);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(contents(), old);

  EXPECT_EQ(platform::ExtendWithZeros(fd, static_cast<off_t>(old.size()), 9000), 0);
  EXPECT_EQ(contents(), old + std::string(9000 - old.size(), '\0'));
  ::close(fd);
}
