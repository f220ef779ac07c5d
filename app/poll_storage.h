// PollStorage: the store of polls. It runs the three feeds (direct, community, local) as live
// queries, keeps one value observer on every poll a feed found, holds the feed cache newest
// first, and posts every addition, change and removal on the environment's notification center:
//   "QM_NOTIFICATION_ADDED_POLL" / "QM_NOTIFICATION_UPDATED_POLL" {"poll": poll key, "index": row}
//   "QM_NOTIFICATION_DELETED_POLL" {"pollIndex": the row it had}
// (pollForPollId finds the poll of a key). It also creates polls, in one multi-path update, and
// records votes, by a transaction on the poll node.
//
// One per device: sharedManager() for the process, create() for tests. Main thread only; database
// and geo callbacks arrive on the main queue. Owned by std::shared_ptr; callbacks hold it weakly,
// and its observers go with it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/environment.h"
#include "app/records.h"
#include "app/user_storage.h"
#include "geo/circle_query.h"
#include "geo/geo_store.h"
#include "platform/location.h"

namespace pollapp {

inline constexpr char kAddedPollNotification[] = "QM_NOTIFICATION_ADDED_POLL";
inline constexpr char kUpdatedPollNotification[] = "QM_NOTIFICATION_UPDATED_POLL";
inline constexpr char kDeletedPollNotification[] = "QM_NOTIFICATION_DELETED_POLL";

// Votes that cannot be counted; the poll is left as it was.
inline constexpr char kPollStorageErrorDomain[] = "PollStorage";
enum PollStorageError : int64_t {
  kPollUnavailable = 1,  // the poll is gone or flagged deleted
  kOptionUnavailable = 3,
  kNotSignedIn = 4,
};

class PollStorage : public std::enable_shared_from_this<PollStorage> {
 public:
  using CreateCompletion =
      std::function<void(const dz::ErrorPtr& error, const dz::database::DatabaseReference& poll)>;
  // (error or none, whether the vote moved from another option, the poll as committed).
  using VoteCompletion = std::function<void(const dz::ErrorPtr& error, bool changed,
                                            const std::optional<DataSnapshot>& snapshot)>;

  // The process's store, made on first use over the shared user store.
  static std::shared_ptr<PollStorage> sharedManager();
  // Throws dz::Exception "Invalid initialization" when nobody is signed in.
  static std::shared_ptr<PollStorage> create(Environment environment,
                                             std::shared_ptr<UserStorage> userStorage);
  ~PollStorage();
  PollStorage(const PollStorage&) = delete;
  PollStorage& operator=(const PollStorage&) = delete;

  // (Re)start one feed. The direct and community feeds take the polls of the last 48 hours; the
  // community feed those of currentUser's domain (nothing before the user store knows it); the
  // local feed the polls within 20 km of the user's stored "location" (nothing without one).
  void fetchDirectPolls();
  void fetchRecentPollsForCommunity();
  void fetchLocalPolls();
  // (Re)starts the value observer of one poll.
  void observePollWithId(const std::string& pollId);
  // Stops the feeds and every poll observer and empties the cache.
  void removeAllPolls();

  std::optional<size_t> indexOfPollWithId(const std::string& pollId) const;
  PollPtr pollForPollId(const std::string& pollId) const;
  const std::vector<PollPtr>& pollsArray() const { return pollsArray_; }
  // Sender uid to the number of value events seen for that sender's polls.
  const std::map<std::string, int64_t>& directPollCountsBySenderID() const {
    return directPollCountsBySenderID_;
  }

  // Writes the poll, and for a direct poll the index entry of every selected user, in one update
  // at the root; a poll that is not direct and has a position gets its "pollgeo" entry once the
  // update succeeded. A position off the map is left out. Throws dz::Exception
  // kInvalidArgumentException for a type outside 0..2 and "Invalid initialization" before the
  // user store knows currentUser.
  void createPollAtLocation(const std::optional<dz::platform::Location>& location,
                            const std::string& question, const std::vector<std::string>& options,
                            PollType type, double createdAt, CreateCompletion completion);
  // Counts the signed-in user's vote for `option` (moving an earlier vote), by a transaction on
  // the poll node, then logs it under "pollVotesByUsers". A closed poll still takes votes. A poll
  // that is gone or deleted, or an option that is not in it, fails with an error of
  // kPollStorageErrorDomain. Throws dz::Exception kInvalidArgumentException for an option that
  // never belonged to a poll.
  void voteOnOption(const Option& option, VoteCompletion completion);

  void fastSortPollsArray();
  // Drops a poll whose node vanished (destroyed) or was flagged deleted; returns its former row.
  std::optional<size_t> handlePollDeleted(const std::string& pollId, bool destroyed);
  void incrementSocialValueOfSender(const std::string& senderId);

 private:
  PollStorage(Environment environment, std::shared_ptr<UserStorage> userStorage,
              std::string userId);
  void pollValueChanged(const std::string& pollId, uint64_t generation,
                        const DataSnapshot& snapshot);
  void startLocalQuery(const dz::platform::Location& center);
  void stopFeeds();
  void stopObservingPoll(std::string pollId);
  void post(const char* name, dz::Value::Map userInfo) const;

  const Environment environment_;
  const std::shared_ptr<UserStorage> userStorage_;
  const std::string userId_;
  const dz::database::DatabaseReference rootRef_;
  const dz::database::DatabaseReference userRef_;
  const std::shared_ptr<dz::geo::GeoStore> pollGeoStoreRef_;
  std::optional<dz::database::DatabaseQuery> directQuery_;
  std::optional<dz::database::DatabaseQuery> communityQuery_;
  std::shared_ptr<dz::geo::CircleQuery> localQuery_;
  // Feeds fetched again, or stopped, ignore events of their earlier queries still on the way.
  uint64_t feedGeneration_ = 0;
  // Poll key to the generation of its live observer; an event of an earlier one is dropped.
  std::map<std::string, uint64_t> observedPolls_;
  uint64_t nextObserverGeneration_ = 1;
  std::vector<PollPtr> pollsArray_;
  std::map<std::string, PollPtr> pollsByID_;
  std::map<std::string, int64_t> directPollCountsBySenderID_;
};

}  // namespace pollapp
