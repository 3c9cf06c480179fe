// How the window takes its ports and its start text from the package at start-up.
#include <gtest/gtest.h>

#include <cerrno>

#include "SessionRig.h"
#include "comport/Comport.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "update/PortCheck.h"

namespace sessiontest {
namespace {

TEST(Ports, ComKeyOpensThatPortAloneAndTakesEveryMessageAsItsOwn) {
  sim::Instrument instrument(sim::InstrumentConfig{});
  SessionRig rig;
  Package p;
  p.updateIni = "Language=1\r\nVersion=V\r\nBaud=3\r\nCom=3\r\nException=\r\n";
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(4, 3, &instrument);
  auto& form = rig.Start();
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "Com3");
  EXPECT_EQ(form.PortCount, 1);
  EXPECT_TRUE(form.UpdateCom->IsOpen());
  EXPECT_EQ(form.PortTable[1], nullptr);
  EXPECT_EQ(form.PortIndexOf(3), 0);
  EXPECT_EQ(form.PortIndexOf(1), 0) << "in single-port mode every message belongs to entry 0";
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  EXPECT_EQ(form.InstrumentPort(), 0);
  EXPECT_EQ(rig.empties[0]->bytesSeen, 0) << "COM1 was never opened";
}

TEST(Ports, AllUsablePortsAreOpenedWithTheFirstPortsSettingsAndClosedAtTheEnd) {
  SessionRig rig;
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(3, 0, nullptr);
  auto& form = rig.Start();
  ASSERT_EQ(form.PortCount, 3);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "[Com1] [2] [3]");
  auto first = form.PortTable[0]->LoadV24Parameter();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(form.PortTable[static_cast<std::size_t>(i)]->IsOpen());
    EXPECT_EQ(form.PortTable[static_cast<std::size_t>(i)]->LoadV24Parameter(), first);
  }
  EXPECT_EQ(first.baud, 4800u);
  EXPECT_EQ(first.stopBits, platform::StopBits::Two);
  EXPECT_TRUE(first.discardNul);
  comport::TComPort* first0 = form.PortTable[0];
  form.Close();
  EXPECT_FALSE(first0->IsOpen());
  EXPECT_EQ(form.PortTable[1], nullptr);
}

TEST(Ports, StartTextOfTheConfiguredLanguageIsShownAtStartUp) {
  SessionRig rig;
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(1, 0, nullptr);
  auto& form = rig.Start();
  ASSERT_GE(form.UpdateMemo->Lines().size(), 2u);
  EXPECT_EQ(form.UpdateMemo->Lines()[0], "Welcome");
  EXPECT_EQ(form.UpdateMemo->Lines()[1], "Start with OK");
  EXPECT_TRUE(form.Englisch->Checked());
  EXPECT_FALSE(form.Deutsch->Checked());
}

// ---- ports that cannot be used ----

TEST(PortProblems, EachReasonHasItsTextInBothLanguages) {
  using platform::SerialOpenError;
  auto result = [](SerialOpenError e, std::string path, int sysError = 0) {
    platform::SerialOpenResult r;
    r.error = e;
    r.path = std::move(path);
    r.sysError = sysError;
    return r;
  };
  auto permission = [&](bool inGroup, bool session) {
    platform::SerialOpenResult r = result(SerialOpenError::Permission, "/dev/ttyUSB0", EACCES);
    r.group = "dialout";
    r.user = "anna";
    r.userInGroup = inGroup;
    r.sessionHasGroup = session;
    return r;
  };
  auto held = [&] {
    platform::SerialOpenResult r = result(SerialOpenError::Busy, "/dev/ttyUSB0", EWOULDBLOCK);
    r.holders = {{4242, "minicom"}, {4250, "sleep"}};
    return r;
  };
  struct Case {
    const char* name;
    platform::SerialOpenResult r;
    const char* german;
    const char* english;
  } cases[] = {
      {"no device has the number", result(SerialOpenError::NotFound, ""),
       "COM 7: zu dieser Nummer ist keine Schnittstelle bekannt", "COM 7: no port has this number"},
      {"missing", result(SerialOpenError::NotFound, "/dev/ttyUSB0", ENOENT),
       "COM 7 (/dev/ttyUSB0) ist nicht vorhanden. Ist der Adapter des Ger\xE4ts eingesteckt?",
       "COM 7 (/dev/ttyUSB0) does not exist. Is the instrument's adapter plugged in?"},
      {"not a serial port", result(SerialOpenError::NotFound, "/tmp/file", ENOTTY),
       "COM 7 (/tmp/file) ist keine serielle Schnittstelle.", "COM 7 (/tmp/file) is not a serial port."},
      {"not in the group", permission(false, false),
       "COM 7 (/dev/ttyUSB0) darf vom Benutzer anna nicht ge\xF6" "ffnet werden: die Schnittstelle geh\xF6rt der "
       "Gruppe dialout. Treten Sie ihr bei mit \"sudo usermod -aG dialout anna\"",
       "COM 7 (/dev/ttyUSB0) may not be opened by user anna: the port belongs to the group dialout. Join it "
       "with \"sudo usermod -aG dialout anna\", then log out and in again."},
      {"joined, not logged in again", permission(true, false),
       "anna geh\xF6rt zur Gruppe dialout, der die Schnittstelle geh\xF6rt, aber diese Sitzung begann vorher",
       "COM 7 (/dev/ttyUSB0) may not be opened by user anna yet: anna is in the group dialout that owns the "
       "port, but this session began before. Log out and in again."},
      {"in the group and still refused", permission(true, true),
       "darf vom Benutzer anna nicht ge\xF6" "ffnet werden (die Schnittstelle geh\xF6rt der Gruppe dialout).",
       "COM 7 (/dev/ttyUSB0) may not be opened by user anna (the port belongs to the group dialout)."},
      {"held, the holders known", held(),
       "ist von einem anderen Programm belegt: minicom (PID 4242), sleep (PID 4250). Beenden Sie es",
       "COM 7 (/dev/ttyUSB0) is held by another program: minicom (PID 4242), sleep (PID 4250). Close it, then "
       "press OK."},
      {"held, the holder hidden", result(SerialOpenError::Busy, "/dev/ttyUSB0", EBUSY),
       "COM 7 (/dev/ttyUSB0) ist von einem anderen Programm belegt. Beenden Sie es",
       "COM 7 (/dev/ttyUSB0) is held by another program. Close it, then press OK."},
      {"anything else", result(SerialOpenError::Other, "/dev/ttyUSB0", EINVAL),
       "COM 7 (/dev/ttyUSB0) kann nicht ge\xF6" "ffnet werden: ", "COM 7 (/dev/ttyUSB0) cannot be opened: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string de = update::PortProblemText(0, 7, c.r), en = update::PortProblemText(1, 7, c.r);
    EXPECT_NE(de.find(c.german), std::string::npos) << de;
    EXPECT_NE(en.find(c.english), std::string::npos) << en;
    EXPECT_EQ(de.find('X'), std::string::npos) << "a placeholder is left: " << de;
    EXPECT_EQ(en.find('X'), std::string::npos) << "a placeholder is left: " << en;
  }
}

Package SearchPackage(const char* language) {
  Package p;
  p.updateIni = std::string("Language=") + language + "\r\nVersion=V\r\nBaud=3\r\nCom=\r\nException=\r\n";
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  return p;
}

TEST(PortProblems, AMissingPortIsNamedAtStartUpAndTheOtherPortIsSearched) {
  sim::Instrument instrument(sim::InstrumentConfig{});
  SessionRig rig;
  rig.WritePackage(SearchPackage("1"));
  platform::SetSerialPortMap("1=/nonexistent/ttyUSB9");
  platform::RegisterLoopbackPort(2, &instrument);
  rig.registered.push_back(2);
  auto& form = rig.Start();
  const std::string missing = "COM 1 (/nonexistent/ttyUSB9) does not exist. Is the instrument's adapter plugged in?";
  EXPECT_TRUE(rig.MemoHas(missing));
  EXPECT_FALSE(rig.MemoHas("No port can be used"));
  EXPECT_EQ(form.PortCount, 1);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "[Com2]");
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  EXPECT_EQ(form.InstrumentCom(), 1);
  EXPECT_TRUE(rig.Boxes().empty());
}

TEST(PortProblems, WithoutAUsablePortNoSearchIsRunAndTheUserIsToldWhy) {
  SessionRig rig;
  rig.WritePackage(SearchPackage("0"));
  platform::SetSerialPortMap("1=/nonexistent/ttyUSB9");
  auto& form = rig.Start();
  const std::string missing = "COM 1 (/nonexistent/ttyUSB9) ist nicht vorhanden.";
  const std::string none = "Keine Schnittstelle ist verwendbar, daher wird das Ger\xE4t nicht gesucht.";
  EXPECT_TRUE(rig.MemoHas(missing));
  EXPECT_TRUE(rig.MemoHas(none));
  EXPECT_TRUE(rig.Boxes().empty()) << "start-up says it in the log only";

  const std::uint32_t start = rig.clock.Milliseconds();
  form.OkBitBtn->Click();
  rig.RunUntil([] { return false; }, 1000);
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::NoPort);
  EXPECT_TRUE(form.OkBitBtn->Enabled()) << "OK stays ready for the next attempt";
  EXPECT_FALSE(form.WaitPanel->Visible());
  EXPECT_FALSE(form.Closed());
  EXPECT_LE(rig.clock.Milliseconds() - start, 1000u) << "a search ran";
  ASSERT_EQ(rig.Boxes().size(), 1u);
  EXPECT_EQ(rig.Boxes()[0].icon, platform::BoxIcon::Error);
  EXPECT_NE(rig.Boxes()[0].text.find(missing), std::string::npos) << rig.Boxes()[0].text;
  EXPECT_NE(rig.Boxes()[0].text.find(none), std::string::npos) << rig.Boxes()[0].text;
  EXPECT_FALSE(rig.MemoHas("Kein Ger\xE4t gefunden"));
}

TEST(PortProblems, APortThatAppearsAfterStartUpIsSearched) {
  sim::Instrument instrument(sim::InstrumentConfig{});
  SessionRig rig;
  rig.WritePackage(SearchPackage("1"));
  auto& form = rig.Start();
  EXPECT_TRUE(rig.MemoHas("No serial port found"));
  EXPECT_TRUE(rig.MemoHas("No port can be used"));
  EXPECT_EQ(form.PortCount, 0);
  // The adapter is plugged in; then OK.
  platform::RegisterLoopbackPort(4, &instrument);
  rig.registered.push_back(4);
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  EXPECT_EQ(form.PortCount, 1);
  EXPECT_EQ(form.InstrumentCom(), 3);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "[Com4]");
  EXPECT_EQ(form.UpdateStatusBar->PanelHint(0), "Ports searched: COM4 = " + platform::SerialDevicePath(4));
  EXPECT_EQ(form.UpdateStatusBar->PanelHint(1), "Port of the instrument: COM4 = " + platform::SerialDevicePath(4));
}

TEST(PortProblems, AFixedPortThatCannotBeOpenedIsReportedInTheUsersLanguage) {
  SessionRig rig;
  Package p = SearchPackage("1");
  p.updateIni = "Language=1\r\nVersion=V\r\nBaud=3\r\nCom=3\r\nException=\r\n";
  rig.WritePackage(p);
  auto& form = rig.Start();
  // The port's own box, now in the window's language, and the reason in the log.
  ASSERT_EQ(rig.Boxes().size(), 1u);
  EXPECT_EQ(rig.Boxes()[0].text.rfind("Cannot open COM3! ", 0), 0u) << rig.Boxes()[0].text;
  EXPECT_EQ(rig.Boxes()[0].caption, "Error");
  EXPECT_TRUE(rig.MemoHas("COM 3: no port has this number"));
  form.OkBitBtn->Click();
  rig.RunUntil([] { return false; }, 1000);
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::NoPort);
  EXPECT_EQ(rig.Boxes().size(), 2u);
}

}  // namespace
}  // namespace sessiontest
