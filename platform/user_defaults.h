// UserDefaults: small typed settings kept in memory and stored as a JSON file. standard() is the
// store of the process, in <application support>/Preferences/<bundle identifier>.json; tests may
// open their own over any file.
//
// Every change is written to the file right away (atomically, see FileManager::writeAtomically),
// so settings survive a restart without anyone calling synchronize(); synchronize() retries a
// write that failed and reports whether the file holds the current settings. A corrupt file is
// logged, moved aside to ".corrupt" and read as empty. A file that exists but cannot be read is
// logged and read as empty too, but never written over: it is read again before each write, and
// changes made meanwhile go over what it holds (until then they live in memory only). Never a
// crash. NaN and infinite numbers are refused (logged), as JSON cannot hold them, and so
// are values nesting more than 32 arrays or maps, which the file could not be read back with.
// Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/thread_annotations.h"
#include "platform/value.h"

namespace dz::platform {

class UserDefaults {
 public:
  // The process's store for the current sandbox root and bundle identifier; the same object
  // while neither changes (a test that sets a root of its own gets a store over its own file).
  static std::shared_ptr<UserDefaults> standard();
  // A store over `file`, reading what it holds now.
  static std::shared_ptr<UserDefaults> create(std::filesystem::path file);

  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // Reads. A missing key, or a value of another type, gives none / false / 0 / 0.0, as callers of
  // such stores expect. integerForKey and doubleForKey accept either number type.
  std::optional<Value> objectForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  // Bytes stored with setData (any bytes, not only text).
  std::optional<std::string> dataForKey(std::string_view key) const;

  // Writes. Setting a null Value removes the key.
  void setObject(Value value, std::string_view key);
  void setString(std::string value, std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInteger(int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setData(std::string bytes, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // True when the file holds every change made so far (writing it again if an earlier write
  // failed).
  bool synchronize();

 private:
  explicit UserDefaults(std::filesystem::path file);
  bool load() DZ_EXCLUDES(mutex_);
  void parse(std::string_view text, Value::Map* values,
             std::set<std::string, std::less<>>* dataKeys);
  bool write() DZ_EXCLUDES(mutex_, writeMutex_);

  const std::filesystem::path file_;
  // Serializes file writes; taken before mutex_.
  Mutex writeMutex_ DZ_ACQUIRED_BEFORE(mutex_);
  uint64_t writtenVersion_ DZ_GUARDED_BY(writeMutex_) = 0;
  mutable Mutex mutex_;
  Value::Map values_ DZ_GUARDED_BY(mutex_);
  // Keys whose string value holds raw bytes.
  std::set<std::string, std::less<>> dataKeys_ DZ_GUARDED_BY(mutex_);
  // The file exists but could not be read yet: it is read again before any write.
  bool unread_ DZ_GUARDED_BY(mutex_) = true;
  std::set<std::string, std::less<>> changedWhileUnread_ DZ_GUARDED_BY(mutex_);
  uint64_t version_ DZ_GUARDED_BY(mutex_) = 0;  // bumped by every change
};

}  // namespace dz::platform
