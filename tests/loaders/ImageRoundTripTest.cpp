// Random firmware written as TI-TXT by an independent tool (srec_cat of the srecord package),
// with lines of any length it writes, reads back to the same bytes at the same addresses,
// through both readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "loaders/Image.h"
#include "support/RunProgram.h"

using namespace loaders;
namespace fs = std::filesystem;

namespace {

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const fs::path p = fs::path(dir.empty() ? "." : dir) / name;
    std::error_code ec;
    if (fs::is_regular_file(p, ec) &&
        (fs::status(p, ec).permissions() & fs::perms::owner_exec) != fs::perms::none)
      return p.string();
  }
  return {};
}

struct Section {
  std::uint32_t address;
  std::vector<std::uint8_t> bytes;
};

// Ascending sections with gaps below 0xFE00, then the vector table or (with upper) one
// section across 0x10000, then (with upper) sections above it.
std::vector<Section> RandomImage(std::mt19937& rng, bool upper, bool crossing) {
  auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  std::vector<Section> sections;
  std::uint32_t at = 0x1100;
  const int lower = static_cast<int>(pick(1, 4));
  for (int i = 0; i < lower; ++i) {
    at += pick(2, 0x800);
    const std::uint32_t len = pick(1, 2500);
    if (at + len + 2 >= 0xFE00) break;
    sections.push_back({at, std::vector<std::uint8_t>(len)});
    at += len;
  }
  if (upper && crossing) {
    sections.push_back({0xFF00 + 2 * pick(0, 0x70), std::vector<std::uint8_t>(pick(0x100, 0x300))});
    at = sections.back().address + static_cast<std::uint32_t>(sections.back().bytes.size());
  } else {
    sections.push_back({0xFFE0, std::vector<std::uint8_t>(32)});
    at = 0x10000;
  }
  for (int i = 0; upper && i < static_cast<int>(pick(1, 3)); ++i) {
    at += pick(2, 0x1000);
    sections.push_back({at, std::vector<std::uint8_t>(pick(1, 3000))});
    at += static_cast<std::uint32_t>(sections.back().bytes.size());
  }
  for (Section& s : sections)
    for (auto& b : s.bytes) b = static_cast<std::uint8_t>(pick(0, 255));
  return sections;
}

// The bytes of the sections by address.
std::map<std::uint32_t, std::uint8_t> FileBytes(const std::vector<Section>& sections) {
  std::map<std::uint32_t, std::uint8_t> m;
  for (const Section& s : sections)
    for (std::uint32_t i = 0; i < s.bytes.size(); ++i) m[s.address + i] = s.bytes[i];
  return m;
}

// What an image may hold besides the file's bytes: one pad byte (0x00 or 0xFF) right behind
// a section of odd length, since the loaders write whole words.
bool IsPad(const std::vector<Section>& sections, std::uint32_t address, std::uint8_t value) {
  if (value != 0x00 && value != 0xFF) return false;
  for (const Section& s : sections)
    if (s.bytes.size() % 2 != 0 && s.address + s.bytes.size() == address) return true;
  return false;
}

// Compares what was read with the file: every byte of the file at its address, nothing else
// but pads.
void ExpectSameBytes(const std::map<std::uint32_t, std::uint8_t>& got, const std::vector<Section>& sections,
                     const std::string& text) {
  const auto file = FileBytes(sections);
  for (const auto& [a, v] : file) {
    const auto it = got.find(a);
    if (it == got.end() || it->second != v) {
      ADD_FAILURE() << std::hex << "first difference at 0x" << a << "\n" << text.substr(0, 2000);
      return;
    }
  }
  for (const auto& [a, v] : got)
    if (!file.count(a) && !IsPad(sections, a, v)) {
      ADD_FAILURE() << std::hex << "0x" << unsigned(v) << " at 0x" << a << " is not in the file";
      return;
    }
}

// LF to CR LF; optionally with a blank behind the last value of every data line.
std::string ToCrLf(const std::string& text, bool trailingBlank) {
  std::string out, line;
  std::stringstream in(text);
  while (std::getline(in, line)) {
    const bool data = !line.empty() && line[0] != '@' && line != "q";
    out += line + (data && trailingBlank ? " \r\n" : "\r\n");
  }
  return out;
}

class ImageRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    srecCat_ = FindOnPath("srec_cat");
    if (srecCat_.empty()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    dir_ = testsupport::MakeTempDir("loaders-roundtrip");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // srec_cat writes LF line ends, blockSize values per line and no blank before the line end.
  std::string Convert(const std::vector<Section>& sections, int blockSize) {
    std::vector<std::string> argv{srecCat_};
    for (std::size_t i = 0; i < sections.size(); ++i) {
      const std::string bin = dir_ + "/s" + std::to_string(i) + ".bin";
      std::ofstream(bin, std::ios::binary)
          .write(reinterpret_cast<const char*>(sections[i].bytes.data()),
                 static_cast<std::streamsize>(sections[i].bytes.size()));
      char offset[16];
      std::snprintf(offset, sizeof offset, "0x%X", static_cast<unsigned>(sections[i].address));
      argv.insert(argv.end(), {bin, "-binary", "-offset", offset});
    }
    const std::string out = dir_ + "/image.txt";
    argv.insert(argv.end(), {"-o", out, "-ti-txt", "-Output_Block_Size", std::to_string(blockSize)});
    const auto r = testsupport::RunProgram(argv, "", {}, 20000);
    EXPECT_EQ(r.status, 0) << r.output;
    std::ifstream in(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string srecCat_, dir_;
};

}  // namespace

TEST_F(ImageRoundTrip, RandomFirmwareReadsBackToTheSameBytes) {
  std::mt19937 rng(20261210);
  int round = 0;
  // Line lengths other than the usual 16 values too, odd ones among them, up to srec_cat's
  // limit of 255.
  for (int blockSize : {16, 7, 15, 32, 1, 3, 17, 64, 255}) {
    for (int k = 0; k < 6; ++k, ++round) {
      const bool upper = round % 2 == 1;
      const std::vector<Section> sections = RandomImage(rng, upper, round % 4 == 1);
      const std::string lf = Convert(sections, blockSize);
      ASSERT_EQ(lf.find('\r'), std::string::npos);
      // The tool's own LF text, and CR LF with and without a blank before the line end.
      const std::string text = k % 3 == 0 ? lf : ToCrLf(lf, k % 3 == 2);
      SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(blockSize) + " values per line");

      std::vector<ImageBlock> table(kImageBlocks);
      int upperIndex = -5;
      const ImageReadResult r = ReadImage(text.data(), text.size(), table.data(), kImageBlocks, upperIndex);
      ASSERT_TRUE(r.ok()) << ImageErrorText(r, "image", 1);
      EXPECT_EQ(upperIndex >= 0, upper);
      std::map<std::uint32_t, std::uint8_t> got;
      bool afterMarker = false;
      for (int i = 0; i <= r.lastIndex; ++i) {
        const ImageBlock& b = table[static_cast<std::size_t>(i)];
        if (b.length == 0) {  // the marker in front of the top segment
          EXPECT_TRUE(upper);
          EXPECT_FALSE(afterMarker);
          afterMarker = true;
          continue;
        }
        const bool high = upperIndex >= 0 && i >= upperIndex && !afterMarker;
        const std::uint32_t base = b.address + (high ? 0x10000u : 0u);
        if (upperIndex >= 0 && !high) {
          EXPECT_EQ(afterMarker, base + b.DataLength() >= 0xFE00) << i;
        }
        EXPECT_EQ(b.DataLength() % 2, 0) << i;
        EXPECT_LE(b.DataLength(), static_cast<int>(kBlockDataMax));
        EXPECT_LE(b.address + b.DataLength(), 0x10000) << "a classic block never spans 0x10000";
        for (int n = 0; n < b.DataLength(); ++n)
          EXPECT_TRUE(got.emplace(base + static_cast<std::uint32_t>(n), b.data[n]).second) << "twice at " << base + n;
      }
      EXPECT_EQ(afterMarker, upper);
      ExpectSameBytes(got, sections, text);

      std::vector<ImageBlock54xx> table54(kImageBlocks);
      int vi = -5, vc = -5;
      const ImageReadResult r54 = ReadImage54xx(text.data(), text.size(), table54.data(), kImageBlocks, vi, vc);
      ASSERT_TRUE(r54.ok()) << ImageErrorText(r54, "image", 1);
      std::map<std::uint32_t, std::uint8_t> got54;
      for (int i = 0; i <= r54.lastIndex; ++i) {
        const ImageBlock54xx& b = table54[static_cast<std::size_t>(i)];
        for (int n = 0; n < b.DataLength(); ++n)
          EXPECT_TRUE(got54.emplace(b.address + static_cast<std::uint32_t>(n), b.data[n]).second);
      }
      ExpectSameBytes(got54, sections, text);
    }
  }
}
