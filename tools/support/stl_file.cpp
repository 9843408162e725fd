// Checks of STL files before PCL's reader sees them. The quirk of that reader it works around:
//
// The STL reader trusts a binary file's triangle count (bytes 80-83) and allocates for it before reading,
// so a tiny file can ask for gigabytes. A binary STL is accepted only when its size is exactly
// 84 + 50 x count. Anything else must be ascii STL: "solid" at the start and nothing but text after it,
// which the reader then reads line by line. Binary files whose 80-byte header starts with "solid" still
// pass by their size.
#include <fmt/format.h>

#include <cstring>
#include <fstream>

#include "support/file_formats.hpp"

namespace nimbrel_tools::detail {

namespace {

bool isTextByte(unsigned char c) { return (c >= 0x20 && c < 0x7f) || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

void checkStlSize(const std::string& path) {
  std::ifstream in;
  const std::uint64_t size = openChecked(path, in);
  unsigned char head[84] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const std::streamsize got = in.gcount();
  if (got == static_cast<std::streamsize>(sizeof head)) {
    const std::uint64_t count = std::uint64_t{head[80]} | std::uint64_t{head[81]} << 8 |
                                std::uint64_t{head[82]} << 16 | std::uint64_t{head[83]} << 24;
    if (size == 84 + 50 * count) return;
  }
  bool text = got >= 5 && std::memcmp(head, "solid", 5) == 0;
  for (std::streamsize i = 0; text && i < got; ++i) text = isTextByte(head[i]);
  char chunk[4096];
  while (text && in) {
    in.read(chunk, sizeof chunk);
    for (std::streamsize i = 0; text && i < in.gcount(); ++i)
      text = isTextByte(static_cast<unsigned char>(chunk[i]));
  }
  if (!text) {
    if (got < static_cast<std::streamsize>(sizeof head)) {
      throw ToolError(
          fmt::format("unreadable mesh {}: neither ascii STL nor long enough for binary STL", path));
    }
    const std::uint64_t count = std::uint64_t{head[80]} | std::uint64_t{head[81]} << 8 |
                                std::uint64_t{head[82]} << 16 | std::uint64_t{head[83]} << 24;
    throw ToolError(fmt::format(
        "unreadable mesh {}: binary STL declares {} triangles, which needs {} bytes, but the file has {}",
        path, count, 84 + 50 * count, size));
  }
}

}  // namespace nimbrel_tools::detail
