#include "app/records.h"

#include <cmath>
#include <limits>

#include "app/database_layout.h"

namespace pollapp {
namespace {

using dz::Value;

std::string stringField(const Value& record, std::string_view key) {
  const std::string* text = record[key].getString();
  return text ? *text : std::string();
}

bool boolField(const Value& record, std::string_view key) {
  return record[key].getBool().value_or(false);
}

double doubleField(const Value& record, std::string_view key) {
  return record[key].getDouble().value_or(0);
}

}  // namespace

int64_t countFromValue(const Value& value) {
  if (auto integer = value.getInt()) return *integer;
  if (auto number = value.getDouble();
      number && std::isfinite(*number) && std::fabs(*number) < 9.0e18) {
    return static_cast<int64_t>(*number);
  }
  return 0;
}

int64_t addCounts(int64_t count, int64_t change) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(count, change, &sum)) return sum;
  return change > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

const char* pollTypeString(PollType type) {
  switch (type) {
    case PollType::Direct:
      return "direct";
    case PollType::Local:
      return "local";
    case PollType::Community:
      return "community";
  }
  return "community";
}

PollType pollTypeFromString(const std::string* text) {
  if (text && *text == "direct") return PollType::Direct;
  if (text && *text == "local") return PollType::Local;
  return PollType::Community;
}

std::string domainForEmail(std::string_view email) {
  std::string_view host =
      email.substr(email.rfind('@') == std::string_view::npos ? 0 : email.rfind('@') + 1);
  size_t last = host.rfind('.');
  if (last == std::string_view::npos || last == 0) return std::string(host);
  size_t before = host.rfind('.', last - 1);
  return std::string(before == std::string_view::npos ? host : host.substr(before + 1));
}

Option::Option(const DataSnapshot& snapshot)
    : optionId_(snapshot.key().value_or("")),
      title_(stringField(snapshot.value(), layout::kName)),
      result_(countFromValue(snapshot.value()[layout::kVotes])) {}

void Option::setPoll(const PollPtr& poll) {
  poll_ = poll;
  pollId_ = poll ? poll->pollId() : std::string();
}

OptionDiff Option::diffFromOption(const Option& current) const {
  return {.gained = current.result_ > result_, .lost = current.result_ < result_};
}

PollPtr Poll::fromSnapshot(const DataSnapshot& snapshot) {
  PollPtr poll(new Poll());
  const Value record = snapshot.value();
  poll->pollId_ = snapshot.key().value_or("");
  poll->closed_ = boolField(record, layout::kClosed);
  poll->type_ = pollTypeFromString(record[layout::kType].getString());
  poll->creationDateTime_ = doubleField(record, layout::kCreatedAt);
  poll->questionString_ = stringField(record, layout::kQuestion);
  poll->domain_ = stringField(record, layout::kDomain);
  poll->senderId_ = stringField(record, layout::kSender);
  if (record.isMap()) {
    for (const DataSnapshot& child : snapshot.childSnapshot(layout::kOptions).children()) {
      Option option(child);
      option.setPoll(poll);
      poll->voteCount_ = addCounts(poll->voteCount_, option.result());
      poll->optionsArray_.push_back(std::move(option));
    }
    for (const DataSnapshot& child : snapshot.childSnapshot(layout::kRecipients).children()) {
      poll->recipientsArray_.push_back(child);
    }
  }
  return poll;
}

PollDiff Poll::diffFromPoll(const Poll& current) const {
  PollDiff diff;
  diff.closed = current.closed_ && !closed_ ? 1 : 0;
  diff.reopened = !current.closed_ && closed_ ? 1 : 0;
  size_t shared = std::min(optionsArray_.size(), current.optionsArray_.size());
  for (size_t i = 0; i < shared; ++i) {
    diff.options.push_back(optionsArray_[i].diffFromOption(current.optionsArray_[i]));
  }
  return diff;
}

std::optional<DataSnapshot> Poll::recipientForUserId(std::string_view userId) const {
  for (const DataSnapshot& recipient : recipientsArray_) {
    if (recipient.key() == userId) return recipient;
  }
  return std::nullopt;
}

User::User(const DataSnapshot& snapshot) : userId_(snapshot.key().value_or("")) {
  const Value record = snapshot.value();
  firstName_ = stringField(record, layout::kFirstName);
  lastName_ = stringField(record, layout::kLastName);
  phoneNumber_ = stringField(record, layout::kPhoneNumber);
  emailAddress_ = stringField(record, layout::kEmailAddress);
  domain_ = stringField(record, layout::kDomain);
  profilePic_ = stringField(record, layout::kProfilePic);
  localPollsOn_ = boolField(record, layout::kLocalPollsOn);
  if (const Value::Map* experiments = record[layout::kExperiments].getMap()) {
    for (const auto& [key, flag] : *experiments) {
      if (auto on = flag.getBool()) experiments_[key] = *on;
    }
  }
}

}  // namespace pollapp
