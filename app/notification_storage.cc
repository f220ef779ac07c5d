#include "app/notification_storage.h"

#include "app/database_layout.h"
#include "geo/circle_query.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/queue_check.h"

namespace pollapp {

using dz::Value;
using dz::database::DatabaseReference;
using dz::database::DataEventType;

namespace {

constexpr char kState[] = "_state";
constexpr char kStartPush[] = "start_push";
constexpr int kExpiryHours = 48;

const std::string* deviceTokenOf(const Value& record) {
  const std::string* token = record[layout::kDeviceToken].getString();
  return token && !token->empty() ? token : nullptr;
}

// The poll's key; the root, which has none, is a caller's mistake.
std::string pollKey(const DatabaseReference& poll) {
  std::optional<std::string> key = poll.key();
  if (!key) throw dz::Exception(dz::kInvalidArgumentException, "A poll reference has a key");
  return *key;
}

std::string format(const char* pattern, std::initializer_list<std::string> arguments) {
  std::string text;
  auto next = arguments.begin();
  for (const char* p = pattern; *p; ++p) {
    if (*p == '%' && p[1] == '@' && next != arguments.end()) {
      text += *next++;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

}  // namespace

NotificationStorage::NotificationStorage(Environment environment,
                                         std::shared_ptr<UserStorage> userStorage)
    : environment_(std::move(environment)),
      userStorage_(std::move(userStorage)),
      rootRef_(environment_.rootRef()),
      queueRef_(rootRef_.child(layout::kTaskQueue)),
      userGeoStoreRef_(dz::geo::GeoStore::create(rootRef_.child(layout::kUserGeo))) {}

std::shared_ptr<NotificationStorage> NotificationStorage::create(
    Environment environment, std::shared_ptr<UserStorage> userStorage) {
  return std::shared_ptr<NotificationStorage>(
      new NotificationStorage(std::move(environment), std::move(userStorage)));
}

bool NotificationStorage::experiment(const char* key) const {
  std::optional<Value> experiments =
      environment_.defaults->objectForKey(layout::kUserExperimentsDefault);
  return experiments && (*experiments)[key] == Value(true);
}

std::string NotificationStorage::pollMessage(const std::string& senderFirstName,
                                             const std::string& question) const {
  DZ_ASSERT_ON_MAIN_QUEUE();
  const std::string hours = std::to_string(kExpiryHours);
  if (experiment(layout::kShowPollCreator)) {
    return format("%@ asked '%@'. Expires in %@ hours.", {senderFirstName, question, hours});
  }
  return format("Someone polled you: '%@'. Expires in %@ hours.", {question, hours});
}

std::optional<std::string> NotificationStorage::voteMessage(const User& voter, bool changed) const {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!experiment(layout::kShowPollVoter)) {
    if (changed) return std::nullopt;
    return "You got a new vote";
  }
  return format(changed ? "%@ %@ re-voted on your poll!" : "%@ %@ voted on your poll",
                {voter.firstName(), voter.lastName()});
}

void NotificationStorage::writeTask(Value::Map task, const std::string& deviceToken,
                                    const std::optional<std::string>& userId) const {
  task["deviceToken"] = deviceToken;
  if (userId) task["userId"] = *userId;
  task[kState] = kStartPush;
  queueRef_.childByAutoId().setValue(Value(std::move(task)));
}

void NotificationStorage::withDeviceToken(const std::string& uid,
                                          std::function<void(const std::string&)> write) {
  rootRef_.child(layout::kUsers)
      .child(uid)
      .observeSingleEventOfType(DataEventType::Value,
                                [write = std::move(write)](const DataSnapshot& snapshot) {
                                  const Value record = snapshot.value();
                                  if (const std::string* token = deviceTokenOf(record)) {
                                    write(*token);
                                  }
                                });
}

void NotificationStorage::sendDirectPollNotification(const DatabaseReference& poll,
                                                     const std::string& question, double) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  const UserPtr& sender = userStorage_->currentUser();
  if (!sender) return;
  Value::Map task = {{"question", question},
                     {"message", pollMessage(sender->firstName(), question)},
                     {"pollId", pollKey(poll)}};
  for (const UserPtr& user : userStorage_->usersArray()) {
    if (!user->isSelectedToPoll()) continue;
    withDeviceToken(user->userId(), [self = shared_from_this(), task, uid = user->userId()](
                                        const std::string& t) { self->writeTask(task, t, uid); });
  }
}

void NotificationStorage::sendCommunityPollNotification(const DatabaseReference& poll,
                                                        const std::string& question,
                                                        const std::string& domain, double) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  const UserPtr& sender = userStorage_->currentUser();
  if (!sender) return;
  Value::Map task = {{"question", question},
                     {"message", pollMessage(sender->firstName(), question)},
                     {"pollId", pollKey(poll)}};
  // Lasting: a user who joins the domain later in this process gets the poll too, once for every
  // call. Weak, as the observer may outlive the store.
  std::weak_ptr<NotificationStorage> weak = weak_from_this();
  rootRef_.child(layout::kUsers)
      .queryOrderedByChild(layout::kDomain)
      .queryEqualToValue(Value(domain))
      .observeEventType(DataEventType::ChildAdded, [weak, task](const DataSnapshot& user) {
        auto self = weak.lock();
        const Value stored = user.value();
        const std::string* token = deviceTokenOf(stored);
        if (!self || !token || !user.key()) return;
        self->writeTask(task, *token, *user.key());
      });
}

void NotificationStorage::sendLocalPollNotification(const DatabaseReference& poll,
                                                    const std::string& question,
                                                    const dz::platform::Location& location,
                                                    double) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!dz::platform::isValidCoordinate(location.coordinate())) return;
  Value::Map task = {{"question", question},
                     {"message", format("LIVE: '%@'", {question})},
                     {"pollId", pollKey(poll)},
                     {"pollType", "local"}};
  auto query = userGeoStoreRef_->queryAtLocation(location, layout::kLocalRadiusKm);
  auto self = shared_from_this();
  // Weak: the query keeps itself alive while observed and must not keep itself forever.
  std::weak_ptr<dz::geo::CircleQuery> weakQuery = query;
  query->observeEventType(
      dz::geo::GeoEventType::kKeyEntered,
      [self, task](const std::string& key, const std::optional<dz::platform::Location>& position) {
        std::string where = position ? std::to_string(position->coordinate().latitude) + "," +
                                           std::to_string(position->coordinate().longitude)
                                     : "";
        dz::platform::logLine("NotificationStorage: User '" + key +
                              "' entered the push notif search area and is at "
                              "location '" +
                              where + "'");
        self->withDeviceToken(key, [self, task, key](const std::string& token) {
          self->writeTask(task, token, key);
        });
      });
  query->observeReadyWithBlock([weakQuery] {
    dz::platform::logLine(
        "NotificationStorage: All initial data has been loaded and events have been fired!");
    if (auto query = weakQuery.lock()) query->removeAllObservers();
  });
}

void NotificationStorage::sendVoteNotificationForPoll(const Poll& poll, bool changed) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  const UserPtr voter = userStorage_->currentUser();
  if (!voter) return;
  std::optional<std::string> message = voteMessage(*voter, changed);
  if (!message) return;
  Value::Map task = {{"question", poll.questionString()},
                     {"message", *message},
                     {"pollId", poll.pollId()},
                     {"voterId", voter->userId()},
                     {"senderId", poll.senderId()}};
  withDeviceToken(poll.senderId(), [self = shared_from_this(), task](const std::string& token) {
    self->writeTask(task, token, std::nullopt);
  });
}

}  // namespace pollapp
