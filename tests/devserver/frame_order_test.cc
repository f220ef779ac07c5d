// Frame order: what the server sends one connection leaves in the order it was sent, whichever
// thread sent it. Pushes carry no version, so a client that gets a newer push before an older one
// keeps the older data for good; and a reply must follow the pushes sent before it.
#include <gtest/gtest.h>

#include <vector>

#include "tests/devserver/test_client.h"
#include "tests/support/thread_hold.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::kWait;
using testing::TestClient;
using testing::text;

class FrameOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    // The two clients land on the two threads in turn.
    options.connectionThreads = 2;
    options.afterMessage = [this](uint64_t) { hold_.holdIfArmed(); };
    server_ = DevServer::start(options);
    first_ = TestClient::connect(*server_);
    second_ = TestClient::connect(*server_);
    for (TestClient* client : {first_.get(), second_.get()}) {
      ASSERT_EQ(client->call("q", body("/votes")), "ok");
      ASSERT_TRUE(client->nextPush());
    }
  }

  ~FrameOrderTest() override { release(); }

  // The next message handled holds its connection's thread, after the server's lock is let go,
  // until release().
  void holdNextMessage() { hold_.arm(); }
  bool waitUntilHeld() { return hold_.waitUntilHeld(); }
  void release() { hold_.release(); }

  // Reads `client` until the reply to `number`: each message in order, "<action> <data>" for a
  // push and "reply <number>" for a reply.
  static std::vector<std::string> readThroughReply(TestClient& client, int64_t number) {
    std::vector<std::string> seen;
    while (auto message = client.receive()) {
      const auto& data = message->at("d").as_object();
      if (data.contains("r")) {
        seen.push_back(reply(data.at("r").to_number<int64_t>()));
        if (seen.back() == reply(number)) return seen;
        continue;
      }
      const auto& push = data.at("b").as_object();
      seen.push_back(text(data.at("a")) + " " + text(push.contains("d") ? push.at("d") : push));
    }
    seen.push_back("closed");
    return seen;
  }
  static std::string reply(int64_t number) { return "reply " + std::to_string(number); }

  std::unique_ptr<TestClient> first_;
  std::unique_ptr<TestClient> second_;

 private:
  dz::testing::ThreadHold hold_{kWait};

 protected:
  std::unique_ptr<DevServer> server_;  // last, so it stops first
};

TEST_F(FrameOrderTest, WritesOnTwoConnectionThreadsReachEveryConnectionInWriteOrder) {
  holdNextMessage();
  int64_t firstWrite = first_->request("p", body("/votes", {{"d", 1}}));
  ASSERT_TRUE(waitUntilHeld());
  // Handled on the other thread while the first one still runs the handler of its own write.
  int64_t secondWrite = second_->request("p", body("/votes", {{"d", 2}}));
  EXPECT_EQ(readThroughReply(*second_, secondWrite),
            (std::vector<std::string>{"d 1", "d 2", reply(secondWrite)}));
  release();
  int64_t settle = first_->request("p", body("/settle", {{"d", true}}));
  EXPECT_EQ(readThroughReply(*first_, settle),
            (std::vector<std::string>{"d 1", reply(firstWrite), "d 2", reply(settle)}));
  EXPECT_EQ(server_->snapshot("/votes"), json("2"));
}

TEST_F(FrameOrderTest, PushesFromTheServersThreadKeepTheirPlaceBehindAReply) {
  holdNextMessage();
  int64_t write = first_->request("p", body("/votes", {{"d", 1}}));
  ASSERT_TRUE(waitUntilHeld());
  server_->databaseService().sendSecurityDebug("after the write");
  release();
  int64_t settle = first_->request("p", body("/settle", {{"d", true}}));
  EXPECT_EQ(readThroughReply(*first_, settle),
            (std::vector<std::string>{"d 1", reply(write), R"(sd {"msg":"after the write"})",
                                      reply(settle)}));
}

}  // namespace
}  // namespace dz::devserver
