// Where a socket's work and its delegate calls run: the delegate operation queue over the
// dispatch queue, and the run loops its streams are scheduled on.
#include <gtest/gtest.h>

#include <latch>
#include <memory>

#include "platform/run_loop.h"
#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_websocket_server.h"

namespace dz::websocket {
namespace {

using testing::BeastWebSocketServer;

TEST(DelegateQueueTest, AnOperationQueueTakesEveryCallInOrderInsteadOfTheDispatchQueue) {
  BeastWebSocketServer server(BeastWebSocketServer::echo());
  // The dispatch queue is held up for the whole test: nothing may need it.
  auto dispatchQueue = platform::DispatchQueue::create("test.websocket.held");
  // Shared: the held task may still be reading the latch after the test has returned.
  auto release = std::make_shared<std::latch>(1);
  dispatchQueue->async([release] { release->wait(); });
  auto delegate = std::make_shared<RecordingDelegate>();
  auto socket = WebSocket::create(plainRequest(server.port()), std::nullopt, dispatchQueue);
  socket->setDelegate(delegate);
  socket->setDelegateOperationQueue(platform::OperationQueue::create("test.websocket.operations"));
  socket->open();
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  for (int i = 0; i < 50; ++i) socket->send(std::to_string(i));
  socket->sendPing("p");
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->messages.size() == 50; }));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(delegate->messages[i].data, std::to_string(i));
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_EQ(delegate->eventNames().back(), "close");
  release->count_down();
}

OpenedSocket unopenedSocket(uint16_t port) {
  OpenedSocket result{
      std::make_shared<RecordingDelegate>(),
      WebSocket::create(plainRequest(port), std::nullopt,
                        platform::DispatchQueue::create("test.websocket.delegate"))};
  result.socket->setDelegate(result.delegate);
  return result;
}

TEST(DelegateQueueTest, StreamsRunOnTheScheduledRunLoopOrElseTheNetworkThread) {
  BeastWebSocketServer server(BeastWebSocketServer::echo());
  auto& here = platform::RunLoop::current();
  auto [delegate, socket] = unopenedSocket(server.port());
  socket->scheduleInRunLoop(here);
  socket->open();
  ASSERT_TRUE(here.runUntil([&] { return delegate->holds([&] { return delegate->opened; }); },
                            kWaitTimeout));
  socket->send("on this thread");
  ASSERT_TRUE(
      here.runUntil([&] { return delegate->holds([&] { return delegate->messages.size() == 1; }); },
                    kWaitTimeout));
  socket->close();
  ASSERT_TRUE(here.runUntil([&] { return delegate->holds([&] { return delegate->closed; }); },
                            kWaitTimeout));

  // Scheduled and taken off again: the network thread serves it while this thread pumps nothing.
  auto [other, unscheduled] = unopenedSocket(server.port());
  unscheduled->scheduleInRunLoop(here);
  unscheduled->unscheduleFromRunLoop(here);
  unscheduled->open();
  ASSERT_TRUE(other->waitUntil([&] { return other->opened; }));
  unscheduled->close();
  ASSERT_TRUE(other->waitForEnd());
}

}  // namespace
}  // namespace dz::websocket
