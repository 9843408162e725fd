// OBJ meshes: reading through PCL's reader, and writing. The quirks of PCL's reader it works around:
//
// PCL's OBJ reader splits each line at blanks, tabs and carriage returns and then reads the first token
// without checking there is one, and takes three coordinates from every "v" and "vn" line without
// counting them. A line of nothing but those characters (a blank line of a CRLF file) crashes it, and so
// does a short vertex line. Its material reader loops for ever on an "mtllib" that names a directory;
// materials play no part in the mesh, so those lines go too. It stores the i-th "vn" normal in the i-th
// vertex's record, sized by the number of "v" lines, so a file with more normals than vertices (a face
// normal per triangle does it) makes it write past its buffer; the mesh keeps no normals, so "vn" lines go
// as well. Its vertex count, by which it sizes the vertices, passes over a "v" line whose "v" is followed
// by a carriage return, which the reading itself then takes as a vertex and writes past the end; such lines
// are rewritten with single blanks.
//
// Short vertex lines are refused; a file with blank-only, "mtllib", "vn" or such "v" lines is read through a
// copy with those lines emptied or rewritten.
#include <fmt/format.h>
#include <pcl/conversions.h>
#include <pcl/io/obj_io.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/file_formats.hpp"

namespace nimbrel_tools::detail {

namespace fs = std::filesystem;

namespace {

// Splits a line into the words PCL's reader sees.
std::vector<std::string> objTokens(const std::string& line) { return splitWords(line, kObjBlanks); }

// Whether the line is a material library line: PCL's reader takes one after any white space, vertical tabs
// and form feeds included.
bool isMtllibLine(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t\n\v\f\r");
  return start != std::string::npos && line.compare(start, 6, "mtllib") == 0;
}

// Refuses short vertex lines; returns whether the file has blank-only, "mtllib", "vn" or such "v" lines,
// which the caller empties or rewrites in a copy.
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

}  // namespace

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

}  // namespace nimbrel_tools::detail
