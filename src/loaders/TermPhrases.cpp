#include "loaders/TermPhrases.h"

#include <algorithm>
#include <utility>

namespace loaders::term {

namespace {
using namespace std::string_view_literals;
constexpr std::array<Phrase, 16> kPhrases = {{
    {"Basic-Loader  |"sv, CodeBanner},
    {"Basic-Loader / 1.01"sv, CodeVersion},
    {"Basic-Loader / 1.02"sv, CodeVersion},
    {"Flash-Memory erased !"sv, CodeErased},
    {"Flash-Memory (1/2) erased !"sv, CodeHalfErased},
    {"Flash-Memory programmed"sv, CodeProgrammed},
    {"Waiting for S-Record !"sv, CodeWaiting},
    {"S-Record defect!"sv, CodeDefect},
    {"Record defekt!"sv, CodeDefect},
    {"Ready PC ?  Seg=0"sv, CodeReadySeg0},
    {"Ready PC ?  Seg=1"sv, CodeReadySeg1},
    {"Erasing Flash-Memory (1) !"sv, CodePreparing},
    {"Erasing Flash-Memory (2) !"sv, CodePreparing},
    {"Flash-Memory (1) programmed !"sv, CodeProgrammed},
    {"Flash-Memory (2) programmed !"sv, CodeProgrammed},
    {"\xA1\x48\x20\x14"sv, CodeProgrammed},
}};
}  // namespace

const std::array<Phrase, 16>& Phrases() { return kPhrases; }

void PhraseMatcher::Append(const char* data, std::size_t n) {
  if (n >= kCapacity) {
    text_.assign(data + (n - kCapacity), kCapacity);
    return;
  }
  if (text_.size() + n > kCapacity) text_.erase(0, text_.size() + n - kCapacity);
  text_.append(data, n);
}

std::vector<std::int32_t> PhraseMatcher::Match() {
  struct Found {
    std::size_t at;  // where the phrase stood in the text before this pass
    std::int32_t code;
  };
  std::vector<Found> found;
  std::vector<std::pair<std::size_t, std::size_t>> taken;  // (where, length), by position
  for (const Phrase& p : kPhrases) {
    const std::size_t at = text_.find(p.text);
    if (at == std::string::npos) continue;
    std::size_t original = at;
    for (const auto& [start, length] : taken) {
      if (start > original) break;
      original += length;
    }
    text_.erase(at, p.text.size());
    taken.insert(std::upper_bound(taken.begin(), taken.end(), std::make_pair(original, std::size_t{0})),
                 {original, p.text.size()});
    found.push_back({original, p.code});
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.at < b.at; });
  std::vector<std::int32_t> codes;
  for (const Found& f : found) codes.push_back(f.code);
  return codes;
}

}  // namespace loaders::term
