// The greeting of a new connection: handshake fields, TLS against the server's own CA,
// namespaces from the URL, and redirects.
#include <gtest/gtest.h>

#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using testing::TestClient;

constexpr int64_t kServerTime = 1700000000123;

Options fixedClock(bool tls = false) {
  Options options;
  options.tls = tls;
  options.clockMs = [] { return kServerTime; };
  return options;
}

const boost::json::object& handshakeOf(const TestClient& client) {
  const auto& greeting = client.greeting();
  EXPECT_EQ(greeting.at("t"), "c");
  EXPECT_EQ(greeting.at("d").at("t"), "h");
  return greeting.at("d").at("d").as_object();
}

TEST(Handshake, CarriesServerTimeHostAndSessionId) {
  auto server = DevServer::start(fixedClock());
  auto first = TestClient::connect(*server);
  auto second = TestClient::connect(*server);
  const auto& handshake = handshakeOf(*first);
  EXPECT_EQ(handshake.at("ts").to_number<int64_t>(), kServerTime);
  EXPECT_EQ(testing::text(handshake.at("h")), "ns.dz.test:" + std::to_string(server->port()));
  EXPECT_EQ(handshake.at("v"), "5");
  ASSERT_TRUE(handshake.at("s").is_string());
  EXPECT_FALSE(handshake.at("s").as_string().empty());
  EXPECT_NE(handshake.at("s"), handshakeOf(*second).at("s"));
  EXPECT_TRUE(server->waitUntil([&] { return server->connectionCount() == 2; }));
  EXPECT_EQ(server->acceptedConnections(), 2u);
  auto log = server->acceptedConnectionLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].target, "/.ws?v=5&ns=ns");
  EXPECT_EQ(log[0].sessionId, testing::text(handshake.at("s")));
}

TEST(Handshake, OverTlsVerifiedAgainstTheServersCa) {
  auto server = DevServer::start(fixedClock(/*tls=*/true));
  ASSERT_FALSE(server->caFile().empty());
  EXPECT_TRUE(std::filesystem::exists(server->caFile()));
  EXPECT_EQ(server->databaseUrl(), "https://ns.dz.test:" + std::to_string(server->port()));
  auto client = TestClient::connect(*server);
  EXPECT_EQ(handshakeOf(*client).at("ts").to_number<int64_t>(), kServerTime);
  EXPECT_EQ(client->call("s", {{"c", {{"sdk.cpp.1-0-0", 1}}}}), "ok");
}

TEST(Handshake, TlsRefusesANameOffTheCertificate) {
  auto server = DevServer::start(fixedClock(/*tls=*/true));
  EXPECT_ANY_THROW(TestClient::connect(*server, "ns", "ns.elsewhere.test"));
}

TEST(Handshake, TheCaFolderGoesAwayWithTheServer) {
  auto server = DevServer::start(fixedClock(/*tls=*/true));
  auto caFile = server->caFile();
  server->stop();
  EXPECT_FALSE(std::filesystem::exists(caFile));
}

TEST(Handshake, HostOverrideIsNamedInLaterHandshakes) {
  auto server = DevServer::start(fixedClock());
  server->databaseService().setHandshakeHost("ns-internal.dz.test:1234");
  auto client = TestClient::connect(*server);
  EXPECT_EQ(handshakeOf(*client).at("h"), "ns-internal.dz.test:1234");
}

TEST(Handshake, RedirectedHostGetsAResetInsteadOfTheHandshake) {
  auto server = DevServer::start(fixedClock());
  std::string port = std::to_string(server->port());
  server->databaseService().redirect("ns.dz.test:" + port, "other.dz.test:" + port);
  auto redirected = TestClient::connect(*server);
  EXPECT_EQ(redirected->greeting().at("t"), "c");
  EXPECT_EQ(redirected->greeting().at("d").at("t"), "r");
  EXPECT_EQ(testing::text(redirected->greeting().at("d").at("d")), "other.dz.test:" + port);
  EXPECT_EQ(server->acceptedConnectionLog().at(0).sessionId, "");
  auto target = TestClient::connect(*server, "ns", "other.dz.test");
  EXPECT_EQ(testing::text(handshakeOf(*target).at("h")), "other.dz.test:" + port);
}

TEST(Handshake, EachNamespaceHasItsOwnTree) {
  auto server = DevServer::start(fixedClock());
  auto first = TestClient::connect(*server, "first");
  auto second = TestClient::connect(*server, "second");
  EXPECT_EQ(first->call("p", testing::body("/a", {{"d", "one"}})), "ok");
  EXPECT_EQ(second->call("p", testing::body("/a", {{"d", "two"}})), "ok");
  EXPECT_EQ(server->snapshot("/a", "first"), "one");
  EXPECT_EQ(server->snapshot("/a", "second"), "two");
  EXPECT_TRUE(server->snapshot("/a").is_null());
}

}  // namespace
}  // namespace dz::devserver
