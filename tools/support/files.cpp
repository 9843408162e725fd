// File handling shared by every format: extensions, readable inputs and atomic writing.
#include "support/files.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace nimbrel_tools {
namespace fs = std::filesystem;

std::string extensionOf(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

void requireFile(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw ToolError(fmt::format("no such file: {}", path));
  if (!fs::is_regular_file(path, ec)) throw ToolError(fmt::format("not a regular file: {}", path));
  if (::access(path.c_str(), R_OK) != 0)
    throw ToolError(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
}

void writeAtomically(const std::string& path, const std::function<void(const std::string& tmp)>& write) {
  const fs::path target(path);
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    throw ToolError(fmt::format("cannot write {}: no such directory {}", path, dir.string()));
  // The temporary is created here, exclusively, under a random name, before any writer opens it: a name
  // chosen by the process id could be planted beforehand as a link to a file of the user's, which the
  // writers (they open without O_EXCL) would follow and overwrite, and the rename would then leave `path`
  // a link to it. Created with owner-only access, it gets the permissions a new file would have.
  const std::string extension = target.extension().string();
  std::string name = (dir / fmt::format(".{}.XXXXXX{}", target.stem().string(), extension)).string();
  const int fd = ::mkstemps(name.data(), static_cast<int>(extension.size()));
  if (fd < 0) throw ToolError(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const bool opened = ::fchmod(fd, 0666 & ~mask) == 0;
  ::close(fd);
  const fs::path tmp(name);
  try {
    if (!opened) throw ToolError(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
    write(tmp.string());
  } catch (...) {
    fs::remove(tmp, ec);
    throw;
  }
  // A writer that reported success but wrote nothing leaves the temporary empty.
  if (fs::file_size(tmp, ec) == 0 || ec) {
    fs::remove(tmp, ec);
    throw ToolError(fmt::format("cannot write {}", path));
  }
  fs::rename(tmp, target, ec);
  if (ec) {
    fs::remove(tmp, ec);
    throw ToolError(fmt::format("cannot write {}: {}", path, ec.message()));
  }
}

}  // namespace nimbrel_tools
