// File input and output for the command-line tool and the demo.
#include "support/files.hpp"

#include <fmt/format.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/conversions.h>
#include <pcl/exceptions.h>
#include <pcl/io/obj_io.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <pcl/io/vtk_lib_io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "support/fields.hpp"

namespace nimbrel_tools {
namespace fs = std::filesystem;

namespace {

const char* depthName(int depth) {
  switch (depth) {
    case CV_8U:
      return "8-bit unsigned";
    case CV_8S:
      return "8-bit signed";
    case CV_16U:
      return "16-bit unsigned";
    case CV_16S:
      return "16-bit signed";
    case CV_32S:
      return "32-bit signed";
    case CV_32F:
      return "32-bit float";
    case CV_64F:
      return "64-bit float";
    default:
      return "unknown";
  }
}

// Bytes of one value of a numeric field type; 0 for a type that is not a number (or unknown).
std::size_t numericSize(std::uint8_t datatype) {
  switch (datatype) {
    case pcl::PCLPointField::INT8:
    case pcl::PCLPointField::UINT8:
      return 1;
    case pcl::PCLPointField::INT16:
    case pcl::PCLPointField::UINT16:
      return 2;
    case pcl::PCLPointField::INT32:
    case pcl::PCLPointField::UINT32:
    case pcl::PCLPointField::FLOAT32:
      return 4;
    case pcl::PCLPointField::INT64:
    case pcl::PCLPointField::UINT64:
    case pcl::PCLPointField::FLOAT64:
      return 8;
    default:
      return 0;
  }
}

template <typename T>
long double valueAt(const std::uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return static_cast<long double>(v);
}

// Reads one value of a PCLPointCloud2 point whatever its numeric type, exactly (a long double holds every
// integer of 64 bits and every double). The caller has checked that the field is numeric and lies inside the
// point.
long double readValue(const pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point) {
  const std::uint8_t* at = cloud.data.data() + point * cloud.point_step + field.offset;
  switch (field.datatype) {
    case pcl::PCLPointField::INT8:
      return valueAt<std::int8_t>(at);
    case pcl::PCLPointField::UINT8:
      return valueAt<std::uint8_t>(at);
    case pcl::PCLPointField::INT16:
      return valueAt<std::int16_t>(at);
    case pcl::PCLPointField::UINT16:
      return valueAt<std::uint16_t>(at);
    case pcl::PCLPointField::INT32:
      return valueAt<std::int32_t>(at);
    case pcl::PCLPointField::UINT32:
      return valueAt<std::uint32_t>(at);
    case pcl::PCLPointField::INT64:
      return valueAt<std::int64_t>(at);
    case pcl::PCLPointField::UINT64:
      return valueAt<std::uint64_t>(at);
    case pcl::PCLPointField::FLOAT64:
      return valueAt<double>(at);
    default:
      return valueAt<float>(at);
  }
}

// Rounds to the nearest float, once; a value beyond the float range becomes an infinity (a plain conversion
// would be undefined there).
float toFloat(long double v) {
  if (std::abs(v) > static_cast<long double>(std::numeric_limits<float>::max())) {
    return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(v);
}

// Reads one coordinate converted to float (a double rounds to nearest, an integer to the nearest float).
float readCoordinate(const pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point) {
  return toFloat(readValue(cloud, field, point));
}

// The x, y and z fields of a cloud, checked to be numbers that lie inside a point; `what` names the file
// ("mesh file.ply") and `items` its points in the errors.
std::array<const pcl::PCLPointField*, 3> coordinateFields(const pcl::PCLPointCloud2& in,
                                                          const std::string& what, const char* items) {
  std::array<const pcl::PCLPointField*, 3> fields = {nullptr, nullptr, nullptr};
  const char* names[3] = {"x", "y", "z"};
  for (const auto& f : in.fields) {
    for (int i = 0; i < 3; ++i) {
      if (f.name == names[i] && fields[static_cast<std::size_t>(i)] == nullptr)
        fields[static_cast<std::size_t>(i)] = &f;
    }
  }
  std::string fieldNames;
  for (const auto& f : in.fields) fieldNames += (fieldNames.empty() ? "" : " ") + f.name;
  for (std::size_t i = 0; i < 3; ++i) {
    if (fields[i] == nullptr) {
      throw ToolError(fmt::format("unreadable {}: {} have no {} coordinate (fields: {})", what, items,
                                  names[i], fieldNames.empty() ? "none" : fieldNames));
    }
    const std::size_t size = numericSize(fields[i]->datatype);
    if (size == 0) {
      throw ToolError(fmt::format("unreadable {}: its {} field is not a number", what, names[i]));
    }
    if (std::uint64_t{fields[i]->offset} + size > in.point_step) {
      throw ToolError(
          fmt::format("unreadable {}: its {} field lies outside the {} data", what, names[i], items));
    }
  }
  return fields;
}

// The library reads mesh vertices as float x, y, z; readers may deliver doubles or extra fields (normals,
// colours), so every mesh is rebuilt with a plain float x, y, z vertex cloud.
Cloud meshVertices(const pcl::PolygonMesh& mesh, const std::string& path) {
  const pcl::PCLPointCloud2& in = mesh.cloud;
  const auto fields = coordinateFields(in, "mesh " + path, "vertices");
  const std::size_t count = static_cast<std::size_t>(in.width) * in.height;
  if (count * in.point_step > in.data.size())
    throw ToolError(fmt::format("unreadable mesh {}: truncated vertex data", path));
  Cloud vertices;
  vertices.reserve(count);
  for (std::size_t p = 0; p < count; ++p) {
    const pcl::PointXYZ v(readCoordinate(in, *fields[0], p), readCoordinate(in, *fields[1], p),
                          readCoordinate(in, *fields[2], p));
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) {
      throw ToolError(fmt::format("unreadable mesh {}: vertex {} is not finite", path, p));
    }
    vertices.push_back(v);
  }
  return vertices;
}

std::vector<double> numbersOf(const std::string& text) {
  std::string cleaned = text;
  for (char& c : cleaned) {
    if (c == ',' || c == ';' || c == '[' || c == ']' || c == '\n' || c == '\t' || c == '\r') c = ' ';
  }
  std::istringstream in(cleaned);
  std::vector<double> values;
  std::string token;
  while (in >> token) {
    std::size_t used = 0;
    double v = 0.0;
    try {
      v = std::stod(token, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != token.size()) throw ToolError(fmt::format("'{}' is not a number", token));
    values.push_back(v);
  }
  return values;
}

std::vector<double> yamlMatrix(const YAML::Node& node, const char* key, const std::string& path) {
  const YAML::Node entry = node[key];
  if (!entry) throw ToolError(fmt::format("bad camera info {}: no {}", path, key));
  const YAML::Node data = entry.IsMap() ? entry["data"] : entry;
  if (!data || !data.IsSequence())
    throw ToolError(fmt::format("bad camera info {}: {} has no data list", path, key));
  std::vector<double> values;
  for (const auto& v : data) {
    double d = 0.0;
    try {
      d = v.as<double>();
    } catch (const YAML::Exception&) {
      throw ToolError(fmt::format("bad camera info {}: {} holds a value that is not a number", path, key));
    }
    if (!std::isfinite(d))
      throw ToolError(fmt::format("bad camera info {}: {} holds a non-finite value", path, key));
    values.push_back(d);
  }
  return values;
}

// A header number: decimal digits only (a sign or anything after them is refused), at most 18 of them.
bool headerNumber(const std::string& token, std::uint64_t& value) {
  if (token.empty() || token.size() > 18 || token.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoull(token);
  return true;
}

// Whether a x b <= limit, without overflowing.
bool productAtMost(std::uint64_t a, std::uint64_t b, std::uint64_t limit) { return b == 0 || a <= limit / b; }

// Bytes of one binary PLY value of the given type (1 for a name PCL does not know: it refuses those).
std::uint64_t plyTypeSize(const std::string& type) {
  if (type == "short" || type == "ushort" || type == "int16" || type == "uint16") return 2;
  if (type == "int" || type == "uint" || type == "float" || type == "int32" || type == "uint32" ||
      type == "float32") {
    return 4;
  }
  if (type == "double" || type == "float64") return 8;
  return 1;
}

// PCL's PLY reader aborts on a list property inside the vertex element (it only expects lists in faces),
// and on an "obj_info num_cols"/"num_rows" grid with fewer cells than vertices (it sizes the cloud by the
// grid and asserts when a vertex falls outside it), which also happens when the grid is given in part, twice
// or after the elements; a grid far larger than the file only allocates. So a grid is accepted only as one
// num_cols and one num_rows line before the first element, with at least as many cells as vertices. It also
// allocates for every element count before it reads the data, so a tiny file declaring a billion vertices
// asks for gigabytes. So the header is read here first (it is text up to "end_header" in ascii and binary
// files alike), and the element counts are compared with the bytes after it: a binary record needs its scalar
// values and list lengths, an ascii record at least one character per property.
void checkPlyHeader(const std::string& path, const char* kind = "mesh") {
  const auto refuse = [&path, kind](const std::string& why) {
    throw ToolError(fmt::format("unreadable {} {}: {}", kind, path, why));
  };
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const std::uint64_t fileSize = fs::file_size(path, ec);
  if (!in || ec) throw ToolError(fmt::format("cannot read {}", path));
  std::string line;
  std::string element, format;
  bool first = true;
  struct Element {
    std::string name;
    std::uint64_t count = 0, binaryBytes = 0, properties = 0;
  };
  std::vector<Element> elements;
  std::uint64_t grid[2] = {1, 1};  // obj_info num_cols, num_rows
  int gridLines[2] = {0, 0};
  bool gridLate = false;  // a grid line after an element
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    if (first) {
      if (keyword != "ply") refuse("not a PLY file");
      first = false;
      continue;
    }
    if (keyword == "end_header") {
      const std::streamoff at = in.tellg();
      const std::uint64_t offset =
          at < 0 ? fileSize : std::min<std::uint64_t>(static_cast<std::uint64_t>(at), fileSize);
      const std::uint64_t bytes = fileSize - offset;
      const bool binary = format.rfind("binary", 0) == 0;
      std::uint64_t needed = 0, vertices = 0, rangeGrid = 0;
      for (const Element& e : elements) {
        const std::uint64_t record = binary ? e.binaryBytes : e.properties;
        if (!productAtMost(e.count, record, bytes) || (needed += e.count * record) > bytes) {
          refuse(fmt::format("PLY header declares {} {} elements, more than the {} bytes of data hold",
                             e.count, e.name, bytes));
        }
        if (e.name == "vertex") vertices = e.count;
        if (e.name == "range_grid") rangeGrid = e.count;
      }
      // The grid sizes the cloud: fewer cells than vertices abort the reader, more cells than the data
      // backs (the vertices, or the range_grid element that maps each cell to a vertex) only allocate.
      const bool gridGiven = gridLines[0] + gridLines[1] > 0;
      if (gridGiven && (gridLines[0] != 1 || gridLines[1] != 1 || gridLate)) {
        refuse("PLY obj_info grid needs one num_cols and one num_rows line before the elements");
      }
      if (gridGiven && ((vertices > 0 && productAtMost(grid[0], grid[1], vertices - 1)) ||
                        !productAtMost(grid[0], grid[1], std::max(vertices, rangeGrid)))) {
        refuse(fmt::format("PLY obj_info grid of {} x {} does not fit its {} vertices", grid[0], grid[1],
                           vertices));
      }
      return;
    }
    if (keyword == "format") {
      words >> format;
    } else if (keyword.rfind("obj_info", 0) == 0) {
      // PCL splits the line at blanks and asserts that the first piece is "obj_info".
      if (line.rfind("obj_info", 0) != 0) refuse("PLY obj_info line does not start with obj_info");
      std::string key, value;
      words >> key >> value;
      if (key == "num_cols" || key == "num_rows") {
        const int axis = key == "num_cols" ? 0 : 1;
        ++gridLines[axis];
        gridLate = gridLate || !elements.empty();
        std::uint64_t& cells = grid[axis];
        if (!headerNumber(value, cells)) cells = 0;
      }
    } else if (keyword == "element") {
      std::string count;
      words >> element >> count;
      Element e;
      e.name = element;
      if (!headerNumber(count, e.count)) refuse(fmt::format("PLY element {} has no count", element));
      elements.push_back(e);
    } else if (keyword == "property") {
      std::string type;
      words >> type;
      if (type == "list" && element == "vertex") {
        refuse("PLY vertex element has a list property (not supported)");
      }
      if (elements.empty()) continue;
      if (type == "list") {
        words >> type;  // the type of the list's length; the list itself may be empty
      }
      elements.back().binaryBytes += plyTypeSize(type);
      elements.back().properties += 1;
    }
  }
  refuse("PLY header has no end_header");
}

// PCL's OBJ reader splits each line at blanks, tabs and carriage returns and then reads the first token
// without checking there is one, and takes three coordinates from every "v" and "vn" line without
// counting them. A line of nothing but those characters (a blank line of a CRLF file) crashes it, and so
// does a short vertex line. Its material reader loops for ever on an "mtllib" that names a directory;
// materials play no part in the mesh, so those lines go too. It stores the i-th "vn" normal in the i-th
// vertex's record, sized by the number of "v" lines, so a file with more normals than vertices (a face
// normal per triangle does it) makes it write past its buffer; the mesh keeps no normals, so "vn" lines go
// as well. Its vertex count, by which it sizes the vertices, passes over a "v" line whose "v" is followed
// by a carriage return, which the reading itself then takes as a vertex and writes past the end; such lines
// are rewritten with single blanks. Short vertex lines are refused; the return value says whether the file
// has blank-only, "mtllib", "vn" or such "v" lines, which the caller empties or rewrites in a copy.
std::vector<std::string> objTokens(const std::string& line) {
  static const char* kBlanks = "\t\r ";
  std::vector<std::string> tokens;
  for (std::size_t start = line.find_first_not_of(kBlanks); start != std::string::npos;
       start = line.find_first_not_of(kBlanks, start)) {
    const std::size_t end = line.find_first_of(kBlanks, start);
    tokens.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end;
  }
  return tokens;
}

// Whether the line is a material library line: PCL's reader takes one after any white space, vertical tabs
// and form feeds included.
bool isMtllibLine(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t\n\v\f\r");
  return start != std::string::npos && line.compare(start, 6, "mtllib") == 0;
}

bool checkObjLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::size_t number = 0;
  bool needsCopy = false;
  while (std::getline(in, line)) {
    ++number;
    const std::vector<std::string> tokens = objTokens(line);
    if (tokens.empty()) {
      needsCopy = needsCopy || !line.empty();
      continue;
    }
    if (isMtllibLine(line)) {
      needsCopy = true;
      continue;
    }
    const bool vertexLine = tokens[0] == "v" || tokens[0] == "vn" ||
                            (line.size() > 1 && line[0] == 'v' && (line[1] == ' ' || line[1] == 'n'));
    if (vertexLine && tokens.size() < 4) {
      throw ToolError(fmt::format("unreadable mesh {}: line {} needs three coordinates", path, number));
    }
    needsCopy = needsCopy || tokens[0].rfind("vn", 0) == 0 || line.rfind("vn", 0) == 0;
    needsCopy = needsCopy || (tokens[0] == "v" && line.find('\r') + 1 < line.size());
  }
  return needsCopy;
}

// Loads an OBJ file with PCL, through a copy without blank-only, "mtllib" and "vn" lines and with "v" lines
// separated by single blanks when it needs one.
bool loadObj(const std::string& path, pcl::PolygonMesh& mesh) {
  if (!checkObjLines(path)) return pcl::io::loadOBJFile(path, mesh) == 0;
  std::string cleaned;
  {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t start = line.find_first_not_of("\t\r ");
      if (start == std::string::npos || isMtllibLine(line) || line.compare(start, 2, "vn") == 0) {
        line.clear();
      }
      const std::vector<std::string> tokens = objTokens(line);
      if (!tokens.empty() && tokens[0] == "v") {
        line = "v";
        for (std::size_t t = 1; t < tokens.size(); ++t) line += " " + tokens[t];
      }
      cleaned += line;
      cleaned += '\n';
    }
  }
  // The copy gets a fresh random name, created exclusively with owner-only access: a name chosen by the
  // process id could be planted beforehand as a link to a file of the user's, which the copy would
  // overwrite.
  std::string name = (fs::temp_directory_path() / "nimbrel_obj_XXXXXX.obj").string();
  const int fd = ::mkstemps(name.data(), 4);
  if (fd < 0) {
    throw ToolError(
        fmt::format("cannot read {}: no temporary file for a cleaned copy: {}", path, std::strerror(errno)));
  }
  struct Remove {
    std::string p;
    ~Remove() { ::unlink(p.c_str()); }
  } remove{name};
  std::size_t written = 0;
  while (written < cleaned.size()) {
    const ssize_t n = ::write(fd, cleaned.data() + written, cleaned.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool whole = ::close(fd) == 0 && written == cleaned.size();
  if (!whole) throw ToolError(fmt::format("cannot read {}: no room for a cleaned copy", path));
  return pcl::io::loadOBJFile(name, mesh) == 0;
}

bool isTextByte(unsigned char c) { return (c >= 0x20 && c < 0x7f) || c == '\n' || c == '\r' || c == '\t'; }

// The STL reader trusts a binary file's triangle count (bytes 80-83) and allocates for it before reading,
// so a tiny file can ask for gigabytes. A binary STL is accepted only when its size is exactly
// 84 + 50 x count. Anything else must be ascii STL: "solid" at the start and nothing but text after it,
// which the reader then reads line by line. Binary files whose 80-byte header starts with "solid" still
// pass by their size.
void checkStlSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!in || ec) throw ToolError(fmt::format("cannot read {}", path));
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

// PCL's PCD reader sizes the point data from the header (POINTS times the point size that SIZE and COUNT
// give) and allocates it while it is still reading the header, before it has looked at the data: a
// 300-byte file could ask for gigabytes. So the header is read here first, by PCL's own rules (a line
// belongs to a keyword when it starts with it, "COLUMNS" is the old name of "FIELDS", lines starting with
// "#" are comments, the header ends at "DATA"), and refused unless its sizes are ones a PCD file can have
// and the file can hold the points it declares.
constexpr std::uint64_t kMaxPcdFieldCount = std::uint64_t{1} << 20;  // values in one field (COUNT)
constexpr std::uint64_t kMaxPcdPointBytes = std::uint64_t{1} << 24;  // bytes in one point
// binary_compressed data is LZF: its densest form, a back-reference of 3 bytes, stands for 264 bytes, so
// no compressed block unpacks to more than 88 times its size. 100 leaves a margin.
constexpr std::uint64_t kMaxLzfRatio = 100;

// PCL's ASCII reader turns a line with too few values, or a token that is not a number, into a point at
// the origin (or zeros in its other fields) and carries on: a damaged file would pass as a good one. So every
// point line is read here first: as many values as the header's fields hold, each a number (PCL writes
// "nan" for a missing value). Blank lines are passed over, as PCL does.
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
    const std::vector<std::string> tokens = objTokens(line);
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

void checkPcdHeader(const std::string& path) {
  const auto refuse = [&path](const std::string& why) {
    throw ToolError(fmt::format("unreadable point cloud {}: {}", path, why));
  };
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const std::uint64_t fileSize = fs::file_size(path, ec);
  if (!in || ec) throw ToolError(fmt::format("cannot read {}", path));

  static const char* kKeywords[] = {"FIELDS", "SIZE", "TYPE", "COUNT", "WIDTH", "HEIGHT", "POINTS", "DATA"};
  std::vector<std::string> lists[4];  // FIELDS, SIZE, TYPE and COUNT entries
  bool given[8] = {};
  std::uint64_t numbers[3] = {};  // WIDTH, HEIGHT, POINTS
  std::string format;
  std::uint64_t dataOffset = fileSize;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> tokens;
    static const char* kBlanks = " \t\r\v\f";
    for (std::size_t start = line.find_first_not_of(kBlanks); start != std::string::npos;
         start = line.find_first_not_of(kBlanks, start)) {
      const std::size_t end = line.find_first_of(kBlanks, start);
      tokens.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
      start = end;
    }
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

// Writes a mesh as OBJ text: its vertices (shortest text that reads back as the same float) and its
// faces. PCL's own writer names the file it writes in its header, which here would be the temporary.
bool writeObj(const pcl::PolygonMesh& mesh, const std::string& tmp, const std::string& path) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  std::ofstream out(tmp, std::ios::binary);
  out << fmt::format("# {}: {} vertices, {} faces\n", fs::path(path).filename().string(), vertices.size(),
                     mesh.polygons.size());
  for (const auto& v : vertices) out << fmt::format("v {} {} {}\n", v.x, v.y, v.z);
  for (const auto& polygon : mesh.polygons) {
    out << 'f';
    for (const auto i : polygon.vertices) out << ' ' << i + 1;
    out << '\n';
  }
  return static_cast<bool>(out.flush());
}

}  // namespace

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

CloudFile loadCloudFile(const std::string& path, const Eigen::Vector3d& shift) {
  requireFile(path);
  const std::string ext = extensionOf(path);
  pcl::PCLPointCloud2 blob;
  Eigen::Vector4f origin = Eigen::Vector4f::Zero();
  Eigen::Quaternionf orientation = Eigen::Quaternionf::Identity();
  int version = 0;
  const std::string what = "point cloud " + path;
  if (ext == ".ply") {
    checkPlyHeader(path, "point cloud");
    if (pcl::PLYReader().read(path, blob, origin, orientation, version) < 0) {
      throw ToolError(fmt::format("unreadable point cloud {}: the ply reader failed", path));
    }
  } else if (ext == ".pcd") {
    checkPcdHeader(path);
    pcl::PCDReader reader;
    // PCL's reader can crash on a file without a PCD header, so the header is checked on its own first.
    int dataType = 0;
    unsigned int dataIndex = 0;
    if (reader.readHeader(path, blob, origin, orientation, version, dataType, dataIndex) < 0 ||
        blob.fields.empty()) {
      throw ToolError(fmt::format("unreadable point cloud {}: not a PCD file", path));
    }
    coordinateFields(blob, what, "points");
    if (blob.width * blob.height > 0 && reader.read(path, blob, origin, orientation, version) < 0) {
      throw ToolError(fmt::format("unreadable point cloud {}: bad point data", path));
    }
  } else {
    throw ToolError(
        fmt::format("unreadable point cloud {}: unknown extension '{}' (use .pcd or .ply)", path, ext));
  }
  CloudFile file;
  file.xyz.reset(new Cloud);
  Cloud& cloud = *file.xyz;
  cloud.sensor_origin_ = origin;
  cloud.sensor_orientation_ = orientation;
  const std::uint64_t width = blob.width, height = blob.height;
  if (width * height == 0) {
    file.points = std::move(blob);
    return file;
  }
  // Each point's x, y, z are read by the header's offsets and steps, so those must lie inside the data.
  // PCL's own conversion copies only fields stored as 4-byte floats and leaves the others 0; here every
  // numeric type is converted.
  const auto fields = coordinateFields(blob, what, "points");
  if (std::uint64_t{blob.row_step} * height > blob.data.size() || width * blob.point_step > blob.row_step ||
      blob.row_step != width * blob.point_step) {
    throw ToolError(fmt::format("unreadable point cloud {}: point data does not match its header", path));
  }
  cloud.header = blob.header;
  cloud.resize(width * height);
  cloud.width = blob.width;
  cloud.height = blob.height;
  cloud.is_dense = blob.is_dense != 0;
  const bool floats = std::all_of(fields.begin(), fields.end(), [](const pcl::PCLPointField* f) {
    return f->datatype == pcl::PCLPointField::FLOAT32;
  });
  for (std::size_t p = 0; p < cloud.size(); ++p) {
    float* xyz = cloud[p].data;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      // The shift is taken off before the conversion, where the file's own precision is still there.
      const long double value = readValue(blob, *fields[axis], p) - static_cast<long double>(shift[axis]);
      xyz[axis] = toFloat(value);
      if (!std::isfinite(static_cast<double>(value))) continue;
      file.largest = std::max(file.largest, static_cast<double>(std::abs(value)));
      file.floatLoss = std::max(file.floatLoss,
                                static_cast<double>(std::abs(value - static_cast<long double>(xyz[axis]))));
    }
  }
  // Float coordinates lost nothing on reading, but far from the origin they can only tell apart points
  // half a float step away: that is their loss.
  if (floats) file.floatLoss = std::max(file.floatLoss, halfFloatStep(file.largest));
  file.points = std::move(blob);
  return file;
}

CloudPtr loadCloud(const std::string& path) { return loadCloudFile(path).xyz; }

double halfFloatStep(double magnitude) {
  const float m = static_cast<float>(magnitude);
  return (static_cast<double>(std::nextafter(m, std::numeric_limits<float>::infinity())) - m) / 2.0;
}

PcdFormat pcdFormatNamed(const std::string& name) {
  if (name == "ascii") return PcdFormat::ascii;
  if (name == "binary") return PcdFormat::binary;
  if (name == "binary_compressed") return PcdFormat::binaryCompressed;
  throw UsageError(fmt::format("bad --format '{}': ascii, binary or binary_compressed", name));
}

void requireCloudOutput(const std::string& path, const std::string& what) {
  const std::string ext = extensionOf(path);
  if (ext != ".pcd" && ext != ".ply") {
    throw UsageError(fmt::format("cannot write {}: {} is a .pcd or .ply file", path, what));
  }
}

void requireMeshOutput(const std::string& path, const std::string& what) {
  const std::string ext = extensionOf(path);
  if (ext != ".ply" && ext != ".obj" && ext != ".stl") {
    throw UsageError(fmt::format("cannot write {}: {} is a .ply, .obj or .stl file", path, what));
  }
}

namespace {

// A PCD or PLY file for a cloud without points, which PCL's writers refuse; it is still a valid answer.
void writeEmptyCloud(const Eigen::Vector4f& o, const Eigen::Quaternionf& q, const std::string& tmp, bool ply,
                     const std::string& path) {
  std::ofstream out(tmp, std::ios::binary);
  if (ply) {
    out << "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\n"
           "end_header\n";
  } else {
    out << fmt::format(
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n"
        "COUNT 1 1 1\nWIDTH 0\nHEIGHT 1\nVIEWPOINT {} {} {} {} {} {} {}\nPOINTS 0\nDATA ascii\n",
        o[0], o[1], o[2], q.w(), q.x(), q.y(), q.z());
  }
  if (!out.flush()) throw ToolError(fmt::format("cannot write {}", path));
}

// Runs one of PCL's writers, turning its exception or failure code into one line about `path`.
void runWriter(const std::string& path, const std::function<int()>& write) {
  int result = 0;
  try {
    result = write();
  } catch (const pcl::IOException& e) {
    // PCL's exception texts start with ": ".
    std::string why = e.what();
    why.erase(0, why.find_first_not_of(": "));
    throw ToolError(fmt::format("cannot write {}: {}", path, why));
  }
  if (result != 0) throw ToolError(fmt::format("cannot write {}", path));
}

// Writes a PLY cloud without the camera element PCL would add: other programs' readers do not expect it.
// PCL's writer declares an "rgb" field as red, green and blue bytes, but converts the value into them only
// when the field is typed as a float (PCL's own packing); an "rgb" read as an unsigned integer was written
// whole under the three byte headers, shifting every later value. Retyped as a float, same bits, it is
// split as it should be.
int writePly(const std::string& tmp, const pcl::PCLPointCloud2& blob, const Eigen::Vector4f& origin,
             const Eigen::Quaternionf& orientation, PcdFormat format) {
  pcl::PCLPointCloud2 packed;
  const pcl::PCLPointCloud2* out = &blob;
  for (std::size_t i = 0; i < blob.fields.size(); ++i) {
    const auto& f = blob.fields[i];
    if (f.name == "rgb" && f.datatype != pcl::PCLPointField::FLOAT32 && numericSize(f.datatype) == 4) {
      if (out == &blob) packed = blob;
      packed.fields[i].datatype = pcl::PCLPointField::FLOAT32;
      out = &packed;
    }
  }
  pcl::PLYWriter writer;
  return format == PcdFormat::ascii ? writer.writeASCII(tmp, *out, origin, orientation, 9, false)
                                    : writer.writeBinary(tmp, *out, origin, orientation, false);
}

}  // namespace

void saveCloud(const Cloud& cloud, const std::string& path, PcdFormat format) {
  requireCloudOutput(path, "a point cloud");
  const bool ply = extensionOf(path) == ".ply";
  writeAtomically(path, [&](const std::string& tmp) {
    if (cloud.empty()) {
      writeEmptyCloud(cloud.sensor_origin_, cloud.sensor_orientation_, tmp, ply, path);
      return;
    }
    CloudPtr copy(new Cloud(cloud));
    if (static_cast<std::size_t>(copy->width) * copy->height != copy->size()) {
      copy->width = static_cast<std::uint32_t>(copy->size());
      copy->height = 1;
    }
    runWriter(path, [&] {
      if (ply) {
        pcl::PCLPointCloud2 blob;
        pcl::toPCLPointCloud2(*copy, blob);
        return writePly(tmp, blob, copy->sensor_origin_, copy->sensor_orientation_, format);
      }
      if (format == PcdFormat::ascii) {
        nimbrel_arm_util::PointCloudsDeal deal;
        return deal.savePcdFile(copy, tmp) ? 0 : -1;
      }
      return format == PcdFormat::binary ? pcl::PCDWriter().writeBinary(tmp, *copy)
                                         : pcl::PCDWriter().writeBinaryCompressed(tmp, *copy);
    });
  });
}

void saveCloud(const pcl::PCLPointCloud2& cloud, const Eigen::Vector4f& origin,
               const Eigen::Quaternionf& orientation, const std::string& path, PcdFormat format) {
  requireCloudOutput(path, "a point cloud");
  const bool ply = extensionOf(path) == ".ply";
  writeAtomically(path, [&](const std::string& tmp) {
    if (std::size_t{cloud.width} * cloud.height == 0) {
      writeEmptyCloud(origin, orientation, tmp, ply, path);
      return;
    }
    runWriter(path, [&] {
      if (ply) return writePly(tmp, cloud, origin, orientation, format);
      pcl::PCDWriter writer;
      switch (format) {
        case PcdFormat::ascii:
          return writer.writeASCII(tmp, cloud, origin, orientation, 8);
        case PcdFormat::binary:
          return writer.writeBinary(tmp, cloud, origin, orientation);
        default:
          return writer.writeBinaryCompressed(tmp, cloud, origin, orientation);
      }
    });
  });
}

pcl::PolygonMesh loadMesh(const std::string& path, std::vector<std::string>* otherVertexFields) {
  requireFile(path);
  const std::string ext = extensionOf(path);
  pcl::PolygonMesh raw;
  bool ok = false;
  if (ext == ".ply") {
    checkPlyHeader(path);
    ok = pcl::io::loadPLYFile(path, raw) == 0;
  } else if (ext == ".obj") {
    ok = loadObj(path, raw);
  } else if (ext == ".stl") {
    checkStlSize(path);
    ok = pcl::io::loadPolygonFileSTL(path, raw) > 0;
  } else {
    throw ToolError(
        fmt::format("unreadable mesh {}: unknown extension '{}' (use .ply, .obj or .stl)", path, ext));
  }
  if (!ok) throw ToolError(fmt::format("unreadable mesh {}: the {} reader failed", path, ext.substr(1)));

  if (otherVertexFields != nullptr) *otherVertexFields = otherFields(raw.cloud);
  const Cloud vertices = meshVertices(raw, path);
  if (vertices.empty()) throw ToolError(fmt::format("unreadable mesh {}: no vertices", path));
  pcl::PolygonMesh mesh;
  mesh.header = raw.header;
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
  for (const auto& polygon : raw.polygons) {
    const auto& idx = polygon.vertices;
    for (const auto i : idx) {
      if (i < 0 || static_cast<std::size_t>(i) >= vertices.size()) {
        throw ToolError(
            fmt::format("unreadable mesh {}: a face uses vertex {} of {}", path, i, vertices.size()));
      }
    }
    // The library takes the first three corners of each polygon; split larger polygons into fans so no
    // part of a quad or n-gon is lost.
    for (std::size_t k = 2; k < idx.size(); ++k) {
      pcl::Vertices tri;
      tri.vertices = {idx[0], idx[k - 1], idx[k]};
      mesh.polygons.push_back(tri);
    }
  }
  if (mesh.polygons.empty()) throw ToolError(fmt::format("unreadable mesh {}: no triangles", path));
  return mesh;
}

void saveMesh(const pcl::PolygonMesh& mesh, const std::string& path) {
  requireMeshOutput(path, "a mesh");
  const std::string ext = extensionOf(path);
  writeAtomically(path, [&](const std::string& tmp) {
    bool ok = false;
    if (ext == ".ply") {
      ok = pcl::io::savePLYFile(tmp, mesh, 9) == 0;
    } else if (ext == ".obj") {
      ok = writeObj(mesh, tmp, path);
    } else {
      ok = pcl::io::savePolygonFileSTL(tmp, mesh, true);
    }
    if (!ok) throw ToolError(fmt::format("cannot write {}", path));
  });
}

cv::Mat loadDepthImage(const std::string& path) {
  requireFile(path);
  cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw ToolError(fmt::format("unreadable image {}: OpenCV cannot decode it", path));
  if (image.type() != CV_16UC1) {
    throw ToolError(fmt::format(
        "wrong image type {}: need a 16-bit single-channel depth image, got {} with {} channel(s)", path,
        depthName(image.depth()), image.channels()));
  }
  return image;
}

void saveImage(const cv::Mat& image, const std::string& path) {
  writeAtomically(path, [&](const std::string& tmp) {
    bool ok = false;
    try {
      ok = cv::imwrite(tmp, image);
    } catch (const cv::Exception& e) {
      throw ToolError(fmt::format("cannot write {}: {}", path, e.what()));
    }
    if (!ok) throw ToolError(fmt::format("cannot write {}", path));
  });
}

CameraInfo loadCameraInfo(const std::string& path) {
  requireFile(path);
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& e) {
    throw ToolError(fmt::format("bad camera info {}: line {}: {}", path, e.mark.line + 1, e.msg));
  }
  if (!root.IsMap()) throw ToolError(fmt::format("bad camera info {}: not a YAML mapping", path));
  // The calibration file names its matrices in full; the sensor_msgs/CameraInfo message dumped as YAML
  // (ros2 topic echo) has k and d as plain lists, and width and height (ROS 1 spelled them K and D).
  const bool message = !root["camera_matrix"] && (root["k"] || root["K"]);
  const char* matrixKey = !message ? "camera_matrix" : root["k"] ? "k" : "K";
  const char* distortionKey = !message ? "distortion_coefficients" : root["d"] ? "d" : "D";
  const char* widthKey = message ? "width" : "image_width";
  const char* heightKey = message ? "height" : "image_height";

  const std::vector<double> k = yamlMatrix(root, matrixKey, path);
  if (k.size() != 9)
    throw ToolError(fmt::format("bad camera info {}: {} needs 9 values, has {}", path, matrixKey, k.size()));
  if (k[0] <= 0.0 || k[4] <= 0.0)
    throw ToolError(fmt::format("bad camera info {}: focal lengths must be positive", path));
  std::vector<double> d;
  if (root[distortionKey] && !root[distortionKey].IsNull()) d = yamlMatrix(root, distortionKey, path);
  std::string model = "plumb_bob";
  if (root["distortion_model"] && !root["distortion_model"].IsNull()) {
    try {
      model = root["distortion_model"].as<std::string>();
    } catch (const YAML::Exception&) {
      throw ToolError(fmt::format("bad camera info {}: distortion_model is not a name", path));
    }
  }
  using nimbrel_arm_util::CameraModel;
  CameraInfo info;
  auto& camera = info.camera;
  if (!CameraModel::modelFromName(model, camera.distortionModel)) {
    throw ToolError(
        fmt::format("bad camera info {}: distortion model '{}' is not supported (plumb_bob, "
                    "rational_polynomial or equidistant)",
                    path, model));
  }
  // Calibration files may stop before k3 (OpenCV reads four plumb_bob coefficients as k1 k2 p1 p2): the
  // missing trailing values are 0.
  if (camera.distortionModel == nimbrel_arm_util::DistortionModel::kPlumbBob && !d.empty() && d.size() < 5)
    d.resize(5, 0.0);
  if (!CameraModel::takesCoefficientCount(camera.distortionModel, d.size())) {
    throw ToolError(
        fmt::format("bad camera info {}: distortion model {} takes {} coefficients, the file gives {}", path,
                    model, CameraModel::coefficientCounts(camera.distortionModel), d.size()));
  }
  if (d.empty()) {
    info.warnings.push_back(
        fmt::format("camera info {} gives no distortion coefficients: zero distortion assumed", path));
  }
  camera.cameraMatrix = cv::Matx33d(k.data());
  camera.coefficients = d;
  if (k[3] != 0.0 || k[6] != 0.0 || k[7] != 0.0 || k[8] != 1.0) {
    throw ToolError(
        fmt::format("bad camera info {}: the camera matrix is not fx s cx / 0 fy cy / 0 0 1", path));
  }
  d.resize(std::max<std::size_t>(d.size(), 5), 0.0);

  auto& in = info.intrinsic;
  in.fx = static_cast<float>(k[0]);
  in.cx = static_cast<float>(k[2]);
  in.fy = static_cast<float>(k[4]);
  in.cy = static_cast<float>(k[5]);
  in.k1 = static_cast<float>(d[0]);
  in.k2 = static_cast<float>(d[1]);
  in.p1 = static_cast<float>(d[2]);
  in.p2 = static_cast<float>(d[3]);
  in.k3 = static_cast<float>(d[4]);
  try {
    if (root[widthKey]) info.width = root[widthKey].as<int>();
    if (root[heightKey]) info.height = root[heightKey].as<int>();
  } catch (const YAML::Exception&) {
    throw ToolError(fmt::format("bad camera info {}: {}/{} are not integers", path, widthKey, heightKey));
  }
  // 0 stands for a size the file leaves open; a negative size would otherwise pass as open as well.
  if (info.width < 0 || info.height < 0) {
    throw ToolError(
        fmt::format("bad camera info {}: image size {} x {} is negative", path, info.width, info.height));
  }
  // The ROS calibrator's fisheye fit leaves a tiny skew s (0.06 for fx 322, say). Over the image's height it
  // moves a pixel by s * height / fy: below half a pixel, what the nearest-pixel undistortion rounds anyway,
  // it is dropped, and said; above, refused.
  const double height = info.height > 0 ? info.height : 2.0 * std::abs(k[5]) + 1.0;  // unknown: about 2 cy
  const double skewShift = std::abs(k[1]) * height / k[4];
  if (k[1] != 0.0 && skewShift > 0.5) {
    throw ToolError(fmt::format(
        "bad camera info {}: the camera matrix has a skew of {} (moves pixels by up to {:.2f} px; "
        "not supported)",
        path, k[1], skewShift));
  }
  if (k[1] != 0.0) {
    info.warnings.push_back(fmt::format(
        "camera info {}: skew {} ignored (it moves no pixel by more than {:.3f} px)", path, k[1], skewShift));
    camera.cameraMatrix(0, 1) = 0.0;
  }
  return info;
}

void saveCameraInfo(const CameraInfo& info, const std::string& path) {
  const auto& c = info.intrinsic;
  writeAtomically(path, [&](const std::string& tmp) {
    std::ofstream out(tmp);
    out << fmt::format(
        "image_width: {}\nimage_height: {}\ncamera_name: depth_camera\n"
        "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [{}, 0, {}, 0, {}, {}, 0, 0, 1]\n"
        "distortion_model: plumb_bob\n"
        "distortion_coefficients:\n  rows: 1\n  cols: 5\n  data: [{}, {}, {}, {}, {}]\n"
        "rectification_matrix:\n  rows: 3\n  cols: 3\n  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]\n"
        "projection_matrix:\n  rows: 3\n  cols: 4\n  data: [{}, 0, {}, 0, 0, {}, {}, 0, 0, 0, 1, 0]\n",
        info.width, info.height, c.fx, c.cx, c.fy, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3, c.fx, c.cx, c.fy,
        c.cy);
    if (!out.flush()) throw ToolError(fmt::format("cannot write {}", path));
  });
}

Eigen::Matrix4d poseFromQuaternion(const Eigen::Vector3d& position, const Eigen::Vector4d& xyzw) {
  const Eigen::Quaterniond q(xyzw[3], xyzw[0], xyzw[1], xyzw[2]);
  if (!(q.norm() > 1e-9)) throw ToolError("a quaternion x, y, z, w without length");
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() = q.normalized().toRotationMatrix();
  m.topRightCorner<3, 1>() = position;
  return m;
}

Eigen::Matrix4d parseMatrix(const std::string& text, const std::string& what) {
  std::vector<double> v;
  try {
    v = numbersOf(text);
  } catch (const ToolError& e) {
    throw UsageError(fmt::format("bad matrix {}: {}", what, e.what()));
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i]))
      throw UsageError(fmt::format("bad matrix {}: value {} is not finite", what, i + 1));
  }
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  if (v.size() == 7) {
    // x, y, z, qx, qy, qz, qw, as ROS poses and tf print them. Printed quaternions carry a few digits only:
    // one within 1e-3 of unit length is normalised, anything else is not a rotation.
    const Eigen::Quaterniond q(v[6], v[3], v[4], v[5]);
    if (std::abs(q.norm() - 1.0) > 1e-3) {
      throw UsageError(
          fmt::format("bad matrix {}: the quaternion qx,qy,qz,qw has length {:.6g}, not 1", what, q.norm()));
    }
    return poseFromQuaternion({v[0], v[1], v[2]}, {v[3], v[4], v[5], v[6]});
  }
  if (v.size() != 16) {
    throw UsageError(fmt::format(
        "bad matrix {}: need 16 numbers (4x4, row by row) or 7 (x,y,z,qx,qy,qz,qw), got {}", what, v.size()));
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m(r, c) = v[static_cast<std::size_t>(r * 4 + c)];
  }
  if (m(3, 0) != 0.0 || m(3, 1) != 0.0 || m(3, 2) != 0.0 || m(3, 3) != 1.0) {
    throw UsageError(fmt::format("bad matrix {}: the bottom row must be 0 0 0 1", what));
  }
  return m;
}

Eigen::Matrix4d matrixArgument(const std::string& text, const std::string& what) {
  std::error_code ec;
  if (fs::is_regular_file(text, ec)) {
    std::ifstream in(text);
    std::stringstream all;
    all << in.rdbuf();
    return parseMatrix(all.str(), what + " (" + text + ")");
  }
  return parseMatrix(text, what);
}

Eigen::Matrix4d poseArgument(const std::string& text, const std::string& what) {
  const Eigen::Matrix4d m = matrixArgument(text, what);
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  // Printed rotations carry six or more digits; a scale or shear shows far above this.
  constexpr double kRigid = 1e-4;
  if (!(r.transpose() * r).isApprox(Eigen::Matrix3d::Identity(), kRigid) || r.determinant() < 0.0) {
    const Eigen::Vector3d scale = r.colwise().norm();
    throw UsageError(fmt::format(
        "bad {}: not a rigid pose: its axes have lengths {:.6g}, {:.6g}, {:.6g}{} (a pose only turns and "
        "moves; scale a mesh with --mesh-scale)",
        what, scale.x(), scale.y(), scale.z(),
        r.determinant() < 0.0 ? " and it mirrors" : ", or they are not at right angles"));
  }
  return m;
}

Eigen::Vector3d parseVector3(const std::string& text, const std::string& what) {
  std::vector<double> v;
  try {
    v = numbersOf(text);
  } catch (const ToolError& e) {
    throw UsageError(fmt::format("bad {}: {}", what, e.what()));
  }
  if (v.size() != 3) throw UsageError(fmt::format("bad {}: need 3 numbers, got {}", what, v.size()));
  for (double x : v) {
    if (!std::isfinite(x)) throw UsageError(fmt::format("bad {}: values must be finite", what));
  }
  return {v[0], v[1], v[2]};
}

}  // namespace nimbrel_tools
