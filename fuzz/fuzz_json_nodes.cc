// Arbitrary text as server or disk JSON becoming nodes. The direct reader and the document path
// must agree (same node, or both refuse the text as JSON), and a node read back from the text it
// writes is the same node with the same hash.
#include <boost/json/serialize.hpp>
#include <cstdint>
#include <string_view>

#include "database/snapshot/json_reader.h"
#include "database/snapshot/snapshot_utilities.h"
#include "fuzz/support.h"
#include "platform/json_text.h"

namespace {

using dz::database::NodePtr;
using dz::database::SnapshotUtilities;
using dz::fuzz::require;

// The document path's answer: the node, or null when the text is not JSON or not data.
NodePtr nodeByDocument(std::string_view text, bool& isJson) {
  boost::json::parse_options options;
  options.max_depth = dz::database::kMaxJsonTextDepth;
  boost::system::error_code error;
  boost::json::value json = dz::parseJsonExact(text, error, options);
  isJson = !error;
  return isJson ? SnapshotUtilities::tryNodeFromJson(json) : nullptr;
}

void checkRoundTrip(const NodePtr& node) {
  for (bool exportFormat : {false, true}) {
    const std::string text = SnapshotUtilities::toJsonText(*node, exportFormat);
    require(text == boost::json::serialize(SnapshotUtilities::toJson(*node, exportFormat)),
            "the direct writer and the document writer differ");
    if (!exportFormat) continue;  // the plain form drops priorities
    NodePtr again = SnapshotUtilities::tryNodeFromJsonText(text);
    require(again && again->equals(*node), "a node does not read back from its export text");
    require(again->dataHash() == node->dataHash(), "a node read back hashes differently");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  dz::database::JsonTextRead direct =
      dz::database::readJsonText(text, dz::database::kMaxJsonTextDepth);
  bool isJson = false;
  const NodePtr byDocument = nodeByDocument(text, isJson);
  if (direct.node) {
    require(byDocument && byDocument->equals(*direct.node),
            "the direct reader gives another node than the document path");
  } else if (!direct.needsDocument) {
    require(!isJson, "the direct reader refuses JSON that the document path reads");
  }
  const NodePtr node = SnapshotUtilities::tryNodeFromJsonText(text);
  require(static_cast<bool>(node) == static_cast<bool>(byDocument) &&
              (!node || node->equals(*byDocument)),
          "nodeFromJsonText differs from the document path");
  if (node) checkRoundTrip(node);
  return 0;
}
