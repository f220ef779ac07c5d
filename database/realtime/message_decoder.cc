#include "database/realtime/message_decoder.h"

#include <algorithm>

#include "database/realtime/json_fields.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {
namespace {

using Kind = RefusedMessage::Kind;

RefusedMessage refused(Kind kind, std::string_view why, const boost::json::object& message) {
  return {kind, std::string(why) + json::text(message)};
}

// The tag of a push: none when absent or null; false when present but not an integer.
bool readTag(const boost::json::object& body, std::optional<int64_t>& tag) {
  const boost::json::value* value = json::member(body, wire::kBodyTag);
  if (!value || value->is_null()) return true;
  tag = json::asInt64(value);
  return tag.has_value();
}

bool warnsOfNoIndex(const boost::json::value* data) {
  const boost::json::value* warnings = data ? json::member(*data, wire::kListenWarnings) : nullptr;
  const boost::json::array* list = warnings ? warnings->if_array() : nullptr;
  return list && std::any_of(list->begin(), list->end(), [](const boost::json::value& w) {
           return json::isString(&w, wire::kWarningNoIndex);
         });
}

ServerMessage decodeReply(const boost::json::object& message, const boost::json::value& number,
                          const boost::json::object* body) {
  auto requestNumber = json::asInt64(&number);
  if (!requestNumber) {
    return refused(Kind::Reply, "Dropping reply with an unusable request number: ", message);
  }
  // Without a status nothing can be concluded: the request stays outstanding (a write the
  // server applied must not be reported failed, nor a listen it serves dropped).
  auto status = body ? json::asString(json::member(*body, wire::kReplyStatus)) : std::nullopt;
  if (!status) return refused(Kind::Reply, "Dropping reply without a status: ", message);
  Reply reply;
  reply.requestNumber = *requestNumber;
  reply.status = std::string(*status);
  if (const boost::json::value* data = json::member(*body, wire::kReplyData)) {
    if (auto text = json::asString(data)) reply.reason = std::string(*text);
    // Read only where a failure is reported: replies to writes are many.
    if (reply.status != wire::kStatusOk) reply.data = json::stringOrText(*data);
    reply.noIndexWarning = warnsOfNoIndex(data);
  }
  if (logLevelEnabled(kLogLevelDebug)) reply.text = json::text(*body);
  return reply;
}

// The node of `value` written at `path`, read as data would hold it there: null when data would
// refuse it. At a priority key only a priority is held, read as data's priorities are.
NodePtr nodeAt(const Path& path, const boost::json::value& value) {
  if (path.back() != kPriorityKey) return SnapshotUtilities::tryNodeFromJson(value);
  NodePtr holder = SnapshotUtilities::tryNodeFromJson(
      boost::json::object{{kValueKey, true}, {kPriorityKey, value}});
  return holder ? holder->getPriority() : nullptr;
}

ServerMessage decodeDataPush(std::string_view action, const boost::json::object& body) {
  auto path = json::asString(json::member(body, wire::kBodyPath));
  const boost::json::value* data = json::member(body, wire::kBodyData);
  bool isMerge = action == wire::kPushMerge;
  std::optional<int64_t> tag;
  if (!path || !data || (isMerge && !data->is_object()) || !readTag(body, tag)) {
    return refused(Kind::Push, "Malformed data response from server missing path or data: ", body);
  }
  const Path location(*path);
  if (!Validation::isValidUpdatePath(location)) {
    return refused(Kind::UnstorableData, "Dropped push at a path no write is made at: ", body);
  }
  if (!isMerge) {
    NodePtr node = nodeAt(location, *data);
    if (!node) return refused(Kind::UnstorableData, "Dropped data push: ", body);
    return DataPush{std::string(*path), tag, std::move(node)};
  }
  // Nothing of a merge is applied when any part of it cannot be stored. A merge at a priority
  // would store below it; a key naming the location itself would turn the merge into an overwrite.
  if (location.back() == kPriorityKey) {
    return refused(Kind::UnstorableData, "Dropped merge push: ", body);
  }
  CompoundWrite merge;
  for (const auto& [key, value] : data->get_object()) {
    Path path{std::string_view(key)};
    NodePtr node =
        !path.isEmpty() && Validation::isValidUpdatePath(path) ? nodeAt(path, value) : nullptr;
    if (!node) return refused(Kind::UnstorableData, "Dropped merge push: ", body);
    merge = merge.addWrite(path, std::move(node));
  }
  return MergePush{std::string(*path), tag, std::move(merge)};
}

// A range's bound: none when absent or null; false when present but not a path.
bool readBound(const boost::json::value& range, std::string_view key, std::optional<Path>& bound) {
  const boost::json::value* value = json::member(range, key);
  if (!value || value->is_null()) return true;
  auto text = json::asString(value);
  if (text) bound = Path(*text);
  return text.has_value();
}

ServerMessage decodeRangeMerge(const boost::json::object& body) {
  auto path = json::asString(json::member(body, wire::kBodyPath));
  const boost::json::value* rangesValue = json::member(body, wire::kBodyData);
  const boost::json::array* ranges = rangesValue ? rangesValue->if_array() : nullptr;
  std::optional<int64_t> tag;
  const char* kMalformed = "Dropping malformed range merge: ";
  if (!path || !ranges || !readTag(body, tag)) return refused(Kind::Push, kMalformed, body);
  const Path location(*path);
  if (!Validation::isValidUpdatePath(location)) {
    return refused(Kind::UnstorableData,
                   "Dropped range merge at a path no write is made at: ", body);
  }
  RangeMergePush push{std::string(*path), tag, {}};
  push.ranges.reserve(ranges->size());
  for (const boost::json::value& range : *ranges) {
    std::optional<Path> start, end;
    if (!range.is_object() || !readBound(range, wire::kRangeStart, start) ||
        !readBound(range, wire::kRangeEnd, end)) {
      return refused(Kind::Push, kMalformed, body);
    }
    // A range at a priority keeps it, empties it or puts its updates there.
    const boost::json::value* updatesValue = json::member(range, wire::kRangeUpdates);
    NodePtr updates = updatesValue ? nodeAt(location, *updatesValue) : EmptyNode::emptyNode();
    if (!updates) return refused(Kind::UnstorableData, "Dropped range merge: ", body);
    push.ranges.emplace_back(std::move(start), std::move(end), std::move(updates));
  }
  return push;
}

ServerMessage decodePush(std::string_view action, const boost::json::object& body) {
  if (action == wire::kPushData || action == wire::kPushMerge) return decodeDataPush(action, body);
  if (action == wire::kPushRangeMerge) return decodeRangeMerge(body);
  if (action == wire::kPushAuthRevoked) {
    auto field = [&body](std::string_view key) {
      const boost::json::value* value = json::member(body, key);
      return value ? json::stringOrText(*value) : std::string();
    };
    return AuthRevokedPush{field(wire::kAuthRevokedStatus), field(wire::kAuthRevokedReason)};
  }
  if (action == wire::kPushListenRevoked) {
    auto path = json::asString(json::member(body, wire::kBodyPath));
    if (!path) return refused(Kind::Push, "Dropping listen revocation without a path: ", body);
    return ListenRevokedPush{std::string(*path)};
  }
  if (action == wire::kPushSecurityDebug) {
    auto message = json::asString(json::member(body, wire::kSecurityDebugMessage));
    if (!message) return refused(Kind::Push, "Dropping security debug without a message: ", body);
    return SecurityDebugPush{std::string(*message)};
  }
  return UnknownPush{std::string(action)};
}

}  // namespace

std::string pushedDataText(const PushedData& data) {
  if (const auto* merge = std::get_if<CompoundWrite>(&data)) {
    return merge->valForExport(true).toJsonString();
  }
  return SnapshotUtilities::toJsonText(*std::get<NodePtr>(data), true);
}

ServerMessage decodeServerMessage(const boost::json::object& message) noexcept {
  try {
    const boost::json::value* bodyValue = json::member(message, wire::kRequestBody);
    const boost::json::object* body = bodyValue ? bodyValue->if_object() : nullptr;
    if (const boost::json::value* number = json::member(message, wire::kRequestNumber)) {
      return decodeReply(message, *number, body);
    }
    if (const boost::json::value* error = json::member(message, wire::kServerError)) {
      return ServerError{json::stringOrText(*error)};
    }
    if (auto action = json::asString(json::member(message, wire::kRequestAction))) {
      if (!body) return refused(Kind::Push, "Dropping push without a body: ", message);
      return decodePush(*action, *body);
    }
    return refused(Kind::Reply,
                   "Dropping a data message that is neither reply nor push: ", message);
  } catch (const std::exception& e) {
    // Memory, or a path the node types refuse: the message is dropped, the connection goes on.
    return RefusedMessage{Kind::UnstorableData, std::string("Dropped server message: ") + e.what()};
  }
}

}  // namespace dz::database
