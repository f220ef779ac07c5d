#include "app/poll_storage.h"

#include <algorithm>
#include <atomic>

#include "app/database_layout.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/queue_check.h"
#include "platform/wall_clock.h"

namespace pollapp {

using dz::Error;
using dz::ErrorPtr;
using dz::Value;
using dz::database::DatabaseReference;
using dz::database::DataEventType;
using dz::database::MutableData;
using dz::database::TransactionResult;
using dz::platform::Location;

namespace {

constexpr char kLogPrefix[] = "PollStorage: ";

void log(const std::string& line) { dz::platform::logLine(kLogPrefix + line); }

// Keys a previous vote may name: text the database accepts as one key.
bool isPlainKey(const std::string& key) {
  if (key.empty() || key.size() > 768) return false;
  return key.find_first_of(".#$[]/") == std::string::npos &&
         std::none_of(key.begin(), key.end(), [](char c) { return c >= 0 && c < 0x20; });
}

std::optional<Location> validLocation(const std::optional<Location>& location) {
  if (location && dz::platform::isValidCoordinate(location->coordinate())) return location;
  return std::nullopt;
}

Value locationValue(const Location& location) {
  return Value::Map{{layout::kLatitude, location.coordinate().latitude},
                    {layout::kLongitude, location.coordinate().longitude}};
}

ErrorPtr voteError(PollStorageError code) {
  const char* description = "Sign in to vote.";
  switch (code) {
    case kPollUnavailable:
      description = "This poll is no longer available.";
      break;
    case kOptionUnavailable:
      description = "This option is no longer available.";
      break;
    case kNotSignedIn:
      break;
  }
  return std::make_shared<Error>(kPollStorageErrorDomain, code, description);
}

// The outcome of the last run of a vote's update function (the function runs on the database's
// work queue, once per attempt).
struct VoteRun {
  std::atomic<bool> changed{false};
  std::atomic<int> refusal{0};
};

// One attempt at counting a vote: moves `uid`'s vote to `optionId`, or refuses.
TransactionResult countVote(MutableData& poll, const std::string& uid, const std::string& optionId,
                            VoteRun& run) {
  run.changed = false;
  run.refusal = 0;
  const Value current = poll.value();
  if (current.isNull()) {
    // Nothing cached here yet: committing the nothing seen lets the server answer with the poll
    // (and a rerun) when it has one; when it has none the vote is refused at completion.
    run.refusal = kPollUnavailable;
    return TransactionResult::successWithValue(poll);
  }
  PollStorageError refusal{};
  if (!current.isMap() || current[layout::kDeleted] == Value(true)) {
    refusal = kPollUnavailable;
  } else if (!current[layout::kOptions][optionId].isMap()) {
    refusal = kOptionUnavailable;
  }
  if (refusal) {
    run.refusal = refusal;
    return TransactionResult::abort();
  }
  const std::string options = std::string(layout::kOptions) + "/";
  MutableData vote = poll.childDataByAppendingPath(std::string(layout::kRecipients) + "/" + uid +
                                                   "/" + layout::kVote);
  const std::string* previous = current[layout::kRecipients][uid][layout::kVote].getString();
  // Moving away from an option the poll no longer has is still a change of vote, but takes
  // nothing from anyone.
  if (previous) run.changed = *previous != optionId;
  if (previous && isPlainKey(*previous) && current[layout::kOptions][*previous].isMap()) {
    MutableData count = poll.childDataByAppendingPath(options + *previous + "/" + layout::kVotes);
    count.setValue(Value(std::max<int64_t>(addCounts(countFromValue(count.value()), -1), 0)));
  }
  MutableData count = poll.childDataByAppendingPath(options + optionId + "/" + layout::kVotes);
  count.setValue(Value(addCounts(countFromValue(count.value()), 1)));
  vote.setValue(Value(optionId));
  return TransactionResult::successWithValue(poll);
}

}  // namespace

PollStorage::PollStorage(Environment environment, std::shared_ptr<UserStorage> userStorage,
                         std::string userId)
    : environment_(std::move(environment)),
      userStorage_(std::move(userStorage)),
      userId_(std::move(userId)),
      rootRef_(environment_.rootRef()),
      userRef_(rootRef_.child(layout::kUsers).child(userId_)),
      pollGeoStoreRef_(dz::geo::GeoStore::create(rootRef_.child(layout::kPollGeo))) {}

std::shared_ptr<PollStorage> PollStorage::create(Environment environment,
                                                 std::shared_ptr<UserStorage> userStorage) {
  std::optional<std::string> uid = environment.signedInUid();
  if (!uid) {
    throw dz::Exception(kInvalidInitializationException,
                        "PollStorage needs authData uid, but got this authData: (null)");
  }
  return std::shared_ptr<PollStorage>(
      new PollStorage(std::move(environment), std::move(userStorage), *uid));
}

PollStorage::~PollStorage() {
  stopFeeds();
  for (const auto& [pollId, generation] : observedPolls_) {
    rootRef_.child(layout::kPolls).child(pollId).removeAllObservers();
  }
}

void PollStorage::post(const char* name, Value::Map userInfo) const {
  environment_.center().post(name, nullptr, std::move(userInfo));
}

void PollStorage::fetchDirectPolls() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  log("fetching direct polls");
  if (directQuery_) directQuery_->removeAllObservers();
  double cutoff = environment_.now() - layout::kFeedWindowSeconds;
  directQuery_ = rootRef_.child(layout::kDirectPollsForUsers)
                     .child(userId_)
                     .queryOrderedByChild(layout::kCreatedAt)
                     .queryStartingAtValue(Value(cutoff));
  std::weak_ptr<PollStorage> weak = weak_from_this();
  directQuery_->observeEventType(DataEventType::ChildAdded,
                                 [weak, generation = feedGeneration_](const DataSnapshot& child) {
                                   auto self = weak.lock();
                                   if (self && self->feedGeneration_ == generation && child.key()) {
                                     self->observePollWithId(*child.key());
                                   }
                                 });
}

void PollStorage::fetchRecentPollsForCommunity() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  log("fetching community polls");
  const UserPtr& user = userStorage_->currentUser();
  if (communityQuery_) communityQuery_->removeAllObservers();
  communityQuery_.reset();
  if (!user) return;
  double cutoff = environment_.now() - layout::kFeedWindowSeconds;
  communityQuery_ = rootRef_.child(layout::kPolls)
                        .queryOrderedByChild(layout::kCreatedAt)
                        .queryStartingAtValue(Value(cutoff));
  std::weak_ptr<PollStorage> weak = weak_from_this();
  communityQuery_->observeEventType(
      DataEventType::ChildAdded,
      [weak, generation = feedGeneration_, domain = user->domain()](const DataSnapshot& child) {
        auto self = weak.lock();
        if (!self || self->feedGeneration_ != generation || !child.key()) return;
        const Value poll = child.value();
        if (poll[layout::kDomain] == Value(domain) && poll.find(layout::kSender)) {
          self->observePollWithId(*child.key());
        }
      });
}

void PollStorage::fetchLocalPolls() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  log("fetching local polls");
  std::weak_ptr<PollStorage> weak = weak_from_this();
  userRef_.child(layout::kLocation)
      .observeSingleEventOfType(DataEventType::Value, [weak, generation = feedGeneration_](
                                                          const DataSnapshot& snap) {
        auto self = weak.lock();
        if (!self || self->feedGeneration_ != generation) return;
        const Value location = snap.value();
        auto latitude = location[layout::kLatitude].getDouble();
        auto longitude = location[layout::kLongitude].getDouble();
        if (!latitude || !longitude || !dz::platform::isValidCoordinate({*latitude, *longitude})) {
          log("no stored location, local feed not started");
          return;
        }
        self->startLocalQuery(Location(*latitude, *longitude));
      });
}

void PollStorage::startLocalQuery(const Location& center) {
  if (localQuery_) localQuery_->removeAllObservers();
  localQuery_ = pollGeoStoreRef_->queryAtLocation(center, layout::kLocalRadiusKm);
  std::weak_ptr<PollStorage> weak = weak_from_this();
  localQuery_->observeEventType(
      dz::geo::GeoEventType::kKeyEntered,
      [weak, generation = feedGeneration_](const std::string& key, const std::optional<Location>&) {
        auto self = weak.lock();
        if (self && self->feedGeneration_ == generation) {
          self->observePollWithId(key);
        }
      });
}

void PollStorage::observePollWithId(const std::string& pollId) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  DatabaseReference poll = rootRef_.child(layout::kPolls).child(pollId);
  // A poll found by two feeds keeps one observer.
  poll.removeAllObservers();
  uint64_t generation = nextObserverGeneration_++;
  observedPolls_[pollId] = generation;
  std::weak_ptr<PollStorage> weak = weak_from_this();
  poll.observeEventType(DataEventType::Value,
                        [weak, pollId, generation](const DataSnapshot& snapshot) {
                          if (auto self = weak.lock()) {
                            self->pollValueChanged(pollId, generation, snapshot);
                          }
                        });
}

void PollStorage::pollValueChanged(const std::string& pollId, uint64_t generation,
                                   const DataSnapshot& snapshot) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  auto observed = observedPolls_.find(pollId);
  if (observed == observedPolls_.end() || observed->second != generation) return;
  const Value record = snapshot.value();
  if (record.isNull() || record[layout::kDeleted] == Value(true)) {
    handlePollDeleted(pollId, record.isNull());
    return;
  }
  if (const std::string* sender = record[layout::kSender].getString()) {
    incrementSocialValueOfSender(*sender);
  }
  PollPtr poll = Poll::fromSnapshot(snapshot);
  const char* name = kUpdatedPollNotification;
  std::optional<size_t> index = indexOfPollWithId(pollId);
  if (index) {
    pollsArray_[*index] = poll;
  } else {
    pollsArray_.push_back(poll);
    fastSortPollsArray();
    index = indexOfPollWithId(pollId);
    name = kAddedPollNotification;
  }
  pollsByID_[pollId] = poll;
  post(name, {{"poll", Value(pollId)}, {"index", Value(*index)}});
}

void PollStorage::fastSortPollsArray() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  std::stable_sort(pollsArray_.begin(), pollsArray_.end(), [](const PollPtr& a, const PollPtr& b) {
    return a->creationDateTime() > b->creationDateTime();
  });
}

std::optional<size_t> PollStorage::indexOfPollWithId(const std::string& pollId) const {
  DZ_ASSERT_ON_MAIN_QUEUE();
  for (size_t i = 0; i < pollsArray_.size(); ++i) {
    if (pollsArray_[i]->pollId() == pollId) return i;
  }
  return std::nullopt;
}

PollPtr PollStorage::pollForPollId(const std::string& pollId) const {
  DZ_ASSERT_ON_MAIN_QUEUE();
  auto found = pollsByID_.find(pollId);
  return found == pollsByID_.end() ? nullptr : found->second;
}

std::optional<size_t> PollStorage::handlePollDeleted(const std::string& pollId, bool destroyed) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (destroyed) {
    rootRef_.child(layout::kDirectPollsForUsers).child(userId_).child(pollId).removeValue();
    rootRef_.child(layout::kPollGeo).child(pollId).removeValue();
  }
  std::optional<size_t> index = indexOfPollWithId(pollId);
  if (index) {
    pollsArray_.erase(pollsArray_.begin() + static_cast<std::ptrdiff_t>(*index));
    pollsByID_.erase(pollId);
    post(kDeletedPollNotification, {{"pollIndex", Value(*index)}});
  }
  stopObservingPoll(pollId);
  return index;
}

void PollStorage::stopObservingPoll(std::string pollId) {
  observedPolls_.erase(pollId);
  rootRef_.child(layout::kPolls).child(pollId).removeAllObservers();
}

void PollStorage::stopFeeds() {
  ++feedGeneration_;
  if (localQuery_) localQuery_->removeAllObservers();
  if (directQuery_) directQuery_->removeAllObservers();
  if (communityQuery_) communityQuery_->removeAllObservers();
  localQuery_.reset();
  directQuery_.reset();
  communityQuery_.reset();
}

void PollStorage::removeAllPolls() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  stopFeeds();
  // Left observing, a dropped poll would come back into the cache at its next change.
  while (!observedPolls_.empty()) stopObservingPoll(observedPolls_.begin()->first);
  pollsArray_.clear();
  pollsByID_.clear();
}

void PollStorage::incrementSocialValueOfSender(const std::string& senderId) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  ++directPollCountsBySenderID_[senderId];
}

void PollStorage::createPollAtLocation(const std::optional<Location>& location,
                                       const std::string& question,
                                       const std::vector<std::string>& options, PollType type,
                                       double createdAt, CreateCompletion completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (static_cast<unsigned>(type) > static_cast<unsigned>(PollType::Community)) {
    throw dz::Exception(dz::kInvalidArgumentException, "Unknown poll type");
  }
  const UserPtr& sender = userStorage_->currentUser();
  if (!sender) {
    throw dz::Exception(kInvalidInitializationException,
                        "createPollAtLocation needs the current user's record");
  }
  const std::optional<Location> position = validLocation(location);
  DatabaseReference pollRef = rootRef_.child(layout::kPolls).childByAutoId();
  const std::string pollId = *pollRef.key();
  Value::Map recipients = {{sender->userId(), Value::Map{{layout::kFirstName, sender->firstName()},
                                                         {layout::kLastName, sender->lastName()}}}};
  Value::Map optionsMap;
  for (size_t n = 0; n < options.size(); ++n) {
    std::string key = *pollRef.child(layout::kOptions).childByAutoId().key();
    optionsMap[key] =
        Value::Map{{layout::kIndex, Value(n)}, {layout::kName, options[n]}, {layout::kVotes, 0}};
  }
  Value::Map update;
  if (type == PollType::Direct) {
    for (const UserPtr& user : userStorage_->usersArray()) {
      if (!user->isSelectedToPoll()) continue;
      recipients[user->userId()] = Value::Map{{layout::kFirstName, user->firstName()},
                                              {layout::kLastName, user->lastName()}};
      update[std::string(layout::kDirectPollsForUsers) + "/" + user->userId() + "/" + pollId] =
          Value::Map{{layout::kSender, sender->userId()}, {layout::kCreatedAt, createdAt}};
    }
  }
  Value::Map poll = {{layout::kSender, sender->userId()},
                     {layout::kQuestion, question},
                     {layout::kClosed, false},
                     {layout::kDomain, sender->domain()},
                     {layout::kCreatedAt, createdAt},
                     {layout::kRecipients, std::move(recipients)},
                     {layout::kOptions, std::move(optionsMap)},
                     {layout::kType, pollTypeString(type)}};
  if (position) poll[layout::kLocation] = locationValue(*position);
  update[std::string(layout::kPolls) + "/" + pollId] = std::move(poll);
  rootRef_.updateChildValues(
      update, [geo = pollGeoStoreRef_, pollRef, position, type, completion = std::move(completion)](
                  const ErrorPtr& error, const DatabaseReference&) {
        if (position && !error && type != PollType::Direct) {
          geo->setLocation(*position, *pollRef.key());
        }
        if (completion) completion(error, pollRef);
      });
}

void PollStorage::voteOnOption(const Option& option, VoteCompletion completion) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  const std::string& pollId = option.pollId();
  if (pollId.empty()) throw dz::Exception(dz::kInvalidArgumentException, "The option has no poll");
  std::optional<std::string> uid = environment_.signedInUid();
  if (!uid) {
    if (completion) completion(voteError(kNotSignedIn), false, std::nullopt);
    return;
  }
  DatabaseReference pollRef = rootRef_.child(layout::kPolls).child(pollId);
  auto run = std::make_shared<VoteRun>();
  const std::string optionId = option.optionId();
  pollRef.runTransactionBlock(
      [uid = *uid, optionId, run](MutableData& data) {
        return countVote(data, uid, optionId, *run);
      },
      [rootRef = rootRef_, uid = *uid, pollId, optionId, run, completion = std::move(completion)](
          const ErrorPtr& error, bool committed, const std::optional<DataSnapshot>& snapshot) {
        ErrorPtr result = error;
        if (!result && (!committed || run->refusal)) {
          result = voteError(run->refusal ? static_cast<PollStorageError>(run->refusal.load())
                                          : kPollUnavailable);
        }
        if (!result) {
          double now = dz::platform::wallClockSeconds();
          rootRef.child(layout::kPollVotesByUsers)
              .child(uid)
              .child(pollId)
              .childByAutoId()
              .setValue(Value::Map{{layout::kVote, optionId}, {layout::kCreatedAt, now}});
        }
        if (completion) completion(result, !result && run->changed, snapshot);
      });
}

}  // namespace pollapp
