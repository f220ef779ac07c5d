#include "tests/database/core/sync_scenario_fixture.h"

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"

namespace dz::database::testing {

NodePtr node(const std::string& json) {
  std::optional<Value> value = Value::parseJson(json);
  EXPECT_TRUE(value.has_value()) << json;
  return SnapshotUtilities::nodeFrom(value.value_or(Value()));
}

CompoundWrite merge(const std::string& json) {
  std::optional<Value> value = Value::parseJson(json);
  EXPECT_TRUE(value && value->isMap()) << json;
  return SnapshotUtilities::compoundWriteFromDictionary(value->asMap(), "test");
}

NodePtr leaf(const std::string& json) { return node(json); }

QuerySpec query(const std::string& path, QueryParams params) {
  return QuerySpec(Path(path), std::move(params));
}

QueryParams byChild(const std::string& childPath) {
  return QueryParams().orderBy(PathIndex::create(Path(childPath)));
}
QueryParams byKey() { return QueryParams().orderBy(KeyIndex::keyIndex()); }
QueryParams byValue() { return QueryParams().orderBy(ValueIndex::valueIndex()); }

Lines format(const Events& events) {
  Lines lines;
  for (const Event& event : events) {
    std::string line = "h" + std::to_string(event.registration()->handle()) + " ";
    if (event.isCancel()) {
      line += "cancel " + event.path().toString();
    } else {
      const DataEvent& data = *event.data();
      line += eventTypeName(data.type);
      if (data.type == EventType::Value) {
        line += " " + data.path.toString();
      } else {
        line += " " + data.childKey.value_or("?");
      }
      line += " " + data.snapshot.node()->val(true).toJsonString();
      if (data.type != EventType::Value && data.type != EventType::ChildRemoved) {
        line += " prev=" + data.prevKey.value_or("null");
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

SyncScenario::SyncScenario() : SyncScenario(nullptr) {}

SyncScenario::SyncScenario(std::shared_ptr<PersistenceManager> persistence)
    : tree_(SyncTree::create(platform::DispatchQueue::main(), makeProvider(),
                             std::move(persistence))),
      clock_(std::make_shared<OffsetClock>(SystemClock::clock(), 0.0)) {}

std::shared_ptr<ListenProvider> SyncScenario::makeProvider() {
  auto provider = std::make_shared<ListenProvider>();
  provider->setStartListening([this](const QuerySpec& q, std::optional<QueryTag> tag,
                                     std::shared_ptr<const SyncTreeHash> hash,
                                     ListenCompletion onComplete) -> Events {
    std::string key = q.description();
    listenLog_.push_back("start " + key + (tag ? " tag " + std::to_string(*tag) : ""));
    active_.insert_or_assign(key, Listen{q, tag, std::move(hash), std::move(onComplete)});
    return {};
  });
  provider->setStopListening([this](const QuerySpec& q, std::optional<QueryTag> tag) {
    std::string key = q.description();
    listenLog_.push_back("stop " + key + (tag ? " tag " + std::to_string(*tag) : ""));
    active_.erase(key);
  });
  return provider;
}

Lines SyncScenario::takeListenLog() {
  Lines log = std::move(listenLog_);
  listenLog_.clear();
  return log;
}

EventRegistrationPtr SyncScenario::registration(std::set<EventType> types) {
  Handle handle = nextHandle_++;
  if (types == std::set<EventType>{EventType::Value}) {
    return ValueEventRegistration::create(handle, [](const DataEvent&) {});
  }
  ChildEventRegistration::Callbacks callbacks;
  for (EventType type : types) callbacks[type] = [](const DataEvent&) {};
  return ChildEventRegistration::create(handle, std::move(callbacks), [](const ErrorPtr&) {});
}

Lines SyncScenario::listen(const QuerySpec& q, const EventRegistrationPtr& registration) {
  return format(tree_->addEventRegistration(registration, q));
}

Lines SyncScenario::unlisten(const QuerySpec& q, const EventRegistrationPtr& registration,
                             const ErrorPtr& error) {
  return format(tree_->removeEventRegistration(registration, q, error));
}

Lines SyncScenario::completeListen(const QuerySpec& q, const std::string& status) {
  QuerySpec listening = q.loadsAllData() ? QuerySpec::defaultQueryAtPath(q.path()) : q;
  auto it = active_.find(listening.description());
  EXPECT_NE(it, active_.end()) << "no listen for " << listening.description();
  if (it == active_.end()) return {};
  ListenCompletion completion = it->second.onComplete;
  return format(completion(errorForStatus(status)));
}

Lines SyncScenario::serverData(const QuerySpec& q, const std::string& json) {
  QuerySpec listening = q.loadsAllData() ? QuerySpec::defaultQueryAtPath(q.path()) : q;
  auto it = active_.find(listening.description());
  EXPECT_NE(it, active_.end()) << "no listen for " << listening.description();
  if (it == active_.end()) return {};
  Lines lines;
  if (it->second.tag) {
    lines = format(tree_->applyTaggedQueryOverwrite(q.path(), node(json), *it->second.tag));
  } else {
    lines = format(tree_->applyServerOverwrite(q.path(), node(json)));
  }
  Lines done = completeListen(q);
  lines.insert(lines.end(), done.begin(), done.end());
  return lines;
}

Lines SyncScenario::userSet(const std::string& path, const std::string& json,
                            std::optional<WriteId> id, bool visible) {
  WriteId writeId = id.value_or(nextWriteId_);
  nextWriteId_ = std::max(nextWriteId_, writeId + 1);
  return format(tree_->applyUserOverwrite(Path(path), node(json), writeId, visible));
}

Lines SyncScenario::userUpdate(const std::string& path, const std::string& json,
                               std::optional<WriteId> id) {
  WriteId writeId = id.value_or(nextWriteId_);
  nextWriteId_ = std::max(nextWriteId_, writeId + 1);
  return format(tree_->applyUserMerge(Path(path), merge(json), writeId));
}

Lines SyncScenario::ack(WriteId id, bool revert, bool persist) {
  return format(tree_->ackUserWrite(id, revert, persist, *clock_));
}

Lines SyncScenario::serverSet(const std::string& path, const std::string& json) {
  return format(tree_->applyServerOverwrite(Path(path), node(json)));
}

Lines SyncScenario::serverUpdate(const std::string& path, const std::string& json) {
  return format(tree_->applyServerMerge(Path(path), merge(json)));
}

Lines SyncScenario::taggedSet(const std::string& path, const std::string& json, QueryTag tag) {
  return format(tree_->applyTaggedQueryOverwrite(Path(path), node(json), tag));
}

}  // namespace dz::database::testing
