// UserInfo: the identity of an account at one provider (providerID, uid, display name, photo URL,
// e-mail). UserInfoImpl is the immutable value the server reports per linked provider, kept in a
// user's provider data and archived with it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace dz::auth {

struct GetAccountInfoResponseProviderUserInfo;

class UserInfo {
 public:
  virtual ~UserInfo() = default;
  virtual std::string providerID() const = 0;
  virtual std::string uid() const = 0;
  virtual std::optional<std::string> displayName() const = 0;
  virtual std::optional<std::string> photoURL() const = 0;
  virtual std::optional<std::string> email() const = 0;
};

class UserInfoImpl : public UserInfo {
 public:
  UserInfoImpl(std::string providerID, std::string userID, std::optional<std::string> displayName,
               std::optional<std::string> photoURL, std::optional<std::string> email);
  static UserInfoImpl userInfoWithGetAccountInfoResponseProviderUserInfo(
      const GetAccountInfoResponseProviderUserInfo& providerUserInfo);
  // Keys "providerID", "userID", "displayName", "photoURL", "email", each optional; none when a
  // member has the wrong type.
  static std::optional<UserInfoImpl> fromArchive(const Value& archive);
  Value archive() const;

  std::string providerID() const override { return providerID_; }
  std::string uid() const override { return userID_; }
  std::optional<std::string> displayName() const override { return displayName_; }
  std::optional<std::string> photoURL() const override { return photoURL_; }
  std::optional<std::string> email() const override { return email_; }

 private:
  std::string providerID_;
  std::string userID_;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
  std::optional<std::string> email_;
};

// Reads the optional members of an archived object: none when a member is absent. A member
// present with another type also reads as none and makes the archive unreadable as a whole, as
// does an archive that is not an object.
class ArchiveReader {
 public:
  explicit ArchiveReader(const Value& archive) : archive_(archive), wellTyped_(archive.isMap()) {}
  std::optional<std::string> string(std::string_view key);
  std::optional<bool> boolean(std::string_view key);
  // False for an archive that is not an object, or once a member read had the wrong type.
  bool wellTyped() const { return wellTyped_; }

 private:
  // The member at `key` when it is present and `hasType`, else null.
  const Value* member(std::string_view key, bool (Value::*hasType)() const);

  const Value& archive_;
  bool wellTyped_;
};
// The text, or none when it is empty (server answers use empty for absent).
std::optional<std::string> nonEmpty(const std::string& text);

}  // namespace dz::auth
