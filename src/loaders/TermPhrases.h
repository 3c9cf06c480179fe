#pragma once
// What the Basic-Loader terminal understands of the loader's plain text: sixteen phrases,
// each turned into a notification code, and the receive buffer they are found in.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace loaders::term {

// Codes of the phrases (and of the terminal's own block notification).
inline constexpr std::int32_t CodeBanner = 100;
inline constexpr std::int32_t CodeVersion = 101;
inline constexpr std::int32_t CodeErased = 102;
inline constexpr std::int32_t CodeHalfErased = 103;
inline constexpr std::int32_t CodeProgrammed = 104;
inline constexpr std::int32_t CodeWaiting = 105;
inline constexpr std::int32_t CodeSendBlock = 106;  // posted by the terminal itself
inline constexpr std::int32_t CodeDefect = 108;
inline constexpr std::int32_t CodeReadySeg0 = 110;
inline constexpr std::int32_t CodeReadySeg1 = 111;
inline constexpr std::int32_t CodePreparing = 112;

struct Phrase {
  std::string_view text;
  std::int32_t code;
};
// In the order they are looked for. No phrase occurs inside another.
const std::array<Phrase, 16>& Phrases();

// Loader text received and not yet matched. It holds at most kCapacity bytes: text that no
// phrase takes would otherwise grow without end, so when a read does not fit the oldest text
// is dropped.
class PhraseMatcher {
 public:
  static constexpr std::size_t kCapacity = 4002;  // the loader's 4003-byte buffer with its NUL

  void Append(const char* data, std::size_t n);
  // One pass over the phrases in order: each one found (its first occurrence) is taken out of
  // the text. The codes come in the order the phrases stood in the text, so that a read that
  // holds the erase and the request for the file reports them as the loader said them. A
  // phrase that came twice is found again on the next pass.
  std::vector<std::int32_t> Match();
  std::string_view Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace loaders::term
