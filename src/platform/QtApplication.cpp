// Application services on Qt: posted messages as custom events, timers as QTimers, waits
// that block in the event dispatcher, modal boxes and the open-file dialog.
#include "platform/QtApplication.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Headless.h"
#include "platform/QtWidgets.h"

namespace platform {

namespace {

// One per posted message: dispatches the oldest message of the application's own queue.
QEvent::Type DoorbellEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// Fires the timers that fell due while the program held its thread.
QEvent::Type DeferredTimersEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// While the toolkit starts: its messages are held, and its fatal one (it found no display or
// no platform plugin it could use) ends the program with one line instead of an abort.
std::vector<std::string>* gStartupMessages = nullptr;
const char* gProgramName = "update";

void StartupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg) {
    std::string reason = gStartupMessages && !gStartupMessages->empty()
                             ? gStartupMessages->front()
                             : message.section(QLatin1Char('\n'), 0, 0).toStdString();
    std::fprintf(stderr, "%s: cannot open the window: %s\n", gProgramName, reason.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
  if (gStartupMessages) gStartupMessages->push_back(message.toStdString());
}

std::optional<BoxResult> AnswerFromEnvironment() {
  const char* v = std::getenv("UPDATE_AUTO_ANSWER");
  if (!v) return std::nullopt;
  std::string s(v);
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (s == "ok") return BoxResult::Ok;
  if (s == "yes") return BoxResult::Yes;
  if (s == "no") return BoxResult::No;
  return std::nullopt;
}

// A filter in the form "Text|*.txt;*.mot|All|*.*" as a Qt name filter list.
QStringList NameFilters(const std::string& filter) {
  QStringList parts = qtui::ToQString(filter).split(QChar('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1].split(QChar(';'), Qt::SkipEmptyParts).join(QChar(' '));
    QString name = parts[i];
    if (!name.contains(QStringLiteral("(") + patterns + QStringLiteral(")")))
      name += QStringLiteral(" (") + patterns + QStringLiteral(")");
    out << name;
  }
  return out;
}

}  // namespace

struct QtApplication::Impl : QObject {
  explicit Impl(QtApplication& app) : owner(app) {}

  bool event(QEvent* e) override {
    if (e->type() == DoorbellEventType()) {
      // While the program holds its thread, messages wait in their queue, in their order.
      if (owner.Quiet())
        ++deferredBells;
      else
        DispatchOne();
      return true;
    }
    if (e->type() == DeferredTimersEventType()) {
      if (!owner.Quiet()) FireDeferredTimers();
      return true;
    }
    return QObject::event(e);
  }

  struct Posted {
    Form* form;
    std::uint64_t serial;
    std::uint32_t message;
    std::intptr_t wparam, lparam;
  };

  void DispatchOne() {
    Posted m{};
    {
      std::lock_guard lock(mutex);
      if (queue.empty()) return;
      m = queue.front();
      queue.pop_front();
      auto it = serials.find(m.form);
      if (it == serials.end() || it->second != m.serial) return;
    }
    // A closed form takes no more messages, like a destroyed window.
    if (!m.form->Closed()) m.form->HandleMessage(m.message, m.wparam, m.lparam);
  }

  // After a hold: the messages, then the timers that fell due, then the close requests,
  // each in the order they came.
  void ReleaseDeferred() {
    for (; deferredBells > 0; --deferredBells) QCoreApplication::postEvent(this, new QEvent(DoorbellEventType()));
    if (!deferredTimers.empty()) QCoreApplication::postEvent(this, new QEvent(DeferredTimersEventType()));
    for (auto& [form, window] : windows) {
      if (!window || !window->Ui()->closePending) continue;
      window->Ui()->closePending = false;
      QPointer<qtui::FormWindow> w = window;
      QMetaObject::invokeMethod(
          this, [w] { if (w) w->close(); }, Qt::QueuedConnection);
    }
  }

  void FireDeferredTimers() {
    std::vector<Timer*> due;
    due.swap(deferredTimers);
    // Each once, however often it fell due meanwhile, as window timers collapse.
    for (Timer* t : due)
      if (timers.count(t)) FireTimer(t);
  }

  // Key releases go to the form first (key preview), before the control with the focus.
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::KeyRelease) return false;
    auto* key = static_cast<QKeyEvent*>(e);
    if (key->isAutoRepeat() || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    auto* window = dynamic_cast<qtui::FormWindow*>(widget->window());
    if (!window || !window->Ui()->form) return false;
    // A release that travels up to the parents passes the filter again; take it once, where
    // it was delivered first.
    QWidget* focus = window->focusWidget();
    bool first = focus ? widget == focus : widget == window;
    if (!first) return false;
    Form& form = *window->Ui()->form;
    if (!form.KeyPreview && widget != window) return false;
    int vk = qtui::VirtualKeyOf(key->key());
    if (vk != 0) form.KeyUp(vk, qtui::ShiftOf(key->modifiers()));
    return false;
  }

  // Registers a form for messages; a form at the address of a destroyed one is a new form.
  std::uint64_t SerialOf(Form* form) {
    auto it = serials.find(form);
    if (it != serials.end()) return it->second;
    std::uint64_t s = ++nextSerial;
    serials.emplace(form, s);
    return s;
  }

  void Revive(Form& form) {
    std::lock_guard lock(mutex);
    if (dead.erase(&form)) serials.erase(&form);
    SerialOf(&form);
  }

  qtui::FormWindow* WindowOf(Form& form) {
    auto it = windows.find(&form);
    return it == windows.end() ? nullptr : it->second.data();
  }

  qtui::FormWindow* Ensure(Form& form) {
    if (auto* w = WindowOf(form)) return w;
    Revive(form);
    qtui::FormWindow* w = qtui::BuildFormWindow(form);
    windows[&form] = w;
    return w;
  }

  QWidget* BoxParent() {
    if (QWidget* w = QApplication::activeWindow()) return w;
    if (owner.mainForm_)
      if (auto* w = WindowOf(*owner.mainForm_)) return w;
    return nullptr;
  }

  void FireTimer(Timer* timer) {
    if (!timer->Enabled()) return;
    if (!timer->OnTimer) return;
    if (owner.Quiet()) {
      if (std::find(deferredTimers.begin(), deferredTimers.end(), timer) == deferredTimers.end())
        deferredTimers.push_back(timer);
      return;
    }
    firing.insert(timer);
    timer->OnTimer(*timer);
    firing.erase(timer);
    auto it = doomed.find(timer);
    if (it != doomed.end()) {
      delete it->second;
      doomed.erase(it);
    }
  }

  QtApplication& owner;
  QApplication* ownApp = nullptr;
  SteadyClock clock;

  std::mutex mutex;  // guards queue, serials, dead, ended
  std::deque<Posted> queue;
  std::unordered_map<Form*, std::uint64_t> serials;
  std::unordered_set<Form*> dead;
  std::uint64_t nextSerial = 0;
  bool ended = false;

  std::unordered_map<Form*, QPointer<qtui::FormWindow>> windows;
  std::unordered_map<Timer*, QTimer*> timers;
  std::unordered_set<Timer*> firing;
  std::unordered_map<Timer*, QTimer*> doomed;  // destroyed while its own handler ran
  // What a hold of the window's thread kept back (window thread only).
  int deferredBells = 0;
  std::vector<Timer*> deferredTimers;
};

std::string QtApplication::DisplayProblem() {
  const bool x = !EnvText("DISPLAY").empty(), wayland = !EnvText("WAYLAND_DISPLAY").empty();
  const std::string platforms = EnvText("QT_QPA_PLATFORM");
  if (platforms.empty()) {
    if (x || wayland) return {};
    return "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  }
  // "wayland;xcb": the first that works is taken. Platforms such as offscreen, vnc or
  // linuxfb need no display server.
  std::size_t start = 0;
  while (start <= platforms.size()) {
    std::size_t end = platforms.find(';', start);
    std::string name = platforms.substr(start, end == std::string::npos ? std::string::npos : end - start);
    name = name.substr(0, name.find(':'));
    start = end == std::string::npos ? platforms.size() + 1 : end + 1;
    if (name.empty()) continue;
    if (name == "xcb") {
      if (x) return {};
    } else if (name.rfind("wayland", 0) == 0) {
      if (wayland) return {};
    } else {
      return {};
    }
  }
  return "no display for QT_QPA_PLATFORM=" + platforms + " (DISPLAY or WAYLAND_DISPLAY is not set)";
}

QtApplication::QtApplication(int& argc, char** argv) : d_(std::make_unique<Impl>(*this)) {
  if (!QApplication::instance()) {
    std::vector<std::string> held;
    if (argc > 0 && argv && argv[0]) {
      const char* slash = std::strrchr(argv[0], '/');
      gProgramName = slash ? slash + 1 : argv[0];
    }
    gStartupMessages = &held;
    QtMessageHandler previous = qInstallMessageHandler(StartupMessageHandler);
    d_->ownApp = new QApplication(argc, argv);
    qInstallMessageHandler(previous);
    gStartupMessages = nullptr;
    for (const std::string& m : held) std::fprintf(stderr, "%s\n", m.c_str());
  }
  // The program ends when its main form closes, not when Qt sees no window left.
  QApplication::setQuitOnLastWindowClosed(false);
  qApp->installEventFilter(d_.get());
  AutoAnswer = AnswerFromEnvironment();
  SetApp(this);
}

QtApplication::~QtApplication() {
  {
    std::lock_guard lock(d_->mutex);
    d_->ended = true;
  }
  if (HasApp() && &App() == this) SetApp(nullptr);
  for (auto& [form, window] : d_->windows) {
    if (window) window->Ui()->form = nullptr;
    delete window.data();
  }
  d_->windows.clear();
  for (auto& [timer, qtimer] : d_->timers) delete qtimer;
  d_->timers.clear();
  if (qApp) qApp->removeEventFilter(d_.get());
  QApplication* own = d_->ownApp;
  d_.reset();  // drops the messages still queued for it
  delete own;
}

Clock& QtApplication::GetClock() { return d_->clock; }

bool QtApplication::PostMessage(Form* target, std::uint32_t message, std::intptr_t wparam,
                                std::intptr_t lparam) {
  if (!target) return false;
  std::lock_guard lock(d_->mutex);
  if (d_->ended || d_->dead.count(target)) return false;
  std::uint64_t serial = d_->SerialOf(target);
  d_->queue.push_back({target, serial, message, wparam, lparam});
  QCoreApplication::postEvent(d_.get(), new QEvent(DoorbellEventType()));
  return true;
}

void QtApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtApplication::WaitMessage(std::uint32_t ms) {
  if (ms == 0) return;
  // The dispatcher blocks until an event arrives; the single-shot timer bounds the wait.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(static_cast<int>(std::min<std::uint32_t>(ms, 0x7FFFFFFF)));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtApplication::Sleep(std::uint32_t ms) {
  if (ms == 0) return;
  // The windows keep painting and the desktop's pings are answered (the events of the window
  // system other than input); posted messages, timers and close requests wait, and keys and
  // clicks stay queued by Qt until events are processed without the exclusion.
  ++quietDepth_;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) break;
    // Rounded up, so that the hold never ends short of its time.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
  }
  --quietDepth_;
  if (quietDepth_ == 0) d_->ReleaseDeferred();
}

BoxResult QtApplication::MessageBox(const std::string& text, const std::string& caption,
                                    BoxIcon icon, BoxButtons buttons) {
  if (terminated_) return buttons == BoxButtons::YesNo ? BoxResult::No : BoxResult::Ok;
  std::optional<BoxResult> answer;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  } else if (AutoAnswer) {
    answer = AutoAnswer;
  }
  BoxResult result = BoxResult::Ok;
  if (answer) {
    if (buttons == BoxButtons::YesNo) result = *answer == BoxResult::No ? BoxResult::No : BoxResult::Yes;
  } else {
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
      case BoxIcon::None: qicon = QMessageBox::NoIcon; break;
      case BoxIcon::Error: qicon = QMessageBox::Critical; break;
      case BoxIcon::Information: qicon = QMessageBox::Information; break;
      case BoxIcon::Question: qicon = QMessageBox::Question; break;
      case BoxIcon::Warning: qicon = QMessageBox::Warning; break;
    }
    QMessageBox box(qicon, qtui::ToQString(caption), qtui::ToQString(text),
                    buttons == BoxButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No)
                                                 : QMessageBox::StandardButtons(QMessageBox::Ok),
                    d_->BoxParent());
    box.setTextFormat(Qt::PlainText);
    if (buttons == BoxButtons::YesNo) {
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::No);
    }
    int r = box.exec();
    if (buttons == BoxButtons::YesNo) result = r == QMessageBox::Yes ? BoxResult::Yes : BoxResult::No;
  }
  boxes_.push_back({text, caption, icon, buttons, result});
  if (OnMessageBox) OnMessageBox(boxes_.back());
  return result;
}

void QtApplication::SetTitle(const std::string& title) {
  // The desktop shows the window's title (task bar, switcher), so the main window carries it;
  // observers see the window as it now is.
  title_ = title;
  if (mainForm_)
    if (auto* w = d_->WindowOf(*mainForm_)) w->setWindowTitle(qtui::WindowTitleOf(*mainForm_));
  if (OnTitleChanged) OnTitleChanged(title_);
}

void QtApplication::Beep() { QApplication::beep(); }

void QtApplication::TimerChanged(Timer& timer) {
  QTimer*& q = d_->timers[&timer];
  if (!q) {
    q = new QTimer(d_.get());
    q->setTimerType(Qt::PreciseTimer);
    Timer* t = &timer;
    Impl* impl = d_.get();
    QObject::connect(q, &QTimer::timeout, d_.get(), [impl, t] { impl->FireTimer(t); });
  }
  // A timer with no interval does not run.
  if (timer.Enabled() && timer.Interval() > 0)
    q->start(static_cast<int>(std::min<std::uint32_t>(timer.Interval(), 0x7FFFFFFF)));
  else
    q->stop();
}

void QtApplication::TimerDestroyed(Timer& timer) {
  if (!d_) return;
  auto& deferred = d_->deferredTimers;
  deferred.erase(std::remove(deferred.begin(), deferred.end(), &timer), deferred.end());
  auto it = d_->timers.find(&timer);
  if (it == d_->timers.end()) return;
  QTimer* q = it->second;
  d_->timers.erase(it);
  q->stop();
  if (d_->firing.count(&timer))
    d_->doomed[&timer] = q;
  else
    delete q;
}

bool QtApplication::ExecuteOpenDialog(OpenDialog& dialog) {
  if (AutoAnswer || !answers_.empty()) {
    if (!NextOpenFile || NextOpenFile->empty()) return false;
    dialog.FileName = *NextOpenFile;
    NextOpenFile.reset();
    return true;
  }
  QFileDialog box(d_->BoxParent());
  // The toolkit's own dialog behaves the same on every desktop (and on the offscreen platform).
  box.setOption(QFileDialog::DontUseNativeDialog);
  box.setFileMode(QFileDialog::ExistingFile);
  box.setAcceptMode(QFileDialog::AcceptOpen);
  // Paths stay as the file system spells them, since the file services open them as given.
  if (!dialog.InitialDir.empty()) box.setDirectory(QFile::decodeName(dialog.InitialDir.c_str()));
  QStringList filters = NameFilters(dialog.Filter);
  if (!filters.isEmpty()) box.setNameFilters(filters);
  if (!dialog.FileName.empty()) box.selectFile(QFile::decodeName(dialog.FileName.c_str()));
  if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return false;
  dialog.FileName = QFile::encodeName(box.selectedFiles().front()).toStdString();
  return true;
}

int QtApplication::ShowModal(Form& form) {
  qtui::FormWindow* w = d_->Ensure(form);
  w->setWindowModality(Qt::ApplicationModal);
  form.SetVisible(true);
  if (!w->isVisible()) w->show();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (OnShowModal) OnShowModal(form);
  if ((AutoAnswer || !answers_.empty()) && form.ModalResult == mrNone) form.ModalResult = mrCancel;
  while (form.ModalResult == mrNone && !form.Closed() && w->isVisible() && !terminated_)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  form.SetVisible(false);
  return form.ModalResult != mrNone ? form.ModalResult : mrCancel;
}

int QtApplication::OpenDocument(const std::string& viewer, const std::string& document) {
  int recorded = Application::OpenDocument(viewer, document);
  // Unattended runs start no viewer; they see the failure a missing viewer gives.
  if (AutoAnswer || !answers_.empty()) return recorded;
  // The named viewer is a program of the original platform; here the desktop's viewer for
  // the document's type opens it.
  QFileInfo info(QFile::decodeName(document.c_str()));
  if (!info.isFile()) return 2;  // the shell's "file not found"
  return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath())) ? 42 : 31;
}

void QtApplication::FormCreated(Form& form) {
  Application::FormCreated(form);
  d_->Ensure(form);
}

void QtApplication::FormShown(Form& form) {
  qtui::FormWindow* w = d_->Ensure(form);
  // Show() made the form visible before the widgets may have existed.
  if (form.Visible() && !w->isVisible() && form.Peer())
    form.Peer()->Changed(form, Property::Visible);
}

void QtApplication::FormClosed(Form& form) {
  if (auto* w = d_->WindowOf(form)) w->hide();
  Application::FormClosed(form);
}

void QtApplication::FormDestroyed(Form& form) {
  Application::FormDestroyed(form);
  if (!d_) return;
  {
    std::lock_guard lock(d_->mutex);
    d_->serials.erase(&form);
    d_->dead.insert(&form);
  }
  auto it = d_->windows.find(&form);
  if (it == d_->windows.end()) return;
  if (it->second) {
    it->second->Ui()->form = nullptr;
    delete it->second.data();
  }
  d_->windows.erase(it);
}

void QtApplication::RepaintNow(Control& control) {
  // Nothing more to do: the control's peer has already repainted its widget.
  (void)control;
}

void QtApplication::Run(Form& mainForm) {
  mainForm_ = &mainForm;
  if (mainForm.Closed()) return;
  d_->Ensure(mainForm);
  mainForm.Show();
  while (!terminated_ && mainForm_ == &mainForm && !mainForm.Closed())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

QWidget* QtApplication::WindowOf(Form& form) { return d_->Ensure(form); }

bool QtApplication::SaveScreenshot(Form& form, const std::string& path) {
  qtui::FormWindow* w = d_->Ensure(form);
  return w->grab().save(QString::fromStdString(path), "PNG");
}

}  // namespace platform
