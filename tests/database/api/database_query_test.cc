// The checks of query builders, references and the database entry, all on the caller's thread.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <thread>

#include "database/api/database.h"
#include "database/core/repo.h"
#include "database/core/repo_manager.h"
#include "database/snapshot/query_params.h"
#include "platform/exception.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

// The exception's name and reason, or "none".
std::string thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "none";
}

// Builders never touch the repository, so a detached reference serves.
DatabaseReference detached(const char* path = "/items") {
  return DatabaseReference(nullptr, Path(path));
}

TEST(DatabaseQueryTest, LimitsAndOrderingsRefuseMisuseWithTheirMessages) {
  DatabaseReference ref = detached();
  EXPECT_EQ(thrown([&] { ref.queryLimitedToFirst(0); }),
            "InvalidQueryParameter: Limit can't be zero");
  EXPECT_EQ(thrown([&] { ref.queryLimitedToLast(2147483648ULL); }),
            "InvalidQueryParameter: Limit must be less than 2,147,483,648");
  EXPECT_EQ(thrown([&] { ref.queryLimitedToLast(2147483647ULL); }), "none");
  EXPECT_EQ(thrown([&] { ref.queryLimitedToFirst(1).queryLimitedToLast(1); }),
            "InvalidQueryParameter: Can't call queryLimitedToLast: if a limit was previously set");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByKey().queryOrderedByChild(".priority"); }),
            "InvalidQueryParameter: (queryOrderedByChild:) .priority is invalid.  Use "
            "queryOrderedByPriority: instead.");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByValue().queryOrderedByKey(); }),
            "InvalidQueryParameter: Cannot use multiple queryOrderedBy calls!");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByChild("/"); }),
            "InvalidQueryParameter: (queryOrderedByChild:) with an empty path is invalid.  Use "
            "queryOrderedByValue: instead.");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByChild("a.b"); }).substr(0, 21), "InvalidPathValidation");
  EXPECT_EQ(ref.queryOrderedByChild("a/b").queryParams().index()->queryDefinition(), "a/b");
}

TEST(DatabaseQueryTest, BoundsAreCheckedAgainstTheirOrdering) {
  DatabaseReference ref = detached();
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(1).queryOrderedByKey(); }),
            "InvalidQueryParameter: Can't use queryStartingAtValue: with other types than string "
            "in combination with queryOrderedByKey");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByKey().queryStartingAtValue(Value()); }),
            "InvalidQueryParameter: Can't use queryStartingAtValue: with other types than string "
            "in combination with queryOrderedByKey");
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(true); }),
            "InvalidQueryParameter: When using queryOrderedByPriority, values provided to "
            "queryStartingAtValue:, queryEndingAtValue:, or queryEqualToValue: must be valid "
            "priorities.");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByValue().queryStartingAtValue(true); }), "none");
  EXPECT_EQ(thrown([&] { ref.queryEndingAtValue(1).queryEqualToValue(2); }),
            "InvalidQueryParameter: Can't call queryEqualToValue: after queryStartingAtValue, "
            "queryEndingAtValue or queryEqualToValue was previously called");
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(Value(Value::Array{})); }),
            "InvalidQueryParameter: You can only pass nil, NSString or NSNumber to "
            "queryStartingAtValue:");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByKey().queryEqualToValue("a", "k"); }),
            "InvalidQueryParameter: You must use queryEqualToValue: instead of "
            "queryEqualTo:childKey: when using queryOrderedByKey:");
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(1, "a/b"); }).substr(0, 20),
            "InvalidKeyValidation");
  DatabaseQuery query =
      ref.queryOrderedByChild("score").queryStartingAtValue(3, "k").queryLimitedToLast(2);
  EXPECT_EQ(query.queryParams().wireProtocolParams(),
            (Value::Map{{"i", "score"}, {"sp", 3}, {"sn", "k"}, {"l", 2}, {"vf", "r"}}));
}

// The ordering's and the second bound's messages come before the conversion's: a bound the
// ordering refuses never reaches it.
TEST(DatabaseQueryTest, BoundsAreCheckedBeforeTheirValueIsConverted) {
  DatabaseReference ref = detached();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const std::string priorities =
      "InvalidQueryParameter: When using queryOrderedByPriority, values provided to "
      "queryStartingAtValue:, queryEndingAtValue:, or queryEqualToValue: must be valid "
      "priorities.";
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(nan); }), priorities);
  EXPECT_EQ(thrown([&] { ref.queryOrderedByPriority().queryEndingAtValue(nan, "k"); }), priorities);
  EXPECT_EQ(thrown([&] { ref.queryEqualToValue(nan); }), priorities);
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(1).queryStartingAtValue(nan); }),
            "InvalidQueryParameter: Can't call queryStartingAtValue: after queryStartingAtValue "
            "or queryEqualToValue was previously called");
  EXPECT_EQ(thrown([&] { ref.queryEqualToValue(1).queryEndingAtValue(infinity, "k"); }),
            "InvalidQueryParameter: Can't call queryEndingAtValue:childKey: after "
            "queryEndingAtValue or queryEqualToValue was previously called");
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(1).queryEqualToValue(nan, "k"); }),
            "InvalidQueryParameter: Can't call queryEqualToValue:childKey: after "
            "queryStartingAtValue, queryEndingAtValue or queryEqualToValue was previously called");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByKey().queryStartingAtValue(infinity); }),
            "InvalidQueryParameter: Can't use queryStartingAtValue: with other types than string "
            "in combination with queryOrderedByKey");
  EXPECT_EQ(thrown([&] { ref.queryOrderedByKey().queryEqualToValue(nan); }),
            "InvalidQueryParameter: Can't use queryStartingAtValue: with other types than string "
            "in combination with queryOrderedByKey");
  EXPECT_EQ(
      thrown([&] { ref.queryOrderedByKey().queryEndingAtValue("m").queryEndingAtValue("z"); }),
      "InvalidQueryParameter: Can't call queryEndingAtValue: after queryEndingAtValue or "
      "queryEqualToValue was previously called");
  // What the orderings let through is still refused where it cannot be stored.
  EXPECT_EQ(thrown([&] { ref.queryOrderedByValue().queryStartingAtValue(nan); }).substr(0, 19),
            "InvalidDezuvuraData");
  EXPECT_EQ(thrown([&] { ref.queryStartingAtValue(infinity); }).substr(0, 19),
            "InvalidDezuvuraData");
}

TEST(DatabaseQueryTest, ObservationRefusesUnknownTypesAndMissingBlocksBeforeQueueing) {
  // A detached query has no repository: reaching the queue would crash, so a refusal proves it
  // happened first.
  DatabaseReference ref = detached();
  DatabaseQuery query = ref.queryLimitedToFirst(1);
  auto block = [](const DataSnapshot&) {};
  EXPECT_EQ(thrown([&] { query.observeEventType(static_cast<DataEventType>(5), block); }),
            "KnownEventTypeValidation: (observeEventType:withBlock:) Unknown event type: 5");
  EXPECT_EQ(thrown([&] { ref.observeEventType(static_cast<DataEventType>(5), block); }),
            "KnownEventTypeValidation: (observeEventType:withBlock:withCancelBlock:) Unknown event "
            "type: 5");
  EXPECT_EQ(
      thrown([&] { query.observeEventType(static_cast<DataEventType>(-1), block); }).substr(0, 24),
      "KnownEventTypeValidation");
  EXPECT_EQ(
      thrown([&] { query.observeSingleEventOfType(DataEventType::Value, nullptr); }).substr(0, 26),
      "NSInvalidArgumentException");
  // One-shot observations register through the full form, whose label their refusals name.
  EXPECT_EQ(thrown([&] { ref.observeSingleEventOfType(static_cast<DataEventType>(5), block); }),
            "KnownEventTypeValidation: (observeEventType:andPreviousSiblingKeyWithBlock:"
            "withCancelBlock:) Unknown event type: 5");
  EXPECT_EQ(thrown([&] { detached("/.info/connected").keepSynced(true); }),
            "NSInvalidArgumentException: Can't keep query on .info tree synced (this already is "
            "the case).");
}

TEST(DatabaseReferenceTest, NavigationAndWritesCheckOnTheCallersThread) {
  DatabaseReference root = detached("/");
  EXPECT_FALSE(root.key());
  EXPECT_FALSE(root.parent());
  EXPECT_EQ(root.child("a/b").key(), "b");
  EXPECT_EQ(root.child("a").parent()->path(), Path());
  EXPECT_EQ(root.child(".info/connected").path().toString(), "/.info/connected");
  EXPECT_EQ(thrown([&] { root.child("a").child(".info"); }).substr(0, 21), "InvalidPathValidation");
  EXPECT_EQ(thrown([&] { root.child(""); }).substr(0, 21), "InvalidPathValidation");
  DatabaseReference info = root.child(".info");
  EXPECT_EQ(thrown([&] { info.childByAutoId(); }),
            "WritablePathValidation: (childByAutoId:) failed to path /.info: Can't modify data "
            "under .info");
  EXPECT_EQ(thrown([&] { info.setValue(1); }).substr(0, 22), "WritablePathValidation");
  DatabaseReference items = root.child("items");
  EXPECT_EQ(thrown([&] {
              items.setValue(Value(Value::Map{{"a.b", 1}}));
            }).substr(0, 19),
            "InvalidDezuvuraData");
  EXPECT_EQ(thrown([&] { items.setPriority(true); }).substr(0, 19), "InvalidDezuvuraData");
  EXPECT_ANY_THROW(items.updateChildValues(Value::Map{{"a", 1}, {"b.c", 2}}));
  MutableData data(EmptyNode::emptyNode());
  EXPECT_EQ(thrown([&] { data.hasChildAtPath("a.b"); }).substr(0, 21), "InvalidPathValidation");
  EXPECT_EQ(thrown([&] { data.childDataByAppendingPath("a#"); }).substr(0, 21),
            "InvalidPathValidation");
  EXPECT_EQ(thrown([&] { data.setPriority(Value(Value::Array{})); }).substr(0, 19),
            "InvalidDezuvuraData");
}

class DatabaseEntryTest : public ::testing::Test {
 protected:
  // A new app each time, so that tests may repeat in one process.
  static core::AppPtr app(const std::string& name, std::optional<std::string> url) {
    static int counter = 0;
    core::Options options;
    options.databaseURL = std::move(url);
    std::string unique = name + "-" + std::to_string(++counter);
    core::App::configure(unique, options);
    return core::App::appNamed(unique);
  }
  dz::testing::ScopedSandbox sandbox_;
};

TEST_F(DatabaseEntryTest, OneDatabasePerAppWithItsSessionAndRefusedURLs) {
  auto good = app("entry-good", "http://ns.dz.test:1");
  auto database = Database::databaseForApp(good);
  EXPECT_EQ(Database::databaseForApp(good), database);
  EXPECT_EQ(database->config()->sessionIdentifier(), good->name());
  EXPECT_EQ(thrown([&] { Database::databaseForApp(app("entry-path", "http://ns.dz.test:1/a/b")); }),
            "InvalidDatabaseURL: Configured Database URL 'http://ns.dz.test:1/a/b' is invalid. It "
            "should point to the root of a Dezuvura Database but it includes a path: /a/b");
  EXPECT_EQ(
      thrown([&] { Database::databaseForApp(app("entry-none", std::nullopt)); }).substr(0, 18),
      "MissingDatabaseURL");
  EXPECT_EQ(thrown([&] { Database::databaseForApp(nullptr); }),
            "InvalidDZApp: nil DZApp instance passed to databaseForApp.");
}

TEST_F(DatabaseEntryTest, RefusedCallsLeaveTheDatabaseUnusedAndSettingsOpen) {
  auto database = Database::databaseForApp(app("entry-unused", "http://ns.dz.test:1"));
  EXPECT_ANY_THROW(database->referenceWithPath("a.b"));
  EXPECT_ANY_THROW(database->referenceFromURL("http://other.dz.test:1/x"));
  EXPECT_ANY_THROW(database->referenceFromURL(""));
  EXPECT_FALSE(database->config()->isFrozen());
  auto named = DatabaseConfig::configForName("unused");
  EXPECT_ANY_THROW(DatabaseReference::fromURL("http://ns.dz.test:1/a.b", named));
  EXPECT_ANY_THROW(DatabaseReference::fromURL("http://dz.test:1/a", named));
  EXPECT_FALSE(named->isFrozen());
  EXPECT_EQ(database->repo(), nullptr);
  database->setPersistenceCacheSizeBytes(2 * 1024 * 1024);
  database->goOffline();
  EXPECT_EQ(thrown([&] { database->setPersistenceEnabled(true); }),
            "DZDatabaseAlreadyInUse: Calls to setPersistenceEnabled must be made before any other "
            "usage of DZDatabase instance.");
  EXPECT_EQ(database->referenceFromURL("http://ns.dz.test:1/a/b").key(), "b");
  EXPECT_EQ(database->reference().child("a b").URL(), "http://ns.dz.test:1/a%20b");
  EXPECT_EQ(database->reference().database(), database);
}

TEST_F(DatabaseEntryTest, FirstUseFromManyThreadsMakesOneRepository) {
  auto database = Database::databaseForApp(app("entry-race", "http://ns.dz.test:1"));
  database->goOffline();  // no connection attempts meanwhile
  std::vector<std::shared_ptr<Repo>> repos(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < repos.size(); ++i) {
    threads.emplace_back([&, i] { repos[i] = database->reference().repo(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& repo : repos) EXPECT_EQ(repo, repos[0]);
}

TEST_F(DatabaseEntryTest, AURLReferenceAndTheAppsDatabaseNeverCollide) {
  // The default configuration and the default app's database share the session "default".
  DatabaseReference::goOffline();
  DatabaseReference fromUrl = DatabaseReference::fromURL("http://ns.dz.test:1/x");
  if (!core::App::defaultApp()) {
    core::Options options;
    options.databaseURL = "http://ns.dz.test:1";
    core::App::configure(options);
  }
  DatabaseReference fromApp = Database::database()->reference();
  EXPECT_NE(fromApp.repo(), fromUrl.repo());
  EXPECT_EQ(DatabaseReference::fromURL("http://ns.dz.test:1/y").repo(), fromUrl.repo());
  EXPECT_EQ(Database::database()->reference().repo(), fromApp.repo());
  EXPECT_EQ(fromUrl.database()->app(), nullptr);
  DatabaseReference::goOffline();
}

}  // namespace
}  // namespace dz::database
