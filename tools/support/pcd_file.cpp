// Checks of PCD files before PCL's reader sees them. The quirks of real files and of that reader it works
// around:
//
// PCL's PCD reader sizes the point data from the header (POINTS times the point size that SIZE and COUNT
// give) and allocates it while it is still reading the header, before it has looked at the data: a
// 300-byte file could ask for gigabytes. So the header is read here first, by PCL's own rules (a line
// belongs to a keyword when it starts with it, "COLUMNS" is the old name of "FIELDS", lines starting with
// "#" are comments, the header ends at "DATA"), and refused unless its sizes are ones a PCD file can have
// and the file can hold the points it declares.
//
// PCL's ASCII reader turns a line with too few values, or a token that is not a number, into a point at
// the origin (or zeros in its other fields) and carries on: a damaged file would pass as a good one. So every
// point line is read here first: as many values as the header's fields hold, each a number (PCL writes
// "nan" for a missing value). Blank lines are passed over, as PCL does.
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "support/file_formats.hpp"

namespace nimbrel_tools::detail {

namespace {

constexpr std::uint64_t kMaxPcdFieldCount = std::uint64_t{1} << 20;  // values in one field (COUNT)
constexpr std::uint64_t kMaxPcdPointBytes = std::uint64_t{1} << 24;  // bytes in one point
// binary_compressed data is LZF: its densest form, a back-reference of 3 bytes, stands for 264 bytes, so
// no compressed block unpacks to more than 88 times its size. 100 leaves a margin.
constexpr std::uint64_t kMaxLzfRatio = 100;

void checkPcdText(const std::string& path, std::uint64_t dataOffset, std::uint64_t points,
                  std::uint64_t valuesPerPoint) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::uint64_t number = 0, offset = 0;
  while (offset < dataOffset && std::getline(in, line)) {
    ++number;
    offset += line.size() + 1;
  }
  std::uint64_t seen = 0;
  while (seen < points && std::getline(in, line)) {
    ++number;
    const std::vector<std::string> tokens = splitWords(line, kObjBlanks);
    if (tokens.empty()) continue;
    if (tokens.size() != valuesPerPoint) {
      throw ToolError(
          fmt::format("unreadable point cloud {}: line {} has {} values, the header's fields take {}", path,
                      number, tokens.size(), valuesPerPoint));
    }
    for (const std::string& token : tokens) {
      char* end = nullptr;
      std::strtod(token.c_str(), &end);
      if (end != token.c_str() + token.size()) {
        throw ToolError(
            fmt::format("unreadable point cloud {}: line {}: '{}' is not a number", path, number, token));
      }
    }
    ++seen;
  }
  if (seen < points) {
    throw ToolError(fmt::format("unreadable point cloud {}: the header declares {} points, the data holds {}",
                                path, points, seen));
  }
}

}  // namespace

void checkPcdHeader(const std::string& path) {
  const auto refuse = [&path](const std::string& why) {
    throw ToolError(fmt::format("unreadable point cloud {}: {}", path, why));
  };
  std::ifstream in;
  const std::uint64_t fileSize = openChecked(path, in);

  static const char* kKeywords[] = {"FIELDS", "SIZE", "TYPE", "COUNT", "WIDTH", "HEIGHT", "POINTS", "DATA"};
  std::vector<std::string> lists[4];  // FIELDS, SIZE, TYPE and COUNT entries
  bool given[8] = {};
  std::uint64_t numbers[3] = {};  // WIDTH, HEIGHT, POINTS
  std::string format;
  std::uint64_t dataOffset = fileSize;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> tokens = splitWords(line, " \t\r\v\f");
    if (tokens.empty() || tokens[0][0] == '#') continue;
    if (tokens[0].rfind("COLUMNS", 0) == 0) tokens[0] = "FIELDS";
    int keyword = -1;
    for (int k = 0; k < 8; ++k) {
      if (tokens[0].rfind(kKeywords[k], 0) == 0) keyword = k;
    }
    if (keyword < 0) continue;  // VERSION, VIEWPOINT and anything else PCL passes over
    // A second POINTS (or SIZE, COUNT ...) line would make PCL size the data again from other values.
    if (given[keyword]) refuse(fmt::format("PCD header gives {} twice", kKeywords[keyword]));
    given[keyword] = true;
    if (keyword < 4) {
      lists[keyword].assign(tokens.begin() + 1, tokens.end());
    } else if (keyword < 7) {
      if (tokens.size() < 2 || !headerNumber(tokens[1], numbers[keyword - 4]) ||
          numbers[keyword - 4] > std::numeric_limits<std::uint32_t>::max()) {
        refuse(fmt::format("PCD header {} is not a point count", kKeywords[keyword]));
      }
    } else {
      format = tokens.size() > 1 ? tokens[1] : "";
      const std::streamoff at = in.tellg();
      dataOffset = at < 0 ? fileSize : std::min<std::uint64_t>(static_cast<std::uint64_t>(at), fileSize);
      break;
    }
  }
  if (!given[7]) refuse("not a PCD file (no DATA line)");
  // PCL's header loop does not stop at DATA: it goes on through empty lines, comments, VERSION and
  // VIEWPOINT lines, and takes a layout line after them as part of the header, while the data still starts
  // after DATA. Binary data that happened to read as "FIELDS ..." changed the layout it then read with.
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    if (line.empty()) continue;
    if (!(words >> word)) break;
    if (word[0] == '#' || word.rfind("VERSION", 0) == 0 || word.rfind("VIEWPOINT", 0) == 0) continue;
    if (word.rfind("COLUMNS", 0) == 0) word = "FIELDS";
    for (const char* keyword : kKeywords) {
      if (word.rfind(keyword, 0) == 0) refuse(fmt::format("PCD header gives {} after DATA", keyword));
    }
    break;
  }
  in.clear();

  const std::vector<std::string>& fields = lists[0];
  const char* names[4] = {"fields", "sizes", "types", "counts"};
  for (int k = 1; k < 4; ++k) {
    if (given[k] && lists[k].size() != fields.size()) {
      refuse(fmt::format("PCD header lists {} {} but {} {}", fields.size(), names[0], lists[k].size(),
                         names[k]));
    }
  }
  std::uint64_t pointBytes = 0, valuesPerPoint = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::uint64_t size = 4, count = 1;
    if (given[1] &&
        (!headerNumber(lists[1][i], size) || (size != 1 && size != 2 && size != 4 && size != 8))) {
      refuse(fmt::format("PCD field {} has size {} (sizes are 1, 2, 4 or 8 bytes)", fields[i], lists[1][i]));
    }
    // PCL's ascii reader writes each value with the width of its type; a size that differs (or no TYPE
    // line, which leaves every field a 4-byte float) made it write past the point.
    const char type = given[2] && !lists[2][i].empty()
                          ? static_cast<char>(std::toupper(static_cast<unsigned char>(lists[2][i][0])))
                          : 'F';
    const bool typeFits = type == 'F'   ? (size == 4 || size == 8)
                          : type == 'B' ? size == 1
                                        : (type == 'I' || type == 'U');
    if (!typeFits) {
      refuse(
          fmt::format("PCD field {} has type {} of {} bytes", fields[i], given[2] ? lists[2][i] : "F", size));
    }
    if (given[3] && (!headerNumber(lists[3][i], count) || count < 1 || count > kMaxPcdFieldCount)) {
      refuse(fmt::format("PCD field {} has count {} (counts are 1 to {})", fields[i], lists[3][i],
                         kMaxPcdFieldCount));
    }
    pointBytes += size * count;
    valuesPerPoint += count;
    if (pointBytes > kMaxPcdPointBytes) {
      refuse(fmt::format("PCD header makes a point longer than {} bytes", kMaxPcdPointBytes));
    }
  }
  const std::uint64_t width = numbers[0], height = numbers[1];
  std::uint64_t points = numbers[2];
  if (given[4] && given[5] && given[6] && width * height != points) {
    refuse(fmt::format("PCD header gives WIDTH {} x HEIGHT {} but POINTS {}", width, height, points));
  }
  // Old files may leave out POINTS, WIDTH or HEIGHT; the data is sized by whatever they declare.
  const std::uint64_t grid = given[4] && given[5] ? width * height : given[4] ? width : given[5] ? height : 0;
  points = std::max(points, grid);
  if (points == 0) return;

  const std::uint64_t bytes = fileSize - dataOffset;
  if (format.rfind("binary_compressed", 0) == 0) {
    // Compressed size and uncompressed size (little-endian 32-bit), then the compressed bytes.
    unsigned char sizes[8] = {};
    in.clear();
    in.seekg(static_cast<std::streamoff>(dataOffset));
    if (bytes < 8 || !in.read(reinterpret_cast<char*>(sizes), sizeof sizes)) {
      refuse("compressed PCD data has no size header");
    }
    std::uint64_t compressed = 0, uncompressed = 0;
    for (int b = 3; b >= 0; --b) {
      compressed = compressed << 8 | sizes[b];
      uncompressed = uncompressed << 8 | sizes[4 + b];
    }
    if (compressed > bytes - 8) {
      refuse(fmt::format("compressed PCD data of {} bytes, but the file holds {}", compressed, bytes - 8));
    }
    if (!productAtMost(points, pointBytes, kMaxLzfRatio * compressed)) {
      refuse(
          fmt::format("PCD header declares {} points of {} bytes from {} compressed bytes, more than "
                      "compression can give",
                      points, pointBytes, compressed));
    }
    // PCL only warns when the stored size differs from the header's and then copies the header's size
    // out of a buffer of the stored size.
    if (uncompressed != points * pointBytes) {
      refuse(fmt::format("compressed PCD data unpacks to {} bytes, but {} points of {} bytes need {}",
                         uncompressed, points, pointBytes, points * pointBytes));
    }
  } else if (format.rfind("binary", 0) == 0) {
    if (!productAtMost(points, pointBytes, bytes)) {
      refuse(fmt::format("PCD header declares {} points of {} bytes, but the file holds {} bytes of data",
                         points, pointBytes, bytes));
    }
  } else if (!productAtMost(points, valuesPerPoint, bytes)) {
    // Text needs at least one character for each value.
    refuse(fmt::format("PCD header declares {} points of {} values, but the file holds {} bytes of text",
                       points, valuesPerPoint, bytes));
  } else {
    checkPcdText(path, dataOffset, points, valuesPerPoint);
  }
}

}  // namespace nimbrel_tools::detail
