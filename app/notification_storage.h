// NotificationStorage: has push notifications sent by writing push task records under
// "queue/tasks", which a server-side push worker delivers to each record's device token. One
// record per receiving user with a device token: for a new direct, community or local poll, and
// for a vote on a direct poll. Every record holds only strings, "_state" "start_push" among them.
// Texts name the sender or voter as this device's "userExperiments" default allows.
//
// One per device: sharedManager() for the process, create() for tests. Main thread only;
// callbacks arrive on the main queue. Reads and writes are not reported: a failed one is lost.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/environment.h"
#include "app/records.h"
#include "app/user_storage.h"
#include "geo/geo_store.h"
#include "platform/location.h"

namespace pollapp {

class NotificationStorage : public std::enable_shared_from_this<NotificationStorage> {
 public:
  static std::shared_ptr<NotificationStorage> sharedManager();
  static std::shared_ptr<NotificationStorage> create(Environment environment,
                                                     std::shared_ptr<UserStorage> userStorage);
  NotificationStorage(const NotificationStorage&) = delete;
  NotificationStorage& operator=(const NotificationStorage&) = delete;

  // The time arguments are accepted and unused: the texts always say 48 hours. A reference
  // without a key (the root) throws dz::Exception kInvalidArgumentException.
  // To each selected user of the user store (the sender included when selected).
  void sendDirectPollNotification(const dz::database::DatabaseReference& poll,
                                  const std::string& question, double time);
  // To each user of `domain`, by a child-added observer that stays for the process (or until all
  // observers of that query are removed): a user who joins later gets a record from every call.
  void sendCommunityPollNotification(const dz::database::DatabaseReference& poll,
                                     const std::string& question, const std::string& domain,
                                     double time);
  // To each user whose "usergeo" entry lies within 20 km of `location` when the call is made.
  void sendLocalPollNotification(const dz::database::DatabaseReference& poll,
                                 const std::string& question,
                                 const dz::platform::Location& location, double time);
  // To the poll's sender, for the signed-in user's vote (`changed`: moved from another option).
  void sendVoteNotificationForPoll(const Poll& poll, bool changed);

  // The texts, from this device's experiments.
  std::string pollMessage(const std::string& senderFirstName, const std::string& question) const;
  // None when no record is to be written.
  std::optional<std::string> voteMessage(const User& voter, bool changed) const;

 private:
  NotificationStorage(Environment environment, std::shared_ptr<UserStorage> userStorage);
  bool experiment(const char* key) const;
  // Reads "users"/uid once and calls `write` with its device token when it has one.
  void withDeviceToken(const std::string& uid, std::function<void(const std::string&)> write);
  // Writes `task` for one receiver's device token (and uid, for poll pushes).
  void writeTask(dz::Value::Map task, const std::string& deviceToken,
                 const std::optional<std::string>& userId) const;

  const Environment environment_;
  const std::shared_ptr<UserStorage> userStorage_;
  const dz::database::DatabaseReference rootRef_;
  const dz::database::DatabaseReference queueRef_;
  const std::shared_ptr<dz::geo::GeoStore> userGeoStoreRef_;
};

}  // namespace pollapp
