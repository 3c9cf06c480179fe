#include "sim/WinCEReceiver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {
constexpr std::size_t MaxLine = 512;

// One table entry per leading byte: the register after shifting that byte out, MSB first.
constexpr std::array<std::uint8_t, 256> MakeCrcTable() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80) ? ((r << 1) ^ 0x1D) & 0xFF : (r << 1) & 0xFF;
    table[i] = static_cast<std::uint8_t>(r);
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> CrcTable = MakeCrcTable();

std::string Trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\0')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\0')) --b;
  return s.substr(a, b - a);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Decimal digits only; more than 32 bits saturate, as strtoul does on the instrument.
bool Decimal(const std::string& s, std::uint64_t& v) {
  if (s.empty() || s.size() > 20) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = std::min<std::uint64_t>(v * 10 + static_cast<unsigned>(c - '0'), 0xFFFFFFFFull + 1);
  }
  return true;
}

std::string Printable(std::uint8_t c) {
  char buf[8];
  if (c >= 0x20 && c < 0x7F)
    std::snprintf(buf, sizeof buf, "%c", c);
  else
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
  return buf;
}

void Reply(std::vector<std::uint8_t>& out, const std::string& line) {
  out.insert(out.end(), line.begin(), line.end());
  out.push_back('\r');
  out.push_back('\n');
}
}  // namespace

std::uint8_t Crc8(const std::uint8_t* data, std::size_t n) {
  std::uint8_t crc = 0xFF;
  for (std::size_t i = 0; i < n; ++i) crc = CrcTable[crc ^ data[i]];
  return crc;
}

std::uint8_t CheckCharacter(std::uint8_t crc) {
  if (crc == 0x00) crc = 0x01;
  if (crc == 'D' || crc == ',' || crc == '#') ++crc;
  return crc;
}

std::vector<std::uint8_t> WinCEPacket(const std::uint8_t* data, std::size_t n) {
  std::string head = "D." + std::to_string(n) + ",";
  std::vector<std::uint8_t> p(head.begin(), head.end());
  p.push_back(CheckCharacter(Crc8(data, n)));
  p.push_back('#');
  p.insert(p.end(), data, data + n);
  return p;
}

bool ParseTransferRate(const std::string& text, std::uint32_t& baud) {
  static const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  std::uint64_t v = 0;
  if (!Decimal(Trim(text), v)) return false;
  for (std::uint32_t r : rates)
    if (v == r) {
      baud = r;
      return true;
    }
  return false;
}

bool DosTimeToTm(std::uint32_t stamp, std::tm& out) {
  unsigned date = stamp >> 16, time = stamp & 0xFFFF;
  unsigned day = date & 31, month = (date >> 5) & 15, year = 1980 + (date >> 9);
  unsigned second = (time & 31) * 2, minute = (time >> 5) & 63, hour = time >> 11;
  if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return false;
  out = std::tm{};
  out.tm_year = static_cast<int>(year) - 1900;
  out.tm_mon = static_cast<int>(month) - 1;
  out.tm_mday = static_cast<int>(day);
  out.tm_hour = static_cast<int>(hour);
  out.tm_min = static_cast<int>(minute);
  out.tm_sec = static_cast<int>(second);
  out.tm_isdst = -1;
  return true;
}

WinCEReceiver::WinCEReceiver(const WinCEConfig& config, std::function<std::uint32_t()> clock)
    : config_(config), clock_(std::move(clock)), files_(config.existing) {
  for (WinCEFile& f : files_) f.announcedBy = 0;
}

void WinCEReceiver::Start() {
  rx_ = Rx::Line;
  line_.clear();
  overlong_ = false;
  ended_ = false;
  speedRequest_ = false;
  DropOpenFile("a new transfer started");
}

void WinCEReceiver::Abandon() {
  rx_ = Rx::Line;
  line_.clear();
  DropOpenFile("the host went silent");
}

void WinCEReceiver::DropOpenFile(const std::string& why) {
  if (!open_) return;
  open_ = false;
  Log("file", "dropped " + current_.name + " after " + std::to_string(current_.data.size()) + " of " +
                  std::to_string(announcedSize_) + " bytes: " + why);
  current_ = WinCEFile{};
}

bool WinCEReceiver::TakeSpeedRequest(std::uint32_t& baud) {
  if (!speedRequest_) return false;
  speedRequest_ = false;
  baud = speedBaud_;
  return true;
}

void WinCEReceiver::Tick(std::vector<std::uint8_t>& out) {
  if (rx_ == Rx::Line || rx_ == Rx::Skip || config_.blockTimeoutMs == 0) return;
  if (clock_() - lastByteMs_ < config_.blockTimeoutMs) return;
  Log("block", "packet incomplete after " + std::to_string(got_) + " of " + std::to_string(count_) +
                   " bytes: asked again");
  rx_ = Rx::Line;
  Reply(out, "I.261#2");
}

void WinCEReceiver::BadHeader(const std::string& why, std::uint8_t c, std::vector<std::uint8_t>& out) {
  Log("fault", "packet header unreadable: " + why);
  Reply(out, "?");
  // Without a length the packet's end is unknown: the rest of the line is dropped.
  rx_ = (c == '\r' || c == '\n') ? Rx::Line : Rx::Skip;
}

void WinCEReceiver::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  std::uint32_t now = clock_();
  if (rx_ != Rx::Line && rx_ != Rx::Skip && n > 0 && config_.blockTimeoutMs > 0 &&
      now - lastByteMs_ >= config_.blockTimeoutMs) {
    // A packet that stalled earlier is stale: what comes now starts afresh.
    Log("block", "stale packet of " + std::to_string(got_) + " bytes dropped");
    rx_ = Rx::Line;
  }
  if (n > 0) lastByteMs_ = now;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t c = data[i];
    switch (rx_) {
      case Rx::Line:
        if (c == '\r' || c == '\n') {
          std::string line = Trim(line_);
          bool overlong = overlong_;
          line_.clear();
          overlong_ = false;
          if (overlong) {
            Log("fault", "line too long, dropped");
            Reply(out, "?");
          } else if (!line.empty()) {
            HandleLine(line, out);
          }
          break;
        }
        if (line_.size() < MaxLine)
          line_ += static_cast<char>(c);
        else
          overlong_ = true;
        if (line_ == "D.") {
          line_.clear();
          rx_ = Rx::Count;
          count_ = 0;
          digits_ = 0;
        }
        break;
      case Rx::Count:
        if (c >= '0' && c <= '9' && digits_ < 7) {
          count_ = count_ * 10 + (c - '0');
          ++digits_;
        } else if (c == ',' && digits_ > 0) {
          rx_ = Rx::Check;
        } else {
          BadHeader("length, then " + Printable(c), c, out);
        }
        break;
      case Rx::Check:
        check_ = c;
        rx_ = Rx::Hash;
        break;
      case Rx::Hash:
        if (c != '#') {
          BadHeader("'#' expected after the check character, got " + Printable(c), c, out);
          break;
        }
        block_.clear();
        got_ = 0;
        rx_ = Rx::Data;
        if (count_ == 0) HandleBlock(out);
        break;
      case Rx::Data:
        if (block_.size() < config_.blockLimit) block_.push_back(c);
        if (++got_ == count_) HandleBlock(out);
        break;
      case Rx::Skip:
        if (c == '\r' || c == '\n') rx_ = Rx::Line;
        break;
    }
  }
}

bool WinCEReceiver::Faulted(const std::string& key, std::vector<std::uint8_t>& out) {
  const TextFault* fault = dueFault ? dueFault(key) : nullptr;
  if (!fault) return false;
  switch (fault->kind) {
    case TextFaultKind::Silence:
      Log("fault", "injected silence");
      break;
    case TextFaultKind::Refuse:
      Log("fault", "injected refusal");
      Reply(out, "?");
      break;
    case TextFaultKind::AskAgain:
      Log("fault", "injected reply 261 #" + std::to_string(fault->value));
      Reply(out, "I.261#" + std::to_string(fault->value));
      break;
  }
  return true;
}

void WinCEReceiver::HandleBlock(std::vector<std::uint8_t>& out) {
  rx_ = Rx::Line;
  ++blocks_;
  std::uint8_t want = CheckCharacter(Crc8(block_.data(), block_.size()));
  std::string head = "D." + std::to_string(count_) + "," + Printable(check_);
  if (Faulted("D", out)) return;
  if (count_ > config_.blockLimit) {
    Log("block", head + " refused: longer than " + std::to_string(config_.blockLimit) + " bytes");
    Reply(out, "?");
    return;
  }
  if (check_ != want) {
    Log("block", head + " check character wrong (data give " + Printable(want) + "): asked again");
    Reply(out, "I.261#2");
    return;
  }
  if (!open_) {
    Log("block", head + " refused: no file is open");
    Reply(out, "?");
    return;
  }
  if (current_.data.size() + block_.size() > announcedSize_) {
    Log("block", head + " refused: more than the announced " + std::to_string(announcedSize_) + " bytes");
    Reply(out, "?");
    return;
  }
  current_.data.insert(current_.data.end(), block_.begin(), block_.end());
  Log("block", head + " ok");
  Reply(out, "!");
}

void WinCEReceiver::HandleLine(const std::string& line, std::vector<std::uint8_t>& out) {
  std::size_t hash = line.find('#');
  std::string key = Trim(line.substr(0, hash));
  std::string arg = hash == std::string::npos ? std::string() : line.substr(hash + 1);
  if (key != "A.1201" && key != "A.1205" && key != "A.1202" && key != "A.1203" && key != "A.1300") {
    if (other) other(line, out);
    return;
  }
  if (note) note(line);
  if (Faulted(key, out)) return;
  if (key == "A.1201" || key == "A.1205") {
    Announce(arg, key == "A.1201" ? 1201 : 1205, out);
  } else if (key == "A.1202") {
    Close(out);
  } else if (key == "A.1203") {
    DropOpenFile("the transfer ended");
    ended_ = true;
    Reply(out, "!");
  } else {  // A.1300: the answer comes at the new rate
    std::uint32_t baud = 0;
    if (!ParseTransferRate(arg, baud)) {
      Reply(out, "?");
      return;
    }
    speedRequest_ = true;
    speedBaud_ = baud;
  }
}

void WinCEReceiver::Announce(const std::string& arg, int code, std::vector<std::uint8_t>& out) {
  // path,stamp,size: the path may hold commas itself, so the numbers are taken from the end.
  std::size_t sizeComma = arg.rfind(',');
  std::size_t stampComma = sizeComma == std::string::npos || sizeComma == 0 ? std::string::npos
                                                                            : arg.rfind(',', sizeComma - 1);
  std::uint64_t size = 0, stamp = 0;
  std::string name, stampText;
  if (stampComma != std::string::npos) {
    name = arg.substr(0, stampComma);
    stampText = Trim(arg.substr(stampComma + 1, sizeComma - stampComma - 1));
  }
  bool negative = !stampText.empty() && stampText[0] == '-';
  if (name.empty() || !Decimal(negative ? stampText.substr(1) : stampText, stamp) ||
      !Decimal(Trim(arg.substr(sizeComma + 1)), size)) {
    Log("fault", "announcement unreadable: " + arg);
    Reply(out, "?");
    return;
  }
  if (stamp > 0xFFFFFFFFull) stamp = 0xFFFFFFFFull;
  if (negative) stamp = (0x100000000ull - stamp) & 0xFFFFFFFFull;  // "-1": no time stamp
  DropOpenFile("a new file was announced");
  if (size > config_.maxFileSize) {
    Log("file", name + " refused: " + std::to_string(size) + " bytes is more than the instrument holds");
    Reply(out, "?");
    return;
  }
  if (code == 1201 && config_.skipCurrentFiles && stamp != 0xFFFFFFFFull) {
    for (const WinCEFile& f : files_) {
      if (Lower(f.name) != Lower(name) || f.stamp == 0xFFFFFFFFu || f.stamp < stamp) continue;
      Log("file", name + " skipped: the instrument's copy is current");
      Reply(out, "I.260");
      return;
    }
  }
  open_ = true;
  current_ = WinCEFile{};
  current_.name = name;
  current_.stamp = static_cast<std::uint32_t>(stamp);
  current_.announcedBy = code;
  announcedSize_ = static_cast<std::uint32_t>(size);
  current_.data.reserve(announcedSize_);
  char buf[64];
  std::snprintf(buf, sizeof buf, ", stamp 0x%08X, %u bytes", static_cast<unsigned>(stamp),
                static_cast<unsigned>(size));
  Log("file", "announced " + name + buf);
  Reply(out, "!");
}

void WinCEReceiver::Close(std::vector<std::uint8_t>& out) {
  if (!open_) {
    Log("fault", "end of file without an open file");
    Reply(out, "?");
    return;
  }
  if (current_.data.size() != announcedSize_) {
    DropOpenFile("incomplete at its end");
    Reply(out, "?");
    return;
  }
  open_ = false;
  Log("file", "received " + current_.name + ", " + std::to_string(current_.data.size()) + " bytes");
  received_.push_back(current_.name);
  auto same = std::find_if(files_.begin(), files_.end(),
                           [&](const WinCEFile& f) { return Lower(f.name) == Lower(current_.name); });
  if (same != files_.end())
    *same = std::move(current_);
  else
    files_.push_back(std::move(current_));
  current_ = WinCEFile{};
  Reply(out, "!");
}

}  // namespace sim
