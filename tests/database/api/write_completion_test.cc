// What write completions hand their callers, over a repository whose server the test plays.
#include <gtest/gtest.h>

#include "database/api/database_reference.h"
#include "database/api/mutable_data.h"
#include "database/api/transaction_result.h"
#include "tests/database/core/repo_fixture.h"

namespace dz::database::testing {
namespace {

// Each completion as a line: its name and "ok" or the error's code and description.
class CompletionLog {
 public:
  DatabaseReference::CompletionBlock write(const std::string& name) {
    return [this, name](const ErrorPtr& error, const DatabaseReference&) { add(name, error); };
  }
  DatabaseReference::TransactionCompletionBlock transaction(const std::string& name) {
    return [this, name](const ErrorPtr& error, bool committed, const std::optional<DataSnapshot>&) {
      add(name + (committed ? " committed" : ""), error);
    };
  }
  std::vector<std::string> lines;

 private:
  void add(const std::string& name, const ErrorPtr& error) {
    lines.push_back(
        name + " " +
        (error ? std::to_string(error->code()) + " " + error->localizedDescription() : "ok"));
  }
};

TransactionResult setOne(MutableData& data) {
  data.setValue(1);
  return TransactionResult::successWithValue(data);
}

TEST_F(OnlineRepoTest, WriteCompletionsCarryTheWrittenLocationAndTheirStatus) {
  DatabaseReference ref(repo_, Path("/a"));
  std::vector<std::string> calls;
  auto record = [&](const std::string& name) {
    return [&calls, name](const ErrorPtr& error, const DatabaseReference& at) {
      calls.push_back(
          name + " " + at.path().toString() + " " +
          (error ? std::to_string(error->code()) + " " + error->localizedDescription() : "ok"));
    };
  };
  ref.setPriority(3, record("priority"));
  flush();
  onQueue([&] { server().reply(server().lastNumberOf("p"), "ok"); });
  ref.removeValue(record("remove"));
  flush();
  onQueue([&] { server().reply(server().lastNumberOf("p"), "ok"); });
  ref.child("b").setValue(1, record("purged"));
  flush();
  onQueue([&] { repo_->purgeOutstandingWrites(); });
  flush();
  EXPECT_EQ(calls, (std::vector<std::string>{"priority /a/.priority ok", "remove /a ok",
                                             "purged /a/b 3 Write cancelled by user"}));
}

TEST_F(RepoTest, ADisposedRepositoryCompletesEveryWriteOnceWithAnError) {
  auto engine = std::make_shared<ScriptedStorageEngine>();
  config_->setPersistenceEnabled(true);
  config_->setForceStorageEngine(engine);
  start();
  becomeReady();
  FakeRealtimeConnection& server = *connections_.back();
  DatabaseReference ref(repo_, Path("/a"));
  CompletionLog log;
  // An unanswered listen holds back the reply to this write.
  listen("/l");
  ref.child("acked").setValue(1, log.write("acked"));
  flush();
  onQueue([&] { server.reply(server.lastNumberOf("p"), "ok"); });
  // Sent, and never answered.
  ref.child("pending").setValue(2, log.write("pending set"));
  ref.child("pending").onDisconnectRemoveValue(log.write("pending on-disconnect"));
  ref.child("t").runTransactionBlock(setOne, log.transaction("pending transaction"));
  flush();
  ASSERT_TRUE(log.lines.empty());
  onQueue([&] { repo_->dispose(); });
  // Made afterwards.
  ref.setValue(3, log.write("set"));
  ref.updateChildValues({{"x", 4}}, log.write("update"));
  ref.onDisconnectSetValue(5, log.write("on-disconnect set"));
  ref.onDisconnectUpdateChildValues({{"x", 6}}, log.write("on-disconnect update"));
  ref.cancelDisconnectOperations(log.write("on-disconnect cancel"));
  ref.runTransactionBlock(setOne, log.transaction("transaction"));
  flush();
  // Late replies change nothing.
  onQueue([&] {
    for (const auto& request : server.requests) server.reply(request.at("r").as_int64(), "ok");
  });
  flush();
  const std::string disposed = " 9999 The database was disposed";
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{
                "acked ok", "pending set" + disposed, "pending transaction" + disposed,
                "pending on-disconnect" + disposed, "set" + disposed, "update" + disposed,
                "on-disconnect set" + disposed, "on-disconnect update" + disposed,
                "on-disconnect cancel" + disposed, "transaction" + disposed}));
  // The acknowledged write leaves the store; the pending one stays for the next repository on it.
  EXPECT_EQ(engine->removed, std::vector<WriteId>{0});
  ASSERT_EQ(engine->stored.size(), 2u);
  EXPECT_EQ(engine->stored.back().path(), Path("/a/pending"));
}

}  // namespace
}  // namespace dz::database::testing
