// The XMODEM-CRC serial boot loader: the start commands and their rates, the version reply and
// the unlock code, packets good and bad, the receiver's requests and timeouts, the checksum
// reply over the image, the application start and the injected faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "SimHarness.h"
#include "sim/Options.h"
#include "sim/XmodemLoader.h"

using sim::InstrumentConfig;
using Bytes = std::vector<std::uint8_t>;
using Phase = sim::XmodemLoader::Phase;

namespace {
const Bytes Ack{sim::XmAck};
const Bytes Nak{sim::XmNak};
const Bytes Can2{sim::XmCan, sim::XmCan};
const Bytes Req{'C'};
const std::string UnlockCode = std::string("7628\r\n") + '\0';

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

InstrumentConfig XmConfig(const std::string& version = "1.06") {
  InstrumentConfig cfg;
  cfg.xmodem.enabled = true;
  cfg.xmodem.version = version;
  return cfg;
}

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
  return b;
}

// The file extended to whole 128-byte packets: 0xFF padding, then the trailer with the length
// of what precedes it and its CRC, both little endian.
Bytes Image(const Bytes& file) {
  std::size_t packets = (file.size() + 6) / 128 + 1;
  Bytes image = file;
  image.resize(packets * 128 - 6, 0xFF);
  std::uint32_t length = static_cast<std::uint32_t>(image.size());
  std::uint16_t crc = sim::Crc16Xmodem(image.data(), image.size());
  for (int k = 0; k < 4; ++k) image.push_back(static_cast<std::uint8_t>(length >> (8 * k)));
  image.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  image.push_back(static_cast<std::uint8_t>(crc >> 8));
  return image;
}

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n) {
  return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

std::string ChecksumReply(std::uint16_t crc) {
  char text[32];
  std::snprintf(text, sizeof text, "I.1205#%04X\r\n", static_cast<unsigned>(crc));
  return text;
}

// An instrument with the XMODEM loader on a virtual clock.
struct XmRig {
  explicit XmRig(InstrumentConfig cfg = XmConfig()) : rig(WithClock(std::move(cfg), &now)) {}
  static InstrumentConfig WithClock(InstrumentConfig cfg, std::uint32_t* now) {
    cfg.clock = [now] { return *now; };
    return cfg;
  }
  // The start command at the text rate, written as the command and the rate code apart; the
  // host then follows to the loader's line, 8N2.
  std::string Start(const std::string& command = "A.1250#", const std::string& code = "7",
                    std::uint32_t rate = 115200) {
    rig.line.bytes.clear();
    rig.Send(command);
    rig.Send(code + "\r\n");
    std::string echo = rig.line.TakeText();
    rig.line.host = simtest::Line(rate);
    rig.line.host.stopBits = platform::StopBits::Two;
    return echo;
  }
  Bytes Send(const Bytes& b) {
    rig.line.bytes.clear();
    rig.Send(b);
    return rig.line.Take();
  }
  Bytes Send(const std::string& s) { return Send(B(s)); }
  std::string Text(const std::string& s) {
    Bytes r = Send(s);
    return std::string(r.begin(), r.end());
  }
  // "u", "c" or "r", with the unlock code behind it when the loader wants one.
  Bytes Command(char letter, bool unlock = true) {
    return Send(std::string(1, letter) + (unlock ? UnlockCode : std::string()));
  }
  Bytes Wait(std::uint32_t ms) {
    now += ms;
    rig.instrument.Tick();
    return rig.line.Take();
  }
  // The answer to a packet: at once, or the NAK after the line was quiet for a second.
  Bytes Answer(const Bytes& packet) {
    Bytes r = Send(packet);
    return r.empty() ? Wait(1000) : r;
  }
  // All packets of data (128 bytes each), then EOT; false at the first answer that is no ACK.
  bool Upload(const Bytes& data) {
    for (std::size_t at = 0, n = 1; at < data.size(); at += 128, ++n) {
      Bytes chunk = Slice(data, at, std::min<std::size_t>(128, data.size() - at));
      if (Answer(sim::XmodemPacket(static_cast<std::uint8_t>(n), chunk)) != Ack) return false;
    }
    return Send(Bytes{sim::XmEot}) == Ack;
  }
  sim::XmodemLoader::Status Status() const { return rig.instrument.Xmodem(); }

  std::uint32_t now = 0;
  simtest::Rig rig;
};
}  // namespace

TEST(SimXmodem, CrcCheckValueAndPacketNumbering) {
  const std::string digits = "123456789";
  EXPECT_EQ(sim::Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0x31C3);
  // Packet 256 carries the number 0 and the complement 255; the CRC goes high byte first.
  Bytes p = sim::XmodemPacket(0, B(digits));
  ASSERT_EQ(p.size(), 133u);
  EXPECT_EQ(Slice(p, 0, 3), (Bytes{0x01, 0x00, 0xFF}));
  std::uint16_t crc = sim::Crc16Xmodem(p.data() + 3, 128);
  EXPECT_EQ(p[131], crc >> 8);
  EXPECT_EQ(p[132], crc & 0xFF);
  EXPECT_EQ(p[3 + 9], 0x1A);  // padded
  EXPECT_EQ(sim::XmodemPacket(2, Pattern(1000, 1)).size(), 1029u);
}

TEST(SimXmodem, StartCommandsAreEchoedAndSetTheLoaderRate) {
  struct Case {
    bool enabled;
    std::string command, code, reply;
    std::uint32_t rate;  // 0: stays in the text protocol
    int startCommand;
  } cases[] = {
      {true, "A.1250#", "7", "A.1250#7\r\n", 115200, 1250},
      {true, "A.1255#", "7", "A.1255#7\r\n", 115200, 1255},
      {true, "A.1250#", "3", "A.1250#3\r\n", 9600, 1250},
      {true, "A.1250#", "8", "?\r\n", 0, 0},
      {true, "A.1250", "", "?\r\n", 0, 0},
      {false, "A.1250#", "7", "?\r\n", 0, 0},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg = XmConfig();
    cfg.xmodem.enabled = c.enabled;
    XmRig x(cfg);
    EXPECT_EQ(x.Start(c.command, c.code, c.rate ? c.rate : 9600), c.reply) << c.command << c.code;
    if (c.rate == 0) {
      EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Text);
      continue;
    }
    EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Xmodem);
    EXPECT_EQ(x.rig.instrument.ListeningBaud(), c.rate);
    EXPECT_EQ(x.Status().startCommand, c.startCommand);
    EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#1.06\r\n");
  }

  // The loader hears nothing at the text rate or with parity.
  XmRig x;
  x.Start();
  x.rig.line.host = simtest::Line(9600);
  EXPECT_TRUE(x.Send("A.2051\r\n").empty());
  x.rig.line.host = simtest::Line(115200, platform::Parity::Even);
  EXPECT_TRUE(x.Send("A.2051\r\n").empty());
  EXPECT_EQ(x.rig.line.errors.size(), 2u);
  x.rig.line.host = simtest::Line(115200);  // one stop bit is heard all the same
  EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#1.06\r\n");
  EXPECT_EQ(x.Text("A.2000\r\n"), "?\r\n");
}

// Bytes leave at the loader's line: what the host wrote behind the start command at the old
// rate is lost, and requests are not heard by a host that went back to another line.
TEST(SimXmodem, OnlyAHostAtTheLoaderLineTalksToIt) {
  {
    XmRig x;
    EXPECT_EQ(x.Text("A.1250#7\r\nA.2051\r\n"), "A.1250#7\r\n");
    EXPECT_EQ(x.Status().phase, Phase::Command);
  }
  {
    XmRig x;
    EXPECT_EQ(x.Text("A.1250#3\r\nA.2051\r\n"), "A.1250#3\r\nI.251#1.06\r\n");
  }
  XmRig x;
  x.Start();
  EXPECT_EQ(x.Command('u'), Req);
  x.rig.instrument.OnHostLineChanged(simtest::Line(9600));
  EXPECT_TRUE(x.Wait(3000).empty());
  EXPECT_EQ(x.rig.line.errors, std::vector<unsigned>{platform::LineErrFraming});
  x.rig.instrument.OnHostLineChanged(x.rig.line.host);
  EXPECT_EQ(x.Wait(3000), Req);
  EXPECT_EQ(x.Status().requests, 3);
}

TEST(SimXmodem, UnlockCodeFromLoader106On) {
  struct Case {
    std::string version;
    bool unlock;
  } cases[] = {{"1.05", false}, {"0.99", false}, {"1.06", true}, {"1.10,2014", true}, {"2", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    XmRig x(XmConfig(c.version));
    x.Start();
    EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#" + c.version + "\r\n");
    EXPECT_EQ(x.Status().unlockNeeded, c.unlock);
    if (!c.unlock) {
      EXPECT_EQ(x.Command('u', false), Req);
      continue;
    }
    EXPECT_TRUE(x.Command('u', false).empty());  // waits for the code
    EXPECT_TRUE(x.Wait(999).empty());
    EXPECT_EQ(x.Wait(1), B("?\r\n"));
    EXPECT_EQ(x.Send("u1234\r\n"), B("?\r\n"));
    EXPECT_EQ(x.Status().uploads, 0);
    // The letter and the code may come in separate writes.
    EXPECT_TRUE(x.Send("u").empty());
    EXPECT_EQ(x.Send(UnlockCode), Req);
    EXPECT_EQ(x.Status().phase, Phase::Receive);
  }
}

TEST(SimXmodem, PacketAcceptance) {
  XmRig x;
  x.Start();
  ASSERT_EQ(x.Command('u'), Req);
  const Bytes d1 = Pattern(128, 1), d2 = Pattern(1024, 2), d3 = Pattern(128, 3);
  Bytes badCrc = sim::XmodemPacket(2, d3);
  badCrc[131] ^= 0x01;
  Bytes badComplement = sim::XmodemPacket(2, d3);
  badComplement[2] = 0xFE;
  struct Step {
    const char* what;
    Bytes packet;
    Bytes answer;
    int accepted;
  } steps[] = {
      {"good 1", sim::XmodemPacket(1, d1), Ack, 1},
      {"bad CRC", badCrc, Nak, 1},
      {"bad complement", badComplement, Nak, 1},
      {"number 3 where 2 is due", sim::XmodemPacket(3, d3), Nak, 1},
      {"repeated 1", sim::XmodemPacket(1, d3), Ack, 1},
      {"1K packet 2", sim::XmodemPacket(2, d2), Ack, 2},
      {"good 3", sim::XmodemPacket(3, d3), Ack, 3},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(x.Answer(s.packet), s.answer) << s.what;
    EXPECT_EQ(x.Status().accepted, s.accepted) << s.what;
  }
  EXPECT_EQ(x.Status().duplicates, 1);
  EXPECT_EQ(x.Status().naks, 3);
  EXPECT_EQ(x.Send(Bytes{sim::XmEot}), Ack);
  EXPECT_EQ(x.Status().phase, Phase::Command);
  EXPECT_TRUE(x.Status().complete);
  // A sender that missed that ACK repeats its EOT and gets another.
  EXPECT_EQ(x.Send(Bytes{sim::XmEot}), Ack);
  Bytes want = d1;
  want.insert(want.end(), d2.begin(), d2.end());
  want.insert(want.end(), d3.begin(), d3.end());
  EXPECT_EQ(x.rig.instrument.XmodemReceived(), want);
}

TEST(SimXmodem, NakWaitsForAQuietLine) {
  XmRig x;
  x.Start();
  x.Command('u');
  Bytes bad = sim::XmodemPacket(1, Pattern(128, 5));
  bad[40] ^= 0x10;
  EXPECT_TRUE(x.Send(bad).empty());
  x.now += 500;
  EXPECT_TRUE(x.Send(Slice(bad, 0, 60)).empty());  // whatever still arrives is dropped
  EXPECT_TRUE(x.Wait(999).empty());
  EXPECT_EQ(x.Wait(1), Nak);
  EXPECT_EQ(x.Send(sim::XmodemPacket(1, Pattern(128, 5))), Ack);

  InstrumentConfig cfg = XmConfig();
  cfg.xmodem.purgeMs = 0;
  XmRig fast(cfg);
  fast.Start();
  fast.Command('u');
  EXPECT_EQ(fast.Send(bad), Nak);
}

TEST(SimXmodem, RequestsTimeoutsAndTheErrorLimit) {
  XmRig x;
  x.Start();
  EXPECT_EQ(x.Command('u'), Req);
  EXPECT_TRUE(x.Wait(2999).empty());
  EXPECT_EQ(x.Wait(1), Req);
  for (int k = 3; k <= 10; ++k) EXPECT_EQ(x.Wait(3000), Req) << k;
  EXPECT_TRUE(x.Wait(3000).empty());  // ten requests: no sender, given up
  EXPECT_EQ(x.Status().phase, Phase::Command);
  EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#1.06\r\n");

  // A packet cut short is refused after a second without bytes; once the sender has
  // started, no more requests, but a NAK after ten seconds without a packet.
  EXPECT_EQ(x.Command('u'), Req);
  EXPECT_TRUE(x.Send(Slice(sim::XmodemPacket(1, Pattern(128, 1)), 0, 50)).empty());
  EXPECT_TRUE(x.Wait(999).empty());
  EXPECT_EQ(x.Wait(1), Nak);
  EXPECT_TRUE(x.Wait(9999).empty());
  EXPECT_EQ(x.Wait(1), Nak);
  // Ten errors in a row on one packet: the receiver cancels.
  Bytes bad = sim::XmodemPacket(1, Pattern(128, 1));
  bad[100] ^= 0xFF;
  for (int k = 3; k <= 9; ++k) EXPECT_EQ(x.Answer(bad), Nak) << k;
  EXPECT_EQ(x.Answer(bad), Can2);
  EXPECT_EQ(x.Status().phase, Phase::Command);
  EXPECT_EQ(x.Status().cancels, 1);
}

TEST(SimXmodem, SenderCancels) {
  XmRig x;
  x.Start();
  x.Command('u');
  EXPECT_EQ(x.Send(sim::XmodemPacket(1, Pattern(128, 1))), Ack);
  EXPECT_TRUE(x.Send(Bytes{sim::XmCan}).empty());  // one CAN may be line noise
  EXPECT_EQ(x.Send(sim::XmodemPacket(2, Pattern(128, 2))), Ack);
  EXPECT_TRUE(x.Send(Bytes{sim::XmCan, sim::XmCan}).empty());
  EXPECT_EQ(x.Status().phase, Phase::Command);
  EXPECT_TRUE(x.Status().senderCancelled);
  EXPECT_FALSE(x.Status().complete);
  EXPECT_EQ(x.Command('r'), B("?\r\n"));  // no valid image: the application stays off
  EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Xmodem);
}

TEST(SimXmodem, ChecksumReplyAndApplicationStart) {
  InstrumentConfig cfg = XmConfig();
  cfg.version = "1.01";
  XmRig x(cfg);
  Bytes file = Pattern(1000, 9);
  const std::string marker = "VERS:2.05";
  std::copy(marker.begin(), marker.end(), file.begin() + 200);
  file[200 + marker.size()] = 0;
  const Bytes image = Image(file);
  ASSERT_EQ(image.size(), 1024u);  // 8 packets; the trailer says 1018
  EXPECT_EQ(Slice(image, 1018, 4), (Bytes{0xFA, 0x03, 0x00, 0x00}));

  EXPECT_EQ(x.Start(), "A.1250#7\r\n");
  EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#1.06\r\n");
  ASSERT_EQ(x.Command('u'), Req);
  ASSERT_TRUE(x.Upload(image));
  EXPECT_EQ(x.rig.instrument.XmodemReceived(), image);
  const std::uint16_t crc = sim::Crc16Xmodem(image.data(), 1018);
  EXPECT_EQ(x.Command('c'), B(ChecksumReply(crc)));
  EXPECT_TRUE(x.Status().imageValid);
  EXPECT_EQ(x.Status().lastChecksum, crc);
  EXPECT_TRUE(x.Command('r').empty());
  EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Text);
  EXPECT_EQ(x.rig.instrument.FirmwareStarts(), 1);
  EXPECT_EQ(x.rig.instrument.Version(), "2.05");
  // The new firmware announces itself once the host is back at the text settings.
  x.rig.instrument.OnHostLineChanged(simtest::Line(9600));
  EXPECT_EQ(x.rig.line.TakeText(), "!\r\n");
}

TEST(SimXmodem, ImagesWithoutAValidTrailerAreNotStarted) {
  const Bytes image = Image(Pattern(300, 4));  // 3 packets
  Bytes wrongLength = image;
  wrongLength[image.size() - 6] ^= 0x01;
  // A sender that pads to whole 1K packets puts 0x1A behind the trailer.
  Bytes padded = image;
  padded.resize(1024, 0x1A);
  struct Case {
    const char* what;
    Bytes sent;
  } cases[] = {{"length field", wrongLength}, {"padded behind the trailer", padded}};
  for (const Case& c : cases) {
    XmRig x;
    x.Start();
    x.Command('u');
    if (c.sent.size() == 1024) {
      ASSERT_EQ(x.Send(sim::XmodemPacket(1, c.sent)), Ack);
      ASSERT_EQ(x.Send(Bytes{sim::XmEot}), Ack);
    } else {
      ASSERT_TRUE(x.Upload(c.sent));
    }
    // The checksum covers whatever precedes the last six bytes.
    EXPECT_EQ(x.Command('c'), B(ChecksumReply(sim::Crc16Xmodem(c.sent.data(), c.sent.size() - 6)))) << c.what;
    EXPECT_FALSE(x.Status().imageValid) << c.what;
    EXPECT_EQ(x.Command('r'), B("?\r\n")) << c.what;
    EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Xmodem);
  }
  // Without an upload "r" starts the application that is there.
  XmRig x;
  x.Start();
  EXPECT_TRUE(x.Command('r').empty());
  EXPECT_EQ(x.rig.instrument.GetState(), sim::Instrument::State::Text);
}

TEST(SimXmodem, RestartBeforeTheLoader) {
  InstrumentConfig cfg = XmConfig();
  cfg.baud = 19200;
  XmRig x(cfg);
  x.rig.line.host = simtest::Line(19200);
  EXPECT_EQ(x.Start("A.1256#", "7", 9600), "A.1256#7\r\n");
  EXPECT_EQ(x.Status().phase, Phase::Restarting);
  EXPECT_TRUE(x.Send("A.1250#3\r\n").empty());  // restarting: nobody listens, not even noise
  EXPECT_TRUE(x.rig.line.errors.empty());
  x.Wait(4000);
  EXPECT_EQ(x.Status().phase, Phase::StartWait);
  EXPECT_EQ(x.rig.instrument.ListeningBaud(), 9600u);
  EXPECT_EQ(x.Text("A.2051\r\n"), "?\r\n");
  EXPECT_EQ(x.Text("A.1250#3\r\n"), "A.1250#3\r\n");
  EXPECT_EQ(x.Status().phase, Phase::Command);
  EXPECT_EQ(x.Status().startCommand, 1250);
  EXPECT_EQ(x.Text("A.2051\r\n"), "I.251#1.06\r\n");
}

TEST(SimXmodem, CapacityLimitCancels) {
  InstrumentConfig cfg = XmConfig();
  cfg.xmodem.capacity = 256;
  XmRig x(cfg);
  x.Start();
  x.Command('u');
  EXPECT_EQ(x.Send(sim::XmodemPacket(1, Pattern(128, 1))), Ack);
  EXPECT_EQ(x.Send(sim::XmodemPacket(2, Pattern(128, 2))), Ack);
  EXPECT_EQ(x.Send(sim::XmodemPacket(3, Pattern(128, 3))), Can2);
  EXPECT_EQ(x.rig.instrument.XmodemReceived().size(), 256u);
  EXPECT_EQ(x.Status().phase, Phase::Command);
}

TEST(SimXmodem, InjectedFaults) {
  using K = sim::XmodemFaultKind;
  const Bytes p1 = sim::XmodemPacket(1, Pattern(128, 1)), p2 = sim::XmodemPacket(2, Pattern(128, 2));
  auto rig = [](std::vector<sim::XmodemFault> faults) {
    InstrumentConfig cfg = XmConfig();
    cfg.xmodem.faults = std::move(faults);
    auto x = std::make_unique<XmRig>(cfg);
    x->Start();
    return x;
  };
  {  // a burst of NAKs on good packets, answered at once
    auto x = rig({{K::Nak, 2, 3}});
    x->Command('u');
    EXPECT_EQ(x->Send(p1), Ack);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(x->Send(p2), Nak) << k;
    EXPECT_EQ(x->Send(p2), Ack);
    EXPECT_EQ(x->Status().accepted, 2);
  }
  {  // a packet hit on its way in fails its CRC; the repeat is taken unharmed
    auto x = rig({{K::Corrupt, 1, 1}});
    x->Command('u');
    EXPECT_EQ(x->Answer(p1), Nak);
    EXPECT_EQ(x->Send(p1), Ack);
    EXPECT_EQ(x->rig.instrument.XmodemReceived(), Slice(p1, 3, 128));
  }
  {  // no answer to a packet: the receiver's own timeout asks for it again
    auto x = rig({{K::Silence, 1, 1}});
    x->Command('u');
    EXPECT_TRUE(x->Send(p1).empty());
    EXPECT_TRUE(x->Wait(9999).empty());
    EXPECT_EQ(x->Wait(1), Nak);
    EXPECT_EQ(x->Send(p1), Ack);
  }
  {  // the receiver cancels
    auto x = rig({{K::Cancel, 2, 1}});
    x->Command('u');
    EXPECT_EQ(x->Send(p1), Ack);
    EXPECT_EQ(x->Send(p2), Can2);
    EXPECT_EQ(x->Status().phase, Phase::Command);
  }
  {  // no 'C' for the first upload, not even later; the second one asks
    auto x = rig({{K::NoStart, 1, 1}});
    EXPECT_TRUE(x->Command('u').empty());
    EXPECT_TRUE(x->Wait(3000).empty());
    EXPECT_EQ(x->Send(p1), Ack);  // it still listens
    x->Send(Bytes{sim::XmEot});
    EXPECT_EQ(x->Command('u'), Req);
  }
  {  // version and checksum replies left out or wrong
    auto x = rig({{K::NoVersion, 1, 1}, {K::NoChecksum, 1, 1}, {K::WrongChecksum, 2, 1}});
    EXPECT_TRUE(x->Send("A.2051\r\n").empty());
    EXPECT_EQ(x->Text("A.2051\r\n"), "I.251#1.06\r\n");
    const Bytes image = Image(Pattern(100, 3));
    x->Command('u');
    ASSERT_TRUE(x->Upload(image));
    const std::string right = ChecksumReply(sim::Crc16Xmodem(image.data(), image.size() - 6));
    EXPECT_TRUE(x->Command('c').empty());
    Bytes wrong = x->Command('c');
    EXPECT_NE(wrong, B(right));
    EXPECT_EQ(wrong.size(), right.size());
    EXPECT_EQ(x->Command('c'), B(right));
  }
}

TEST(SimXmodem, ProgramOptions) {
  sim::ProgramOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions({"--xmodem", "--xmodem-version", "1.05,BL", "--xmodem-restart", "500",
                                 "--xmodem-purge", "0", "--xmodem-capacity", "4096", "--xmodem-fault",
                                 "nak:3:4", "--xmodem-fault", "wrongchecksum:1", "--dump-received",
                                 "/tmp/r.bin"},
                                o, error))
      << error;
  const sim::XmodemConfig& c = o.instrument.xmodem;
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.version, "1.05,BL");
  EXPECT_EQ(c.restartMs, 500u);
  EXPECT_EQ(c.purgeMs, 0u);
  EXPECT_EQ(c.capacity, 4096u);
  ASSERT_EQ(c.faults.size(), 2u);
  EXPECT_EQ(c.faults[0].kind, sim::XmodemFaultKind::Nak);
  EXPECT_EQ(c.faults[0].nth, 3);
  EXPECT_EQ(c.faults[0].count, 4);
  EXPECT_EQ(c.faults[1].kind, sim::XmodemFaultKind::WrongChecksum);
  EXPECT_EQ(o.receivedFile, "/tmp/r.bin");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--xmodem-fault", "nak"}, {"--xmodem-fault", "boom:1"}, {"--xmodem-fault", "nak:0"},
           {"--xmodem-purge", "x"}, {"--xmodem-unlock", ""}}) {
    sim::ProgramOptions p;
    EXPECT_FALSE(sim::ParseOptions(args, p, error)) << args[0] << " " << args[1];
  }
}
