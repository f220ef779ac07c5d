#include "app/user_storage.h"

#include "analytics/analytics.h"
#include "app/database_layout.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/queue_check.h"
#include "platform/text.h"

namespace pollapp {

using dz::Value;
using dz::database::DataEventType;

UserStorage::UserStorage(Environment environment, std::string userId)
    : environment_(std::move(environment)),
      userId_(std::move(userId)),
      rootRef_(environment_.rootRef()),
      userRef_(rootRef_.child(layout::kUsers).child(userId_)) {}

std::shared_ptr<UserStorage> UserStorage::create(Environment environment) {
  std::optional<std::string> uid = environment.signedInUid();
  if (!uid) {
    throw dz::Exception(kInvalidInitializationException,
                        "UserStorage needs authData uid, but got this authData: (null)");
  }
  return std::shared_ptr<UserStorage>(new UserStorage(std::move(environment), *uid));
}

UserStorage::~UserStorage() {
  if (relatedUsersQuery_) relatedUsersQuery_->removeAllObservers();
}

void UserStorage::fetchOrGetCurrentUserWithCompletionBlock(
    std::function<void(UserPtr)> completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (currentUser_) {
    completion(currentUser_);
    return;
  }
  std::weak_ptr<UserStorage> weak = weak_from_this();
  userRef_.observeSingleEventOfType(
      DataEventType::Value, [weak, completion = std::move(completion)](const DataSnapshot& snap) {
        auto self = weak.lock();
        if (!self) return;
        // A record that is not there yet would otherwise stand as an empty user for good.
        if (snap.exists()) self->setCurrentUserFromSnapshot(snap);
        completion(self->currentUser_);
      });
}

void UserStorage::setCurrentUserFromSnapshot(const DataSnapshot& snapshot) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  currentUser_ = std::make_shared<User>(snapshot);
  dz::analytics::Analytics::setUserID(Value(currentUser_->userId()));
  auto& defaults = *environment_.defaults;
  defaults.setBool(currentUser_->localPollsOn(), layout::kLocalPollsOnDefault);
  const Value record = snapshot.value();
  const Value& experiments = record[layout::kExperiments];
  if (experiments.isMap()) {
    defaults.setObject(experiments, layout::kUserExperimentsDefault);
  } else {
    defaults.removeObjectForKey(layout::kUserExperimentsDefault);
  }
  defaults.synchronize();
}

void UserStorage::fetchRelatedUsers() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!currentUser_) {
    dz::platform::logLine("UserStorage: no current user yet, not fetching related users");
    return;
  }
  auto query = rootRef_.child(layout::kUsers)
                   .queryOrderedByChild(layout::kDomain)
                   .queryEqualToValue(Value(currentUser_->domain()));
  query.removeAllObservers();
  if (relatedUsersQuery_) relatedUsersQuery_->removeAllObservers();
  relatedUsersQuery_ = query;
  std::weak_ptr<UserStorage> weak = weak_from_this();
  query.observeEventType(DataEventType::ChildAdded, [weak](const DataSnapshot& snapshot) {
    if (auto self = weak.lock()) self->relatedUserAdded(snapshot);
  });
}

void UserStorage::relatedUserAdded(const DataSnapshot& snapshot) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  auto user = std::make_shared<User>(snapshot);
  if (user->userId() == userId_) setCurrentUserFromSnapshot(snapshot);
  if (userForUserId(user->userId())) return;
  usersArray_.push_back(user);
  environment_.center().post(kAddedUserNotification, nullptr, {{"user", Value(user->userId())}});
}

UserPtr UserStorage::userForUserId(const std::string& userId) const {
  DZ_ASSERT_ON_MAIN_QUEUE();
  for (const UserPtr& user : usersArray_) {
    if (user->userId() == userId) return user;
  }
  return nullptr;
}

std::string hexStringFromBytes(const std::vector<uint8_t>& bytes) {
  return dz::platform::hexString(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool storeDeviceToken(const Environment& environment, const std::vector<uint8_t>& token) {
  std::optional<std::string> uid = environment.signedInUid();
  dz::platform::logLine("AppDelegate: token: " + hexStringFromBytes(token));
  if (!uid) return false;
  environment.rootRef()
      .child(layout::kUsers)
      .child(*uid)
      .child(layout::kDeviceToken)
      .setValue(Value(hexStringFromBytes(token)));
  return true;
}

}  // namespace pollapp
