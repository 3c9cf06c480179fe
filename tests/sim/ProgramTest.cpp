// instrument-sim itself: its options and a short real run on a pseudo-terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SimProgram.h"
#include "sim/Options.h"

using simtest::Binary;
using simtest::Program;
using simtest::ReadUntil;
using simtest::SetBaud;
using simtest::Slurp;

TEST(SimOptions, ParsesTheInstrumentAndTheFaults) {
  sim::ProgramOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions({"--baud", "19200", "--device", "21130.000", "--numbering", "2013",
                                 "--ack-probe", "1000", "--loader-version", "1.10", "--chip-id", "0xF26F",
                                 "--flash-end", "1FFFF", "--fault", "nak:12:3:2", "--fault", "wrongread:any:1",
                                 "--text-fault", "refuse:A.5588:1", "--reply-after", "A.4001=I.262#1",
                                 "--drop-out", "0,5", "--boot", "marker", "--boot-marker", "Q",
                                 "--wake-frames", "1,4", "--exit-after-end", "--dump", "/tmp/x.txt"},
                                o, error))
      << error;
  const sim::InstrumentConfig& c = o.instrument;
  EXPECT_EQ(c.baud, 19200u);
  EXPECT_EQ(c.device, "21130.000");
  EXPECT_EQ(c.numbering, sim::Numbering::Thousands);
  EXPECT_FALSE(c.ackA1111);
  EXPECT_TRUE(c.ackA1000);
  EXPECT_EQ(c.loader.version, 0x0110);
  EXPECT_EQ(c.loader.chipId, 0xF26F);
  EXPECT_EQ(c.loader.memory.mainEnd, 0x1FFFFu);
  ASSERT_EQ(c.frameFaults.size(), 2u);
  EXPECT_EQ(c.frameFaults[0].command, 0x12);
  EXPECT_EQ(c.frameFaults[0].nth, 3);
  EXPECT_EQ(c.frameFaults[0].count, 2);
  EXPECT_EQ(c.frameFaults[1].kind, sim::FrameFaultKind::WrongReadBack);
  EXPECT_EQ(c.frameFaults[1].command, 0);
  ASSERT_EQ(c.textFaults.size(), 1u);
  EXPECT_EQ(c.textFaults[0].command, "A.5588");
  ASSERT_EQ(c.extraReplies.size(), 1u);
  EXPECT_EQ(c.extraReplies[0].line, "I.262#1");
  EXPECT_EQ(c.bytes.dropOut, (std::set<std::uint64_t>{0, 5}));
  EXPECT_EQ(c.bootMarker, 'Q');
  EXPECT_EQ(c.wakeFrames, (1u << 1) | (1u << 4));
  EXPECT_TRUE(o.exitAfterEnd);
  EXPECT_EQ(o.dumpFile, "/tmp/x.txt");

  const std::vector<std::vector<std::string>> bad = {
      {"--baud", "fast"}, {"--loader-version", "1.1"}, {"--fault", "nak:12"}, {"--fault", "boom:12:1"},
      {"--numbering", "24"}, {"--drop-rate", "2"}, {"--wake-frames", "5"}, {"--nonsense"}, {"--baud"}};
  for (const auto& args : bad) {
    sim::ProgramOptions p;
    EXPECT_FALSE(sim::ParseOptions(args, p, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}


TEST(SimProgram, ServesAPseudoTerminalAndDumpsAtExit) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("sim-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string link = (dir / "instrument").string();
  std::string dump = (dir / "flash.txt").string();
  std::string log = (dir / "log.txt").string();

  Program sim({"--baud", "19200", "--link", link, "--dump", dump, "--log", log, "--vector-word", "0C02"});
  ASSERT_GT(sim.pid, 0) << Binary();
  ASSERT_NE(sim.slave.find("/dev/pts/"), std::string::npos) << sim.slave;
  EXPECT_EQ(fs::read_symlink(link).string(), sim.slave);

  int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B4800);  // wrong rate: noise at most, never an answer
  ASSERT_EQ(write(fd, "A.1111\r\n", 8), 8);
  std::string noise = ReadUntil(fd, "!", 300);
  EXPECT_EQ(noise.find('!'), std::string::npos);

  SetBaud(fd, B19200);
  ASSERT_EQ(write(fd, "A.2000\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "I.20#28160.000\r\n", 3000).find("I.20#28160.000\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "A.5577\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "I.80#0xC02\r\n", 3000).find("I.80#0xC02\r\n"), std::string::npos);
  close(fd);

  // SIGUSR1 writes the dump while it runs; SIGTERM ends it cleanly and writes it again.
  kill(sim.pid, SIGUSR1);
  for (int i = 0; i < 300 && !fs::exists(dump); ++i) usleep(10000);
  EXPECT_TRUE(fs::exists(dump));
  fs::remove(dump);
  kill(sim.pid, SIGTERM);
  ASSERT_TRUE(sim.Exited(5000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0) << sim.status;

  EXPECT_NE(Slurp(dump).find("@FFFE\r\n02 0C\r\nq"), std::string::npos) << Slurp(dump);
  std::string logged = Slurp(log);
  EXPECT_NE(logged.find(" cmd A.2000\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find(" wrong-line "), std::string::npos);
  EXPECT_FALSE(fs::exists(link));
  fs::remove_all(dir);
}

TEST(SimProgram, ExitsAfterTheEndWhenTheHostLetsGo) {
  Program sim({"--exit-after-end", "--end-grace", "20000"});
  ASSERT_GT(sim.pid, 0) << Binary();
  int fd = open(sim.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B9600);
  ASSERT_EQ(write(fd, "A.1000\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "A.1121\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  EXPECT_FALSE(sim.Exited(200));  // the host still holds the line
  close(fd);
  ASSERT_TRUE(sim.Exited(3000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0);
}
