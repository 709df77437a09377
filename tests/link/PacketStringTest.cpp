#include "link/PacketString.h"

#include <gtest/gtest.h>

#include "link/UnExtlibs.h"

namespace {

std::string Bytes(std::initializer_list<int> List)
{
  std::string s;
  for (int b : List)
    s.push_back(static_cast<char>(b));
  return s;
}

// An answer frame with the default identifier around the given records.
std::string AnswerFrame(const std::string &Records, uint8_t Head2 = 0x81)
{
  TPacketString codec;
  std::string body = Bytes({0x86, Head2}) + codec.Encode7(Records);
  return Bytes({0x02, 0xAA, 0xAA}) + AddCheckSum(body, ctCrc16Ccitt) + Bytes({0x03});
}

} // namespace

TEST(PacketString, Encode7AndItsInverse)
{
  TPacketString p;
  EXPECT_EQ(p.Encode7("abc"), Bytes({0xE1, 0xE2, 0xE3, 0x80}));
  EXPECT_EQ(p.Encode7(Bytes({0x01, 0x82})), Bytes({0x81, 0x82, 0xA0}));
  EXPECT_EQ(p.Encode7(Bytes({0xFF})), Bytes({0xFF, 0xC0}));
  EXPECT_EQ(p.Encode7("ABCDEFG"), Bytes({0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0x80}));
  EXPECT_EQ(p.Encode7("ABCDEFGH"), Bytes({0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0x80, 0xC8, 0x80}));
  EXPECT_EQ(p.Encode7(""), "");
  for (size_t n = 0; n <= 30; ++n) {
    std::string source;
    for (size_t i = 0; i < n; ++i)
      source.push_back(static_cast<char>(i * 37 + 0x75));
    const std::string packed = p.Encode7(source);
    EXPECT_EQ(packed.size(), n + (n + 6) / 7) << n;
    for (char c : packed)
      EXPECT_NE(static_cast<uint8_t>(c) & 0x80, 0);
    EXPECT_EQ(Decode7(packed), source) << n;
  }
}

TEST(PacketString, WorkedAnswerFrame)
{
  const std::string frame =
      Bytes({0x02, 0xAA, 0xAA, 0x86, 0x81, 0x85, 0x91, 0xA2, 0xE1, 0xE2, 0xE3, 0x80, 0xB3, 0x80, 0x03});
  EXPECT_EQ(AnswerFrame(Bytes({0x05, 0x11, 0x22, 'a', 'b', 'c'})), frame);
  TPacketString contents(frame, false);
  EXPECT_FALSE(contents.FParseError);
  EXPECT_EQ(*contents.FItems, TPacketItems{"abc"});
  EXPECT_TRUE(contents.IsComplete());
  EXPECT_EQ(contents.FId, 0xAAAA);
  EXPECT_EQ(contents.FRaw, frame);
  TPacketString whole(frame, true);
  EXPECT_EQ(*whole.FItems, TPacketItems{Bytes({0x05, 0x11, 0x22, 'a', 'b', 'c'})});
}

TEST(PacketString, BuildsRequestsThatParseBack)
{
  TPacketString empty;
  std::string out = "old";
  EXPECT_TRUE(empty.Build(out));
  EXPECT_EQ(out, "");

  TPacketString p;
  p.FItems->push_back("x");
  ASSERT_TRUE(p.Build(out));
  ASSERT_EQ(out.size(), 32u);
  EXPECT_EQ(out.substr(0, 6), Bytes({0x02, 0xAA, 0xAA, 0x86, 0x81, 0xFF}));
  const std::string payload = std::string(11, '\0') + "582630" + Bytes({0x02, 0x00, 'x'});
  EXPECT_EQ(out.substr(6, 23), p.Encode7(payload));
  for (size_t i = 1; i + 1 < out.size(); ++i)
    EXPECT_NE(static_cast<uint8_t>(out[i]) & 0x80, 0);
  EXPECT_EQ(out.back(), 0x03);
  EXPECT_EQ(FindCheckSumType(out), ctCrc16Ccitt);

  // Several records, a changed identification, two frames in one string.
  TPacketString q;
  *q.FItems = {"first", std::string(254, '\x7F'), std::string(1, '\0'), "last"};
  q.SetIdent("AB");
  EXPECT_EQ(q.FIdent, "AB0000");
  std::string two;
  ASSERT_TRUE(q.Build(two));
  TPacketItems items;
  TPacketString parsed(two + out, items);
  EXPECT_FALSE(parsed.FParseError);
  EXPECT_EQ(items, (TPacketItems{"first", std::string(254, '\x7F'), std::string(1, '\0'), "last", "x"}));
  ASSERT_NE(parsed.FNextPacket, nullptr);
  EXPECT_EQ(parsed.FNextPacket->FRaw, out);
  EXPECT_TRUE(parsed.IsComplete());

  // Building after a parse with no records gives the string parsed.
  TPacketString answer(AnswerFrame(Bytes({0x02, 0x11, 0x22})), false);
  EXPECT_TRUE(answer.FParseError);
  ASSERT_TRUE(answer.Build(out));
  EXPECT_EQ(out, answer.FRaw);
}

TEST(PacketString, RefusesListsItsBytesCannotDescribe)
{
  TPacketString longRecord;
  longRecord.FItems->push_back(std::string(255, 'a'));
  std::string out = "kept";
  EXPECT_FALSE(longRecord.Build(out));
  EXPECT_EQ(out, "kept");
  TPacketString many;
  many.FItems->assign(257, "r");
  EXPECT_FALSE(many.Build(out));
  many.FItems->pop_back();
  EXPECT_TRUE(many.Build(out));
  TPacketItems items;
  TPacketString parsed(out, items);
  EXPECT_EQ(items.size(), 256u);
}

TEST(PacketString, SetIdentCutsAndPads)
{
  TPacketString p;
  EXPECT_EQ(p.FIdent, "582630");
  p.SetIdent("ABCDEFGH");
  EXPECT_EQ(p.FIdent, "ABCDEF");
  p.SetIdent("");
  EXPECT_EQ(p.FIdent, "000000");
  p.Reset();
  EXPECT_EQ(p.FIdent, "582630");
  EXPECT_EQ(p.FPrefix, std::string(11, '\0'));
}

TEST(PacketString, RejectsMalformedFrames)
{
  const std::string good = AnswerFrame(Bytes({0x05, 0x11, 0x22, 'a', 'b', 'c'}));
  auto rejected = [](const std::string &Frame) {
    TPacketString p(Frame, false);
    return p.FParseError && p.FItems->empty() && !p.IsComplete() && p.FRaw == Frame &&
           p.FNextPacket == nullptr && p.FHead1 == 0x86;
  };
  EXPECT_TRUE(rejected(""));
  EXPECT_TRUE(rejected(good.substr(0, 8)));
  EXPECT_TRUE(rejected("\x01" + good.substr(1)));
  std::string id03 = good;
  id03[2] = 0x03; // the first 0x03 now lies inside the header
  EXPECT_TRUE(rejected(id03));
  std::string corrupted = good;
  corrupted[6] ^= 0x01;
  EXPECT_TRUE(rejected(corrupted));
  EXPECT_TRUE(rejected(good.substr(0, good.size() - 1))); // no ETX yet

  // Records without content add nothing: the frame counts as failed.
  EXPECT_TRUE(rejected(AnswerFrame(Bytes({0x02, 0x11, 0x22}))));
  // A one-byte content is a record.
  TPacketString one(AnswerFrame(Bytes({0x03, 0x11, 0x22, 'z'})), false);
  EXPECT_FALSE(one.FParseError);
  EXPECT_EQ(*one.FItems, TPacketItems{"z"});
}

TEST(PacketString, ChainsOfAnswerFrames)
{
  const std::string first = AnswerFrame(Bytes({0x04, 0, 0, 'a', 'b'}), 0x01);
  const std::string second = AnswerFrame(Bytes({0x04, 0, 0, 'c', 'd', 0x03, 0, 0, 'e'}), 0x81);
  TPacketString chain(first + second, false);
  EXPECT_EQ(*chain.FItems, (TPacketItems{"ab", "cd", "e"}));
  ASSERT_NE(chain.FNextPacket, nullptr);
  EXPECT_EQ(chain.FNextPacket->FItems, chain.FItems);
  EXPECT_FALSE(chain.FNextPacket->FOwnsItems);
  EXPECT_TRUE(chain.IsComplete());
  EXPECT_FALSE(TPacketString(first, false).IsComplete());
  EXPECT_FALSE(TPacketString(first + second + "\x02\xAA", false).IsComplete());
  EXPECT_FALSE(TPacketString(second + first, false).IsComplete());

  // Parsing again with a packet that owns its list starts afresh.
  chain.ParseAnswer(second, false);
  EXPECT_EQ(*chain.FItems, (TPacketItems{"cd", "e"}));
  EXPECT_EQ(chain.FNextPacket, nullptr);
  // A failed parse leaves the records as they were, but no chain of an
  // earlier string stands for a complete answer.
  chain.ParseAnswer(first + second, false);
  ASSERT_TRUE(chain.IsComplete());
  chain.ParseAnswer("\x02", false);
  EXPECT_EQ(*chain.FItems, (TPacketItems{"ab", "cd", "e"}));
  EXPECT_TRUE(chain.FParseError);
  EXPECT_EQ(chain.FNextPacket, nullptr);
  EXPECT_FALSE(chain.IsComplete());
  // Nor for a packet that adds to another's list.
  TPacketItems shared;
  TPacketString adding(first + second, false, shared);
  ASSERT_TRUE(adding.IsComplete());
  adding.ParseAnswer("\x02", false);
  EXPECT_TRUE(adding.FParseError);
  EXPECT_FALSE(adding.IsComplete());

  // A long chain is parsed and freed without nesting calls.
  std::string many;
  const std::string small = AnswerFrame(Bytes({0x03, 0, 0, 'q'}), 0x01);
  for (int i = 0; i < 50000; ++i)
    many += small;
  many += AnswerFrame(Bytes({0x03, 0, 0, 'r'}), 0x81);
  TPacketString big(many, false);
  EXPECT_EQ(big.FItems->size(), 50001u);
  EXPECT_TRUE(big.IsComplete());
}
