// Exception types of rclcpp that the stand-in throws.
#pragma once

#include <stdexcept>
#include <string>

namespace rclcpp {
namespace exceptions {

/// A failed rcl call (here: using a context that was shut down).
class RCLError : public std::runtime_error {
 public:
  explicit RCLError(const std::string& message) : std::runtime_error(message) {}
};

/// An rcl call given an invalid argument (here: a context that was never initialised).
class RCLInvalidArgument : public std::invalid_argument {
 public:
  explicit RCLInvalidArgument(const std::string& message) : std::invalid_argument(message) {}
};

class NameValidationError : public std::invalid_argument {
 public:
  explicit NameValidationError(const std::string& message) : std::invalid_argument(message) {}
};

class InvalidNodeNameError : public NameValidationError {
 public:
  explicit InvalidNodeNameError(const std::string& message) : NameValidationError(message) {}
};

class InvalidNamespaceError : public NameValidationError {
 public:
  explicit InvalidNamespaceError(const std::string& message) : NameValidationError(message) {}
};

}  // namespace exceptions
}  // namespace rclcpp
