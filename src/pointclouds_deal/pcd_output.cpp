// PCD output.
#include <pcl/exceptions.h>
#include <pcl/io/pcd_io.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// Reasons for refusing a cloud before any file is opened, so that an existing file stays as it was. They
// are logged as the writer's own exceptions read, so every refusal has one form.
const char kNoData[] = "[pcl::PCDWriter::writeASCII] Input point cloud has no data!";
const char kBadLayout[] = "[pcl::PCDWriter::writeASCII] Number of points different than width * height!";

// PCL's writer never looks at its stream after opening the file, so a write that fails half way (a full
// disk, a file size limit) still counts as success there. Reads a regular file back and says what is
// missing when it does not hold the header followed by exactly `points` complete lines; an empty string
// means the file is whole. Other files (devices, pipes) cannot be read back and are trusted.
std::string missingFromWrittenFile(const std::string& fileName, std::uint64_t points) {
  struct stat info {};
  if (::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
  if (file == nullptr) return "cannot read back " + fileName;
  static const char kDataLine[] = "\nDATA ascii\n";
  char buffer[1 << 16];
  std::string header;
  bool inData = false;
  std::uint64_t lines = 0;
  char last = '\0';
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    const char* data = buffer;
    std::size_t size = got;
    if (!inData) {
      // The header is a few hundred bytes; gather it until the line that opens the point data.
      header.append(buffer, got);
      const std::size_t at = header.find(kDataLine);
      if (at == std::string::npos) {
        if (header.size() > 4096) break;
        continue;
      }
      inData = true;
      const std::size_t dataStart = at + sizeof kDataLine - 1;
      const std::size_t inBuffer = header.size() - dataStart;  // data bytes of this buffer
      data = buffer + got - inBuffer;
      size = inBuffer;
    }
    for (const char* p = data;
         (p = static_cast<const char*>(std::memchr(p, '\n', data + size - p))) != nullptr; ++p) {
      ++lines;
    }
    last = buffer[got - 1];
  }
  std::fclose(file);
  if (!inData || lines != points || (points > 0 && last != '\n')) {
    return fileName + " is incomplete: " + std::to_string(lines) + " of " + std::to_string(points) +
           " points written";
  }
  return {};
}

}  // namespace

bool PointCloudsDeal::savePcdFile(CloudPtr cloud, std::string fileName) {
  // The writer only warns about an empty cloud and writes a file without points, and it multiplies width
  // by height in 32 bits, so a wrapped product could pass; both are refused here, with the writer's words.
  const char* refusal = nullptr;
  if (cloud->empty()) {
    refusal = kNoData;
  } else if (static_cast<std::uint64_t>(cloud->width) * cloud->height != cloud->size()) {
    refusal = kBadLayout;
  }
  if (refusal != nullptr) {
    LOG_INFO("write pcd error: {}", pcl::IOException(refusal).what());
    return false;
  }
  try {
    pcl::io::savePCDFileASCII(fileName, *cloud);
  } catch (const pcl::IOException& e) {
    LOG_INFO("write pcd error: {}", e.what());
    return false;
  }
  const std::string missing = missingFromWrittenFile(fileName, cloud->size());
  if (!missing.empty()) {
    LOG_INFO("write pcd error: {}", pcl::IOException(missing).what());
    return false;
  }
  return true;
}

}  // namespace nimbrel_arm_util
