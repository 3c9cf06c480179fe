#pragma once
// TLanguage: puts a form's texts into another language at run time from a language file of
// entries keyed by component name, and adds an entry for every text it finds none for, so a
// translator can fill it in later.
//
// Entry forms (N component name, T the text when recorded, U the translation):
//   text entry     "[N]T:=U"        appended for a text without entry
//   text template  "[N]=U"          written for every text while collecting a new file
//   hint entry     "[Hint][N]T:=U"  written for every hint while collecting a new file
// In text entries a CR LF is written as two backslashes. The value of a line is everything
// after its first '='.
#include <string>
#include <vector>

#include "platform/Components.h"
#include "platform/Files.h"

namespace language {

class TLanguage : public platform::Component {
 public:
  TLanguage(platform::Component* owner, std::string name);

  // Dialogfile and OwnDialogFile are two names for the same file name; a relative name is
  // taken in the current folder, found without regard to case.
  const std::string& Dialogfile() const { return file_; }
  void SetDialogfile(std::string name) { file_ = std::move(name); }
  const std::string& OwnDialogFile() const { return file_; }
  void SetOwnDialogFile(std::string name) { file_ = std::move(name); }

  bool Enabled = true;
  int TagNoTranslate = -1;

  // Texts are Windows-1252.
  std::string TranslateText(const std::string& name, const std::string& text);
  std::string TranslateHintText(const std::string& name, const std::string& hint);
  void TranslateMenuItems(platform::MenuItem* item);
  void LoadTranslateText();
  // Writes the entries when the file was new or grew; false when it could not be written.
  // A file that was read keeps every byte it had (line ends, bytes without a character of
  // their own, byte-order mark); the new entries are added behind them in its encoding.
  bool SaveTranslateText();
  // Translates the form's caption and its components by exact class. False only when the
  // language file had to be written and could not be.
  bool TranslateDialog(platform::Form* form, bool flag = false);

  const std::vector<std::string>& Entries() const { return entries_.lines; }
  platform::TextEncoding Encoding() const { return entries_.encoding; }
  bool NewFile() const { return newFile_; }
  bool Appended() const { return appended_; }

 private:
  const std::string* FindLine(const std::string& key) const;
  std::string Path() const;

  std::string file_ = "sprache.lng";
  platform::TextLines entries_;
  // The file as read by the last LoadTranslateText: written back byte for byte, with only
  // the entries added since behind it. Empty path: the entries did not come from a file.
  std::string readPath_;
  std::string readBytes_;
  std::size_t readLines_ = 0;
  bool newFile_ = false;
  bool appended_ = false;
};

}  // namespace language
