#include "auth/user_info.h"

#include "auth/rpc/responses.h"

namespace dz::auth {
namespace {

constexpr char kProviderIDKey[] = "providerID";
constexpr char kUserIDKey[] = "userID";
constexpr char kDisplayNameKey[] = "displayName";
constexpr char kPhotoURLKey[] = "photoURL";
constexpr char kEmailKey[] = "email";

}  // namespace

std::optional<std::string> archivedString(const Value& archive, std::string_view key, bool& ok) {
  const Value& member = archive[key];
  if (member.isNull()) return std::nullopt;
  if (!member.isString()) {
    ok = false;
    return std::nullopt;
  }
  return member.asString();
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
  if (!archive.isMap()) return std::nullopt;
  bool ok = true;
  auto providerID = archivedString(archive, kProviderIDKey, ok);
  auto userID = archivedString(archive, kUserIDKey, ok);
  auto displayName = archivedString(archive, kDisplayNameKey, ok);
  auto photoURL = archivedString(archive, kPhotoURLKey, ok);
  auto email = archivedString(archive, kEmailKey, ok);
  if (!ok) return std::nullopt;
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
