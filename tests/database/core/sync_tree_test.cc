// Scenarios of the sync tree: local writes over server data, acknowledgements, reverts, merges,
// tagged queries, value completeness and initial events, with exact event lists.
#include <gtest/gtest.h>

#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

TEST(SyncTreeScenario, LocalWriteThenServerConfirmationRaisesNoDuplicates) {
  SyncScenario s;
  QuerySpec a = query("/a");
  EXPECT_EQ(s.listen(a), Lines{});
  EXPECT_EQ(s.serverData(a, R"({"x":1})"),
            (Lines{"h1 child_added x 1 prev=null", R"(h1 value /a {"x":1})"}));
  EXPECT_EQ(s.userSet("/a/y", "2"),
            (Lines{"h1 child_added y 2 prev=x", R"(h1 value /a {"x":1,"y":2})"}));
  // The server echoes the write, then acknowledges it: nothing new to show.
  EXPECT_EQ(s.serverSet("/a/y", "2"), Lines{});
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
  // Later server data is shown again.
  EXPECT_EQ(s.serverSet("/a/y", "3"),
            (Lines{"h1 child_changed y 3 prev=x", R"(h1 value /a {"x":1,"y":3})"}));
}

TEST(SyncTreeScenario, ServerDataUnderAPendingWriteStaysHiddenUntilTheAck) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1})");
  EXPECT_EQ(s.userSet("/a/x", "2"),
            (Lines{"h1 child_changed x 2 prev=null", R"(h1 value /a {"x":2})"}));
  // The server's own (older) value arrives while the write is pending: the write shadows it.
  EXPECT_EQ(s.serverSet("/a/x", "5"), Lines{});
  // The server then takes the write.
  EXPECT_EQ(s.serverSet("/a/x", "2"), Lines{});
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
}

TEST(SyncTreeScenario, RevertedWriteRestoresTheServerData) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1,"z":3})");
  EXPECT_EQ(s.userSet("/a/x", "5"),
            (Lines{"h1 child_changed x 5 prev=null", R"(h1 value /a {"x":5,"z":3})"}));
  EXPECT_EQ(s.userSet("/a/y", "4"),
            (Lines{"h1 child_added y 4 prev=x", R"(h1 value /a {"x":5,"y":4,"z":3})"}));
  EXPECT_EQ(s.ack(1, /*revert=*/true),
            (Lines{"h1 child_changed x 1 prev=null", R"(h1 value /a {"x":1,"y":4,"z":3})"}));
  EXPECT_EQ(s.ack(2, /*revert=*/true),
            (Lines{"h1 child_removed y 4", R"(h1 value /a {"x":1,"z":3})"}));
}

TEST(SyncTreeScenario, RevertOfAShadowedWriteChangesNothing) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1})");
  s.userSet("/a/x", "2");
  s.userSet("/a", R"({"x":3})");
  // The later write at /a covers the first completely.
  EXPECT_EQ(s.ack(1, true), Lines{});
  EXPECT_EQ(s.ack(2, true), (Lines{"h1 child_changed x 1 prev=null", R"(h1 value /a {"x":1})"}));
}

TEST(SyncTreeScenario, WritesBelowALeafApplyOneByOne) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  EXPECT_EQ(s.serverData(a, "5"), (Lines{"h1 value /a 5"}));
  // The merge turns the leaf into children; removing the child again leaves nothing, not the leaf.
  EXPECT_EQ(s.userUpdate("/a", R"({"b":1})"),
            (Lines{"h1 child_added b 1 prev=null", R"(h1 value /a {"b":1})"}));
  EXPECT_EQ(s.userSet("/a/b", "null"), (Lines{"h1 child_removed b 1", "h1 value /a null"}));
  EXPECT_EQ(s.tree().calcCompleteEventCache(Path("/a"))->description(), "null");
  // Without the merge the removal below the leaf changes nothing: the leaf is back.
  EXPECT_EQ(s.ack(1, /*revert=*/true), (Lines{"h1 value /a 5"}));
  EXPECT_EQ(s.ack(2, /*revert=*/true), Lines{});
}

TEST(SyncTreeScenario, ServerChildrenArrivingBelowALeafMeetTheWritesInOrder) {
  SyncScenario s;
  QuerySpec root = query("/");
  s.listen(root);
  EXPECT_EQ(s.serverData(root, R"({"a":5})"),
            (Lines{"h1 child_added a 5 prev=null", R"(h1 value / {"a":5})"}));
  // Below the leaf the removal changes nothing.
  EXPECT_EQ(s.userSet("/a/b", "null"), Lines{});
  // Once the server's data there has children, the pending removal applies to them.
  EXPECT_EQ(s.serverSet("/a/b", "1"), (Lines{"h1 child_removed a 5", "h1 value / null"}));
  EXPECT_EQ(s.ack(1),
            (Lines{R"(h1 child_added a {"b":1} prev=null)", R"(h1 value / {"a":{"b":1}})"}));
}

TEST(SyncTreeScenario, NestedWritesAndMerges) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"b":{"c":1},"e":5})");
  EXPECT_EQ(s.userUpdate("/a", R"({"b/d":2,"e":null,"f":6})"),
            (Lines{"h1 child_removed e 5", "h1 child_added f 6 prev=b",
                   R"(h1 child_changed b {"c":1,"d":2} prev=null)",
                   R"(h1 value /a {"b":{"c":1,"d":2},"f":6})"}));
  EXPECT_EQ(s.userSet("/a/b/c", "7"), (Lines{R"(h1 child_changed b {"c":7,"d":2} prev=null)",
                                             R"(h1 value /a {"b":{"c":7,"d":2},"f":6})"}));
  // Reverting the merge keeps the later deep write.
  EXPECT_EQ(s.ack(1, true), (Lines{"h1 child_removed f 6", "h1 child_added e 5 prev=b",
                                   R"(h1 child_changed b {"c":7} prev=null)",
                                   R"(h1 value /a {"b":{"c":7},"e":5})"}));
  EXPECT_EQ(s.ack(2, true), (Lines{R"(h1 child_changed b {"c":1} prev=null)",
                                   R"(h1 value /a {"b":{"c":1},"e":5})"}));
}

TEST(SyncTreeScenario, DeepListenerSeesWritesAbove) {
  SyncScenario s;
  QuerySpec deep = query("/a/b");
  s.listen(deep);
  s.serverData(deep, R"({"c":1})");
  EXPECT_EQ(s.userSet("/a", R"({"b":{"c":2},"x":1})"),
            (Lines{"h1 child_changed c 2 prev=null", R"(h1 value /a/b {"c":2})"}));
  EXPECT_EQ(s.userUpdate("/a", R"({"b/d":3})"),
            (Lines{"h1 child_added d 3 prev=c", R"(h1 value /a/b {"c":2,"d":3})"}));
  EXPECT_EQ(s.userUpdate("/", R"({"a/b":null})"),
            (Lines{"h1 child_removed c 2", "h1 child_removed d 3", "h1 value /a/b null"}));
}

TEST(SyncTreeScenario, ServerMergeUpdatesChildren) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1,"y":2})");
  EXPECT_EQ(s.serverUpdate("/a", R"({"x":null,"y":3,"z":4})"),
            (Lines{"h1 child_removed x 1", "h1 child_added z 4 prev=y",
                   "h1 child_changed y 3 prev=null", R"(h1 value /a {"y":3,"z":4})"}));
}

// A merge is one change: the location keeps its priority while its children go and come, and
// whichever of their keys comes first; the events stay those of the children.
TEST(SyncTreeScenario, AMergeThatEmptiesAndRefillsALocationKeepsItsPriority) {
  SyncScenario s;
  QuerySpec l = query("/l");
  s.listen(l);
  s.serverData(l, R"({"b":1,".priority":"p"})");
  EXPECT_EQ(s.serverUpdate("/l", R"({"a":2,"b":null})"),
            (Lines{"h1 child_removed b 1", "h1 child_added a 2 prev=null",
                   R"(h1 value /l {".priority":"p","a":2})"}));
  EXPECT_EQ(s.userUpdate("/l", R"({"é":3,"a":null})"),
            (Lines{"h1 child_removed a 2", "h1 child_added é 3 prev=null",
                   R"(h1 value /l {".priority":"p","é":3})"}));
  EXPECT_EQ(s.serverUpdate("/l", R"({"é":3,"a":null})"), Lines{});
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
  // Below a child, and with a priority written among the children.
  s.serverSet("/l", R"({"x":{"a":1,".priority":"q"},".priority":"p"})");
  EXPECT_EQ(s.userUpdate("/l", R"({"x/a":null,"x/é":2})"),
            (Lines{R"(h1 child_changed x {".priority":"q","é":2} prev=null)",
                   R"(h1 value /l {".priority":"p","x":{".priority":"q","é":2}})"}));
  EXPECT_EQ(s.serverUpdate("/l", R"({"x/a":null,"x/é":2})"), Lines{});
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
  EXPECT_EQ(s.serverUpdate("/l", R"({".priority":"n","x":null,"y":1})"),
            (Lines{R"(h1 child_removed x {".priority":"q","é":2})", "h1 child_added y 1 prev=null",
                   R"(h1 value /l {".priority":"n","y":1})"}));
}

TEST(SyncTreeScenario, ValueEventsWaitUntilTheDataIsComplete) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  // A local child write is shown as a child, but the location is not known completely yet.
  EXPECT_EQ(s.userSet("/a/b", "1"), Lines{"h1 child_added b 1 prev=null"});
  // The listen completes with no data at the location: now it is complete.
  EXPECT_EQ(s.completeListen(a), Lines{R"(h1 value /a {"b":1})"});
}

TEST(SyncTreeScenario, CompletedListenOnNullDataRaisesNullValue) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  EXPECT_EQ(s.serverData(a, "null"), Lines{"h1 value /a null"});
  EXPECT_EQ(s.serverSet("/a", "null"), Lines{});
}

TEST(SyncTreeScenario, LocalWriteOfTheWholeLocationIsComplete) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  EXPECT_EQ(s.userSet("/a", R"({"b":1})"),
            (Lines{"h1 child_added b 1 prev=null", R"(h1 value /a {"b":1})"}));
}

TEST(SyncTreeScenario, NewRegistrationGetsInitialEventsInOrder) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"c":3,"a":1,"b":{".value":2,".priority":1}})");
  // Priority order: children without priority first (by key), then by priority.
  EXPECT_EQ(s.listen(a), (Lines{"h2 child_added a 1 prev=null", "h2 child_added c 3 prev=a",
                                R"(h2 child_added b {".priority":1,".value":2} prev=c)",
                                R"(h2 value /a {"a":1,"b":{".priority":1,".value":2},"c":3})"}));
  // A value-only registration receives only the value.
  EXPECT_EQ(s.listen(a, s.registration({EventType::Value})),
            (Lines{R"(h3 value /a {"a":1,"b":{".priority":1,".value":2},"c":3})"}));
  // Both registrations receive later events, in registration order per event.
  EXPECT_EQ(s.serverSet("/a/d", "4"),
            (Lines{"h1 child_added d 4 prev=c", "h2 child_added d 4 prev=c",
                   R"(h1 value /a {"a":1,"b":{".priority":1,".value":2},"c":3,"d":4})",
                   R"(h2 value /a {"a":1,"b":{".priority":1,".value":2},"c":3,"d":4})",
                   R"(h3 value /a {"a":1,"b":{".priority":1,".value":2},"c":3,"d":4})"}));
}

TEST(SyncTreeScenario, AValueOnlyViewRaisesAValueExactlyWhenTheDataChanges) {
  // Such a view records no child changes; whether its data changed decides alone.
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a, s.registration({EventType::Value}));
  EXPECT_EQ(s.serverData(a, R"({"x":{"y":1},"z":2})"),
            (Lines{R"(h1 value /a {"x":{"y":1},"z":2})"}));
  EXPECT_EQ(s.serverSet("/a", R"({"x":{"y":1},"z":2})"), Lines{});
  EXPECT_EQ(s.serverSet("/a", R"({"x":{"y":3},"z":2})"),
            (Lines{R"(h1 value /a {"x":{"y":3},"z":2})"}));
  EXPECT_EQ(s.userSet("/a/z", "2"), Lines{});
  EXPECT_EQ(s.userSet("/a/x", "null"), (Lines{R"(h1 value /a {"z":2})"}));
  // A child registration joining the view hears child changes from then on.
  s.listen(a, s.registration({EventType::ChildAdded}));
  EXPECT_EQ(s.userSet("/a/w", "4"),
            (Lines{"h2 child_added w 4 prev=null", R"(h1 value /a {"w":4,"z":2})"}));
}

TEST(SyncTreeScenario, IncompleteDataGivesChildEventsButNoValue) {
  SyncScenario s;
  s.listen(query("/a"));
  s.userSet("/a/x", "1");
  EXPECT_EQ(s.listen(query("/a")), Lines{"h2 child_added x 1 prev=null"});
}

TEST(SyncTreeScenario, PriorityChangeMovesTheChild) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":{".value":1,".priority":1},"y":{".value":2,".priority":2}})");
  EXPECT_EQ(
      s.serverSet("/a/x/.priority", "3"),
      (Lines{R"(h1 child_moved x {".priority":3,".value":1} prev=y)",
             R"(h1 child_changed x {".priority":3,".value":1} prev=y)",
             R"(h1 value /a {"x":{".priority":3,".value":1},"y":{".priority":2,".value":2}})"}));
}

TEST(SyncTreeScenario, ChildValueChangeMovesTheChildInAnOrderByChildQuery) {
  SyncScenario s;
  QuerySpec q = query("/s", byChild("n"));
  s.listen(q);
  s.serverData(q, R"({"a":{"n":1},"b":{"n":2},"c":{"n":3}})");
  EXPECT_EQ(s.serverSet("/s/a/n", "5"),
            (Lines{R"(h1 child_moved a {"n":5} prev=c)", R"(h1 child_changed a {"n":5} prev=c)",
                   R"(h1 value /s {"a":{"n":5},"b":{"n":2},"c":{"n":3}})"}));
  // A change that keeps the order is no move.
  EXPECT_EQ(s.serverSet("/s/b/x", "true"),
            (Lines{R"(h1 child_changed b {"n":2,"x":true} prev=null)",
                   R"(h1 value /s {"a":{"n":5},"b":{"n":2,"x":true},"c":{"n":3}})"}));
}

TEST(SyncTreeScenario, EventsOfOneChangeComeRemovedAddedMovedChangedValue) {
  SyncScenario s;
  QuerySpec q = query("/s", byValue());
  s.listen(q);
  s.serverData(q, R"({"a":1,"b":2,"c":3})");
  EXPECT_EQ(
      s.serverSet("/s", R"({"a":4,"c":3,"d":0})"),
      (Lines{"h1 child_removed b 2", "h1 child_added d 0 prev=null", "h1 child_moved a 4 prev=c",
             "h1 child_changed a 4 prev=c", R"(h1 value /s {"a":4,"c":3,"d":0})"}));
}

TEST(SyncTreeScenario, HiddenWritesRaiseNothingButCountForTheCompleteCache) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1})");
  EXPECT_EQ(s.userSet("/a/x", "2", std::nullopt, /*visible=*/false), Lines{});
  WriteId hidden = s.lastWriteId();
  EXPECT_TRUE(s.tree().calcCompleteEventCache(Path("/a"))->equals(*node(R"({"x":2})")));
  EXPECT_TRUE(s.tree().calcCompleteEventCache(Path("/a"), {hidden})->equals(*node(R"({"x":1})")));
  EXPECT_TRUE(s.tree().calcCompleteEventCache(Path("/a/x"))->equals(*node("2")));
  // Nothing known at an unrelated location.
  EXPECT_EQ(s.tree().calcCompleteEventCache(Path("/b")), nullptr);
  // A complete write makes a location known without server data.
  s.userSet("/b", R"({"c":1})");
  EXPECT_TRUE(s.tree().calcCompleteEventCache(Path("/b/c"))->equals(*node("1")));
  EXPECT_EQ(s.ack(hidden), Lines{});
}

TEST(SyncTreeScenario, WriteIdsMustIncrease) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, "null");
  s.userSet("/a/x", "1", 5);
  EXPECT_EQ(s.userSet("/a/y", "1", 5), Lines{});
  EXPECT_EQ(s.userSet("/a/y", "1", 4), Lines{});
  EXPECT_EQ(s.tree().calcCompleteEventCache(Path("/a/y"))->isEmpty(), true);
  // An unknown acknowledgement is ignored.
  EXPECT_EQ(s.ack(99), Lines{});
}

TEST(SyncTreeScenario, RemoveAllWritesRevertsEverything) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"x":1})");
  s.userSet("/a/x", "2");
  s.userUpdate("/a", R"({"y":3})");
  EXPECT_EQ(
      format(s.tree().removeAllWrites()),
      (Lines{"h1 child_removed y 3", "h1 child_changed x 1 prev=null", R"(h1 value /a {"x":1})"}));
  EXPECT_EQ(format(s.tree().removeAllWrites()), Lines{});
}

TEST(SyncTreeScenario, RangeMergeReplacesTheRange) {
  SyncScenario s;
  QuerySpec a = query("/a");
  s.listen(a);
  s.serverData(a, R"({"a":1,"b":2,"c":3,"d":4})");
  // (a, c]: b and c are replaced by the updates' b and c (c gone); a and d stay.
  std::vector<RangeMerge> ranges{RangeMerge(Path("/a"), Path("/c"), node(R"({"b":20,"bb":5})"))};
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/a"), ranges)),
            (Lines{"h1 child_removed c 3", "h1 child_added bb 5 prev=b",
                   "h1 child_changed b 20 prev=a", R"(h1 value /a {"a":1,"b":20,"bb":5,"d":4})"}));
  // Open start and end replace everything.
  std::vector<RangeMerge> all{RangeMerge(std::nullopt, std::nullopt, node(R"({"z":1})"))};
  EXPECT_EQ(
      format(s.tree().applyServerRangeMerge(Path("/a"), all)),
      (Lines{"h1 child_removed a 1", "h1 child_removed b 20", "h1 child_removed bb 5",
             "h1 child_removed d 4", "h1 child_added z 1 prev=null", R"(h1 value /a {"z":1})"}));
  // Nobody listens at /q: nothing happens.
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/q"), all)), Lines{});
}

TEST(SyncTreeScenario, RangeMergeBeforeTheListenCompletesKeepsTheDataItsHashDescribed) {
  SyncScenario s;
  QuerySpec child = query("/p/a");
  s.listen(child);
  s.serverData(child, R"({"x":1})");
  QuerySpec parent = query("/p");
  EXPECT_EQ(s.listen(parent), (Lines{R"(h2 child_added a {"x":1} prev=null)"}));
  // The listen's hash covered "a"; the server answers with the range after its last value only.
  std::vector<RangeMerge> ranges{RangeMerge(Path("/a/x"), std::nullopt, node(R"({"b":2})"))};
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/p"), ranges)),
            (Lines{"h2 child_added b 2 prev=a", R"(h2 value /p {"a":{"x":1},"b":2})"}));
  EXPECT_EQ(s.completeListen(parent), Lines{});
}

TEST(SyncTreeScenario, TaggedRangeMergeBeforeTheListenCompletesKeepsTheDataItsHashDescribed) {
  SyncScenario s;
  QuerySpec child = query("/t/a");
  s.listen(child);
  s.serverData(child, R"({"x":1})");
  QuerySpec firstTwo = query("/t", byKey().limitToFirst(2));
  EXPECT_EQ(s.listen(firstTwo), (Lines{R"(h2 child_added a {"x":1} prev=null)"}));
  auto tag = s.tree().tagForQuery(firstTwo);
  ASSERT_TRUE(tag.has_value());
  std::vector<RangeMerge> ranges{RangeMerge(Path("/a/x"), std::nullopt, node(R"({"b":2})"))};
  EXPECT_EQ(format(s.tree().applyTaggedServerRangeMerge(Path("/t"), ranges, *tag)),
            (Lines{"h2 child_added b 2 prev=a", R"(h2 value /t {"a":{"x":1},"b":2})"}));
}

TEST(SyncTreeScenario, RemovingWithAnErrorRaisesCancelEvents) {
  SyncScenario s;
  QuerySpec a = query("/a");
  auto first = s.registration();
  auto second = s.registration();
  s.listen(a, first);
  s.listen(a, second);
  EXPECT_EQ(s.completeListen(a, "permission_denied"), (Lines{"h1 cancel /a", "h2 cancel /a"}));
  // Every registration is gone; the failed listen is not stopped again.
  EXPECT_EQ(s.takeListenLog(), Lines{"start /a:{}"});
  EXPECT_EQ(s.serverSet("/a", "1"), Lines{});
}

TEST(SyncTreeScenario, AFailedListenOfAQueryLoadingAllDataCancelsEveryViewThatSharesIt) {
  SyncScenario s;
  QuerySpec byV = query("/p", byChild("v"));
  QuerySpec plain = query("/p");
  QuerySpec firstTwo = query("/p", byKey().limitToFirst(2));
  s.listen(byV);
  s.listen(plain);
  s.listen(firstTwo);
  s.tree().keepQuery(plain, true);
  // One default listen serves all three.
  EXPECT_EQ(s.takeListenLog(), Lines{"start /p:{}"});
  EXPECT_EQ(s.completeListen(byV, "permission_denied"),
            (Lines{"h1 cancel /p", "h2 cancel /p", "h3 cancel /p"}));
  EXPECT_EQ(s.takeListenLog(), Lines{});
  EXPECT_EQ(s.serverSet("/p", "1"), Lines{});
  // Keeping the location synced again asks for a new listen.
  s.tree().keepQuery(plain, true);
  EXPECT_EQ(s.takeListenLog(), Lines{"start /p:{}"});
}

TEST(SyncTreeScenario, RemovalMatchesByHandleAndTheAllHandle) {
  SyncScenario s;
  QuerySpec a = query("/a");
  auto first = s.registration();
  auto second = s.registration();
  s.listen(a, first);
  s.listen(a, second);
  s.serverData(a, "1");
  auto matcher = ValueEventRegistration::create(first->handle(), nullptr);
  EXPECT_EQ(s.unlisten(a, matcher), Lines{});
  EXPECT_EQ(s.serverSet("/a", "2"), Lines{"h2 value /a 2"});
  auto all = ValueEventRegistration::create(kAllHandle, nullptr);
  EXPECT_EQ(s.unlisten(a, all), Lines{});
  EXPECT_EQ(s.serverSet("/a", "3"), Lines{});
  EXPECT_EQ(s.activeListens().size(), 0u);
}

}  // namespace
}  // namespace dz::database::testing

namespace dz::database::testing {
namespace {

TEST(SyncTreeScenario, OddServerInputChangesNothingOrApplies) {
  SyncScenario s;
  QuerySpec a = query("/a");
  QuerySpec window = query("/a", byChild("n").limitToFirst(2));
  s.listen(a);
  s.listen(window);
  s.serverData(a, R"({"x":{"n":1},"y":{"n":2},"z":3})");
  // A path through a priority means nothing.
  EXPECT_EQ(s.serverSet("/a/x/.priority/deep", "1"), Lines{});
  // An empty merge, a range merge with the ends reversed, a second acknowledgement.
  EXPECT_EQ(s.serverUpdate("/a", "{}"), Lines{});
  std::vector<RangeMerge> reversed{RangeMerge(Path("/z"), Path("/b"), node(R"({"q":1})"))};
  EXPECT_NO_THROW(s.tree().applyServerRangeMerge(Path("/a"), reversed));
  s.userSet("/a/w", "1");
  EXPECT_NO_THROW(s.ack(s.lastWriteId()));
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
  // A listen completing twice, and with an unknown status after being cancelled.
  EXPECT_EQ(s.completeListen(a), Lines{});
  EXPECT_NO_THROW(s.completeListen(a, "expired_token"));
  EXPECT_NO_THROW(s.completeListen(a, "ok"));
  EXPECT_EQ(s.serverSet("/a", "1"), Lines{});
}

// A window whose own server data is only its tagged window refills from the complete data of the
// listen above it, as the server operation leaves that data: the merge removes a child of the
// window and makes a new one to take its place in one go.
TEST(SyncTreeScenario, AFilteredWindowRefillsFromTheDataAServerOperationLeaves) {
  SyncScenario s;
  QuerySpec firstTwo = query("/p/a", byChild("n").limitToFirst(2));
  s.listen(firstTwo);
  auto tag = s.tree().tagForQuery(firstTwo);
  ASSERT_TRUE(tag.has_value());
  QuerySpec all = query("/p");
  s.listen(all);
  s.serverData(all, R"({"a":{"w":{"n":1},"x":{"n":2},"z":{"n":4}}})");
  // The window's own answer, arriving late, makes its server data the filtered window again.
  s.tree().applyTaggedQueryOverwrite(Path("/p/a"), node(R"({"w":{"n":1},"x":{"n":2}})"), *tag);
  Lines events;
  auto shown = [&](const std::string& handle) {
    std::string value;
    for (const auto& line : events) {
      if (line.rfind(handle + " value /p/a", 0) == 0) value = line;
    }
    return value;
  };
  events = s.serverUpdate("/p/a", R"({"x":null,"y/n":3})");
  EXPECT_EQ(shown("h1"), R"(h1 value /p/a {"w":{"n":1},"y":{"n":3}})");
  events = s.serverSet("/p/a/w", "null");
  EXPECT_EQ(shown("h1"), R"(h1 value /p/a {"y":{"n":3},"z":{"n":4}})");
}

TEST(CompleteServerData, IsBuiltOnFirstUseOnlyAndThenKept) {
  int builds = 0;
  NodePtr data = node(R"({"a":1})");
  {
    CompleteServerData unused([&] {
      ++builds;
      return data;
    });
  }
  EXPECT_EQ(builds, 0);
  CompleteServerData lazy([&] {
    ++builds;
    return data;
  });
  EXPECT_EQ(lazy.node(), data);
  EXPECT_EQ(lazy.node(), data);
  EXPECT_EQ(builds, 1);
  EXPECT_EQ(CompleteServerData().node(), nullptr);
  EXPECT_EQ(CompleteServerData(data).node(), data);
}

}  // namespace
}  // namespace dz::database::testing
