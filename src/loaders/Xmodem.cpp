#include "loaders/Xmodem.h"

#include <charconv>
#include <cstdio>

namespace loaders::xmodem {

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc) {
  for (std::size_t i = 0; i < n; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::uint32_t PacketsFor(std::size_t fileSize) {
  return static_cast<std::uint32_t>((fileSize + kTrailerSize) / kPacketData + 1);
}

Image PrepareImage(const std::vector<std::uint8_t>& file) {
  Image image;
  image.packets = PacketsFor(file.size());
  const std::size_t total = std::size_t{image.packets} * kPacketData;
  image.length = static_cast<std::uint32_t>(total - kTrailerSize);
  image.bytes = file;
  image.bytes.resize(image.length, 0xFF);
  image.checksum = Crc16(image.bytes.data(), image.length);
  for (int k = 0; k < 4; ++k) image.bytes.push_back(static_cast<std::uint8_t>(image.length >> (8 * k)));
  image.bytes.push_back(static_cast<std::uint8_t>(image.checksum & 0xFF));
  image.bytes.push_back(static_cast<std::uint8_t>(image.checksum >> 8));
  return image;
}

Packet BuildPacket(const Image& image, std::uint32_t number) {
  Packet p;
  p.fill(0xFF);
  const auto n = static_cast<std::uint8_t>(number & 0xFF);
  p[0] = kSoh;
  p[1] = n;
  p[2] = static_cast<std::uint8_t>(255 - n);
  const std::size_t from = (std::size_t{number} - 1) * kPacketData;
  for (std::size_t i = 0; i < kPacketData && number >= 1 && from + i < image.bytes.size(); ++i)
    p[3 + i] = image.bytes[from + i];
  const std::uint16_t crc = Crc16(p.data() + 3, kPacketData);
  p[3 + kPacketData] = static_cast<std::uint8_t>(crc >> 8);
  p[4 + kPacketData] = static_cast<std::uint8_t>(crc & 0xFF);
  return p;
}

std::string Sender::SentName() const {
  if (eotSent_) return "EOT";
  char text[40];
  std::snprintf(text, sizeof text, "Packet %u @%04X", static_cast<unsigned>(current_),
                static_cast<unsigned>((current_ - 1) * kPacketData));
  return text;
}

Sender::Reaction Sender::SendPacket(std::uint32_t number, std::string trace) {
  current_ = number;
  state_ = State::AwaitAnswer;
  Reaction r;
  r.send = Send::Packet;
  r.packet = number;
  r.trace = trace.empty() ? SentName() : std::move(trace);
  return r;
}

Sender::Reaction Sender::Repeat(const char* why) {
  const std::uint32_t key = eotSent_ ? packets_ + 1 : current_;
  const std::string name = SentName();
  const std::size_t repeat = history_.Take(key);
  Reaction r;
  r.trace = procedure::RepeatTrace(name, why, repeat, kRepeatLimit);
  if (repeat == 0) {
    state_ = State::GaveUp;
    return r;
  }
  if (eotSent_) {
    r.send = Send::EndOfTransmission;
  } else {
    r.send = Send::Packet;
    r.packet = current_;
  }
  return r;
}

Sender::Reaction Sender::OnReceived(const std::uint8_t* data, std::size_t n) {
  if (Ended() || n == 0) return {};
  // CAN CAN: two in a row, the first possibly at the end of the previous read.
  bool cancel = canPending_ && data[0] == kCan;
  for (std::size_t i = 0; i + 1 < n && !cancel; ++i) cancel = data[i] == kCan && data[i + 1] == kCan;
  canPending_ = data[n - 1] == kCan;
  if (cancel) {
    Reaction r;
    r.trace = "CAN CAN: the receiver cancelled" +
              (current_ > 0 ? std::string(" after ") + SentName() : std::string(" before the first packet"));
    state_ = State::Cancelled;
    return r;
  }
  const std::uint8_t b = data[0];
  switch (state_) {
    case State::AwaitRequest:
      // Only a CRC receiver's request starts; a NAK would ask for packets with a checksum byte.
      if (b == kCrcRequest) return SendPacket(1, "");
      return {};
    case State::AwaitAnswer:
      if (b == kAck) {
        Reaction r;
        r.acknowledged = true;
        if (current_ < packets_) {
          r = SendPacket(current_ + 1, "");
          r.acknowledged = true;
          return r;
        }
        state_ = State::AwaitEotAnswer;
        eotSent_ = true;
        r.send = Send::EndOfTransmission;
        r.trace = "EOT";
        return r;
      }
      if (b == kNak) return Repeat("refused");
      // A receiver still asking to start did not see the first packet.
      if (b == kCrcRequest && current_ == 1) return Repeat("asked for again");
      return {};
    case State::AwaitEotAnswer:
      if (b == kAck) {
        state_ = State::Finished;
        Reaction r;
        r.trace = "EOT acknowledged";
        return r;
      }
      // Published rule: a refused EOT is sent again, not the last packet.
      if (b == kNak) return Repeat("refused");
      return {};
    default:
      return {};
  }
}

Sender::Reaction Sender::OnSilence() {
  if (!Waiting()) return {};
  canPending_ = false;
  return Repeat("unanswered");
}

}  // namespace loaders::xmodem

namespace loaders::emf {

namespace {
std::size_t SkipBlanks(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return i;
}
}  // namespace

bool NeedsUnlockCode(const std::string& version) {
  const std::size_t at = SkipBlanks(version);
  float value = 0.0f;
  auto [end, ec] = std::from_chars(version.data() + at, version.data() + version.size(), value,
                                   std::chars_format::fixed);
  (void)end;
  if (ec != std::errc()) return false;
  const float hundredths = value * 100.0f + 0.0001f;
  return hundredths >= 106.0f;
}

std::string VersionLabel(const std::string& version) { return version.substr(0, version.find(',')); }

std::optional<std::uint16_t> ParseChecksum(const std::string& text) {
  std::size_t i = SkipBlanks(text);
  std::uint32_t value = 0;
  std::size_t digits = 0;
  for (; i < text.size(); ++i, ++digits) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else break;
    value = value * 16 + static_cast<std::uint32_t>(d);
    if (value > 0xFFFF) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace loaders::emf
