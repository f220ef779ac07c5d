// Scenario harness for the sync tree: a sync tree over a recording listen provider (on the main
// queue, which the test's own thread owns, so tests call it directly), helpers that build nodes,
// merges and queries from JSON, and a formatter that turns the events an operation returns into
// exact, comparable lines:
//   "h1 value /a {"x":1}"            value event of registration 1 at /a
//   "h2 child_added x 1 prev=w"      child event with the child's key, value and previous key
//   "h3 cancel /a"                    cancel event
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database/core/clock.h"
#include "database/core/sync_tree.h"
#include "database/core/view/event_registration.h"
#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/query_spec.h"

namespace dz::database::testing {

using Lines = std::vector<std::string>;

// The node of JSON text (priorities as ".priority", ".value").
NodePtr node(const std::string& json);
// A merge of JSON text {"relative/path": value, ...}.
CompoundWrite merge(const std::string& json);
// An index value (a leaf or the empty node) of JSON text.
NodePtr leaf(const std::string& json);

// Query builders.
QuerySpec query(const std::string& path, QueryParams params = QueryParams());
QueryParams byChild(const std::string& childPath);
QueryParams byKey();
QueryParams byValue();

// Events as lines (see the top of this file).
Lines format(const Events& events);

class SyncScenario {
 public:
  struct Listen {
    QuerySpec query;
    std::optional<QueryTag> tag;
    std::shared_ptr<const SyncTreeHash> hash;
    ListenCompletion onComplete;
  };

  SyncScenario();
  explicit SyncScenario(std::shared_ptr<PersistenceManager> persistence);

  SyncTree& tree() { return *tree_; }

  // A registration answering the given types (all five by default) under a fresh handle.
  EventRegistrationPtr registration(std::set<EventType> types = {
                                        EventType::ChildAdded, EventType::ChildRemoved,
                                        EventType::ChildChanged, EventType::ChildMoved,
                                        EventType::Value});
  // Adds a registration for the query and returns the lines of its initial events.
  Lines listen(const QuerySpec& query, const EventRegistrationPtr& registration);
  Lines listen(const QuerySpec& query) { return listen(query, registration()); }
  // Removes registrations (by handle match) of the query.
  Lines unlisten(const QuerySpec& query, const EventRegistrationPtr& registration,
                 const ErrorPtr& error = nullptr);

  // Completes the listen started for the query with a status, returning the event lines.
  Lines completeListen(const QuerySpec& query, const std::string& status = "ok");
  // Server data for a listen: overwrite at the query's path, then the listen's completion.
  Lines serverData(const QuerySpec& query, const std::string& json);

  Lines userSet(const std::string& path, const std::string& json, std::optional<WriteId> id = {},
                bool visible = true);
  Lines userUpdate(const std::string& path, const std::string& json,
                   std::optional<WriteId> id = {});
  Lines ack(WriteId id, bool revert = false, bool persist = true);
  Lines serverSet(const std::string& path, const std::string& json);
  Lines serverUpdate(const std::string& path, const std::string& json);
  Lines taggedSet(const std::string& path, const std::string& json, QueryTag tag);

  // Listens currently started and not stopped, by query description; and the logs of start and
  // stop calls ("start /a:{}", "stop /a:{...} tag 1").
  const std::map<std::string, Listen>& activeListens() const { return active_; }
  Lines takeListenLog();
  WriteId lastWriteId() const { return nextWriteId_ - 1; }

 private:
  std::shared_ptr<ListenProvider> makeProvider();

  std::shared_ptr<SyncTree> tree_;
  std::map<std::string, Listen> active_;
  Lines listenLog_;
  WriteId nextWriteId_ = 1;
  Handle nextHandle_ = 1;
  std::shared_ptr<OffsetClock> clock_;
};

}  // namespace dz::database::testing
