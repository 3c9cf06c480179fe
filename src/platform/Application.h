#pragma once
// The application services: posting window messages from any thread, one pass of message
// processing, sleeping until something is due, window timers, modal message boxes, the
// application title. One Application exists per process (App()); the window build uses the
// Qt backend, tests and the console build the headless one.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Components.h"

namespace platform {

// Millisecond counter; wraps like a 32-bit tick count, so always compare differences.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t Milliseconds() = 0;
};

enum class BoxIcon { None, Error, Information, Question, Warning };
enum class BoxButtons { Ok, YesNo };
enum class BoxResult { Ok = 1, Yes = 6, No = 7 };

struct BoxRecord {
  std::string text;     // Windows-1252
  std::string caption;  // Windows-1252
  BoxIcon icon;
  BoxButtons buttons;
  BoxResult answer;
};

class Application {
 public:
  virtual ~Application();

  virtual Clock& GetClock() = 0;

  // Thread-safe. Queues (message, wparam, lparam) for target->HandleMessage on the window's
  // thread. False when the target is gone or the application has ended.
  virtual bool PostMessage(Form* target, std::uint32_t message, std::intptr_t wparam,
                           std::intptr_t lparam) = 0;
  // One pass: due timers and the messages that are pending now.
  virtual void ProcessMessages() = 0;
  // Sleeps until a message is posted, a timer falls due, or ms have passed; handles nothing.
  virtual void WaitMessage(std::uint32_t ms) = 0;
  // Holds the window's thread for ms: no posted message, timer, key, click or close request
  // is handled before it ends (they keep their order and come after it). A backend with a
  // screen keeps drawing the windows and answering the desktop meanwhile.
  virtual void Sleep(std::uint32_t ms) = 0;
  // True while Sleep holds the window's thread.
  bool Quiet() const { return quietDepth_ > 0; }

  // Modal box; Yes/No boxes return Yes or No, the others Ok. Once the program is ending
  // (Terminated) no box is shown any more: Ok boxes return Ok, Yes/No boxes No.
  virtual BoxResult MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                               BoxButtons buttons) = 0;
  // The application title (task bar), apart from the main window's caption. Where the
  // desktop shows window titles only, the main window shows it in front of its caption.
  virtual void SetTitle(const std::string& title);
  const std::string& Title() const { return title_; }
  virtual void Beep() {}

  // Timers tell the application when they change; it fires OnTimer on the window's thread.
  virtual void TimerChanged(Timer& timer) = 0;
  virtual void TimerDestroyed(Timer& timer) = 0;

  virtual bool ExecuteOpenDialog(OpenDialog& dialog) = 0;
  // Shows a form modally until its ModalResult is set (a button with a result) or it is
  // closed; returns the result (mrCancel when closed without one). The headless backend shows
  // nothing: OnShowModal acts as the user, and without a result the form is cancelled.
  virtual int ShowModal(Form& form);
  // A test's hand in a modal form, called once the form is up: it may change the controls
  // and click a button.
  std::function<void(Form& form)> OnShowModal;
  // Opens a document with a viewer program (empty: the desktop's viewer for the document's
  // type); above 32 means it was started (the shell's convention). The default records the
  // request and fails.
  virtual int OpenDocument(const std::string& viewer, const std::string& document);
  std::vector<std::pair<std::string, std::string>> OpenedDocuments;

  // A form was built (the Qt backend creates its widgets) or closed. The first form built
  // is the main form: its close ends the program.
  virtual void FormCreated(Form& form);
  Form* MainForm() const { return mainForm_; }
  virtual void FormShown(Form& form) { (void)form; }
  virtual void FormClosed(Form& form);
  virtual void FormDestroyed(Form& form);
  // A control wants to be drawn now.
  virtual void RepaintNow(Control& control) { (void)control; }

  // Runs the message loop until the main form is closed; returns at once when it is.
  virtual void Run(Form& mainForm) = 0;
  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }

  // Observers for the console and for tests.
  std::function<void(const std::string& title)> OnTitleChanged;
  std::function<void(const BoxRecord& box)> OnMessageBox;

 protected:
  std::string title_;
  bool terminated_ = false;
  Form* mainForm_ = nullptr;
  int quietDepth_ = 0;
};

// The process's application; set by the backend's constructor, cleared by its destructor.
Application& App();
bool HasApp();
void SetApp(Application* app);

}  // namespace platform
