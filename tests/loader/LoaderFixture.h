#pragma once
// What the loader's tests share: a loader on COM1 whose fixed waits are cut
// short, a run to its end, and the views of the log and of the meter's
// requests that the tests compare.
#include "loader/Quorlan.h"

#include "TempDir.h"
#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "platform/Cp1251.h"
#include "platform/TextRules.h"
#include "support/SimLine.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace loader_test {

using namespace loader;
using namespace std::chrono_literals;

inline std::string Hex(const std::string &bytes)
{
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

class LoaderTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    LoaderUnitsInitialization();
    ::setenv("QUORLAN2_COM_DIR", Dir.operator/("").c_str(), 1);
  }
  void TearDown() override { LoaderUnitsFinalization(); }

  // A loader on COM1 with the procedure's fixed waits cut short.
  platform::TThreadPtr<TQuorlan> MakeLoader(const std::string &addresses)
  {
    auto q = platform::MakeThread<TQuorlan>();
    q->FDevice->FInfo->SetParam(rpPortNumber, 1);
    // Answers come at once; an answer time-out far above any delay keeps a
    // loaded machine (or a sanitizer build) from turning a slow answer into
    // a failed block. A test that waits out silences sets a shorter one.
    q->FDevice->FInfo->SetParam(rpAnswerTimeOut, 20000);
    q->FDevice->FInfo->SetParam(rpSystemTimeOut, 100);
    q->SetNetAdr(addresses);
    q->FTestModeWait = 0ms;
    q->FCloseWait = 0ms;
    q->FAlertWait = 0ms;
    q->FLinkWait = 0ms;
    return q;
  }

  // Starts the loader and waits until its run has ended.
  static void Run(TQuorlan &q, std::chrono::milliseconds timeout = 60s)
  {
    ASSERT_EQ(q.State(), ssIdle);
    q.Start(); // idle -> ssStart at once, on this thread
    ASSERT_TRUE(WaitUntil([&] { return q.State() == ssIdle; }, timeout))
        << platform::Cp1251ToUtf8(q.StateText());
  }

  // Answer time-outs for tests where the meter stays silent, on purpose or
  // because it answers some request only in test mode: each silence costs
  // this long, and every answer must still come within it.
  static void ShortAnswerWait(TQuorlan &q, int ms = 2000) { q.FDevice->FInfo->SetParam(rpAnswerTimeOut, ms); }

  static std::vector<std::string> LogLines(const TQuorlan &q) { return platform::SplitCommaText(q.Log()); }

  static bool LogHas(const TQuorlan &q, const std::string &text)
  {
    for (const auto &line : LogLines(q))
      if (line.find(text) != std::string::npos)
        return true;
    return false;
  }

  // The log line of a stopped run: the time stamp, the fixed text and the
  // blank before the empty verdict.
  static std::string StopLineEnd()
  {
    std::string format = texts::STestFinished; // "%s : ... %s"
    return format.substr(2, format.size() - 4);
  }

  // The block index of a block write request, -1 for any other request.
  static int BlockIndexOf(const std::string &r)
  {
    const std::size_t L = protocol::PrefixLength(r);
    if (r.size() <= L + 5 || r[L] != '\x07')
      return -1;
    return (static_cast<unsigned char>(r[L + 2]) << 8) | static_cast<unsigned char>(r[L + 3]);
  }

  // The block indexes of the block writes a meter received, in order.
  static std::vector<int> BlockIndexes(const sim::SimMeter &meter)
  {
    std::vector<int> indexes;
    for (const auto &r : meter.Requests())
      if (const int index = BlockIndexOf(r); index >= 0)
        indexes.push_back(index);
    return indexes;
  }

  // The part of the meter's memory that the loader writes, and the same part
  // of the built-in image of a type.
  static std::string Written(const sim::SimMeter &meter)
  {
    return meter.Memory().substr(sim::SimMeter::kWriteStart);
  }
  static std::string ImageOf(int type)
  {
    return DumpMem[static_cast<std::size_t>(type)]->Snapshot()->substr(20480);
  }

  loader_test::TTempDir Dir;
};

} // namespace loader_test
