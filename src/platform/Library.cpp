#include "platform/Library.h"

#include <dlfcn.h>

#include "platform/Files.h"

namespace platform {

std::unique_ptr<Library> Library::Load(const std::string& path, std::string* error) {
  // A name without a folder would be searched along the system's library path.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) {
      const char* why = ::dlerror();
      *error = why ? why : "cannot be loaded";
    }
    return nullptr;
  }
  return std::unique_ptr<Library>(new Library(handle, path));
}

void* Library::Symbol(const char* name) const {
  if (!handle_ || !name) return nullptr;
  return ::dlsym(handle_, name);
}

std::optional<std::string> FindLibraryFor(const std::string& folder, const std::string& windowsName) {
  std::string base = windowsName;
  std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  if (base.empty()) return std::nullopt;
  for (const std::string& name : {base + ".so", "lib" + base + ".so"}) {
    auto path = files::Resolve(folder, name);
    if (path && files::IsFile(*path)) return path;
  }
  return std::nullopt;
}

}  // namespace platform
