// dz::Exception: misuse of an interface, raised synchronously on the caller's thread. It carries
// the design's exception name ("InvalidPathValidation", "NSInvalidArgumentException", ...) and the
// reason text; what() is the reason.
#pragma once

#include <stdexcept>
#include <string>

namespace dz {

class Exception : public std::runtime_error {
 public:
  Exception(std::string name, const std::string& reason)
      : std::runtime_error(reason), name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  std::string reason() const { return what(); }

 private:
  std::string name_;
};

// Names shared across libraries.
inline constexpr char kInvalidArgumentException[] = "NSInvalidArgumentException";
inline constexpr char kGenericException[] = "NSGenericException";
inline constexpr char kInternalInconsistencyException[] = "NSInternalInconsistencyException";

}  // namespace dz
