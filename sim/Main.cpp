// instrument-sim: serves one simulated instrument on a pseudo-terminal. The host program
// opens the slave side like a serial port; the rate it sets there is read back on the master
// with tcgetattr, which is how the instrument refuses to answer at a wrong rate.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Version.h"
#include "sim/Instrument.h"
#include "sim/Options.h"
#include "sim/TiTxt.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_dump = 0;

void OnStop(int) { g_stop = 1; }
void OnDump(int) { g_dump = 1; }

std::uint32_t BaudOf(speed_t s) {
  switch (s) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
#ifdef B460800
    case B460800: return 460800;
#endif
#ifdef B921600
    case B921600: return 921600;
#endif
    default: return 0;
  }
}

platform::LineSettings HostLine(int master) {
  platform::LineSettings line;
  termios t{};
  if (tcgetattr(master, &t) != 0) return line;
  line.baud = BaudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
  }
  if (t.c_cflag & PARENB) line.parity = (t.c_cflag & PARODD) ? platform::Parity::Odd : platform::Parity::Even;
  line.stopBits = (t.c_cflag & CSTOPB) ? platform::StopBits::Two : platform::StopBits::One;
  line.ctsFlow = (t.c_cflag & CRTSCTS) != 0;  // a pty keeps the flag, though it has no CTS
  return line;
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// Written aside and renamed, so a reader never sees half a file.
bool WriteAside(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  if (!WriteFile(tmp, data) || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "instrument-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// A received file's place below the folder: the announced path with either separator, without
// empty, "." and ".." parts, so nothing lands outside the folder.
std::filesystem::path PathBelow(const std::string& folder, const std::string& name) {
  std::filesystem::path p(folder);
  std::string part;
  bool any = false;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '\\' && name[i] != '/') {
      part += name[i] == ':' ? '_' : name[i];
      continue;
    }
    if (!part.empty() && part != "." && part != "..") {
      p /= part;
      any = true;
    }
    part.clear();
  }
  return any ? p : p / "unnamed";
}

bool WriteWinCEFiles(const sim::Instrument& instrument, const std::string& folder) {
  bool ok = true;
  for (const sim::WinCEFile& f : instrument.WinCEFiles()) {
    if (f.announcedBy == 0) continue;  // it was there before
    std::filesystem::path path = PathBelow(folder, f.name);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (!WriteAside(path.string(), std::string(f.data.begin(), f.data.end()))) {
      ok = false;
      continue;
    }
    // The file's time stamp as announced (DOS stamps are local time).
    std::tm when{};
    if (sim::DosTimeToTm(f.stamp, when)) {
      std::time_t t = std::mktime(&when);
      utimbuf times{t, t};
      if (t != static_cast<std::time_t>(-1)) utime(path.c_str(), &times);
    }
  }
  return ok;
}

bool WriteUploadedFiles(const sim::Instrument& instrument, const std::string& folder) {
  bool ok = true;
  for (const sim::UploadedFile& f : instrument.UploadedFiles()) {
    std::filesystem::path path = PathBelow(folder, f.name);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    ok = WriteAside(path.string(), std::string(f.data.begin(), f.data.end())) && ok;
  }
  return ok;
}

bool WriteDump(const sim::Instrument& instrument, const sim::ProgramOptions& o) {
  bool ok = true;
  if (!o.winceDir.empty()) ok = WriteWinCEFiles(instrument, o.winceDir) && ok;
  if (!o.uploadDir.empty()) ok = WriteUploadedFiles(instrument, o.uploadDir) && ok;
  if (!o.basicDump.empty()) {
    std::string data;
    if (o.basicDumpBinary) {
      std::vector<std::uint8_t> raw = instrument.DumpBasicBinary(nullptr);
      data.assign(raw.begin(), raw.end());
    } else {
      data = instrument.DumpBasicSRecords();
    }
    ok = WriteAside(o.basicDump, data) && ok;
  }
  if (!o.receivedFile.empty()) {  // what the XMODEM loader received, raw
    std::vector<std::uint8_t> raw = instrument.XmodemReceived();
    ok = WriteAside(o.receivedFile, std::string(raw.begin(), raw.end())) && ok;
  }
  if (o.dumpFile.empty()) return ok;
  std::string data;
  if (o.dumpBinary) {
    std::uint32_t base = 0;
    std::vector<std::uint8_t> raw = instrument.DumpMain(&base);
    data.assign(raw.begin(), raw.end());
  } else {
    data = instrument.DumpTiTxt();
  }
  return WriteAside(o.dumpFile, data) && ok;
}

bool ReadTiTxt(const std::string& path, std::map<std::uint32_t, std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "instrument-sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::string error;
  // A later byte for the same address wins, as it would when programmed in file order.
  if (!sim::ParseTiTxt(text.str(), [&](std::uint32_t a, std::uint8_t b) { bytes[a] = b; }, &error)) {
    std::fprintf(stderr, "instrument-sim: %s is no TI-TXT file: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

// 0: the dump holds exactly the image (an 0xFF of the image may be missing from the dump,
// which lists only programmed bytes); 1: it does not; 2: a file cannot be used.
int CompareDump(const std::string& dumpPath, const std::string& imagePath) {
  std::map<std::uint32_t, std::uint8_t> dump, image;
  if (!ReadTiTxt(dumpPath, dump) || !ReadTiTxt(imagePath, image)) return 2;
  if (image.empty()) {
    // Equal to nothing is no useful answer: most likely the wrong file.
    std::fprintf(stderr, "instrument-sim: the image %s holds no bytes\n", imagePath.c_str());
    return 2;
  }
  std::size_t differing = 0;
  std::string first;
  char buf[160];
  auto note = [&](std::uint32_t address, int flash, int wanted) {
    if (differing++ > 0) return;
    if (wanted < 0)
      std::snprintf(buf, sizeof buf, "0x%04X: flash 0x%02X, not in the image", static_cast<unsigned>(address),
                    static_cast<unsigned>(flash));
    else
      std::snprintf(buf, sizeof buf, "0x%04X: flash 0x%02X, image 0x%02X", static_cast<unsigned>(address),
                    static_cast<unsigned>(flash), static_cast<unsigned>(wanted));
    first = buf;
  };
  auto d = dump.begin();
  auto i = image.begin();
  while (d != dump.end() || i != image.end()) {
    if (i == image.end() || (d != dump.end() && d->first < i->first)) {
      if (d->second != 0xFF) note(d->first, d->second, -1);
      ++d;
    } else if (d == dump.end() || i->first < d->first) {
      if (i->second != 0xFF) note(i->first, 0xFF, i->second);
      ++i;
    } else {
      if (d->second != i->second) note(i->first, d->second, i->second);
      ++d;
      ++i;
    }
  }
  if (differing == 0) {
    std::printf("flash equals the image (%zu bytes)\n", image.size());
    return 0;
  }
  std::printf("flash differs from the image in %zu bytes; first at %s\n", differing, first.c_str());
  return 1;
}

// The bytes on the line with the moment they were read or written, for timing measurements.
// Written from the main loop and from the pacer's thread.
class LineTrace {
 public:
  bool Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
  }
  ~LineTrace() {
    if (file_) std::fclose(file_);
  }
  void Add(const char* direction, const std::uint8_t* data, std::size_t n) {
    if (!file_ || n == 0) return;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    std::lock_guard lock(mutex_);
    std::fprintf(file_, "%lld %s", static_cast<long long>(us), direction);
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file_, " %02X", data[i]);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The session ended with its end command, or the Basic-Loader has said its last word (its
// programming run ends the use of the program).
bool Over(const sim::Instrument& instrument) {
  using Phase = sim::BasicLoader::Phase;
  Phase phase = instrument.BasicLoaderPhase();
  return instrument.Ended() || phase == Phase::Programmed || phase == Phase::Defect;
}

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

int main(int argc, char** argv) {
  sim::ProgramOptions o;
  // The pty carries no parity, and a wrong rate shows as noise there, not as a line error.
  o.instrument.checkParity = false;
  o.instrument.wrongRate = sim::WrongRate::Garbage;
  std::string error;
  if (!sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    std::fprintf(stderr, "instrument-sim: %s\n%s", error.c_str(), sim::Usage().c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(sim::Usage().c_str(), stdout);
    return 0;
  }
  if (o.showVersion) {
    std::printf("instrument-sim %s\nA simulated measuring instrument for the firmware update tool.\n", UPDATE_VERSION);
    return 0;
  }
  if (!o.compareDump.empty()) return CompareDump(o.compareDump, o.compareImage);

  // Before the instrument, whose pacer thread writes into it until the instrument is gone.
  LineTrace trace;
  sim::Instrument instrument(o.instrument);
  if (!o.firmwareFile.empty()) {
    std::ifstream in(o.firmwareFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || !instrument.LoadFirmware(text.str(), &error)) {
      std::fprintf(stderr, "instrument-sim: cannot load the firmware %s: %s\n", o.firmwareFile.c_str(),
                   in ? error.c_str() : std::strerror(errno));
      return 2;
    }
    if (!error.empty()) std::fprintf(stderr, "instrument-sim: %s\n", error.c_str());
  }

  std::ofstream logFile;
  if (!o.logFile.empty()) {
    logFile.open(o.logFile, std::ios::trunc);
    if (!logFile) {
      std::fprintf(stderr, "instrument-sim: cannot write the log %s\n", o.logFile.c_str());
      return 2;
    }
    instrument.SetLogSink([&logFile](const sim::LogEntry& e) {
      logFile << e.ms << ' ' << e.kind << ' ' << e.text << '\n';
      logFile.flush();
    });
  }

  if (!o.traceFile.empty() && !trace.Open(o.traceFile)) {
    std::fprintf(stderr, "instrument-sim: cannot write the trace %s\n", o.traceFile.c_str());
    return 2;
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "instrument-sim: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const char* slave = ptsname(master);
  if (!slave) {
    std::fprintf(stderr, "instrument-sim: no slave name: %s\n", std::strerror(errno));
    return 1;
  }
  std::string slavePath = slave;
  // Raw from the start: a host that opens the slave must not get its own bytes echoed.
  termios t{};
  if (tcgetattr(master, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(master, TCSANOW, &t);
  }
  if (!o.link.empty()) {
    unlink(o.link.c_str());
    if (symlink(slavePath.c_str(), o.link.c_str()) != 0) {
      std::fprintf(stderr, "instrument-sim: cannot link %s: %s\n", o.link.c_str(), std::strerror(errno));
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = OnDump;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  instrument.SetSinks(
      [master, &trace](const std::uint8_t* data, std::size_t n) {
        trace.Add("out", data, n);
        while (n > 0) {
          ssize_t w = write(master, data, n);
          if (w < 0) {
            if (errno == EINTR) continue;
            return;  // nobody listens: the bytes are lost, as on an open line
          }
          data += w;
          n -= static_cast<std::size_t>(w);
        }
      },
      nullptr);

  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

  bool hostSeen = false;
  std::uint64_t lastActivity = NowMs();
  int status = 0;
  std::vector<std::uint8_t> buf(4096);
  platform::LineSettings lastLine = HostLine(master);
  while (!g_stop) {
    // A pty sends no notice of the host's tcsetattr: look at the settings now and then.
    platform::LineSettings line = HostLine(master);
    if (!(line == lastLine)) {
      lastLine = line;
      instrument.OnHostLineChanged(line);
    }
    instrument.Tick();
    if (g_dump) {
      g_dump = 0;
      WriteDump(instrument, o);
    }
    if (instrument.GetState() == sim::Instrument::State::Disconnected) break;
    pollfd p{master, POLLIN, 0};
    int r = poll(&p, 1, 50);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "instrument-sim: poll: %s\n", std::strerror(errno));
      status = 1;
      break;
    }
    bool hangUp = false;
    if (r > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(master, buf.data(), buf.size());
      if (n > 0) {
        hostSeen = true;
        lastActivity = NowMs();
        trace.Add("in", buf.data(), static_cast<std::size_t>(n));
        instrument.OnHostBytes(buf.data(), static_cast<std::size_t>(n), HostLine(master));
        continue;
      }
      hangUp = n == 0 || errno == EIO;
    }
    if (r > 0 && (p.revents & (POLLHUP | POLLERR))) hangUp = true;
    if (hangUp) {
      // No host has the slave open (yet, or any more); poll would not wait.
      if (o.exitAfterEnd && hostSeen && Over(instrument)) break;
      usleep(50000);
    }
    if (o.exitAfterEnd && Over(instrument) && NowMs() - lastActivity >= o.endGraceMs) break;
  }

  instrument.WaitIdle(5000);
  if (!WriteDump(instrument, o)) status = 1;
  if (!o.link.empty()) unlink(o.link.c_str());
  close(master);
  return status;
}
