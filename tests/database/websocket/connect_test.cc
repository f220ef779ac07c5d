// Connections that never reach a server fail, once, and free the socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/socket_stream.h"
#include "tests/database/websocket/recording_delegate.h"

namespace dz::websocket {
namespace {

TEST(ConnectTest, UnresolvableHostFails) {
  std::weak_ptr<WebSocket> weak;
  auto [delegate, socket] = openSocket(requestFor("wss://nowhere.invalid/.ws"));
  weak = socket;
  socket.reset();
  ASSERT_TRUE(delegate->waitForEnd());
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->domain(), platform::kResolverErrorDomain);
  EXPECT_FALSE(delegate->closed);
  EXPECT_TRUE(platform::RunLoop::current().runUntil([&] { return weak.expired(); }, kWaitTimeout));
}

TEST(ConnectTest, RefusedConnectionFails) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  auto [delegate, socket] = openSocket(plainRequest(ntohs(address.sin_port)));
  ASSERT_TRUE(delegate->waitForEnd());
  ::close(fd);
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->domain(), platform::kSocketErrorDomain);
  EXPECT_EQ(delegate->error->code(), ECONNREFUSED);
  EXPECT_EQ(delegate->eventNames(), std::vector<std::string>{"fail"});
}

}  // namespace
}  // namespace dz::websocket
