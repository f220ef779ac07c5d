#include "database/snapshot/validation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>

#include "database/snapshot/node.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kInvalidPathCharacters[] = "[].#$";
constexpr char kInfoKey[] = ".info";
constexpr int kEventTypeCount = 5;

std::string labelled(std::string_view label, std::string_view text) {
  std::string reason = "(";
  reason += label;
  reason += ") ";
  reason += text;
  return reason;
}

}  // namespace

bool Validation::isValidPathString(std::string_view pathString) {
  return !pathString.empty() &&
         pathString.find_first_of(kInvalidPathCharacters) == std::string_view::npos;
}

bool Validation::isValidUpdatePath(const Path& path) {
  std::span<const std::string> keys = path.keys();
  if (!keys.empty() && keys.back() == kPriorityKey) keys = keys.first(keys.size() - 1);
  return std::none_of(keys.begin(), keys.end(), [](const std::string& key) {
    return key.find_first_of(kInvalidPathCharacters) != std::string::npos;
  });
}

void Validation::validateWritablePath(std::string_view label, const Path& path) {
  if (path.front() == kInfoKey) {
    throw Exception(kWritablePathValidation,
                    labelled(label, "failed to path " + path.toString() +
                                        ": Can't modify data under " + kInfoKey));
  }
}

void Validation::validatePathString(std::string_view label, std::string_view pathString) {
  if (!isValidPathString(pathString)) {
    throw Exception(
        kInvalidPathValidation,
        labelled(label, "Must be a non-empty string and not contain '.' '#' '$' '[' or ']'"));
  }
}

void Validation::validateRootPathString(std::string_view label, std::string_view pathString) {
  // A leading ".info" segment is the one place where a '.' may stand.
  std::string_view rest =
      pathString.substr(std::min(pathString.find_first_not_of('/'), pathString.size()));
  std::string replaced;
  if (rest.starts_with(kInfoKey)) {
    std::string_view after = rest.substr(std::string_view(kInfoKey).size());
    if (after.empty() || after.front() == '/') {
      replaced = "/";
      replaced += after.empty() ? after : after.substr(1);
      pathString = replaced;
    }
  }
  validatePathString(label, pathString);
}

void Validation::validateKey(std::string_view label, std::string_view key) {
  if (!isValidKey(key)) {
    throw Exception(
        kInvalidKeyValidation,
        labelled(label, "Must be a non-empty string and not contain '/' '.' '#' '$' '[' or ']'"));
  }
}

void Validation::validateKnownEventType(std::string_view label, int eventType) {
  if (eventType < 0 || eventType >= kEventTypeCount) {
    throw Exception(kKnownEventTypeValidation,
                    labelled(label, "Unknown event type: " + std::to_string(eventType)));
  }
}

bool Validation::validatePriorityValue(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Int:
    case Value::Type::String:
      return true;
    case Value::Type::Double:
      return !std::isnan(value.asDouble());
    case Value::Type::Map:
      return value.size() < 2 && value.find(kServerValueKey) != nullptr;
    case Value::Type::Bool:
    case Value::Type::Array:
      return false;
  }
  return false;
}

}  // namespace dz::database
