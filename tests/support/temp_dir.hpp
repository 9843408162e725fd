// A scratch folder of a test's own under /tmp, removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace nimbrel_test {

class TempDir {
 public:
  /// Creates /tmp/<prefix>_XXXXXX (mkdtemp: a fresh name, readable only by this user); throws if it cannot.
  explicit TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
    dir_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

}  // namespace nimbrel_test
