// Listens: the current data then "ok", and pushes of later writes to every overlapping listen of
// every connection (ancestor, equal and descendant paths), with tags for tagged listens.
#include <gtest/gtest.h>

#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::TestClient;
using testing::text;

class ListenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = DevServer::start();
    server_->setJson("/", R"({"a": {"b": {"c": 1}, "x": "y"}, "z": true})");
    writer_ = TestClient::connect(*server_);
    reader_ = TestClient::connect(*server_);
  }

  // Listens and checks the reply; returns the data push that came before it.
  boost::json::object listen(TestClient& client, const std::string& path,
                             boost::json::object extra = {}) {
    int64_t number = client.request("q", body(path, std::move(extra)));
    auto reply = client.awaitReply(number);
    EXPECT_TRUE(reply.has_value());
    if (reply) {
      EXPECT_EQ(text(reply->at("s")), "ok");
    }
    auto push = client.nextPush();
    EXPECT_TRUE(push.has_value());
    return push ? *push : boost::json::object();
  }

  std::unique_ptr<DevServer> server_;
  std::unique_ptr<TestClient> writer_;
  std::unique_ptr<TestClient> reader_;
};

TEST_F(ListenTest, SendsTheCurrentDataBeforeOk) {
  int64_t number = reader_->request("q", body("/a", {{"h", ""}}));
  auto first = reader_->receive();
  ASSERT_TRUE(first);
  // The data comes first, as a push, then the reply.
  EXPECT_EQ(text(first->at("d").at("a")), "d");
  EXPECT_EQ(text(first->at("d").at("b").at("p")), "a");
  EXPECT_EQ(first->at("d").at("b").at("d"), json(R"({"b": {"c": 1}, "x": "y"})"));
  auto reply = reader_->awaitReply(number);
  ASSERT_TRUE(reply);
  EXPECT_EQ(text(reply->at("s")), "ok");
}

TEST_F(ListenTest, EmptyLocationSendsNull) {
  auto push = listen(*reader_, "/nothing/here");
  EXPECT_TRUE(push.at("b").at("d").is_null());
}

TEST_F(ListenTest, TaggedListenEchoesTheTag) {
  auto push = listen(*reader_, "/a", {{"q", {{"l", 1}, {"vf", "l"}}}, {"t", 7}});
  EXPECT_EQ(push.at("b").at("t").to_number<int64_t>(), 7);
}

TEST_F(ListenTest, PutPushesToListenersAtTheSameAndAncestorPaths) {
  auto other = TestClient::connect(*server_);
  listen(*reader_, "/a/b");
  listen(*other, "/");
  EXPECT_EQ(writer_->call("p", body("/a/b", {{"d", {{"c", 2}}}})), "ok");
  for (TestClient* client : {reader_.get(), other.get()}) {
    auto push = client->nextPush();
    ASSERT_TRUE(push);
    EXPECT_EQ(text(push->at("a")), "d");
    EXPECT_EQ(text(push->at("b").at("p")), "a/b");
    EXPECT_EQ(push->at("b").at("d"), json(R"({"c": 2})"));
  }
}

TEST_F(ListenTest, PutAboveAListenPushesTheListenedLocation) {
  listen(*reader_, "/a/b/c");
  EXPECT_EQ(writer_->call("p", body("/a", {{"d", {{"b", {{"c", 5}}}}}})), "ok");
  auto push = reader_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("b").at("p")), "a/b/c");
  EXPECT_EQ(push->at("b").at("d").to_number<int64_t>(), 5);
}

TEST_F(ListenTest, LargeDataListenedToAgainIsCurrent) {
  // Large enough for the server to keep the push for later listens.
  std::string big(300'000, 'b');
  EXPECT_EQ(writer_->call("p", body("/big", {{"d", {{"x", big}}}})), "ok");
  auto first = listen(*reader_, "/big");
  EXPECT_EQ(reader_->call("n", body("/big")), "ok");
  EXPECT_EQ(listen(*reader_, "/big"), first);
  EXPECT_EQ(reader_->call("n", body("/big")), "ok");
  EXPECT_EQ(writer_->call("p", body("/big/x", {{"d", big + "!"}})), "ok");
  auto changed = listen(*reader_, "/big");
  EXPECT_EQ(text(changed.at("b").at("d").at("x")), big + "!");
}

TEST_F(ListenTest, UnrelatedWritesAndUnlistenedPathsPushNothing) {
  listen(*reader_, "/a/b");
  listen(*reader_, "/z");
  EXPECT_EQ(writer_->call("p", body("/a/x", {{"d", "changed"}})), "ok");
  EXPECT_EQ(reader_->call("n", body("/a/b")), "ok");
  EXPECT_EQ(writer_->call("p", body("/a/b", {{"d", "gone"}})), "ok");
  // The marker write comes through; nothing may arrive before it.
  EXPECT_EQ(writer_->call("p", body("/z", {{"d", "marker"}})), "ok");
  auto push = reader_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("b").at("d")), "marker");
}

TEST_F(ListenTest, TheWriterSeesItsOwnWriteBeforeTheAck) {
  listen(*writer_, "/z");
  int64_t number = writer_->request("p", body("/z", {{"d", false}}));
  auto first = writer_->receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(text(first->at("d").at("a")), "d");
  auto reply = writer_->awaitReply(number);
  ASSERT_TRUE(reply);
  EXPECT_EQ(text(reply->at("s")), "ok");
}

TEST_F(ListenTest, MergePushesAMergeToAncestorsAndDataToTouchedDescendants) {
  auto other = TestClient::connect(*server_);
  listen(*reader_, "/a");
  listen(*other, "/a/b");
  EXPECT_EQ(writer_->call("m", body("/a", {{"d", {{"b/c", 3}, {"n", "new"}}}})), "ok");
  auto merge = reader_->nextPush();
  ASSERT_TRUE(merge);
  EXPECT_EQ(text(merge->at("a")), "m");
  EXPECT_EQ(text(merge->at("b").at("p")), "a");
  EXPECT_EQ(merge->at("b").at("d"), json(R"({"b/c": 3, "n": "new"})"));
  auto data = other->nextPush();
  ASSERT_TRUE(data);
  EXPECT_EQ(text(data->at("a")), "d");
  EXPECT_EQ(text(data->at("b").at("p")), "a/b");
  EXPECT_EQ(data->at("b").at("d"), json(R"({"c": 3})"));
  EXPECT_EQ(server_->snapshot("/a"), json(R"({"b": {"c": 3}, "n": "new", "x": "y"})"));
}

TEST_F(ListenTest, SeedingThroughTheApiPushesToListeners) {
  listen(*reader_, "/a/x");
  server_->set("/a/x", "seeded");
  auto push = reader_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("b").at("d")), "seeded");
}

TEST_F(ListenTest, OneConnectionGetsOnePushPerPathForUntaggedListens) {
  listen(*reader_, "/a");
  listen(*reader_, "/");
  EXPECT_EQ(writer_->call("p", body("/a/x", {{"d", 1}})), "ok");
  EXPECT_EQ(writer_->call("p", body("/z", {{"d", "marker"}})), "ok");
  auto first = reader_->nextPush();
  ASSERT_TRUE(first);
  EXPECT_EQ(text(first->at("b").at("p")), "a/x");
  auto second = reader_->nextPush();
  ASSERT_TRUE(second);
  EXPECT_EQ(text(second->at("b").at("d")), "marker");
}

}  // namespace
}  // namespace dz::devserver
