// The neighbouring services the application delegate and the user store use: remote messages
// reach the messaging delegate on the main queue, and analytics keeps only string user ids.
#include <gtest/gtest.h>

#include "analytics/analytics.h"
#include "messaging/messaging.h"
#include "platform/dispatch_queue.h"
#include "platform/run_loop.h"

namespace pollapp {
namespace {

using dz::Value;

struct Receiver : dz::messaging::MessagingDelegate {
  std::vector<Value::Map> received;
  void applicationReceivedRemoteMessage(const dz::messaging::RemoteMessage& message) override {
    received.push_back(message.appData());
  }
};

TEST(ServicesTest, RemoteMessagesReachTheLivingDelegate) {
  auto& messaging = dz::messaging::Messaging::messaging();
  messaging.reset();
  messaging.receiveDataMessage({{"lost", 1}});  // no delegate yet
  auto receiver = std::make_shared<Receiver>();
  messaging.setRemoteMessageDelegate(receiver);
  messaging.setRemoteMessageDelegate(std::weak_ptr<Receiver>());  // ignored
  messaging.receiveDataMessage({{"pollId", "p1"}});
  ASSERT_TRUE(dz::platform::RunLoop::main().runUntil([&] { return !receiver->received.empty(); },
                                                     std::chrono::seconds(10)));
  EXPECT_EQ(receiver->received, (std::vector<Value::Map>{{{"pollId", "p1"}}}));
  messaging.receiveDataMessage({{"late", true}});
  receiver.reset();  // gone before delivery: nothing is called
  bool drained = false;
  dz::platform::DispatchQueue::main()->async([&] { drained = true; });
  EXPECT_TRUE(
      dz::platform::RunLoop::main().runUntil([&] { return drained; }, std::chrono::seconds(10)));
  messaging.reset();
}

TEST(ServicesTest, AnalyticsUserIdTakesStringsOnly) {
  dz::analytics::Analytics::reset();
  dz::analytics::Analytics::setUserID(Value("u1"));
  dz::analytics::Analytics::setUserID(Value(7));
  EXPECT_EQ(dz::analytics::Analytics::userProperty("_id"), "u1");
  dz::analytics::Analytics::setUserID(Value());
  EXPECT_EQ(dz::analytics::Analytics::userProperty("_id"), std::nullopt);
}

}  // namespace
}  // namespace pollapp
