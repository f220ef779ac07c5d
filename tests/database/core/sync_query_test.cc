// Scenarios of filtered queries in the sync tree: limit windows, range bounds with keys, tagged
// and untagged data at one location, and the listens started and stopped for them.
#include <gtest/gtest.h>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

TEST(SyncQueryScenario, RemovalInsideALimitWindowPullsTheNextChildFromTheLocationCache) {
  SyncScenario s;
  QuerySpec all = query("/items");
  QuerySpec firstTwo = query("/items", byKey().limitToFirst(2));
  s.listen(all);
  s.serverData(all, R"({"a":1,"b":2,"c":3})");
  EXPECT_EQ(s.listen(firstTwo), (Lines{"h2 child_added a 1 prev=null", "h2 child_added b 2 prev=a",
                                       R"(h2 value /items {"a":1,"b":2})"}));
  // The complete listen at the location covers the query: no listen of its own.
  EXPECT_EQ(s.takeListenLog(), Lines{"start /items:{}"});
  EXPECT_EQ(
      s.serverSet("/items/a", "null"),
      (Lines{"h1 child_removed a 1", R"(h1 value /items {"b":2,"c":3})", "h2 child_removed a 1",
             "h2 child_added c 3 prev=b", R"(h2 value /items {"b":2,"c":3})"}));
  // A local removal inside the window works the same way.
  EXPECT_EQ(s.userSet("/items/b", "null"),
            (Lines{"h1 child_removed b 2", R"(h1 value /items {"c":3})", "h2 child_removed b 2",
                   R"(h2 value /items {"c":3})"}));
  // A child added before the window's end enters, pushing the last one out.
  s.serverSet("/items/d", "4");
  EXPECT_EQ(s.serverSet("/items/0", "0"),
            (Lines{"h1 child_added 0 0 prev=null", R"(h1 value /items {"0":0,"c":3,"d":4})",
                   "h2 child_removed d 4", "h2 child_added 0 0 prev=null",
                   R"(h2 value /items {"0":0,"c":3})"}));
}

TEST(SyncQueryScenario, LimitWindowWithTaggedDataOnly) {
  SyncScenario s;
  QuerySpec firstTwo = query("/items", byKey().limitToFirst(2));
  s.listen(firstTwo);
  EXPECT_EQ(s.takeListenLog(), Lines{R"(start /items:{"i":".key","l":2,"vf":"l"} tag 1)"});
  EXPECT_EQ(s.serverData(firstTwo, R"({"a":1,"b":2})"),
            (Lines{"h1 child_added a 1 prev=null", "h1 child_added b 2 prev=a",
                   R"(h1 value /items {"a":1,"b":2})"}));
  // Nothing is known past the window: the removal leaves it short until the server fills it.
  EXPECT_EQ(s.taggedSet("/items/a", "null", 1),
            (Lines{"h1 child_removed a 1", R"(h1 value /items {"b":2})"}));
  EXPECT_EQ(s.taggedSet("/items/c", "3", 1),
            (Lines{"h1 child_added c 3 prev=b", R"(h1 value /items {"b":2,"c":3})"}));
  // Tags that name no query change nothing.
  EXPECT_EQ(s.taggedSet("/items/c", "4", 7), Lines{});
}

TEST(SyncQueryScenario, AWriteIntoAWindowShowsTheLocalWindowUntilTheServersArrives) {
  SyncScenario s;
  QuerySpec firstTwo = query("/items", byKey().limitToFirst(2));
  s.listen(firstTwo);
  s.serverData(firstTwo, R"({"a":1,"b":2})");
  // The client knows nothing past "b": its own window is short...
  EXPECT_EQ(s.userSet("/items/a", "null"),
            (Lines{"h1 child_removed a 1", R"(h1 value /items {"b":2})"}));
  // ...until the server's window, filled from data the client never held, arrives.
  EXPECT_EQ(s.taggedSet("/items", R"({"b":2,"c":3})", 1),
            (Lines{"h1 child_added c 3 prev=b", R"(h1 value /items {"b":2,"c":3})"}));
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
}

TEST(SyncQueryScenario, APriorityChangeAloneMovesAndChangesAChildUnderTheValueIndex) {
  SyncScenario s;
  QuerySpec byValues = query("/v", byValue());
  s.listen(byValues);
  s.serverData(byValues, R"({"a":1,"b":2})");
  EXPECT_EQ(s.serverSet("/v/a/.priority", "5"),
            (Lines{R"(h1 child_moved a {".priority":5,".value":1} prev=null)",
                   R"(h1 child_changed a {".priority":5,".value":1} prev=null)",
                   R"(h1 value /v {"a":{".priority":5,".value":1},"b":2})"}));
}

TEST(SyncQueryScenario, DeepWritesBelowChildrenOutsideATaggedWindowMakeNoChildren) {
  SyncScenario s;
  QuerySpec firstTwo = query("/items", byKey().limitToFirst(2));
  s.listen(firstTwo);
  s.serverData(firstTwo, R"({"a":1,"b":2})");
  // The server knows more of "c" than this write: it stays out of the window.
  EXPECT_EQ(s.userSet("/items/c/x", "5"), Lines{});
  // Room in the window is not filled with the part of "c" that was written.
  EXPECT_EQ(s.userSet("/items/a", "null"),
            (Lines{"h1 child_removed a 1", R"(h1 value /items {"b":2})"}));
  // Reverting the removal at the root of the view leaves "c" out as well.
  EXPECT_EQ(s.ack(2, /*revert=*/true),
            (Lines{"h1 child_added a 1 prev=null", R"(h1 value /items {"a":1,"b":2})"}));
  // A child that would sort first in the window is not made up of a write below it either.
  EXPECT_EQ(s.userSet("/items/0/x", "5"), Lines{});
  EXPECT_EQ(s.userUpdate("/items", R"({"a":9})"),
            (Lines{"h1 child_changed a 9 prev=null", R"(h1 value /items {"a":9,"b":2})"}));
  EXPECT_EQ(s.ack(4, /*revert=*/true),
            (Lines{"h1 child_changed a 1 prev=null", R"(h1 value /items {"a":1,"b":2})"}));
}

TEST(SyncQueryScenario, AChildLeavingATaggedWindowGoesEvenWithAWriteBelowIt) {
  SyncScenario s;
  QuerySpec firstTwo = query("/items", byChild("v").limitToFirst(2));
  s.listen(firstTwo);
  s.serverData(firstTwo, R"({"a":{"v":1},"b":{"v":2}})");
  EXPECT_EQ(s.userSet("/items/b/x", "5"),
            (Lines{R"(h1 child_changed b {"v":2,"x":5} prev=a)",
                   R"(h1 value /items {"a":{"v":1},"b":{"v":2,"x":5}})"}));
  // The server moves "b" out of the window: only the written part of it is known now.
  EXPECT_EQ(s.taggedSet("/items/b", "null", 1),
            (Lines{R"(h1 child_removed b {"v":2,"x":5})", R"(h1 value /items {"a":{"v":1}})"}));
}

TEST(SyncQueryScenario, AnAcknowledgedWriteLeavesATaggedWindowTheServerMovedOn) {
  SyncScenario s;
  QuerySpec first = query("/w", byKey().limitToFirst(1));
  s.listen(first);
  s.serverData(first, R"({"b":2})");
  EXPECT_EQ(s.userSet("/w/a", "1"), (Lines{"h1 child_removed b 2", "h1 child_added a 1 prev=null",
                                           R"(h1 value /w {"a":1})"}));
  // The server took the write, then another client removed "a" again: the window is "b" once
  // more, hidden by the pending write until its acknowledgement.
  EXPECT_EQ(s.taggedSet("/w", R"({"b":2})", 1), Lines{});
  EXPECT_EQ(s.ack(1), (Lines{"h1 child_removed a 1", "h1 child_added b 2 prev=null",
                             R"(h1 value /w {"b":2})"}));
}

TEST(SyncQueryScenario, LimitToLastWithAdditions) {
  SyncScenario s;
  QuerySpec lastTwo = query("/l", byKey().limitToLast(2));
  s.listen(lastTwo);
  EXPECT_EQ(s.serverData(lastTwo, R"({"a":1,"b":2})"),
            (Lines{"h1 child_added a 1 prev=null", "h1 child_added b 2 prev=a",
                   R"(h1 value /l {"a":1,"b":2})"}));
  EXPECT_EQ(s.userSet("/l/c", "3"), (Lines{"h1 child_removed a 1", "h1 child_added c 3 prev=b",
                                           R"(h1 value /l {"b":2,"c":3})"}));
  // A key before the window stays out.
  EXPECT_EQ(s.userSet("/l/0", "0"), Lines{});
  // Reverting the addition brings the first child back from the server data.
  EXPECT_EQ(s.ack(1, true), (Lines{"h1 child_removed c 3", "h1 child_added a 1 prev=null",
                                   R"(h1 value /l {"a":1,"b":2})"}));
}

TEST(SyncQueryScenario, LimitByChildValueReordersTheWindow) {
  SyncScenario s;
  QuerySpec all = query("/s");
  QuerySpec top = query("/s", byChild("n").limitToLast(2));
  s.listen(all, s.registration({EventType::Value}));
  s.serverData(all, R"({"a":{"n":1},"b":{"n":2},"c":{"n":3}})");
  EXPECT_EQ(s.listen(top),
            (Lines{R"(h2 child_added b {"n":2} prev=null)", R"(h2 child_added c {"n":3} prev=b)",
                   R"(h2 value /s {"b":{"n":2},"c":{"n":3}})"}));
  // a climbs to the top: b leaves the window.
  EXPECT_EQ(s.serverSet("/s/a/n", "9"),
            (Lines{R"(h1 value /s {"a":{"n":9},"b":{"n":2},"c":{"n":3}})",
                   R"(h2 child_removed b {"n":2})", R"(h2 child_added a {"n":9} prev=c)",
                   R"(h2 value /s {"a":{"n":9},"c":{"n":3}})"}));
  // c drops to the bottom: it leaves and b comes back.
  EXPECT_EQ(s.serverSet("/s/c/n", "0"),
            (Lines{R"(h1 value /s {"a":{"n":9},"b":{"n":2},"c":{"n":0}})",
                   R"(h2 child_removed c {"n":3})", R"(h2 child_added b {"n":2} prev=null)",
                   R"(h2 value /s {"a":{"n":9},"b":{"n":2}})"}));
}

TEST(SyncQueryScenario, AChildPushedOutAndBroughtBackByOneMergeRaisesNothing) {
  SyncScenario s;
  QuerySpec all = query("/m");
  QuerySpec firstTwo = query("/m", byValue().limitToFirst(2));
  s.listen(all, s.registration({EventType::Value}));
  s.serverData(all, R"({"a":{"x":1},"b":1,"c":2})");
  s.listen(firstTwo);
  // "a" enters first and pushes "c" out; removing "b" brings "c" back, unchanged.
  const Lines merged{R"(h1 value /m {"a":0,"c":2})", "h2 child_removed b 1",
                     "h2 child_added a 0 prev=null", R"(h2 value /m {"a":0,"c":2})"};
  EXPECT_EQ(s.userUpdate("/m", R"({"a":0,"b":null})"), merged);
  EXPECT_EQ(s.ack(s.lastWriteId(), /*revert=*/true),
            (Lines{R"(h1 value /m {"a":{"x":1},"b":1,"c":2})", "h2 child_removed a 0",
                   "h2 child_added b 1 prev=null", R"(h2 value /m {"b":1,"c":2})"}));
  EXPECT_EQ(s.serverUpdate("/m", R"({"a":0,"b":null})"), merged);
}

TEST(SyncQueryScenario, RangeBoundsWithKeys) {
  SyncScenario s;
  QuerySpec range =
      query("/r", byChild("score").startAt(leaf("5"), std::string("b")).endAt(leaf("10")));
  s.listen(range);
  EXPECT_EQ(
      s.serverData(range, R"({"a":{"score":5},"b":{"score":5},"c":{"score":7},
                                    "d":{"score":10},"e":{"score":11}})"),
      (Lines{R"(h1 child_added b {"score":5} prev=null)", R"(h1 child_added c {"score":7} prev=b)",
             R"(h1 child_added d {"score":10} prev=c)",
             R"(h1 value /r {"b":{"score":5},"c":{"score":7},"d":{"score":10}})"}));
  auto tag = s.tree().tagForQuery(range);
  ASSERT_TRUE(tag.has_value());
  // A child entering the query comes whole.
  EXPECT_EQ(s.taggedSet("/r/a/score", "6", *tag), Lines{});
  EXPECT_EQ(
      s.taggedSet("/r/a", R"({"score":6})", *tag),
      (Lines{R"(h1 child_added a {"score":6} prev=b)",
             R"(h1 value /r {"a":{"score":6},"b":{"score":5},"c":{"score":7},"d":{"score":10}})"}));
  EXPECT_EQ(s.userSet("/r/c/score", "12"),
            (Lines{R"(h1 child_removed c {"score":7})",
                   R"(h1 value /r {"a":{"score":6},"b":{"score":5},"d":{"score":10}})"}));
}

TEST(SyncQueryScenario, KeyRangeAndEqualTo) {
  SyncScenario s;
  QuerySpec all = query("/k");
  s.listen(all, s.registration({EventType::Value}));
  s.serverData(all, R"({"a":1,"b":2,"c":3,"d":4})");
  EXPECT_EQ(s.listen(query("/k", byKey().startAt(leaf(R"("b")")).endAt(leaf(R"("c")")))),
            (Lines{"h2 child_added b 2 prev=null", "h2 child_added c 3 prev=b",
                   R"(h2 value /k {"b":2,"c":3})"}));
  EXPECT_EQ(s.listen(query("/k", byValue().startAt(leaf("3")).endAt(leaf("3")))),
            (Lines{"h3 child_added c 3 prev=null", R"(h3 value /k {"c":3})"}));
}

TEST(SyncQueryScenario, TaggedMergesAndRangeMerges) {
  SyncScenario s;
  QuerySpec q = query("/m", byKey().limitToFirst(3));
  s.listen(q);
  s.serverData(q, R"({"a":1,"b":2})");
  EXPECT_EQ(
      format(s.tree().applyTaggedQueryMerge(Path("/m"), merge(R"({"b":null,"c":3})"), 1)),
      (Lines{"h1 child_removed b 2", "h1 child_added c 3 prev=a", R"(h1 value /m {"a":1,"c":3})"}));
  std::vector<RangeMerge> ranges{RangeMerge(std::nullopt, Path("/b"), node(R"({"0":0})"))};
  EXPECT_EQ(format(s.tree().applyTaggedServerRangeMerge(Path("/m"), ranges, 1)),
            (Lines{"h1 child_removed a 1", "h1 child_added 0 0 prev=null",
                   R"(h1 value /m {"0":0,"c":3})"}));
  // A range merge for the tag at another path, or for an unknown tag, changes nothing.
  EXPECT_EQ(format(s.tree().applyTaggedServerRangeMerge(Path("/m/x"), ranges, 1)), Lines{});
  EXPECT_EQ(format(s.tree().applyTaggedServerRangeMerge(Path("/m"), ranges, 2)), Lines{});
  EXPECT_EQ(format(s.tree().applyTaggedQueryMerge(Path("/m"), merge(R"({"c":9})"), 2)), Lines{});
}

TEST(SyncQueryScenario, RangeMergesOverALeaf) {
  SyncScenario s;
  QuerySpec q = query("/m");
  s.listen(q);
  s.serverData(q, "5");
  // A leaf's own value lies before any child: a range with a start leaves it alone...
  std::vector<RangeMerge> fromA{RangeMerge(Path("/a"), std::nullopt, nullptr)};
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/m"), fromA)), Lines{});
  // ...and one with an open start covers it, even when it brings no children.
  std::vector<RangeMerge> upToB{RangeMerge(std::nullopt, Path("/b"), nullptr)};
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/m"), upToB)), (Lines{"h1 value /m null"}));
  s.serverSet("/m", "6");
  std::vector<RangeMerge> children{RangeMerge(Path("/a"), std::nullopt, node(R"({"b":1})"))};
  EXPECT_EQ(format(s.tree().applyServerRangeMerge(Path("/m"), children)),
            (Lines{"h1 child_added b 1 prev=null", R"(h1 value /m {"b":1})"}));
}

TEST(SyncQueryScenario, QueriesThatLoadAllDataShareTheDefaultListenButKeepTheirOrder) {
  SyncScenario s;
  QuerySpec all = query("/o");
  QuerySpec byKeys = query("/o", byKey());
  s.listen(all);
  s.listen(byKeys);
  EXPECT_EQ(s.takeListenLog(), Lines{"start /o:{}"});
  EXPECT_FALSE(s.tree().tagForQuery(byKeys).has_value());
  EXPECT_EQ(
      s.serverData(all, R"({"a":{".value":1,".priority":2},"b":{".value":2,".priority":1}})"),
      (Lines{R"(h1 child_added b {".priority":1,".value":2} prev=null)",
             R"(h1 child_added a {".priority":2,".value":1} prev=b)",
             R"(h1 value /o {"a":{".priority":2,".value":1},"b":{".priority":1,".value":2}})",
             R"(h2 child_added a {".priority":2,".value":1} prev=null)",
             R"(h2 child_added b {".priority":1,".value":2} prev=a)",
             R"(h2 value /o {"a":{".priority":2,".value":1},"b":{".priority":1,".value":2}})"}));
  // Removing the default registration keeps the listen for the other complete query.
  EXPECT_EQ(s.unlisten(all, ValueEventRegistration::create(1, nullptr)), Lines{});
  EXPECT_EQ(s.takeListenLog(), Lines{});
  EXPECT_EQ(s.unlisten(byKeys, ValueEventRegistration::create(2, nullptr)), Lines{});
  EXPECT_EQ(s.takeListenLog(), Lines{"stop /o:{}"});
}

TEST(SyncQueryScenario, TaggedAndUntaggedDataForTheSameLocation) {
  SyncScenario s;
  QuerySpec first = query("/t", byKey().limitToFirst(1));
  QuerySpec all = query("/t");
  s.listen(first);
  s.listen(all);
  // The default listen covers the query: its own listen stops.
  EXPECT_EQ(s.takeListenLog(),
            (Lines{R"(start /t:{"i":".key","l":1,"vf":"l"} tag 1)", "start /t:{}",
                   R"(stop /t:{"i":".key","l":1,"vf":"l"} tag 1)"}));
  EXPECT_EQ(s.serverData(all, R"({"a":1,"b":2})"),
            (Lines{"h1 child_added a 1 prev=null", R"(h1 value /t {"a":1})",
                   "h2 child_added a 1 prev=null", "h2 child_added b 2 prev=a",
                   R"(h2 value /t {"a":1,"b":2})"}));
  // Tagged data reaches only its query's view.
  EXPECT_EQ(s.taggedSet("/t", R"({"a":5})", 1),
            (Lines{"h1 child_changed a 5 prev=null", R"(h1 value /t {"a":5})"}));
  EXPECT_EQ(s.taggedSet("/t/a", "6", 1),
            (Lines{"h1 child_changed a 6 prev=null", R"(h1 value /t {"a":6})"}));
  // Tagged data outside the query's location is ignored.
  EXPECT_EQ(s.taggedSet("/u", "1", 1), Lines{});
  // Untagged data reaches both.
  EXPECT_EQ(s.serverSet("/t/a", "7"),
            (Lines{"h1 child_changed a 7 prev=null", R"(h1 value /t {"a":7})",
                   "h2 child_changed a 7 prev=null", R"(h2 value /t {"a":7,"b":2})"}));
  // Without the default listen the query listens by itself again.
  s.unlisten(all, ValueEventRegistration::create(2, nullptr));
  EXPECT_EQ(s.takeListenLog(),
            (Lines{R"(start /t:{"i":".key","l":1,"vf":"l"} tag 1)", "stop /t:{}"}));
  s.unlisten(first, ValueEventRegistration::create(kAllHandle, nullptr));
  EXPECT_EQ(s.takeListenLog(), Lines{R"(stop /t:{"i":".key","l":1,"vf":"l"} tag 1)"});
  EXPECT_FALSE(s.tree().tagForQuery(first).has_value());
  EXPECT_EQ(s.taggedSet("/t", "1", 1), Lines{});
}

TEST(SyncQueryScenario, ListensFollowViewsUpAndDownTheTree) {
  SyncScenario s;
  auto deep = s.registration();
  auto top = s.registration();
  s.listen(query("/a/b"), deep);
  s.listen(query("/a"), top);
  EXPECT_EQ(s.takeListenLog(), (Lines{"start /a/b:{}", "start /a:{}", "stop /a/b:{}"}));
  // A listener below a complete listen starts nothing.
  s.listen(query("/a/b/c"));
  EXPECT_EQ(s.takeListenLog(), Lines{});
  s.unlisten(query("/a"), top);
  EXPECT_EQ(s.takeListenLog(), (Lines{"start /a/b:{}", "stop /a:{}"}));
  s.unlisten(query("/a/b"), deep);
  EXPECT_EQ(s.takeListenLog(), (Lines{"start /a/b/c:{}", "stop /a/b:{}"}));
}

TEST(SyncQueryScenario, KeepSyncedHoldsAListenWithoutRegistrations) {
  SyncScenario s;
  QuerySpec k = query("/k");
  s.tree().keepQuery(k, true);
  s.tree().keepQuery(k, true);
  EXPECT_EQ(s.takeListenLog(), Lines{"start /k:{}"});
  auto reg = s.registration();
  s.listen(k, reg);
  // Removing every observer leaves the kept listen.
  s.unlisten(k, ValueEventRegistration::create(kAllHandle, nullptr));
  EXPECT_EQ(s.takeListenLog(), Lines{});
  s.tree().keepQuery(k, false);
  EXPECT_EQ(s.takeListenLog(), Lines{"stop /k:{}"});
  s.tree().keepQuery(k, false);
  EXPECT_EQ(s.takeListenLog(), Lines{});
}

TEST(SyncQueryScenario, LettingTheKeptDefaultQueryGoKeepsTheOtherKeptQueries) {
  SyncScenario s;
  QuerySpec all = query("/k");
  QuerySpec firstTwo = query("/k", byKey().limitToFirst(2));
  s.tree().keepQuery(firstTwo, true);
  s.tree().keepQuery(all, true);
  EXPECT_EQ(s.takeListenLog(),
            (Lines{R"(start /k:{"i":".key","l":2,"vf":"l"} tag 1)", "start /k:{}",
                   R"(stop /k:{"i":".key","l":2,"vf":"l"} tag 1)"}));
  // The query kept on its own needs its listen back.
  s.tree().keepQuery(all, false);
  EXPECT_EQ(s.takeListenLog(),
            (Lines{R"(start /k:{"i":".key","l":2,"vf":"l"} tag 1)", "stop /k:{}"}));
  s.tree().keepQuery(firstTwo, false);
  EXPECT_EQ(s.takeListenLog(), (Lines{R"(stop /k:{"i":".key","l":2,"vf":"l"} tag 1)"}));
}

TEST(SyncQueryScenario, ListenHashesDescribeTheServerData) {
  SyncScenario s;
  auto deep = s.registration();
  auto top = s.registration();
  s.listen(query("/small/b"), deep);
  s.listen(query("/small"), top);
  s.serverData(query("/small"), R"({"b":{"c":1}})");
  // Without the listen above, the one below listens again with the data it already has.
  s.unlisten(query("/small"), top);
  const auto& listen = s.activeListens().at(query("/small/b").description());
  EXPECT_EQ(listen.hash->simpleHash(), node(R"({"c":1})")->dataHash());
  EXPECT_FALSE(listen.hash->includeCompoundHash());

  std::string big = "{";
  for (int i = 0; i < 100; ++i)
    big += (i ? "," : "") + std::string("\"k") + std::to_string(i) + "\":\"" +
           std::string(20, 'x') + "\"";
  big += "}";
  QuerySpec large = query("/large");
  s.listen(large);
  s.serverData(large, big);
  const auto& bigListen = s.activeListens().at(large.description());
  EXPECT_TRUE(bigListen.hash->includeCompoundHash());
  EXPECT_EQ(bigListen.hash->simpleHash(), node(big)->dataHash());
  EXPECT_FALSE(bigListen.hash->compoundHash().hashes.empty());
}

TEST(SyncQueryScenario, ListensStartedAgainAfterADefaultListenGoesReturnTheirEvents) {
  std::shared_ptr<SyncTree> tree;
  NodePtr data = node(R"({"i":{"c":true}})");
  auto provider = std::make_shared<ListenProvider>();
  provider->setStartListening([&](const QuerySpec& q, std::optional<QueryTag>,
                                  std::shared_ptr<const SyncTreeHash>,
                                  ListenCompletion onComplete) {
    Events events = tree->applyServerOverwrite(q.path(), data->getChild(q.path()));
    Events done = onComplete(nullptr);
    events.insert(events.end(), done.begin(), done.end());
    return events;
  });
  tree = SyncTree::create(platform::DispatchQueue::main(), provider);
  auto connected = ValueEventRegistration::create(1, [](const DataEvent&) {});
  auto info = ValueEventRegistration::create(2, [](const DataEvent&) {});
  EXPECT_EQ(format(tree->addEventRegistration(connected, query("/i/c"))),
            Lines{"h1 value /i/c true"});
  EXPECT_EQ(format(tree->addEventRegistration(info, query("/i"))),
            Lines{R"(h2 value /i {"c":true})"});
  // While the listen at /i/c is stopped, its data changes; the listen started again brings it.
  data = node(R"({"i":{"c":false}})");
  EXPECT_EQ(format(tree->removeEventRegistration(info, query("/i"))), Lines{"h1 value /i/c false"});
}

}  // namespace
}  // namespace dz::database::testing

namespace dz::database::testing {
namespace {

// A local tree (as for ".info") whose listens are answered at once from data at hand: starting the
// listen applies the data to the very tree that is adding the registration.
TEST(SyncQueryScenario, ListenProviderMayApplyDataWhileTheListenStarts) {
  std::shared_ptr<SyncTree> tree;
  auto provider = std::make_shared<ListenProvider>();
  provider->setStartListening([&tree](const QuerySpec& q, std::optional<QueryTag>,
                                      std::shared_ptr<const SyncTreeHash>,
                                      ListenCompletion onComplete) {
    Events events = tree->applyServerOverwrite(q.path(), node("false"));
    Events done = onComplete(nullptr);
    events.insert(events.end(), done.begin(), done.end());
    return events;
  });
  tree = SyncTree::create(platform::DispatchQueue::main(), provider);
  auto registration = ValueEventRegistration::create(1, [](const DataEvent&) {});
  EXPECT_EQ(format(tree->addEventRegistration(registration, query("/.info/connected"))),
            Lines{"h1 value /.info/connected false"});
  EXPECT_EQ(format(tree->applyServerOverwrite(Path("/.info/connected"), node("1"))),
            Lines{"h1 value /.info/connected 1"});
}

}  // namespace
}  // namespace dz::database::testing
