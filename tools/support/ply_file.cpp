// Checks of PLY files before PCL's reader sees them, and PLY cloud writing. The quirks of PCL's reader and
// writer it works around:
//
// PCL's PLY reader aborts on a list property inside the vertex element (it only expects lists in faces),
// and on an "obj_info num_cols"/"num_rows" grid with fewer cells than vertices (it sizes the cloud by the
// grid and asserts when a vertex falls outside it), which also happens when the grid is given in part, twice
// or after the elements; a grid far larger than the file only allocates. So a grid is accepted only as one
// num_cols and one num_rows line before the first element, with at least as many cells as vertices. It also
// allocates for every element count before it reads the data, so a tiny file declaring a billion vertices
// asks for gigabytes. So the header is read here first (it is text up to "end_header" in ascii and binary
// files alike), and the element counts are compared with the bytes after it: a binary record needs its scalar
// values and list lengths, an ascii record at least one character per property.
//
// Writes a PLY cloud without the camera element PCL would add: other programs' readers do not expect it.
// PCL's writer declares an "rgb" field as red, green and blue bytes, but converts the value into them only
// when the field is typed as a float (PCL's own packing); an "rgb" read as an unsigned integer was written
// whole under the three byte headers, shifting every later value. Retyped as a float, same bits, it is
// split as it should be.
#include <fmt/format.h>
#include <pcl/io/ply_io.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/file_formats.hpp"

namespace nimbrel_tools::detail {

namespace {

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

}  // namespace

void checkPlyHeader(const std::string& path, const char* kind) {
  const auto refuse = [&path, kind](const std::string& why) {
    throw ToolError(fmt::format("unreadable {} {}: {}", kind, path, why));
  };
  std::ifstream in;
  const std::uint64_t fileSize = openChecked(path, in);
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

}  // namespace nimbrel_tools::detail
