#include "platform/keychain.h"

#include <sys/stat.h>

#include <algorithm>
#include <boost/json.hpp>
#include <mutex>

#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/log.h"

namespace dz::platform {
namespace {

// File layout: {"items": [{"account": text, "service": text (absent when none), "data": base64}]}.
constexpr char kItemsMember[] = "items";
constexpr char kAccountMember[] = "account";
constexpr char kServiceMember[] = "service";
constexpr char kDataMember[] = "data";
constexpr char kKeychainFolder[] = "Keychain";
constexpr char kKeychainFile[] = "keychain.json";
constexpr char kCorruptSuffix[] = ".corrupt";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

using Items = std::vector<KeychainItem>;

// One lock for every Keychain object: they may share a file, and each operation is a
// read-modify-write of it.
std::mutex& keychainMutex() {
  static std::mutex mutex;
  return mutex;
}

bool matches(const KeychainItem& item, const KeychainQuery& query) {
  return item.account == query.account && (!query.service || item.service == query.service);
}

bool itemBefore(const KeychainItem& a, const KeychainItem& b) {
  if (a.account != b.account) return a.account < b.account;
  return a.service < b.service;  // no service sorts first
}

std::optional<KeychainItem> itemFromJson(const boost::json::value& json) {
  const boost::json::object* object = json.if_object();
  if (!object) return std::nullopt;
  const boost::json::value* account = object->if_contains(kAccountMember);
  const boost::json::value* service = object->if_contains(kServiceMember);
  const boost::json::value* data = object->if_contains(kDataMember);
  if (!account || !account->is_string() || (service && !service->is_string()) || !data ||
      !data->is_string()) {
    return std::nullopt;
  }
  std::optional<std::string> bytes = base64Decode(std::string_view(data->get_string()));
  if (!bytes) return std::nullopt;
  KeychainItem item{std::string(account->get_string()), std::nullopt, std::move(*bytes)};
  if (service) item.service = std::string(service->get_string());
  return item;
}

// The items of `file`; none when the file exists but cannot be read, so that a change never
// overwrites items it could not see.
std::optional<Items> readItems(const std::filesystem::path& file) {
  std::optional<std::string> text = FileManager::readFile(file);
  if (!text) {
    std::error_code error;
    if (!std::filesystem::exists(file, error) && !error) return Items{};
    logLine("Keychain: cannot read " + file.string());
    return std::nullopt;
  }
  boost::json::parse_options options;
  options.allow_invalid_utf8 = true;  // accounts and services are stored as they were given
  boost::system::error_code error;
  boost::json::value json = boost::json::parse(*text, error, {}, options);
  const boost::json::object* root = error ? nullptr : json.if_object();
  const boost::json::value* list = root ? root->if_contains(kItemsMember) : nullptr;
  if (!list || !list->is_array()) {
    logLine("Keychain: moving aside corrupt file " + file.string());
    std::filesystem::path aside = file;
    aside += kCorruptSuffix;
    std::error_code ignored;
    std::filesystem::rename(file, aside, ignored);
    return Items{};
  }
  Items items;
  for (const boost::json::value& entry : list->get_array()) {
    if (std::optional<KeychainItem> item = itemFromJson(entry)) {
      items.push_back(std::move(*item));
    } else {
      logLine("Keychain: dropping a malformed item of " + file.string());
    }
  }
  return items;
}

bool writeItems(const std::filesystem::path& file, Items items) {
  std::filesystem::path folder = file.parent_path();
  if (!folder.empty() && (!FileManager::createDirectory(folder, kFolderMode) ||
                          ::chmod(folder.c_str(), kFolderMode) != 0)) {
    logLine("Keychain: cannot prepare the folder of " + file.string());
    return false;
  }
  // Stable, so a damaged file's items that share account and service keep their order on every write.
  std::stable_sort(items.begin(), items.end(), itemBefore);
  boost::json::array list;
  for (const KeychainItem& item : items) {
    boost::json::object entry;
    entry[kAccountMember] = item.account;
    if (item.service) entry[kServiceMember] = *item.service;
    entry[kDataMember] = base64Encode(item.data);
    list.push_back(std::move(entry));
  }
  boost::json::object root;
  root[kItemsMember] = std::move(list);
  return FileManager::writeAtomically(file, boost::json::serialize(root), kFileMode);
}

}  // namespace

std::shared_ptr<Keychain> Keychain::standard() {
  return create(FileManager::sandboxRoot() / kKeychainFolder / kKeychainFile);
}

std::shared_ptr<Keychain> Keychain::create(std::filesystem::path file) {
  return std::shared_ptr<Keychain>(new Keychain(std::move(file)));
}

Keychain::Keychain(std::filesystem::path file) : file_(std::move(file)) {}

KeychainStatus Keychain::add(KeychainItem item) {
  std::lock_guard lock(keychainMutex());
  std::optional<Items> items = readItems(file_);
  if (!items) return kKeychainIOError;
  for (const KeychainItem& existing : *items) {
    if (existing.account == item.account && existing.service == item.service) {
      return kKeychainDuplicateItem;
    }
  }
  items->push_back(std::move(item));
  return writeItems(file_, std::move(*items)) ? kKeychainSuccess : kKeychainIOError;
}

KeychainResult Keychain::copyMatching(const KeychainQuery& query) const {
  std::lock_guard lock(keychainMutex());
  std::optional<Items> items = readItems(file_);
  if (!items) return {kKeychainIOError, {}};
  KeychainResult result;
  for (KeychainItem& item : *items) {
    if (matches(item, query)) result.items.push_back(std::move(item));
  }
  std::stable_sort(result.items.begin(), result.items.end(), itemBefore);
  result.status = result.items.empty() ? kKeychainItemNotFound : kKeychainSuccess;
  return result;
}

KeychainStatus Keychain::update(const KeychainQuery& query, std::string data) {
  std::lock_guard lock(keychainMutex());
  std::optional<Items> items = readItems(file_);
  if (!items) return kKeychainIOError;
  bool found = false;
  for (KeychainItem& item : *items) {
    if (!matches(item, query)) continue;
    item.data = data;
    found = true;
  }
  if (!found) return kKeychainItemNotFound;
  return writeItems(file_, std::move(*items)) ? kKeychainSuccess : kKeychainIOError;
}

KeychainStatus Keychain::remove(const KeychainQuery& query) {
  std::lock_guard lock(keychainMutex());
  std::optional<Items> items = readItems(file_);
  if (!items) return kKeychainIOError;
  size_t before = items->size();
  std::erase_if(*items, [&](const KeychainItem& item) { return matches(item, query); });
  if (items->size() == before) return kKeychainItemNotFound;
  return writeItems(file_, std::move(*items)) ? kKeychainSuccess : kKeychainIOError;
}

}  // namespace dz::platform
