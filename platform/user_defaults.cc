#include "platform/user_defaults.h"

#include <boost/json.hpp>
#include <cmath>
#include <limits>

#include "platform/bundle.h"
#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/json_text.h"
#include "platform/log.h"

namespace dz::platform {
namespace {

// File layout: {"values": {key: JSON value}, "data": {key: base64 bytes}}.
constexpr char kValuesMember[] = "values";
constexpr char kDefaultsDataMember[] = "data";
constexpr char kPreferencesFolder[] = "Preferences";
constexpr char kDefaultsCorruptSuffix[] = ".corrupt";

// Containers a stored value may nest; the file adds two levels around it.
constexpr int kMaxValueDepth = 32;
constexpr int kMaxFileDepth = kMaxValueDepth + 2;

// JSON has no NaN or infinity, and the reader stops at a nesting depth: one such value would make
// the whole file unreadable.
bool isStorable(const Value& value, int depth = 0) {
  if (value.isDouble()) return std::isfinite(value.asDouble());
  if (!value.isArray() && !value.isMap()) return true;
  if (depth == kMaxValueDepth) return false;
  if (const Value::Array* array = value.getArray()) {
    for (const Value& element : *array) {
      if (!isStorable(element, depth + 1)) return false;
    }
  }
  if (const Value::Map* map = value.getMap()) {
    for (const auto& [key, element] : *map) {
      if (!isStorable(element, depth + 1)) return false;
    }
  }
  return true;
}

// The identifier comes from the Info file: keep it a plain file name.
std::string preferencesFileName(std::string identifier) {
  for (char& c : identifier) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (identifier.empty() || identifier == "." || identifier == "..") identifier = "_";
  return identifier + ".json";
}

int64_t clampToInt64(double d) {
  if (std::isnan(d)) return 0;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (d >= kLimit) return std::numeric_limits<int64_t>::max();
  if (d < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  // Never destroyed: threads may still read settings while the process exits.
  struct Standard {
    Mutex mutex;
    std::shared_ptr<UserDefaults> current DZ_GUARDED_BY(mutex);
  };
  static auto* standard = new Standard;
  std::filesystem::path file = FileManager::applicationSupportDirectory() / kPreferencesFolder /
                               preferencesFileName(Bundle::main().bundleIdentifier());
  MutexLock lock(standard->mutex);
  if (!standard->current || standard->current->file() != file) {
    standard->current = create(std::move(file));
  }
  return standard->current;
}

std::shared_ptr<UserDefaults> UserDefaults::create(std::filesystem::path file) {
  std::shared_ptr<UserDefaults> defaults(new UserDefaults(std::move(file)));
  defaults->load();
  return defaults;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

bool UserDefaults::load() {
  Value::Map values;
  std::set<std::string, std::less<>> dataKeys;
  std::optional<std::string> text = FileManager::readFile(file_);
  if (!text) {
    std::error_code ignored;
    if (std::filesystem::exists(file_, ignored)) {
      logLine("UserDefaults: cannot read " + file_.string());
      return false;
    }
  } else {
    parse(*text, &values, &dataKeys);
  }
  MutexLock lock(mutex_);
  // Changes made while the file could not be read go over what it holds.
  for (const std::string& key : changedWhileUnread_) {
    values.erase(key);
    dataKeys.erase(key);
    if (auto found = values_.find(key); found != values_.end()) {
      values.insert_or_assign(key, found->second);
      if (dataKeys_.count(key)) dataKeys.insert(key);
    }
  }
  values_.swap(values);
  dataKeys_.swap(dataKeys);
  changedWhileUnread_.clear();
  unread_ = false;
  return true;
}

void UserDefaults::parse(std::string_view text, Value::Map* values,
                         std::set<std::string, std::less<>>* dataKeys) {
  boost::json::parse_options options;
  options.allow_invalid_utf8 = true;  // strings are stored as they were given
  options.max_depth = kMaxFileDepth;
  boost::system::error_code error;
  boost::json::value json = parseJsonExact(text, error, options);
  const boost::json::object* root = error ? nullptr : json.if_object();
  const boost::json::value* valuesJson = root ? root->if_contains(kValuesMember) : nullptr;
  const boost::json::value* dataJson = root ? root->if_contains(kDefaultsDataMember) : nullptr;
  if (!root || (valuesJson && !valuesJson->is_object()) || (dataJson && !dataJson->is_object())) {
    logLine("UserDefaults: ignoring corrupt file " + file_.string());
    std::filesystem::path aside = file_;
    aside += kDefaultsCorruptSuffix;
    std::error_code ignored;
    std::filesystem::rename(file_, aside, ignored);
    return;
  }
  if (valuesJson) {
    for (const auto& [key, value] : valuesJson->get_object()) {
      values->insert_or_assign(std::string(key), Value::fromJson(value));
    }
  }
  if (dataJson) {
    for (const auto& [key, value] : dataJson->get_object()) {
      const boost::json::string* encoded = value.if_string();
      std::optional<std::string> bytes =
          encoded ? base64Decode(std::string_view(*encoded)) : std::nullopt;
      if (!bytes) {
        logLine("UserDefaults: dropping undecodable data entry in " + file_.string());
        continue;
      }
      values->insert_or_assign(std::string(key), Value(std::move(*bytes)));
      dataKeys->emplace(key);
    }
  }
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || !found->second.isString() || dataKeys_.count(key)) {
    return std::nullopt;
  }
  return found->second.asString();
}

bool UserDefaults::boolForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (!value) return false;
  if (value->isBool()) return value->asBool();
  if (value->isNumber()) return value->asDouble() != 0;
  return false;
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (!value) return 0;
  if (value->isInt()) return value->asInt();
  if (value->isDouble()) return clampToInt64(value->asDouble());
  if (value->isBool()) return value->asBool() ? 1 : 0;
  return 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (value && value->isNumber()) return value->asDouble();
  if (value && value->isBool()) return value->asBool() ? 1.0 : 0.0;
  return 0.0;
}

std::optional<std::string> UserDefaults::dataForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end() || !dataKeys_.count(key)) return std::nullopt;
  return found->second.asString();
}

void UserDefaults::setObject(Value value, std::string_view key) {
  if (!isStorable(value)) {
    logLine("UserDefaults: refusing a non-finite number or too deep a value for a key of " +
            file_.string());
    return;
  }
  {
    MutexLock lock(mutex_);
    if (auto dataKey = dataKeys_.find(key); dataKey != dataKeys_.end()) dataKeys_.erase(dataKey);
    if (value.isNull()) {
      if (auto found = values_.find(key); found != values_.end()) values_.erase(found);
    } else {
      values_.insert_or_assign(std::string(key), std::move(value));
    }
    if (unread_) changedWhileUnread_.emplace(key);
    ++version_;
  }
  write();
}

void UserDefaults::setString(std::string value, std::string_view key) {
  setObject(Value(std::move(value)), key);
}
void UserDefaults::setBool(bool value, std::string_view key) { setObject(Value(value), key); }
void UserDefaults::setInteger(int64_t value, std::string_view key) {
  setObject(Value(static_cast<long long>(value)), key);
}
void UserDefaults::setDouble(double value, std::string_view key) { setObject(Value(value), key); }

void UserDefaults::setData(std::string bytes, std::string_view key) {
  {
    MutexLock lock(mutex_);
    values_.insert_or_assign(std::string(key), Value(std::move(bytes)));
    dataKeys_.emplace(key);
    if (unread_) changedWhileUnread_.emplace(key);
    ++version_;
  }
  write();
}

void UserDefaults::removeObjectForKey(std::string_view key) { setObject(Value(), key); }

bool UserDefaults::synchronize() { return write(); }

bool UserDefaults::write() {
  MutexLock writeLock(writeMutex_);
  bool unread;
  {
    MutexLock lock(mutex_);
    if (version_ == writtenVersion_) return true;
    unread = unread_;
  }
  // Never over settings that could not be read: they would be lost.
  if (unread && !load()) return false;
  boost::json::object values;
  boost::json::object data;
  uint64_t version;
  {
    MutexLock lock(mutex_);
    version = version_;
    if (version == writtenVersion_) return true;
    for (const auto& [key, value] : values_) {
      if (dataKeys_.count(key)) {
        data[key] = base64Encode(value.asString());
      } else {
        values[key] = value.toJson();
      }
    }
  }
  boost::json::object root;
  root[kValuesMember] = std::move(values);
  root[kDefaultsDataMember] = std::move(data);
  if (!FileManager::writeAtomically(file_, boost::json::serialize(root))) return false;
  writtenVersion_ = version;
  return true;
}

}  // namespace dz::platform
