// Writes: hashed puts compared with the server's own data hash, server values resolved with the
// server's clock, priorities kept, deletes, and data the node model refuses.
#include <gtest/gtest.h>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::TestClient;
using testing::text;

constexpr int64_t kServerTime = 1700000000500;

class WriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.clockMs = [] { return kServerTime; };
    server_ = DevServer::start(options);
    server_->setJson("/", R"({"counter": {"value": 1, ".priority": 2}})");
    client_ = TestClient::connect(*server_);
  }

  std::unique_ptr<DevServer> server_;
  std::unique_ptr<TestClient> client_;
};

TEST_F(WriteTest, HashIsTheNodesOwnDataHash) {
  auto node = database::SnapshotUtilities::nodeFromJson(json(R"({"value": 1, ".priority": 2})"));
  EXPECT_EQ(server_->hash("/counter"), node->dataHash());
  EXPECT_EQ(server_->hash("/absent"), "");
}

TEST_F(WriteTest, PutWithTheCurrentHashSucceeds) {
  std::string hash = server_->hash("/counter");
  EXPECT_EQ(client_->call("p", body("/counter", {{"d", {{"value", 2}}}, {"h", hash}})), "ok");
  EXPECT_EQ(server_->snapshot("/counter"), json(R"({"value": 2})"));
  // Nothing there yet: the empty hash matches.
  EXPECT_EQ(client_->call("p", body("/fresh", {{"d", 1}, {"h", ""}})), "ok");
}

TEST_F(WriteTest, StaleHashPushesTheCurrentDataThenAnswersDatastale) {
  EXPECT_EQ(client_->call("q", body("/counter")), "ok");
  ASSERT_TRUE(client_->nextPush());  // the listen's data
  int64_t number = client_->request("p", body("/counter", {{"d", 5}, {"h", "c3RhbGU="}}));
  auto push = client_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("b").at("p")), "counter");
  EXPECT_EQ(push->at("b").at("d"), json(R"({"value": 1, ".priority": 2})"));
  auto reply = client_->awaitReply(number);
  ASSERT_TRUE(reply);
  EXPECT_EQ(text(reply->at("s")), "datastale");
  EXPECT_EQ(server_->snapshot("/counter"), json(R"({"value": 1, ".priority": 2})"));
}

TEST_F(WriteTest, ServerTimestampsResolveWithTheServersClock) {
  EXPECT_EQ(client_->call("p", body("/t", {{"d", {{"at", {{".sv", "timestamp"}}}}}})), "ok");
  EXPECT_EQ(server_->snapshot("/t/at").to_number<int64_t>(), kServerTime);
  EXPECT_EQ(client_->call("m", body("/t", {{"d", {{"later", {{".sv", "timestamp"}}}}}})), "ok");
  EXPECT_EQ(server_->snapshot("/t/later").to_number<int64_t>(), kServerTime);
  // A priority may be a timestamp too.
  EXPECT_EQ(client_->call(
                "p", body("/p", {{"d", {{".value", "x"}, {".priority", {{".sv", "timestamp"}}}}}})),
            "ok");
  EXPECT_EQ(server_->snapshot("/p").at(".priority").to_number<int64_t>(), kServerTime);
  // A placeholder's own priority stays with the time it resolves to.
  EXPECT_EQ(client_->call("p", body("/q", {{"d", {{".sv", "timestamp"}, {".priority", 3}}}})),
            "ok");
  EXPECT_EQ(server_->snapshot("/q"), json(R"({".value": 1700000000500, ".priority": 3})"));
}

TEST_F(WriteTest, DataTheNodeModelRefusesIsInvalid) {
  EXPECT_EQ(client_->call("p", body("/u", {{"d", {{".sv", "other"}}}})), "invalid_data");
  EXPECT_EQ(client_->call("p", body("/u", {{"d", {{"bad[key", 1}}}})), "invalid_data");
  // A placeholder holds nothing beside its priority.
  EXPECT_EQ(client_->call("p", body("/u", {{"d", {{".sv", "timestamp"}, {"x", 1}}}})),
            "invalid_data");
  EXPECT_EQ(client_->call("m", body("/u", {{"d", {{"ok", 1}, {"bad", {{".sv", "x"}}}}}})),
            "invalid_data");
  EXPECT_TRUE(server_->snapshot("/u").is_null());
}

// Data stored under a key no client can read would break every later read of its parents.
TEST_F(WriteTest, WritesAtPathsWithInvalidKeysAreRefused) {
  EXPECT_EQ(client_->call("p", body("/.a", {{"d", 1}})), "invalid_data");
  EXPECT_EQ(client_->call("p", body("/a/.priority/b", {{"d", 1}})), "invalid_data");
  EXPECT_EQ(client_->call("m", body("/a", {{"d", {{"ok", 1}, {"b/$c", 1}}}})), "invalid_data");
  EXPECT_EQ(client_->call("o", body("/a/#", {{"d", 1}})), "invalid_data");
  EXPECT_EQ(client_->call("om", body("/a", {{"d", {{"[x", 1}}}})), "invalid_data");
  EXPECT_EQ(server_->snapshot("/"), json(R"({"counter": {"value": 1, ".priority": 2}})"));
  // A priority is written at its own key.
  EXPECT_EQ(client_->call("p", body("/counter/.priority", {{"d", 7}})), "ok");
  EXPECT_EQ(client_->call("m", body("/counter", {{"d", {{"value/.priority", 3}}}})), "ok");
  EXPECT_EQ(server_->snapshot("/counter"),
            json(R"({"value": {".value": 1, ".priority": 3}, ".priority": 7})"));
}

// An update is one change, whatever order its children come in: the nodes above its paths keep
// their priorities unless they end empty.
TEST_F(WriteTest, AnUpdateKeepsThePrioritiesOfTheNodesItEmptiesAndRefills) {
  auto update = [&](const char* data, boost::json::value children) {
    server_->setJson("/l", data);
    EXPECT_EQ(client_->call("m", body("/l", {{"d", std::move(children)}})), "ok");
    return server_->snapshot("/l");
  };
  for (bool removalFirst : {true, false}) {
    boost::json::object children;
    if (removalFirst) children["a"] = nullptr;
    children["é"] = 2;
    if (!removalFirst) children["a"] = nullptr;
    EXPECT_EQ(update(R"({"a": 1, ".priority": "b"})", children),
              json(R"({"é": 2, ".priority": "b"})"));
  }
  EXPECT_EQ(update(R"({"x": {"a": 1, ".priority": "q"}, ".priority": "p"})",
                   json(R"({"x/a": null, "x/é": 2})")),
            json(R"({"x": {"é": 2, ".priority": "q"}, ".priority": "p"})"));
  // Above the location too.
  server_->setJson("/l", R"({"x": {"a": 1}, ".priority": "p"})");
  EXPECT_EQ(client_->call("m", body("/l/x", {{"d", json(R"({"a": null, "b": 2})")}})), "ok");
  EXPECT_EQ(server_->snapshot("/l"), json(R"({"x": {"b": 2}, ".priority": "p"})"));
  // A priority written before the children that refill the node.
  EXPECT_EQ(update(R"({"a": 1})", json(R"({".priority": "n", "a": null, "b": 1})")),
            json(R"({"b": 1, ".priority": "n"})"));
  EXPECT_TRUE(update(R"({"a": 1, ".priority": "p"})", json(R"({"a": null})")).is_null());
}

TEST_F(WriteTest, NullDeletesAndArraysBecomeChildren) {
  EXPECT_EQ(client_->call("p", body("/counter", {{"d", nullptr}})), "ok");
  EXPECT_TRUE(server_->snapshot("/counter").is_null());
  EXPECT_EQ(client_->call("p", body("/list", {{"d", {"a", "b"}}})), "ok");
  EXPECT_EQ(server_->snapshot("/list"), json(R"({"0": "a", "1": "b"})"));
  EXPECT_EQ(client_->call("m", body("/list", {{"d", {{"0", nullptr}}}})), "ok");
  EXPECT_EQ(server_->snapshot("/list"), json(R"({"1": "b"})"));
}

TEST_F(WriteTest, MalformedRequestsGetAStatusAndChangeNothing) {
  EXPECT_EQ(client_->call("p", {{"d", 1}}), "invalid_request");
  EXPECT_EQ(client_->call("m", body("/counter", {{"d", 5}})), "invalid_request");
  EXPECT_EQ(client_->call("frobnicate", body("/")), "unknown_action");
  client_->sendFrame("not json");
  client_->sendFrame(R"({"t": "d", "d": [1, 2]})");
  // Nesting far deeper than data may go is not even parsed.
  std::string deep = R"({"t": "d", "d": {"r": 99, "a": "p", "b": {"p": "/deep", "d": )";
  deep += std::string(5000, '[') + std::string(5000, ']') + "}}}";
  client_->sendFrame(deep);
  EXPECT_EQ(client_->call("s", {{"c", {{"x", 1}}}}), "ok");
  EXPECT_EQ(server_->snapshot("/counter"), json(R"({"value": 1, ".priority": 2})"));
  EXPECT_TRUE(server_->snapshot("/deep").is_null());
}

TEST_F(WriteTest, RequestsAreCountedAndLogged) {
  EXPECT_EQ(client_->call("p", body("/a", {{"d", 1}})), "ok");
  EXPECT_EQ(client_->call("m", body("/b", {{"d", {{"c", 1}}}})), "ok");
  EXPECT_EQ(server_->requestCount(), 2u);
  EXPECT_EQ(server_->requestCount("m"), 1u);
  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].action, "p");
  EXPECT_EQ(text(requests[0].body.at("p")), "/a");
}

}  // namespace
}  // namespace dz::devserver
