// The Qt backend on the offscreen platform: widgets follow the components, user actions reach
// the handlers, and messages, timers and waits behave as the window thread expects.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/QtApplication.h"

using namespace platform;
using Steady = std::chrono::steady_clock;

namespace {

// One QApplication for the whole run; each test gets its own backend object on top of it.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "qt_backend_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] auto* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Posted {
  std::uint32_t message;
  std::intptr_t wparam, lparam;
};

class TestForm : public Form {
 public:
  TestForm() : Form(nullptr, "TestForm") {
    SetCaption("Download :");
    SetBounds(0, 0, 300, 200);
    KeyPreview = true;
    label = new Label(this, this, "NameLabel");
    label->SetBounds(10, 10, 100, 20);
    label->SetCaption("Name:");
    keyPanel = new Panel(this, this, "KeyPanel");
    keyPanel->SetAlign(Align::Bottom);
    keyPanel->SetBounds(0, 141, 300, 40);
    ok = new BitBtn(this, keyPanel, "OkBitBtn");
    ok->SetBounds(10, 5, 80, 30);
    ok->SetCaption("&OK");
    memo = new Memo(this, this, "UpdateMemo");
    memo->SetBounds(10, 40, 280, 80);
    list = new ListBox(this, this, "DLListBox");
    list->SetBounds(200, 10, 90, 25);
    progress = new ProgressBar(this, this, "WaitProgressBar");
    progress->SetBounds(10, 125, 280, 12);
    status = new StatusBar(this, this, "UpdateStatusBar");
    status->SetBounds(0, 181, 300, 19);
    status->AddPanel(100, "Com X");
    status->AddPanel(50);
    status->AddPanel(80);
    menu = new MainMenu(this, "MainMenu1");
    Menu = menu;
    file = new MenuItem(this, &menu->Root(), "Bearbeiten", "&Datei");
    sub = new MenuItem(this, file, "TGZ48Programming", "&Programmieren");
    subItem = new MenuItem(this, sub, "LabXXX", "Lab XXX");
    language = new MenuItem(this, &menu->Root(), "Sprache", "&Sprache");
    german = new MenuItem(this, language, "Deutsch", "&Deutsch");
    english = new MenuItem(this, language, "Englisch", "&Englisch");
    for (MenuItem* m : {german, english}) {
      m->RadioItem = true;
      m->GroupIndex = 1;
      m->OnClick = [this](Component* sender) {
        ++languageClicks;
        static_cast<MenuItem*>(sender)->SetChecked(true);
      };
    }
    german->SetChecked(true);
    // A radio item whose handler does not check it must stay unchecked.
    lazy = new MenuItem(this, language, "Lazy", "Lazy");
    lazy->RadioItem = true;
    lazy->GroupIndex = 2;
    lazy->OnClick = [this](Component*) { ++languageClicks; };
  }

  void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) override {
    received.push_back({message, wparam, lparam});
  }

  Label* label;
  Panel* keyPanel;
  BitBtn* ok;
  Memo* memo;
  ListBox* list;
  ProgressBar* progress;
  StatusBar* status;
  MainMenu* menu;
  MenuItem *file, *sub, *subItem, *language, *german, *english, *lazy;
  int languageClicks = 0;
  std::vector<Posted> received;
};

class QtBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = std::make_unique<QtApplication>(argc_, argv_);
    form_ = std::make_unique<TestForm>();
    app_->FormCreated(*form_);
    window_ = qobject_cast<QMainWindow*>(app_->WindowOf(*form_));
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    form_.reset();
    app_.reset();
  }

  template <typename T>
  T* Find(const char* name) {
    T* w = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QAction* ActionNamed(const QString& text) {
    for (QAction* a : window_->findChildren<QAction*>())
      if (a->text() == text) return a;
    ADD_FAILURE() << text.toStdString();
    return nullptr;
  }
  // Runs the window's thread until pred holds or ms pass.
  bool PumpUntil(const std::function<bool()>& pred, int ms = 3000) {
    auto end = Steady::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
      if (Steady::now() >= end) return false;
      app_->ProcessMessages();
      if (pred()) break;
      app_->WaitMessage(20);
    }
    return true;
  }
  // Calls act on the modal dialog of type T as soon as it shows (the box itself blocks).
  template <typename T>
  void WhenModal(std::function<void(T*)> act) {
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act, tries] {
      if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
        poll->stop();
        poll->deleteLater();
        act(dialog);
        // A dialog that did not close as told would block the test for good.
        QTimer::singleShot(5000, [guard = QPointer<T>(dialog)] {
          if (!guard || !guard->isVisible()) return;
          ADD_FAILURE() << "the dialog stayed open";
          QMetaObject::invokeMethod(guard.data(), "reject");
        });
      } else if (++*tries > 250) {
        poll->stop();
        ADD_FAILURE() << "no modal dialog showed";
      }
    });
    poll->start(20);
  }

  int argc_ = 1;
  char name_[8] = "qt_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QtApplication> app_;
  std::unique_ptr<TestForm> form_;
  QMainWindow* window_ = nullptr;
};

TEST_F(QtBackend, ButtonClickRunsOnClickOnlyWhileUsable) {
  int clicks = 0;
  form_->ok->OnClick = [&](Component* sender) {
    EXPECT_EQ(sender, form_->ok);
    ++clicks;
  };
  auto* button = Find<QPushButton>("OkBitBtn");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), QString("&OK"));
  button->click();
  EXPECT_EQ(clicks, 1);

  form_->ok->SetEnabled(false);
  EXPECT_FALSE(button->isEnabled());
  button->click();
  EXPECT_EQ(clicks, 1);

  form_->ok->SetEnabled(true);
  form_->keyPanel->SetVisible(false);
  EXPECT_FALSE(button->isVisibleTo(window_));
  form_->ok->Click();
  EXPECT_EQ(clicks, 1);
}

TEST_F(QtBackend, PropertiesReachTheWidgets) {
  auto* label = Find<QLabel>("NameLabel");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(), QString("Name:"));
  EXPECT_EQ(window_->windowTitle(), QString("Download :"));

  // Windows-1252 bytes arrive as their characters; a label draws "&&" as one ampersand.
  form_->label->SetCaption("Gr\xFC\xDF" "e && Ger\xE4t \x80");
  EXPECT_EQ(label->text(), QString::fromUtf8("Grüße & Gerät €"));
  form_->label->SetCaption("eins\r\nzwei\rdrei");
  EXPECT_EQ(label->text(), QString("eins\nzwei\ndrei"));
  form_->label->SetHint("Hinweis \xFC");
  EXPECT_EQ(label->toolTip(), QString::fromUtf8("Hinweis ü"));

  form_->label->SetVisible(false);
  EXPECT_TRUE(label->isHidden());
  form_->label->SetVisible(true);
  EXPECT_FALSE(label->isHidden());
  form_->label->SetEnabled(false);
  EXPECT_FALSE(label->isEnabled());

  form_->SetCaption("Download : M\xFC");
  EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("Download : Mü"));

  form_->label->SetFont({32, true, 0x0000FF});
  EXPECT_EQ(label->font().pixelSize(), 32);
  EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));

  auto* bar = Find<QProgressBar>("WaitProgressBar");
  ASSERT_NE(bar, nullptr);
  form_->progress->SetMax(40);
  form_->progress->SetPosition(10);
  EXPECT_EQ(bar->maximum(), 40);
  EXPECT_EQ(bar->value(), 10);
  form_->progress->SetPosition(100);
  EXPECT_EQ(bar->value(), 40);
}

TEST_F(QtBackend, GeometryFollowsBoundsAndAlignment) {
  EXPECT_EQ(window_->centralWidget()->size(), QSize(300, 200));
  auto* label = Find<QLabel>("NameLabel");
  auto* panel = Find<QLabel>("KeyPanel");
  auto* button = Find<QPushButton>("OkBitBtn");
  auto* status = Find<QWidget>("UpdateStatusBar");
  ASSERT_TRUE(label && panel && button && status);
  EXPECT_EQ(label->geometry(), QRect(10, 10, 100, 20));
  // The status bar at the very bottom, the bottom panel above it, the button inside it.
  EXPECT_EQ(status->geometry(), QRect(0, 181, 300, 19));
  EXPECT_EQ(panel->geometry(), QRect(0, 141, 300, 40));
  EXPECT_EQ(button->parentWidget(), panel);
  EXPECT_EQ(button->geometry(), QRect(10, 5, 80, 30));

  form_->label->SetBounds(20, 30, 50, 15);
  EXPECT_EQ(label->geometry(), QRect(20, 30, 50, 15));
  // A hidden status bar gives its room to the panel.
  form_->status->SetVisible(false);
  EXPECT_EQ(panel->geometry(), QRect(0, 160, 300, 40));
}

TEST_F(QtBackend, MemoAndListShowTheirLines) {
  form_->Show();
  auto* memo = Find<QPlainTextEdit>("UpdateMemo");
  ASSERT_NE(memo, nullptr);
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  form_->memo->Add("eins\r\nzwei");
  form_->memo->Add("dr\xFC");
  EXPECT_EQ(memo->toPlainText(), QString::fromUtf8("eins\nzwei\ndrü"));
  form_->memo->Clear();
  EXPECT_EQ(memo->toPlainText(), QString());
  for (int i = 0; i < 60; ++i) form_->memo->Add("Zeile " + std::to_string(i));
  app_->ProcessMessages();
  EXPECT_EQ(memo->document()->blockCount(), 60);
  QScrollBar* scroll = memo->verticalScrollBar();
  EXPECT_GT(scroll->maximum(), 0);
  EXPECT_EQ(scroll->value(), scroll->maximum());

  auto* list = Find<QListWidget>("DLListBox");
  ASSERT_NE(list, nullptr);
  form_->list->Add("ABC");
  form_->list->Add("DEF");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(1)->text(), QString("DEF"));
  form_->list->Clear();
  EXPECT_EQ(list->count(), 0);
}

TEST_F(QtBackend, StatusPanelsHaveTheirWidthsTextsAndHints) {
  auto* p0 = Find<QLabel>("panel0");
  auto* p1 = Find<QLabel>("panel1");
  auto* p2 = Find<QLabel>("panel2");
  ASSERT_TRUE(p0 && p1 && p2);
  EXPECT_EQ(p0->text(), QString("Com X"));
  EXPECT_EQ(p0->width(), 100);
  EXPECT_EQ(p1->width(), 50);
  form_->status->SetPanelText(1, "Com3");
  form_->status->SetPanelHint(0, "COM3 = /dev/pts/4");
  EXPECT_EQ(p1->text(), QString("Com3"));
  EXPECT_EQ(p0->toolTip(), QString("COM3 = /dev/pts/4"));
  form_->status->SetPanelText(2, "Update [beendet]");
  form_->status->Repaint();
  EXPECT_EQ(p2->text(), QString("Update [beendet]"));
  // A text longer than the panel widens it rather than being cut.
  form_->status->SetPanelText(1, "BL-Baud 115200");
  EXPECT_GE(p1->width(), p1->sizeHint().width());
  EXPECT_GT(p1->width(), 50);
  form_->status->SetPanelText(1, "");
  EXPECT_EQ(p1->width(), 50);
}

TEST_F(QtBackend, MenuActionsClickTheirItemsAndKeepRadioGroupsExclusive) {
  QAction* german = ActionNamed("&Deutsch");
  QAction* english = ActionNamed("&Englisch");
  QAction* lazy = ActionNamed("Lazy");
  ASSERT_TRUE(german && english && lazy);
  ASSERT_EQ(window_->menuBar()->actions().size(), 2);
  EXPECT_TRUE(german->isChecked());
  EXPECT_FALSE(english->isChecked());

  english->trigger();
  EXPECT_EQ(form_->languageClicks, 1);
  EXPECT_TRUE(form_->english->Checked());
  EXPECT_FALSE(form_->german->Checked());
  EXPECT_TRUE(english->isChecked());
  EXPECT_FALSE(german->isChecked());

  // The model decides: Qt's own toggle does not stick when the handler does not check.
  lazy->trigger();
  EXPECT_EQ(form_->languageClicks, 2);
  EXPECT_FALSE(lazy->isChecked());

  // Checked from the program, as the start-up does.
  form_->german->SetChecked(true);
  EXPECT_TRUE(german->isChecked());
  EXPECT_FALSE(english->isChecked());

  // A disabled menu passes no click on, from Qt or from the model.
  form_->language->SetEnabled(false);
  EXPECT_FALSE(ActionNamed("&Sprache")->isEnabled());
  english->trigger();
  EXPECT_EQ(form_->languageClicks, 2);

  int labClicks = 0;
  form_->subItem->OnClick = [&](Component*) { ++labClicks; };
  form_->sub->SetVisible(false);
  EXPECT_FALSE(ActionNamed("&Programmieren")->isVisible());
  form_->sub->SetVisible(true);
  EXPECT_TRUE(ActionNamed("&Programmieren")->isVisible());
  ActionNamed("Lab XXX")->trigger();
  EXPECT_EQ(labClicks, 1);
  form_->subItem->SetCaption("Lab \xC4");
  EXPECT_NE(ActionNamed(QString::fromUtf8("Lab Ä")), nullptr);
}

TEST_F(QtBackend, MessagesFromAnotherThreadArriveInOrder) {
  std::thread poster([this] {
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(app_->PostMessage(form_.get(), 34768, i, -i));
  });
  poster.join();
  ASSERT_TRUE(PumpUntil([&] { return form_->received.size() >= 50; }));
  app_->ProcessMessages();
  ASSERT_EQ(form_->received.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(form_->received[i].message, 34768u);
    EXPECT_EQ(form_->received[i].wparam, i);
    EXPECT_EQ(form_->received[i].lparam, -i);
  }
  EXPECT_FALSE(app_->PostMessage(nullptr, 1, 0, 0));
}

TEST_F(QtBackend, MessagesToClosedOrDestroyedFormsAreDropped) {
  // Queued for a form that then closes: not handled.
  EXPECT_TRUE(app_->PostMessage(form_.get(), 1, 0, 0));
  form_->Close();
  app_->ProcessMessages();
  EXPECT_TRUE(form_->received.empty());

  // Queued for a form that is then destroyed: dropped, and the form no longer takes posts.
  auto other = std::make_unique<TestForm>();
  Form* gone = other.get();
  EXPECT_TRUE(app_->PostMessage(gone, 2, 0, 0));
  other.reset();
  app_->ProcessMessages();  // would touch freed memory if delivered
  EXPECT_FALSE(app_->PostMessage(gone, 3, 0, 0));
}

TEST_F(QtBackend, WaitMessageWakesOnAPostedMessage) {
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    app_->PostMessage(form_.get(), 7, 1, 2);
  });
  auto start = Steady::now();
  app_->WaitMessage(5000);
  auto waited = Steady::now() - start;
  poster.join();
  EXPECT_LT(waited, std::chrono::milliseconds(2500));
  PumpUntil([&] { return !form_->received.empty(); }, 1000);
  ASSERT_EQ(form_->received.size(), 1u);
  EXPECT_EQ(form_->received[0].message, 7u);
}

TEST_F(QtBackend, WaitingIdleDoesNotSpin) {
  form_->Show();
  app_->ProcessMessages();
  auto cpu = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
  };
  double cpuStart = cpu();
  auto start = Steady::now();
  auto end = start + std::chrono::milliseconds(600);
  int passes = 0;
  while (Steady::now() < end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now());
    app_->ProcessMessages();
    app_->WaitMessage(static_cast<std::uint32_t>(std::max<long long>(1, left.count())));
    ++passes;
  }
  double used = cpu() - cpuStart;
  EXPECT_LT(used, 60.0) << "ms of CPU in 600 ms of waiting";
  EXPECT_LT(passes, 60);
}

// Sleep holds the window's thread: the window goes on painting, but a message posted by
// another thread, a timer that falls due and the desktop's close request all wait, and come
// after the hold in that order, each once.
TEST_F(QtBackend, HoldKeepsPaintingAndKeepsMessagesTimersAndCloseForAfterwards) {
  form_->Show();
  app_->ProcessMessages();
  auto* memo = Find<QPlainTextEdit>("UpdateMemo");
  ASSERT_NE(memo, nullptr);
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  memo->viewport()->installEventFilter(&counter);

  std::vector<std::string> order;
  Timer* timer = new Timer(form_.get(), "Timer1");
  timer->SetInterval(100);
  timer->OnTimer = [&](Timer&) { order.push_back("timer"); };
  timer->SetEnabled(true);
  form_->OnCloseQuery = [&] {
    order.push_back("close query");
    return true;
  };
  // What the desktop and the line do meanwhile: expose the memo again and again, post a
  // message from a receive thread, ask to close the window.
  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, memo, [memo] { memo->viewport()->update(); });
  repaint.start(50);
  QTimer::singleShot(300, window_, [this] { window_->close(); });
  std::thread poster([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    app_->PostMessage(form_.get(), 34768, 3, 0);
  });

  const int paintsBefore = counter.paints;
  auto start = Steady::now();
  app_->Sleep(1500);
  auto held = Steady::now() - start;
  poster.join();
  repaint.stop();
  EXPECT_GE(held, std::chrono::milliseconds(1500));
  EXPECT_LT(held, std::chrono::milliseconds(2500));
  EXPECT_GE(counter.paints - paintsBefore, 10) << "the window did not paint while held";
  EXPECT_TRUE(form_->received.empty());
  EXPECT_TRUE(order.empty()) << order.front();
  EXPECT_FALSE(form_->Closed());

  ASSERT_TRUE(PumpUntil([&] { return form_->Closed(); }));
  ASSERT_EQ(form_->received.size(), 1u);
  EXPECT_EQ(form_->received[0].wparam, 3);
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0], "timer") << "the timer fell due many times but fires once, after the message";
  EXPECT_EQ(order[1], "close query");
}

TEST_F(QtBackend, CloseQueryCanKeepTheWindowOpen) {
  form_->Show();
  int closes = 0, queries = 0;
  bool allow = false;
  form_->OnClose = [&] { ++closes; };
  form_->OnCloseQuery = [&] {
    ++queries;
    return allow;
  };
  window_->close();
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(closes, 0);
  EXPECT_FALSE(form_->Closed());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(form_->Close()) << "a closing by the program is asked the same way";
  allow = true;
  window_->close();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(form_->Closed());
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(QtBackend, ControlsFollowTheirAnchorsWhenTheWindowGrows) {
  form_->memo->Anchors = AnchorLeft | AnchorTop | AnchorRight | AnchorBottom;
  form_->progress->Anchors = AnchorLeft | AnchorRight | AnchorBottom;
  form_->list->Anchors = AnchorTop | AnchorRight;
  form_->ok->Anchors = AnchorTop;  // neither left nor right: stays centred
  form_->Show();
  app_->ProcessMessages();
  auto* memo = Find<QPlainTextEdit>("UpdateMemo");
  auto* bar = Find<QProgressBar>("WaitProgressBar");
  auto* list = Find<QListWidget>("DLListBox");
  auto* label = Find<QLabel>("NameLabel");
  auto* button = Find<QPushButton>("OkBitBtn");
  auto* status = Find<QWidget>("UpdateStatusBar");
  ASSERT_TRUE(memo && bar && list && label && button && status);
  EXPECT_EQ(memo->geometry(), QRect(10, 40, 280, 80));

  window_->resize(window_->width() + 100, window_->height() + 60);
  app_->ProcessMessages();
  ASSERT_EQ(window_->centralWidget()->size(), QSize(400, 260));
  EXPECT_EQ(memo->geometry(), QRect(10, 40, 380, 140)) << "the memo takes the extra room";
  EXPECT_EQ(bar->geometry(), QRect(10, 185, 380, 12));
  EXPECT_EQ(list->geometry(), QRect(300, 10, 90, 25));
  EXPECT_EQ(label->geometry(), QRect(10, 10, 100, 20));
  EXPECT_EQ(status->geometry(), QRect(0, 241, 400, 19)) << "the status bar stays at the bottom";
  EXPECT_EQ(button->geometry(), QRect(60, 5, 80, 30));

  window_->showMaximized();
  app_->ProcessMessages();
  const QSize client = window_->centralWidget()->size();
  EXPECT_EQ(status->geometry().bottom(), client.height() - 1);
  EXPECT_EQ(memo->geometry().right(), client.width() - 11);
  // The designed size is the smallest one.
  window_->showNormal();
  window_->resize(100, 100);
  app_->ProcessMessages();
  EXPECT_EQ(window_->centralWidget()->size(), QSize(300, 200));
}

TEST_F(QtBackend, TimersFireWhileEnabledAndRestartWhenReenabled) {
  Timer* timer = new Timer(form_.get(), "SecTimer");
  int fired = 0;
  timer->OnTimer = [&](Timer& sender) {
    EXPECT_EQ(&sender, timer);
    ++fired;
  };
  timer->SetInterval(30);
  timer->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }));
  timer->SetEnabled(false);
  int stopped = fired;
  PumpUntil([] { return false; }, 150);
  EXPECT_EQ(fired, stopped);

  // Re-enabling waits the full interval again.
  timer->SetInterval(300);
  timer->SetEnabled(true);
  PumpUntil([] { return false; }, 200);
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  auto restarted = Steady::now();
  int before = fired;
  ASSERT_TRUE(PumpUntil([&] { return fired > before; }));
  EXPECT_GE(Steady::now() - restarted, std::chrono::milliseconds(290));
  EXPECT_EQ(fired, before + 1);

  // A timer may end itself in its own handler.
  bool deleted = false;
  timer->OnTimer = [&deleted](Timer& sender) {
    deleted = true;  // before the handler's own captures go with the timer
    delete &sender;
  };
  timer->SetInterval(10);
  ASSERT_TRUE(PumpUntil([&] { return deleted; }));
  PumpUntil([] { return false; }, 50);
}

TEST_F(QtBackend, UnattendedBoxesAnswerAndAreRecorded) {
  std::vector<BoxRecord> seen;
  app_->OnMessageBox = [&](const BoxRecord& box) { seen.push_back(box); };
  app_->QueueAnswer(BoxResult::No);
  app_->AutoAnswer = BoxResult::Yes;
  EXPECT_EQ(app_->MessageBox("Weiter?", "Info", BoxIcon::Question, BoxButtons::YesNo),
            BoxResult::No);
  EXPECT_EQ(app_->MessageBox("Weiter?", "Info", BoxIcon::Question, BoxButtons::YesNo),
            BoxResult::Yes);
  EXPECT_EQ(app_->MessageBox("Fehler!", "Error", BoxIcon::Error, BoxButtons::Ok), BoxResult::Ok);
  app_->AutoAnswer = BoxResult::Ok;
  EXPECT_EQ(app_->MessageBox("Weiter?", "Info", BoxIcon::Question, BoxButtons::YesNo),
            BoxResult::Yes);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].answer, BoxResult::No);
  EXPECT_EQ(seen[2].caption, "Error");
  EXPECT_EQ(seen[2].icon, BoxIcon::Error);
  EXPECT_EQ(app_->Boxes().size(), 4u);
}

TEST_F(QtBackend, BoxShowsConvertedTextAndReturnsTheUsersAnswer) {
  app_->AutoAnswer.reset();
  form_->Show();
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    text = box->text();
    title = box->windowTitle();
    icon = box->icon();
    box->button(QMessageBox::No)->click();
  });
  BoxResult r = app_->MessageBox("Die Software-Version ist schon im Ger\xE4t.\r\nTrotzdem?\rJa",
                                 "Info", BoxIcon::Question, BoxButtons::YesNo);
  EXPECT_EQ(r, BoxResult::No);
  EXPECT_EQ(text, QString::fromUtf8("Die Software-Version ist schon im Gerät.\nTrotzdem?\nJa"));
  EXPECT_EQ(title, QString("Info"));
  EXPECT_EQ(icon, QMessageBox::Question);

  WhenModal<QMessageBox>([&](QMessageBox* box) {
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(app_->MessageBox("<b>x</b>", "Fehler", BoxIcon::Error, BoxButtons::Ok), BoxResult::Ok);
  EXPECT_EQ(icon, QMessageBox::Critical);
  ASSERT_EQ(app_->Boxes().size(), 2u);
  EXPECT_EQ(app_->Boxes()[0].answer, BoxResult::No);
}

TEST_F(QtBackend, OpenDialogReturnsTheChosenFile) {
  app_->AutoAnswer.reset();
  auto dir = std::filesystem::temp_directory_path() / ("qt_backend_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "PROG.TXT") << "@1100\n";
  OpenDialog* dialog = new OpenDialog(form_.get(), "OpenProgFileDialog");
  dialog->InitialDir = dir.string();
  dialog->Filter = "Programm|*.txt;*.TXT|Alle|*.*";
  QStringList filters;
  WhenModal<QFileDialog>([&](QFileDialog* box) {
    filters = box->nameFilters();
    // Typed, as a user would: the listing may not have been read yet.
    auto* name = box->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText("PROG.TXT");
    QMetaObject::invokeMethod(box, "accept");
  });
  ASSERT_TRUE(dialog->Execute());
  EXPECT_EQ(std::filesystem::path(dialog->FileName), dir / "PROG.TXT");
  EXPECT_EQ(filters, QStringList({"Programm (*.txt *.TXT)", "Alle (*.*)"}));

  WhenModal<QFileDialog>([&](QFileDialog* box) { box->reject(); });
  EXPECT_FALSE(dialog->Execute());
  std::filesystem::remove_all(dir);

  // Unattended: the prepared file once, then a cancel.
  app_->AutoAnswer = BoxResult::Ok;
  app_->NextOpenFile = "/tmp/X.TXT";
  EXPECT_TRUE(dialog->Execute());
  EXPECT_EQ(dialog->FileName, "/tmp/X.TXT");
  EXPECT_FALSE(dialog->Execute());
}

TEST_F(QtBackend, DocumentsAreRecordedAndAMissingOneFails) {
  app_->AutoAnswer.reset();
  EXPECT_LE(app_->OpenDocument("AcroRd32.exe", "/nonexistent/Firmwareupdate_meters.pdf"), 32);
  // Unattended, nothing is started even for a document that exists.
  app_->AutoAnswer = BoxResult::Ok;
  auto doc = std::filesystem::temp_directory_path() /
             ("qt_backend_" + std::to_string(::getpid()) + ".pdf");
  std::ofstream(doc) << "%PDF-1.4\n";
  EXPECT_LE(app_->OpenDocument("AcroRd32.exe", doc.string()), 32);
  std::filesystem::remove(doc);
  ASSERT_EQ(app_->OpenedDocuments.size(), 2u);
  EXPECT_EQ(app_->OpenedDocuments[0].first, "AcroRd32.exe");
  EXPECT_EQ(app_->OpenedDocuments[1].second, doc.string());
}

TEST_F(QtBackend, KeyReleasesReachTheFormOnceWithVirtualKeyCodes) {
  std::vector<std::pair<int, unsigned>> keys;
  form_->OnKeyUp = [&](int key, unsigned shift) { keys.emplace_back(key, shift); };
  form_->Show();
  auto* memo = Find<QPlainTextEdit>("UpdateMemo");
  memo->setFocus();
  QWidget* target = window_->focusWidget() ? window_->focusWidget() : window_;
  struct Case {
    int qtKey;
    Qt::KeyboardModifiers mods;
    int vk;
    unsigned shift;
  };
  const Case cases[] = {
      {Qt::Key_F5, Qt::ShiftModifier | Qt::ControlModifier, 0x74, ShiftKey | CtrlKey},
      {Qt::Key_F12, Qt::AltModifier, KeyF12, AltKey},
      {Qt::Key_Return, Qt::NoModifier, KeyReturn, 0},
      {Qt::Key_D, Qt::ControlModifier, 'D', CtrlKey},
  };
  for (const Case& c : cases) {
    keys.clear();
    QKeyEvent release(QEvent::KeyRelease, c.qtKey, c.mods);
    QCoreApplication::sendEvent(target, &release);
    ASSERT_EQ(keys.size(), 1u) << c.qtKey;
    EXPECT_EQ(keys[0].first, c.vk);
    EXPECT_EQ(keys[0].second, c.shift);
  }
  keys.clear();
  QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_F5, Qt::NoModifier, QString(), true);
  QCoreApplication::sendEvent(target, &repeat);
  EXPECT_TRUE(keys.empty());
}

TEST_F(QtBackend, ClosingTheMainWindowRunsOnCloseOnceAndEndsRun) {
  int closes = 0;
  form_->OnClose = [&] { ++closes; };
  QTimer::singleShot(100, window_, [this] { window_->close(); });
  auto start = Steady::now();
  app_->Run(*form_);
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(form_->Closed());
  EXPECT_FALSE(window_->isVisible());
  form_->Close();
  EXPECT_EQ(closes, 1);
  app_->Run(*form_);  // returns at once for a closed form
}

TEST_F(QtBackend, TerminateEndsRun) {
  QTimer::singleShot(50, window_, [this] { app_->Terminate(); });
  app_->Run(*form_);
  EXPECT_TRUE(app_->Terminated());
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(QtBackend, TitleAndScreenshot) {
  std::vector<std::string> titles;
  app_->OnTitleChanged = [&](const std::string& t) { titles.push_back(t); };
  // The desktop shows window titles only: the main window carries the application title in
  // front of its caption, and keeps it when the caption changes.
  EXPECT_EQ(window_->windowTitle(), QString("Download :"));
  app_->SetTitle("Update [ 45.0 %]");
  EXPECT_EQ(app_->Title(), "Update [ 45.0 %]");
  EXPECT_EQ(titles, std::vector<std::string>{"Update [ 45.0 %]"});
  EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("Update [ 45.0 %] \u2013 Download :"));
  form_->SetCaption("Firmware download :");
  EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("Update [ 45.0 %] \u2013 Firmware download :"));

  form_->label->SetCaption("Screenshot");
  form_->Show();
  app_->ProcessMessages();
  auto path = std::filesystem::temp_directory_path() /
              ("qt_backend_" + std::to_string(::getpid()) + ".png");
  ASSERT_TRUE(app_->SaveScreenshot(*form_, path.string()));
  QImage image(QString::fromStdString(path.string()));
  std::filesystem::remove(path);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), window_->size() * image.devicePixelRatio());
  EXPECT_GE(image.height(), 200);
  // Something is drawn: not one flat colour.
  QRgb first = image.pixel(0, 0);
  bool varied = false;
  for (int y = 0; y < image.height() && !varied; y += 3)
    for (int x = 0; x < image.width() && !varied; x += 3) varied = image.pixel(x, y) != first;
  EXPECT_TRUE(varied);
}

}  // namespace
