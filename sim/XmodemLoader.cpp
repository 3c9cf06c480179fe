#include "sim/XmodemLoader.h"

#include <cstdio>

namespace sim {

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t n, std::uint16_t crc) {
  for (std::size_t i = 0; i < n; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::vector<std::uint8_t> XmodemPacket(std::uint8_t number, const std::vector<std::uint8_t>& data,
                                       std::uint8_t pad) {
  const std::size_t size = data.size() <= 128 ? 128 : 1024;
  std::vector<std::uint8_t> p;
  p.reserve(size + 5);
  p.push_back(size == 128 ? XmSoh : XmStx);
  p.push_back(number);
  p.push_back(static_cast<std::uint8_t>(255 - number));
  for (std::size_t i = 0; i < size; ++i) p.push_back(i < data.size() ? data[i] : pad);
  std::uint16_t crc = Crc16Xmodem(p.data() + 3, size);
  p.push_back(static_cast<std::uint8_t>(crc >> 8));
  p.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return p;
}

std::uint32_t XmodemRateOfCode(int code) {
  static const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  return code >= 0 && code < 8 ? rates[code] : 0;
}

bool ParseXmodemStart(const std::string& key, const std::string& arg, int& command, int& rateCode) {
  if (key == "A.1250") command = 1250;
  else if (key == "A.1255") command = 1255;
  else if (key == "A.1256") command = 1256;
  else return false;
  std::size_t a = 0, b = arg.size();
  while (a < b && (arg[a] == ' ' || arg[a] == '\0')) ++a;
  while (b > a && (arg[b - 1] == ' ' || arg[b - 1] == '\0')) --b;
  if (b - a != 1 || arg[a] < '0' || arg[a] > '9') return false;
  rateCode = arg[a] - '0';
  return XmodemRateOfCode(rateCode) != 0;
}

const char* XmodemPhaseName(XmodemLoader::Phase phase) {
  switch (phase) {
    case XmodemLoader::Phase::Off: return "off";
    case XmodemLoader::Phase::Restarting: return "restarting";
    case XmodemLoader::Phase::StartWait: return "start-wait";
    case XmodemLoader::Phase::Command: return "command";
    case XmodemLoader::Phase::Receive: return "receive";
  }
  return "?";
}

namespace {
// "1.06" -> 106, "2" -> 200, "1.6,x" -> 160; 0 without a leading number.
int Hundredths(const std::string& v) {
  std::size_t i = 0;
  int whole = 0;
  bool digits = false;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9' && whole < 100000; ++i, digits = true)
    whole = whole * 10 + (v[i] - '0');
  if (!digits) return 0;
  int fraction = 0;
  if (i < v.size() && v[i] == '.') {
    ++i;
    for (int place = 10; place >= 1; place /= 10, ++i) {
      if (i >= v.size() || v[i] < '0' || v[i] > '9') break;
      fraction += (v[i] - '0') * place;
    }
  }
  return whole * 100 + fraction;
}

std::string Trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\0')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\0')) --b;
  return s.substr(a, b - a);
}

constexpr std::size_t MaxLine = 64;
constexpr std::size_t MaxCode = 16;
}  // namespace

XmodemLoader::XmodemLoader(const XmodemConfig& config, std::function<std::uint32_t()> now)
    : config_(config), now_(std::move(now)) {}

void XmodemLoader::Enter(int command, int rateCode) {
  const std::uint32_t now = now_();
  startCommand_ = command;
  unlockNeeded_ = Hundredths(config_.version) >= 106;
  line_.clear();
  overlong_ = false;
  letter_ = 0;
  code_.clear();
  packet_.clear();
  purging_ = false;
  if (command == 1256) {
    // The instrument restarts; it comes back taking start commands at 9600.
    phase_ = Phase::Restarting;
    restartAt_ = now;
    baud_ = 9600;
    Log("state", "restarting");
    return;
  }
  phase_ = Phase::Command;
  baud_ = XmodemRateOfCode(rateCode);
  Log("state", "xmodem loader at " + std::to_string(baud_));
}

bool XmodemLoader::Listening() const {
  if (phase_ == Phase::Off) return false;
  return phase_ != Phase::Restarting || now_() - restartAt_ >= config_.restartMs;
}

XmodemLoader::Status XmodemLoader::GetStatus() const {
  Status s = status_;
  s.phase = phase_;
  s.baud = baud_;
  s.startCommand = startCommand_;
  s.unlockNeeded = unlockNeeded_;
  s.imageValid = ImageValid();
  return s;
}

bool XmodemLoader::TakeApplicationStart() {
  bool s = appStart_;
  appStart_ = false;
  return s;
}

std::uint16_t XmodemLoader::ImageChecksum() const {
  std::size_t front = image_.size() >= 6 ? image_.size() - 6 : 0;
  return Crc16Xmodem(image_.data(), front);
}

bool XmodemLoader::ImageValid() const {
  const std::size_t n = image_.size();
  if (!status_.complete || n < 6) return false;
  const std::uint8_t* t = image_.data() + n - 6;
  std::uint32_t length = static_cast<std::uint32_t>(t[0] | t[1] << 8 | t[2] << 16) |
                         static_cast<std::uint32_t>(t[3]) << 24;
  std::uint16_t stored = static_cast<std::uint16_t>(t[4] | t[5] << 8);
  return length == n - 6 && stored == ImageChecksum();
}

bool XmodemLoader::FaultDue(XmodemFaultKind kind, int nth) const {
  for (const XmodemFault& f : config_.faults)
    if (f.kind == kind && nth >= f.nth && nth < f.nth + f.count) return true;
  return false;
}

void XmodemLoader::Reply(const std::string& line, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), line.begin(), line.end());
  out.push_back('\r');
  out.push_back('\n');
}

void XmodemLoader::Tick(std::vector<std::uint8_t>& out) { Advance(now_(), out); }

void XmodemLoader::Advance(std::uint32_t now, std::vector<std::uint8_t>& out) {
  if (phase_ == Phase::Restarting && now - restartAt_ >= config_.restartMs) {
    phase_ = Phase::StartWait;
    Log("state", "restarted, start commands at 9600");
  }
  if (letter_ && now - letterAt_ >= config_.unlockTimeoutMs) {
    Log("xmodem", std::string("\"") + letter_ + "\" without the unlock code, refused");
    letter_ = 0;
    code_.clear();
    Reply("?", out);
  }
  if (phase_ != Phase::Receive) return;
  if (purging_) {
    if (now - lastIn_ >= config_.purgeMs) {
      purging_ = false;
      Nak(out);
    }
  } else if (!packet_.empty()) {
    if (now - lastIn_ >= config_.charTimeoutMs) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "packet cut short after %zu bytes", packet_.size());
      packet_.clear();
      Error(buf, true, out);
    }
  } else if (!senderStarted_) {
    if (now - lastRequest_ >= config_.requestMs) {
      lastRequest_ = now;
      if (++rounds_ > config_.requests) {
        phase_ = Phase::Command;
        Log("xmodem", "no sender, upload given up");
        return;
      }
      if (!silentStart_) {
        out.push_back(XmCrcRequest);
        ++status_.requests;
      }
    }
  } else if (now - lastActive_ >= config_.packetTimeoutMs) {
    Error("no packet", true, out);
  }
}

void XmodemLoader::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  const std::uint32_t now = now_();
  Advance(now, out);
  for (std::size_t i = 0; i < n; ++i) {
    switch (phase_) {
      case Phase::Off:  // the application runs: the rest is not ours
      case Phase::Restarting:
        return;
      case Phase::StartWait:
      case Phase::Command:
        CommandByte(data[i], out);
        break;
      case Phase::Receive:
        lastIn_ = lastActive_ = now;
        ReceiveByte(data[i], out);
        break;
    }
  }
}

void XmodemLoader::CommandByte(std::uint8_t b, std::vector<std::uint8_t>& out) {
  if (letter_) {  // collecting the unlock code behind a command letter
    if (b == '\r' || b == '\n') {
      char letter = letter_;
      bool match = code_ == config_.unlockCode;
      letter_ = 0;
      code_.clear();
      if (match) {
        Execute(letter, out);
      } else {
        Log("xmodem", std::string("\"") + letter + "\" with a wrong unlock code, refused");
        Reply("?", out);
      }
    } else if (code_.size() < MaxCode) {
      code_ += static_cast<char>(b);
    } else {
      Log("xmodem", std::string("\"") + letter_ + "\" with an overlong unlock code, refused");
      letter_ = 0;
      code_.clear();
      Reply("?", out);
    }
    return;
  }
  if (line_.empty() && !overlong_) {
    if (b == 0 || b == ' ' || b == '\r' || b == '\n') return;
    if (phase_ == Phase::Command && (b == 'u' || b == 'c' || b == 'r')) {
      if (unlockNeeded_) {
        letter_ = static_cast<char>(b);
        letterAt_ = now_();
        return;
      }
      Execute(static_cast<char>(b), out);
      return;
    }
    if (phase_ == Phase::Command && b == XmEot && status_.complete) {
      // The sender missed our ACK of its EOT and repeats it.
      out.push_back(XmAck);
      return;
    }
  }
  if (b == '\r' || b == '\n') {
    std::string line = Trim(line_);
    bool overlong = overlong_;
    line_.clear();
    overlong_ = false;
    if (overlong) {
      Log("xmodem", "line too long, refused");
      Reply("?", out);
    } else if (phase_ == Phase::StartWait) {
      StartWaitLine(line, out);
    } else {
      CommandLine(line, out);
    }
    return;
  }
  if (line_.size() < MaxLine)
    line_ += static_cast<char>(b);
  else
    overlong_ = true;
}

void XmodemLoader::CommandLine(const std::string& line, std::vector<std::uint8_t>& out) {
  Log("xmodem", "command " + line);
  if (line != "A.2051") {
    Reply("?", out);
    return;
  }
  if (FaultDue(XmodemFaultKind::NoVersion, ++versionQueries_)) {
    Log("fault", "version query left unanswered");
    return;
  }
  Reply("I.251#" + config_.version, out);
}

void XmodemLoader::StartWaitLine(const std::string& line, std::vector<std::uint8_t>& out) {
  Log("xmodem", "command " + line);
  std::size_t hash = line.find('#');
  std::string key = Trim(line.substr(0, hash));
  std::string arg = hash == std::string::npos ? std::string() : line.substr(hash + 1);
  int command = 0, code = 0;
  if (hash == std::string::npos || !ParseXmodemStart(key, arg, command, code)) {
    Reply("?", out);
    return;
  }
  Reply(line, out);
  Enter(command, code);
}

void XmodemLoader::Execute(char letter, std::vector<std::uint8_t>& out) {
  const std::uint32_t now = now_();
  if (letter == 'u') {
    ++status_.uploads;
    image_.clear();
    packet_.clear();
    expected_ = 1;
    senderStarted_ = purging_ = lastWasCan_ = false;
    errors_ = 0;
    status_.requests = 0;
    status_.complete = status_.senderCancelled = false;
    phase_ = Phase::Receive;
    lastRequest_ = lastActive_ = lastIn_ = now;
    rounds_ = 1;
    silentStart_ = FaultDue(XmodemFaultKind::NoStart, status_.uploads);
    Log("xmodem", "upload started");
    if (silentStart_) {
      Log("fault", "no 'C' for this upload");
    } else {
      out.push_back(XmCrcRequest);
      ++status_.requests;
    }
    return;
  }
  if (letter == 'c') {
    std::uint16_t checksum = ImageChecksum();
    if (FaultDue(XmodemFaultKind::NoChecksum, ++checks_)) {
      Log("fault", "checksum reply left out");
      return;
    }
    if (FaultDue(XmodemFaultKind::WrongChecksum, checks_)) {
      checksum ^= 0x5A5A;
      Log("fault", "wrong checksum reply");
    }
    char text[24];
    std::snprintf(text, sizeof text, "I.1205#%04X", static_cast<unsigned>(checksum));
    Reply(text, out);
    ++status_.checksumReplies;
    status_.lastChecksum = checksum;
    return;
  }
  // 'r': a loader whose last upload did not leave a valid image keeps the application off.
  if (status_.uploads > 0 && !ImageValid()) {
    Log("xmodem", "application start refused: the image is not valid");
    Reply("?", out);
    return;
  }
  appStart_ = true;
  phase_ = Phase::Off;
  Log("state", "application started");
}

void XmodemLoader::ReceiveByte(std::uint8_t b, std::vector<std::uint8_t>& out) {
  if (purging_) return;
  if (!packet_.empty()) {
    packet_.push_back(b);
    if (packet_.size() == packetSize_) {
      std::vector<std::uint8_t> p;
      p.swap(packet_);
      HandlePacket(p, out);
    }
    return;
  }
  const bool can = b == XmCan;
  switch (b) {
    case XmSoh:
    case XmStx:
      packetSize_ = b == XmSoh ? 133 : 1029;
      packet_.assign(1, b);
      senderStarted_ = true;
      break;
    case XmEot:
      out.push_back(XmAck);
      status_.complete = true;
      phase_ = Phase::Command;
      Log("xmodem", "EOT, " + std::to_string(image_.size()) + " bytes received");
      break;
    case XmCan:
      if (lastWasCan_) {
        status_.senderCancelled = true;
        phase_ = Phase::Command;
        Log("xmodem", "cancelled by the sender");
        lastWasCan_ = false;
        return;
      }
      break;
    default:
      // Before the sender starts, stray bytes (the rest of a command line) are ignored; later
      // they mean the packets are out of step.
      if (senderStarted_) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "byte 0x%02X instead of a packet", b);
        Error(buf, false, out);
      }
      break;
  }
  lastWasCan_ = can;
}

void XmodemLoader::HandlePacket(std::vector<std::uint8_t>& p, std::vector<std::uint8_t>& out) {
  const int nth = ++status_.packets;
  const std::size_t size = p[0] == XmStx ? 1024 : 128;
  char buf[96];
  if (FaultDue(XmodemFaultKind::Corrupt, nth)) {
    p[3 + size / 2] ^= 0x01;
    Log("fault", "packet " + std::to_string(nth) + " corrupted on arrival");
  }
  if (FaultDue(XmodemFaultKind::Silence, nth)) {
    Log("fault", "packet " + std::to_string(nth) + " left unanswered");
    return;
  }
  if (FaultDue(XmodemFaultKind::Cancel, nth)) {
    Cancel("injected cancel", out);
    return;
  }
  const std::uint8_t number = p[1];
  if (static_cast<std::uint8_t>(number + p[2]) != 0xFF) {
    std::snprintf(buf, sizeof buf, "packet number %u with complement %u", number, p[2]);
    return Error(buf, false, out);
  }
  const std::uint16_t crc = Crc16Xmodem(p.data() + 3, size);
  if (p[3 + size] != (crc >> 8) || p[4 + size] != (crc & 0xFF)) {
    std::snprintf(buf, sizeof buf, "CRC error in packet %u", number);
    return Error(buf, false, out);
  }
  if (status_.accepted > 0 && number == static_cast<std::uint8_t>(expected_ - 1)) {
    ++status_.duplicates;
    std::snprintf(buf, sizeof buf, "packet %u repeated, dropped", number);
    Log("xmodem", buf);
    out.push_back(XmAck);
    return;
  }
  if (number != static_cast<std::uint8_t>(expected_)) {
    std::snprintf(buf, sizeof buf, "packet %u where %u was due", number,
                  static_cast<unsigned>(expected_ & 0xFF));
    return Error(buf, false, out);
  }
  if (FaultDue(XmodemFaultKind::Nak, nth)) {
    Log("fault", "packet " + std::to_string(nth) + " refused with NAK");
    if (++errors_ >= config_.maxErrors) return Cancel("too many errors", out);
    return Nak(out);
  }
  if (image_.size() + size > config_.capacity) {
    Cancel("image larger than " + std::to_string(config_.capacity) + " bytes", out);
    return;
  }
  image_.insert(image_.end(), p.begin() + 3, p.begin() + 3 + static_cast<long>(size));
  ++status_.accepted;
  ++expected_;
  errors_ = 0;
  out.push_back(XmAck);
  std::snprintf(buf, sizeof buf, "packet %u (%zu bytes)", number, size);
  Log("xmodem", buf);
}

void XmodemLoader::Error(const std::string& reason, bool lineQuiet, std::vector<std::uint8_t>& out) {
  Log("xmodem", reason);
  if (++errors_ >= config_.maxErrors) return Cancel("too many errors", out);
  // Whatever else is on its way must pass first, or the NAK would be lost in it.
  if (lineQuiet || config_.purgeMs == 0)
    Nak(out);
  else
    purging_ = true;
}

void XmodemLoader::Nak(std::vector<std::uint8_t>& out) {
  out.push_back(XmNak);
  ++status_.naks;
  lastActive_ = now_();
}

void XmodemLoader::Cancel(const std::string& reason, std::vector<std::uint8_t>& out) {
  out.push_back(XmCan);
  out.push_back(XmCan);
  ++status_.cancels;
  phase_ = Phase::Command;
  packet_.clear();
  purging_ = false;
  Log("xmodem", "transfer cancelled: " + reason);
}

}  // namespace sim
