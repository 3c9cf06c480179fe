#pragma once
// The instrument's reply parser: collects the bytes read from a port, cuts them into CR LF
// lines, recognises the reply markers and the boot-mode announcements, and posts one
// notification per finding to the event queue. Payloads point into the parser's own fields.
// Texts and values rotate through a few slots, so that several replies of one read each keep
// their own payload until they are dispatched; the memory always stays valid.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kernel/Events.h"

namespace update {

// What the parser needs from the main window.
class ReplyHost {
 public:
  virtual ~ReplyHost() = default;
  // PortTable index of the port with this COM number; -1 when there is none.
  virtual int PortIndexOf(int com) = 0;
  // Reads up to n bytes from PortTable[index]: the count read, or -10 when the port is not
  // open (any negative result means no data).
  virtual int ReadPort(int index, char* buf, unsigned n) = 0;
  // PortTable index of the instrument's port; -1 while unknown.
  virtual int InstrumentPort() const = 0;
  // Makes PortTable[index] (COM number com) the instrument's port: InstrumentPort := index,
  // InstrumentCom := com - 1, status panel 1 := "Com" + com.
  virtual void SetInstrumentPort(int index, int com) = 0;
  // A trace line for the log memo (shown only in debug mode).
  virtual void Trace(const std::string& line) = 0;
};

// Decimal conversion used for reply numbers: skips leading blanks, accepts a sign, stops at
// the first non-digit; no digits give 0. Values beyond the 32-bit range are clamped.
std::int32_t DecimalValue(std::string_view text);

// The boot-loader wake-up frames, entries 0 to 4; an empty span outside that range.
std::span<const std::uint8_t> WakeUpFrameEntry(int entry);
// First frame for a FileType: entry FileType (empty for FileTypes without an entry).
std::span<const std::uint8_t> FirstWakeUpFrame(int fileType);
// Second frame: entry FileType + 3, which exists for FileType 0 and 1 only; the other
// FileTypes have no second frame and get an empty span (nothing is sent).
std::span<const std::uint8_t> SecondWakeUpFrame(int fileType);

class ReplyParser {
 public:
  static constexpr std::size_t kReceiveCap = 1019;  // receive buffer, NUL not counted
  static constexpr std::size_t kLineCap = 500;      // line buffer, NUL included
  static constexpr std::size_t kReplyTextCap = 256; // reply text, NUL included
  static constexpr std::size_t kIdentCap = 100;     // identification text, NUL included
  static constexpr unsigned kReadChunk = 250;       // bytes asked of the port per call
  static constexpr std::size_t kSlots = 16;         // payload slots per kind

  ReplyParser(ReplyHost& host, kernel::EventQueue& queue) : host_(host), queue_(queue) {}
  ReplyParser(const ReplyParser&) = delete;
  ReplyParser& operator=(const ReplyParser&) = delete;

  // Reads the port of this COM number, appends to the receive buffer and posts the
  // notifications of every complete line and boot-mode announcement found.
  //
  // Limits: when a read would overflow the receive buffer (more than kReceiveCap bytes
  // without CR LF), the oldest bytes are dropped so that the newest ones fit. Reply texts
  // longer than kReplyTextCap - 1 and identification texts longer than kIdentCap - 1 keep
  // their first characters. A line longer than kLineCap - 1 keeps its last characters,
  // since a long line is noise in front of a reply (the instrument's replies are short).
  void ReadReplies(int comNumber);

  // Forgets everything received (receive length := 0).
  void ClearReceive();

  std::size_t ReceiveLength() const { return length_; }
  std::string_view Received() const { return {receive_.data(), length_}; }
  std::string_view LastLine() const { return line_.data(); }

  std::int32_t ReplyCode() const { return replyCode_; }
  // The latest reply text, value and identification text.
  const char* ReplyText() const { return replyText_[textSlot_].data(); }
  float ReplyValue() const { return replyValue_[valueSlot_]; }
  const char* IdentText() const { return identText_[identSlot_].data(); }
  // True when a notification's payload is a pointer to a reply value, not a text.
  bool IsValuePayload(std::intptr_t payload) const {
    for (const float& v : replyValue_)
      if (payload == reinterpret_cast<std::intptr_t>(&v)) return true;
    return false;
  }

  // Set when a boot-mode announcement or marker arrived; the session clears it at its start.
  bool IdentFrameSeen() const { return identFrameSeen_; }
  void SetIdentFrameSeen(bool seen) { identFrameSeen_ = seen; }

  // Whether a boot marker byte is taken at all: the search wants one only as the answer to
  // its wake-up frames. A marker also counts only when the read that brought it holds
  // nothing but a loader's answer bytes, so that noise on another port cannot pass for one.
  void SetBootMarkersWanted(bool wanted) { bootMarkersWanted_ = wanted; }
  static bool LoaderAnswerOnly(std::string_view bytes);

 private:
  void Append(const char* data, std::size_t n);
  void RemoveFront(std::size_t n);
  void RemoveRange(std::size_t at, std::size_t n);
  std::size_t Find(std::string_view pattern, std::size_t from = 0) const;
  std::size_t FindByte(char byte, std::size_t from, std::size_t to) const;
  void ParseLine(int portIndex, int comNumber);
  bool TakeBootFrame();
  bool TakeBootMarker(bool acceptable);
  bool InReplyLine(std::size_t at) const;
  void ClaimPort(int portIndex, int comNumber);

  ReplyHost& host_;
  kernel::EventQueue& queue_;

  std::array<char, kReceiveCap + 1> receive_{};
  std::size_t length_ = 0;
  std::array<char, kLineCap> line_{};
  std::int32_t replyCode_ = 0;
  std::array<std::array<char, kReplyTextCap>, kSlots> replyText_{};
  std::array<float, kSlots> replyValue_{};
  std::array<std::array<char, kIdentCap>, kSlots> identText_{};
  std::size_t textSlot_ = 0, valueSlot_ = 0, identSlot_ = 0;
  bool identFrameSeen_ = false;
  bool bootMarkersWanted_ = true;
};

}  // namespace update
