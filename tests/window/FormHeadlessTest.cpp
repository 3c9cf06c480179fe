// The bare main window on the headless backend: its components, and how the OK button, the
// pool timers and the receive threads' messages reach the handler chain.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Headless.h"
#include "comport/Comport.h"
#include "platform/SerialDevice.h"
#include "update/Updatemain.h"

namespace {

struct Recorder {
  std::vector<kernel::Event> events;
  kernel::Event Handle(kernel::EventQueue&, kernel::Event ev) {
    if (ev.kind != kernel::EvNone) events.push_back(ev);
    return kernel::EventQueue::ConsumeEvent(ev);
  }
};

class BareWindow : public ::testing::Test {
 protected:
  // No real serial device is probed by the window's port.
  BareWindow() { platform::SetSerialPortMap(std::string()); }
  ~BareWindow() override { platform::SetSerialPortMap(std::nullopt); }
  platform::VirtualClock clock;
  platform::HeadlessApplication app{&clock};
  update::TUpdateForm::Options Bare() {
    update::TUpdateForm::Options o;
    o.bareWindow = true;
    return o;
  }
};

TEST_F(BareWindow, HasTheComponentsAsBuilt) {
  update::TUpdateForm form(Bare());
  EXPECT_EQ(form.Caption(), "Download :");
  EXPECT_EQ(form.ClientWidth(), 547);
  EXPECT_EQ(form.ClientHeight(), 494);
  EXPECT_EQ(form.WaitProgressBar->Max(), 40);
  ASSERT_EQ(form.UpdateStatusBar->PanelCount(), 5u);
  const int widths[] = {200, 50, 50, 120, 80};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(form.UpdateStatusBar->PanelWidth(i), widths[i]);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "Com X");
  EXPECT_FALSE(form.DLListBox->Visible());
  EXPECT_FALSE(form.SpeedButton1->Visible());
  EXPECT_FALSE(form.WaitPanel->Visible());
  EXPECT_EQ(form.WaitPanel->Caption(), "Bitte warten ...");
  EXPECT_EQ(form.UpdateGroupBox->Caption(), "Ger\xE4t");
  EXPECT_EQ(form.FindComponent("OkBitBtn")->Class(), platform::ComponentClass::BitBtn);
  EXPECT_EQ(form.FindComponent("MainMenu1")->Class(), platform::ComponentClass::MainMenu);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(form.PoolTimers[static_cast<std::size_t>(i)]->Tag, i + 1);
    EXPECT_FALSE(form.PoolTimers[static_cast<std::size_t>(i)]->Enabled());
  }
  EXPECT_EQ(form.SecTimer->Interval(), 500u);
  EXPECT_EQ(form.TitleTimer->Interval(), 300u);
  // Menu as built.
  EXPECT_FALSE(form.TGZ48Programming->Visible());
  EXPECT_FALSE(form.DevCondZ48->Enabled());
  EXPECT_EQ(form.DevCondZ48->Tag, 3);
  EXPECT_TRUE(form.LabXXX->Enabled());
  EXPECT_FALSE(form.LoadProgFile->Visible());
  EXPECT_EQ(form.Englisch->Tag, 1);
  EXPECT_TRUE(form.Englisch->RadioItem);
  EXPECT_EQ(form.LoadProgFile->Caption(), "Programm-Datei \xF6" "ffnen ...");
}

TEST_F(BareWindow, OkPostsEnterAndDisablesTheLanguageMenu) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  form.OkBitBtn->Click();
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].kind, kernel::EvKey);
  EXPECT_EQ(r.events[0].code, 13);
  EXPECT_FALSE(form.Sprache->Enabled());
}

TEST_F(BareWindow, PoolTimerExpiryReachesItsOwnerEveryInterval) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  std::int32_t index = form.Timers().StartTimer(6000);
  ASSERT_EQ(index, 1);
  app.RunUntil([&] { return r.events.size() >= 2; }, 13000);
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.events[0].kind, kernel::EvTimer);
  EXPECT_EQ(r.events[0].code, index);
  EXPECT_EQ(form.Timers().StopTimer(index), 0);
  app.RunUntil([] { return false; }, 7000);
  EXPECT_EQ(r.events.size(), 2u) << "a stopped timer posts nothing";
}

TEST_F(BareWindow, DataMessageFromAnotherThreadArrivesWithItsComNumber) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  std::thread t([&] { platform::App().PostMessage(&form, comport::V24MsgRxData, 7, 0); });
  t.join();
  app.RunUntil([&] { return !r.events.empty(); }, 1000);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].kind, kernel::EvNotify);
  EXPECT_EQ(r.events[0].code, 10000);
  EXPECT_EQ(r.events[0].payload, 7);
}

TEST_F(BareWindow, SecTimerStepsTheProgressBarUpToItsMaximum) {
  update::TUpdateForm form(Bare());
  form.SecTimer->SetEnabled(true);
  app.RunUntil([] { return false; }, 1600);
  EXPECT_EQ(form.WaitProgressBar->Position(), 3);
  app.RunUntil([] { return false; }, 30000);
  EXPECT_EQ(form.WaitProgressBar->Position(), 40);
}

TEST_F(BareWindow, CloseShowsTheStopPanel) {
  update::TUpdateForm form(Bare());
  form.Close();
  EXPECT_TRUE(form.StopPanel->Visible());
  EXPECT_TRUE(form.Closed());
}

}  // namespace
