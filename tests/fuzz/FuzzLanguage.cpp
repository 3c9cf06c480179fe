// The language files: a file's bytes loaded, texts and hints of the window's components and of
// names the input brings translated, the entries for texts without one added and the file
// written back, which must keep every byte it had in front of them.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "language/Sprachdlg.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    std::string f = (std::filesystem::temp_directory_path() / ("fuzzlang-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(f);
    return f;
  }();
  return folder;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::string name = data.ConsumeRandomLengthString(24);
  const std::string text = data.ConsumeRandomLengthString(80);
  const std::string hint = data.ConsumeRandomLengthString(40);
  const std::string file = data.ConsumeRemainingBytesAsString();
  const std::string path = Folder() + "/Update.Eng";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << file;
  }
  language::TLanguage lang(nullptr, "Sprachdlg");
  lang.SetDialogfile(path);
  lang.LoadTranslateText();
  for (const char* component : {"UpdateForm", "OkBitBtn", "NameLabel", "Bearbeiten", "Hilfe"}) {
    (void)lang.TranslateText(component, "Text of " + std::string(component));
    (void)lang.TranslateHintText(component, "Hint");
  }
  (void)lang.TranslateText(name, text);
  (void)lang.TranslateHintText(name, hint);
  if (!lang.SaveTranslateText()) std::abort();
  const std::string written = ReadAll(path);
  if (written.compare(0, file.size(), file) != 0) std::abort();
  return 0;
}
