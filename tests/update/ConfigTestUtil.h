#pragma once
// Temporary folders, a scoped working folder and scoped environment variables for the
// configuration and language tests.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace testutil {

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = (std::filesystem::temp_directory_path() /
             ("cfgtest-" + std::to_string(::getpid()) + "-" + std::to_string(rd())))
                .string();
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    auto p = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(std::filesystem::path(path_) / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string path_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& path) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedCwd() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Lines joined with CR LF after each.
inline std::string CrLf(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

// Copies the sample package of the repository into a folder.
inline void CopyPackage(const std::string& to) {
  const char* src = std::getenv("UPDATE_SOURCE_DIR");
  std::filesystem::path from = std::filesystem::path(src ? src : UPDATE_SOURCE_DIR_FALLBACK) / "package";
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing);
}

}  // namespace testutil
