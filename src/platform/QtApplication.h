#pragma once
// The Qt Widgets backend: forms become main windows, posted messages become Qt events,
// timers become QTimers and message boxes QMessageBoxes. Only the window build needs it; the
// rest of the system sees the Application interface. No Qt header is included here.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"

class QWidget;

namespace platform {

class QtApplication : public Application {
 public:
  // Creates the QApplication unless one exists (argc must outlive it, as Qt requires) and
  // becomes the process's application. UPDATE_AUTO_ANSWER=ok|yes|no in the environment sets
  // AutoAnswer, so that a window can run unattended on the offscreen platform.
  QtApplication(int& argc, char** argv);
  // Why no window can open here (the toolkit's platform needs a display that is not set), in
  // one line; empty when there seems to be one. A display that is set but cannot be reached
  // is found by the constructor, which then ends the program with one line and status 1.
  static std::string DisplayProblem();
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  Clock& GetClock() override;
  bool PostMessage(Form* target, std::uint32_t message, std::intptr_t wparam,
                   std::intptr_t lparam) override;
  void ProcessMessages() override;
  void WaitMessage(std::uint32_t ms) override;
  void Sleep(std::uint32_t ms) override;
  BoxResult MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                       BoxButtons buttons) override;
  void SetTitle(const std::string& title) override;
  void Beep() override;
  void TimerChanged(Timer& timer) override;
  void TimerDestroyed(Timer& timer) override;
  bool ExecuteOpenDialog(OpenDialog& dialog) override;
  // Unattended (queued answers or AutoAnswer), a modal form that OnShowModal left without a
  // result is cancelled; otherwise it waits for the user.
  int ShowModal(Form& form) override;
  int OpenDocument(const std::string& viewer, const std::string& document) override;
  void FormCreated(Form& form) override;
  void FormShown(Form& form) override;
  void FormClosed(Form& form) override;
  void FormDestroyed(Form& form) override;
  void RepaintNow(Control& control) override;
  void Run(Form& mainForm) override;

  // Unattended boxes: queued answers are used first, then AutoAnswer; with neither the box
  // is shown and waits for the user. An Ok box takes any answer as Ok; "ok" confirms a
  // Yes/No box with Yes.
  std::optional<BoxResult> AutoAnswer;
  void QueueAnswer(BoxResult answer) { answers_.push_back(answer); }
  const std::vector<BoxRecord>& Boxes() const { return boxes_; }
  // While boxes are answered unattended, the open-file dialog is too: it returns this path
  // once, or cancels when it is empty. Unattended, OpenDocument starts nothing and fails.
  std::optional<std::string> NextOpenFile;

  // Renders the form's window into a PNG file (works on the offscreen platform).
  bool SaveScreenshot(Form& form, const std::string& path);
  // The form's window, built now if that has not happened yet.
  QWidget* WindowOf(Form& form);

  struct Impl;

 private:
  std::unique_ptr<Impl> d_;
  std::deque<BoxResult> answers_;
  std::vector<BoxRecord> boxes_;
};

}  // namespace platform
