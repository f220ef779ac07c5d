// UserProfileChangeRequest: a one-shot batch of profile changes (display name, photo URL) for one
// user, committed to the server once. Setting a value to none removes it on the server as well.
// Thread-safe; misuse (a change or a commit after the commit) throws dz::Exception
// kInternalInconsistencyException on the caller's thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/user.h"

namespace dz::auth {

class UserProfileChangeRequest {
 public:
  explicit UserProfileChangeRequest(UserPtr user);

  std::optional<std::string> displayName() const;
  void setDisplayName(std::optional<std::string> displayName);
  std::optional<std::string> photoURL() const;
  void setPhotoURL(std::optional<std::string> photoURL);
  bool hasUpdates() const;

  // Sends the changes (nothing when there are none) and calls `completion` on the main queue;
  // the user's local profile changes only when the server accepted them.
  void commitChanges(ErrorCompletion completion = {});

 private:
  const UserPtr user_;
  mutable std::mutex mutex_;
  std::optional<std::string> displayName_;
  bool displayNameSet_ = false;
  std::optional<std::string> photoURL_;
  bool photoURLSet_ = false;
  bool consumed_ = false;
};

}  // namespace dz::auth
