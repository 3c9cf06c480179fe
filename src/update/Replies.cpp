#include "update/Replies.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "kernel/Stringunit.h"
#include "procedure/Notifications.h"

namespace update {

using namespace procedure;


namespace {

constexpr std::uint8_t kFrame0[] = {0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16};
constexpr std::uint8_t kFrame1[] = {0x80};
constexpr std::uint8_t kFrame2[] = {0x0D, 0x0A};
constexpr std::uint8_t kFrame3[] = {0x0D, 0x0A};
constexpr std::uint8_t kFrame4[] = {0x85, 0x01, 0x00, 0x1A};
constexpr std::span<const std::uint8_t> kWakeUpFrames[] = {kFrame0, kFrame1, kFrame2, kFrame3,
                                                           kFrame4};

// Boot-loader identification frames: start, text start, text end; all end with 0x16.
struct BootForm {
  std::string_view start;
  char textStart;
  char textEnd;
};
constexpr BootForm kBootForms[] = {
    {"h00h", '\x1D', '\x0C'},
    {"h11h", '\x1E', '\x0A'},
    {"h,,h", '\x19', '\x0C'},
};
constexpr char kFrameEnd = '\x16';
constexpr char kMarker90 = static_cast<char>(0x90);

// Copies text into a NUL-terminated field, cutting what does not fit.
template <std::size_t N>
void StoreField(std::array<char, N>& field, std::string_view text) {
  const std::size_t n = std::min(text.size(), N - 1);
  if (n > 0) std::memcpy(field.data(), text.data(), n);
  field[n] = '\0';
}

bool IsBlank(char c) { return c == ' '; }

float FloatValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || !((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) return 0.0f;
  double value = 0.0;
  const char* first = text.data() + i;
  const auto [end, ec] =
      std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: the exponent's sign tells which.
    const std::string_view number(first, static_cast<std::size_t>(end - first));
    const std::size_t e = number.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
    value = tiny ? 0.0 : std::numeric_limits<float>::max();
  } else if (ec != std::errc()) {
    value = 0.0;
  }
  value = std::clamp(value, 0.0, static_cast<double>(std::numeric_limits<float>::max()));
  return static_cast<float>(negative ? -value : value);
}

}  // namespace

std::int32_t DecimalValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(std::min(value, kLimit - 1));
}

std::span<const std::uint8_t> WakeUpFrameEntry(int entry) {
  if (entry < 0 || entry >= static_cast<int>(std::size(kWakeUpFrames))) return {};
  return kWakeUpFrames[entry];
}

std::span<const std::uint8_t> FirstWakeUpFrame(int fileType) { return WakeUpFrameEntry(fileType); }

std::span<const std::uint8_t> SecondWakeUpFrame(int fileType) {
  if (fileType != 0 && fileType != 1) return {};
  return WakeUpFrameEntry(fileType + 3);
}

void ReplyParser::ClearReceive() {
  length_ = 0;
  receive_[0] = '\0';
}

void ReplyParser::Append(const char* data, std::size_t n) {
  if (n > kReceiveCap) {  // more than fits at all: only the newest bytes count
    data += n - kReceiveCap;
    n = kReceiveCap;
  }
  if (n == 0) return;
  if (length_ + n > kReceiveCap) RemoveFront(length_ + n - kReceiveCap);
  std::memcpy(receive_.data() + length_, data, n);
  length_ += n;
  receive_[length_] = '\0';
}

void ReplyParser::RemoveFront(std::size_t n) { RemoveRange(0, n); }

void ReplyParser::RemoveRange(std::size_t at, std::size_t n) {
  if (at >= length_) return;
  n = std::min(n, length_ - at);
  std::memmove(receive_.data() + at, receive_.data() + at + n, length_ - at - n);
  length_ -= n;
  receive_[length_] = '\0';
}

std::size_t ReplyParser::Find(std::string_view pattern, std::size_t from) const {
  return Received().find(pattern, from);
}

std::size_t ReplyParser::FindByte(char byte, std::size_t from, std::size_t to) const {
  for (std::size_t i = from; i < to && i < length_; ++i) {
    if (receive_[i] == byte) return i;
  }
  return std::string_view::npos;
}

void ReplyParser::ClaimPort(int portIndex, int comNumber) {
  if (host_.InstrumentPort() == -1) host_.SetInstrumentPort(portIndex, comNumber);
}

void ReplyParser::ReadReplies(int comNumber) {
  const int index = host_.PortIndexOf(comNumber);
  if (index < 0) return;
  char chunk[kReadChunk];
  const int got = host_.ReadPort(index, chunk, kReadChunk);
  if (got < 0) return;  // port not open
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(got), kReadChunk);
  const bool markerAcceptable = bootMarkersWanted_ && LoaderAnswerOnly({chunk, n});
  Append(chunk, n);

  // A NUL from the line would end every text search early; it counts as a blank.
  std::replace(receive_.begin(), receive_.begin() + static_cast<std::ptrdiff_t>(length_), '\0',
               ' ');

  bool lineFound;
  do {
    lineFound = false;
    const std::size_t crlf = Find("\r\n");
    if (crlf != std::string_view::npos) {
      lineFound = true;
      std::string_view line(receive_.data(), crlf);
      if (line.size() > kLineCap - 1) line.remove_prefix(line.size() - (kLineCap - 1));
      StoreField(line_, line);
      RemoveFront(crlf + 2);
      ParseLine(index, comNumber);
    }
    const bool frameStart = TakeBootFrame();
    if (!frameStart) TakeBootMarker(markerAcceptable);
    if (identFrameSeen_) ClaimPort(index, comNumber);
  } while (lineFound && Find("\r\n") != std::string_view::npos);
}

void ReplyParser::ParseLine(int portIndex, int comNumber) {
  const std::string_view line(line_.data());
  host_.Trace(std::string(line) + " <-");

  const std::size_t posA = kernel::TextPos(line, "A.", 0);
  const std::size_t posC = kernel::TextPos(line, "C.", 0);
  const std::size_t posI = kernel::TextPos(line, "I.", 0);
  const std::size_t posHash = kernel::TextPos(line, "#", 0);
  const std::size_t posDollar = kernel::TextPos(line, "$", 0);
  const std::size_t posB = kernel::TextPos(line, "B.", 0);
  const std::size_t posAck = kernel::TextPos(line, "!", 0);
  const std::size_t posErr = kernel::TextPos(line, "?", 0);

  if (!(posA || posC || posI || posB || posAck || posErr)) return;  // no marker: traced only

  // With one of the numbered markers present, the number starts right after its dot. The
  // marker positions are summed, so a line with several of them reads at a position that
  // may lie anywhere or past the line; there the number is 0.
  const std::size_t numberAt = posA + posC + posI + posB + 1;
  const std::int32_t number =
      numberAt < line.size() ? DecimalValue(line.substr(numberAt)) : 0;

  if (posI || posB) {
    replyCode_ = number;
    textSlot_ = (textSlot_ + 1) % kSlots;
    StoreField(replyText_[textSlot_], posHash ? line.substr(posHash) : std::string_view());
    queue_.PostNotify(replyCode_, static_cast<const void*>(replyText_[textSlot_].data()));
  }
  if (posDollar) {
    replyCode_ = number;
    valueSlot_ = (valueSlot_ + 1) % kSlots;
    replyValue_[valueSlot_] = FloatValue(line.substr(posDollar));
    queue_.PostNotify(replyCode_, static_cast<const void*>(&replyValue_[valueSlot_]));
  }
  if (posAck) {
    queue_.PostNotify(NotifyAck);
    ClaimPort(portIndex, comNumber);
  }
  if (posA || posC) queue_.PostNotify(NotifyEcho);
  if (posErr) queue_.PostNotify(NotifyError);
}

bool ReplyParser::TakeBootFrame() {
  for (const BootForm& form : kBootForms) {
    const std::size_t k = Find(form.start);
    if (k == std::string_view::npos) continue;
    const std::size_t end = FindByte(kFrameEnd, k, length_);
    if (end == std::string_view::npos) return true;  // incomplete: wait for the rest

    // The text lies between the form's start and end bytes, within this frame only.
    std::string_view text;
    const std::size_t textStart = FindByte(form.textStart, k, end);
    if (textStart != std::string_view::npos) {
      std::size_t textEnd = FindByte(form.textEnd, textStart + 1, end);
      if (textEnd == std::string_view::npos) textEnd = end;
      text = std::string_view(receive_.data() + textStart + 1, textEnd - textStart - 1);
    }
    identSlot_ = (identSlot_ + 1) % kSlots;
    StoreField(identText_[identSlot_], text);
    RemoveRange(k, end - k + 1);
    identFrameSeen_ = true;
    queue_.PostNotify(NotifyBootId, static_cast<const void*>(identText_[identSlot_].data()));
    return true;
  }
  return false;
}

// A "Q" behind a command or reply marker belongs to a line still on its way (the echo of
// "A.5588#QX17" may arrive in pieces), not to a boot loader.
bool ReplyParser::InReplyLine(std::size_t at) const {
  const std::string_view before = Received().substr(0, at);
  for (std::string_view m : {"A.", "B.", "C.", "I."}) {
    if (before.find(m) != std::string_view::npos) return true;
  }
  return false;
}

// The bytes a bootstrap loader answers a wake-up frame with: the classic loader's
// acknowledgement and refusals, the 5xx loader's error bytes ('Q' is its 0x51).
bool ReplyParser::LoaderAnswerOnly(std::string_view bytes) {
  if (bytes.empty()) return false;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b != 0x90 && b != 0xA0 && b != 0x70 && !(b >= 0x51 && b <= 0x56)) return false;
  }
  return true;
}

bool ReplyParser::TakeBootMarker(bool acceptable) {
  if (!acceptable) return false;
  std::intptr_t marker;
  if (FindByte(kMarker90, 0, length_) != std::string_view::npos) {
    marker = static_cast<signed char>(kMarker90);
  } else if (const std::size_t q = FindByte('Q', 0, length_);
             q != std::string_view::npos && !InReplyLine(q)) {
    marker = 'Q';
  } else {
    return false;
  }
  ClearReceive();
  identFrameSeen_ = true;
  queue_.PostNotify(NotifyBootMarker, marker);
  return true;
}

}  // namespace update
