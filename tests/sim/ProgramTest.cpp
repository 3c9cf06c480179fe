// instrument-sim itself: its options and a short real run on a pseudo-terminal.
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SimProgram.h"
#include "sim/BasicLoader.h"
#include "sim/Options.h"
#include "sim/WinCEReceiver.h"

using simtest::Binary;
using simtest::Program;
using simtest::ReadUntil;
using simtest::SetBaud;
using simtest::Slurp;
using simtest::WriteAll;

TEST(SimOptions, ParsesTheInstrumentAndTheFaults) {
  sim::ProgramOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions({"--baud", "19200", "--device", "21130.000", "--numbering", "2013",
                                 "--ack-probe", "1000", "--loader-version", "1.10", "--chip-id", "0xF26F",
                                 "--flash-end", "1FFFF", "--fault", "nak:12:3:2", "--fault", "wrongread:any:1",
                                 "--text-fault", "refuse:A.5588:1", "--reply-after", "A.4001=I.262#1",
                                 "--drop-out", "0,5", "--boot", "marker", "--boot-marker", "Q",
                                 "--wake-frames", "1,4", "--exit-after-end", "--dump", "/tmp/x.txt",
                                 "--family", "4xx", "--security-key", "off"},
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
  EXPECT_EQ(c.loader.family, sim::Family::F4xx);
  EXPECT_EQ(c.loader.securityKey, false);
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

  sim::ProgramOptions w;
  ASSERT_TRUE(sim::ParseOptions({"--wince", "--wince-have", "A\\B.EXE=1480943616", "--wince-any-stop-bits",
                                 "--wince-restart-ms", "200", "--wince-idle-ms", "0", "--text-fault", "again:D:2",
                                 "--text-fault", "again=7:D:4:2", "--disconnect-after-blocks", "9", "--wince-dir",
                                 "/tmp/ce", "--basic-loader", "--basic-boot-char", "1", "--basic-segment", "1",
                                 "--basic-erase", "whole", "--basic-success", "bytes", "--basic-flash", "100-1FFFF",
                                 "--basic-fault", "abort:5", "--basic-dump", "/tmp/m.bin", "--basic-dump-format", "bin"},
                                w, error))
      << error;
  const sim::InstrumentConfig& wc = w.instrument;
  EXPECT_TRUE(wc.wince.enabled);
  ASSERT_EQ(wc.wince.existing.size(), 1u);
  EXPECT_EQ(wc.wince.existing[0].name, "A\\B.EXE");
  EXPECT_EQ(wc.wince.existing[0].stamp, 1480943616u);
  EXPECT_FALSE(wc.wince.checkStopBits);
  EXPECT_EQ(wc.wince.restartMs, 200u);
  EXPECT_EQ(wc.wince.idleResetMs, 0u);
  ASSERT_EQ(wc.textFaults.size(), 2u);
  EXPECT_EQ(wc.textFaults[0].kind, sim::TextFaultKind::AskAgain);
  EXPECT_EQ(wc.textFaults[0].value, 2);
  EXPECT_EQ(wc.textFaults[1].value, 7);
  EXPECT_EQ(wc.textFaults[1].count, 2);
  EXPECT_EQ(wc.wince.disconnectAfterBlocks, 9);
  EXPECT_EQ(w.winceDir, "/tmp/ce");
  EXPECT_TRUE(wc.basic.enabled);
  EXPECT_EQ(wc.basic.bootChar, '1');
  EXPECT_EQ(wc.basic.segment, 1);
  EXPECT_FALSE(wc.basic.halves);
  EXPECT_EQ(wc.basic.success, sim::BasicSuccess::Bytes);
  EXPECT_EQ(wc.basic.flashStart, 0x100u);
  EXPECT_EQ(wc.basic.flashEnd, 0x1FFFFu);
  EXPECT_EQ(wc.basic.fault, sim::BasicFaultKind::Abort);
  EXPECT_EQ(wc.basic.faultRecord, 5);
  EXPECT_TRUE(w.basicDumpBinary);

  const std::vector<std::vector<std::string>> bad = {
      {"--wince-have", "NAME"}, {"--text-fault", "again=x:D:1"}, {"--basic-fault", "boom:1"},
      {"--basic-flash", "0-FFFFFFFF"}, {"--basic-segment", "2"}, {"--basic-dump-format", "hex"},
      {"--baud", "fast"}, {"--loader-version", "1.1"}, {"--family", "5xx"}, {"--security-key", "yes"},
      {"--fault", "nak:12"}, {"--fault", "boom:12:1"},
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

TEST(SimProgram, WinCEFilesLandInTheFolderWithTheirTimeStamps) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("sim-wince-" + std::to_string(getpid()));
  fs::remove_all(dir);
  Program sim({"--wince", "--wince-dir", dir.string(), "--wince-restart-ms", "200"});
  ASSERT_GT(sim.pid, 0) << Binary();
  int fd = open(sim.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B9600);
  ASSERT_TRUE(WriteAll(fd, "A.1000\r\n"));
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  ASSERT_TRUE(WriteAll(fd, "A.1300#38400\r\n"));
  usleep(200000);
  SetBaud(fd, B38400, CSTOPB);
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);

  // 2024-05-17 13:45:30: date (44 << 9 | 5 << 5 | 17), time (13 << 11 | 45 << 5 | 15).
  const std::uint32_t stamp = (44u << 9 | 5u << 5 | 17u) << 16 | (13u << 11 | 45u << 5 | 15u);
  std::string data(2500, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  ASSERT_TRUE(WriteAll(fd, "A.1201#..\\CE\\TORVEX.EXE," + std::to_string(stamp) + ",2500\r\n"));
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  for (std::size_t at = 0; at < data.size(); at += 2000) {
    std::string block = data.substr(at, 2000);
    std::vector<std::uint8_t> p = sim::WinCEPacket(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
    ASSERT_TRUE(WriteAll(fd, std::string(p.begin(), p.end())));
    EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos) << at;
  }
  for (const char* c : {"A.1202\r\n", "A.1203\r\n"}) {
    ASSERT_TRUE(WriteAll(fd, c));
    EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos) << c;
  }
  ASSERT_TRUE(WriteAll(fd, "A.1300#9600\r\n"));
  usleep(200000);
  SetBaud(fd, B9600);
  // The acknowledgement at 9600, then the restart's.
  EXPECT_NE(ReadUntil(fd, "!\r\n!\r\n", 3000).find("!\r\n!\r\n"), std::string::npos);
  close(fd);
  kill(sim.pid, SIGTERM);
  ASSERT_TRUE(sim.Exited(5000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0) << sim.status;

  fs::path file = dir / "CE" / "TORVEX.EXE";  // ".." does not leave the folder
  EXPECT_EQ(Slurp(file.string()), data);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  std::tm when{};
  ASSERT_TRUE(sim::DosTimeToTm(stamp, when));
  EXPECT_EQ(when.tm_year, 124);
  EXPECT_EQ(when.tm_sec, 30);
  EXPECT_EQ(st.st_mtime, std::mktime(&when));
  fs::remove_all(dir);
}

TEST(SimProgram, BasicLoaderMemoryDumpedAsSRecords) {
  namespace fs = std::filesystem;
  std::string dump = (fs::temp_directory_path() / ("sim-basic-" + std::to_string(getpid()) + ".srec")).string();
  Program sim({"--baud", "19200", "--basic-loader", "--basic-dump", dump, "--exit-after-end", "--end-grace", "100"});
  ASSERT_GT(sim.pid, 0) << Binary();
  int fd = open(sim.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B19200);
  ASSERT_TRUE(WriteAll(fd, "A.1220\r\n"));
  std::string said = ReadUntil(fd, "Ready PC ?  Seg=0\r\n", 3000);
  EXPECT_NE(said.find("Basic-Loader / 1.02\r\nReady PC ?  Seg=0\r\n"), std::string::npos) << said;
  EXPECT_EQ(ReadUntil(fd, "Waiting", 300).find("Waiting"), std::string::npos);  // not before the handshake
  SetBaud(fd, B19200, CRTSCTS);
  said = ReadUntil(fd, "Waiting for S-Record !\r\n", 3000);
  EXPECT_NE(said.find("Erasing Flash-Memory (1) !\r\n"), std::string::npos) << said;
  EXPECT_NE(said.find("Waiting for S-Record !\r\n"), std::string::npos) << said;
  const std::uint8_t bytes[] = {0x12, 0x34, 0x56};
  std::string file = sim::FormatSRecord(2, 0x012000, bytes, 3) + "\r\n" + sim::FormatSRecord(8, 0x012000, nullptr, 0) + "\r\n";
  ASSERT_TRUE(WriteAll(fd, file));
  said = ReadUntil(fd, "programmed !\r\n", 3000);
  EXPECT_NE(said.find("Flash-Memory (1) programmed !\r\n"), std::string::npos) << said;
  close(fd);
  // The loader has reported its result and the host let go: the program ends by itself.
  ASSERT_TRUE(sim.Exited(5000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0) << sim.status;
  std::string dumped = Slurp(dump);
  EXPECT_NE(dumped.find(sim::FormatSRecord(2, 0x012000, bytes, 3) + "\r\n"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find(sim::FormatSRecord(8, 0x012000, nullptr, 0) + "\r\n"), std::string::npos) << dumped;
  fs::remove(dump);
}
