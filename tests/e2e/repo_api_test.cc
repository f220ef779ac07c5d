// The public database interface end to end: two clients through the development server.
#include <algorithm>
#include <random>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"
#include "tests/e2e/repo_api_fixture.h"

namespace dz::e2e {
namespace {

Value map(std::initializer_list<std::pair<const std::string, Value>> entries) {
  return Value(Value::Map(entries));
}

// Local writes raise events at once, without the server; the other client hears of them only
// once the server has them.
void writesAreLocalAtOnceAndRemoteAfterTheServer(Database& a, Database& b,
                                                 devserver::DevServer& server,
                                                 const std::shared_ptr<Seen>& seenPtr) {
  Seen& seen = *seenPtr;
  a.reference().child("items").observeEventType(
      DataEventType::ChildAdded,
      [seenPtr](const DataSnapshot& snapshot) { seenPtr->add("a added", *snapshot.key()); });
  b.reference().child("items").observeEventType(
      DataEventType::ChildAdded,
      [seenPtr](const DataSnapshot& snapshot) { seenPtr->add("b added", *snapshot.key()); });
  a.goOffline();
  a.reference().child("items/x").setValue("local");
  ASSERT_TRUE(seen.waitForLast("a added", "x"));
  EXPECT_TRUE(server.snapshot("/items/x").is_null());
  EXPECT_TRUE(seen.of("b added").empty());
  a.goOnline();
  ASSERT_TRUE(seen.waitForLast("b added", "x"));
  EXPECT_EQ(server.snapshot("/items/x"), "local");
}

TEST_F(RepoApiTest, TwoClientsLocalEventsAtOnceRemoteEventsAfterTheServer) {
  auto a = client("a");
  auto b = client("b");
  writesAreLocalAtOnceAndRemoteAfterTheServer(*a, *b, *server_, seenPtr_);
}

TEST_F(RepoApiTest, OverTls) {
  server_.reset();
  startServer(true);
  auto a = client("a");
  auto b = client("b");
  EXPECT_EQ(a->reference().URL().rfind("https://", 0), 0u);
  writesAreLocalAtOnceAndRemoteAfterTheServer(*a, *b, *server_, seenPtr_);
}

// The children a query on {key: {"score": n}} must show, computed directly.
Value expectedWindow(const Value& all, int64_t from, size_t limit) {
  std::vector<std::pair<int64_t, std::string>> rows;
  if (const Value::Map* children = all.getMap()) {
    for (const auto& [key, child] : *children) {
      int64_t score = child["score"].asInt();
      if (score >= from) rows.emplace_back(score, key);
    }
  }
  std::sort(rows.begin(), rows.end());
  if (rows.size() > limit) rows.resize(limit);
  Value::Map window;
  for (const auto& [score, key] : rows) window.emplace(key, map({{"score", score}}));
  return window.empty() ? Value() : Value(window);
}

TEST_F(RepoApiTest, AQueryWithOrderBoundAndLimitSeesExactlyItsWindowLive) {
  auto writer = client("writer");
  auto reader = client("reader");
  DatabaseQuery query = reader->reference()
                            .child("scores")
                            .queryOrderedByChild("score")
                            .queryStartingAtValue(10)
                            .queryLimitedToFirst(3);
  recordValues(query, "window");
  // Keys up to "k5", the last two of them.
  recordValues(reader->reference()
                   .child("scores")
                   .queryOrderedByKey()
                   .queryEndingAtValue("k5")
                   .queryLimitedToLast(2),
               "keys");
  std::mt19937 random(7);
  Value::Map all;
  for (int step = 0; step < 25; ++step) {
    std::string key = "k" + std::to_string(random() % 8);
    if (random() % 4 == 0) {
      all.erase(key);
      writer->reference().child("scores").child(key).removeValue();
    } else {
      int64_t score = static_cast<int64_t>(random() % 30);
      all[key] = map({{"score", score}});
      writer->reference().child("scores").child(key).setValue(map({{"score", score}}));
    }
    Value expected = expectedWindow(Value(all), 10, 3);
    ASSERT_TRUE(seen_.waitForLast("window", expected))
        << "step " << step << ": expected " << expected.toJsonString() << ", last seen "
        << (seen_.of("window").empty() ? "nothing" : seen_.of("window").back().toJsonString());
    Value::Map keys;
    for (auto it = all.upper_bound("k5"); it != all.begin() && keys.size() < 2;) {
      --it;
      keys.insert(*it);
    }
    ASSERT_TRUE(seen_.waitForLast("keys", keys.empty() ? Value() : Value(keys))) << "step " << step;
  }
}

// One client's update reaches another client whose window it reshuffles: a child that the
// update pushes out and brings back again, unchanged, raises nothing.
TEST_F(RepoApiTest, AWindowRaisesNothingForAChildAnUpdatePushesOutAndBringsBack) {
  auto writer = client("writer");
  auto reader = client("reader");
  server_->setJson("/m", R"({"a":{"x":1},"b":1,"c":2})");
  recordValues(reader->reference().child("m"), "all");
  DatabaseQuery firstTwo =
      reader->reference().child("m").queryOrderedByValue().queryLimitedToFirst(2);
  for (auto [type, name] : {std::pair{DataEventType::ChildAdded, "added"},
                            {DataEventType::ChildRemoved, "removed"},
                            {DataEventType::ChildChanged, "changed"},
                            {DataEventType::ChildMoved, "moved"}}) {
    firstTwo.observeEventType(type, [seen = seenPtr_, name](const DataSnapshot& snapshot) {
      seen->add("events", std::string(name) + " " + *snapshot.key());
    });
  }
  recordValues(firstTwo, "window");
  ASSERT_TRUE(seen_.waitForLast("window", map({{"b", 1}, {"c", 2}})));
  writer->reference().child("m").updateChildValues({{"a", 0}, {"b", Value()}});
  ASSERT_TRUE(seen_.waitForLast("window", map({{"a", 0}, {"c", 2}})));
  EXPECT_EQ(Value(Value::Array(seen_.of("events"))).toJsonString(),
            R"(["added b","added c","removed b","added a"])");
  EXPECT_TRUE(seen_.waitForLast("all", map({{"a", 0}, {"c", 2}})));
}

// An update is one change: a location it empties on the way to new children keeps its priority
// (and so do the nodes below it) for the server, the writer and a listener, in either key order.
TEST_F(RepoApiTest, AnUpdateThatEmptiesAndRefillsALocationKeepsItsPriorityEverywhere) {
  auto a = client("a");
  auto b = client("b");
  struct Case {
    const char* data;
    Value::Map update;
    const char* expected;
  };
  std::vector<Case> cases{{R"({"b": 1, ".priority": "p"})",
                           {{"a", 2}, {"b", Value()}},
                           R"({"a": 2, ".priority": "p"})"},
                          {R"({"a": 1, ".priority": "b"})",
                           {{"é", 2}, {"a", Value()}},
                           R"({"é": 2, ".priority": "b"})"},
                          {R"({"x": {"a": 1, ".priority": "q"}, ".priority": "p"})",
                           {{"x/a", Value()}, {"x/é", 2}},
                           R"({"x": {"é": 2, ".priority": "q"}, ".priority": "p"})"}};
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string at = "/l" + std::to_string(i);
    Value data = *Value::parseJson(cases[i].data);
    Value expected = *Value::parseJson(cases[i].expected);
    server_->setJson(at, cases[i].data);
    for (const auto& [name, database] : {std::pair{"a", a}, {"b", b}}) {
      database->reference().child(at).observeEventType(
          DataEventType::Value, [seen = seenPtr_, key = name + at](const DataSnapshot& snapshot) {
            seen->add(key, snapshot.valueInExportFormat());
          });
      ASSERT_TRUE(seen_.waitForLast(name + at, data)) << at;
    }
    b->reference().child(at).updateChildValues(
        cases[i].update, [seen = seenPtr_, at](const ErrorPtr& error, const DatabaseReference&) {
          seen->add("written" + at, !error);
        });
    ASSERT_TRUE(seen_.waitForLast("written" + at, true)) << at;
    EXPECT_EQ(Value::fromJson(server_->snapshot(at)).toJsonString(), expected.toJsonString());
    EXPECT_TRUE(seen_.waitForLast("a" + at, expected))
        << at << ": " << seen_.of("a" + at).back().toJsonString();
    EXPECT_EQ(seen_.of("b" + at).back().toJsonString(), expected.toJsonString());
  }
}

TEST_F(RepoApiTest, ObserveOnceCallsItsBlockOnce) {
  auto a = client("a");
  server_->set("/once", 1);
  auto calls = std::make_shared<std::atomic<int>>(0);
  a->reference().child("once").observeSingleEventOfType(
      DataEventType::Value, [calls, seen = seenPtr_](const DataSnapshot& snapshot) {
        ++*calls;
        seen->add("once", snapshot.value());
      });
  ASSERT_TRUE(seen_.waitForLast("once", 1));
  // Later changes, local and remote, reach no one.
  a->reference().child("once").setValue(
      2, [seen = seenPtr_](const ErrorPtr& error, const DatabaseReference&) {
        seen->add("written", !error);
      });
  ASSERT_TRUE(seen_.waitForLast("written", true));
  server_->set("/once", 3);
  recordValues(a->reference().child("once"), "after");
  ASSERT_TRUE(seen_.waitForLast("after", 3));
  EXPECT_EQ(calls->load(), 1);
}

TEST_F(RepoApiTest, InfoConnectedFollowsDropsAndGoOfflineGoOnline) {
  auto a = client("a");
  recordValues(a->reference().child(".info/connected"), "connected");
  ASSERT_TRUE(seen_.waitForLast("connected", 1));
  EXPECT_EQ(seen_.of("connected").front(), false);
  server_->databaseService().dropConnections();
  ASSERT_TRUE(seen_.waitFor("connected", [](const std::vector<Value>& seen) {
    return std::count(seen.begin(), seen.end(), Value(1)) == 2;
  }));
  a->goOffline();
  ASSERT_TRUE(seen_.waitForLast("connected", 0));
  a->goOnline();
  ASSERT_TRUE(seen_.waitForLast("connected", 1));
}

TEST_F(RepoApiTest, RefusedListensAndWritesReportTheirErrors) {
  server_->databaseService().denyPath("/locked", devserver::Access::kReadWrite);
  auto a = client("a");
  a->reference().child("locked").observeEventType(
      DataEventType::Value, [](const DataSnapshot&) {},
      [seen = seenPtr_](const ErrorPtr& error) { seen->add("cancel", error->code()); });
  a->reference()
      .child("locked/x")
      .setValue(1, [seen = seenPtr_](const ErrorPtr& error, const DatabaseReference& ref) {
        seen->add("write", Value(Value::Array{error ? Value(error->code()) : Value(), *ref.key()}));
      });
  EXPECT_TRUE(seen_.waitForLast("cancel", kErrorCodePermissionDenied));
  EXPECT_TRUE(seen_.waitForLast("write", Value(Value::Array{kErrorCodePermissionDenied, "x"})));
}

// Data nests at most 1,000 levels below the root, wherever it is written: the server refuses a
// write that would nest deeper, since no read from the root could show it, and reads there go on
// showing what the server holds.
TEST_F(RepoApiTest, AWriteNestingDataTooDeepBelowTheRootIsRefused) {
  auto a = client("a");
  auto b = client("b");
  auto nested = [](size_t levels) {
    Value value = 1;
    for (size_t i = 0; i < levels; ++i) value = map({{"n", std::move(value)}});
    return value;
  };
  auto write = [&](const char* at, const Value& value, const Value& outcome) {
    a->reference().child(at).setValue(
        value, [seen = seenPtr_](const ErrorPtr& error, const DatabaseReference&) {
          seen->add("written", error ? Value(error->code()) : Value("ok"));
        });
    return seen_.waitForLast("written", outcome);
  };
  ASSERT_TRUE(write("plain", 1, "ok"));
  // `deep` is one level below the root: its deepest value is at level 1,000, then 1,001.
  ASSERT_TRUE(write("deep", nested(kMaxObjectDepth - 1), "ok"));
  ASSERT_TRUE(write("deep", nested(kMaxObjectDepth), kErrorCodeOther));
  Value expected = map({{"plain", 1}, {"deep", nested(kMaxObjectDepth - 1)}});
  for (const auto& [name, database] : {std::pair{"a", a}, {"b", b}}) {
    database->reference().observeSingleEventOfType(
        DataEventType::Value, [seen = seenPtr_, name](const DataSnapshot& snapshot) {
          seen->add(name, snapshot.value());
        });
    EXPECT_TRUE(seen_.waitForLast(name, expected)) << name;
  }
}

}  // namespace
}  // namespace dz::e2e
