#pragma once
// Inside the Qt backend only: the widget tree that mirrors one form, and the text and key
// conversions at the toolkit boundary.
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>
#include <string>
#include <vector>

#include "platform/Components.h"

class QAction;
class QWidget;

namespace platform::qtui {

// Windows-1252 text as a QString; CR LF and a lone CR become line breaks.
QString ToQString(const std::string& cp1252);
// A caption shown the way a label shows it: "&&" is one ampersand, a single "&" only marks
// the mnemonic and is not drawn.
QString WithoutMnemonic(const QString& text);

// Windows virtual-key code of a Qt key, or 0 when there is none.
int VirtualKeyOf(int qtKey);
unsigned ShiftOf(Qt::KeyboardModifiers modifiers);

class FormWindow;

// Everything built for one form. Peers share it, since the form's children end after the
// form itself has told the backend it is gone.
struct FormUi {
  Form* form = nullptr;  // null once the form is destroyed
  QPointer<FormWindow> window;
  QPointer<QWidget> client;
  std::vector<Control*> controls;  // in creation order
  bool positioned = false;
  bool closePending = false;  // a close request that came while the program was held

  // The widget that holds the children of a control (the client area for the form).
  QWidget* ContainerOf(Control* parent) const;
  // Places the children of parent in its present size: aligned ones first (top, bottom,
  // then the rest for client), the others at their own bounds moved or stretched by as much
  // as the parent has grown beyond its designed size, as their anchors say.
  void Layout(Control* parent);
  void LayoutAll();
  void Center();
};

// The window title of a form: the caption, and for the main form the application title in
// front of it once the program has set one (the desktop shows no other place for it).
QString WindowTitleOf(const Form& form);

class FormWindow : public QMainWindow {
 public:
  explicit FormWindow(std::shared_ptr<FormUi> ui);
  const std::shared_ptr<FormUi>& Ui() const { return ui_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::shared_ptr<FormUi> ui_;
};

// Builds the window, the widgets of every control the form owns and its menu bar, and gives
// each component a peer that keeps its widget in step.
FormWindow* BuildFormWindow(Form& form);

// The widget or action behind a component; null when it has none (yet or any more).
QWidget* WidgetOf(const Component& component);
QAction* ActionOf(const Component& item);

}  // namespace platform::qtui
