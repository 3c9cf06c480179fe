// Writes the demo package's TI-TXT images: the instrument firmware (program at 0x3100 with the
// version marker "VERS:" and the version text near its start, the interrupt vector table whose
// reset vector is the loader vector word) and the RAM patch for loader version 1.10.
//
//   make-demo-firmware firmware OUT [--version 1.02] [--size BYTES] [--upper BYTES] [--seed N]
//                                   [--loader classic|5xx]
//   make-demo-firmware patch OUT
//
// --upper adds a section at 0x10000 (an instrument with memory above 64 KB); such firmware
// carries the loader vector of those instruments. --loader 5xx writes the firmware of the
// instruments with the 5xx loader (MSP430F5438A): the program at the start of main flash,
// 0x5C00, which is also its reset vector.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loaders/Bsl54xxFrame.h"
#include "loaders/BslFrame.h"
#include "loaders/Image.h"
#include "platform/Files.h"

namespace {

constexpr std::uint32_t kProgramStart = 0x3100;
constexpr std::uint32_t kProgramStart5xx = 0x5C00;
constexpr std::uint32_t kVectors = 0xFFE0;
constexpr std::uint32_t kUpperStart = 0x10000;
const char* const kMarkerText = "56 45 52 53 3A ";  // "VERS:" as it stands in the data lines

// Deterministic filler, so that the package files are reproducible.
struct Lcg {
  std::uint32_t state;
  std::uint8_t Next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state >> 24);
  }
};

std::uint32_t Hash(const std::string& text, std::uint32_t seed) {
  std::uint32_t h = 2166136261u ^ seed;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make-demo-firmware firmware OUT [--version V] [--size BYTES] "
               "[--upper BYTES] [--seed N] [--loader classic|5xx]\n       make-demo-firmware patch OUT\n");
  return 2;
}

bool Write(const std::string& path, const std::string& text) {
  if (!platform::files::WriteWholeFile(path, text)) {
    std::fprintf(stderr, "make-demo-firmware: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// The generated text must read back into the same bytes and show the marker where the
// package's version reader looks for it: in the first 1000 bytes, followed on the same line
// by the version's hex pairs and 00.
bool Check(const std::string& text, const std::vector<loaders::ImageSection>& sections,
           const std::string& version, bool is5xx) {
  std::size_t expected = 0, got = 0;
  for (const auto& s : sections) expected += s.bytes.size();
  loaders::ImageReadResult r;
  if (is5xx) {
    std::vector<loaders::ImageBlock54xx> table(loaders::kImageBlocks);
    int index = -1, count = 0;
    r = loaders::ReadImage54xx(text.data(), text.size(), table.data(), loaders::kImageBlocks, index, count);
    for (int i = 0; r.ok() && i <= r.lastIndex; ++i) got += static_cast<std::size_t>(table[static_cast<std::size_t>(i)].DataLength());
  } else {
    std::vector<loaders::ImageBlock> table(loaders::kImageBlocks);
    int upper = -1;
    r = loaders::ReadImage(text.data(), text.size(), table.data(), loaders::kImageBlocks, upper);
    for (int i = 0; r.ok() && i <= r.lastIndex; ++i) got += static_cast<std::size_t>(table[static_cast<std::size_t>(i)].DataLength());
  }
  if (!r.ok() || got != expected) {
    std::fprintf(stderr, "make-demo-firmware: image does not read back\n");
    return false;
  }
  if (version.empty()) return true;
  std::string pairs;
  char hex[4];
  for (unsigned char c : version) {
    std::snprintf(hex, sizeof hex, "%02X ", c);
    pairs += hex;
  }
  pairs += "00";
  const std::size_t at = text.find(kMarkerText);
  if (at == std::string::npos || at + std::strlen(kMarkerText) + pairs.size() > 1000 ||
      text.compare(at + std::strlen(kMarkerText), pairs.size(), pairs) != 0) {
    std::fprintf(stderr, "make-demo-firmware: version marker not found in the file's head\n");
    return false;
  }
  return true;
}

int Firmware(const std::string& out, const std::string& version, std::size_t size,
             std::size_t upper, std::uint32_t seed, bool is5xx) {
  const std::uint32_t start = is5xx ? kProgramStart5xx : kProgramStart;
  if (size < 64 || size % 2 || start + size > 0xFE00 || upper % 2 || upper > 0xFFFF ||
      version.empty() || version.size() > 15) {
    std::fprintf(stderr, "make-demo-firmware: bad size, upper size or version\n");
    return 2;
  }
  Lcg rng{Hash(version, seed)};
  loaders::ImageSection program{start, {}};
  // Start-up: stack pointer, watchdog off, then a jump over the identification.
  const std::uint8_t startup[16] = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A,
                                    0x20, 0x01, 0x30, 0x40, 0x20, 0x31, 0x03, 0x43};
  // The same on the F5438A: stack at the top of its RAM, its watchdog register, its start.
  const std::uint8_t startup5xx[16] = {0x31, 0x40, 0x00, 0x5C, 0xB2, 0x40, 0x80, 0x5A,
                                       0x5C, 0x01, 0x30, 0x40, 0x20, 0x5C, 0x03, 0x43};
  program.bytes.assign(is5xx ? startup5xx : startup, (is5xx ? startup5xx : startup) + 16);
  // Identification on its own line: "VERS:" version NUL, filled up to 16 bytes.
  const std::string id = "VERS:" + version;
  program.bytes.insert(program.bytes.end(), id.begin(), id.end());
  program.bytes.push_back(0);
  while (program.bytes.size() % 16) program.bytes.push_back(0xFF);
  while (program.bytes.size() < size) program.bytes.push_back(rng.Next());
  program.bytes.resize(size);

  // Vectors: fifteen unprogrammed words, then the reset vector, which is the loader vector
  // (for the 5xx loader the start of the program, below and above 64 KB alike).
  const std::uint16_t vector = is5xx   ? loaders::bsl54xx::kDefaultLastWord
                               : upper ? loaders::bsl::DefaultVectorWord(1)
                                       : loaders::bsl::DefaultVectorWord(2);
  loaders::ImageSection vectors{kVectors, std::vector<std::uint8_t>(30, loaders::bsl::kPasswordFill)};
  vectors.bytes.push_back(static_cast<std::uint8_t>(vector & 0xFF));
  vectors.bytes.push_back(static_cast<std::uint8_t>(vector >> 8));

  std::vector<loaders::ImageSection> sections{program, vectors};
  if (upper) {
    loaders::ImageSection high{kUpperStart, {}};
    for (std::size_t i = 0; i < upper; ++i) high.bytes.push_back(rng.Next());
    sections.push_back(high);
  }
  const std::string text = loaders::WriteTiTxt(sections);
  if (!Check(text, sections, version, is5xx)) return 1;
  return Write(out, text) ? 0 : 1;
}

int Patch(const std::string& out) {
  // A small RAM routine at 0x0220, where the procedure starts it; it ends with RET.
  loaders::ImageSection patch{0x0220, {}};
  Lcg rng{Hash("Patch", 110)};
  for (int i = 0; i < 46; ++i) patch.bytes.push_back(rng.Next());
  patch.bytes.push_back(0x30);
  patch.bytes.push_back(0x41);
  const std::string text = loaders::WriteTiTxt({patch});
  if (!Check(text, {patch}, "", false)) return 1;
  return Write(out, text) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1], out = argv[2];
  std::string version = "1.02";
  std::size_t size = 8192, upper = 0;
  std::uint32_t seed = 1;
  bool is5xx = false;
  for (int i = 3; i < argc; ++i) {
    const std::string opt = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (opt == "--version") version = value;
    else if (opt == "--size") size = std::strtoul(value, nullptr, 0);
    else if (opt == "--upper") upper = std::strtoul(value, nullptr, 0);
    else if (opt == "--seed") seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
    else if (opt == "--loader" && (std::strcmp(value, "5xx") == 0 || std::strcmp(value, "classic") == 0))
      is5xx = std::strcmp(value, "5xx") == 0;
    else return Usage();
  }
  if (mode == "firmware") return Firmware(out, version, size, upper, seed, is5xx);
  if (mode == "patch") return Patch(out);
  return Usage();
}
