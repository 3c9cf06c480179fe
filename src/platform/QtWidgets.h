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

  // The widget that holds the children of a control (the client area for the form).
  QWidget* ContainerOf(Control* parent) const;
  // Places the children of parent: aligned ones first (top, bottom, then the rest for
  // client), the others at their own bounds.
  void Layout(Control* parent);
  void LayoutAll();
  void Center();
};

class FormWindow : public QMainWindow {
 public:
  explicit FormWindow(std::shared_ptr<FormUi> ui);
  const std::shared_ptr<FormUi>& Ui() const { return ui_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

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
