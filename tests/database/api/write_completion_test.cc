// What write completions hand their callers, over a repository whose server the test plays.
#include <gtest/gtest.h>

#include "database/api/database_reference.h"
#include "tests/database/core/repo_fixture.h"

namespace dz::database::testing {
namespace {

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

}  // namespace
}  // namespace dz::database::testing
