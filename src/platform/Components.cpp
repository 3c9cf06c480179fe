#include "platform/Components.h"

#include <algorithm>

#include "platform/Application.h"

namespace platform {

const char* ClassName(ComponentClass cls) {
  switch (cls) {
    case ComponentClass::Form: return "TForm";
    case ComponentClass::Label: return "TLabel";
    case ComponentClass::StaticText: return "TStaticText";
    case ComponentClass::Button: return "TButton";
    case ComponentClass::BitBtn: return "TBitBtn";
    case ComponentClass::SpeedButton: return "TSpeedButton";
    case ComponentClass::CheckBox: return "TCheckBox";
    case ComponentClass::RadioButton: return "TRadioButton";
    case ComponentClass::Panel: return "TPanel";
    case ComponentClass::GroupBox: return "TGroupBox";
    case ComponentClass::RadioGroup: return "TRadioGroup";
    case ComponentClass::TabSheet: return "TTabSheet";
    case ComponentClass::TabControl: return "TTabControl";
    case ComponentClass::Bevel: return "TBevel";
    case ComponentClass::Memo: return "TMemo";
    case ComponentClass::ListBox: return "TListBox";
    case ComponentClass::Edit: return "TEdit";
    case ComponentClass::ComboBox: return "TComboBox";
    case ComponentClass::ProgressBar: return "TProgressBar";
    case ComponentClass::StatusBar: return "TStatusBar";
    case ComponentClass::MainMenu: return "TMainMenu";
    case ComponentClass::MenuItem: return "TMenuItem";
    case ComponentClass::Timer: return "TTimer";
    case ComponentClass::OpenDialog: return "TOpenDialog";
    case ComponentClass::UpDown: return "TUpDown";
    case ComponentClass::Other: return "TComponent";
  }
  return "TComponent";
}

// ---- Component ----

Component::Component(Component* owner, std::string name, ComponentClass cls)
    : name_(std::move(name)), class_(cls), owner_(owner) {
  if (owner_) owner_->owned_.push_back(this);
}

Component::~Component() {
  // Owned components go first, newest first, as their owner ends.
  while (!owned_.empty()) {
    Component* c = owned_.back();
    c->owner_ = nullptr;
    owned_.pop_back();
    delete c;
  }
  if (owner_) {
    auto& v = owner_->owned_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
}

Component* Component::FindComponent(std::string_view name) const {
  for (Component* c : owned_)
    if (c->name_ == name) return c;
  return nullptr;
}

void Component::SetPeer(std::unique_ptr<ComponentPeer> peer) { peer_ = std::move(peer); }

void Component::Notify(Property p) {
  if (peer_) peer_->Changed(*this, p);
}

// ---- Control ----

Control::Control(Component* owner, Control* parent, std::string name, ComponentClass cls)
    : Component(owner, std::move(name), cls), parent_(parent) {}

void Control::SetCaption(std::string text) {
  if (caption_ == text) return;
  caption_ = std::move(text);
  Notify(Property::Caption);
}

void Control::SetHint(std::string text) {
  if (hint_ == text) return;
  hint_ = std::move(text);
  Notify(Property::Hint);
}

void Control::SetVisible(bool v) {
  if (visible_ == v) return;
  visible_ = v;
  Notify(Property::Visible);
}

void Control::SetEnabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  Notify(Property::Enabled);
}

void Control::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Notify(Property::Bounds);
}

void Control::SetFont(const platform::Font& f) {
  font_ = f;
  Notify(Property::Font);
}

void Control::Repaint() {
  Notify(Property::Repaint);
  if (HasApp()) App().RepaintNow(*this);
}

void Button::Click() {
  for (Control* c = this; c; c = c->Parent())
    if (!c->Enabled() || !c->Visible()) return;
  if (OnClick) OnClick(this);
  if (ModalResult == mrNone) return;
  for (Control* c = Parent(); c; c = c->Parent())
    if (c->Class() == ComponentClass::Form) {
      static_cast<Form*>(c)->ModalResult = ModalResult;
      break;
    }
}

// ---- edits, lists, up-down ----

namespace {
std::string DigitsOnly(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c < '0' || c > '9'; }), text.end());
  return text;
}
}  // namespace

void Edit::UserEdited(std::string text) { SetCaption(NumbersOnly ? DigitsOnly(std::move(text)) : std::move(text)); }

void ComboBox::AddItem(std::string item) {
  items_.push_back(std::move(item));
  Notify(Property::Items);
}

void ComboBox::ClearItems() {
  items_.clear();
  index_ = -1;
  Notify(Property::Items);
  SetCaption("");
}

void ComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= static_cast<int>(items_.size())) index = -1;
  index_ = index;
  Notify(Property::ItemIndex);
  SetCaption(index >= 0 ? items_[static_cast<std::size_t>(index)] : std::string());
}

void ComboBox::UserSelected(int index) { SetItemIndex(index); }

void ComboBox::UserEdited(std::string text) {
  if (style_ != Style::DropDown) return;
  // A typed text chooses the item it equals, or none.
  auto it = std::find(items_.begin(), items_.end(), text);
  index_ = it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
  SetCaption(std::move(text));
}

void UpDown::SetRange(int min, int max) {
  min_ = min;
  max_ = std::max(min, max);
  SetPosition(position_);
}

void UpDown::SetAssociate(Edit* edit) {
  associate_ = edit;
  if (associate_) associate_->SetCaption(std::to_string(position_));
}

int UpDown::Position() const {
  if (!associate_) return position_;
  const std::string& text = associate_->Caption();
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= text.size()) return position_;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return position_;
    value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL << 40);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, min_, max_));
}

void UpDown::SetPosition(int position) {
  position_ = std::clamp(position, min_, max_);
  if (associate_) associate_->SetCaption(std::to_string(position_));
  Notify(Property::Position);
}

void UpDown::Click(bool up) {
  for (Control* c = this; c; c = c->Parent())
    if (!c->Enabled() || !c->Visible()) return;
  SetPosition(Position() + (up ? 1 : -1));
}

// ---- line lists ----

void LinesControl::Add(std::string_view text) {
  std::size_t start = 0;
  auto emit = [&](std::size_t end) {
    lines_.emplace_back(text.substr(start, end - start));
    if (OnLineAdded) OnLineAdded(lines_.back());
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      emit(i);
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  // A text that ends in a line break adds no empty line behind it, as a memo's line list does.
  if (start < text.size() || text.empty()) emit(text.size());
  Notify(Property::Lines);
}

void LinesControl::Clear() {
  lines_.clear();
  Notify(Property::Lines);
}

// ---- progress bar ----

void ProgressBar::SetMax(int max) {
  max_ = max;
  if (min_ > max_) min_ = max_;
  position_ = std::clamp(position_, min_, max_);
  Notify(Property::Range);
}

void ProgressBar::SetMin(int min) {
  min_ = min;
  if (max_ < min_) max_ = min_;
  position_ = std::clamp(position_, min_, max_);
  Notify(Property::Range);
}

void ProgressBar::SetPosition(int position) {
  int p = std::clamp(position, min_, max_);
  if (p == position_) return;
  position_ = p;
  Notify(Property::Position);
}

// ---- status bar ----

namespace {
const std::string kEmpty;
}

void StatusBar::AddPanel(int width, std::string text) {
  panels_.push_back({std::move(text), width, {}});
  Notify(Property::Panels);
}

const std::string& StatusBar::PanelText(std::size_t i) const {
  return i < panels_.size() ? panels_[i].text : kEmpty;
}

int StatusBar::PanelWidth(std::size_t i) const { return i < panels_.size() ? panels_[i].width : 0; }

void StatusBar::SetPanelText(std::size_t i, std::string text) {
  if (i >= panels_.size() || panels_[i].text == text) return;
  panels_[i].text = std::move(text);
  Notify(Property::Panels);
  if (OnPanelChanged) OnPanelChanged(i, panels_[i].text);
}

void StatusBar::SetPanelHint(std::size_t i, std::string hint) {
  if (i >= panels_.size()) return;
  panels_[i].hint = std::move(hint);
  Notify(Property::Panels);
}

const std::string& StatusBar::PanelHint(std::size_t i) const {
  return i < panels_.size() ? panels_[i].hint : kEmpty;
}

// ---- menus ----

MenuItem::MenuItem(Component* owner, MenuItem* parent, std::string name, std::string caption)
    : Component(owner, std::move(name), ComponentClass::MenuItem),
      parent_(parent),
      caption_(std::move(caption)) {
  if (parent_) parent_->items_.push_back(this);
}

void MenuItem::SetCaption(std::string text) {
  if (caption_ == text) return;
  caption_ = std::move(text);
  Notify(Property::Caption);
}

void MenuItem::SetHint(std::string text) {
  hint_ = std::move(text);
  Notify(Property::Hint);
}

void MenuItem::SetVisible(bool v) {
  if (visible_ == v) return;
  visible_ = v;
  Notify(Property::Visible);
}

void MenuItem::SetEnabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  Notify(Property::Enabled);
}

void MenuItem::SetChecked(bool c) {
  if (c && RadioItem && parent_) {
    for (MenuItem* sibling : parent_->items_)
      if (sibling != this && sibling->RadioItem && sibling->GroupIndex == GroupIndex &&
          sibling->checked_) {
        sibling->checked_ = false;
        sibling->Notify(Property::Checked);
      }
  }
  if (checked_ == c) return;
  checked_ = c;
  Notify(Property::Checked);
}

void MenuItem::Click() {
  for (MenuItem* m = this; m; m = m->parent_)
    if (!m->enabled_ || !m->visible_) return;
  if (OnClick) OnClick(this);
}

MainMenu::MainMenu(Component* owner, std::string name)
    : Component(owner, std::move(name), ComponentClass::MainMenu),
      root_(new MenuItem(this, nullptr, Name() + "Root")) {}

// ---- timer ----

Timer::Timer(Component* owner, std::string name)
    : Component(owner, std::move(name), ComponentClass::Timer) {}

Timer::~Timer() {
  if (HasApp()) App().TimerDestroyed(*this);
}

void Timer::SetInterval(std::uint32_t ms) {
  interval_ = ms;
  if (enabled_ && HasApp()) App().TimerChanged(*this);
}

void Timer::SetEnabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  if (HasApp()) App().TimerChanged(*this);
}

bool OpenDialog::Execute() { return HasApp() && App().ExecuteOpenDialog(*this); }

// ---- form ----

Form::Form(Component* owner, std::string name)
    : Control(owner, nullptr, std::move(name), ComponentClass::Form) {}

Form::~Form() {
  if (HasApp()) App().FormDestroyed(*this);
}

void Form::HandleMessage(std::uint32_t, std::intptr_t, std::intptr_t) {}

int Form::ShowModal() {
  ModalResult = mrNone;
  return HasApp() ? App().ShowModal(*this) : mrCancel;
}

void Form::Show() {
  SetVisible(true);
  if (HasApp()) App().FormShown(*this);
}

bool Form::Close() {
  if (closed_) return true;
  if (OnCloseQuery && !OnCloseQuery()) return false;
  if (closed_) return true;  // closed while the query asked
  closed_ = true;
  if (OnClose) OnClose();
  SetVisible(false);
  if (HasApp()) App().FormClosed(*this);
  return true;
}

void Form::KeyUp(int key, unsigned shift) {
  if (OnKeyUp) OnKeyUp(key, shift);
}

}  // namespace platform
