// Random queries and the data they select from, for the checks of the server's query windows.
// Deterministic per seed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database/snapshot/index.h"
#include "database/snapshot/query_params.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::devserver::testing {

class RandomQueries : public database::testing::RandomValues {
 public:
  using RandomValues::RandomValues;

  // The doc's keys beside the fixture's.
  std::string key() {
    static const std::vector<std::string> extra = {"9223372036854775807", "A", "00", "8", "ab"};
    return chance(20) ? extra[below(static_cast<int>(extra.size()))] : RandomValues::key();
  }

  // Leaves, with numbers around 2^53 where int64 and double part.
  Value leaf() {
    if (chance(85)) return RandomValues::leaf();
    switch (below(4)) {
      case 0:
        return Value(static_cast<long long>(9007199254740992LL + below(3)));
      case 1:
        return Value(9007199254740992.0);
      case 2:
        return Value(-0.0);
      default:
        return Value(static_cast<long long>(INT64_MIN + below(2)));
    }
  }

  database::QueryParams params() {
    database::QueryParams params;
    switch (below(5)) {
      case 0:
        params = params.orderBy(database::KeyIndex::keyIndex());
        break;
      case 1:
        params = params.orderBy(database::ValueIndex::valueIndex());
        break;
      case 2:
        params = params.orderBy(database::PathIndex::create(database::Path("v")));
        break;
      case 3:
        params = params.orderBy(database::PathIndex::create(database::Path("v/x")));
        break;
      default:
        break;
    }
    bool byKey = params.index()->equals(*database::KeyIndex::keyIndex());
    auto bound = [&]() -> database::NodePtr {
      if (byKey) return database::LeafNode::fromValue(Value(key()));
      if (chance(20)) return database::EmptyNode::emptyNode();
      return database::LeafNode::fromValue(chance(30) ? priority() : leaf());
    };
    auto boundKey = [&]() -> std::optional<std::string> {
      if (byKey || chance(50)) return std::nullopt;
      return key();
    };
    if (chance(50)) params = params.startAt(bound(), boundKey());
    if (chance(50)) params = params.endAt(bound(), boundKey());
    if (chance(60)) {
      // The public API refuses a limit of zero, but the filters must still hold an empty window.
      int limit = below(5);
      params = chance(50) ? params.limitToFirst(limit) : params.limitToLast(limit);
    }
    return params;
  }

  database::NodePtr child() {
    if (chance(20)) return database::SnapshotUtilities::nodeFrom(leaf());
    Value::Map map;
    if (chance(70)) map.emplace("v", chance(15) ? Value(Value::Map{{"x", leaf()}}) : leaf());
    if (chance(30)) map.emplace("w", leaf());
    if (chance(40)) map.emplace(".priority", priority());
    if (map.empty() || (map.size() == 1 && map.count(".priority"))) map.emplace("w", leaf());
    return database::SnapshotUtilities::nodeFrom(Value(std::move(map)));
  }

  database::NodePtr data() {
    if (chance(5)) return database::SnapshotUtilities::nodeFrom(leaf());
    database::NodePtr data = database::EmptyNode::emptyNode();
    int count = below(14);
    for (int i = 0; i < count; ++i) data = data->updateImmediateChild(key(), child());
    if (chance(20)) data = data->updatePriority(database::SnapshotUtilities::nodeFrom(priority()));
    return data;
  }
};

}  // namespace dz::devserver::testing
