#include "analytics/analytics.h"

#include <map>
#include <mutex>

#include "platform/log.h"

namespace dz::analytics {
namespace {

constexpr char kUserIDRefused[] = "User ID must be NSString. User ID";

struct Properties {
  std::mutex mutex;
  std::map<std::string, std::string> values;
};

Properties& properties() {
  static Properties* shared = new Properties();
  return *shared;
}

}  // namespace

void Analytics::setUserID(const Value& userID) {
  if (!userID.isNull() && !userID.isString()) {
    platform::logLine(kUserIDRefused);
    return;
  }
  Properties& shared = properties();
  std::lock_guard lock(shared.mutex);
  if (userID.isNull()) {
    shared.values.erase(kUserIDPropertyName);
  } else {
    shared.values[kUserIDPropertyName] = userID.asString();
  }
}

std::optional<std::string> Analytics::userProperty(const std::string& name) {
  Properties& shared = properties();
  std::lock_guard lock(shared.mutex);
  auto found = shared.values.find(name);
  if (found == shared.values.end()) return std::nullopt;
  return found->second;
}

void Analytics::reset() {
  Properties& shared = properties();
  std::lock_guard lock(shared.mutex);
  shared.values.clear();
}

}  // namespace dz::analytics
