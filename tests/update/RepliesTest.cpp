#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "procedure/Notifications.h"
#include "update/Replies.h"

namespace update {

using namespace procedure;

namespace {

using namespace std::string_literals;

// Ports by COM number, each with the chunks its reads return in turn.
class FakeHost : public ReplyHost {
 public:
  std::map<int, int> indexOfCom{{3, 0}, {4, 1}};
  std::map<int, std::deque<std::string>> reads;  // by port index
  std::map<int, bool> closed;
  int instrumentPort = -1;
  int claims = 0;
  int claimedCom = 0;
  std::vector<std::string> traces;

  int PortIndexOf(int com) override {
    auto it = indexOfCom.find(com);
    return it == indexOfCom.end() ? -1 : it->second;
  }
  int ReadPort(int index, char* buf, unsigned n) override {
    if (closed[index]) return -10;
    auto& q = reads[index];
    if (q.empty()) return 0;
    std::string& front = q.front();
    const std::size_t take = std::min<std::size_t>(n, front.size());
    std::memcpy(buf, front.data(), take);
    front.erase(0, take);
    if (front.empty()) q.pop_front();
    return static_cast<int>(take);
  }
  int InstrumentPort() const override { return instrumentPort; }
  void SetInstrumentPort(int index, int com) override {
    instrumentPort = index;
    claimedCom = com;
    ++claims;
  }
  void Trace(const std::string& line) override { traces.push_back(line); }
};

// One dispatched notification, with its payload read at once (payloads point into the
// parser), as text or as value where the test expects one.
struct Note {
  std::int32_t code;
  std::intptr_t payload;
};

class ReplyParserTest : public ::testing::Test {
 protected:
  FakeHost host;
  kernel::EventQueue queue;
  ReplyParser parser{host, queue};

  // Feeds bytes to the port of com and runs the parser until the port has no more (as the
  // receive thread's next data message would).
  std::vector<Note> Feed(int com, const std::string& bytes) {
    auto& pending = host.reads[host.PortIndexOf(com)];
    pending.push_back(bytes);
    std::vector<Note> out;
    do {
      parser.ReadReplies(com);
      for (const Note& n : Drain()) out.push_back(n);
    } while (!pending.empty() && !host.closed[host.PortIndexOf(com)]);
    return out;
  }
  std::vector<Note> Drain() {
    std::vector<Note> out;
    for (kernel::Event ev = queue.TakeEvent(); ev.kind != kernel::EvNone; ev = queue.TakeEvent()) {
      EXPECT_EQ(ev.kind, kernel::EvNotify);
      out.push_back({ev.code, ev.payload});
    }
    return out;
  }
  static std::string Text(const Note& n) { return reinterpret_cast<const char*>(n.payload); }
  static float Value(const Note& n) { return *reinterpret_cast<const float*>(n.payload); }
  static std::vector<std::int32_t> Codes(const std::vector<Note>& notes) {
    std::vector<std::int32_t> codes;
    for (const Note& n : notes) codes.push_back(n.code);
    return codes;
  }
};

TEST_F(ReplyParserTest, LineSplitOverTwoReadsGivesOneReplyAfterTheSecond) {
  EXPECT_TRUE(Feed(3, "I.23#123").empty());
  const auto notes = Feed(3, "45.000\r\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].code, 23);
  EXPECT_EQ(Text(notes[0]), "12345.000");
  EXPECT_EQ(parser.ReplyCode(), 23);
  EXPECT_EQ(parser.ReceiveLength(), 0u);
  ASSERT_EQ(host.traces.size(), 1u);
  EXPECT_EQ(host.traces[0], "I.23#12345.000 <-");
}

TEST_F(ReplyParserTest, MarkersOfOneLinePostInFixedOrder) {
  struct Case {
    std::string line;
    std::vector<std::int32_t> codes;
    std::string text;  // of the first notification, when it is a reply
  };
  const Case cases[] = {
      {"I.2010#21130.000!", {2010, NotifyAck}, "21130.000!"},
      {"B.205#14210045", {205}, "14210045"},
      {"I.23", {23}, ""},                      // no "#": empty text
      {"A.1000", {NotifyEcho}, ""},
      {"C.7", {NotifyEcho}, ""},
      {"!", {NotifyAck}, ""},
      {"?", {NotifyError}, ""},
      {"A.5588#QX17?", {NotifyEcho, NotifyError}, ""},
      {"I.30!?", {30, NotifyAck, NotifyError}, ""},
      {"  I.  -12#x", {-12}, "x"},             // blanks and a sign before the number
      {"I.#x", {}, ""},                        // no number: code 0 is not posted
      {"hello 42", {}, ""},                    // no marker: traced, dropped
      {"$5.0", {}, ""},                        // a value needs one of the other markers
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto notes = Feed(3, c.line + "\r\n");
    EXPECT_EQ(Codes(notes), c.codes);
    if (!notes.empty() && notes[0].code < 10000) {
      EXPECT_EQ(Text(notes[0]), c.text);
    }
  }
  EXPECT_EQ(host.traces.size(), std::size(cases));
}

TEST_F(ReplyParserTest, ValueReplyPostsTheNumberAfterDollar) {
  auto notes = Feed(3, "I.80$12.5\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{80, 80}));
  EXPECT_EQ(Text(notes[0]), "");
  EXPECT_FLOAT_EQ(Value(notes[1]), 12.5f);
  EXPECT_FLOAT_EQ(parser.ReplyValue(), 12.5f);

  notes = Feed(3, "A.81$ -3.25e1xyz\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{81, NotifyEcho}));
  EXPECT_FLOAT_EQ(Value(notes[0]), -32.5f);

  // Values a float cannot hold are clamped, never undefined.
  notes = Feed(3, "I.82$1e300\r\nI.83$1e-400\r\nI.84$abc\r\n");
  ASSERT_EQ(notes.size(), 6u);
  EXPECT_FLOAT_EQ(Value(notes[1]), std::numeric_limits<float>::max());
  EXPECT_FLOAT_EQ(Value(notes[3]), 0.0f);
  EXPECT_FLOAT_EQ(Value(notes[5]), 0.0f);
}

TEST_F(ReplyParserTest, FirstAcknowledgementClaimsTheInstrumentPortOnce) {
  EXPECT_EQ(Codes(Feed(4, "!\r\n")), (std::vector<std::int32_t>{NotifyAck}));
  EXPECT_EQ(host.instrumentPort, 1);
  EXPECT_EQ(host.claimedCom, 4);
  EXPECT_EQ(Codes(Feed(3, "!\r\n")), (std::vector<std::int32_t>{NotifyAck}));
  EXPECT_EQ(host.instrumentPort, 1);
  EXPECT_EQ(host.claims, 1);
}

TEST_F(ReplyParserTest, EchoAloneDoesNotClaimThePort) {
  Feed(3, "A.1000\r\n");
  EXPECT_EQ(host.claims, 0);
}

TEST_F(ReplyParserTest, NulBytesCountAsBlanks) {
  auto notes = Feed(3, "I.25#1421\0"s "0045\r\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(Text(notes[0]), "1421 0045");
  // A NUL in front of the line end must not hide the line.
  EXPECT_EQ(Codes(Feed(3, "\0\0!\r\n"s)), (std::vector<std::int32_t>{NotifyAck}));
}

TEST_F(ReplyParserTest, TwoLinesInOneReadKeepOrderAndTheirOwnTexts) {
  const auto notes = Feed(3, "I.23#12345.000\r\nI.20#21130.000\r\n!\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{23, 20, NotifyAck}));
  EXPECT_EQ(Text(notes[0]), "12345.000");
  EXPECT_EQ(Text(notes[1]), "21130.000");
  EXPECT_STREQ(parser.ReplyText(), "21130.000");
}

TEST_F(ReplyParserTest, BootIdentificationFramesOfAllThreeForms) {
  struct Case {
    std::string frame;
    std::string text;
  };
  const Case cases[] = {
      {"h00h\x1D" "BL V1.2\x0C\x16", "BL V1.2"},
      {"h11h\x1E" "EMF 2.0\x0A\x16", "EMF 2.0"},
      {"h,,h\x19" "BSL\x0C\x16", "BSL"},
      {"h00hBL\x16", ""},                    // no text-start byte: empty text
      {"h00h\x1D" "open\x16", "open"},        // no text-end byte: text up to the frame end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    parser.SetIdentFrameSeen(false);
    host.instrumentPort = -1;
    const auto notes = Feed(4, c.frame);
    ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyBootId}));
    EXPECT_EQ(Text(notes[0]), c.text);
    EXPECT_EQ(parser.ReceiveLength(), 0u);
    EXPECT_TRUE(parser.IdentFrameSeen());
    EXPECT_EQ(host.instrumentPort, 1);
  }
}

TEST_F(ReplyParserTest, BootFrameIsCutOutAndTheBytesAroundItStay) {
  const auto notes = Feed(3, "xy" "h00h\x1D" "BL\x0C\x16" "I.2");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyBootId}));
  EXPECT_EQ(parser.Received(), "xyI.2");
  EXPECT_EQ(Codes(Feed(3, "1#7\r\n")), (std::vector<std::int32_t>{21}));
}

TEST_F(ReplyParserTest, IncompleteBootFrameWaitsForItsEndByte) {
  EXPECT_TRUE(Feed(3, "h11h\x1E" "BL V").empty());
  EXPECT_FALSE(parser.IdentFrameSeen());
  EXPECT_EQ(host.claims, 0);
  const auto notes = Feed(3, "3.0\x0A\x16");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyBootId}));
  EXPECT_EQ(Text(notes[0]), "BL V3.0");
}

TEST_F(ReplyParserTest, BootMarkerEmptiesTheBuffer) {
  auto notes = Feed(3, "\x90");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyBootMarker}));
  EXPECT_EQ(notes[0].payload, -112);
  EXPECT_EQ(parser.ReceiveLength(), 0u);
  EXPECT_TRUE(parser.IdentFrameSeen());
  EXPECT_EQ(host.instrumentPort, 0);

  // The 5xx loader's answer to the wake-up frames: error bytes, 'Q' among them.
  notes = Feed(3, "TQQ");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyBootMarker}));
  EXPECT_EQ(notes[0].payload, 81);
  EXPECT_EQ(parser.ReceiveLength(), 0u);

  // 0x90 wins over "Q"; a frame start in the buffer suppresses the marker search.
  notes = Feed(3, "Q\x90");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].payload, -112);
  EXPECT_TRUE(Feed(3, "h,,hQ").empty());
}

TEST_F(ReplyParserTest, QInsideAnUnfinishedReplyLineIsNoBootMarker) {
  EXPECT_TRUE(Feed(3, "A.5588#QX").empty());
  EXPECT_EQ(parser.Received(), "A.5588#QX");
  EXPECT_EQ(Codes(Feed(3, "17\r\n")), (std::vector<std::int32_t>{NotifyEcho}));
  EXPECT_FALSE(parser.IdentFrameSeen());
}

TEST_F(ReplyParserTest, MarkerOnlyAloneAndOnlyWhenTheSearchWantsOne) {
  // Noise that happens to hold a 0x90 or a "Q" is no loader's answer.
  for (const std::string& noise : {"..Q.."s, "\xFF\x00Q"s, "\x13\x90\xE7"s}) {
    EXPECT_TRUE(Feed(3, noise).empty()) << noise;
    parser.ClearReceive();
  }
  EXPECT_FALSE(parser.IdentFrameSeen());
  // Before the search sends its wake-up frames not even a lone marker counts.
  parser.SetBootMarkersWanted(false);
  EXPECT_TRUE(Feed(3, "\x90").empty());
  parser.ClearReceive();
  parser.SetBootMarkersWanted(true);
  EXPECT_EQ(Codes(Feed(3, "\x90")), (std::vector<std::int32_t>{NotifyBootMarker}));
}

TEST_F(ReplyParserTest, PortNotOpenOrUnknownGivesNothing) {
  host.closed[0] = true;
  EXPECT_TRUE(Feed(3, "!\r\n").empty());
  EXPECT_EQ(parser.ReceiveLength(), 0u);
  parser.ReadReplies(9);  // no port has COM 9
  EXPECT_TRUE(Drain().empty());
  EXPECT_EQ(host.claims, 0);
}

TEST_F(ReplyParserTest, ClearReceiveDropsAPartialLine) {
  Feed(3, "I.23#12");
  parser.ClearReceive();
  EXPECT_EQ(parser.ReceiveLength(), 0u);
  const auto notes = Feed(3, "I.20#5\r\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(Text(notes[0]), "5");
}

TEST_F(ReplyParserTest, OverlongInputKeepsTheNewestBytesAndNeverOverflows) {
  for (int i = 0; i < 6; ++i) Feed(3, std::string(250, 'a' + i));
  EXPECT_EQ(parser.ReceiveLength(), ReplyParser::kReceiveCap);
  EXPECT_EQ(parser.Received().back(), 'f');
  EXPECT_EQ(parser.Received().substr(0, 1019 - 1000), std::string(19, 'b'));
  // The reply behind the noise still gets through: a long line keeps its end.
  const auto notes = Feed(3, "I.23#ok\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{23}));
  EXPECT_EQ(Text(notes[0]), "ok");
  EXPECT_EQ(parser.LastLine().size(), ReplyParser::kLineCap - 1);
}

TEST_F(ReplyParserTest, OverlongTextsAreCutToTheirFields) {
  auto notes = Feed(3, "I.5#" + std::string(180, 'x') + std::string(180, 'y') + "\r\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(Text(notes[0]), std::string(180, 'x') + std::string(75, 'y'));

  notes = Feed(3, "h00h\x1D" + std::string(150, 'z') + "\x0C\x16");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(Text(notes[0]), std::string(ReplyParser::kIdentCap - 1, 'z'));
}

TEST_F(ReplyParserTest, SeveralMarkersReadTheNumberAtTheSumOfTheirPositions) {
  // "A." at 1 and "I." at 3: the number is read from index 5 ("7"), past the line it is 0.
  auto notes = Feed(3, "A.I.x7#t\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{7, NotifyEcho}));
  notes = Feed(3, "xxxxI.A.\r\n");
  ASSERT_EQ(Codes(notes), (std::vector<std::int32_t>{NotifyEcho}));  // code 0 is not posted
}

TEST(WakeUpFrames, EntriesAndTheFramesOfEachFileType) {
  using Bytes = std::vector<std::uint8_t>;
  auto bytes = [](std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(bytes(WakeUpFrameEntry(0)), (Bytes{0x68, 0, 0, 0x68, 0, 0, 0, 0, 0x16}));
  EXPECT_EQ(bytes(WakeUpFrameEntry(1)), (Bytes{0x80}));
  EXPECT_EQ(bytes(WakeUpFrameEntry(2)), (Bytes{0x0D, 0x0A}));
  EXPECT_EQ(bytes(WakeUpFrameEntry(3)), (Bytes{0x0D, 0x0A}));
  EXPECT_EQ(bytes(WakeUpFrameEntry(4)), (Bytes{0x85, 0x01, 0x00, 0x1A}));
  EXPECT_TRUE(WakeUpFrameEntry(5).empty());
  EXPECT_TRUE(WakeUpFrameEntry(-1).empty());

  EXPECT_EQ(bytes(FirstWakeUpFrame(1)), bytes(WakeUpFrameEntry(1)));
  EXPECT_EQ(bytes(SecondWakeUpFrame(0)), (Bytes{0x0D, 0x0A}));
  EXPECT_EQ(bytes(SecondWakeUpFrame(1)), (Bytes{0x85, 0x01, 0x00, 0x1A}));
  for (int fileType : {2, 3, 4, 5, 7}) EXPECT_TRUE(SecondWakeUpFrame(fileType).empty());
  EXPECT_TRUE(FirstWakeUpFrame(6).empty());  // a combined FileType has no frame
}

TEST(DecimalValue, ReadsLikeTheInstrumentProtocolSays) {
  EXPECT_EQ(DecimalValue("2010#x"), 2010);
  EXPECT_EQ(DecimalValue("  +7"), 7);
  EXPECT_EQ(DecimalValue("-15a"), -15);
  EXPECT_EQ(DecimalValue("x1"), 0);
  EXPECT_EQ(DecimalValue(""), 0);
  EXPECT_EQ(DecimalValue("99999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(DecimalValue("-99999999999"), std::numeric_limits<std::int32_t>::min());
}

}  // namespace
}  // namespace update
