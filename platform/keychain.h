// Keychain: generic-password items, each identified by its account and service and holding bytes,
// in ONE file readable by its owner only (mode 0600 in a folder of mode 0700). standard() is the
// key chain of the process at <sandbox root>/Keychain/keychain.json; tests may open their own over
// any file. Results are the platform key chain's status codes.
//
// Every operation reads the file and every change rewrites it atomically, so several Keychain
// objects over one file (in one process) always agree. A corrupt file is logged, moved aside
// (".corrupt") and read as empty. Thread-safe: one process-wide lock orders all operations.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dz::platform {

using KeychainStatus = int32_t;
inline constexpr KeychainStatus kKeychainSuccess = 0;
inline constexpr KeychainStatus kKeychainDuplicateItem = -25299;
inline constexpr KeychainStatus kKeychainItemNotFound = -25300;
// The file could not be written (or its folder made).
inline constexpr KeychainStatus kKeychainIOError = -36;

struct KeychainItem {
  std::string account;
  std::optional<std::string> service;  // items may have no service
  std::string data;
  friend bool operator==(const KeychainItem&, const KeychainItem&) = default;
};

// Matches items with this account and, when `service` is set, this service; without a service it
// matches the account's items whatever their service.
struct KeychainQuery {
  std::string account;
  std::optional<std::string> service;
};

struct KeychainResult {
  KeychainStatus status = kKeychainItemNotFound;
  std::vector<KeychainItem> items;  // every match, ordered by account then service
};

class Keychain {
 public:
  static std::shared_ptr<Keychain> standard();
  static std::shared_ptr<Keychain> create(std::filesystem::path file);

  Keychain(const Keychain&) = delete;
  Keychain& operator=(const Keychain&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // kKeychainDuplicateItem when an item with the same account and service (or the same account and
  // no service) exists.
  KeychainStatus add(KeychainItem item);
  // kKeychainSuccess with the matches, or kKeychainItemNotFound with none.
  KeychainResult copyMatching(const KeychainQuery& query) const;
  // Replaces the data of every match; kKeychainItemNotFound when nothing matches.
  KeychainStatus update(const KeychainQuery& query, std::string data);
  // Deletes every match; kKeychainItemNotFound when nothing matches.
  KeychainStatus remove(const KeychainQuery& query);

 private:
  explicit Keychain(std::filesystem::path file);
  const std::filesystem::path file_;
};

}  // namespace dz::platform
