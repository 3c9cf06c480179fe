// Both TI-TXT readers and the patch table: any text is either refused with a reason and a
// line, or read into blocks that put every byte of the file at its address, with nothing but
// the erased value 0xFF where a block pads to whole words.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "loaders/Image.h"

namespace {

// The bytes the text gives, by address, read the simple way the format allows once a reader
// has accepted the text; false when an address is given twice (the readers keep both).
bool Reference(std::string_view text, std::map<std::uint32_t, std::uint8_t>& out) {
  std::uint32_t address = 0;
  std::size_t pos = 0;
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line[0] == 'q') break;
    if (!line.empty() && line[0] == '@') {
      address = 0;
      for (std::size_t i = 1; i < line.size() && hex(line[i]) >= 0; ++i) address = address * 16 + static_cast<std::uint32_t>(hex(line[i]));
      continue;
    }
    for (std::size_t i = 0; i + 1 < line.size(); ) {
      if (hex(line[i]) < 0) { ++i; continue; }
      if (!out.emplace(address++, static_cast<std::uint8_t>(hex(line[i]) * 16 + hex(line[i + 1]))).second) return false;
      i += 2;
    }
  }
  return true;
}

using Carried = std::multimap<std::uint32_t, std::uint8_t>;

// Every byte a block carries is the file's at its address, or a pad of 0xFF (which leaves
// flash as it is); every byte of the file is carried.
void Compare(const std::map<std::uint32_t, std::uint8_t>& want, const Carried& got) {
  for (auto [address, value] : got) {
    auto it = want.find(address);
    if (value != 0xFF && (it == want.end() || it->second != value)) std::abort();
  }
  for (auto [address, value] : want) {
    auto [first, last] = got.equal_range(address);
    if (std::none_of(first, last, [v = value](const auto& e) { return e.second == v; })) std::abort();
  }
}

struct Tables {
  std::unique_ptr<loaders::ImageBlock[]> classic{new loaders::ImageBlock[loaders::kImageBlocks]};
  std::unique_ptr<loaders::ImageBlock[]> patch{new loaders::ImageBlock[loaders::kPatchBlocks]};
  std::unique_ptr<loaders::ImageBlock54xx[]> fivexx{new loaders::ImageBlock54xx[loaders::kImageBlocks]};
};

void CheckResult(const loaders::ImageReadResult& r, int maxBlocks) {
  if (r.ok()) {
    if (r.lastIndex >= maxBlocks) std::abort();
  } else if (r.error == loaders::ImageError::None || r.line < 0) {
    std::abort();
  }
  (void)loaders::ImageErrorText(r, "FW.TXT", 0);
  (void)loaders::ImageErrorText(r, "FW.TXT", 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static Tables t;
  const char* text = reinterpret_cast<const char*>(bytes);
  std::map<std::uint32_t, std::uint8_t> want;
  bool unique = true;
  bool referenced = false;

  // Classic layout: upper blocks are written with memory offset 1; the empty marker block
  // separates the top segment moved behind them.
  int upper = -7;
  loaders::ImageReadResult r = loaders::ReadImage(text, size, t.classic.get(), loaders::kImageBlocks, upper);
  CheckResult(r, loaders::kImageBlocks);
  if (r.ok()) {
    unique = Reference({text, size}, want);
    referenced = true;
    int marker = -1;
    for (int i = 0; i <= r.lastIndex; ++i)
      if (t.classic[i].length == 0 && i > 0) marker = i;
    Carried got;
    for (int i = 0; i <= r.lastIndex; ++i) {
      const loaders::ImageBlock& b = t.classic[i];
      if (b.length == 0) continue;
      if (b.length < 4 || b.DataLength() > static_cast<int>(loaders::kBlockDataMax)) std::abort();
      if (b.DataLength() % 2 != 0) std::abort();  // the loaders write whole words
      const bool high = upper >= 0 && i >= upper && (marker < 0 || i < marker);
      const std::uint32_t base = (high ? 0x10000u : 0u) + b.address;
      // A block never crosses 0x10000: the loader's 16-bit address would wrap.
      if (b.address + static_cast<std::uint32_t>(b.DataLength()) > 0x10000) std::abort();
      for (int k = 0; k < b.DataLength(); ++k) got.emplace(base + static_cast<std::uint32_t>(k), b.data[k]);
    }
    if (unique) Compare(want, got);
  }

  // The patch table is small: a patch too large for it is refused, never overflows it.
  int patchUpper = -7;
  r = loaders::ReadImage(text, size, t.patch.get(), loaders::kPatchBlocks, patchUpper);
  CheckResult(r, loaders::kPatchBlocks);

  int vectorIndex = -7, vectorCount = -7;
  r = loaders::ReadImage54xx(text, size, t.fivexx.get(), loaders::kImageBlocks, vectorIndex, vectorCount);
  CheckResult(r, loaders::kImageBlocks);
  if (r.ok()) {
    if (!referenced) {
      want.clear();
      unique = Reference({text, size}, want);
    }
    Carried got;
    for (int i = 0; i <= r.lastIndex; ++i) {
      const loaders::ImageBlock54xx& b = t.fivexx[i];
      if (b.length < 6 || b.DataLength() > static_cast<int>(loaders::kBlockDataMax)) std::abort();
      if (b.DataLength() % 2 != 0) std::abort();
      for (int k = 0; k < b.DataLength(); ++k) got.emplace(b.address + static_cast<std::uint32_t>(k), b.data[k]);
    }
    if (unique) Compare(want, got);
  }
  return 0;
}
