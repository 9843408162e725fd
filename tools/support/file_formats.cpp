// Low-level helpers shared by the tool's format readers: typed field access, header numbers, word splitting.
#include "support/file_formats.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <type_traits>

namespace nimbrel_tools::detail {

namespace {

template <typename T>
long double valueAt(const std::uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return static_cast<long double>(v);
}

template <typename T>
void storeAt(std::uint8_t* at, long double v) {
  T out;
  if constexpr (std::is_floating_point_v<T>) {
    const auto largest = static_cast<long double>(std::numeric_limits<T>::max());
    constexpr T infinity = std::numeric_limits<T>::infinity();
    out = std::abs(v) > largest ? (v > 0 ? infinity : -infinity) : static_cast<T>(v);
  } else {
    if (std::isnan(v)) return;
    const long double rounded = std::round(v);
    if (rounded <= static_cast<long double>(std::numeric_limits<T>::lowest())) {
      out = std::numeric_limits<T>::lowest();
    } else if (rounded >= static_cast<long double>(std::numeric_limits<T>::max())) {
      out = std::numeric_limits<T>::max();
    } else {
      out = static_cast<T>(rounded);
    }
  }
  std::memcpy(at, &out, sizeof out);
}

}  // namespace

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

void writeValue(pcl::PCLPointCloud2& cloud, const pcl::PCLPointField& field, std::size_t point,
                long double v) {
  std::uint8_t* at = cloud.data.data() + point * cloud.point_step + field.offset;
  switch (field.datatype) {
    case pcl::PCLPointField::INT8:
      return storeAt<std::int8_t>(at, v);
    case pcl::PCLPointField::UINT8:
      return storeAt<std::uint8_t>(at, v);
    case pcl::PCLPointField::INT16:
      return storeAt<std::int16_t>(at, v);
    case pcl::PCLPointField::UINT16:
      return storeAt<std::uint16_t>(at, v);
    case pcl::PCLPointField::INT32:
      return storeAt<std::int32_t>(at, v);
    case pcl::PCLPointField::UINT32:
      return storeAt<std::uint32_t>(at, v);
    case pcl::PCLPointField::INT64:
      return storeAt<std::int64_t>(at, v);
    case pcl::PCLPointField::UINT64:
      return storeAt<std::uint64_t>(at, v);
    case pcl::PCLPointField::FLOAT64:
      return storeAt<double>(at, v);
    default:
      return storeAt<float>(at, v);
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

std::vector<std::string> splitWords(const std::string& line, const char* blanks) {
  std::vector<std::string> words;
  for (std::size_t start = line.find_first_not_of(blanks); start != std::string::npos;
       start = line.find_first_not_of(blanks, start)) {
    const std::size_t end = line.find_first_of(blanks, start);
    words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end;
  }
  return words;
}

std::uint64_t openChecked(const std::string& path, std::ifstream& in) {
  in.open(path, std::ios::binary);
  std::error_code ec;
  const std::uint64_t size = std::filesystem::file_size(path, ec);
  if (!in || ec) throw ToolError(fmt::format("cannot read {}", path));
  return size;
}

}  // namespace nimbrel_tools::detail
