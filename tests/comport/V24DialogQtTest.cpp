// The port settings dialog on Qt's offscreen platform, driven through its widgets: the flags
// enable their rows, OK writes the record back (clamped numbers, lists, the port), Cancel
// leaves it, and OpenDialog stores the result and reopens an open port with it. Screenshots
// of the dialog in both languages go to build/screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QToolButton>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "Fixture.h"
#include "comport/Comport.h"
#include "comport/V24Dialog.h"
#include "platform/QtApplication.h"
#include "platform/SerialLoopback.h"

using namespace comport;
namespace fs = std::filesystem;

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "v24_dialog_qt_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class Silent : public platform::LoopbackPeer {
 public:
  void Attach(platform::LoopbackLine*) override {}
  void OnHostBytes(const std::uint8_t*, std::size_t, const platform::LineSettings&) override {}
};

// The flags in the order of the record's TDlgParameter, with the row each one enables.
struct FlagRow {
  bool TDlgParameter::*flag;
  int row;
};
constexpr FlagRow kFlagRows[] = {
    {&TDlgParameter::DatenBits, 1},        {&TDlgParameter::Schnittstelle, 13},
    {&TDlgParameter::Paritaet, 2},         {&TDlgParameter::StopBits, 3},
    {&TDlgParameter::Baudrate, 4},         {&TDlgParameter::Handshake, 5},
    {&TDlgParameter::RXTimeOut, 6},        {&TDlgParameter::RXTimeOutproChar, 7},
    {&TDlgParameter::RXNotification, 8},   {&TDlgParameter::TXTimeOut, 9},
    {&TDlgParameter::TXTimeOutproChar, 10}, {&TDlgParameter::KeinNullZeichen, 11},
    {&TDlgParameter::KeinString, 12},
};

class V24DialogQt : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "v24_dialog_qt_test";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<platform::QtApplication>(argc, argv);
    app->AutoAnswer = platform::BoxResult::Ok;  // a dialog nobody closes is cancelled
  }
  void TearDown() override {
    app->OnShowModal = nullptr;
    app.reset();
  }
  // The widget of a control of the shown dialog.
  template <typename W>
  W* Widget(platform::Form& dialog, const char* name) {
    QWidget* window = app->WindowOf(dialog);
    W* w = window ? window->findChild<W*>(QString::fromLatin1(name)) : nullptr;
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Click(platform::Form& dialog, const char* button) {
    if (auto* b = Widget<QPushButton>(dialog, button)) b->click();
  }
  // Runs hand in the dialog once it is shown.
  void OnShow(std::function<void(TV24_Dialog&)> hand) {
    app->OnShowModal = [hand](platform::Form& f) { hand(static_cast<TV24_Dialog&>(f)); };
  }

  std::unique_ptr<platform::QtApplication> app;
};

V24ParameterTag SampleRecord() {
  V24ParameterTag r;
  r.DatenBits = D_8;
  r.Paritaet = Mark;
  r.StopBits = S_2;
  r.Baudrate = B__4800;
  r.Handshake = ZAN_XonXoff;
  r.RXTimeOut = 20;
  r.TXTimeOut = 10000;  // beyond the up-down's limit
  r.Schnittstelle = Com__3;
  r.KeinNullZeichen = true;
  r.RXNotification = 50;
  r.RXTimeOutproChar = 3;
  r.TXTimeOutproChar = 1;
  return r;
}

TEST_F(V24DialogQt, EachFlagEnablesItsRowAndOnlyThatRow) {
  const int devices[] = {0, 2};
  for (const FlagRow& f : kFlagRows) {
    SCOPED_TRACE(f.row);
    TDlgParameter flags;
    flags.*f.flag = true;
    TV24_Dialog dialog(nullptr, 0, devices, 2);
    V24ParameterTag record = SampleRecord();
    bool checked = false;
    OnShow([&](TV24_Dialog& d) {
      for (int row = 1; row <= TV24_Dialog::kRows; ++row)
        for (platform::Control* c : d.RowControls(row)) {
          QWidget* w = app->WindowOf(d)->findChild<QWidget*>(QString::fromStdString(c->Name()));
          ASSERT_NE(w, nullptr) << c->Name();
          EXPECT_EQ(w->isEnabled(), row == f.row) << c->Name();
        }
      checked = true;
      Click(d, "V24_Adjust_cancel");
    });
    EXPECT_EQ(dialog.ExecuteDialog(flags, &record), platform::mrCancel);
    EXPECT_TRUE(checked);
    EXPECT_EQ(record, SampleRecord()) << "Cancel leaves the record";
  }
}

// With every flag off every control is disabled, and OK writes back what was shown: the
// transmit timeout 10000 shown as 1000 (the up-down's limit) is stored as 1000; mark parity
// is in the list and stays.
TEST_F(V24DialogQt, AllFlagsOffOkWritesBackWhatWasShown) {
  const int devices[] = {0, 2};
  TV24_Dialog dialog(nullptr, 0, devices, 2);
  V24ParameterTag record = SampleRecord();
  OnShow([&](TV24_Dialog& d) {
    EXPECT_EQ(Widget<QLineEdit>(d, "TX_TimeoutEdit")->text(), "1000");
    EXPECT_EQ(Widget<QComboBox>(d, "Paritaet_Box")->currentText(), "Markierung");
    EXPECT_EQ(Widget<QComboBox>(d, "Schnittstellen_Box")->currentText(), "COM3");
    for (int row = 1; row <= TV24_Dialog::kRows; ++row)
      for (platform::Control* c : d.RowControls(row))
        EXPECT_FALSE(Widget<QWidget>(d, c->Name().c_str())->isEnabled()) << c->Name();
    Click(d, "V24_Adjust_okay");
  });
  ASSERT_EQ(dialog.ExecuteDialog(TDlgParameter{}, &record), platform::mrOk);
  V24ParameterTag want = SampleRecord();
  want.TXTimeOut = 1000;
  EXPECT_EQ(record, want);
}

// The user's changes through the widgets: a list choice, a number typed beyond its limit, an
// arrow click, a NUL switch typed into its editable list, another port.
TEST_F(V24DialogQt, OkTakesTheUsersChanges) {
  const int devices[] = {0, 2};
  TDlgParameter all;
  for (const FlagRow& f : kFlagRows) all.*f.flag = true;
  TV24_Dialog dialog(nullptr, 0, devices, 2);
  V24ParameterTag record = SampleRecord();
  OnShow([&](TV24_Dialog& d) {
    Widget<QComboBox>(d, "Baudrate_Box")->setCurrentIndex(5);     // 38400
    Widget<QComboBox>(d, "StopBit_Box")->setCurrentIndex(0);      // 1
    Widget<QLineEdit>(d, "RX_TimeoutEdit")->setText("5000");      // beyond 1000
    Widget<QLineEdit>(d, "Edit_NotificationTime")->setText("7500");
    for (int i = 0; i < 2; ++i) Widget<QWidget>(d, "RXMultiproCharUpDown")->findChild<QToolButton*>("up")->click();
    Widget<QComboBox>(d, "NullZeichenBox")->setEditText("FALSE");
    Widget<QComboBox>(d, "NoStringBox")->setCurrentIndex(1);
    Widget<QComboBox>(d, "Schnittstellen_Box")->setCurrentIndex(0);  // COM1
    Click(d, "V24_Adjust_okay");
  });
  ASSERT_EQ(dialog.ExecuteDialog(all, &record), platform::mrOk);
  EXPECT_EQ(record.Baudrate, B_38400);
  EXPECT_EQ(record.StopBits, S_1);
  EXPECT_EQ(record.RXTimeOut, 1000);
  EXPECT_EQ(record.RXNotification, 7500);
  EXPECT_EQ(record.RXTimeOutproChar, 5);
  EXPECT_FALSE(record.KeinNullZeichen);
  EXPECT_TRUE(record.KeinString);
  EXPECT_EQ(record.Schnittstelle, Com__1);
  EXPECT_EQ(record.Paritaet, Mark) << "unchanged";
}

// English captions and labels; the list items stay as built. The port list holds the ports of
// the device list; a record port missing from it leaves the list without a choice, and OK
// keeps the record's port. A screenshot in each language.
TEST_F(V24DialogQt, LanguagesAndThePortList) {
  const int devices[] = {0, 2};
  for (int language : {0, 1}) {
    SCOPED_TRACE(language);
    TV24_Dialog dialog(nullptr, language, devices, 2);
    V24ParameterTag record = SampleRecord();
    record.Schnittstelle = Com__5;
    OnShow([&](TV24_Dialog& d) {
      QWidget* window = app->WindowOf(d);
      EXPECT_EQ(window->windowTitle(), language ? "Settings" : "Einstellungen");
      EXPECT_EQ(Widget<QPushButton>(d, "V24_Adjust_cancel")->text(), language ? "Cancel" : "Abbrechen");
      EXPECT_EQ(Widget<QLabel>(d, "Label5")->text(), language ? "Flow Control" : "Handshake");
      EXPECT_EQ(Widget<QLabel>(d, "Label2")->text(), language ? "Parity" : QString::fromUtf8("Parität"));
      auto* handshake = Widget<QComboBox>(d, "Handshake_Box");
      EXPECT_EQ(handshake->itemText(0), "kein Handshake");
      auto* ports = Widget<QComboBox>(d, "Schnittstellen_Box");
      ASSERT_EQ(ports->count(), 2);
      EXPECT_EQ(ports->itemText(0), "COM1");
      EXPECT_EQ(ports->itemText(1), "COM3");
      EXPECT_EQ(ports->currentIndex(), -1);
      EXPECT_EQ(Widget<QWidget>(d, "client")->size(), QSize(399, 515));
      fs::create_directories(UPDATE_SCREENSHOT_DIR);
      const std::string shot = std::string(UPDATE_SCREENSHOT_DIR) + (language ? "/port-dialog-en.png" : "/port-dialog-de.png");
      EXPECT_TRUE(app->SaveScreenshot(d, shot));
      EXPECT_GT(fs::file_size(shot), 1000u);
      Click(d, "V24_Adjust_okay");
    });
    TDlgParameter flags;
    flags.Schnittstelle = flags.Handshake = flags.Baudrate = true;
    ASSERT_EQ(dialog.ExecuteDialog(flags, &record), platform::mrOk);
    EXPECT_EQ(record.Schnittstelle, Com__5);
  }
}

// OpenDialog on an open port: the changed baud rate, parity and port reach the port's record
// and its file, and the port is reopened with them; Cancel changes nothing.
TEST_F(V24DialogQt, OpenDialogStoresTheResultAndReopensTheOpenPort) {
  platform::SetSerialPortMap("");
  Silent peers[3];
  const int coms[] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) platform::RegisterLoopbackPort(coms[i], &peers[i]);
  const fs::path dir = fs::temp_directory_path() / ("v24dialog_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    comport_test::RecordingForm window;
    TComPort port(nullptr);
    port.StreamOn = true;
    port.SetNewConfigPath(dir.string().c_str());
    port.V24Dialog().Baudrate = port.V24Dialog().Paritaet = port.V24Dialog().Schnittstelle = true;
    ASSERT_NE(port.Open(&window, 0, 0, false), InvalidPortHandle);
    ASSERT_EQ(port.ComNumber(), 1);

    OnShow([&](TV24_Dialog& d) {
      EXPECT_EQ(Widget<QComboBox>(d, "Baudrate_Box")->currentText(), "4800");
      EXPECT_EQ(Widget<QComboBox>(d, "Schnittstellen_Box")->count(), 3) << "the port's own is listed";
      EXPECT_FALSE(Widget<QComboBox>(d, "StopBit_Box")->isEnabled());
      Widget<QComboBox>(d, "Baudrate_Box")->setCurrentIndex(4);       // 19200
      Widget<QComboBox>(d, "Paritaet_Box")->setCurrentIndex(2);       // gerade: Even
      Widget<QComboBox>(d, "Schnittstellen_Box")->setCurrentIndex(2); // COM3
      Click(d, "V24_Adjust_okay");
    });
    port.OpenDialog(nullptr);
    EXPECT_EQ(port.V24().Record.Baudrate, B_19200);
    EXPECT_EQ(port.V24().Record.Paritaet, Even);
    EXPECT_EQ(port.V24().Record.Schnittstelle, Com__3);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.ComNumber(), 3);
    const platform::LineSettings live = port.LoadV24Parameter();
    EXPECT_EQ(live.baud, 19200u);
    EXPECT_EQ(live.parity, platform::Parity::Even);
    std::ifstream f(dir / "ComData.cfg", std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(f), {}};
    ASSERT_EQ(bytes.size(), 48u);
    EXPECT_EQ(bytes[4], Even);
    EXPECT_EQ(bytes[12], B_19200);
    EXPECT_EQ(bytes[28], 2);

    OnShow([&](TV24_Dialog& d) {
      Widget<QComboBox>(d, "Baudrate_Box")->setCurrentIndex(0);
      Click(d, "V24_Adjust_cancel");
    });
    port.OpenDialog(nullptr);
    EXPECT_EQ(port.V24().Record.Baudrate, B_19200);
    EXPECT_EQ(port.ComNumber(), 3);
    port.Close();
  }
  for (int c : coms) platform::UnregisterLoopbackPort(c);
  platform::SetSerialPortMap(std::nullopt);
  fs::remove_all(dir);
}

}  // namespace
