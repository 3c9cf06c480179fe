// The real main window on Qt's offscreen platform: its widgets and menu, how the OK button,
// the pool timers and the receive threads' messages reach the handler chain, the language
// switch in a package folder, and a whole update against a simulated instrument.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SessionRig.h"
#include "platform/Files.h"
#include "platform/QtApplication.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "support/RunProgram.h"
#include "comport/Comport.h"
#include "update/Updatemain.h"

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// One QApplication for the whole run; each test puts its own backend object on top of it.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "window_qt_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

std::string ScreenshotPath(const std::string& name) {
  fs::create_directories(UPDATE_SCREENSHOT_DIR);
  return std::string(UPDATE_SCREENSHOT_DIR) + "/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

struct Recorder {
  struct Seen {
    kernel::Event ev;
    Steady::time_point at;
  };
  std::vector<Seen> events;
  kernel::Event Handle(kernel::EventQueue&, kernel::Event ev) {
    if (ev.kind == kernel::EvNone) return ev;
    events.push_back({ev, Steady::now()});
    return kernel::EventQueue::ConsumeEvent(ev);
  }
};

class QtWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "window_qt_tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<platform::QtApplication>(argc, argv);
    // A box that nobody answers would hold the test; every box is recorded instead.
    app->AutoAnswer = platform::BoxResult::Ok;
  }
  void TearDown() override { app.reset(); }

  // Runs the window's thread in real time until pred holds or the time is up.
  bool RunUntil(const std::function<bool()>& pred, int limitMs) {
    auto end = Steady::now() + std::chrono::milliseconds(limitMs);
    while (!pred()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
      if (left <= 0) return false;
      app->WaitMessage(static_cast<std::uint32_t>(std::min<long long>(left, 50)));
    }
    return true;
  }

  QMainWindow* Window(update::TUpdateForm& form) {
    auto* w = qobject_cast<QMainWindow*>(app->WindowOf(form));
    EXPECT_NE(w, nullptr);
    return w;
  }

  // The captions of the menu bar's entries, in order.
  static QStringList MenuBarTexts(QMainWindow* w) {
    QStringList texts;
    for (QAction* a : w->menuBar()->actions()) texts << a->text();
    return texts;
  }

  std::unique_ptr<platform::QtApplication> app;
};

// ---- the bare window ----

class BareQtWindow : public QtWindow {
 protected:
  static update::TUpdateForm::Options Bare() {
    update::TUpdateForm::Options o;
    o.bareWindow = true;
    return o;
  }
};

TEST_F(BareQtWindow, IsBuiltWithItsWidgetsAndMenu) {
  update::TUpdateForm form(Bare());
  QMainWindow* w = Window(form);
  ASSERT_NE(w, nullptr);
  form.Show();
  app->ProcessMessages();
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), U("Download :"));

  auto* ok = w->findChild<QPushButton*>("OkBitBtn");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), U("OK"));
  EXPECT_TRUE(ok->isVisible());
  EXPECT_EQ(ok->size(), QSize(75, 25));
  auto* group = w->findChild<QGroupBox*>("UpdateGroupBox");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), U("Ger\u00e4t"));
  auto* name = w->findChild<QLabel*>("NameLabel");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->parentWidget(), group);
  EXPECT_EQ(name->text(), U("Name:"));
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  ASSERT_NE(memo, nullptr);
  EXPECT_TRUE(memo->isReadOnly());
  auto* bar = w->findChild<QProgressBar*>("WaitProgressBar");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->maximum(), 40);
  // Hidden as built.
  for (const char* hidden : {"DLListBox", "SpeedButton1", "WaitPanel", "StopPanel", "InfoStaticText"}) {
    auto* h = w->findChild<QWidget*>(hidden);
    ASSERT_NE(h, nullptr) << hidden;
    EXPECT_FALSE(h->isVisible()) << hidden;
  }

  // The status bar along the bottom with its five panels; the last one takes the rest.
  auto* status = w->findChild<QWidget*>("UpdateStatusBar");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->geometry().bottom(), w->centralWidget()->height() - 1);
  const int widths[] = {200, 50, 50, 120, 80};
  int right = 0;
  for (int i = 0; i < 5; ++i) {
    auto* panel = status->findChild<QLabel*>(QStringLiteral("panel%1").arg(i));
    ASSERT_NE(panel, nullptr) << i;
    if (i < 4)
      EXPECT_EQ(panel->width(), widths[i]) << i;
    else
      EXPECT_GE(panel->width(), widths[i]);
    EXPECT_GE(panel->x(), right) << "panel " << i << " overlaps its left neighbour";
    right = panel->x() + panel->width();
  }
  EXPECT_LE(right, status->width());
  EXPECT_EQ(status->findChild<QLabel*>("panel0")->text(), U("Com X"));

  // The menu bar: three entries; items the package has not asked for stay hidden.
  EXPECT_EQ(MenuBarTexts(w), (QStringList{U("&Datei"), U("&Sprache"), U("&Hilfe")}));
  auto* programming = w->findChild<QAction*>("TGZ48Programming");
  ASSERT_NE(programming, nullptr);
  EXPECT_FALSE(programming->isVisible());
  auto* open = w->findChild<QAction*>("LoadProgFile");
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->text(), U("Programm-Datei \u00f6ffnen ..."));
  EXPECT_FALSE(open->isVisible());
  auto* english = w->findChild<QAction*>("Englisch");
  ASSERT_NE(english, nullptr);
  EXPECT_TRUE(english->isCheckable());
  auto* language = w->findChild<QMenu*>("Sprache");
  ASSERT_NE(language, nullptr);
  EXPECT_EQ(language->actions().size(), 2);
}

TEST_F(BareQtWindow, ClickingOkDeliversEnterAndLocksTheLanguageMenu) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  QMainWindow* w = Window(form);
  ASSERT_NE(w, nullptr);
  form.Show();
  auto* ok = w->findChild<QPushButton*>("OkBitBtn");
  ASSERT_NE(ok, nullptr);
  ok->click();
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].ev.kind, kernel::EvKey);
  EXPECT_EQ(r.events[0].ev.code, 13);
  auto* language = w->findChild<QAction*>("Sprache");
  ASSERT_NE(language, nullptr);
  EXPECT_FALSE(language->isEnabled());
}

TEST_F(BareQtWindow, PoolTimerReachesItsOwnerInRealTime) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  form.Show();
  auto started = Steady::now();
  std::int32_t index = form.Timers().StartTimer(50);
  ASSERT_GE(index, 1);
  ASSERT_TRUE(RunUntil([&] { return r.events.size() >= 3; }, 3000)) << r.events.size();
  for (const auto& seen : r.events) {
    EXPECT_EQ(seen.ev.kind, kernel::EvTimer);
    EXPECT_EQ(seen.ev.code, index);
  }
  auto first = std::chrono::duration_cast<std::chrono::milliseconds>(r.events[0].at - started).count();
  EXPECT_GE(first, 45) << "expired before its interval";
  EXPECT_EQ(form.Timers().StopTimer(index), 0);
  std::size_t seen = r.events.size();
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(r.events.size(), seen) << "a stopped timer posts nothing";
}

TEST_F(BareQtWindow, DataMessageFromAnotherThreadArrivesAsNotification) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  form.Show();
  std::thread t([&] { platform::App().PostMessage(&form, comport::V24MsgRxData, 7, 0); });
  t.join();
  EXPECT_TRUE(r.events.empty()) << "delivered on the window's thread, not the poster's";
  ASSERT_TRUE(RunUntil([&] { return !r.events.empty(); }, 2000));
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].ev.kind, kernel::EvNotify);
  EXPECT_EQ(r.events[0].ev.code, 10000);
  EXPECT_EQ(r.events[0].ev.payload, 7);
}

// The window's thread held for 8 s by a wait without messages, as the loaders hold it before
// their first frame: the window goes on painting with its last progress and title, while the
// receive thread's message and the pool timer wait and come afterwards, message first.
TEST_F(BareQtWindow, EightSecondWaitWithoutMessagesKeepsPaintingAndHoldsTheMessages) {
  update::TUpdateForm form(Bare());
  Recorder r;
  form.Queue().AddHandler(kernel::Bind<&Recorder::Handle>(), &r);
  QMainWindow* w = Window(form);
  ASSERT_NE(w, nullptr);
  form.Show();
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  auto* bar = w->findChild<QProgressBar*>("WaitProgressBar");
  ASSERT_TRUE(memo && bar);
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  memo->viewport()->installEventFilter(&counter);
  bar->installEventFilter(&counter);
  form.WaitProgressBar->SetPosition(17);
  form.SetTitleProgress("", 42.5f);
  app->ProcessMessages();
  const QString title = w->windowTitle();
  EXPECT_EQ(title, U("Update [ 42.5 %] \u2013 Download :"));

  // The desktop exposes the window again and again (another window moved over it).
  QTimer expose;
  QObject::connect(&expose, &QTimer::timeout, w, [memo, bar] {
    memo->viewport()->update();
    bar->update();
  });
  expose.start(100);
  int paintsDuringWait = -1;
  QTimer::singleShot(7800, Qt::PreciseTimer, w, [&] { paintsDuringWait = counter.paints; });
  const std::int32_t timer = form.Timers().StartTimer(1000);
  std::thread line([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    platform::App().PostMessage(&form, comport::V24MsgRxData, 5, 0);
  });
  const int paintsBefore = counter.paints;
  const auto start = Steady::now();
  form.wait.DelayTime(8000, false);
  const auto waited = Steady::now() - start;
  line.join();
  expose.stop();

  EXPECT_GE(waited, std::chrono::milliseconds(8000));
  EXPECT_LT(waited, std::chrono::milliseconds(9000));
  EXPECT_TRUE(r.events.empty()) << "dispatched during the wait: kind " << r.events.front().ev.kind;
  EXPECT_GE(paintsDuringWait - paintsBefore, 40) << "the window stopped painting";
  EXPECT_EQ(bar->value(), 17);
  EXPECT_EQ(w->windowTitle(), title);

  ASSERT_TRUE(RunUntil([&] { return r.events.size() >= 2; }, 3000));
  EXPECT_EQ(r.events[0].ev.kind, kernel::EvNotify);
  EXPECT_EQ(r.events[0].ev.payload, 5);
  EXPECT_EQ(r.events[1].ev.kind, kernel::EvTimer);
  EXPECT_EQ(r.events[1].ev.code, timer);
  EXPECT_LT(r.events[1].at - r.events[0].at, std::chrono::milliseconds(500))
      << "the timer that fell due during the wait fires at once after it, once";
  form.Timers().StopTimer(timer);
}

TEST_F(BareQtWindow, LayoutFollowsResizingAndPanelsSayWhatTheyShow) {
  update::TUpdateForm form(Bare());
  QMainWindow* w = Window(form);
  ASSERT_NE(w, nullptr);
  form.Show();
  app->ProcessMessages();
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  auto* bar = w->findChild<QProgressBar*>("WaitProgressBar");
  auto* group = w->findChild<QGroupBox*>("UpdateGroupBox");
  auto* name = w->findChild<QLabel*>("NameStaticText");
  auto* ok = w->findChild<QPushButton*>("OkBitBtn");
  auto* status = w->findChild<QWidget*>("UpdateStatusBar");
  ASSERT_TRUE(memo && bar && group && name && ok && status);
  const QRect memo0 = memo->geometry(), bar0 = bar->geometry();
  const QPoint ok0 = ok->mapTo(w, QPoint(0, 0));

  w->resize(w->width() + 300, w->height() + 200);
  app->ProcessMessages();
  const QSize client = w->centralWidget()->size();
  ASSERT_EQ(client, QSize(847, 694));
  EXPECT_EQ(memo->geometry(), memo0.adjusted(0, 0, 300, 200)) << "the memo takes the extra room";
  EXPECT_EQ(bar->geometry(), bar0.translated(0, 200).adjusted(0, 0, 300, 0));
  EXPECT_EQ(group->width(), 531 + 300);
  EXPECT_EQ(name->width(), 408 + 300);
  EXPECT_EQ(status->geometry().bottom(), client.height() - 1) << "the status bar stays at the bottom";
  EXPECT_EQ(ok->mapTo(w, QPoint(0, 0)), ok0 + QPoint(150, 200)) << "OK stays centred below the log";
  // Top to bottom as designed: group box, log, progress bar, buttons, status bar.
  EXPECT_LT(group->geometry().bottom(), memo->geometry().top());
  EXPECT_LT(memo->geometry().bottom(), bar->geometry().top());
  EXPECT_LT(bar->mapTo(w, QPoint(0, bar->height())).y(), ok->mapTo(w, QPoint(0, 0)).y());
  EXPECT_LT(ok->mapTo(w, QPoint(0, ok->height())).y(), status->mapTo(w, QPoint(0, 0)).y());

  // Every status panel says what it shows, in the window's language; the texts fit.
  form.UpdateStatusBar->SetPanelText(2, "BL-Baud");
  form.UpdateStatusBar->SetPanelText(4, "Update [beendet]");
  for (int i = 0; i < 5; ++i) {
    auto* panel = status->findChild<QLabel*>(QStringLiteral("panel%1").arg(i));
    ASSERT_NE(panel, nullptr);
    EXPECT_FALSE(panel->toolTip().isEmpty()) << i;
    EXPECT_GE(panel->width(), panel->fontMetrics().horizontalAdvance(panel->text()) + 2 * panel->frameWidth())
        << "panel " << i << " cuts \"" << panel->text().toStdString() << "\"";
  }
  EXPECT_EQ(status->findChild<QLabel*>("panel2")->toolTip(), U("\u00dcbertragungsrate in Baud (BL-Baud: die des Bootloaders)"));
}

// ---- the window in a package folder ----

class PackageWindow : public QtWindow {
 protected:
  void SetUp() override {
    QtWindow::SetUp();
    // No real serial device is touched: only the ports a test registers exist.
    platform::SetSerialPortMap(std::string());
    folder = testsupport::MakeTempDir("window");
    fs::copy(testsupport::SourcePath("package"), folder, fs::copy_options::recursive);
    previous = platform::files::CurrentFolder();
    platform::files::SetCurrentFolder(folder);
  }
  void TearDown() override {
    form.reset();
    for (int com : registered) platform::UnregisterLoopbackPort(com);
    platform::SetSerialPortMap(std::nullopt);
    platform::files::SetCurrentFolder(previous);
    QtWindow::TearDown();
  }

  update::TUpdateForm& Start() {
    update::TUpdateForm::Options o;
    o.programFolder = folder;
    form = std::make_unique<update::TUpdateForm>(o);
    form->Show();
    app->ProcessMessages();
    return *form;
  }

  // The sample package's instrument, one version behind, on COM 2; nothing on COM 1.
  sim::Instrument& ConnectInstrument() {
    sim::InstrumentConfig c;
    c.baud = 9600;
    c.version = "1.01";
    c.device = "28160.000";
    c.serial = "14210045";
    c.loader.version = 0x0160;
    instrument = std::make_unique<sim::Instrument>(c);
    std::string error;
    EXPECT_TRUE(instrument->LoadFirmware(
        ReadFile(testsupport::SourcePath("tests/loaders/fixtures/FW_DEMO_101.TXT")), &error))
        << error;
    platform::RegisterLoopbackPort(1, &nothing);
    platform::RegisterLoopbackPort(2, instrument.get());
    registered = {1, 2};
    return *instrument;
  }

  void SetLanguage(int language) {
    std::string ini = ReadFile(folder + "/Update.ini");
    ini.replace(ini.find("Language=") + 9, 1, std::to_string(language));
    WriteFile(folder + "/Update.ini", ini);
  }

  // The package folder's files and their contents.
  std::map<std::string, std::string> FolderContents() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
      if (e.is_regular_file()) files[e.path().string()] = ReadFile(e.path().string());
    return files;
  }

  // The window at its designed size and maximised. The window system's events are handled
  // in a hold, so that a screenshot in the middle of a run does not run the program's own
  // messages out of turn.
  void Screenshots(const std::string& name) {
    QMainWindow* w = Window(*form);
    ASSERT_NE(w, nullptr);
    app->Sleep(100);
    EXPECT_TRUE(app->SaveScreenshot(*form, ScreenshotPath(name + "_default.png")));
    const QSize normal = w->size();
    w->showMaximized();
    app->Sleep(200);
    EXPECT_GT(w->width(), normal.width()) << "not maximised";
    EXPECT_TRUE(app->SaveScreenshot(*form, ScreenshotPath(name + "_maximised.png")));
    w->showNormal();
    w->resize(normal);
    app->Sleep(200);
  }

  bool Ended(update::TUpdateForm& f) {
    using O = update::TUpdateForm::Outcome;
    return f.Closed() || f.SessionOver() || f.SessionOutcome() == O::Failed || f.SessionOutcome() == O::Refused;
  }

  std::string folder, previous;
  std::vector<int> registered;
  sessiontest::NothingConnected nothing;
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<update::TUpdateForm> form;
};

// Follows a running update from inside the procedure, through the title progress it reports:
// records the window's title each time, and at the given progress queues an action for the
// procedure's next pass of window messages, as a user's action would come.
class ProgrammingWatch {
 public:
  ProgrammingWatch(platform::QtApplication& app, update::TUpdateForm& form, QMainWindow* window)
      : form_(form), window_(window) {
    app.OnTitleChanged = [this](const std::string& title) { Look(title); };
  }
  void At(int percent, std::function<void()> act) { actions_.emplace(percent, std::move(act)); }
  // The application titles and the window titles shown with them, while a procedure ran.
  const std::vector<std::pair<std::string, QString>>& Titles() const { return titles_; }

 private:
  void Look(const std::string& title) {
    if (!form_.ProgrammingInProgress()) return;
    titles_.emplace_back(title, window_->windowTitle());
    const auto* bar = form_.WaitProgressBar;
    const int percent = bar->Max() > 0 ? bar->Position() * 100 / bar->Max() : 0;
    while (!actions_.empty() && actions_.begin()->first <= percent) {
      QMetaObject::invokeMethod(window_, std::move(actions_.begin()->second), Qt::QueuedConnection);
      actions_.erase(actions_.begin());
    }
  }

  update::TUpdateForm& form_;
  QMainWindow* window_;
  std::multimap<int, std::function<void()>> actions_;
  std::vector<std::pair<std::string, QString>> titles_;
};

// The percentage of an application title "Update [ 45.0 %]", or -1.
double TitlePercent(const std::string& title) {
  if (title.rfind("Update [ ", 0) != 0 || title.find(" %]") == std::string::npos) return -1;
  return std::stod(title.substr(9));
}

TEST_F(PackageWindow, EnglishAtStartThenGermanFromTheLanguageMenu) {
  // English configured, and a line too many that the rewrite must drop.
  WriteFile(folder + "/Update.ini",
            "Language=1\r\nVersion=1.02\r\nBaud=2,3,4,1,0\r\nCom=\r\nException=\r\nExtra=1\r\n");
  update::TUpdateForm& f = Start();
  ASSERT_FALSE(f.StartupFailed());
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  auto* group = w->findChild<QGroupBox*>("UpdateGroupBox");
  auto* serial = w->findChild<QLabel*>("SerLabel");
  auto* pcb = w->findChild<QLabel*>("PCBLabel");
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  auto* german = w->findChild<QAction*>("Deutsch");
  auto* english = w->findChild<QAction*>("Englisch");
  auto* exit = w->findChild<QAction*>("UpdateEnd");
  auto* panel0 = w->findChild<QLabel*>("panel0");
  ASSERT_TRUE(group && serial && pcb && memo && german && english && exit && panel0);

  // Texts from "Update.Eng".
  EXPECT_EQ(w->windowTitle(), U("Firmware download :"));
  EXPECT_EQ(MenuBarTexts(w), (QStringList{U("&File"), U("&Language"), U("&Help")}));
  EXPECT_EQ(group->title(), U("Instrument"));
  EXPECT_EQ(serial->text(), U("Serial number:"));
  EXPECT_EQ(pcb->text(), U("PCB number :"));
  EXPECT_EQ(exit->text(), U("E&xit"));
  EXPECT_EQ(german->text(), U("&German"));
  EXPECT_TRUE(english->isChecked());
  EXPECT_FALSE(german->isChecked());
  EXPECT_TRUE(memo->toPlainText().startsWith(U("Firmware update 1.02 for Oxi 3310 DEMO")))
      << memo->toPlainText().toStdString();
  EXPECT_EQ(panel0->text(), QString()) << "no ports: the port panel is empty";
  // The package's firmware file reached the (hidden) download list, by its name alone.
  auto* list = w->findChild<QListWidget*>("DLListBox");
  ASSERT_NE(list, nullptr);
  QStringList listed;
  for (int i = 0; i < list->count(); ++i) listed << list->item(i)->text();
  EXPECT_TRUE(listed.contains(U("FW_DEMO"))) << listed.join(U(",")).toStdString();
  ASSERT_TRUE(app->SaveScreenshot(f, ScreenshotPath("window_english.png")));

  german->trigger();
  app->ProcessMessages();
  EXPECT_EQ(w->windowTitle(), U("Download :"));
  EXPECT_EQ(MenuBarTexts(w), (QStringList{U("&Datei"), U("&Sprache"), U("&Hilfe")}));
  EXPECT_EQ(group->title(), U("Ger\u00e4t"));
  EXPECT_EQ(serial->text(), U("Seriennummer:"));
  EXPECT_EQ(pcb->text(), U("PCB Nummer :"));
  EXPECT_EQ(exit->text(), U("&Beenden"));
  EXPECT_TRUE(german->isChecked());
  EXPECT_FALSE(english->isChecked());
  EXPECT_EQ(f.Language(), 0);
  EXPECT_TRUE(memo->toPlainText().startsWith(U("Firmware-Update 1.02 f\u00fcr Oxi 3310 DEMO")))
      << memo->toPlainText().toStdString();
  EXPECT_FALSE(memo->toPlainText().contains(U("Firmware update"))) << "the memo starts afresh";
  // The long German line wraps inside the memo instead of running off to the right.
  EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0);
  ASSERT_TRUE(app->SaveScreenshot(f, ScreenshotPath("window_german.png")));

  std::vector<std::string> ini = CrLfLines(ReadFile(folder + "/Update.ini"));
  EXPECT_EQ(ini, (std::vector<std::string>{"Language=0", "Version=1.02", "Baud=2,3,4,1,0", "Com=",
                                           "Exception="}));
  EXPECT_TRUE(app->Boxes().empty()) << app->Boxes().front().text;
}

TEST_F(PackageWindow, OkRunsAWholeUpdateOfASimulatedInstrument) {
  sim::InstrumentConfig c;
  c.baud = 9600;
  c.version = "1.01";
  c.device = "28160.000";
  c.serial = "14210045";
  c.loader.version = 0x0160;
  sim::Instrument instrument(c);
  std::string error;
  ASSERT_TRUE(instrument.LoadFirmware(ReadFile(testsupport::SourcePath("tests/loaders/fixtures/FW_DEMO_101.TXT")),
                                      &error))
      << error;
  const std::string image = ReadFile(folder + "/FW_DEMO.TXT");
  ASSERT_FALSE(image.empty());
  std::string why;
  ASSERT_FALSE(sessiontest::FlashEqualsImage(instrument, image, &why)) << "starts one version behind";

  // The instrument on COM 2, nothing on COM 1.
  sessiontest::NothingConnected nothing;
  platform::RegisterLoopbackPort(1, &nothing);
  platform::RegisterLoopbackPort(2, &instrument);
  registered = {1, 2};

  update::TUpdateForm& f = Start();
  ASSERT_FALSE(f.StartupFailed());
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  auto* ok = w->findChild<QPushButton*>("OkBitBtn");
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  ASSERT_TRUE(ok && memo);

  auto started = Steady::now();
  ok->click();
  bool ended = RunUntil(
      [&] {
        return f.Closed() || f.SessionOver() || f.SessionOutcome() == update::TUpdateForm::Outcome::Failed ||
               f.SessionOutcome() == update::TUpdateForm::Outcome::Refused;
      },
      120000 - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - started).count()));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - started).count();
  app->ProcessMessages();
  ASSERT_TRUE(app->SaveScreenshot(f, ScreenshotPath("window_success.png")));
  ASSERT_TRUE(ended) << "no end within 120 s";
  EXPECT_LE(seconds, 120);
  EXPECT_TRUE(f.SessionSucceeded()) << "procedure error " << f.LastProcedureError();
  EXPECT_TRUE(memo->toPlainText().contains(U("Download successfully completed !")))
      << memo->toPlainText().toStdString();
  EXPECT_TRUE(sessiontest::FlashEqualsImage(instrument, image, &why)) << why;
  EXPECT_EQ(instrument.Version(), "1.02");
  EXPECT_EQ(w->findChild<QLabel*>("panel1")->text(), U("Com2"));
  EXPECT_TRUE(app->Boxes().empty()) << app->Boxes().front().text;
  if (HasFailure())
    for (const auto& e : instrument.Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
  std::printf("  whole update in %lld s\n", static_cast<long long>(seconds));
}

// Closing the window in the middle of the programming asks first; No keeps programming to
// the success text. The German run also leaves its screenshots, and the window title shows
// the progress throughout.
TEST_F(PackageWindow, CloseDuringProgrammingAsksAndNoKeepsProgramming) {
  SetLanguage(0);
  sim::Instrument& sim = ConnectInstrument();
  const auto before = FolderContents();
  update::TUpdateForm& f = Start();
  ASSERT_FALSE(f.StartupFailed());
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  Screenshots("window_de_start");

  ProgrammingWatch watch(*app, f, w);
  bool asked = false;
  watch.At(30, [&] { Screenshots("window_de_mid"); });
  watch.At(50, [&] {
    app->QueueAnswer(platform::BoxResult::No);
    asked = true;
    w->close();  // the title bar's close button, or Alt+F4
  });
  f.OkBitBtn->Click();
  ASSERT_TRUE(RunUntil([&] { return Ended(f); }, 120000)) << "no end within 120 s";
  ASSERT_TRUE(asked) << "the programming was never seen at 50 %";
  Screenshots("window_de_end");

  EXPECT_FALSE(f.Closed());
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(f.SessionSucceeded()) << "procedure error " << f.LastProcedureError();
  std::string why;
  EXPECT_TRUE(sessiontest::FlashEqualsImage(sim, ReadFile(folder + "/FW_DEMO.TXT"), &why)) << why;
  ASSERT_EQ(app->Boxes().size(), 1u);
  const platform::BoxRecord& question = app->Boxes()[0];
  EXPECT_EQ(question.buttons, platform::BoxButtons::YesNo);
  EXPECT_EQ(question.answer, platform::BoxResult::No);
  EXPECT_NE(question.text.find("Das Ger\xE4t wird gerade programmiert."), std::string::npos) << question.text;
  EXPECT_NE(question.text.find("Boot-Modus"), std::string::npos) << question.text;
  EXPECT_NE(question.text.find("Trotzdem beenden?"), std::string::npos) << question.text;
  auto* memo = w->findChild<QPlainTextEdit*>("UpdateMemo");
  EXPECT_TRUE(memo->toPlainText().contains(U("Download erfolgreich ausgef\u00fchrt !")));
  EXPECT_EQ(w->windowTitle(), U("Update [beendet] \u2013 Download :"));

  // The window's title carried the progress while the instrument was programmed.
  int midway = 0;
  for (const auto& [title, shown] : watch.Titles()) {
    EXPECT_EQ(shown, QString::fromStdString(title) + U(" \u2013 Download :"));
    const double percent = TitlePercent(title);
    if (percent > 0 && percent < 100) ++midway;
  }
  EXPECT_GT(midway, 5) << watch.Titles().size() << " titles";
  // The run wrote nothing into the package (the language was not changed).
  EXPECT_EQ(FolderContents(), before);
}

TEST_F(PackageWindow, YesClosesDuringProgrammingAndLeavesTheInstrumentInItsLoader) {
  sim::Instrument& sim = ConnectInstrument();
  update::TUpdateForm& f = Start();
  ASSERT_FALSE(f.StartupFailed());
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  ProgrammingWatch watch(*app, f, w);
  bool asked = false;
  Steady::time_point closedAt;
  watch.At(20, [&] {
    app->QueueAnswer(platform::BoxResult::Yes);
    asked = true;
    closedAt = Steady::now();
    w->close();
  });
  f.OkBitBtn->Click();
  ASSERT_TRUE(RunUntil([&] { return f.Closed(); }, 120000));
  ASSERT_TRUE(asked);
  // The run below the close ends soon, without further boxes.
  EXPECT_FALSE(f.ProgrammingInProgress());
  EXPECT_LT(Steady::now() - closedAt, std::chrono::seconds(5));
  EXPECT_FALSE(w->isVisible());
  ASSERT_EQ(app->Boxes().size(), 1u) << app->Boxes().back().text;
  EXPECT_NE(app->Boxes()[0].text.find("The instrument is being programmed."), std::string::npos);
  EXPECT_NE(app->Boxes()[0].text.find("Close anyway?"), std::string::npos);
  EXPECT_TRUE(f.StopPanel->Visible());
  for (comport::TComPort* port : f.PortTable) EXPECT_EQ(port, nullptr);
  EXPECT_FALSE(f.UpdateCom->IsOpen());
  EXPECT_EQ(sim.GetState(), sim::Instrument::State::Loader) << sim::StateName(sim.GetState());
  std::string why;
  EXPECT_FALSE(sessiontest::FlashEqualsImage(sim, ReadFile(folder + "/FW_DEMO.TXT"), &why));
}

TEST_F(PackageWindow, ClosingWhenIdleClosesAtOnce) {
  update::TUpdateForm& f = Start();
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  w->close();
  EXPECT_TRUE(f.Closed());
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(app->Boxes().empty());
}

// The English run: the title carries the progress, and the screenshots of the English window.
TEST_F(PackageWindow, TitleCarriesTheProgressOfAnEnglishRun) {
  sim::Instrument& sim = ConnectInstrument();
  update::TUpdateForm& f = Start();
  ASSERT_FALSE(f.StartupFailed());
  QMainWindow* w = Window(f);
  ASSERT_NE(w, nullptr);
  Screenshots("window_en_start");
  EXPECT_EQ(w->windowTitle(), U("Firmware download :"));
  ProgrammingWatch watch(*app, f, w);
  watch.At(40, [&] { Screenshots("window_en_mid"); });
  f.OkBitBtn->Click();
  ASSERT_TRUE(RunUntil([&] { return Ended(f); }, 120000));
  Screenshots("window_en_end");
  EXPECT_TRUE(f.SessionSucceeded());
  std::string why;
  EXPECT_TRUE(sessiontest::FlashEqualsImage(sim, ReadFile(folder + "/FW_DEMO.TXT"), &why)) << why;
  // "Update" as the procedure starts, percentages up to 100.0 while it runs, each shown in
  // front of the window's caption at once; the end stays in the title.
  ASSERT_GE(watch.Titles().size(), 3u);
  EXPECT_EQ(watch.Titles().front().first, "Update");
  int midway = 0;
  bool full = false;
  for (const auto& [title, shown] : watch.Titles()) {
    EXPECT_EQ(shown, QString::fromStdString(title) + U(" \u2013 Firmware download :"));
    const double percent = TitlePercent(title);
    if (percent > 0 && percent < 100) ++midway;
    full = full || percent == 100.0;
  }
  EXPECT_GT(midway, 5);
  EXPECT_TRUE(full);
  EXPECT_EQ(w->windowTitle(), U("Update [ready] \u2013 Firmware download :"));
  EXPECT_EQ(app->Title(), "Update [ready]");
  EXPECT_TRUE(app->Boxes().empty());
}

}  // namespace
