// Scenarios of a location's priority while writes are pending: the view shows the server data with
// the pending writes replayed over it in order, so a write that empties the location drops its
// priority even when the server data under it changes after the write was made.
#include <gtest/gtest.h>

#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

TEST(SyncPriorityScenario, AServerChangeUnderPendingWritesDecidesWhetherTheyEmptyTheLocation) {
  {
    // The server's change lets the pending removal of d empty the location: no priority.
    SyncScenario s;
    QuerySpec l = query("/l");
    s.listen(l);
    s.serverData(l, R"({"a":1,"d":1,".priority":"p"})");
    s.userSet("/l/d", "null");
    s.userSet("/l/b", "2");
    EXPECT_EQ(s.serverUpdate("/l", R"({"a":null})"),
              (Lines{"h1 child_removed a 1", R"(h1 value /l {"b":2})"}));
  }
  {
    // The server's new child keeps the location from emptying: its priority stays.
    SyncScenario s;
    QuerySpec l = query("/l");
    s.listen(l);
    s.serverData(l, R"({"a":1,".priority":"p"})");
    s.userSet("/l/a", "null");
    EXPECT_EQ(s.userSet("/l/b", "2"),
              (Lines{"h1 child_added b 2 prev=null", R"(h1 value /l {"b":2})"}));
    EXPECT_EQ(s.serverUpdate("/l", R"({"c":3})"),
              (Lines{"h1 child_added c 3 prev=b", R"(h1 value /l {".priority":"p","b":2,"c":3})"}));
  }
}

TEST(SyncPriorityScenario, ServerDataThatEmptiesUnderPendingWritesTakesItsPriorityAlong) {
  SyncScenario s;
  QuerySpec r = query("/r");
  s.listen(r);
  s.serverData(r, R"({"a":{"v":1},".priority":1})");
  s.userUpdate("/r", R"({"e/v":1})");
  EXPECT_EQ(s.serverSet("/r", "null"),
            (Lines{"h1 child_removed a {\"v\":1}", R"(h1 value /r {"e":{"v":1}})"}));
  s.serverUpdate("/r", R"({"e/v":1})");
  EXPECT_EQ(s.ack(s.lastWriteId()), Lines{});
}

TEST(SyncPriorityScenario, AWriteThatEmptiesTheLocationCountsEvenWhenALaterOneRefillsTheSamePlace) {
  SyncScenario s;
  QuerySpec l = query("/l");
  s.listen(l);
  s.serverData(l, R"({"a":1,".priority":"p"})");
  s.userSet("/l/a", "null");
  EXPECT_EQ(s.userSet("/l/a", "2"),
            (Lines{"h1 child_added a 2 prev=null", R"(h1 value /l {"a":2})"}));
  // A new priority from the server goes where the first write emptied the location.
  EXPECT_EQ(s.serverSet("/l/.priority", R"("q")"), Lines{});
}

TEST(SyncPriorityScenario,
     AWriteThatKeepsTheLocationFromEmptyingCountsEvenWhenALaterOneReplacesIt) {
  SyncScenario s;
  QuerySpec l = query("/l");
  s.listen(l);
  s.serverData(l, R"({"a":1,".priority":"p"})");
  s.userSet("/l/c", "1");
  s.userSet("/l/a", "null");
  EXPECT_EQ(s.userSet("/l/c", "2"),
            (Lines{R"(h1 child_changed c 2 prev=null)", R"(h1 value /l {".priority":"p","c":2})"}));
  EXPECT_EQ(s.serverSet("/l/.priority", R"("q")"),
            (Lines{R"(h1 value /l {".priority":"q","c":2})"}));
}

TEST(SyncPriorityScenario, AChildThatEmptiesUnderAPendingWriteComesBackWithoutItsPriority) {
  SyncScenario s;
  QuerySpec r = query("/r");
  s.listen(r);
  s.serverData(r, R"({"b":{"w":2,".priority":2},"e":1})");
  EXPECT_EQ(s.userSet("/r/b/w", "2"), Lines{});
  // The pending write shows the same value where the server's child went, but not its priority.
  EXPECT_EQ(s.serverSet("/r/b/w", "null"), (Lines{R"(h1 child_moved b {"w":2} prev=null)",
                                                  R"(h1 child_changed b {"w":2} prev=null)",
                                                  R"(h1 value /r {"b":{"w":2},"e":1})"}));
}

TEST(SyncPriorityScenario, APendingPriorityOnALocationWithoutDataAppliesWhenDataArrives) {
  SyncScenario s;
  QuerySpec l = query("/l");
  s.listen(l);
  s.serverData(l, "null");
  s.userSet("/l/.priority", R"("p")");
  EXPECT_EQ(s.serverSet("/l/a", "1"),
            (Lines{"h1 child_added a 1 prev=null", R"(h1 value /l {".priority":"p","a":1})"}));
}

}  // namespace
}  // namespace dz::database::testing
