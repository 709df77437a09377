// Applying a row's link settings: each setting of the set given, and no
// other, reaches the loader.
#include "app/LinkSettings.h"

#include "platform/Thread.h"

#include <gtest/gtest.h>

namespace {

// Settings that differ from a new loader's in every field.
app::TLinkSettings Unusual()
{
  app::TLinkSettings S;
  S.Port = 7;
  S.BaudRate = 19200;
  S.Parity = platform::ODDPARITY;
  S.SystemTimeOut = 33;
  S.AnswerTimeOut = 4321;
  S.Multiplier = 9;
  S.NetAdr = "5,6";
  S.UseComPort = false;
  S.TcpHost = "gw.local";
  S.TcpPort = 5001;
  S.TcpReadTimeout = 1234;
  S.BlockSize = 64;
  S.AlertSequence = true;
  S.PacketMode = true;
  return S;
}

// The number of fields in which two settings differ.
int Differences(const app::TLinkSettings &A, const app::TLinkSettings &B)
{
  return (A.Port != B.Port) + (A.BaudRate != B.BaudRate) + (A.Parity != B.Parity) +
         (A.SystemTimeOut != B.SystemTimeOut) + (A.AnswerTimeOut != B.AnswerTimeOut) +
         (A.Multiplier != B.Multiplier) + (A.NetAdr != B.NetAdr) + (A.UseComPort != B.UseComPort) +
         (A.TcpHost != B.TcpHost) + (A.TcpPort != B.TcpPort) + (A.TcpReadTimeout != B.TcpReadTimeout) +
         (A.BlockSize != B.BlockSize) + (A.AlertSequence != B.AlertSequence) + (A.PacketMode != B.PacketMode);
}

} // namespace

TEST(LinkSettings, EverySettingOfTheSetAndNoOtherIsApplied)
{
  const app::TLinkSettings S = Unusual();
  {
    auto L = platform::MakeThread<loader::TQuorlan>();
    ASSERT_EQ(Differences(app::ReadLinkSettings(*L), S), 14) << "the test's settings differ in every field";
    app::ApplyLinkSettings(*L, S);
    EXPECT_EQ(app::ReadLinkSettings(*L), S);
  }
  for (std::uint32_t Bit = 1; Bit < app::lsAll; Bit <<= 1) {
    auto L = platform::MakeThread<loader::TQuorlan>();
    const app::TLinkSettings Before = app::ReadLinkSettings(*L);
    app::ApplyLinkSettings(*L, S, Bit);
    const app::TLinkSettings After = app::ReadLinkSettings(*L);
    EXPECT_EQ(Differences(Before, After), 1) << "setting bit " << Bit;
    EXPECT_EQ(Differences(After, S), 13) << "setting bit " << Bit;
  }
}

TEST(LinkSettings, TheAnswerTimeOutIsTheTcpReadTimeOutToo)
{
  app::TLinkSettings S;
  S.SetAnswerTimeOut(2500);
  EXPECT_EQ(S.AnswerTimeOut, 2500);
  EXPECT_EQ(S.TcpReadTimeout, 2500);
}
