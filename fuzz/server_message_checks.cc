#include "fuzz/server_message_checks.h"

#include <boost/json/parse.hpp>
#include <optional>
#include <string>
#include <vector>

#include "database/realtime/data_push.h"
#include "database/realtime/json_fields.h"
#include "database/realtime/message_decoder.h"
#include "database/snapshot/snapshot_utilities.h"
#include "fuzz/support.h"
#include "platform/json_text.h"

namespace dz::fuzz {
namespace {

using database::CompoundWrite;
using database::DataPush;
using database::EmptyNode;
using database::MergePush;
using database::NodePtr;
using database::Path;
using database::RangeMergePush;
using database::ServerMessage;
using database::SnapshotUtilities;

bool sameNode(const NodePtr& a, const NodePtr& b) { return a && b && a->equals(*b); }

bool samePush(const DataPush& a, const DataPush& b) {
  return a.path == b.path && a.tag == b.tag && sameNode(a.data, b.data);
}

// A push's data written back as the server would send it decodes to the same data.
void checkWrittenBack(const ServerMessage& decoded) {
  if (const auto* push = std::get_if<DataPush>(&decoded)) {
    require(push->data != nullptr, "a data push without data");
    auto again = database::decodeServerMessage(database::dataPushDataMessage(*push));
    const auto* same = std::get_if<DataPush>(&again);
    require(same && samePush(*same, *push), "a data push written back decodes to other data");
  } else if (const auto* merge = std::get_if<MergePush>(&decoded)) {
    boost::json::object body{{"p", merge->path}, {"d", merge->merge.valForExport(true).toJson()}};
    if (merge->tag) body["t"] = *merge->tag;
    auto again =
        database::decodeServerMessage(boost::json::object{{"a", "m"}, {"b", std::move(body)}});
    const auto* same = std::get_if<MergePush>(&again);
    NodePtr empty = EmptyNode::emptyNode();
    require(same && same->path == merge->path &&
                sameNode(same->merge.apply(empty), merge->merge.apply(empty)),
            "a merge push written back decodes to other data");
  }
}

// Each write of a merge is data that a data push could carry below the merge's location: its
// value nested under its keys reads as data.
void checkMergeKeys(const CompoundWrite& merge) {
  merge.enumerateWrites([](const Path& path, const NodePtr& node) {
    require(!path.isEmpty(), "a merge writes at its location itself");
    boost::json::value nested = SnapshotUtilities::toJson(*node, true);
    for (size_t i = path.size(); i-- > 0;) nested = boost::json::object{{path[i], nested}};
    require(SnapshotUtilities::tryNodeFromJson(nested) != nullptr,
            "a merge writes where a data push could not");
    return false;
  });
}

// The reader of plain data pushes takes only what the decoder reads as that push.
void checkPlainPush(const std::optional<DataPush>& plain, const ServerMessage* decoded,
                    const char* what) {
  if (!plain) return;
  const auto* push = decoded ? std::get_if<DataPush>(decoded) : nullptr;
  require(push && samePush(*push, *plain), what);
}

// Where pushes land: nothing, and leaves, children and priorities along the seeds' paths.
const std::vector<NodePtr>& storedTrees() {
  static const auto* trees = new std::vector<NodePtr>{
      EmptyNode::emptyNode(),
      SnapshotUtilities::nodeFromJsonText(
          R"({"a":{"x":{".value":1,".priority":"p"},"y":[1,2],".priority":3},)"
          R"("b":{"c":{"k":"v",".priority":2}},"c":true,"q":{"n":{"k":1,".priority":1.5}}})")};
  return *trees;
}

// The tree with the push applied, as the client applies server data; null for other messages.
NodePtr applied(const ServerMessage& message, const NodePtr& tree) {
  if (const auto* push = std::get_if<DataPush>(&message)) {
    return tree->updateChild(Path(push->path), push->data);
  }
  if (const auto* merge = std::get_if<MergePush>(&message)) {
    const Path path(merge->path);
    return tree->updateChild(path, merge->merge.apply(tree->getChild(path)));
  }
  if (const auto* ranges = std::get_if<RangeMergePush>(&message)) {
    const Path path(ranges->path);
    NodePtr node = tree->getChild(path);
    for (const database::RangeMerge& range : ranges->ranges) node = range.applyTo(node);
    return tree->updateChild(path, node);
  }
  return nullptr;
}

// Whether the node nests deeper than data read from the root may. Data's limit counts from
// where a value is written, and a push's path moves the value down: such a tree is left out.
bool nestsTooDeep(const database::Node& node, size_t depth = 0) {
  if (depth > database::kMaxObjectDepth) return true;
  for (const auto& entry : node.children()) {
    if (nestsTooDeep(*entry.value, depth + 1)) return true;
  }
  return false;
}

}  // namespace

void checkStoredAsData(const ServerMessage& message) {
  for (const NodePtr& tree : storedTrees()) {
    NodePtr stored = applied(message, tree);
    if (!stored) return;
    if (nestsTooDeep(*stored)) continue;
    NodePtr again =
        SnapshotUtilities::tryNodeFromJsonText(SnapshotUtilities::toJsonText(*stored, true));
    require(sameNode(again, stored), "a push stores what does not read back as data");
  }
}

void checkServerMessage(std::string_view text, size_t cut) {
  // The message as the connection reads it.
  boost::json::parse_options options;
  options.max_depth = database::kMaxJsonTextDepth;
  boost::system::error_code error;
  boost::json::value message = parseJsonExact(text, error, options);
  const boost::json::value* data = error ? nullptr : database::json::member(message, "d");
  std::optional<ServerMessage> decoded;
  if (database::json::isString(database::json::member(message, "t"), "d") && data &&
      data->is_object()) {
    decoded = database::decodeServerMessage(data->get_object());
    checkWrittenBack(*decoded);
    if (const auto* merge = std::get_if<MergePush>(&*decoded)) checkMergeKeys(merge->merge);
    // The reader of plain pushes takes only what the decoder reads alike (below).
    checkStoredAsData(*decoded);
  }
  const ServerMessage* reading = decoded ? &*decoded : nullptr;
  checkPlainPush(database::readDataPush(text), reading,
                 "the reader of plain pushes and the decoder read a message apart");
  cut = std::min(cut, text.size());
  auto reader = database::dataPushReader();
  reader->write(text.substr(0, cut));
  checkPlainPush(database::dataPushOf(reader->finish(text.substr(cut))), reading,
                 "the reader of plain pushes in pieces and the decoder read a message apart");
}

}  // namespace dz::fuzz
