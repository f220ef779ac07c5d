#include "auth/user_info.h"

#include "auth/archive_keys.h"
#include "auth/rpc/responses.h"

namespace dz::auth {
namespace {

constexpr char kProviderIDKey[] = "providerID";

}  // namespace

const Value* ArchiveReader::member(std::string_view key, bool (Value::*hasType)() const) {
  const Value& found = archive_[key];
  if (found.isNull()) return nullptr;
  if (!(found.*hasType)()) {
    wellTyped_ = false;
    return nullptr;
  }
  return &found;
}

std::optional<std::string> ArchiveReader::string(std::string_view key) {
  const Value* found = member(key, &Value::isString);
  return found ? std::optional<std::string>(found->asString()) : std::nullopt;
}

std::optional<bool> ArchiveReader::boolean(std::string_view key) {
  const Value* found = member(key, &Value::isBool);
  return found ? std::optional<bool>(found->asBool()) : std::nullopt;
}

std::optional<std::string> nonEmpty(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

UserInfoImpl::UserInfoImpl(std::string providerID, std::string userID,
                           std::optional<std::string> displayName,
                           std::optional<std::string> photoURL, std::optional<std::string> email)
    : providerID_(std::move(providerID)),
      userID_(std::move(userID)),
      displayName_(std::move(displayName)),
      photoURL_(std::move(photoURL)),
      email_(std::move(email)) {}

UserInfoImpl UserInfoImpl::userInfoWithGetAccountInfoResponseProviderUserInfo(
    const GetAccountInfoResponseProviderUserInfo& info) {
  return UserInfoImpl(info.providerID, info.federatedID, nonEmpty(info.displayName),
                      nonEmpty(info.photoURL), nonEmpty(info.email));
}

std::optional<UserInfoImpl> UserInfoImpl::fromArchive(const Value& archive) {
  ArchiveReader reader(archive);
  auto providerID = reader.string(kProviderIDKey);
  auto userID = reader.string(kUserIDKey);
  auto displayName = reader.string(kDisplayNameKey);
  auto photoURL = reader.string(kPhotoURLKey);
  auto email = reader.string(kEmailKey);
  if (!reader.wellTyped()) return std::nullopt;
  return UserInfoImpl(providerID.value_or(""), userID.value_or(""), std::move(displayName),
                      std::move(photoURL), std::move(email));
}

Value UserInfoImpl::archive() const {
  Value::Map map;
  if (!providerID_.empty()) map[kProviderIDKey] = Value(providerID_);
  if (!userID_.empty()) map[kUserIDKey] = Value(userID_);
  if (displayName_) map[kDisplayNameKey] = Value(*displayName_);
  if (photoURL_) map[kPhotoURLKey] = Value(*photoURL_);
  if (email_) map[kEmailKey] = Value(*email_);
  return map;
}

}  // namespace dz::auth
