// The menu commands of the real window on Qt's offscreen platform: the device items as the
// package files decide them, the device commands' rows and name label, the read-me by
// language and start mode, the version box, and the hidden keys with "Open program file".
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/QtApplication.h"
#include "platform/SerialDevice.h"
#include "support/RunProgram.h"
#include "update/MenuTexts.h"
#include "update/Updatemain.h"

namespace {

namespace fs = std::filesystem;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "menu_qt_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

struct Row {
  std::string name, deviceNr, progFile2, progDefFile;
};

std::string ProgDevice(const std::vector<Row>& rows, const std::string& devStartCmd = "1") {
  std::string ini;
  for (const Row& r : rows)
    ini += "[" + r.name + "]\r\nDevStartCmd=" + devStartCmd + "\r\nDeviceNrDef=" + r.deviceNr +
           "\r\nDeviceNr=" + r.deviceNr + "\r\nDeviceName=" + r.name + "\r\nProgFile1=\r\nProgFile2=" + r.progFile2 +
           "\r\nProgFile3=\r\nSWKenn1=\r\nSWKenn2=564552533A\r\nSWKenn3=\r\nBootLoadKenn=\r\nFlashErase1=\r\n"
           "FlashErase2=\r\nFlashErase3=\r\nProgDefFile=" + r.progDefFile + "\r\nProzTyp=F16C\r\n\r\n";
  return ini + "StarttextD=Start\r\nStarttextE=Start\r\nAbbruchtextD=Abbruch\r\nAbbruchtextE=Aborted\r\n";
}

class MenuWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "menu_qt_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<platform::QtApplication>(argc, argv);
    app->AutoAnswer = platform::BoxResult::Ok;
    platform::SetSerialPortMap(std::string());  // no ports at all
    folder = testsupport::MakeTempDir("menus");
    previous = platform::files::CurrentFolder();
    platform::files::SetCurrentFolder(folder);
  }
  void TearDown() override {
    form.reset();
    platform::SetSerialPortMap(std::nullopt);
    platform::files::SetCurrentFolder(previous);
    app.reset();
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  // A package in English (language 1) unless told otherwise.
  update::TUpdateForm& Start(const std::vector<Row>& rows, const std::vector<std::string>& files,
                             const std::string& devStartCmd = "1", const char* language = "1") {
    WriteFile(folder + "/Update.ini",
              std::string("Language=") + language + "\r\nVersion=1.02\r\nBaud=\r\nCom=\r\nException=\r\n");
    WriteFile(folder + "/ProgDevice.ini", ProgDevice(rows, devStartCmd));
    for (const std::string& f : files) WriteFile(folder + "/" + f, "@3100\r\n56 45 52 53 3A 31 2E 30 35 00\r\nq\r\n");
    update::TUpdateForm::Options o;
    o.programFolder = folder;
    form = std::make_unique<update::TUpdateForm>(o);
    form->Show();
    app->ProcessMessages();
    window = qobject_cast<QMainWindow*>(app->WindowOf(*form));
    return *form;
  }
  QAction* Action(const char* name) {
    QAction* a = window ? window->findChild<QAction*>(name) : nullptr;
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  void Trigger(const char* name) {
    if (QAction* a = Action(name)) a->trigger();
    app->ProcessMessages();
  }
  void KeyUp(int qtKey, Qt::KeyboardModifiers modifiers) {
    QWidget* target = window->focusWidget() ? window->focusWidget() : window;
    QKeyEvent release(QEvent::KeyRelease, qtKey, modifiers);
    QApplication::sendEvent(target, &release);
  }

  std::unique_ptr<platform::QtApplication> app;
  std::unique_ptr<update::TUpdateForm> form;
  QMainWindow* window = nullptr;
  std::string folder, previous;
};

const std::vector<Row> kHandheldRows = {{"Multi 3430", "28100", "MZ48.MOT", "DEFMULTI.MOT"},
                                        {"pH 3410", "28110", "PH48.MOT", "DEFPH.MOT"},
                                        {"Oxi 3410", "28120", "OXI48.MOT", ""},
                                        {"Cond 3410", "28130", "COND48.MOT", ""}};

// Each handheld item is enabled by a "*.mot" file holding its row's file; every such file
// decides anew whether the submenu shows (the last one found decides): it shows when that one
// holds the first row's file. "Lab XXX" stays as built.
TEST_F(MenuWindow, DeviceItemsFollowThePackageFiles) {
  Start(kHandheldRows, {"COND48.MOT", "MZ48.MOT"});
  QAction* programming = Action("TGZ48Programming");
  ASSERT_TRUE(programming);
  EXPECT_TRUE(programming->isVisible());
  EXPECT_TRUE(Action("DevMultiZ48")->isEnabled());
  EXPECT_FALSE(Action("DevpHZ48")->isEnabled());
  EXPECT_FALSE(Action("DevOxiZ48")->isEnabled());
  EXPECT_TRUE(Action("DevCondZ48")->isEnabled());
  EXPECT_TRUE(Action("LabXXX")->isEnabled());
  EXPECT_FALSE(Action("LoadProgFile")->isVisible());
  form.reset();
  window = nullptr;
  Start(kHandheldRows, {"MZ48.MOT", "PH48.MOT"});
  EXPECT_FALSE(Action("TGZ48Programming")->isVisible()) << "the last file is not the first row's";
  EXPECT_TRUE(Action("DevMultiZ48")->isEnabled());
  EXPECT_TRUE(Action("DevpHZ48")->isEnabled());
}

// A handheld command with one row: the row's identity and its name on the label, the
// submenu disabled, the row's definition file for the loader (which this package lacks a
// program for: the failure names it, the retry waits for OK).
TEST_F(MenuWindow, DeviceCommandWithOneRowKeepsTheRowsName) {
  update::TUpdateForm& f = Start({kHandheldRows[0]}, {"MZ48.MOT", "DEFMULTI.MOT"});
  Trigger("DevMultiZ48");
  EXPECT_EQ(f.Record().deviceNumber, "28100.000");
  EXPECT_EQ(f.Record().definitionFile, "DEFMULTI.MOT");
  EXPECT_EQ(f.NameStaticText->Caption(), "28100.000  [Multi 3430]");
  EXPECT_FALSE(Action("TGZ48Programming")->isEnabled());
  EXPECT_EQ(f.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  ASSERT_FALSE(app->Boxes().empty());
  EXPECT_NE(app->Boxes().back().text.find("HEXLoad_8N1.exe"), std::string::npos) << app->Boxes().back().text;
  EXPECT_TRUE(f.OkBitBtn->Enabled());
}

// "Lab XXX" for an instrument that answered with 'Q': with two rows the second one is taken.
// Its laboratory image is missing here, so the command ends in the check's refusal, before
// anything is programmed.
TEST_F(MenuWindow, LabCommandWithoutSenderAndMarkerQTakesTheSecondRow) {
  update::TUpdateForm& f = Start({{"Lab 860", "40100", "LAB860.TXT", ""}, {"Lab 5xx", "40200", "LAB5XX.TXT", ""}},
                                 {"LAB860.TXT", "LAB5XX.TXT"});
  f.session.BootMarker = 'Q';
  f.LabXXXClick(nullptr);
  app->ProcessMessages();
  EXPECT_EQ(f.Record().deviceNumber, "40200.000");
  EXPECT_EQ(f.NameStaticText->Caption(), "40200.000  [Lab 5xx]");
  EXPECT_FALSE(Action("LabXXX")->isEnabled());
  EXPECT_EQ(f.SessionOutcome(), update::TUpdateForm::Outcome::Refused);
  ASSERT_FALSE(app->Boxes().empty());
  EXPECT_EQ(app->Boxes().back().text, "The package file LABXXX.TXT is missing !");
}

// The read-me by language and start mode, opened with the desktop's viewer (here unattended:
// recorded, and the viewer's failure box); a missing one is named.
TEST_F(MenuWindow, ReadmeByLanguageAndStartMode) {
  update::TUpdateForm& f = Start({kHandheldRows[0]}, {"MZ48.MOT"}, "4");  // start mode 3
  ASSERT_EQ(static_cast<int>(f.StartMode()), 3);
  WriteFile(folder + "/Readme_Firmware-Update_KVS_Sensors_RNT-M_DE.pdf", "%PDF-1.4\n");
  Trigger("Readme");
  ASSERT_EQ(app->OpenedDocuments.size(), 1u);
  EXPECT_EQ(app->OpenedDocuments[0].first, "") << "the desktop's viewer, not a named program";
  EXPECT_EQ(app->OpenedDocuments[0].second, folder + "/Readme_Firmware-Update_KVS_Sensors_RNT-M_DE.pdf");
  ASSERT_EQ(app->Boxes().size(), 1u);
  EXPECT_EQ(app->Boxes()[0].text, "Programm konnte nicht gestartet werden!");

  form.reset();
  app->OpenedDocuments.clear();
  Start({kHandheldRows[0]}, {"MZ48.MOT"}, "1", "0");  // German, start mode 0
  Trigger("Readme");
  EXPECT_TRUE(app->OpenedDocuments.empty());
  ASSERT_EQ(app->Boxes().size(), 2u);
  EXPECT_EQ(app->Boxes()[1].text, "Das Dokument Firmwareupdate_Messgeraete.pdf fehlt im Programmordner !");
  EXPECT_EQ(app->Boxes()[1].caption, "Fehler");
}

TEST_F(MenuWindow, VersionBoxShowsThePackageVersionAndTheProgramsOwn) {
  Start({kHandheldRows[0]}, {"MZ48.MOT"});
  Trigger("SWVersion");
  ASSERT_EQ(app->Boxes().size(), 1u);
  EXPECT_EQ(app->Boxes()[0].text, "     Version 1.02" + std::string(27, ' ') + "\r\n     Program version " +
                                      update::ProgramVersion());
  EXPECT_EQ(app->Boxes()[0].caption, "Info");
  EXPECT_EQ(app->Boxes()[0].icon, platform::BoxIcon::Information);
  EXPECT_FALSE(std::string(update::ProgramVersion()).empty());
}

// The hidden keys name their modes in the label; the any-file key shows "Open program file",
// whose choice is kept, and the program folder is the current folder again afterwards.
TEST_F(MenuWindow, HiddenKeysAndOpenProgramFile) {
  update::TUpdateForm& f = Start({kHandheldRows[0]}, {"MZ48.MOT"});
  auto* info = window->findChild<QLabel*>("InfoStaticText");
  ASSERT_TRUE(info);
  const auto ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
  KeyUp(Qt::Key_F11, ctrlShift);
  EXPECT_FALSE(f.VersionTest);
  EXPECT_TRUE(info->isVisible());
  EXPECT_EQ(info->text(), "Software Vers. ignorieren");
  KeyUp(Qt::Key_F11, ctrlShift | Qt::AltModifier);  // a further modifier does not matter
  EXPECT_TRUE(f.VersionTest);
  EXPECT_FALSE(info->isVisible());
  KeyUp(Qt::Key_F12, ctrlShift);
  EXPECT_TRUE(f.DebugMode);
  EXPECT_EQ(info->text(), "Debug-Mode");
  KeyUp(Qt::Key_F12, ctrlShift);
  EXPECT_FALSE(f.DebugMode);

  KeyUp(Qt::Key_F10, ctrlShift);
  EXPECT_TRUE(f.AnyFileMode);
  EXPECT_EQ(info->text(), QString::fromUtf8("beliebige Datei öffnen"));
  EXPECT_TRUE(Action("LoadProgFile")->isVisible());
  platform::files::SetCurrentFolder(previous);
  app->NextOpenFile = folder + "/MZ48.MOT";
  Trigger("LoadProgFile");
  EXPECT_EQ(f.ChosenProgramFile, folder + "/MZ48.MOT");
  EXPECT_EQ(platform::files::CurrentFolder(), folder);
  KeyUp(Qt::Key_F10, ctrlShift);
  EXPECT_FALSE(f.AnyFileMode);
  EXPECT_FALSE(Action("LoadProgFile")->isVisible());
  EXPECT_FALSE(info->isVisible());
}

}  // namespace
