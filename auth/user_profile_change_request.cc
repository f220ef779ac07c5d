#include "auth/user_profile_change_request.h"

#include "auth/rpc/requests.h"
#include "auth/rpc/responses.h"
#include "platform/exception.h"

namespace dz::auth {

UserProfileChangeRequest::UserProfileChangeRequest(UserPtr user) : user_(std::move(user)) {}

std::optional<std::string> UserProfileChangeRequest::displayName() const {
  std::lock_guard lock(mutex_);
  return displayName_;
}

void UserProfileChangeRequest::setDisplayName(std::optional<std::string> displayName) {
  std::lock_guard lock(mutex_);
  if (consumed_) {
    throw Exception(kInternalInconsistencyException,
                    "Invalid call to setDisplayName: after commitChangesWithCallback:.");
  }
  displayName_ = std::move(displayName);
  displayNameSet_ = true;
}

std::optional<std::string> UserProfileChangeRequest::photoURL() const {
  std::lock_guard lock(mutex_);
  return photoURL_;
}

void UserProfileChangeRequest::setPhotoURL(std::optional<std::string> photoURL) {
  std::lock_guard lock(mutex_);
  if (consumed_) {
    throw Exception(kInternalInconsistencyException,
                    "Invalid call to setPhotoURL: after commitChangesWithCallback:.");
  }
  photoURL_ = std::move(photoURL);
  photoURLSet_ = true;
}

bool UserProfileChangeRequest::hasUpdates() const {
  std::lock_guard lock(mutex_);
  return displayNameSet_ || photoURLSet_;
}

void UserProfileChangeRequest::commitChanges(ErrorCompletion completion) {
  std::optional<std::string> displayName, photoURL;
  bool displayNameSet, photoURLSet;
  {
    std::lock_guard lock(mutex_);
    if (consumed_) {
      throw Exception(kInternalInconsistencyException,
                      "commitChangesWithCallback: should only be called once.");
    }
    consumed_ = true;
    displayName = displayName_;
    photoURL = photoURL_;
    displayNameSet = displayNameSet_;
    photoURLSet = photoURLSet_;
  }
  auto finish = [completion](ErrorPtr error) {
    if (completion)
      platform::DispatchQueue::main()->async([completion, error] { completion(error); });
  };
  if (!displayNameSet && !photoURLSet) return finish(nullptr);
  globalWorkQueue()->async(
      [user = user_, displayName, photoURL, displayNameSet, photoURLSet, finish] {
        user->executeUserUpdateWithChanges(
            [=](const GetAccountInfoResponseUser&, SetAccountInfoRequest& request) {
              // A value set to none is deleted on the server, so both sides agree afterwards.
              if (photoURLSet) {
                if (photoURL && !photoURL->empty()) {
                  request.photoURL = *photoURL;
                } else {
                  request.deleteAttributes.push_back(kDeleteAttributePhotoURL);
                }
              }
              if (displayNameSet) {
                if (displayName && !displayName->empty()) {
                  request.displayName = *displayName;
                } else {
                  request.deleteAttributes.push_back(kDeleteAttributeDisplayName);
                }
              }
            },
            [=](ErrorPtr error) {
              if (error) return finish(error);
              if (displayNameSet) user->setDisplayName(nonEmpty(displayName.value_or("")));
              if (photoURLSet) user->setPhotoURL(nonEmpty(photoURL.value_or("")));
              finish(user->updateKeychain());
            });
      });
}

}  // namespace dz::auth
