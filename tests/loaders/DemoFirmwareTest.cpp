// The demo package's images: readable within the procedures' limits, the version marker where
// the package's version reader finds it, the vector table equal to the loader password that
// the procedure sends, and the checked-in files equal to what the generator writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loaders/Bsl54xxFrame.h"
#include "loaders/BslFrame.h"
#include "loaders/Image.h"
#include "Paths.h"
#include "support/RunProgram.h"

using namespace loaders;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Loaded {
  ImageReadResult result;
  std::vector<ImageBlock> table = std::vector<ImageBlock>(kImageBlocks);
  int upper = -5;
};

Loaded Load(const std::string& relative, std::size_t limit = kImageBufferBytes, int blocks = kImageBlocks) {
  Loaded l;
  l.result = LoadImageFile(loaders_test::SourceFile(relative), limit, l.table.data(), blocks, l.upper);
  return l;
}

// The last block must be the vector table 0xFFE0..0xFFFF: what the password command sends.
void ExpectVectorTable(const ImageBlock& b, std::uint16_t vectorWord) {
  ASSERT_EQ(b.address, 0xFFE0);
  ASSERT_EQ(b.DataLength(), 32);
  const auto password = bsl::PasswordBytes(vectorWord);
  EXPECT_TRUE(std::equal(b.data, b.data + 32, password.begin() + 4));
}

}  // namespace

TEST(DemoFirmware, PackageImageFitsTheClassicProcedure) {
  const Loaded l = Load("package/FW_DEMO.TXT");
  ASSERT_TRUE(l.result.ok()) << ImageErrorText(l.result, "FW_DEMO.TXT", 1);
  EXPECT_EQ(l.upper, -1);
  EXPECT_EQ(l.table[0].address, 0x3100);
  ExpectVectorTable(l.table[static_cast<std::size_t>(l.result.lastIndex)], bsl::DefaultVectorWord(2));
  // The program bytes carry the identification that the instrument reports.
  const std::string head(reinterpret_cast<const char*>(l.table[0].data), 32);
  EXPECT_NE(head.find(std::string("VERS:1.02\0", 10)), std::string::npos);
}

// The 5xx instrument's firmware: program at the start of the F5438A's main flash, and a
// vector table equal to the password the 5xx procedure builds from its defaults.
TEST(DemoFirmware, PackageImageFitsThe5xxProcedure) {
  for (const char* file : {"package/FW_5XX.TXT", "sim/firmware/FW_5XX_101.TXT"}) {
    std::vector<ImageBlock54xx> table(kImageBlocks);
    int index = -1, count = 0;
    const ImageReadResult r = LoadImage54xxFile(loaders_test::SourceFile(file), kImage54xxBufferBytes, table.data(),
                                                kImageBlocks, index, count);
    ASSERT_TRUE(r.ok()) << ImageErrorText(r, file, 1);
    EXPECT_EQ(table[0].address, 0x5C00u) << file;
    const ImageBlock54xx& last = table[static_cast<std::size_t>(r.lastIndex)];
    ASSERT_EQ(last.address, 0xFFE0u) << file;
    ASSERT_EQ(last.DataLength(), 32) << file;
    const bsl54xx::Frame password = bsl54xx::PasswordFrame(bsl54xx::DefaultPassword(bsl54xx::kDefaultLastWord));
    EXPECT_TRUE(std::equal(last.data, last.data + 32, password.bytes.begin() + 4)) << file;
  }
}

TEST(DemoFirmware, VersionMarkerStandsInTheFileHeadOnOneLine) {
  for (const auto& [file, version] : {std::pair{"package/FW_DEMO.TXT", "31 2E 30 32 00"},
                                      std::pair{"tests/loaders/fixtures/FW_DEMO_101.TXT", "31 2E 30 31 00"},
                                      std::pair{"package/FW_5XX.TXT", "31 2E 30 32 00"},
                                      std::pair{"sim/firmware/FW_5XX_101.TXT", "31 2E 30 31 00"}}) {
    const std::string head = Slurp(loaders_test::SourceFile(file)).substr(0, 1000);
    const std::size_t at = head.find("56 45 52 53 3A ");
    ASSERT_NE(at, std::string::npos) << file;
    EXPECT_EQ(head.substr(at + 15, 14), version) << file;
    EXPECT_EQ(head.find("56 45 52 53 3A", at + 1), std::string::npos) << file;
  }
}

TEST(DemoFirmware, PatchFitsThePatchTable) {
  const Loaded l = Load("package/Patch.TXT", kPatchBufferBytes, kPatchBlocks);
  ASSERT_TRUE(l.result.ok()) << ImageErrorText(l.result, "Patch.TXT", 1);
  EXPECT_EQ(l.table[0].address, 0x0220);  // where the procedure starts the patch
  EXPECT_EQ(l.upper, -1);
}

TEST(DemoFirmware, UpperFixtureEndsWithMarkerAndVectorTable) {
  const Loaded l = Load("tests/loaders/fixtures/FW_UPPER.TXT");
  ASSERT_TRUE(l.result.ok());
  ASSERT_GT(l.upper, 0);
  const int last = l.result.lastIndex;
  EXPECT_EQ(l.table[static_cast<std::size_t>(last - 1)].length, 0);
  ExpectVectorTable(l.table[static_cast<std::size_t>(last)], bsl::DefaultVectorWord(1));
  EXPECT_EQ(l.table[static_cast<std::size_t>(l.upper)].address, 0x0000);
}

TEST(DemoFirmware, CheckedInFilesAreWhatTheGeneratorWrites) {
  const std::string dir = testsupport::MakeTempDir("loaders-demo");
  const struct {
    const char* file;
    std::vector<std::string> args;
  } cases[] = {
      {"package/FW_DEMO.TXT", {"firmware", "--version", "1.02"}},
      {"package/Patch.TXT", {"patch"}},
      {"tests/loaders/fixtures/FW_DEMO_101.TXT", {"firmware", "--version", "1.01"}},
      {"tests/loaders/fixtures/FW_UPPER.TXT", {"firmware", "--version", "1.02", "--upper", "4096"}},
      {"package/FW_5XX.TXT", {"firmware", "--version", "1.02", "--loader", "5xx"}},
      {"sim/firmware/FW_5XX_101.TXT", {"firmware", "--version", "1.01", "--loader", "5xx"}},
  };
  for (const auto& k : cases) {
    const std::string out = dir + "/out.txt";
    std::vector<std::string> argv{loaders_test::Program("make-demo-firmware"), k.args[0], out};
    argv.insert(argv.end(), k.args.begin() + 1, k.args.end());
    const auto r = testsupport::RunProgram(argv, "", {}, 20000);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Slurp(out), Slurp(loaders_test::SourceFile(k.file)))
        << k.file << " differs from the generator: run scripts/make_demo_firmware.sh";
  }
  std::filesystem::remove_all(dir);
}
