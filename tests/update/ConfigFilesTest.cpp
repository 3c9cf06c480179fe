#include <gtest/gtest.h>

#include <filesystem>

#include "ConfigTestUtil.h"
#include "platform/Files.h"

namespace files = platform::files;
using platform::TextEncoding;
using platform::TextLines;
using testutil::ScopedCwd;
using testutil::ScopedEnv;
using testutil::TempDir;

TEST(FilesPattern, MatchesWithoutRegardToCase) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.txt", "FW_DEMO.TXT", true}, {"*.TXT", "readme.txt", true}, {"*.txt", "a.txt.bak", false},
      {"*.mot", "x.MoT", true},       {"a?c", "ABC", true},           {"a?c", "ac", false},
      {"*", "", true},                {"*a*b*", "xxaYYb", true},      {"*a*b*", "xxbYYa", false},
      // The rules of the original platform's file search.
      {"*.*", "Makefile", true},      {"*.*", "a.b.c", true},         {"*.*", ".profile", true},
      {"FW.*", "FW", true},           {"FW.*", "fw.txt", true},       {"FW.*", "FWX", false},
      {"*.", "Makefile", true},       {"*.", "a.txt", false},         {"*.txt", "a.b.TXT", true},
      {"a?.txt", "a.txt", true},      {"abc?", "abc", true},          {"a??", "a", true},
      {"*.t?t", "x.txt", true},        {"a?c", "a.c", false},          {"DATA*.*", "DATA1", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(files::MatchPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(FilesFind, ReturnsNormalFilesSortedAndSkipsFolders) {
  TempDir d;
  d.Write("b.TXT", "");
  d.Write("A.txt", "");
  d.Write("c.bin", "");
  std::filesystem::create_directories(d / "folder.txt");
  EXPECT_EQ(files::FindFiles(d.Path(), "*.txt"), (std::vector<std::string>{"A.txt", "b.TXT"}));
  EXPECT_TRUE(files::FindFiles(d / "missing", "*.txt").empty());
}

TEST(FilesResolve, ExactFirstThenWithoutRegardToCaseAndBothSeparators) {
  TempDir d;
  d.Write("Sub/FW_Demo.txt", "x");
  d.Write("exact.TXT", "1");
  d.Write("EXACT.txt", "2");
  EXPECT_EQ(files::Resolve(d.Path(), "SUB\\FW_DEMO.TXT"), d / "Sub/FW_Demo.txt");
  EXPECT_EQ(files::Resolve(d.Path(), "sub/fw_demo.TXT"), d / "Sub/FW_Demo.txt");
  EXPECT_EQ(files::Resolve(d.Path(), "EXACT.txt"), d / "EXACT.txt");
  EXPECT_EQ(files::Resolve(d.Path(), "exact.TXT"), d / "exact.TXT");
  EXPECT_FALSE(files::Resolve(d.Path(), "nothere.txt"));
  EXPECT_FALSE(files::Resolve(d.Path(), ""));
  EXPECT_EQ(files::ResolveOrJoin(d.Path(), "new\\File.lng"), d / "new/File.lng");
  ScopedCwd cwd(d.Path());
  EXPECT_EQ(files::Resolve("", "sub\\fw_demo.txt"), "Sub/FW_Demo.txt");
}

TEST(FilesInfo, SizeTimeAndWholeFile) {
  TempDir d;
  d.Write("f.bin", std::string("a\0b", 3));
  EXPECT_EQ(files::FileSize(d / "f.bin"), 3);
  EXPECT_EQ(files::FileSize(d / "none"), -1);
  EXPECT_EQ(files::FileSize(d.Path()), -1);
  ASSERT_TRUE(files::FileTime(d / "f.bin"));
  EXPECT_GT(*files::FileTime(d / "f.bin"), 1600000000);
  EXPECT_FALSE(files::FileTime(d / "none"));
  EXPECT_EQ(files::ReadWholeFile(d / "f.bin"), std::string("a\0b", 3));
  EXPECT_FALSE(files::ReadWholeFile(d / "f.bin", 2));
  EXPECT_FALSE(files::ReadWholeFile(d.Path()));
}

TEST(FilesLines, DecodesByteOrderMarksAndLineEnds) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\r\nb\r\n", TextEncoding::Ansi, {"a", "b"}},
      {"a\nb", TextEncoding::Ansi, {"a", "b"}},
      {"a\rb\r\n\r\nc", TextEncoding::Ansi, {"a", "b", "", "c"}},
      {"", TextEncoding::Ansi, {}},
      {"\xE4\r\n", TextEncoding::Ansi, {"\xE4"}},
      {"\xEF\xBB\xBF" "G\xC3\xA4t \xE2\x82\xAC \xE4\xB8\xAD\r\n", TextEncoding::Utf8, {"G\xE4t \x80 ?"}},
      {std::string("\xFF\xFE" "a\0\xE4\0\r\0\n\0b\0", 12), TextEncoding::Utf16LE, {"a\xE4", "b"}},
      {std::string("\xFE\xFF\0a\x20\xAC\0\n", 8), TextEncoding::Utf16BE, {"a\x80"}},
  };
  for (const auto& c : cases) {
    TextLines t = files::DecodeLines(c.bytes);
    EXPECT_EQ(t.encoding, c.encoding) << c.bytes;
    EXPECT_EQ(t.lines, c.lines) << c.bytes;
  }
}

TEST(FilesLines, RoundTripKeepsTheEncodingAndWritesCrLf) {
  TempDir d;
  const std::vector<std::string> lines = {"[Label1]Ger\xE4t:=Device", "", "\x80 x"};
  for (auto enc : {TextEncoding::Ansi, TextEncoding::Utf8, TextEncoding::Utf16LE,
                   TextEncoding::Utf16BE}) {
    ASSERT_TRUE(files::SaveLines(d / "f.lng", TextLines{lines, enc}));
    auto back = files::LoadLines(d / "f.lng");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->encoding, enc);
    EXPECT_EQ(back->lines, lines);
  }
  ASSERT_TRUE(files::SaveLines(d / "a.txt", TextLines{{"x", "y"}, TextEncoding::Ansi}));
  EXPECT_EQ(d.Read("a.txt"), "x\r\ny\r\n");
  ASSERT_TRUE(files::SaveLines(d / "u.txt", TextLines{{"\xE4"}, TextEncoding::Utf8}));
  EXPECT_EQ(d.Read("u.txt"), "\xEF\xBB\xBF\xC3\xA4\r\n");
  EXPECT_FALSE(files::SaveLines(d / "no/such/folder/x.txt", TextLines{}));
  EXPECT_FALSE(files::LoadLines(d / "missing.txt"));
}

TEST(FilesFolders, CreateWithParentsAndCurrentFolder) {
  TempDir d;
  EXPECT_TRUE(files::CreateFolders(d / "a/b/c"));
  EXPECT_TRUE(files::IsFolder(d / "a/b/c"));
  EXPECT_TRUE(files::CreateFolders(d / "a/b/c"));
  d.Write("file", "");
  EXPECT_FALSE(files::CreateFolders(d / "file/x"));
  ScopedCwd cwd(d.Path());
  EXPECT_EQ(std::filesystem::path(files::CurrentFolder()), std::filesystem::canonical(d.Path()));
}

TEST(FilesVariables, ProgramFilesAndPublicWithFallbacks) {
  {
    ScopedEnv pf("ProgramFiles", "/pf"), pub("PUBLIC", "/pub");
    EXPECT_EQ(files::ExpandFolderVariables("%ProgramFiles%\\x"), "/pf\\x");
    EXPECT_EQ(files::ExpandFolderVariables("%public%/y %OTHER% 100%"), "/pub/y %OTHER% 100%");
  }
  {
    ScopedEnv pf("ProgramFiles", std::nullopt), pub("PUBLIC", std::nullopt),
        xdg("XDG_DATA_HOME", "/data");
    EXPECT_EQ(files::ExpandFolderVariables("%ProgramFiles%"), "/opt");
    EXPECT_EQ(files::ExpandFolderVariables("%PUBLIC%"), "/data/firmware-update");
  }
  {
    ScopedEnv pub("PUBLIC", std::nullopt), xdg("XDG_DATA_HOME", std::nullopt), home("HOME", "/home/u");
    EXPECT_EQ(files::ExpandFolderVariables("%PUBLIC%"), "/home/u/.local/share/firmware-update");
  }
  {
    ScopedEnv pub("PUBLIC", std::nullopt), xdg("XDG_DATA_HOME", std::nullopt), home("HOME", std::nullopt);
    EXPECT_EQ(files::ExpandFolderVariables("%PUBLIC%"), "%PUBLIC%");
  }
}

TEST(FilesProgramFolder, ExecutableFolderOnlyWhenItHoldsAConfiguration) {
  TempDir exe, start;
  EXPECT_EQ(files::ProgramFolderFor(exe.Path(), start.Path()), start.Path());
  exe.Write("progdevice.INI", "");
  EXPECT_EQ(files::ProgramFolderFor(exe.Path(), start.Path()), exe.Path());
  EXPECT_EQ(files::ProgramFolderFor("", start.Path()), start.Path());
  EXPECT_FALSE(files::ExecutableFolder().empty());
}
