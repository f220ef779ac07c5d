// The event raiser fires events and callbacks on the callback queue in the order raised, and a
// throwing user callback does not stop the ones after it.
#include "database/core/event_raiser.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

#include "database/utilities/utilities.h"
#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

TEST(EventRaiser, FiresEventsAndCallbacksInOrderOnTheCallbackQueue) {
  auto queue = platform::DispatchQueue::create("callbacks");
  EventRaiser raiser(queue);
  std::mutex mutex;
  std::vector<std::string> seen;
  bool onQueue = true;
  auto record = [&](std::string what) {
    std::lock_guard lock(mutex);
    onQueue = onQueue && queue->isCurrent();
    seen.push_back(std::move(what));
  };

  ChildEventRegistration::Callbacks callbacks;
  callbacks[EventType::ChildAdded] = [&](const DataEvent& e) {
    record("added " + *e.childKey + " prev " + e.prevKey.value_or("-") + " at " +
           e.path.toString());
  };
  callbacks[EventType::ChildChanged] = [&](const DataEvent&) { throw std::runtime_error("boom"); };
  auto child = ChildEventRegistration::create(1, callbacks, [&](const ErrorPtr& error) {
    record("cancel " + error->localizedDescription());
  });
  auto value = ValueEventRegistration::create(
      2, [&](const DataEvent& e) { record("value " + e.snapshot.node()->val().toJsonString()); });

  // Events from a real sync tree (data for the whole location is complete at once).
  auto provider = std::make_shared<ListenProvider>();
  ListenCompletion completion;
  provider->setStartListening([&](const QuerySpec&, std::optional<QueryTag>,
                                  std::shared_ptr<const SyncTreeHash>, ListenCompletion done) {
    completion = std::move(done);
    return Events{};
  });
  auto tree = SyncTree::create(platform::DispatchQueue::main(), provider);
  QuerySpec a = query("/a");
  tree->addEventRegistration(child, a);
  tree->addEventRegistration(value, a);
  raiser.raiseEvents(tree->applyServerOverwrite(Path("/a"), node(R"({"x":1,"y":2})")));
  raiser.raiseCallback([&] { record("callback 1"); });
  raiser.raiseEvents(completion(nullptr));
  raiser.raiseEvents(tree->applyServerOverwrite(Path("/a/x"), node("5")));
  raiser.raiseCallbacks(
      {[&] { record("callback 2"); }, [&] { throw 7; }, [&] { record("callback 3"); }});
  raiser.raiseEvents(completion(errorForStatus("permission_denied")));
  queue->sync([] {});

  EXPECT_TRUE(onQueue);
  EXPECT_EQ(seen, (std::vector<std::string>{"added x prev - at /a/x", "added y prev x at /a/y",
                                            R"(value {"x":1,"y":2})", "callback 1",
                                            R"(value {"x":5,"y":2})", "callback 2", "callback 3",
                                            "cancel Permission Denied"}));
}

TEST(EventRegistration, MatchesByHandleOrTheAllHandle) {
  auto one = ValueEventRegistration::create(1, nullptr);
  auto two = ChildEventRegistration::create(2, {});
  auto all = ValueEventRegistration::create(kAllHandle, nullptr);
  EXPECT_TRUE(one->matches(*ValueEventRegistration::create(1, nullptr)));
  EXPECT_FALSE(one->matches(*two));
  EXPECT_TRUE(one->matches(*all));
  EXPECT_TRUE(all->matches(*two));
  const auto& keep = KeepSyncedEventRegistration::instance();
  EXPECT_FALSE(keep->matches(*all));
  EXPECT_TRUE(keep->matches(*keep));
  EXPECT_FALSE(keep->respondsTo(EventType::Value));
  EXPECT_TRUE(one->respondsTo(EventType::Value));
  EXPECT_FALSE(one->respondsTo(EventType::ChildAdded));
  EXPECT_FALSE(two->respondsTo(EventType::ChildAdded));
  // No cancel callback, no cancel event.
  EXPECT_FALSE(one->createCancelEvent(std::make_shared<Error>("d", 1), Path("/a")).has_value());
}

}  // namespace
}  // namespace dz::database::testing
