// Any database value as a poll and as a user record, read as the feed and the user store read
// them. Reading never fails or overflows; a poll's total is the held sum of its options' counts;
// and a record written back in the application's own layout reads back as the same record.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "app/database_layout.h"
#include "app/records.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "fuzz/support.h"

namespace {

using dz::Value;
using dz::database::DataSnapshot;
using dz::database::IndexedNode;
using dz::database::NodePtr;
using dz::database::Path;
using dz::database::SnapshotUtilities;
using dz::fuzz::require;
using pollapp::Poll;
using pollapp::PollPtr;
using pollapp::User;
namespace layout = pollapp::layout;

constexpr char kPollPath[] = "/polls/p1";
constexpr char kUserPath[] = "/users/u1";

DataSnapshot snapshotOf(const NodePtr& node, const char* path) {
  return DataSnapshot(nullptr, Path(path), IndexedNode(node));
}

DataSnapshot snapshotOf(const Value& record, const char* path) {
  return snapshotOf(SnapshotUtilities::nodeFrom(record), path);
}

void checkPoll(const Poll& poll, const DataSnapshot& snapshot) {
  require(poll.pollId() == "p1", "a poll lost its key");
  int64_t total = 0;
  for (const pollapp::Option& option : poll.optionsArray()) {
    const DataSnapshot stored =
        snapshot.childSnapshot(layout::kOptions).childSnapshot(option.optionId());
    require(option.result() == pollapp::countFromValue(stored.value()[layout::kVotes]),
            "an option's count is not its stored count");
    require(option.pollId() == "p1" && option.poll().get() == &poll,
            "an option does not point back to its poll");
    total = pollapp::addCounts(total, option.result());
  }
  require(poll.voteCount() == total, "a poll's total is not the sum of its options");
  for (const DataSnapshot& recipient : poll.recipientsArray()) {
    require(poll.recipientForUserId(*recipient.key()).has_value(), "a recipient is not found");
  }
  pollapp::PollDiff same = poll.diffFromPoll(poll);
  require(same.closed == 0 && same.reopened == 0, "a poll differs from itself");
  for (const pollapp::OptionDiff& diff : same.options) {
    require(!diff.gained && !diff.lost, "an option differs from itself");
  }
}

// The poll in the layout the compose screen writes.
Value pollRecord(const Poll& poll) {
  Value::Map options;
  for (const pollapp::Option& option : poll.optionsArray()) {
    options[option.optionId()] =
        Value::Map{{layout::kName, option.title()}, {layout::kVotes, option.result()}};
  }
  Value::Map recipients;
  for (const DataSnapshot& recipient : poll.recipientsArray()) {
    recipients[*recipient.key()] = recipient.value();
  }
  return Value::Map{
      {layout::kSender, poll.senderId()},     {layout::kQuestion, poll.questionString()},
      {layout::kClosed, poll.closed()},       {layout::kType, pollapp::pollTypeString(poll.type())},
      {layout::kDomain, poll.domain()},       {layout::kCreatedAt, poll.creationDateTime()},
      {layout::kOptions, std::move(options)}, {layout::kRecipients, std::move(recipients)}};
}

// Options by key: written back without their priorities, they may come in another order.
std::map<std::string, std::pair<std::string, int64_t>> optionsByKey(const Poll& poll) {
  std::map<std::string, std::pair<std::string, int64_t>> options;
  for (const pollapp::Option& option : poll.optionsArray()) {
    options[option.optionId()] = {option.title(), option.result()};
  }
  return options;
}

void checkSamePoll(const Poll& a, const Poll& b) {
  require(a.questionString() == b.questionString() && a.closed() == b.closed() &&
              a.type() == b.type() && a.senderId() == b.senderId() && a.domain() == b.domain() &&
              a.creationDateTime() == b.creationDateTime(),
          "a poll written back reads back differently");
  require(optionsByKey(a) == optionsByKey(b) &&
              a.recipientsArray().size() == b.recipientsArray().size(),
          "a poll written back has other options or recipients");
}

Value userRecord(const User& user) {
  Value::Map experiments;
  for (const auto& [key, on] : user.experiments()) experiments[key] = on;
  return Value::Map{{layout::kFirstName, user.firstName()},
                    {layout::kLastName, user.lastName()},
                    {layout::kPhoneNumber, user.phoneNumber()},
                    {layout::kEmailAddress, user.emailAddress()},
                    {layout::kDomain, user.domain()},
                    {layout::kProfilePic, user.profilePic()},
                    {layout::kLocalPollsOn, user.localPollsOn()},
                    {layout::kExperiments, std::move(experiments)}};
}

void checkUser(const User& user) {
  require(user.userId() == "u1", "a user lost its key");
  const User again(snapshotOf(userRecord(user), kUserPath));
  require(again.firstName() == user.firstName() && again.lastName() == user.lastName() &&
              again.phoneNumber() == user.phoneNumber() &&
              again.emailAddress() == user.emailAddress() && again.domain() == user.domain() &&
              again.profilePic() == user.profilePic() &&
              again.localPollsOn() == user.localPollsOn() &&
              again.experiments() == user.experiments(),
          "a user written back reads back differently");
  // The community a user's e-mail puts them in: the end of its host, at most two labels.
  const std::string& email = user.emailAddress();
  const std::string domain = pollapp::domainForEmail(email);
  require(email.ends_with(domain) && domain.find('@') == std::string::npos,
          "an e-mail's domain is not the end of its host");
  const size_t dot = domain.find('.');
  require(dot == std::string::npos || dot == 0 || domain.find('.', dot + 1) == std::string::npos,
          "an e-mail's domain has more than two labels");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const NodePtr node = SnapshotUtilities::tryNodeFromJsonText(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!node) return 0;
  const DataSnapshot pollSnapshot = snapshotOf(node, kPollPath);
  const PollPtr poll = Poll::fromSnapshot(pollSnapshot);
  checkPoll(*poll, pollSnapshot);
  const DataSnapshot written = snapshotOf(pollRecord(*poll), kPollPath);
  const PollPtr again = Poll::fromSnapshot(written);
  checkPoll(*again, written);
  checkSamePoll(*poll, *again);
  checkUser(User(snapshotOf(node, kUserPath)));
  return 0;
}
