// The loader behind gateways that forward an answer in several TCP segments:
// each piece is no answer of its own, and bytes that come after their
// exchange has ended are no part of the next answer.
#include "LoaderFixture.h"
#include "link/MeterProtocol.h"
#include "link/UnExtlibs.h"
#include "loader/LoaderTexts.h"

#include <arpa/inet.h>
#include <atomic>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace loader;
using namespace std::chrono_literals;
using loader_test::Hex;
using loader_test::LoaderTest;
using sim::MeterConfig;
using sim::SimLine;

namespace {

void UseGateway(TQuorlan &q, int port)
{
  q.FUseComPort = false;
  q.SetTcpHost("127.0.0.1");
  q.FTcpClient->Port = port;
}

} // namespace

class PiecewiseGateway : public LoaderTest, public ::testing::WithParamInterface<SimLine::Pieces> {
protected:
  // Block answers that go wrong once each: lost, refused with a short status
  // answer, spoiled on the way, preceded by an old answer, accepted with
  // status 3. Overrides run on the gateway's thread.
  static sim::AnswerOverride BlockFaults(sim::SimMeter &meter)
  {
    auto seen = std::make_shared<std::map<int, int>>();
    return [&meter, seen](const std::string &r) -> std::optional<std::string> {
      const int index = BlockIndexOf(r);
      if (index < 0 || (*seen)[index]++ > 0)
        return std::nullopt;
      const std::size_t L = protocol::PrefixLength(r);
      const std::string prefix = r.substr(0, L);
      const char tag = r[L + 5];
      switch (index) {
      case 3:
        return std::string();
      case 5:
        return sim::WithCrc(prefix + '\x01');
      case 7: {
        std::string spoiled = meter.OwnAnswer(r);
        spoiled.back() = static_cast<char>(spoiled.back() ^ 0x5A);
        return spoiled;
      }
      case 9:
        return sim::WithCrc(prefix + static_cast<char>(tag + 1) + '\x00') + meter.OwnAnswer(r);
      case 11: {
        const std::string own = meter.OwnAnswer(r);
        return sim::WithCrc(own.substr(0, L + 1) + '\x03');
      }
      default:
        return std::nullopt;
      }
    };
  }
};

// A one-byte prefix (the broadcast address, for a meter left in test mode)
// and a five-byte one (the extended address read from the meter), with every
// fault of a block answer.
TEST_P(PiecewiseGateway, WritesEveryMeterExactly)
{
  auto gateway = SimLine::ListenTcp();
  gateway->SetAnswerPieces(GetParam(), 1ms); // about the byte time at 9600 baud
  MeterConfig broadcast = MeterConfig::ForType(1, 255);
  broadcast.StartsInTestMode = true; // the broadcast address finds it there
  auto lb = gateway->AddMeter(broadcast);
  auto lct = gateway->AddMeter(MeterConfig::ForType(4, 8));
  lb->SetOverride(BlockFaults(*lb));
  lct->SetOverride(BlockFaults(*lct));
  auto q = MakeLoader("255,8");
  UseGateway(*q, gateway->Port());
  q->FTcpClient->ReadTimeout = 1000; // waited out for the lost blocks
  Run(*q);

  EXPECT_TRUE(Written(*lb) == ImageOf(1)) << lb->BlockWrites() << " blocks written";
  EXPECT_TRUE(Written(*lct) == ImageOf(4)) << lct->BlockWrites() << " blocks written";
  EXPECT_EQ(Hex(lb->Requests().back()).substr(0, 2), "FF");
  EXPECT_EQ(Hex(lct->Requests().back()).substr(0, 2), "FC");
  // The broadcast address reads no version back, so the run cannot be
  // judged a success as a whole; the memories above are what counts.
  EXPECT_EQ(q->StateText(), "???");
  EXPECT_EQ(q->Errors(), 3) << "the lost, the refused and the spoiled block of the last meter";
}

INSTANTIATE_TEST_SUITE_P(Pieces, PiecewiseGateway,
                         ::testing::Values(SimLine::Pieces::EveryByte, SimLine::Pieces::RandomSplit),
                         [](const ::testing::TestParamInfo<SimLine::Pieces> &param) {
                           return param.param == SimLine::Pieces::EveryByte ? "EveryByte" : "RandomSplit";
                         });

// The tail of an answer that came after its exchange had ended waits in the
// connection; the next exchange drops it (and logs it) before its request.
TEST_F(LoaderTest, LateTailIsNotTakenForTheNextAnswer)
{
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);

  const std::string prefix("\xFC\x00\x01\x02\x03", 5);
  const std::string request = sim::WithCrc(prefix + std::string("\x08\x03", 2));
  const std::string first = sim::WithCrc(prefix + std::string("\x34\x00\x30", 3));
  const std::string second = sim::WithCrc(prefix + std::string("\x34\x00\x35", 3));
  std::atomic<bool> firstEnded{false}, tailSent{false};
  std::thread gateway([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    auto receive = [fd](std::size_t count) {
      std::string got(count, '\0');
      for (std::size_t have = 0; have < count;) {
        const ssize_t n = ::recv(fd, got.data() + have, count - have, 0);
        if (n <= 0)
          return;
        have += static_cast<std::size_t>(n);
      }
    };
    auto send = [fd](const std::string &bytes) {
      (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    };
    receive(request.size());
    send(first.substr(0, 3));
    WaitUntil([&] { return firstEnded.load(); });
    send(first.substr(3));
    tailSent = true;
    receive(request.size());
    send(second);
    receive(1); // until the loader closes
    ::close(fd);
  });

  auto q = MakeLoader("");
  UseGateway(*q, ntohs(address.sin_port));
  q->FTcpClient->ReadTimeout = 5000;
  q->FDevice->SetOnLog([](std::int32_t, std::uint8_t, const char *, std::int32_t) {});
  q->SetLinkActive(true);
  EXPECT_TRUE(q->IsLinkActive());
  std::string answer;
  EXPECT_FALSE(q->Exchange(request, 10, answer)) << "the pause ends the answer as it stands";
  EXPECT_EQ(answer, first.substr(0, 3));
  firstEnded = true;
  EXPECT_TRUE(WaitUntil([&] { return tailSent.load(); }));
  EXPECT_TRUE(q->Exchange(request, 10, answer));
  EXPECT_EQ(Hex(answer), Hex(second));
  q->SetLinkActive(false);
  gateway.join();
  ::close(listener);

  const std::string dropped = "\tRX\t" + StrToHex(first.substr(3), " ");
  bool logged = false;
  for (const auto &line : LogLines(*q))
    logged = logged || (line.size() > dropped.size() && line.substr(line.size() - dropped.size()) == dropped);
  EXPECT_TRUE(logged) << "the dropped bytes are logged as received";
}
