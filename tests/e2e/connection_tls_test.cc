#include <gtest/gtest.h>

#include "tests/e2e/connection_fixture.h"

namespace dz::e2e {
namespace {

// The same stack over TLS, trusting the development server's CA through DZ_CA_FILE.
class ConnectionTlsTest : public ConnectionEndToEndTest {
 protected:
  void SetUp() override { startTlsServer(); }
};

TEST_F(ConnectionTlsTest, ConnectsOverTlsAndSyncs) {
  makeConnection(/*secure=*/true);
  EXPECT_EQ(repoInfo_->connectionURL().rfind("wss://", 0), 0u);
  openAndWaitConnected();
  listen("/secure");
  ASSERT_TRUE(events_.waitFor("listen /secure ok"));
  onQueue([&] { connection_->putData(node(42), "/secure/answer", std::nullopt, writeLog("put")); });
  ASSERT_TRUE(events_.waitFor("put ok"));
  EXPECT_EQ(server_->snapshot("/secure/answer"), 42);
}

TEST_F(ConnectionTlsTest, AnUntrustedServerIsNeverConnectedAndRetried) {
  caFile_.reset();
  makeConnection(/*secure=*/true);
  onQueue([&] { connection_->open(); });
  // The TLS handshake fails every time; the client keeps trying with backoff.
  ASSERT_TRUE(waitOnQueue([&] { return tokens_->forced().size() >= 3; }));
  EXPECT_EQ(server_->acceptedConnections(), 0u);
  EXPECT_EQ(events_.count("connect"), 0u);
}

}  // namespace
}  // namespace dz::e2e
