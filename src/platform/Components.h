#pragma once
// The component model: forms and their controls as plain objects with a name, a tag and
// an exact class, and the properties the program uses. A backend (Qt, or none at all for
// the headless build) mirrors them on screen through a ComponentPeer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class ComponentClass {
  Form,
  Label,
  StaticText,
  Button,
  BitBtn,
  SpeedButton,
  CheckBox,
  RadioButton,
  Panel,
  GroupBox,
  RadioGroup,
  TabSheet,
  TabControl,
  Bevel,
  Memo,
  ListBox,
  Edit,
  ComboBox,
  ProgressBar,
  StatusBar,
  MainMenu,
  MenuItem,
  Timer,
  OpenDialog,
  UpDown,
  Other,
};

// The class name as the form description spells it ("TLabel", "TBitBtn", ...).
const char* ClassName(ComponentClass cls);

enum class Property {
  Caption,
  Hint,
  Visible,
  Enabled,
  Checked,
  Bounds,
  Lines,
  Items,
  Position,
  Range,
  Panels,
  Font,
  Repaint,
  ItemIndex,
};

class Component;

// Receives property changes of one component; the Qt backend keeps a widget in step with it.
class ComponentPeer {
 public:
  virtual ~ComponentPeer() = default;
  virtual void Changed(Component& component, Property property) = 0;
};

class Component {
 public:
  Component(Component* owner, std::string name, ComponentClass cls);
  virtual ~Component();
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  const std::string& Name() const { return name_; }
  ComponentClass Class() const { return class_; }
  Component* Owner() const { return owner_; }
  // The components this one owns, in creation order.
  const std::vector<Component*>& Components() const { return owned_; }
  Component* FindComponent(std::string_view name) const;

  int Tag = 0;

  void SetPeer(std::unique_ptr<ComponentPeer> peer);
  ComponentPeer* Peer() const { return peer_.get(); }

 protected:
  void Notify(Property p);

 private:
  std::string name_;
  ComponentClass class_;
  Component* owner_;
  std::vector<Component*> owned_;
  std::unique_ptr<ComponentPeer> peer_;
};

enum class Align { None, Top, Bottom, Client };

// Which edges of its parent a control keeps its distance to when the parent changes size.
// Left and right both: it grows with the parent; neither: it keeps its centre's relative
// place. The same for top and bottom.
enum Anchor : unsigned { AnchorLeft = 1, AnchorTop = 2, AnchorRight = 4, AnchorBottom = 8 };

struct Font {
  int sizePx = 0;  // 0: the toolkit's default
  bool bold = false;
  std::uint32_t color = 0;  // 0xRRGGBB; 0 means default
};

// A visible control. Texts are Windows-1252.
class Control : public Component {
 public:
  Control(Component* owner, Control* parent, std::string name, ComponentClass cls);

  Control* Parent() const { return parent_; }

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string text);
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string text);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);

  Align GetAlign() const { return align_; }
  void SetAlign(Align a) { align_ = a; }
  // Anchor bits for a control without alignment.
  unsigned Anchors = AnchorLeft | AnchorTop;
  const platform::Font& GetFont() const { return font_; }
  void SetFont(const platform::Font& f);
  bool Sunken = false;       // static texts with a sunken border
  std::uint32_t Color = 0;   // background 0xRRGGBB, 0 = default

  // Redraw now (status panels and panels that must show before a long wait).
  void Repaint();

 private:
  Control* parent_;
  std::string caption_;
  std::string hint_;
  bool visible_ = true;
  bool enabled_ = true;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  Align align_ = Align::None;
  platform::Font font_;
};

class Label : public Control {
 public:
  Label(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::Label) {}
};

class StaticText : public Control {
 public:
  StaticText(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::StaticText) {}
};

// The results of a modal form (Form::ShowModal).
enum ModalResultTag : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

class Button : public Control {
 public:
  Button(Component* owner, Control* parent, std::string name,
         ComponentClass cls = ComponentClass::Button)
      : Control(owner, parent, std::move(name), cls) {}
  std::function<void(Component* sender)> OnClick;
  // A button of a modal form: its click gives the form this result, which ends ShowModal.
  int ModalResult = mrNone;
  // What a user's click does: nothing while disabled or hidden.
  void Click();
};

class BitBtn : public Button {
 public:
  BitBtn(Component* owner, Control* parent, std::string name)
      : Button(owner, parent, std::move(name), ComponentClass::BitBtn) {}
};

class SpeedButton : public Button {
 public:
  SpeedButton(Component* owner, Control* parent, std::string name)
      : Button(owner, parent, std::move(name), ComponentClass::SpeedButton) {}
};

class Panel : public Control {
 public:
  Panel(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::Panel) {}
};

class GroupBox : public Control {
 public:
  GroupBox(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::GroupBox) {}
};

class Bevel : public Control {
 public:
  Bevel(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::Bevel) {}
};

// A line list: the log memo and the list box.
class LinesControl : public Control {
 public:
  using Control::Control;
  const std::vector<std::string>& Lines() const { return lines_; }
  // Appends one item; a text holding CR LF (or a lone CR or LF) shows as several lines.
  void Add(std::string_view text);
  void Clear();
  // Called with every line added, for the console's log.
  std::function<void(const std::string& line)> OnLineAdded;

 private:
  std::vector<std::string> lines_;
};

class Memo : public LinesControl {
 public:
  Memo(Component* owner, Control* parent, std::string name)
      : LinesControl(owner, parent, std::move(name), ComponentClass::Memo) {}
};

class ListBox : public LinesControl {
 public:
  ListBox(Component* owner, Control* parent, std::string name)
      : LinesControl(owner, parent, std::move(name), ComponentClass::ListBox) {}
};

// A one-line text field; its text is the caption.
class Edit : public Control {
 public:
  Edit(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::Edit) {}
  bool NumbersOnly = false;  // takes digits only
  // What the user typed (the backend calls it); with NumbersOnly anything but digits is dropped.
  void UserEdited(std::string text);
};

// A drop-down list; the editable style also takes a typed text (its caption).
class ComboBox : public Control {
 public:
  enum class Style { DropDown, DropDownList };
  ComboBox(Component* owner, Control* parent, std::string name, Style style = Style::DropDownList)
      : Control(owner, parent, std::move(name), ComponentClass::ComboBox), style_(style) {}
  Style GetStyle() const { return style_; }
  const std::vector<std::string>& Items() const { return items_; }
  void AddItem(std::string item);
  void ClearItems();
  // -1: no item chosen. The text shows the chosen item.
  int ItemIndex() const { return index_; }
  void SetItemIndex(int index);
  // The user chose an item, or typed a text (the backend calls these).
  void UserSelected(int index);
  void UserEdited(std::string text);

 private:
  Style style_;
  std::vector<std::string> items_;
  int index_ = -1;
};

// Two arrows that step a number between its limits; an associated edit shows the number and
// takes one typed by the user.
class UpDown : public Control {
 public:
  UpDown(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::UpDown) {}
  int Min() const { return min_; }
  int Max() const { return max_; }
  void SetRange(int min, int max);
  void SetAssociate(Edit* edit);
  Edit* Associate() const { return associate_; }
  // The associated edit's number when it holds one (the nearest limit when it lies outside),
  // else the last position.
  int Position() const;
  // Kept within the limits; the associated edit shows it.
  void SetPosition(int position);
  // The user's arrow: one step up or down.
  void Click(bool up);

 private:
  int min_ = 0, max_ = 100, position_ = 0;
  Edit* associate_ = nullptr;
};

class ProgressBar : public Control {
 public:
  ProgressBar(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::ProgressBar) {}
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetMax(int max);
  void SetMin(int min);
  // Kept within Min..Max, as the bar's own range limits it.
  void SetPosition(int position);

 private:
  int min_ = 0, max_ = 100, position_ = 0;
};

class StatusBar : public Control {
 public:
  StatusBar(Component* owner, Control* parent, std::string name)
      : Control(owner, parent, std::move(name), ComponentClass::StatusBar) {}
  struct PanelInfo {
    std::string text;
    int width = 50;
    std::string hint;
  };
  void AddPanel(int width, std::string text = {});
  std::size_t PanelCount() const { return panels_.size(); }
  const std::string& PanelText(std::size_t i) const;
  int PanelWidth(std::size_t i) const;
  void SetPanelText(std::size_t i, std::string text);
  // Tooltip of one panel (the device paths behind COM numbers, for instance).
  void SetPanelHint(std::size_t i, std::string hint);
  const std::string& PanelHint(std::size_t i) const;
  std::function<void(std::size_t panel, const std::string& text)> OnPanelChanged;

 private:
  std::vector<PanelInfo> panels_;
};

class MenuItem : public Component {
 public:
  MenuItem(Component* owner, MenuItem* parent, std::string name, std::string caption = {});
  MenuItem* ParentItem() const { return parent_; }
  const std::vector<MenuItem*>& Items() const { return items_; }

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string text);
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string text);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  bool Checked() const { return checked_; }
  // A checked radio item unchecks the others of its group among its siblings.
  void SetChecked(bool c);
  bool RadioItem = false;
  int GroupIndex = 0;

  std::function<void(Component* sender)> OnClick;
  // What a user's choice does: nothing while the item or a parent is disabled or hidden.
  void Click();

 private:
  friend class Component;
  MenuItem* parent_;
  std::vector<MenuItem*> items_;
  std::string caption_, hint_;
  bool visible_ = true, enabled_ = true, checked_ = false;
};

class MainMenu : public Component {
 public:
  MainMenu(Component* owner, std::string name);
  // The invisible root whose items are the menu bar's entries.
  MenuItem& Root() { return *root_; }

 private:
  MenuItem* root_;
};

class Timer : public Component {
 public:
  Timer(Component* owner, std::string name);
  ~Timer() override;
  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  std::function<void(Timer& sender)> OnTimer;

 private:
  std::uint32_t interval_ = 1000;
  bool enabled_ = false;
};

class OpenDialog : public Component {
 public:
  OpenDialog(Component* owner, std::string name)
      : Component(owner, std::move(name), ComponentClass::OpenDialog) {}
  std::string InitialDir;
  std::string FileName;
  std::string Filter;
  // Modal; true when the user chose a file (FileName then holds it).
  bool Execute();
};

enum Shift : unsigned { ShiftKey = 1, CtrlKey = 2, AltKey = 4 };
// Key codes as the Windows virtual keys.
enum Key : int { KeyReturn = 13, KeyEscape = 27, KeyF1 = 0x70, KeyF12 = 0x7B };

class Form : public Control {
 public:
  Form(Component* owner, std::string name);
  ~Form() override;

  int ClientWidth() const { return Width(); }
  int ClientHeight() const { return Height(); }
  bool KeyPreview = false;
  bool Centered = true;
  MainMenu* Menu = nullptr;

  // A message posted to this form (Application::PostMessage) arrives here, on the
  // window's thread. The default ignores it.
  virtual void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam);

  // Asked before the form closes; false keeps it open.
  std::function<bool()> OnCloseQuery;
  std::function<void()> OnClose;
  std::function<void(int key, unsigned shift)> OnKeyUp;

  void Show();
  // Shows the form modally until a button with a modal result is clicked or the form is
  // closed (then mrCancel); returns the result.
  int ShowModal();
  int ModalResult = mrNone;
  // Asks OnCloseQuery, then runs OnClose once and ends the form; the main form's close ends
  // the program. True when the form is closed (now or before).
  bool Close();
  bool Closed() const { return closed_; }
  void KeyUp(int key, unsigned shift);

 private:
  bool closed_ = false;
};

}  // namespace platform
