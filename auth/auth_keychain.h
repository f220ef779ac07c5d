// AuthKeychain: the key-chain store of authentication. Data is kept per key as a generic-password
// item with the account "dezuvura_auth_1_<key>" and the store's service; an item of the old layout
// (account = the key, no service) is moved to the current one when first read. No lock of its
// own: authentication calls it from its global work queue (and once, at start, from the creating
// thread). Empty keys are misuse and throw dz::Exception kInvalidArgumentException.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/error.h"
#include "platform/keychain.h"

namespace dz::auth {

inline constexpr char kKeychainAccountPrefix[] = "dezuvura_auth_1_";

class AuthKeychain {
 public:
  explicit AuthKeychain(std::string service, std::shared_ptr<platform::Keychain> keychain =
                                                 platform::Keychain::standard());

  const std::string& service() const { return service_; }

  // The data, or none when there is none (error left null) or on failure (error set).
  std::optional<std::string> dataForKey(const std::string& key, ErrorPtr& error);
  // Null on success, else the key-chain error.
  ErrorPtr setData(const std::string& data, const std::string& key);
  // Null on success (also when nothing was stored), else the key-chain error.
  ErrorPtr removeDataForKey(const std::string& key);

 private:
  platform::KeychainQuery genericPasswordQuery(const std::string& key) const;
  static platform::KeychainQuery legacyGenericPasswordQuery(const std::string& key);
  std::optional<std::string> itemWithQuery(const platform::KeychainQuery& query,
                                           ErrorPtr& error) const;
  void deleteLegacyItem(const std::string& key);

  const std::string service_;
  const std::shared_ptr<platform::Keychain> keychain_;
  std::set<std::string> legacyEntryDeleted_;
};

}  // namespace dz::auth
