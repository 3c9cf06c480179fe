#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/Headless.h"
#include "update/VersionMarkers.h"

namespace update {

using namespace procedure;

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(VersionNumber, LeadingNumberTimesThousandTruncated) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"1.23", 1230},     {"12.5", 12500}, {"0.06", 60},   {"1.23,2.05", 1230},
      {"X.XX", 0},        {"  2.5", 2500}, {"", 0},        {"0.05", 50},
      {"1.01", 1010},     {"3.10", 3100},  {"7", 7000},    {".5", 500},
      {"1.2.3", 1200},    {"-1.0", 0},     {"99999999", std::numeric_limits<std::int32_t>::max()},
  };
  for (const auto& [text, number] : cases) EXPECT_EQ(VersionNumber(text), number) << text;
}

TEST(PackageFileKind, SumOfMarkerAndNameFlags) {
  EXPECT_EQ(PackageFileKind("@FF80\r\n", "FIRM.TXT"), 0);
  EXPECT_EQ(PackageFileKind("S1094000", "FIRM.MOT"), 1);
  EXPECT_EQ(PackageFileKind("FileVersion", "TOOL.EXE"), 2);
  EXPECT_EQ(PackageFileKind("FileVersion", "LIB.DLL"), 2);
  EXPECT_EQ(PackageFileKind("VER", "IMAGE.BIN"), 4);
  EXPECT_EQ(PackageFileKind("S1094000", "TOOL.EXE"), 3);
  EXPECT_EQ(PackageFileKind("VER", "image.bin"), 0);  // names are compared as written
}

TEST(DecodeHexPairs, BlankSeparatedAndPackedPairs) {
  EXPECT_EQ(DecodeHexPairs("31 2E 32 33 00 FF"), "1.23");
  EXPECT_EQ(DecodeHexPairs("312E30350012"), "1.05");
  EXPECT_EQ(DecodeHexPairs("31  2e   30"), "1.0");      // ends with the text
  EXPECT_EQ(DecodeHexPairs("31 2E\r\n32 00"), "1.");    // a line end is not a pair
  EXPECT_EQ(DecodeHexPairs("3"), "");
  EXPECT_EQ(DecodeHexPairs(std::string(40, '3')), std::string(15, '3'));  // record capacity
}

// Deterministic bytes standing in for code and data.
std::string Noise(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

class PackageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("versions-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder / name, std::ios::binary) << bytes;
  }
  std::string Read(std::string_view marker, const std::string& name) {
    return ReadPackageVersion(marker, name, record, folder.string());
  }
  fs::path folder;
  DeviceRecord record;
};

TEST_F(PackageFiles, TiTxtMarkerInTheHeadGivesTheDecodedVersion) {
  Write("FIRM.TXT",
        "@4400\r\n31 40 00 24 B0 12 00 45\r\n@FF80\r\n31 2E 32 33 00 FF FF FF\r\nq\r\n");
  EXPECT_EQ(Read("@FF80\r\n", "FIRM.TXT"), "1.23");
  EXPECT_EQ(record.packageVersion, "1.23");
  EXPECT_EQ(record.packageVersionNumber, 1230);
  EXPECT_EQ(record.packageSecondVersion, "");
}

TEST_F(PackageFiles, TextImageIsOnlySearchedInItsFirstThousandBytes) {
  std::string image = "@4400\r\n";
  while (image.size() < 1000) image += "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\r\n";
  Write("FIRM.TXT", image + "@FF80\r\n31 2E 32 33 00\r\nq\r\n");
  EXPECT_EQ(Read("@FF80\r\n", "FIRM.TXT"), "");
  EXPECT_EQ(record.packageVersion, "");
  EXPECT_EQ(record.packageVersionNumber, 0);
}

TEST_F(PackageFiles, SRecordMarkerInTheTailGivesTheSecondVersion) {
  std::string srec = "S00F000068656C6C6F202020202000003C\r\n";
  for (int i = 0; i < 200; ++i) srec += "S1130000285F245F2212226A000424290008237C2A\r\n";
  srec += "S1094000312E303500AABBCC\r\nS9030000FC\r\n";
  Write("FIRM.MOT", srec);
  record.packageVersion = "1.23";
  EXPECT_EQ(Read("S1094000", "FIRM.MOT"), "1.05");
  EXPECT_EQ(record.packageSecondVersion, "1.05");
  EXPECT_EQ(record.packageSecondVersionNumber, 1050);
  EXPECT_EQ(record.packageVersion, "1.23");

  // The same record near the head of a long file is outside the region read.
  Write("HEAD.MOT", "S1094000312E303500AABBCC\r\n" + srec.substr(36, 200 * 44));
  EXPECT_EQ(Read("S1094000", "HEAD.MOT"), "");
}

// The byte layout of a Windows version resource (VS_VERSIONINFO): each node is wLength,
// wValueLength, wType, a NUL-terminated UTF-16 key, padding to 32 bits, the value, padding,
// then the children.
struct ResourceNode {
  std::u16string key;
  std::string binaryValue;      // wType 0
  std::u16string textValue;     // wType 1
  bool text = false;
  std::vector<ResourceNode> children;
};

void PutWord(std::string& out, std::uint16_t w) {
  out += static_cast<char>(w & 0xFF);
  out += static_cast<char>(w >> 8);
}
void Align4(std::string& out) {
  while (out.size() % 4) out += '\0';
}
void PutUtf16(std::string& out, const std::u16string& s) {
  for (char16_t c : s) PutWord(out, c);
  PutWord(out, 0);
}

void Serialize(const ResourceNode& node, std::string& out) {
  Align4(out);
  const std::size_t start = out.size();
  PutWord(out, 0);  // wLength, patched below
  PutWord(out, node.text ? static_cast<std::uint16_t>(node.textValue.empty() ? 0 : node.textValue.size() + 1)
                         : static_cast<std::uint16_t>(node.binaryValue.size()));
  PutWord(out, node.text ? 1 : 0);
  PutUtf16(out, node.key);
  Align4(out);
  if (node.text) {
    if (!node.textValue.empty()) PutUtf16(out, node.textValue);
  } else {
    out += node.binaryValue;
  }
  for (const ResourceNode& child : node.children) Serialize(child, out);
  const std::size_t length = out.size() - start;
  out[start] = static_cast<char>(length & 0xFF);
  out[start + 1] = static_cast<char>(length >> 8);
}

ResourceNode Text(std::u16string key, std::u16string value) {
  ResourceNode n;
  n.key = std::move(key);
  n.textValue = std::move(value);
  n.text = true;
  return n;
}

std::string VersionResource(const std::u16string& fileVersion) {
  std::string fixed;  // VS_FIXEDFILEINFO: signature, struct version, then 11 more DWORDs
  for (std::uint32_t dw : {0xFEEF04BDu, 0x00010000u, 0x00010004u, 0u, 0x00010004u, 0u, 0x3Fu,
                           0u, 0x40004u, 1u, 0u, 0u, 0u}) {
    PutWord(fixed, static_cast<std::uint16_t>(dw & 0xFFFF));
    PutWord(fixed, static_cast<std::uint16_t>(dw >> 16));
  }
  ResourceNode table = Text(u"040904b0", u"");
  table.children = {Text(u"CompanyName", u"Instrument Maker"),
                    Text(u"FileDescription", u"Firmware updater"),
                    Text(u"FileVersion", fileVersion),
                    Text(u"ProductName", u"Meter firmware")};
  ResourceNode strings = Text(u"StringFileInfo", u"");
  strings.children = {table};
  ResourceNode var;
  var.key = u"Translation";
  var.binaryValue = "\x09\x04\xB0\x04"s;
  ResourceNode vars = Text(u"VarFileInfo", u"");
  vars.children = {var};
  ResourceNode root;
  root.key = u"VS_VERSION_INFO";
  root.binaryValue = fixed;
  root.children = {strings, vars};
  std::string out;
  Serialize(root, out);
  return out;
}

// A program file: a header, code-like noise, then the resource section with the version
// resource, then more noise (a resource section is not always last).
std::string ProgramFile(std::size_t before, const std::u16string& version, std::size_t after) {
  std::string file = "MZ"s + Noise(before - 2, 7);
  Align4(file);
  file += VersionResource(version);
  file += Noise(after, 11);
  return file;
}

TEST_F(PackageFiles, ProgramFileVersionResourceValueLosesItsFirstCharacter) {
  Write("TOOL.EXE", ProgramFile(120000, u"V1.40", 3000));
  EXPECT_EQ(Read("FileVersion", "TOOL.EXE"), "1.40");
  EXPECT_EQ(record.packageVersion, "1.40");
  EXPECT_EQ(record.packageVersionNumber, 1400);
}

TEST_F(PackageFiles, ProgramFileSmallerThanTheRegionAndOfOddSize) {
  Write("SMALL.DLL", ProgramFile(3000, u"V2.07", 10));
  EXPECT_EQ(Read("FileVersion", "SMALL.DLL"), "2.07");
  // An odd file size must not shift the UTF-16 strings out of step.
  Write("ODD.EXE", ProgramFile(100000, u"V1.41", 501));
  DeviceRecord other;
  EXPECT_EQ(ReadPackageVersion("FileVersion", "ODD.EXE", other, folder.string()), "1.41");
}

TEST_F(PackageFiles, ProgramStringWithABlankGivesTheTextAfterIt) {
  std::string file = Noise(5000, 3);
  Align4(file);
  file += "\0\0"s;
  for (char16_t c : u"Build V3.2.1") PutWord(file, c);
  file += Noise(100, 5);
  Write("APP.EXE", file);
  EXPECT_EQ(Read("Build", "APP.EXE"), "V3.2.1");
}

TEST_F(PackageFiles, ProgramVersionResourceOutsideTheTailIsNotSeen) {
  Write("BIG.EXE", ProgramFile(1000, u"V1.40", 70000));
  EXPECT_EQ(Read("FileVersion", "BIG.EXE"), "");
}

TEST_F(PackageFiles, BinImageTextAfterTheMarker) {
  // Long image: only its last 250000 bytes count.
  std::string image = std::string(16, '\0') + Noise(299000 - 16, 13);
  image += "VERS" "x" "2.01"s + '\0' + Noise(900, 17);
  Write("IMAGE.BIN", image);
  EXPECT_EQ(Read("VERS", "IMAGE.BIN"), "2.01");

  std::string early = std::string(16, '\0') + "VERS" "x" "2.01"s + '\0' + Noise(260000, 19);
  Write("EARLY.BIN", early);
  DeviceRecord other;
  EXPECT_EQ(ReadPackageVersion("VERS", "EARLY.BIN", other, folder.string()), "");
}

TEST_F(PackageFiles, BinMarkerStartingWithDDSkipsFourBytesInsteadOfOne) {
  std::string image = std::string(8, '\0') + Noise(4000, 23) + "\xDD\x5A" "\x01\x02\x03\x04" "3.10"s +
                      '\0' + Noise(100, 29);
  Write("SENSOR.BIN", image);  // shorter than the region: read from its start
  EXPECT_EQ(Read("\xDD\x5A", "SENSOR.BIN"), "3.10");
  EXPECT_EQ(record.packageVersionNumber, 3100);
}

TEST_F(PackageFiles, SecondCallStoresTheSecondVersion) {
  Write("FIRM.TXT", "@FF80\r\n31 2E 32 33 00\r\nq\r\n");
  Write("SENSOR.TXT", "@FF80\r\n32 2E 30 35 00\r\nq\r\n");
  EXPECT_EQ(Read("@FF80\r\n", "FIRM.TXT"), "1.23");
  EXPECT_EQ(Read("@FF80\r\n", "SENSOR.TXT"), "2.05");
  EXPECT_EQ(record.packageVersion, "1.23");
  EXPECT_EQ(record.packageSecondVersion, "2.05");
  EXPECT_EQ(record.packageSecondVersionNumber, 2050);
}

TEST_F(PackageFiles, NamesResolveWithoutRegardToCase) {
  Write("firm.txt", "@FF80\r\n31 2E 32 33 00\r\n");
  EXPECT_EQ(Read("@FF80\r\n", "FIRM.TXT"), "1.23");
}

TEST_F(PackageFiles, EmptyMarkerAndCombinedKindsFindNothing) {
  Write("FIRM.TXT", "31 2E 32 33 00\r\n");
  EXPECT_EQ(Read("", "FIRM.TXT"), "");
  Write("TOOL.EXE", ProgramFile(2000, u"V1.40", 10));
  record.packageVersion = "1.00";
  record.packageSecondVersion = "0.50";
  EXPECT_EQ(Read("S1094000", "TOOL.EXE"), "");
  EXPECT_EQ(record.packageSecondVersion, "0.50");  // nothing stored
}

TEST_F(PackageFiles, UnreadableFileGivesZeroAndAnErrorBoxNamingIt) {
  platform::HeadlessApplication app;
  record.packageVersion = "";
  EXPECT_EQ(Read("@FF80\r\n", "MISSING.TXT"), "0");
  EXPECT_EQ(record.packageVersion, "");
  EXPECT_EQ(record.packageVersionNumber, 0);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].icon, platform::BoxIcon::Error);
  EXPECT_NE(app.Boxes()[0].text.find("MISSING.TXT"), std::string::npos);

  fs::create_directories(folder / "SUB.TXT");  // a folder is not a readable file
  EXPECT_EQ(Read("@FF80\r\n", "SUB.TXT"), "0");
  EXPECT_EQ(app.Boxes().size(), 2u);
}

TEST_F(PackageFiles, UnreadableFileWithoutApplicationStillGivesZero) {
  EXPECT_EQ(Read("@FF80\r\n", "MISSING.TXT"), "0");
}

}  // namespace
}  // namespace update
