#pragma once
// Source tree and executables for the loader tests: the runner's UPDATE_SOURCE_DIR and
// UPDATE_BIN_DIR when set, else the folders this build was configured with.
#include <cstdlib>
#include <string>

namespace loaders_test {

inline std::string SourceFile(const std::string& relative) {
  const char* dir = std::getenv("UPDATE_SOURCE_DIR");
  return std::string(dir && *dir ? dir : LOADERS_TEST_SOURCE_DIR) + "/" + relative;
}

inline std::string Program(const std::string& name) {
  const char* dir = std::getenv("UPDATE_BIN_DIR");
  return std::string(dir && *dir ? dir : LOADERS_TEST_BIN_DIR) + "/" + name;
}

}  // namespace loaders_test
