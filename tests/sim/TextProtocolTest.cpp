// The text command protocol of the simulated instrument: identity, probes, notes, loader
// entry, wrong rates, boot mode and the text-level faults.
#include <gtest/gtest.h>

#include "SimHarness.h"

using simtest::Rig;
using sim::InstrumentConfig;

TEST(SimText, IdentityRepliesFollowTheNumbering) {
  struct Case {
    sim::Numbering numbering;
    const char* pcb;
    const char* device;
    const char* version;
    const char* serial;
  } cases[] = {
      {sim::Numbering::Classic, "I.23#", "I.20#", "I.21#", "I.25#"},
      {sim::Numbering::Hundreds, "I.203#", "I.200#", "I.201#", "I.205#"},
      {sim::Numbering::Thousands, "I.2013#", "I.2010#", "I.2011#", "I.205#"},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg;
    cfg.numbering = c.numbering;
    cfg.pcb = "12345.123";
    cfg.device = "28160.000";
    cfg.version = "1.20,3.10";
    cfg.serial = "14210045";
    Rig rig(cfg);
    EXPECT_EQ(rig.Ask("A.1111"), "!\r\n");
    EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
    EXPECT_EQ(rig.Ask("A.2003"), std::string(c.pcb) + "12345.123\r\n");
    EXPECT_EQ(rig.Ask("A.2000"), std::string(c.device) + "28160.000\r\n");
    EXPECT_EQ(rig.Ask("A.2001"), std::string(c.version) + "1.20,3.10\r\n");
    EXPECT_EQ(rig.Ask("A.4001"), std::string(c.serial) + "14210045\r\n");
    std::vector<std::string> expected{"A.1111", "A.1000", "A.2003", "A.2000", "A.2001", "A.4001"};
    EXPECT_EQ(rig.instrument.Commands(), expected);
  }
}

TEST(SimText, LineInPiecesAndBlankLinesAndNul) {
  Rig rig;
  rig.Send("\r\n\r\nA.20");
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.Send(std::string("00\r", 3));
  EXPECT_EQ(rig.line.TakeText(), "I.20#28160.000\r\n");
  rig.Send("\n");  // the LF of the CR LF pair is no second command
  EXPECT_TRUE(rig.line.bytes.empty());
  EXPECT_EQ(rig.instrument.Commands().size(), 1u);
}

TEST(SimText, ProbesAcknowledgedAsConfigured) {
  struct Case {
    bool a1111, a1000;
  } cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
  for (const Case& c : cases) {
    InstrumentConfig cfg;
    cfg.ackA1111 = c.a1111;
    cfg.ackA1000 = c.a1000;
    Rig rig(cfg);
    EXPECT_EQ(rig.Ask("A.1111"), c.a1111 ? "!\r\n" : "");
    EXPECT_EQ(rig.Ask("A.1000"), c.a1000 ? "!\r\n" : "");
  }
}

TEST(SimText, NotesRepliesAndEndOfSession) {
  Rig rig;
  EXPECT_EQ(rig.Ask("A.1111"), "!\r\n");  // the probe is not an end
  EXPECT_FALSE(rig.instrument.Ended());
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
  EXPECT_TRUE(rig.instrument.InCommandMode());
  for (const char* silent : {"A.2100", "A.1220", "A.1500", "A.2005", "U.606", "A.1600#753000"})
    EXPECT_EQ(rig.Ask(silent), "") << silent;
  EXPECT_EQ(rig.instrument.ClockValue(), "753000");
  EXPECT_EQ(rig.Ask("A.1600#37987.500000"), "");
  EXPECT_EQ(rig.instrument.ClockValue(), "37987.500000");
  EXPECT_EQ(rig.instrument.ClockCount(), 2);
  for (const char* acked : {"A.1200", "A.1230", "A.1231"}) EXPECT_EQ(rig.Ask(acked), "!\r\n") << acked;
  EXPECT_EQ(rig.Ask("A.6162#945.2"), "!\r\n");
  EXPECT_EQ(rig.instrument.AirPressure(), "945.2");
  EXPECT_EQ(rig.Ask("A.9999"), "?\r\n");
  EXPECT_EQ(rig.Ask("A.1121"), "!\r\n");
  EXPECT_TRUE(rig.instrument.Ended());
  EXPECT_FALSE(rig.instrument.InCommandMode());
  EXPECT_EQ(rig.Ask("A.1121"), "!\r\n");  // the air-pressure dialogue sends it twice
  EXPECT_EQ(rig.instrument.EndCount(), 2);
}

TEST(SimText, RepliesOnRequest) {
  InstrumentConfig cfg;
  cfg.extraReplies = {{"A.4001", "I.262#1"}, {"A.1200", "I.920#", false}, {"*", "I.30#"}};
  Rig rig(cfg);
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\nI.30#\r\n");  // "*" once: after the first command
  EXPECT_EQ(rig.Ask("A.4001"), "I.25#14210045\r\nI.262#1\r\n");
  EXPECT_EQ(rig.Ask("A.4001"), "I.25#14210045\r\n");
  EXPECT_EQ(rig.Ask("A.1200"), "!\r\nI.920#\r\n");
  EXPECT_EQ(rig.Ask("A.1200"), "!\r\nI.920#\r\n");
}

TEST(SimText, CommandModeRequiredWhenStrict) {
  InstrumentConfig cfg;
  cfg.requireCommandMode = true;
  Rig rig(cfg);
  EXPECT_EQ(rig.Ask("A.2000"), "?\r\n");
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.2000"), "I.20#28160.000\r\n");
  EXPECT_EQ(rig.Ask("A.1111"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.5577"), "?\r\n");
}

TEST(SimText, VectorRequestAndLoaderStart) {
  struct Case {
    const char* request;
    const char* start;
  } cases[] = {{"A.5577", "A.5588#QX17"}, {"A.5555", "A.5566#QX17"}, {"A.5555", "A.5567#QX17"}};
  for (const Case& c : cases) {
    InstrumentConfig cfg;
    cfg.loader.vectorWord = 0x0C02;
    Rig rig(cfg);
    EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
    EXPECT_EQ(rig.Ask(c.request), "I.80#0xC02\r\n");
    EXPECT_EQ(rig.Ask(c.start), std::string(c.start) + "\r\n");
    EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Loader);
    EXPECT_EQ(rig.instrument.ListeningBaud(), 9600u);
  }
  InstrumentConfig cfg;
  cfg.vectorReplyCode = 81;
  cfg.vectorText = "0x001";
  cfg.refuseLoaderStart = true;
  Rig rig(cfg);
  EXPECT_EQ(rig.Ask("A.5555"), "I.81#0x001\r\n");
  EXPECT_EQ(rig.Ask("A.5588#QX17"), "?\r\n");
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
  Rig wrongKey;
  EXPECT_EQ(wrongKey.Ask("A.5588#QX18"), "?\r\n");
}

TEST(SimText, WrongRateGivesFramingErrorAndNoAnswer) {
  InstrumentConfig cfg;
  cfg.baud = 19200;
  Rig rig(cfg);
  for (std::uint32_t baud : {4800u, 9600u, 2400u, 38400u}) {
    rig.line.host = simtest::Line(baud);
    EXPECT_EQ(rig.Ask("A.1111"), "") << baud;
  }
  EXPECT_EQ(rig.line.errors, (std::vector<unsigned>(4, platform::LineErrFraming)));
  rig.line.host = simtest::Line(19200);
  rig.line.host.dataBits = 7;
  EXPECT_EQ(rig.Ask("A.1111"), "");
  rig.line.host.dataBits = 8;
  EXPECT_EQ(rig.Ask("A.1111"), "!\r\n");
  EXPECT_EQ(rig.line.errors.size(), 5u);
  // Only what was heard is a command.
  EXPECT_EQ(rig.instrument.Commands(), std::vector<std::string>{"A.1111"});

  cfg.wrongRate = sim::WrongRate::Garbage;
  Rig noisy(cfg);
  noisy.line.host = simtest::Line(9600);
  std::string noise = noisy.Ask("A.1111");
  EXPECT_FALSE(noise.empty());
  EXPECT_EQ(noise.find_first_of("!?IABCh.#$\r\n\x90Q\x80"), std::string::npos);
  EXPECT_TRUE(noisy.line.errors.empty());
}

TEST(SimText, TextFaultsAndDisconnect) {
  InstrumentConfig cfg;
  cfg.textFaults = {{sim::TextFaultKind::Silence, "A.2000", 1, 2}, {sim::TextFaultKind::Refuse, "", 6, 1}};
  cfg.disconnectAfterCommands = 7;
  Rig rig(cfg);
  EXPECT_EQ(rig.Ask("A.2000"), "");
  EXPECT_EQ(rig.Ask("A.2000"), "");
  EXPECT_EQ(rig.Ask("A.2000"), "I.20#28160.000\r\n");
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.1000"), "?\r\n");  // the sixth command of any kind
  EXPECT_EQ(rig.Ask("A.2003"), "I.23#12345.000\r\n");
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Disconnected);
  EXPECT_EQ(rig.Ask("A.2003"), "");
}

TEST(SimText, ByteFaultsOnOutput) {
  InstrumentConfig cfg;
  cfg.bytes.dropOut = {0};
  cfg.bytes.corruptOut = {3};
  Rig rig(cfg);
  std::string r = rig.Ask("A.1000");  // "!\r\n": the "!" is dropped
  EXPECT_EQ(r, "\r\n");
  r = rig.Ask("A.1000");  // byte 3 is the second "!"
  EXPECT_EQ(r, std::string(1, static_cast<char>('!' ^ 0x5A)) + "\r\n");
}

TEST(SimText, OverlongLineIsRefusedNotKept) {
  Rig rig;
  EXPECT_EQ(rig.Ask(std::string(2000, 'x')), "?\r\n");
  EXPECT_EQ(rig.Ask("A.2000"), "I.20#28160.000\r\n");
}

TEST(SimBoot, IdentificationFramesOfTheThreeForms) {
  struct Case {
    int form;
    std::string expected;
  } cases[] = {
      {0, std::string("h00h\x1D") + "BL V1.2" + "\x0C\x16"},
      {1, std::string("h11h\x1E") + "BL V1.2" + "\x0A\x16"},
      {2, std::string("h,,h\x19") + "BL V1.2" + "\x0C\x16"},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg;
    cfg.bootMode = sim::BootMode::IdFrame;
    cfg.bootForm = c.form;
    cfg.baud = 38400;
    cfg.wakeFrames = 1u << 0;  // only 68 00 00 68 ...: a CR LF would be wake-up frame 2 or 3
    Rig rig(cfg);
    EXPECT_EQ(rig.Ask("A.1111"), "");  // a boot loader has no text protocol
    rig.line.bytes.clear();
    rig.Send(std::vector<std::uint8_t>{0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16});
    EXPECT_EQ(rig.line.TakeText(), c.expected);
  }
}

TEST(SimBoot, MarkersAndWakeFrameSelection) {
  InstrumentConfig cfg;
  cfg.bootMode = sim::BootMode::Marker;
  cfg.bootMarker = 'Q';
  cfg.wakeFrames = 1u << 4;  // answers only 85 01 00 1A
  Rig rig(cfg);
  rig.Send(std::vector<std::uint8_t>{0x80});
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.Send(std::vector<std::uint8_t>{0x85, 0x01});
  rig.Send(std::vector<std::uint8_t>{0x00, 0x1A});
  EXPECT_EQ(rig.line.Take(), std::vector<std::uint8_t>{'Q'});
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::BootWait);

  // Marker 0x90: the classic loader sits there; the sync of the wake-up frame is its ACK and
  // from then on it wants 9600 8E1.
  InstrumentConfig lab;
  lab.bootMode = sim::BootMode::Marker;
  lab.bootMarker = 0x90;
  Rig labRig(lab);
  labRig.line.host = simtest::Line(9600);  // the search leaves parity as it was
  labRig.Send(std::vector<std::uint8_t>{0x80});
  EXPECT_EQ(labRig.line.Take(), std::vector<std::uint8_t>{0x90});
  EXPECT_EQ(labRig.instrument.GetState(), sim::Instrument::State::Loader);
  labRig.Send(std::vector<std::uint8_t>{0x80});
  EXPECT_TRUE(labRig.line.bytes.empty());
  EXPECT_EQ(labRig.line.errors.size(), 1u);
  labRig.LoaderLine();
  labRig.Send(std::vector<std::uint8_t>{0x80});
  EXPECT_EQ(labRig.line.Take(), std::vector<std::uint8_t>{0x90});
}

// The handheld loader in boot mode: its identification answers the wake-up frame, and then it
// takes an external loader's records at the record loader's rate.
TEST(SimBoot, HandheldLoaderTakesRecordsAfterItsIdentification) {
  InstrumentConfig cfg;
  cfg.bootMode = sim::BootMode::IdFrame;
  cfg.baud = 38400;
  cfg.recordLoader.enabled = true;
  Rig rig(cfg);
  rig.Send(std::vector<std::uint8_t>{0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16});
  EXPECT_EQ(rig.line.TakeText(), std::string("h00h\x1D") + "BL V1.2" + "\x0C\x16");
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Loader);
  rig.Send(":02110000123497\r");  // wrong checksum: refused
  rig.Send(":021100001234A7\r");
  EXPECT_EQ(rig.line.Take(), (std::vector<std::uint8_t>{0x15, 0x06}));
  EXPECT_EQ(rig.instrument.ReadMemory(0x1100), 0x12);
  EXPECT_EQ(rig.instrument.ReadMemory(0x1101), 0x34);
}

// The file-list upload: each file announced, sent in packets whose length byte says where
// they end (so CR, LF and NUL are data), closed and kept under its name; a name sent again
// replaces the file. Pieces of a packet may come in separate writes.
TEST(SimUpload, FilesAreKeptUnderTheirNames) {
  Rig rig;
  auto packet = [](const std::string& data) {
    std::string p = "A.12010#";
    p += static_cast<char>(data.size());
    return p + data;
  };
  EXPECT_EQ(rig.Ask("A.12000#sub\\a.txt"), "!\r\n");
  rig.line.bytes.clear();
  rig.Send(packet(std::string("1\r\n\0" "2", 5)));
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");
  const std::string second(255, 'x');
  const std::string p2 = packet(second);
  rig.Send(p2.substr(0, 5));
  rig.Send(p2.substr(5, 4));  // the rest of the header and the length byte
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.Send(p2.substr(9, 100));
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.Send(p2.substr(109));
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");
  EXPECT_EQ(rig.Ask("A.12030"), "!\r\n");
  // An empty file: announced and closed.
  EXPECT_EQ(rig.Ask("A.12000#empty.dat"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.12030"), "!\r\n");
  // The first name again, with other data.
  EXPECT_EQ(rig.Ask("A.12000#sub\\a.txt"), "!\r\n");
  rig.line.bytes.clear();
  rig.Send(packet("new"));
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");
  EXPECT_EQ(rig.Ask("A.12030"), "!\r\n");
  // The text protocol goes on after a packet.
  EXPECT_EQ(rig.Ask("A.2000"), "I.20#28160.000\r\n");

  std::vector<sim::UploadedFile> files = rig.instrument.UploadedFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "sub\\a.txt");
  EXPECT_EQ(std::string(files[0].data.begin(), files[0].data.end()), "new");
  EXPECT_EQ(files[1].name, "empty.dat");
  EXPECT_TRUE(files[1].data.empty());
  EXPECT_EQ(rig.instrument.UploadedNames(), (std::vector<std::string>{"sub\\a.txt", "empty.dat", "sub\\a.txt"}));
}

TEST(SimUpload, RefusalsAndFaults) {
  InstrumentConfig cfg;
  cfg.textFaults.push_back({sim::TextFaultKind::Refuse, "A.12000", 2});
  cfg.textFaults.push_back({sim::TextFaultKind::Silence, "A.12010", 3});  // every packet counts
  Rig rig(cfg);
  const std::string onePacket = std::string("A.12010#\x01") + "z";
  // Nothing open: packets and the end are refused; an announcement needs a name.
  rig.line.bytes.clear();
  rig.Send(onePacket);
  EXPECT_EQ(rig.line.TakeText(), "?\r\n");
  EXPECT_EQ(rig.Ask("A.12030"), "?\r\n");
  EXPECT_EQ(rig.Ask("A.12000#"), "?\r\n");
  // The second announcement is refused (the fault): nothing is opened.
  EXPECT_EQ(rig.Ask("A.12000#b.txt"), "?\r\n");
  EXPECT_EQ(rig.Ask("A.12030"), "?\r\n");
  EXPECT_EQ(rig.Ask("A.12000#c.txt"), "!\r\n");
  rig.line.bytes.clear();
  rig.Send(onePacket);
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");
  rig.Send(onePacket);  // the second packet meets silence and is not kept
  EXPECT_TRUE(rig.line.bytes.empty());
  EXPECT_EQ(rig.Ask("A.12030"), "!\r\n");
  std::vector<sim::UploadedFile> files = rig.instrument.UploadedFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "c.txt");
  EXPECT_EQ(std::string(files[0].data.begin(), files[0].data.end()), "z");
}

TEST(SimLog, EveryCommandAndFrameIsTimeStamped) {
  std::uint32_t now = 1000;
  InstrumentConfig cfg;
  cfg.clock = [&now] { return now; };
  Rig rig(cfg);
  rig.Ask("A.1000");
  now = 1250;
  rig.Ask("A.5588#QX17");
  now = 9300;
  rig.LoaderLine();
  rig.Frame(0x1E, {0x58, 0x58, 0x58, 0x58});
  std::vector<sim::LogEntry> log = rig.instrument.Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0].ms, 1000u);
  EXPECT_EQ(log[0].kind, "cmd");
  EXPECT_EQ(log[0].text, "A.1000");
  EXPECT_EQ(log[1].ms, 1250u);
  EXPECT_EQ(log[1].text, "A.5588#QX17");
  EXPECT_EQ(log[2].kind, "state");
  EXPECT_EQ(log[3].kind, "sync");
  EXPECT_EQ(log[3].ms, 9300u);
  EXPECT_EQ(log[4].kind, "frame");
  EXPECT_EQ(log[4].text, "80 1E 04 04 58 58 58 58 7B E5");
}

TEST(SimPacing, AnswersLeaveAtTheLineRate) {
  InstrumentConfig cfg;
  cfg.pacing = true;
  cfg.baud = 9600;
  Rig rig(cfg);
  auto start = std::chrono::steady_clock::now();
  rig.Send("A.2000\r\n");  // 8 bytes in, 16 bytes out at 10 bits: 25 ms on the wire
  EXPECT_TRUE(rig.instrument.Busy());
  EXPECT_TRUE(rig.instrument.WaitIdle(2000));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(rig.instrument.Busy());
  EXPECT_EQ(rig.line.Text(), "I.20#28160.000\r\n");
  EXPECT_GE(took, std::chrono::milliseconds(24));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}
