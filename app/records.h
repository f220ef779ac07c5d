// The application's records: Poll, Option and User, plain values built from database snapshots
// (a snapshot that holds no map builds an empty record, never a failure), with the poll kinds and
// the diffs that drive the feed's animations. Records are rebuilt from each new snapshot, never
// patched. Polls and users are shared (std::shared_ptr) between the stores' caches and the
// screens; an option refers back to its poll weakly. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/api/data_snapshot.h"

namespace pollapp {

using dz::database::DataSnapshot;

// The numbers are stored nowhere but are the screens' and the stores' currency.
enum class PollType : unsigned { Direct = 0, Local = 1, Community = 2 };

// "direct", "local" or "community".
const char* pollTypeString(PollType type);
// "direct" and "local" read as such; any other text, or none, as community.
PollType pollTypeFromString(const std::string* text);

// The last two dot-separated labels of the part of `email` after its last "@", joined by "."
// ("ann@mail.school.edu" gives "school.edu"); the whole part when it has fewer labels.
std::string domainForEmail(std::string_view email);

// A stored count: an integer, or a double from another client (truncated); anything else, or a
// double past the integers, counts 0.
int64_t countFromValue(const dz::Value& value);
// `count` + `change`, held at the limits of int64_t: any client can store any count.
int64_t addCounts(int64_t count, int64_t change);

class Poll;
using PollPtr = std::shared_ptr<Poll>;

// How an option's count moved between two forms of it: number key 0 ("gained") and 1 ("lost").
struct OptionDiff {
  bool gained = false;
  bool lost = false;
  friend bool operator==(const OptionDiff&, const OptionDiff&) = default;
};

// How a poll changed: number keys 2 ("closed", 1 when it closed) and 3 ("reopened", 1 when it
// opened again), and "options": the diff of each position both forms have.
struct PollDiff {
  int closed = 0;
  int reopened = 0;
  std::vector<OptionDiff> options;
};

class Option {
 public:
  // From a snapshot of "polls"/pollId/"options"/optionKey.
  explicit Option(const DataSnapshot& snapshot);
  Option(std::string optionId, std::string title, int64_t result)
      : optionId_(std::move(optionId)), title_(std::move(title)), result_(result) {}

  const std::string& optionId() const { return optionId_; }
  const std::string& title() const { return title_; }
  int64_t result() const { return result_; }
  // The poll holding this option; null once that poll is gone.
  PollPtr poll() const { return poll_.lock(); }
  // The key of that poll, kept when the poll itself has gone (a newer form replaced it).
  const std::string& pollId() const { return pollId_; }
  void setPoll(const PollPtr& poll);

  // Called on the earlier form with the current one.
  OptionDiff diffFromOption(const Option& current) const;

 private:
  std::string optionId_;
  std::string title_;
  int64_t result_ = 0;
  std::weak_ptr<Poll> poll_;
  std::string pollId_;
};

class Poll {
 public:
  // From a snapshot of "polls"/pollId; its options point back to it.
  static PollPtr fromSnapshot(const DataSnapshot& snapshot);

  const std::string& pollId() const { return pollId_; }
  const std::string& questionString() const { return questionString_; }
  // In the order of the option keys, which is the order of creation.
  const std::vector<Option>& optionsArray() const { return optionsArray_; }
  int64_t voteCount() const { return voteCount_; }
  // The children of "recipients" in key order: uid keys, recipient maps (with "vote" once voted).
  const std::vector<DataSnapshot>& recipientsArray() const { return recipientsArray_; }
  const std::vector<dz::Value>& reactionsArray() const { return reactionsArray_; }
  double creationDateTime() const { return creationDateTime_; }
  bool closed() const { return closed_; }
  PollType type() const { return type_; }
  const std::string& senderId() const { return senderId_; }
  const std::string& domain() const { return domain_; }

  // Called on the earlier form with the current one.
  PollDiff diffFromPoll(const Poll& current) const;
  std::optional<DataSnapshot> recipientForUserId(std::string_view userId) const;

 private:
  Poll() = default;
  std::string pollId_;
  std::string questionString_;
  std::vector<Option> optionsArray_;
  int64_t voteCount_ = 0;
  std::vector<DataSnapshot> recipientsArray_;
  std::vector<dz::Value> reactionsArray_;
  double creationDateTime_ = 0;
  bool closed_ = false;
  PollType type_ = PollType::Community;
  std::string senderId_;
  std::string domain_;
};

class User {
 public:
  // From a snapshot of "users"/uid.
  explicit User(const DataSnapshot& snapshot);

  const std::string& userId() const { return userId_; }
  const std::string& firstName() const { return firstName_; }
  const std::string& lastName() const { return lastName_; }
  const std::string& phoneNumber() const { return phoneNumber_; }
  const std::string& emailAddress() const { return emailAddress_; }
  const std::string& domain() const { return domain_; }
  const std::string& profilePic() const { return profilePic_; }
  // Experiment key to flag; empty when the record has none.
  const std::map<std::string, bool>& experiments() const { return experiments_; }
  bool localPollsOn() const { return localPollsOn_; }
  // The compose screen's selection, kept in memory only.
  bool isSelectedToPoll() const { return isSelectedToPoll_; }
  void setSelectedToPoll(bool selected) { isSelectedToPoll_ = selected; }

 private:
  std::string userId_;
  std::string firstName_, lastName_, phoneNumber_, emailAddress_, domain_, profilePic_;
  std::map<std::string, bool> experiments_;
  bool localPollsOn_ = false;
  bool isSelectedToPoll_ = false;
};
using UserPtr = std::shared_ptr<User>;

}  // namespace pollapp
