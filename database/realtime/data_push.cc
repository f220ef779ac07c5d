#include "database/realtime/data_push.h"

#include "database/snapshot/json_reader.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {
namespace {

// A member of an envelope level; the empty node when absent.
NodePtr memberOf(const Node& level, std::string_view key) {
  return level.getImmediateChild(std::string(key));
}

// The string of a string leaf.
const std::string* stringOf(const NodePtr& node) {
  const auto* leaf = node->isLeafNode() ? static_cast<const LeafNode*>(node.get()) : nullptr;
  return leaf ? std::get_if<std::string>(&leaf->value()) : nullptr;
}

bool isString(const NodePtr& node, std::string_view expected) {
  const std::string* text = stringOf(node);
  return text && *text == expected;
}

// An envelope level: children only, no priority, exactly `size` members.
bool isLevel(const NodePtr& node, size_t size) {
  return !node->isLeafNode() && node->children().size() == size && node->getPriority()->isEmpty();
}

// The message, its data message, the push's body and their members are read as written; only the
// data may read as something else (a leaf with a priority, an array).
constexpr size_t kEnvelopeLevels = 4;

bool onlyDataReshaped(const std::vector<Path>& reshaped) {
  static const Path kDataPath(std::vector<std::string>{std::string(wire::kEnvelopeData),
                                                       std::string(wire::kRequestBody),
                                                       std::string(wire::kBodyData)});
  return reshaped.empty() || (reshaped.size() == 1 && reshaped.front() == kDataPath);
}

}  // namespace

boost::json::object dataPushBody(const DataPush& push) {
  boost::json::object body{{wire::kBodyPath, push.path},
                           {wire::kBodyData, SnapshotUtilities::toJson(*push.data, true)}};
  if (push.tag) body[wire::kBodyTag] = *push.tag;
  return body;
}

boost::json::object dataPushDataMessage(const DataPush& push) {
  return {{wire::kRequestAction, wire::kPushData}, {wire::kRequestBody, dataPushBody(push)}};
}

boost::json::object dataPushMessage(const DataPush& push) {
  return {{wire::kEnvelopeType, wire::kMessageTypeData},
          {wire::kEnvelopeData, dataPushDataMessage(push)}};
}

bool mayBeDataPush(std::string_view text) {
  return text.find(R"("a":"d")") != std::string_view::npos;
}

std::optional<DataPush> readDataPush(std::string_view text) {
  if (!mayBeDataPush(text)) return std::nullopt;
  return dataPushOf(readJsonText(text, kMaxJsonTextDepth, kEnvelopeLevels));
}

std::unique_ptr<JsonTextReader> dataPushReader() {
  return std::make_unique<JsonTextReader>(kMaxJsonTextDepth, kEnvelopeLevels);
}

std::optional<DataPush> dataPushOf(const JsonTextRead& read) {
  const NodePtr& envelope = read.node;
  if (!envelope || !onlyDataReshaped(read.reshaped) || !isLevel(envelope, 2) ||
      !isString(memberOf(*envelope, wire::kEnvelopeType), wire::kMessageTypeData)) {
    return std::nullopt;
  }
  NodePtr message = memberOf(*envelope, wire::kEnvelopeData);
  if (!isLevel(message, 2) ||
      !isString(memberOf(*message, wire::kRequestAction), wire::kPushData)) {
    return std::nullopt;
  }
  NodePtr body = memberOf(*message, wire::kRequestBody);
  NodePtr tag = memberOf(*body, wire::kBodyTag);
  if (!isLevel(body, tag->isEmpty() ? 2 : 3)) return std::nullopt;
  DataPush push;
  if (!tag->isEmpty()) {
    const auto* leaf = tag->isLeafNode() ? static_cast<const LeafNode*>(tag.get()) : nullptr;
    const int64_t* number = leaf ? std::get_if<int64_t>(&leaf->value()) : nullptr;
    if (!number || !tag->getPriority()->isEmpty()) return std::nullopt;
    push.tag = *number;
  }
  const std::string* path = stringOf(memberOf(*body, wire::kBodyPath));
  push.data = memberOf(*body, wire::kBodyData);
  if (!path || push.data->isEmpty()) return std::nullopt;
  // Data at a priority key is read by the rule for priorities, which the decoder holds.
  const Path location(*path);
  if (!Validation::isValidUpdatePath(location) || location.back() == kPriorityKey) {
    return std::nullopt;
  }
  push.path = *path;
  return push;
}

}  // namespace dz::database
