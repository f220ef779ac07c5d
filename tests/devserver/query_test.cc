// Listens with queries and hashes over the wire: a tagged listen is sent only its window and
// kept current as children enter and leave it; a listen whose hash matches gets no data; one
// with a compound hash gets a range merge of only the ranges that differ.
#include <gtest/gtest.h>

#include "database/snapshot/compound_hash.h"
#include "database/snapshot/range_merge.h"
#include "database/snapshot/snapshot_utilities.h"
#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using database::NodePtr;
using database::SnapshotUtilities;
using testing::body;
using testing::json;
using testing::TestClient;
using testing::text;

// Ordered by the child "s", the last two.
const boost::json::object kTopTwo{{"i", "s"}, {"l", 2}, {"vf", "r"}};

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = DevServer::start();
    server_->setJson("/", R"({"scores": {"a": {"s": 1}, "b": {"s": 5}, "c": {"s": 3}}})");
    client_ = TestClient::connect(*server_);
  }

  // The data push of a write made by the listening client itself: pushes to the writer's own
  // listens come before its reply, so none having come means none was sent.
  std::optional<boost::json::object> pushOfOwnWrite(const std::string& action,
                                                    boost::json::object request) {
    int64_t number = client_->request(action, std::move(request));
    auto first = client_->receive();
    if (!first) {
      ADD_FAILURE() << "nothing came back";
      return std::nullopt;
    }
    const auto& data = first->at("d").as_object();
    if (data.contains("r")) return std::nullopt;  // the reply came first
    EXPECT_TRUE(client_->awaitReply(number));
    return data;
  }

  std::unique_ptr<DevServer> server_;
  std::unique_ptr<TestClient> client_;
};

TEST_F(QueryTest, ALimitedListenIsSentItsWindowAsChildrenEnterAndLeave) {
  int64_t number = client_->request("q", body("/scores", {{"q", kTopTwo}, {"t", 3}}));
  auto initial = client_->nextPush();
  ASSERT_TRUE(initial);
  EXPECT_EQ(initial->at("b").at("d"), json(R"({"b": {"s": 5}, "c": {"s": 3}})"));
  EXPECT_EQ(initial->at("b").at("t").to_number<int64_t>(), 3);
  ASSERT_TRUE(client_->awaitReply(number));

  auto entered = pushOfOwnWrite("p", body("/scores/d", {{"d", {{"s", 10}}}}));
  ASSERT_TRUE(entered);
  EXPECT_EQ(text(entered->at("b").at("p")), "scores");
  EXPECT_EQ(entered->at("b").at("d"), json(R"({"b": {"s": 5}, "d": {"s": 10}})"));
  EXPECT_EQ(entered->at("b").at("t").to_number<int64_t>(), 3);

  EXPECT_FALSE(pushOfOwnWrite("p", body("/scores/a/s", {{"d", 2}}))) << "outside the window";
  EXPECT_FALSE(pushOfOwnWrite("p", body("/scores/c", {{"d", nullptr}})));

  auto left = pushOfOwnWrite("m", body("/scores", {{"d", {{"d", nullptr}, {"a/s", 4}}}}));
  ASSERT_TRUE(left);
  EXPECT_EQ(left->at("b").at("d"), json(R"({"a": {"s": 4}, "b": {"s": 5}})"));

  auto replaced = pushOfOwnWrite("p", body("/", {{"d", json(R"({"scores": {"x": {"s": 0}}})")}}));
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->at("b").at("d"), json(R"({"x": {"s": 0}})"));
}

TEST_F(QueryTest, ABoundedListenIsSentEachChildThatChanges) {
  boost::json::object middle{{"i", "s"}, {"sp", 3}, {"ep", 5}};
  EXPECT_EQ(client_->call("q", body("/scores", {{"q", middle}, {"t", 7}})), "ok");
  ASSERT_TRUE(client_->nextPush());
  auto expectPush = [&](const std::optional<boost::json::object>& push, const char* path,
                        const char* data) {
    ASSERT_TRUE(push) << path;
    EXPECT_EQ(text(push->at("b").at("p")), path);
    EXPECT_EQ(push->at("b").at("d"), json(data)) << path;
    EXPECT_EQ(push->at("b").at("t").to_number<int64_t>(), 7) << path;
  };
  expectPush(pushOfOwnWrite("p", body("/scores/c/s", {{"d", 4}})), "scores/c/s", "4");
  expectPush(pushOfOwnWrite("p", body("/scores/a/s", {{"d", 3}})), "scores/a", R"({"s": 3})");
  expectPush(pushOfOwnWrite("p", body("/scores/b", {{"d", {{"s", 9}}}})), "scores/b", "null");
  EXPECT_FALSE(pushOfOwnWrite("p", body("/scores/b/t", {{"d", 1}}))) << "outside the window";
  auto merged = pushOfOwnWrite("m", body("/scores/a", {{"d", {{"t", 2}}}}));
  ASSERT_TRUE(merged);
  EXPECT_EQ(text(merged->at("a")), "m");
  EXPECT_EQ(merged->at("b").at("d"), json(R"({"t": 2})"));
}

TEST_F(QueryTest, BoundsByValueAndKey) {
  boost::json::object query{{"i", ".key"}, {"sp", "b"}, {"ep", "c"}};
  EXPECT_EQ(client_->call("q", body("/scores", {{"q", query}, {"t", 1}})), "ok");
  auto push = client_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(push->at("b").at("d"), json(R"({"b": {"s": 5}, "c": {"s": 3}})"));
  boost::json::object byValue{{"i", "s"}, {"sp", 3}, {"sn", "c"}, {"ep", 5}, {"en", "a"}};
  EXPECT_EQ(client_->call("q", body("/scores", {{"q", byValue}, {"t", 2}})), "ok");
  push = client_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(push->at("b").at("d"), json(R"({"c": {"s": 3}})"));
}

TEST_F(QueryTest, AMalformedQueryIsRefused) {
  EXPECT_EQ(client_->call("q", body("/scores", {{"q", {{"l", "two"}}}, {"t", 1}})),
            "invalid_request");
  EXPECT_EQ(client_->call("q", body("/scores", {{"q", {{"i", ""}}}, {"t", 1}})), "invalid_request");
}

TEST_F(QueryTest, AMatchingHashGetsTheReplyAlone) {
  client_->request("q", body("/scores", {{"h", server_->hash("/scores")}}));
  auto first = client_->receive();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->at("d").as_object().contains("r")) << "data was sent again";

  // A query's hash is the hash of its window.
  std::string windowHash =
      SnapshotUtilities::nodeFromJson(json(R"({"b": {"s": 5}, "c": {"s": 3}})"))->dataHash();
  client_->request("q", body("/scores", {{"q", kTopTwo}, {"t", 4}, {"h", windowHash}}));
  first = client_->receive();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->at("d").as_object().contains("r")) << "the window was sent again";
}

TEST_F(QueryTest, ACompoundHashGetsOnlyTheRangesThatDiffer) {
  boost::json::object many;
  for (int i = 0; i < 60; ++i) many["item" + std::to_string(100 + i)] = {{"n", i}, {"t", "text"}};
  server_->set("/many", many);
  NodePtr client = SnapshotUtilities::nodeFromJson(many);
  many["item130"] = {{"n", -1}};
  server_->set("/many", many);
  auto hash = database::CompoundHash::fromNode(*client, 300);
  boost::json::array posts, hashes;
  for (const auto& post : hash.posts) posts.emplace_back(post.wireFormat());
  for (const auto& text : hash.hashes) hashes.emplace_back(text);
  ASSERT_GT(hashes.size(), 5u);
  EXPECT_EQ(client_->call("q", body("/many", {{"h", client->dataHash()},
                                              {"ch", {{"ps", posts}, {"hs", hashes}}}})),
            "ok");
  auto push = client_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("a")), "rm");
  const auto& ranges = push->at("b").at("d").as_array();
  EXPECT_LT(ranges.size(), 3u);
  NodePtr result = client;
  for (const auto& item : ranges) {
    const auto& range = item.as_object();
    auto pathOf = [&](const char* key) -> std::optional<database::Path> {
      if (!range.contains(key)) return std::nullopt;
      return database::Path(std::string_view(range.at(key).as_string()));
    };
    result = database::RangeMerge(pathOf("s"), pathOf("e"),
                                  SnapshotUtilities::nodeFromJson(range.at("m")))
                 .applyTo(result);
  }
  EXPECT_EQ(result->dataHash(), server_->hash("/many"));
}

}  // namespace
}  // namespace dz::devserver
