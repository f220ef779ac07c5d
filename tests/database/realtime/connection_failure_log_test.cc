// A session that cannot reach its server says why in the log once the database's logging is
// switched on, with no launch argument for debug mode: real sockets against a port that refuses,
// a name that does not resolve, a TLS server nobody trusts, a CA file that gives no trust
// anchors and a URL whose scheme the port does not speak.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "core/logger.h"
#include "database/realtime/web_socket_connection.h"
#include "database/utilities/logging.h"
#include "database/utilities/repo_info.h"
#include "platform/process_info.h"
#include "platform/resolver.h"
#include "tests/support/beast_websocket_server.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/event_counter.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/certificate_authority.h"

namespace dz::database {
namespace {

constexpr char kHost[] = "ns.dz.test";

struct EndRecorder : WebSocketConnectionDelegate {
  void onMessage(WebSocketConnection*, boost::json::value) override {}
  void onDisconnect(WebSocketConnection*, bool) override { ended.add(); }
  dz::testing::EventCounter ended;
};

// A port on 127.0.0.1 that is bound but never listens: connecting to it is refused, and no other
// program can take it while the test runs.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

class ConnectionFailureLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedArguments_ = platform::ProcessInfo::processInfo().arguments();
    platform::ProcessInfo::processInfo().setArguments({"plain-program"});
    platform::Resolver::setOverride(kHost, "127.0.0.1");
    setLoggingEnabled(true);
  }
  void TearDown() override {
    setLoggingEnabled(false);
    platform::Resolver::removeOverride(kHost);
    platform::ProcessInfo::processInfo().setArguments(savedArguments_);
  }

  // Opens a real session to `host` and returns what was logged until it ended.
  std::string logOfFailedAttempt(const std::string& host, bool secure) {
    dz::testing::StderrCapture capture(core::flushLog);
    auto delegate = std::make_shared<EndRecorder>();
    std::shared_ptr<WebSocketConnection> session;
    queue_->sync([&] {
      session =
          WebSocketConnection::create(RepoInfo::create(host, secure, "ns"), queue_, std::nullopt);
      session->setDelegate(delegate);
      session->open();
    });
    EXPECT_TRUE(delegate->ended.waitFor(1));
    queue_->sync([&] { session.reset(); });
    return capture.text();
  }

  // Exactly one failure line, and it names `reason`.
  static void expectOneFailureLine(const std::string& log, const std::string& reason) {
    std::regex failure(R"(\[Dezuvura/Database\]\[I-RDB08310\] \(wsc:\d+\) didFailWithError )"
                       R"(didFailWithError: ([^\n]*)\n)");
    auto lines = std::sregex_iterator(log.begin(), log.end(), failure);
    ASSERT_EQ(std::distance(lines, std::sregex_iterator()), 1) << log;
    EXPECT_NE((*lines)[1].str().find(reason), std::string::npos) << log;
  }

  std::vector<std::string> savedArguments_;
  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.work");
};

TEST_F(ConnectionFailureLogTest, RefusedConnectionSaysRefused) {
  RefusingPort port;
  std::string log =
      logOfFailedAttempt(std::string(kHost) + ":" + std::to_string(port.port()), false);
  expectOneFailureLine(log, "cannot connect to ns.dz.test: Connection refused");
}

TEST_F(ConnectionFailureLogTest, UnknownHostSaysTheNameDidNotResolve) {
  std::string log = logOfFailedAttempt("ns.nowhere.invalid", true);
  expectOneFailureLine(log, "cannot resolve ns.nowhere.invalid");
}

TEST_F(ConnectionFailureLogTest, UntrustedCertificateSaysVerificationFailed) {
  auto authority = devserver::CertificateAuthority::create("authority nobody trusts");
  auto leaf = authority->issue({kHost});
  dz::testing::BeastWebSocketServer server(
      dz::testing::BeastWebSocketServer::echo(),
      dz::testing::TlsIdentity{leaf.certificatePem, leaf.privateKeyPem});
  std::string log =
      logOfFailedAttempt(std::string(kHost) + ":" + std::to_string(server.port()), true);
  expectOneFailureLine(log, "certificate verification failed");
}

TEST_F(ConnectionFailureLogTest, ACaFileThatGivesNoAnchorsIsNamed) {
  using dz::testing::BeastWebSocketServer;
  auto authority = devserver::CertificateAuthority::create("authority of a CA file that is gone");
  auto leaf = authority->issue({kHost});
  BeastWebSocketServer tls(BeastWebSocketServer::echo(),
                           dz::testing::TlsIdentity{leaf.certificatePem, leaf.privateKeyPem});
  const std::string tlsHost = std::string(kHost) + ":" + std::to_string(tls.port());
  const std::string missing = (sandbox_.root() / "missing.pem").string();
  dz::testing::ScopedEnvironment caFile("DZ_CA_FILE", missing.c_str());
  expectOneFailureLine(logOfFailedAttempt(tlsHost, true), missing);
}

TEST_F(ConnectionFailureLogTest, TheWrongSchemeForThePortIsNamed) {
  using dz::testing::BeastWebSocketServer;
  BeastWebSocketServer plain(BeastWebSocketServer::echo());
  expectOneFailureLine(
      logOfFailedAttempt(std::string(kHost) + ":" + std::to_string(plain.port()), true),
      "the server did not answer TLS: a plain-text port?");

  auto authority = devserver::CertificateAuthority::create("authority of a TLS port");
  auto leaf = authority->issue({kHost});
  BeastWebSocketServer tls(BeastWebSocketServer::echo(),
                           dz::testing::TlsIdentity{leaf.certificatePem, leaf.privateKeyPem});
  expectOneFailureLine(
      logOfFailedAttempt(std::string(kHost) + ":" + std::to_string(tls.port()), false),
      "closed the connection before answering the handshake (as a TLS server does to a plain "
      "connection: does the URL need https?)");
}

TEST_F(ConnectionFailureLogTest, NothingIsLoggedWithLoggingSwitchedOff) {
  setLoggingEnabled(false);
  RefusingPort port;
  std::string log =
      logOfFailedAttempt(std::string(kHost) + ":" + std::to_string(port.port()), false);
  EXPECT_EQ(log.find("I-RDB08310"), std::string::npos) << log;
}

}  // namespace
}  // namespace dz::database
