#pragma once
// A serial line that takes no output, as behind a wedged USB adapter or a
// hung pty bridge: a pseudo-terminal whose master side nobody reads, and a
// second opener of its slave (opened before the code under test) that keeps
// its output buffer full. A purge by the code under test empties the buffer
// for a moment; the filler fills it again at once.
#include <atomic>
#include <string>
#include <thread>

namespace testsupport {

class StuckLine {
public:
  // Links Dir/com<ComNumber> to the slave; Dir is the folder that
  // QUORLAN2_COM_DIR names.
  StuckLine(const std::string &Dir, int ComNumber);
  ~StuckLine();
  StuckLine(const StuckLine &) = delete;
  StuckLine &operator=(const StuckLine &) = delete;

  // Whether the buffer has been found full for good at least once since the
  // start (a purge empties it for a moment).
  bool Filled() const { return FFilled.load(); }

private:
  void Fill();

  int FMaster = -1;
  int FFiller = -1;
  int FStop = -1; // an eventfd that ends the filler
  std::string FLink;
  std::atomic<bool> FFilled{false};
  std::thread FThread;
};

} // namespace testsupport
