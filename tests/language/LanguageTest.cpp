#include <gtest/gtest.h>

#include "../update/ConfigTestUtil.h"
#include "language/Sprachdlg.h"
#include "platform/Files.h"

using language::TLanguage;
using platform::TextEncoding;
using testutil::CrLf;
using testutil::ScopedCwd;
using testutil::TempDir;

namespace {

// A small form: a button, two labels whose names share a prefix, a memo, a menu.
struct TestForm {
  platform::Form form{nullptr, "TestForm"};
  platform::BitBtn* ok;
  platform::Label* label1;
  platform::Label* label10;
  platform::Memo* memo;
  platform::MenuItem* file;
  platform::MenuItem* exit;
  TLanguage* lang;

  TestForm() {
    form.SetCaption("Download :");
    ok = new platform::BitBtn(&form, &form, "OkBitBtn");
    ok->SetCaption("OK");
    ok->SetHint("Start");
    label1 = new platform::Label(&form, &form, "Label1");
    label1->SetCaption("One");
    label10 = new platform::Label(&form, &form, "Label10");
    label10->SetCaption("Ten");
    memo = new platform::Memo(&form, &form, "Memo1");
    memo->SetCaption("memo text");
    auto* menu = new platform::MainMenu(&form, "MainMenu1");
    file = new platform::MenuItem(&form, &menu->Root(), "Bearbeiten", "&Datei");
    exit = new platform::MenuItem(&form, file, "UpdateEnd", "&Beenden");
    lang = new TLanguage(&form, "UpdateSprachDialog");
    lang->SetDialogfile("Test.lng");
  }
};

class Language : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCwd cwd{dir.Path()};
  void Write(const std::vector<std::string>& lines) { dir.Write("Test.lng", CrLf(lines)); }
  std::vector<std::string> Lines() { return platform::files::LoadLines(dir / "Test.lng")->lines; }
};

}  // namespace

TEST_F(Language, TextEntryTemplateAndRecordedText) {
  struct Case {
    const char* line;
    const char* caption;
  } cases[] = {
      {"[OkBitBtn]OK:=Weiter", "Weiter"},
      {"[OkBitBtn]OK:=", "OK"},
      {"[OkBitBtn]=", ""},
      {"[OkBitBtn]Zwei\\\\Zeilen:=", "Zwei\r\nZeilen"},
      {"[OkBitBtn]x:=A\\\\B", "A\r\nB"},
      {"[OkBitBtn]a=b:=c", "b:=c"},  // the value starts at the first '='
  };
  for (const auto& c : cases) {
    Write({c.line});
    TestForm f;
    f.ok->SetCaption("Start");
    ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
    EXPECT_EQ(f.ok->Caption(), c.caption) << c.line;
  }
}

TEST_F(Language, MissingEntryIsAppendedAndTheFileWritten) {
  Write({"[OkBitBtn]OK:=Weiter", "[Hint][OkBitBtn]Start:=Los"});
  TestForm f;
  f.label1->SetCaption("A\r\nB");
  ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
  EXPECT_EQ(f.ok->Caption(), "Weiter");
  EXPECT_EQ(f.ok->Hint(), "Los");
  EXPECT_EQ(f.label1->Caption(), "A\r\nB");
  EXPECT_EQ(f.label10->Caption(), "Ten");
  EXPECT_EQ(f.memo->Caption(), "memo text");  // not a translated class
  EXPECT_TRUE(f.lang->Appended());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"[OkBitBtn]OK:=Weiter", "[Hint][OkBitBtn]Start:=Los",
                                               "[TestForm]Download ::=", "[Label1]A\\\\B:=",
                                               "[Label10]Ten:=", "[Bearbeiten]&Datei:=",
                                               "[UpdateEnd]&Beenden:="}));
  // The next run finds every entry and keeps the texts.
  TestForm g;
  g.label1->SetCaption("A\r\nB");
  ASSERT_TRUE(g.lang->TranslateDialog(&g.form));
  EXPECT_EQ(g.form.Caption(), "Download :");
  EXPECT_EQ(g.label1->Caption(), "A\r\nB");
  EXPECT_EQ(g.exit->Caption(), "&Beenden");
  EXPECT_FALSE(g.lang->Appended());
}

TEST_F(Language, MissingFileCollectsTemplatesAndHints) {
  TestForm f;
  ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
  EXPECT_TRUE(f.lang->NewFile());
  EXPECT_EQ(f.ok->Caption(), "OK");
  EXPECT_EQ(f.ok->Hint(), "");
  EXPECT_EQ(f.exit->Caption(), "&Beenden");
  EXPECT_EQ(dir.Read("Test.lng"),
            CrLf({"[TestForm]=", "[OkBitBtn]=", "[Hint][OkBitBtn]Start:=", "[Label1]=",
                  "[Hint][Label1]:=", "[Label10]=", "[Hint][Label10]:=", "[Bearbeiten]=",
                  "[Hint][Bearbeiten]:=", "[UpdateEnd]=", "[Hint][UpdateEnd]:="}));
  // The file now exists: its templates blank the texts on the next run.
  TestForm g;
  ASSERT_TRUE(g.lang->TranslateDialog(&g.form));
  EXPECT_FALSE(g.lang->NewFile());
  EXPECT_EQ(g.ok->Caption(), "");
  EXPECT_EQ(g.ok->Hint(), "Start");
}

TEST_F(Language, Label1DoesNotTakeLabel10ButTakesItsOwnHintLine) {
  Write({"[Label10]Ten:=Zehn"});
  {
    TestForm f;
    ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
    EXPECT_EQ(f.label10->Caption(), "Zehn");
    EXPECT_EQ(f.label1->Caption(), "One");
  }
  Write({"[Hint][Label1]tip:=", "[Label1]One:=Eins"});
  TestForm g;
  ASSERT_TRUE(g.lang->TranslateDialog(&g.form));
  // The key is searched anywhere in the line, so the hint line comes first.
  EXPECT_EQ(g.label1->Caption(), "[Label1]tip");
  EXPECT_EQ(g.label1->Hint(), "tip");
}

TEST_F(Language, HintEntries) {
  TLanguage lang(nullptr, "L");
  lang.SetDialogfile("Test.lng");
  Write({"[Hint][A]recorded:=", "[Hint][B]x:=translated", "[Hint][C]", "[Hint][D]:="});
  lang.LoadTranslateText();
  EXPECT_EQ(lang.TranslateHintText("A", "now"), "recorded");
  EXPECT_EQ(lang.TranslateHintText("B", "now"), "translated");
  EXPECT_EQ(lang.TranslateHintText("C", "now"), "");
  EXPECT_EQ(lang.TranslateHintText("D", "now"), "");
  EXPECT_EQ(lang.TranslateHintText("E", "now"), "");
  EXPECT_EQ(lang.Entries().size(), 4u);  // a missing hint is not recorded
  EXPECT_EQ(lang.TranslateText("E", ""), "");
  EXPECT_EQ(lang.Entries().size(), 4u);  // nor an empty text
}

TEST_F(Language, BrokenLinesGiveDefinedResults) {
  Write({"", "garbage without anything", "[Label1]", "[Label10", "=", ":=", "]:=x", "[OkBitBtn]OK"});
  TestForm f;
  ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
  EXPECT_EQ(f.label1->Caption(), "");    // "[Label1]" has no value and no recorded text
  EXPECT_EQ(f.label10->Caption(), "Ten");  // "[Label10" lacks the bracket: not its key
  EXPECT_EQ(f.ok->Caption(), "");
  EXPECT_EQ(Lines().back(), "[UpdateEnd]&Beenden:=");
}

TEST_F(Language, TagNoTranslateAndEnabled) {
  Write({"[OkBitBtn]OK:=Weiter", "[Label1]One:=Eins"});
  TestForm f;
  f.ok->Tag = -1;
  ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
  EXPECT_EQ(f.ok->Caption(), "OK");
  EXPECT_EQ(f.ok->Hint(), "Start");
  EXPECT_EQ(f.label1->Caption(), "Eins");
  for (const auto& l : Lines()) EXPECT_EQ(l.find("[Hint][OkBitBtn]"), std::string::npos);

  TestForm g;
  g.lang->Enabled = false;
  ASSERT_TRUE(g.lang->TranslateDialog(&g.form));
  EXPECT_EQ(g.label1->Caption(), "One");

  TestForm h;
  h.lang->TagNoTranslate = 7;
  h.label1->Tag = 7;
  ASSERT_TRUE(h.lang->TranslateDialog(&h.form));
  EXPECT_EQ(h.label1->Caption(), "One");
  EXPECT_EQ(h.ok->Caption(), "Weiter");
}

TEST_F(Language, WrittenBackInTheEncodingRead) {
  for (auto enc : {TextEncoding::Utf8, TextEncoding::Utf16LE, TextEncoding::Utf16BE,
                   TextEncoding::Ansi}) {
    ASSERT_TRUE(platform::files::SaveLines(
        dir / "Test.lng", platform::TextLines{{"[OkBitBtn]OK:=Best\xE4tigen"}, enc}));
    TestForm f;
    ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
    EXPECT_EQ(f.ok->Caption(), "Best\xE4tigen");
    auto back = platform::files::LoadLines(dir / "Test.lng");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->encoding, enc);
    ASSERT_GE(back->lines.size(), 2u);
    EXPECT_EQ(back->lines[0], "[OkBitBtn]OK:=Best\xE4tigen");
    EXPECT_EQ(back->lines[1], "[TestForm]Download ::=");
  }
}

namespace {
// ASCII text as UTF-16 LE.
std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}
}  // namespace

TEST_F(Language, WriteBackKeepsEveryByteTheFileHad) {
  // Entries for every text of the form but Label10's; lines ended by CR LF, LF and a lone CR.
  const std::string known =
      "[TestForm]Download ::=\r[OkBitBtn]OK:=Weiter\n[Label1]One:=Eins\r\n[Bearbeiten]&Datei:=\r\n"
      "[UpdateEnd]&Beenden:=";
  struct Case {
    const char* name;
    std::string original;
    std::string added;  // what the run must add behind the original bytes
  } cases[] = {
      {"Windows-1252 with bytes it does not define, no line end at the end",
       known + "\r\n[X]\x81\x8D\x90\x9D:=\xFF", "\r\n[Label10]Z\xE4hler:=\r\n"},
      {"UTF-8 with byte-order mark and invalid sequences",
       "\xEF\xBB\xBF" + known + "\r\n[X]\xC3\x28\xFF\xE2\x82:=\r\n", "[Label10]Z\xC3\xA4hler:=\r\n"},
      {"UTF-16 LE with byte-order mark, a lone surrogate and a lone CR at the end",
       "\xFF\xFE" + Utf16Le(known + "\r\n[X]") + std::string("\x00\xD8", 2) + Utf16Le(":=\r"),
       Utf16Le("[Label10]Z") + std::string("\xE4\x00", 2) + Utf16Le("hler:=\r\n")},
  };
  for (const Case& c : cases) {
    dir.Write("Test.lng", c.original);
    {
      TestForm f;
      f.label10->SetCaption("Z\xE4hler");
      ASSERT_TRUE(f.lang->TranslateDialog(&f.form)) << c.name;
      EXPECT_EQ(f.ok->Caption(), "Weiter") << c.name;
      EXPECT_EQ(f.label1->Caption(), "Eins") << c.name;
      EXPECT_TRUE(f.lang->Appended()) << c.name;
    }
    EXPECT_EQ(dir.Read("Test.lng"), c.original + c.added) << c.name;
    // The next run finds every entry and writes nothing.
    TestForm g;
    g.label10->SetCaption("Z\xE4hler");
    ASSERT_TRUE(g.lang->TranslateDialog(&g.form));
    EXPECT_FALSE(g.lang->Appended()) << c.name;
    EXPECT_EQ(dir.Read("Test.lng"), c.original + c.added) << c.name;
  }
}

TEST_F(Language, FileFoundWithoutRegardToCaseAndWriteFailureReported) {
  dir.Write("test.LNG", CrLf({"[OkBitBtn]OK:=Weiter"}));
  {
    TestForm f;
    ASSERT_TRUE(f.lang->TranslateDialog(&f.form));
    EXPECT_EQ(f.ok->Caption(), "Weiter");
    EXPECT_FALSE(platform::files::Exists(dir / "Test.lng"));  // written back to test.LNG
  }
  TestForm g;
  g.lang->SetOwnDialogFile("no/such/folder/x.lng");
  EXPECT_EQ(g.lang->Dialogfile(), "no/such/folder/x.lng");
  EXPECT_FALSE(g.lang->TranslateDialog(&g.form));
}

TEST_F(Language, SamplePackageTranslatesEveryWindowText) {
  testutil::CopyPackage(dir.Path());
  for (const char* file : {"Update.Eng", "Update.Deu"}) {
    TLanguage lang(nullptr, "L");
    lang.SetDialogfile(file);
    lang.LoadTranslateText();
    ASSERT_FALSE(lang.NewFile());
    for (const char* name : {"UpdateForm", "UpdateGroupBox", "NameLabel", "SerLabel", "PCBLabel",
                             "SWLabel", "DLLabel", "OkBitBtn", "WaitPanel", "StopPanel",
                             "Bearbeiten", "TGZ48Programming", "LabXXX", "LoadProgFile",
                             "UpdateEnd", "Sprache", "Deutsch", "Englisch", "Help", "Readme",
                             "SWVersion"})
      EXPECT_FALSE(lang.TranslateText(name, "?").empty()) << file << " " << name;
    EXPECT_FALSE(lang.Appended()) << file;
  }
  TLanguage eng(nullptr, "E");
  eng.SetDialogfile("Update.Eng");
  eng.LoadTranslateText();
  EXPECT_EQ(eng.TranslateText("UpdateEnd", "&Beenden"), "E&xit");
  EXPECT_EQ(eng.TranslateText("Sprache", "&Sprache"), "&Language");
  TLanguage deu(nullptr, "D");
  deu.SetDialogfile("Update.Deu");
  deu.LoadTranslateText();
  EXPECT_EQ(deu.Encoding(), TextEncoding::Utf8);
  EXPECT_EQ(deu.TranslateText("UpdateGroupBox", "Instrument"), "Ger\xE4t");
  EXPECT_EQ(deu.TranslateText("UpdateEnd", "E&xit"), "&Beenden");
}
