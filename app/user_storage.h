// UserStorage: the store of user records: the signed-in user's own record (currentUser) and the
// users of the same domain (usersArray), which the compose screen offers as recipients and whose
// selection the poll and push stores read. When it learns the own record it tells analytics the
// user identifier and copies "localPollsOn" and "experiments" into the user defaults.
//
// One per device: sharedManager() for the process (over Environment::standard()), create() for
// tests. Main thread only; database callbacks arrive on the main queue. Owned by std::shared_ptr;
// callbacks hold it weakly.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/environment.h"
#include "app/records.h"

namespace pollapp {

inline constexpr char kAddedUserNotification[] = "QM_NOTIFICATION_ADDED_USER";
inline constexpr char kInvalidInitializationException[] = "Invalid initialization";

class UserStorage : public std::enable_shared_from_this<UserStorage> {
 public:
  // The process's store, made on first use. Throws as create() does.
  static std::shared_ptr<UserStorage> sharedManager();
  // Throws dz::Exception "Invalid initialization" when nobody is signed in.
  static std::shared_ptr<UserStorage> create(Environment environment);
  ~UserStorage();
  UserStorage(const UserStorage&) = delete;
  UserStorage& operator=(const UserStorage&) = delete;

  // Calls `completion` with the own record: at once (on this thread) when known, else after one
  // read. A record that does not exist (yet) gives null and is not kept, so the next call reads
  // again.
  void fetchOrGetCurrentUserWithCompletionBlock(std::function<void(UserPtr)> completion);
  // Follows the users of currentUser's domain: each new one is appended to usersArray and posted
  // as "QM_NOTIFICATION_ADDED_USER" {"user": its uid, for userForUserId}; the own record also
  // refreshes currentUser. A user already listed is not appended again. Nothing happens before
  // currentUser is known.
  void fetchRelatedUsers();
  // The first listed user with that uid, or null.
  UserPtr userForUserId(const std::string& userId) const;
  void setCurrentUserFromSnapshot(const DataSnapshot& snapshot);

  const UserPtr& currentUser() const { return currentUser_; }
  const std::vector<UserPtr>& usersArray() const { return usersArray_; }
  const Environment& environment() const { return environment_; }
  const std::string& userId() const { return userId_; }

 private:
  UserStorage(Environment environment, std::string userId);
  void relatedUserAdded(const DataSnapshot& snapshot);

  const Environment environment_;
  const std::string userId_;
  const dz::database::DatabaseReference rootRef_;
  const dz::database::DatabaseReference userRef_;
  UserPtr currentUser_;
  std::vector<UserPtr> usersArray_;
  std::optional<dz::database::DatabaseQuery> relatedUsersQuery_;
};

// Writes the platform's push device token, as hexadecimal text of its bytes, into the signed-in
// user's record ("deviceToken"). Nothing is written while nobody is signed in; returns whether a
// write was made.
bool storeDeviceToken(const Environment& environment, const std::vector<uint8_t>& token);
// Lower-case hexadecimal digits of `bytes`, two per byte.
std::string hexStringFromBytes(const std::vector<uint8_t>& bytes);

}  // namespace pollapp
