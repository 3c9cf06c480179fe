#pragma once
// Dynamic libraries: a library loaded by path and the addresses of its entry points. A
// package's Windows library "NAME.dll" is looked for in a folder as a build of the same
// library for this system.
#include <memory>
#include <optional>
#include <string>

namespace platform {

class Library {
 public:
  // Loads the library at path with all its symbols bound now; nothing when it cannot be
  // loaded, with the loader's reason in *error. A loaded library is never unloaded: code
  // of it may still run on a thread of its own or be referenced by a callback.
  static std::unique_ptr<Library> Load(const std::string& path, std::string* error = nullptr);
  // The address of an exported symbol; null when the library has none of that name.
  void* Symbol(const char* name) const;
  const std::string& Path() const { return path_; }

 private:
  Library(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};

// The file that stands for the Windows library windowsName ("NAME.dll") in folder: "NAME.so",
// else "libNAME.so", each matched without regard to case. Nothing when neither is there.
std::optional<std::string> FindLibraryFor(const std::string& folder, const std::string& windowsName);

}  // namespace platform
