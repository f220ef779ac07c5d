#include "auth/auth_keychain.h"

#include "auth/auth_errors.h"
#include "platform/exception.h"

namespace dz::auth {
namespace {

constexpr char kEmptyKeyReason[] = "The key cannot be nil or empty.";

void checkKey(const std::string& key) {
  if (key.empty()) throw Exception(kInvalidArgumentException, kEmptyKeyReason);
}

}  // namespace

AuthKeychain::AuthKeychain(std::string service, std::shared_ptr<platform::Keychain> keychain)
    : service_(std::move(service)), keychain_(std::move(keychain)) {}

platform::KeychainQuery AuthKeychain::genericPasswordQuery(const std::string& key) const {
  return {kKeychainAccountPrefix + key, service_};
}

platform::KeychainQuery AuthKeychain::legacyGenericPasswordQuery(const std::string& key) {
  return {key, std::nullopt};
}

std::optional<std::string> AuthKeychain::itemWithQuery(const platform::KeychainQuery& query,
                                                       ErrorPtr& error) const {
  platform::KeychainResult result = keychain_->copyMatching(query);
  if (result.status == platform::kKeychainItemNotFound) return std::nullopt;
  if (result.status != platform::kKeychainSuccess) {
    error = errors::keychainError("SecItemCopyMatching", result.status);
    return std::nullopt;
  }
  if (result.items.size() != 1) {
    error = errors::keychainError("SecItemCopyMatching", 0);
    return std::nullopt;
  }
  return result.items.front().data;
}

std::optional<std::string> AuthKeychain::dataForKey(const std::string& key, ErrorPtr& error) {
  checkKey(key);
  error = nullptr;
  std::optional<std::string> data = itemWithQuery(genericPasswordQuery(key), error);
  if (data || error) return data;
  if (legacyEntryDeleted_.count(key)) return std::nullopt;
  data = itemWithQuery(legacyGenericPasswordQuery(key), error);
  if (error) return std::nullopt;
  if (!data) {
    legacyEntryDeleted_.insert(key);
    return std::nullopt;
  }
  if ((error = setData(*data, key))) return std::nullopt;
  deleteLegacyItem(key);
  return data;
}

ErrorPtr AuthKeychain::setData(const std::string& data, const std::string& key) {
  checkKey(key);
  platform::KeychainQuery query = genericPasswordQuery(key);
  platform::KeychainStatus status = keychain_->add({query.account, query.service, data});
  const char* function = "SecItemAdd";
  if (status == platform::kKeychainDuplicateItem) {
    function = "SecItemUpdate";
    status = keychain_->update(query, data);
  }
  return status == platform::kKeychainSuccess ? nullptr : errors::keychainError(function, status);
}

ErrorPtr AuthKeychain::removeDataForKey(const std::string& key) {
  checkKey(key);
  platform::KeychainStatus status = keychain_->remove(genericPasswordQuery(key));
  if (status != platform::kKeychainSuccess && status != platform::kKeychainItemNotFound) {
    return errors::keychainError("SecItemDelete", status);
  }
  legacyEntryDeleted_.erase(key);
  deleteLegacyItem(key);
  return nullptr;
}

void AuthKeychain::deleteLegacyItem(const std::string& key) {
  if (legacyEntryDeleted_.count(key)) return;
  keychain_->remove(legacyGenericPasswordQuery(key));
  legacyEntryDeleted_.insert(key);
}

}  // namespace dz::auth
