#include "language/Sprachdlg.h"

namespace language {
namespace {

namespace files = platform::files;
using platform::ComponentClass;

// A line break inside a text entry is written as two backslashes.
std::string ToFileForm(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\\\\";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string FromFileForm(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out += "\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ValueOf(const std::string& line) {
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

bool TranslatesCaption(ComponentClass cls) {
  switch (cls) {
    case ComponentClass::CheckBox:
    case ComponentClass::Button:
    case ComponentClass::BitBtn:
    case ComponentClass::SpeedButton:
    case ComponentClass::RadioButton:
    case ComponentClass::Label:
    case ComponentClass::StaticText:
    case ComponentClass::Panel:
    case ComponentClass::GroupBox:
    case ComponentClass::RadioGroup:
    case ComponentClass::TabSheet:
      return true;
    default:
      return false;
  }
}

}  // namespace

TLanguage::TLanguage(platform::Component* owner, std::string name)
    : platform::Component(owner, std::move(name), ComponentClass::Other) {}

const std::string* TLanguage::FindLine(const std::string& key) const {
  for (const auto& line : entries_.lines)
    if (line.find(key) != std::string::npos) return &line;
  return nullptr;
}

std::string TLanguage::Path() const { return files::ResolveOrJoin("", file_); }

std::string TLanguage::TranslateText(const std::string& name, const std::string& text) {
  if (text.empty()) return {};
  const std::string fileForm = ToFileForm(text);
  const std::string key = "[" + name + "]";
  if (newFile_) {
    entries_.lines.push_back(key + "=");
    return text;
  }
  const std::string* line = FindLine(key);
  if (!line) {
    appended_ = true;
    entries_.lines.push_back(key + fileForm + ":=");
    return text;
  }
  std::string value = ValueOf(*line);
  if (!value.empty()) return FromFileForm(value);
  // An unfilled text entry keeps the text it recorded; an unfilled template blanks it.
  auto bracket = line->find(']');
  auto assign = line->find(":=");
  if (bracket != std::string::npos && assign != std::string::npos && bracket < assign)
    return FromFileForm(line->substr(bracket + 1, assign - bracket - 1));
  return {};
}

std::string TLanguage::TranslateHintText(const std::string& name, const std::string& hint) {
  const std::string key = "[Hint][" + name + "]";
  if (newFile_) {
    entries_.lines.push_back(key + hint + ":=");
    return {};
  }
  const std::string* line = FindLine(key);
  if (!line) return {};
  std::string value = ValueOf(*line);
  if (!value.empty()) return value;
  auto bracket = line->find(']');
  auto assign = line->find(":=");
  if (bracket == std::string::npos || assign == std::string::npos) return {};
  std::size_t keyEnd = bracket + name.size() + 2;  // the ']' that closes the name
  if (keyEnd >= assign) return {};
  return line->substr(keyEnd + 1, assign - keyEnd - 1);
}

void TLanguage::TranslateMenuItems(platform::MenuItem* item) {
  if (!item) return;
  for (platform::MenuItem* sub : item->Items()) {
    sub->SetCaption(TranslateText(sub->Name(), sub->Caption()));
    sub->SetHint(TranslateHintText(sub->Name(), sub->Hint()));
    TranslateMenuItems(sub);
  }
}

void TLanguage::LoadTranslateText() {
  auto found = files::Resolve("", file_);
  std::optional<std::string> bytes;
  if (found) bytes = files::ReadWholeFile(*found);
  if (bytes) {
    entries_ = files::DecodeLines(*bytes);
    readPath_ = *found;
    readBytes_ = std::move(*bytes);
    readLines_ = entries_.lines.size();
  } else {
    newFile_ = true;
    readPath_.clear();
    readBytes_.clear();
  }
}

bool TLanguage::SaveTranslateText() {
  if (!newFile_ && !appended_) return true;
  if (readPath_.empty()) return files::SaveLines(Path(), entries_);
  if (entries_.lines.size() <= readLines_) return true;  // nothing added since the file was read
  platform::TextLines added{{entries_.lines.begin() + static_cast<std::ptrdiff_t>(readLines_),
                             entries_.lines.end()},
                            entries_.encoding};
  std::string out = readBytes_;
  if (!files::EndsWithLineEnd(out, entries_.encoding)) out += files::EncodeLines({{""}, entries_.encoding}, false);
  out += files::EncodeLines(added, false);
  return files::WriteWholeFile(readPath_, out);
}

bool TLanguage::TranslateDialog(platform::Form* form, bool flag) {
  (void)flag;
  if (!Enabled || !form) return true;
  LoadTranslateText();
  form->SetCaption(TranslateText(form->Name(), form->Caption()));
  for (platform::Component* c : form->Components()) {
    if (c->Tag == TagNoTranslate) continue;
    ComponentClass cls = c->Class();
    if (TranslatesCaption(cls)) {
      if (auto* ctl = dynamic_cast<platform::Control*>(c)) {
        ctl->SetCaption(TranslateText(ctl->Name(), ctl->Caption()));
        ctl->SetHint(TranslateHintText(ctl->Name(), ctl->Hint()));
      }
    } else if (cls == ComponentClass::TabControl) {
      if (auto* tabs = dynamic_cast<platform::LinesControl*>(c)) {
        std::string joined;
        for (const auto& t : tabs->Lines()) joined += t + "\r\n";
        std::string translated = TranslateText(tabs->Name(), joined);
        tabs->Clear();
        // One tab per line; the text's last CR LF ends the last tab.
        std::size_t start = 0;
        while (start < translated.size()) {
          auto end = translated.find("\r\n", start);
          if (end == std::string::npos) end = translated.size();
          tabs->Add(translated.substr(start, end - start));
          start = end + 2;
        }
      }
      if (auto* ctl = dynamic_cast<platform::Control*>(c))
        ctl->SetHint(TranslateHintText(ctl->Name(), ctl->Hint()));
    } else if (cls == ComponentClass::MainMenu) {
      if (auto* menu = dynamic_cast<platform::MainMenu*>(c)) TranslateMenuItems(&menu->Root());
    }
  }
  return SaveTranslateText();
}

}  // namespace language
