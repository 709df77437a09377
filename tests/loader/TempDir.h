#pragma once
// A private folder for one test's files, removed with everything in it when
// the test ends, so that tests can run in parallel.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace loader_test {

class TTempDir {
public:
  TTempDir()
  {
    const char *Base = std::getenv("TMPDIR");
    std::string Pattern = std::string(Base && *Base ? Base : "/tmp") + "/quorlan2-loader-XXXXXX";
    if (!::mkdtemp(Pattern.data()))
      throw std::runtime_error("mkdtemp failed");
    FPath = Pattern;
  }
  ~TTempDir()
  {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir &) = delete;
  TTempDir &operator=(const TTempDir &) = delete;

  std::string operator/(const std::string &Name) const { return (FPath / Name).string(); }

private:
  std::filesystem::path FPath;
};

inline void WriteFile(const std::string &Path, const std::string &Bytes)
{
  std::ofstream(Path, std::ios::binary) << Bytes;
}

inline std::string ReadFile(const std::string &Path)
{
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

} // namespace loader_test
