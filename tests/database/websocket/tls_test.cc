// TLS and certificate pinning against a Beast server with certificates made for the test.
#include <gtest/gtest.h>

#include "database/websocket/errors.h"
#include "platform/resolver.h"
#include "platform/socket_stream.h"
#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_websocket_server.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/certificate_authority.h"

namespace dz::websocket {
namespace {

using devserver::CertificateAuthority;
using devserver::IssuedCertificate;
using testing::BeastWebSocketServer;
using testing::TlsIdentity;

constexpr char kHost[] = "ns.dz.test";
constexpr char kOtherHost[] = "other.dz.test";

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Resolver::setOverride(kHost, "127.0.0.1");
    platform::Resolver::setOverride(kOtherHost, "127.0.0.1");
    caFile_ = ca_->writeCertificate(sandbox_.root() / "certs").string();
  }
  void TearDown() override {
    platform::Resolver::removeOverride(kHost);
    platform::Resolver::removeOverride(kOtherHost);
  }

  static TlsIdentity identity(const IssuedCertificate& leaf, const std::string& appended = "") {
    return TlsIdentity{leaf.certificatePem + appended, leaf.privateKeyPem};
  }

  URLRequest request(uint16_t port, const std::string& host = kHost) {
    return requestFor("wss://" + host + ":" + std::to_string(port) + "/.ws");
  }

  // Runs a socket against `server` until it opens (then closes it) or ends; returns the
  // recorder.
  std::shared_ptr<RecordingDelegate> attempt(URLRequest request) {
    auto [delegate, socket] = openSocket(std::move(request));
    EXPECT_TRUE(delegate->waitUntil([&] { return delegate->opened || delegate->error; }));
    if (delegate->opened) {
      socket->send("over tls");
      EXPECT_TRUE(delegate->waitUntil([&] { return !delegate->messages.empty(); }));
      socket->close();
      EXPECT_TRUE(delegate->waitForEnd());
    }
    return delegate;
  }

  testing::ScopedSandbox sandbox_;
  std::shared_ptr<CertificateAuthority> ca_ = CertificateAuthority::create("dz test authority");
  std::string caFile_;
};

TEST_F(TlsTest, EchoesOverTlsWithTheAuthorityAsCaFile) {
  BeastWebSocketServer server(BeastWebSocketServer::echo(), identity(ca_->issue({kHost})));
  auto req = request(server.port());
  req.caFile = caFile_;
  auto delegate = attempt(req);
  EXPECT_TRUE(delegate->opened);
  ASSERT_EQ(delegate->messages.size(), 1u);
  EXPECT_EQ(delegate->messages[0].data, "over tls");
  EXPECT_TRUE(delegate->wasClean);
}

TEST_F(TlsTest, CaFileFromTheEnvironmentIsTrusted) {
  BeastWebSocketServer server(BeastWebSocketServer::echo(), identity(ca_->issue({kHost})));
  testing::ScopedEnvironment caFile("DZ_CA_FILE", caFile_.c_str());
  EXPECT_TRUE(attempt(request(server.port()))->opened);
}

TEST_F(TlsTest, UntrustedServerFailsVerification) {
  BeastWebSocketServer server(BeastWebSocketServer::echo(), identity(ca_->issue({kHost})));
  auto delegate = attempt(request(server.port()));
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->domain(), platform::kTlsErrorDomain);
  EXPECT_FALSE(delegate->opened);
  EXPECT_FALSE(delegate->closed);
}

TEST_F(TlsTest, CertificateForAnotherHostFailsVerification) {
  BeastWebSocketServer server(BeastWebSocketServer::echo(), identity(ca_->issue({kOtherHost})));
  auto req = request(server.port());
  req.caFile = caFile_;
  auto delegate = attempt(req);
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->domain(), platform::kTlsErrorDomain);
}

// A URL whose scheme the port does not speak fails, and the failure says how the server took it.
TEST_F(TlsTest, TheWrongSchemeForThePortIsNamed) {
  BeastWebSocketServer plain(BeastWebSocketServer::echo());
  auto toPlain = attempt(request(plain.port()));
  ASSERT_TRUE(toPlain->error);
  EXPECT_NE(toPlain->error->localizedDescription().find(
                "the server did not answer TLS: a plain-text port?"),
            std::string::npos)
      << toPlain->error->localizedDescription();

  BeastWebSocketServer tls(BeastWebSocketServer::echo(), identity(ca_->issue({kHost})));
  auto toTls =
      attempt(requestFor("ws://" + std::string(kHost) + ":" + std::to_string(tls.port()) + "/.ws"));
  ASSERT_TRUE(toTls->error) << "a socket that never opened fails rather than closes";
  EXPECT_NE(toTls->error->localizedDescription().find(
                "closed the connection before answering the handshake (as a TLS server does to a "
                "plain connection: does the URL need https?)"),
            std::string::npos)
      << toTls->error->localizedDescription();
  EXPECT_FALSE(toTls->closed);
}

class PinningTest : public TlsTest {
 protected:
  // The server must never see an upgrade request from a client that refused its certificate.
  BeastWebSocketServer::Script recordingEcho() {
    return [this](BeastWebSocketServer::Session& session) {
      upgraded_ = true;
      BeastWebSocketServer::echo()(session);
    };
  }
  void expectRefused(const std::shared_ptr<RecordingDelegate>& delegate) {
    ASSERT_TRUE(delegate->error);
    EXPECT_EQ(delegate->error->domain(), kStreamErrorDomain);
    EXPECT_EQ(delegate->error->code(), kInvalidServerCertCode);
    EXPECT_EQ(delegate->error->localizedDescription(), "Invalid server cert");
    EXPECT_FALSE(delegate->opened);
  }
  std::atomic<bool> upgraded_{false};
};

TEST_F(PinningTest, PinnedAuthorityIsTheOnlyAnchorNeeded) {
  BeastWebSocketServer server(recordingEcho(), identity(ca_->issue({kHost})));
  auto req = request(server.port());
  req.pinnedCertificates = {ca_->certificate().certificateDer};
  EXPECT_TRUE(attempt(req)->opened);
}

TEST_F(PinningTest, PinnedLeafKeyPasses) {
  const IssuedCertificate leaf = ca_->issue({kHost});
  BeastWebSocketServer server(recordingEcho(), identity(leaf));
  auto req = request(server.port());
  req.pinnedCertificates = {leaf.certificateDer};
  EXPECT_TRUE(attempt(req)->opened);
}

TEST_F(PinningTest, UnpinnedAuthorityFailsBeforeTheUpgradeIsSent) {
  auto stranger = CertificateAuthority::create("someone else");
  auto server =
      std::make_unique<BeastWebSocketServer>(recordingEcho(), identity(ca_->issue({kHost})));
  auto req = request(server->port());
  req.pinnedCertificates = {stranger->certificate().certificateDer};
  // Even a trusted CA file does not stand in for the pins.
  req.caFile = caFile_;
  expectRefused(attempt(req));
  server.reset();
  EXPECT_FALSE(upgraded_.load());
}

TEST_F(PinningTest, AppendingThePinnedCertificateToAnotherChainFails) {
  auto impostor = CertificateAuthority::create("impostor");
  BeastWebSocketServer server(
      recordingEcho(), identity(impostor->issue({kHost}), ca_->certificate().certificatePem));
  auto req = request(server.port());
  req.pinnedCertificates = {ca_->certificate().certificateDer};
  expectRefused(attempt(req));
}

TEST_F(PinningTest, PinnedAuthorityWithTheWrongHostFails) {
  BeastWebSocketServer server(recordingEcho(), identity(ca_->issue({kOtherHost})));
  auto req = request(server.port());
  req.pinnedCertificates = {ca_->certificate().certificateDer};
  expectRefused(attempt(req));
}

}  // namespace
}  // namespace dz::websocket
