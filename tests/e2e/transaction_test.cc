// Transactions and on-disconnect writes end to end: clients in several processes contending for
// one counter through the development server, and a client process killed outright.
#include <signal.h>

#include <boost/json/parse.hpp>
#include <fstream>
#include <sstream>

#include "platform/exception.h"
#include "tests/e2e/repo_api_fixture.h"

namespace dz::e2e {
namespace {

using dz::testing::Child;
using dz::testing::readFile;

class TransactionEndToEndTest : public RepoApiTest {
 protected:
  bool readyCount(size_t count) {
    return server_->waitUntil(
        [&] {
          auto ready = server_->snapshot("/ready");
          return ready.is_object() && ready.as_object().size() >= count;
        },
        kApiWait);
  }
};

TEST_F(TransactionEndToEndTest, TwentyClientsInFourProcessesCountExactlyTo500) {
  constexpr int kProcesses = 4;
  constexpr int kClientsEach = 5;
  // Each lost race reruns a client's whole batch, at a cost that grows with the square of its
  // size: 100 each took 8.5 s of processor time, 25 take 2.
  constexpr int kIncrementsEach = 25;
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    std::string name = "p" + std::to_string(p);
    children.push_back(spawnClient({"counter", server_->databaseUrl(), name,
                                    std::to_string(kClientsEach), std::to_string(kIncrementsEach)},
                                   name + ".log"));
  }
  // All start together, so each client's increments go out as one batch once it loses a race.
  ASSERT_TRUE(readyCount(kProcesses * kClientsEach));
  server_->set("/go", boost::json::value(true));
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ(children[p]->waitForExit(std::chrono::seconds(180)), 0)
        << readFile(sandbox_.root() / ("p" + std::to_string(p) + ".log"));
  }
  EXPECT_EQ(server_->snapshot("/counter"),
            boost::json::value(kProcesses * kClientsEach * kIncrementsEach));
}

TEST_F(TransactionEndToEndTest, AKilledClientsOnDisconnectWritesRunOnTheServer) {
  auto killed = spawnClient({"presence", server_->databaseUrl(), "k"}, "presence.log");
  ASSERT_TRUE(readyCount(1)) << readFile(sandbox_.root() / "presence.log");
  auto watcher = client("watcher")->reference().child("presence/k");
  recordValues(watcher.child("set"), "set");
  recordValues(watcher.child("cancel"), "cancel");
  recordValues(watcher.child("update/online"), "update");
  watcher.child("priority")
      .observeEventType(DataEventType::Value, [seen = seenPtr_](const DataSnapshot& snapshot) {
        seen->add("priority", Value(Value::Array{snapshot.value(), snapshot.priority()}));
      });
  ASSERT_TRUE(seen_.waitForLast("set", Value(true)));
  double before = static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
  ASSERT_TRUE(killed->signal(SIGKILL));
  EXPECT_TRUE(seen_.waitForLast("set", Value(false)));
  EXPECT_TRUE(seen_.waitForLast("update", Value(false)));
  EXPECT_TRUE(seen_.waitForLast("priority", Value(Value::Array{Value(false), Value(5)})));
  EXPECT_EQ(seen_.of("cancel"), std::vector<Value>{Value(true)});
  auto seenAt = server_->snapshot("/presence/k/update/seen");
  ASSERT_TRUE(seenAt.is_number());
  EXPECT_GE(seenAt.to_number<double>(), before);
}

TEST_F(TransactionEndToEndTest, BlocksCommitAbortOrFailAndMisuseIsRefusedAtOnce) {
  auto database = client("one");
  DatabaseReference ref = database->reference().child("tx");
  auto identity = [](MutableData& data) { return TransactionResult::successWithValue(data); };
  EXPECT_THROW(database->reference().child(".info/x").runTransactionBlock(identity), Exception);
  EXPECT_THROW(ref.runTransactionBlock(nullptr), Exception);
  EXPECT_THROW(ref.onDisconnectSetValue(Value(Value::Map{{"bad.key", 1}})), Exception);
  EXPECT_THROW(ref.onDisconnectUpdateChildValues({{"a", Value(Value::Map{{"$x", 1}})}}), Exception);

  auto outcome = [seen = seenPtr_](const std::string& key) {
    return [seen, key](const ErrorPtr& error, bool committed,
                       const std::optional<DataSnapshot>& snapshot) {
      seen->add(
          key, Value(Value::Array{Value(error ? error->localizedDescription() : "ok"),
                                  Value(committed), snapshot ? snapshot->value() : Value("none")}));
    };
  };
  // Data that cannot be stored throws inside the block: only that transaction fails.
  ref.child("bad").runTransactionBlock(
      [](MutableData& data) {
        data.setValue(Value(Value::Map{{"bad.key", 1}}));
        return TransactionResult::successWithValue(data);
      },
      outcome("bad"));
  ref.child("aborted").runTransactionBlock([](MutableData&) { return TransactionResult::abort(); },
                                           outcome("aborted"));
  ref.child("good").runTransactionBlock(
      [](MutableData& data) {
        data.childDataByAppendingPath("n").setValue(Value(1));
        return TransactionResult::successWithValue(data);
      },
      outcome("good"), false);
  ASSERT_TRUE(seen_.waitFor("good", [](const auto& seen) { return !seen.empty(); }));
  Value bad = seen_.of("bad").at(0);
  EXPECT_EQ(bad.asArray()[0].asString().rfind("The transaction's update function threw", 0), 0u);
  EXPECT_EQ(bad.asArray()[1], Value(false));
  EXPECT_EQ(seen_.of("aborted").at(0), Value(Value::Array{Value("ok"), Value(false), Value()}));
  EXPECT_EQ(seen_.of("good").at(0),
            Value(Value::Array{Value("ok"), Value(true), Value(Value::Map{{"n", 1}})}));
  EXPECT_TRUE(server_->waitUntil(
      [&] { return server_->snapshot("/tx") == boost::json::parse(R"({"good":{"n":1}})"); }));
}

}  // namespace
}  // namespace dz::e2e
