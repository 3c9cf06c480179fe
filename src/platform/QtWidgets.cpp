// The widgets that mirror a form's components, and the peers that keep them in step.
#include "platform/QtWidgets.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <utility>

#include "platform/Application.h"
#include "platform/Text.h"

namespace platform::qtui {

QString ToQString(const std::string& cp1252) {
  QString s = QString::fromStdString(Cp1252ToUtf8(cp1252));
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QChar('\r'), QChar('\n'));
  return s;
}

QString WithoutMnemonic(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QChar('&')) {
      if (i + 1 < text.size() && text[i + 1] == QChar('&')) {
        out += QChar('&');
        ++i;
      }
      continue;
    }
    out += text[i];
  }
  return out;
}

int VirtualKeyOf(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return key;  // same codes as 'A'..'Z'
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return key;  // '0'..'9'
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return KeyReturn;
    case Qt::Key_Escape: return KeyEscape;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Shift: return 0x10;
    case Qt::Key_Control: return 0x11;
    case Qt::Key_Alt: return 0x12;
    case Qt::Key_Pause: return 0x13;
    default: return 0;
  }
}

unsigned ShiftOf(Qt::KeyboardModifiers m) {
  unsigned s = 0;
  if (m & Qt::ShiftModifier) s |= ShiftKey;
  if (m & Qt::ControlModifier) s |= CtrlKey;
  if (m & Qt::AltModifier) s |= AltKey;
  return s;
}

namespace {

class QtPeer : public ComponentPeer {
 public:
  virtual QWidget* Widget() const { return nullptr; }
  virtual QAction* Action() const { return nullptr; }
};

void ApplyFont(QWidget* w, const platform::Font& f) {
  QFont font = w->font();
  if (f.sizePx > 0) font.setPixelSize(f.sizePx);
  font.setBold(f.bold);
  w->setFont(font);
  if (f.color != 0) {
    QPalette pal = w->palette();
    QColor c(static_cast<int>((f.color >> 16) & 0xFF), static_cast<int>((f.color >> 8) & 0xFF),
             static_cast<int>(f.color & 0xFF));
    pal.setColor(QPalette::WindowText, c);
    pal.setColor(QPalette::Text, c);
    w->setPalette(pal);
  }
}

void ApplyBackground(QWidget* w, std::uint32_t color) {
  if (color == 0) return;
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window,
               QColor(static_cast<int>((color >> 16) & 0xFF),
                      static_cast<int>((color >> 8) & 0xFF), static_cast<int>(color & 0xFF)));
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

// Keeps a line list widget in step with its control, appending what is new.
template <typename AppendFn, typename ClearFn>
void SyncLines(const LinesControl& c, std::size_t& shown, AppendFn append, ClearFn clear) {
  const auto& lines = c.Lines();
  if (lines.size() < shown) {
    clear();
    shown = 0;
  }
  for (; shown < lines.size(); ++shown) append(ToQString(lines[shown]));
}

class ControlPeer : public QtPeer {
 public:
  ControlPeer(std::shared_ptr<FormUi> ui, QWidget* widget) : ui_(std::move(ui)), w_(widget) {}
  QWidget* Widget() const override { return w_.data(); }

  void Changed(Component& component, Property p) override {
    if (!w_ || !ui_->form) return;
    auto& c = static_cast<Control&>(component);
    switch (p) {
      case Property::Caption: ApplyCaption(c); break;
      case Property::Hint: w_->setToolTip(ToQString(c.Hint())); break;
      case Property::Visible:
        w_->setVisible(c.Visible());
        if (c.GetAlign() != Align::None || c.Class() == ComponentClass::StatusBar)
          ui_->Layout(c.Parent());
        break;
      case Property::Enabled: w_->setEnabled(c.Enabled()); break;
      case Property::Bounds:
        ui_->Layout(c.Parent());
        ui_->Layout(&c);
        break;
      case Property::Font: ApplyFont(w_, c.GetFont()); break;
      case Property::Repaint: w_->repaint(); break;
      default: ApplyContent(c, p); break;
    }
  }

  // Everything at once, as the widget is built.
  void ApplyAll(Control& c) {
    ApplyFont(w_, c.GetFont());
    ApplyCaption(c);
    if (!c.Hint().empty()) w_->setToolTip(ToQString(c.Hint()));
    w_->setEnabled(c.Enabled());
    ApplyContent(c, Property::Lines);
    ApplyContent(c, Property::Range);
    ApplyContent(c, Property::Panels);
    ApplyContent(c, Property::Items);
  }

 protected:
  virtual void ApplyCaption(Control& c) { (void)c; }
  virtual void ApplyContent(Control& c, Property p) {
    (void)c;
    (void)p;
  }

  std::shared_ptr<FormUi> ui_;
  QPointer<QWidget> w_;
};

class LabelPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyCaption(Control& c) override {
    static_cast<QLabel*>(w_.data())->setText(WithoutMnemonic(ToQString(c.Caption())));
  }
};

class ButtonPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyCaption(Control& c) override {
    static_cast<QAbstractButton*>(w_.data())->setText(ToQString(c.Caption()));
  }
};

class GroupBoxPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyCaption(Control& c) override {
    static_cast<QGroupBox*>(w_.data())->setTitle(ToQString(c.Caption()));
  }
};

// An edit: the text both ways (what the user types reaches the component).
class EditPeer : public ControlPeer {
 public:
  EditPeer(std::shared_ptr<FormUi> ui, QWidget* widget, Edit& edit) : ControlPeer(std::move(ui), widget) {
    auto* e = static_cast<QLineEdit*>(widget);
    if (edit.NumbersOnly)
      e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
    Edit* target = &edit;
    QObject::connect(e, &QLineEdit::textChanged, e, [this, target](const QString& text) {
      if (!syncing_) target->UserEdited(Utf8ToCp1252(text.toStdString()));
    });
  }

 protected:
  void ApplyCaption(Control& c) override {
    auto* e = static_cast<QLineEdit*>(w_.data());
    QString text = ToQString(c.Caption());
    if (e->text() == text) return;
    syncing_ = true;
    e->setText(text);
    syncing_ = false;
  }

 private:
  bool syncing_ = false;
};

// A drop-down list: its items, the chosen one and (editable) the text, both ways.
class ComboPeer : public ControlPeer {
 public:
  ComboPeer(std::shared_ptr<FormUi> ui, QWidget* widget, ComboBox& box) : ControlPeer(std::move(ui), widget) {
    auto* b = static_cast<QComboBox*>(widget);
    ComboBox* target = &box;
    QObject::connect(b, &QComboBox::currentIndexChanged, b, [this, target](int index) {
      if (!syncing_) target->UserSelected(index);
    });
    if (b->isEditable())
      QObject::connect(b, &QComboBox::editTextChanged, b, [this, target](const QString& text) {
        if (!syncing_) target->UserEdited(Utf8ToCp1252(text.toStdString()));
      });
  }

 protected:
  void ApplyCaption(Control& c) override {
    auto* b = static_cast<QComboBox*>(w_.data());
    if (!b->isEditable()) return;
    QString text = ToQString(c.Caption());
    if (b->currentText() == text) return;
    syncing_ = true;
    b->setEditText(text);
    syncing_ = false;
  }
  void ApplyContent(Control& c, Property p) override {
    auto& box = static_cast<ComboBox&>(c);
    auto* b = static_cast<QComboBox*>(w_.data());
    syncing_ = true;
    if (p == Property::Items) {
      b->clear();
      for (const std::string& item : box.Items()) b->addItem(ToQString(item));
    }
    if (p == Property::Items || p == Property::ItemIndex) {
      b->setCurrentIndex(box.ItemIndex());
      if (b->isEditable()) b->setEditText(ToQString(box.Caption()));
    }
    syncing_ = false;
  }

 private:
  bool syncing_ = false;
};

class MemoPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyContent(Control& c, Property p) override {
    if (p != Property::Lines) return;
    auto* edit = static_cast<QPlainTextEdit*>(w_.data());
    std::size_t before = shown_;
    SyncLines(
        static_cast<LinesControl&>(c), shown_, [edit](const QString& s) { edit->appendPlainText(s); },
        [edit] { edit->clear(); });
    if (shown_ != before) edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
  }

 private:
  std::size_t shown_ = 0;
};

class ListBoxPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyContent(Control& c, Property p) override {
    if (p != Property::Lines && p != Property::Items) return;
    auto* list = static_cast<QListWidget*>(w_.data());
    SyncLines(
        static_cast<LinesControl&>(c), shown_, [list](const QString& s) { list->addItem(s); },
        [list] { list->clear(); });
  }

 private:
  std::size_t shown_ = 0;
};

class ProgressPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyContent(Control& c, Property p) override {
    if (p != Property::Range && p != Property::Position) return;
    auto& bar = static_cast<ProgressBar&>(c);
    auto* w = static_cast<QProgressBar*>(w_.data());
    w->setRange(bar.Min(), bar.Max());
    w->setValue(bar.Position());
  }
};

// The width a framed label needs to show its whole text on one line: the text, the frame
// and the indent a framed label keeps on both sides.
int NeededWidth(const QLabel& label) {
  const QFontMetrics fm = label.fontMetrics();
  if (label.text().isEmpty()) return 0;
  return fm.horizontalAdvance(label.text()) + 2 * label.frameWidth() + fm.horizontalAdvance(QLatin1Char('x')) +
         2 * label.margin() + 2;
}

class StatusBarPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

 protected:
  void ApplyContent(Control& c, Property p) override {
    if (p != Property::Panels) return;
    auto& bar = static_cast<StatusBar&>(c);
    auto* layout = static_cast<QHBoxLayout*>(w_->layout());
    while (labels_.size() > bar.PanelCount()) {
      delete labels_.back();
      labels_.pop_back();
    }
    while (labels_.size() < bar.PanelCount()) {
      auto* l = new QLabel(w_);
      l->setTextFormat(Qt::PlainText);
      l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      l->setObjectName(QStringLiteral("panel%1").arg(labels_.size()));
      layout->addWidget(l);
      labels_.push_back(l);
    }
    for (std::size_t i = 0; i < labels_.size(); ++i) {
      QLabel* l = labels_[i];
      l->setText(ToQString(bar.PanelText(i)));
      l->setToolTip(ToQString(bar.PanelHint(i)));
      // A panel is as wide as designed, or as its text needs when that is more: a text is
      // never cut. The last panel takes the rest of the bar, as a status bar's last panel does.
      const int width = std::max({0, bar.PanelWidth(i), NeededWidth(*l)});
      if (i + 1 < labels_.size()) {
        l->setFixedWidth(width);
        layout->setStretch(static_cast<int>(i), 0);
      } else {
        l->setMinimumWidth(width);
        l->setMaximumWidth(QWIDGETSIZE_MAX);
        layout->setStretch(static_cast<int>(i), 1);
      }
    }
  }

 private:
  std::vector<QPointer<QLabel>> labels_;
};

class FormPeer : public ControlPeer {
 public:
  using ControlPeer::ControlPeer;

  void Changed(Component& component, Property p) override {
    FormWindow* win = ui_->window;
    if (!win || !ui_->form) return;
    auto& form = static_cast<Form&>(component);
    switch (p) {
      case Property::Caption: win->setWindowTitle(WindowTitleOf(form)); break;
      case Property::Visible:
        if (form.Visible()) {
          if (!ui_->positioned && form.Centered) ui_->Center();
          ui_->positioned = true;
          win->show();
        } else {
          win->hide();
        }
        break;
      case Property::Enabled: win->setEnabled(form.Enabled()); break;
      case Property::Bounds: ApplySize(form); break;
      case Property::Font: ApplyFont(win, form.GetFont()); break;
      case Property::Repaint: win->repaint(); break;
      default: break;
    }
  }

  // The designed client size is the window's first and smallest size; it may grow (resized
  // or maximised), and the controls follow their anchors.
  void ApplySize(Form& form) {
    const bool designed = ui_->client && form.Width() > 0 && form.Height() > 0;
    if (designed) ui_->client->setMinimumSize(form.Width(), form.Height());
    ui_->window->adjustSize();
    // Until the window shows, its layout has not placed the client: give it its size now.
    if (designed && !ui_->window->isVisible()) ui_->client->resize(form.Width(), form.Height());
    ui_->LayoutAll();
  }
};

// Menu items: an action each (the submenu's own action for items with children).
class MenuPeer : public QtPeer {
 public:
  explicit MenuPeer(QAction* action) : a_(action) {}
  QAction* Action() const override { return a_.data(); }

  void Changed(Component& component, Property p) override {
    if (!a_) return;
    auto& item = static_cast<MenuItem&>(component);
    switch (p) {
      case Property::Caption: a_->setText(ToQString(item.Caption())); break;
      case Property::Hint: a_->setStatusTip(ToQString(item.Hint())); break;
      case Property::Visible: a_->setVisible(item.Visible()); break;
      case Property::Enabled: a_->setEnabled(item.Enabled()); break;
      case Property::Checked: SyncChecked(item); break;
      default: break;
    }
  }

  void SyncChecked(MenuItem& item) {
    if (item.Checked() && !a_->isCheckable()) a_->setCheckable(true);
    if (a_->isChecked() != item.Checked()) a_->setChecked(item.Checked());
  }

 private:
  QPointer<QAction> a_;
};

QWidget* CreateWidget(Control& c) {
  switch (c.Class()) {
    case ComponentClass::Label: {
      auto* l = new QLabel;
      l->setTextFormat(Qt::PlainText);
      return l;
    }
    case ComponentClass::StaticText: {
      auto* l = new QLabel;
      l->setTextFormat(Qt::PlainText);
      if (c.Sunken) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      return l;
    }
    case ComponentClass::Button:
    case ComponentClass::BitBtn: return new QPushButton;
    case ComponentClass::SpeedButton: return new QToolButton;
    case ComponentClass::CheckBox: return new QCheckBox;
    case ComponentClass::RadioButton: return new QRadioButton;
    case ComponentClass::Panel: {
      auto* l = new QLabel;
      l->setTextFormat(Qt::PlainText);
      l->setFrameStyle(QFrame::Panel | (c.Sunken ? QFrame::Sunken : QFrame::Raised));
      l->setAlignment(Qt::AlignCenter);
      return l;
    }
    case ComponentClass::GroupBox:
    case ComponentClass::RadioGroup: return new QGroupBox;
    case ComponentClass::Bevel: {
      auto* f = new QFrame;
      if (c.Height() <= 2)
        f->setFrameShape(QFrame::HLine);
      else if (c.Width() <= 2)
        f->setFrameShape(QFrame::VLine);
      else
        f->setFrameShape(QFrame::Box);
      f->setFrameShadow(QFrame::Sunken);
      return f;
    }
    case ComponentClass::Memo: {
      auto* e = new QPlainTextEdit;
      e->setReadOnly(true);
      // A memo with a vertical scroll bar only: long lines wrap at the memo's width.
      e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      e->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      e->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      return e;
    }
    case ComponentClass::ListBox: return new QListWidget;
    case ComponentClass::Edit: return new QLineEdit;
    case ComponentClass::ComboBox: {
      auto* b = new QComboBox;
      auto* box = dynamic_cast<ComboBox*>(&c);
      b->setEditable(!box || box->GetStyle() == ComboBox::Style::DropDown);
      if (b->isEditable()) b->setInsertPolicy(QComboBox::NoInsert);
      return b;
    }
    case ComponentClass::UpDown: {
      // The two arrows, one above the other.
      auto* w = new QWidget;
      auto* layout = new QVBoxLayout(w);
      layout->setContentsMargins(0, 0, 0, 0);
      layout->setSpacing(0);
      auto* updown = dynamic_cast<UpDown*>(&c);
      for (bool up : {true, false}) {
        auto* b = new QToolButton(w);
        b->setArrowType(up ? Qt::UpArrow : Qt::DownArrow);
        b->setObjectName(up ? QStringLiteral("up") : QStringLiteral("down"));
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(b);
        if (updown) QObject::connect(b, &QToolButton::clicked, b, [updown, up] { updown->Click(up); });
      }
      return w;
    }
    case ComponentClass::ProgressBar: {
      auto* p = new QProgressBar;
      p->setTextVisible(false);
      return p;
    }
    case ComponentClass::StatusBar: {
      auto* w = new QWidget;
      auto* layout = new QHBoxLayout(w);
      layout->setContentsMargins(0, 0, 0, 0);
      layout->setSpacing(2);
      return w;
    }
    default: return new QWidget;
  }
}

std::unique_ptr<ControlPeer> CreatePeer(Control& c, std::shared_ptr<FormUi> ui, QWidget* w) {
  switch (c.Class()) {
    case ComponentClass::Label:
    case ComponentClass::StaticText:
    case ComponentClass::Panel: return std::make_unique<LabelPeer>(std::move(ui), w);
    case ComponentClass::Button:
    case ComponentClass::BitBtn:
    case ComponentClass::SpeedButton:
    case ComponentClass::CheckBox:
    case ComponentClass::RadioButton: return std::make_unique<ButtonPeer>(std::move(ui), w);
    case ComponentClass::GroupBox:
    case ComponentClass::RadioGroup: return std::make_unique<GroupBoxPeer>(std::move(ui), w);
    case ComponentClass::Edit:
      if (auto* edit = dynamic_cast<Edit*>(&c)) return std::make_unique<EditPeer>(std::move(ui), w, *edit);
      return std::make_unique<ControlPeer>(std::move(ui), w);
    case ComponentClass::ComboBox:
      if (auto* box = dynamic_cast<ComboBox*>(&c)) return std::make_unique<ComboPeer>(std::move(ui), w, *box);
      return std::make_unique<ControlPeer>(std::move(ui), w);
    case ComponentClass::Memo: return std::make_unique<MemoPeer>(std::move(ui), w);
    case ComponentClass::ListBox: return std::make_unique<ListBoxPeer>(std::move(ui), w);
    case ComponentClass::ProgressBar: return std::make_unique<ProgressPeer>(std::move(ui), w);
    case ComponentClass::StatusBar: return std::make_unique<StatusBarPeer>(std::move(ui), w);
    default: return std::make_unique<ControlPeer>(std::move(ui), w);
  }
}

void Collect(Component& c, std::vector<Control*>& controls, std::vector<MainMenu*>& menus) {
  for (Component* child : c.Components()) {
    if (child->Class() == ComponentClass::MainMenu) {
      menus.push_back(static_cast<MainMenu*>(child));
    } else if (auto* ctl = dynamic_cast<Control*>(child);
               ctl && child->Class() != ComponentClass::Form) {
      controls.push_back(ctl);
    }
    if (child->Class() != ComponentClass::Form) Collect(*child, controls, menus);
  }
}

// Re-reads the checked state of the item's radio group after Qt may have toggled it.
void SyncGroup(MenuItem& item) {
  std::vector<MenuItem*> group;
  if (item.ParentItem())
    group = item.ParentItem()->Items();
  else
    group.push_back(&item);
  for (MenuItem* m : group)
    if (auto* peer = dynamic_cast<MenuPeer*>(m->Peer())) peer->SyncChecked(*m);
}

struct MenuBuilder {
  std::map<std::pair<MenuItem*, int>, QActionGroup*> groups;

  void AddItems(MenuItem& parent, QWidget* into, bool bar) {
    for (MenuItem* item : parent.Items()) {
      QAction* action = nullptr;
      if (!item->Items().empty()) {
        auto* menu = new QMenu(ToQString(item->Caption()), into);
        menu->setObjectName(QString::fromStdString(item->Name()));
        action = menu->menuAction();
        AddItems(*item, menu, false);
      } else if (item->Caption() == "-" && !bar) {
        action = new QAction(into);
        action->setSeparator(true);
      } else {
        action = new QAction(ToQString(item->Caption()), into);
        MenuItem* target = item;
        QObject::connect(action, &QAction::triggered, action, [target] {
          target->Click();
          SyncGroup(*target);
        });
      }
      // Named like the item, so that the actions can be found as the widgets can.
      action->setObjectName(QString::fromStdString(item->Name()));
      if (bar)
        static_cast<QMenuBar*>(into)->addAction(action);
      else
        static_cast<QMenu*>(into)->addAction(action);
      action->setStatusTip(ToQString(item->Hint()));
      action->setVisible(item->Visible());
      action->setEnabled(item->Enabled());
      if (item->RadioItem) {
        auto key = std::make_pair(&parent, item->GroupIndex);
        QActionGroup*& group = groups[key];
        if (!group) {
          group = new QActionGroup(into);
          group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
        }
        action->setCheckable(true);
        group->addAction(action);
      }
      auto peer = std::make_unique<MenuPeer>(action);
      peer->SyncChecked(*item);
      item->SetPeer(std::move(peer));
    }
  }
};

}  // namespace

QWidget* WidgetOf(const Component& component) {
  auto* peer = dynamic_cast<QtPeer*>(component.Peer());
  return peer ? peer->Widget() : nullptr;
}

QAction* ActionOf(const Component& item) {
  auto* peer = dynamic_cast<QtPeer*>(item.Peer());
  return peer ? peer->Action() : nullptr;
}

QWidget* FormUi::ContainerOf(Control* parent) const {
  if (!parent || parent == form) return client;
  QWidget* w = WidgetOf(*parent);
  return w ? w : client.data();
}

void FormUi::Layout(Control* parent) {
  if (!form) return;
  if (!parent) parent = form;
  QWidget* container = ContainerOf(parent);
  if (!container) return;
  const QSize size = container->size();
  // How much the parent has grown beyond (or shrunk below) its designed size.
  const int dw = size.width() - parent->Width();
  const int dh = size.height() - parent->Height();
  QRect rest(0, 0, size.width(), size.height());
  std::vector<Control*> children;
  for (Control* c : controls) {
    Control* p = c->Parent() ? c->Parent() : form;
    if (p == parent) children.push_back(c);
  }
  auto alignOf = [](Control* c) {
    // A status bar sits at the bottom of its parent unless told otherwise.
    if (c->Class() == ComponentClass::StatusBar && c->GetAlign() == Align::None)
      return Align::Bottom;
    return c->GetAlign();
  };
  // Aligned controls stack by their own positions: the topmost first at the top, the
  // lowest (and the status bar before all) first at the bottom.
  std::vector<Control*> ordered = children;
  std::stable_sort(ordered.begin(), ordered.end(), [&](Control* a, Control* b) {
    Align aa = alignOf(a), ab = alignOf(b);
    if (aa != ab) return static_cast<int>(aa) < static_cast<int>(ab);
    if (aa == Align::Bottom) {
      bool sa = a->Class() == ComponentClass::StatusBar, sb = b->Class() == ComponentClass::StatusBar;
      if (sa != sb) return sa;
      return a->Top() > b->Top();
    }
    if (aa == Align::Top) return a->Top() < b->Top();
    return false;
  });
  for (Align pass : {Align::Top, Align::Bottom, Align::Client, Align::None}) {
    for (Control* c : ordered) {
      QWidget* w = WidgetOf(*c);
      if (!w || alignOf(c) != pass) continue;
      int h = c->Height() > 0 ? c->Height() : (c->Class() == ComponentClass::StatusBar ? 19 : 0);
      switch (pass) {
        case Align::Top:
          w->setGeometry(rest.left(), rest.top(), rest.width(), h);
          if (c->Visible()) rest.setTop(rest.top() + h);
          break;
        case Align::Bottom:
          w->setGeometry(rest.left(), rest.bottom() + 1 - h, rest.width(), h);
          if (c->Visible()) rest.setBottom(rest.bottom() - h);
          break;
        case Align::Client: w->setGeometry(rest); break;
        case Align::None: {
          const unsigned a = c->Anchors;
          int x = c->Left(), y = c->Top(), width = c->Width(), height = c->Height();
          if ((a & AnchorLeft) && (a & AnchorRight)) width += dw;
          else if (a & AnchorRight) x += dw;
          else if (!(a & AnchorLeft)) x += dw / 2;
          if ((a & AnchorTop) && (a & AnchorBottom)) height += dh;
          else if (a & AnchorBottom) y += dh;
          else if (!(a & AnchorTop)) y += dh / 2;
          w->setGeometry(x, y, std::max(0, width), std::max(0, height));
          break;
        }
      }
    }
  }
}

void FormUi::LayoutAll() {
  Layout(form);
  for (Control* c : controls) Layout(c);
}

void FormUi::Center() {
  if (!window) return;
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect area = screen->availableGeometry();
  QSize size = window->frameGeometry().size();
  window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

QString WindowTitleOf(const Form& form) {
  QString caption = ToQString(form.Caption());
  if (!HasApp() || App().MainForm() != &form || App().Title().empty()) return caption;
  return ToQString(App().Title()) + QStringLiteral(" \u2013 ") + caption;
}

FormWindow::FormWindow(std::shared_ptr<FormUi> ui) : ui_(std::move(ui)) {}

void FormWindow::closeEvent(QCloseEvent* event) {
  // The window's close box (or the desktop's close command) closes the form: its close
  // query may keep it open, and its OnClose runs once. While the program holds its thread
  // the request waits, like a click, and is made again when the hold ends.
  if (ui_->form && !ui_->form->Closed()) {
    if (HasApp() && App().Quiet()) {
      ui_->closePending = true;
      event->ignore();
      return;
    }
    if (!ui_->form->Close()) {
      event->ignore();
      return;
    }
  }
  event->accept();
}

bool FormWindow::eventFilter(QObject* watched, QEvent* event) {
  // A new client size (resized, maximised, restored) places the controls anew.
  if (watched == ui_->client.data() && event->type() == QEvent::Resize) ui_->LayoutAll();
  return QMainWindow::eventFilter(watched, event);
}

FormWindow* BuildFormWindow(Form& form) {
  auto ui = std::make_shared<FormUi>();
  ui->form = &form;
  auto* window = new FormWindow(ui);
  ui->window = window;
  window->setObjectName(QString::fromStdString(form.Name()));
  auto* client = new QWidget(window);
  client->setObjectName(QStringLiteral("client"));
  ui->client = client;
  window->setCentralWidget(client);

  std::vector<MainMenu*> menus;
  Collect(form, ui->controls, menus);

  // Widgets first, then parents, since a child may have been created before its parent.
  std::vector<ControlPeer*> peers;
  for (Control* c : ui->controls) {
    QWidget* w = CreateWidget(*c);
    w->setObjectName(QString::fromStdString(c->Name()));
    auto peer = CreatePeer(*c, ui, w);
    peers.push_back(peer.get());
    c->SetPeer(std::move(peer));
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      if (auto* b = dynamic_cast<Button*>(c))
        QObject::connect(button, &QAbstractButton::clicked, button, [b] { b->Click(); });
    }
  }
  for (Control* c : ui->controls) WidgetOf(*c)->setParent(ui->ContainerOf(c->Parent()));
  for (std::size_t i = 0; i < ui->controls.size(); ++i) {
    Control* c = ui->controls[i];
    peers[i]->ApplyAll(*c);
    ApplyBackground(WidgetOf(*c), c->Color);
    WidgetOf(*c)->setVisible(c->Visible());
  }

  MainMenu* menu = form.Menu ? form.Menu : (menus.empty() ? nullptr : menus.front());
  if (menu) {
    MenuBuilder builder;
    builder.AddItems(menu->Root(), window->menuBar(), true);
  }

  auto formPeer = std::make_unique<FormPeer>(ui, client);
  FormPeer* fp = formPeer.get();
  form.SetPeer(std::move(formPeer));
  window->setWindowTitle(WindowTitleOf(form));
  ApplyFont(window, form.GetFont());
  window->setEnabled(form.Enabled());
  fp->ApplySize(form);
  client->installEventFilter(window);
  return window;
}

}  // namespace platform::qtui
