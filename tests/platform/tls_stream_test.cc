// TLS over the socket streams against a plain OpenSSL server in the test: what the stream waits
// for when OpenSSL needs the other direction, sessions resumed on reconnect, and failures that
// name a mistake in the set-up.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "platform/run_loop.h"
#include "platform/socket_stream.h"
#include "tests/platform/generous_wait.h"
#include "tests/support/beast_acceptor.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/tls_server_context.h"
#include "tools/devserver/certificate_authority.h"

namespace dz::platform {
namespace {

using testing::BeastAcceptor;
// A one-way latch between the server thread and the test.
struct Latch {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kGenerousWait, [&] { return open; });
  }
};

// Reads whatever arrives and, while a write is pending, tries it again at each space event.
struct Driver : StreamDelegate {
  StreamPair pair;
  std::string pending;
  size_t spaceEvents = 0;
  bool opened = false;
  bool bytesSeen = false;
  std::string received;

  void handleStreamEvent(Stream& stream, StreamEvent event) override {
    if (event == StreamEvent::kOpenCompleted) opened = true;
    if (event == StreamEvent::kHasBytesAvailable) {
      bytesSeen = true;
      uint8_t buffer[256];
      for (ssize_t n; (n = pair.input->read(buffer, sizeof buffer)) > 0;) {
        received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
      }
    }
    if (event == StreamEvent::kHasSpaceAvailable && !stream.isInput() && !pending.empty()) {
      ++spaceEvents;
      writePending();
    }
  }
  void writePending() {
    const ssize_t n =
        pair.output->write(reinterpret_cast<const uint8_t*>(pending.data()), pending.size());
    if (n > 0) pending.erase(0, static_cast<size_t>(n));
  }
};

std::shared_ptr<Driver> open(uint16_t port, TlsSettings settings) {
  auto driver = std::make_shared<Driver>();
  driver->pair = createStreamPair("127.0.0.1", port);
  driver->pair.output->setTlsSettings(std::move(settings));
  for (Stream* s : {static_cast<Stream*>(driver->pair.input.get()),
                    static_cast<Stream*>(driver->pair.output.get())}) {
    s->setDelegate(driver);
    s->scheduleIn(RunLoop::current());
    s->open();
  }
  return driver;
}

class TlsStreamTest : public ::testing::Test {
 protected:
  std::shared_ptr<devserver::CertificateAuthority> authority_ =
      devserver::CertificateAuthority::create("tls stream test");
  devserver::IssuedCertificate identity_ = authority_->issue({}, {"127.0.0.1"});
};

TEST_F(TlsStreamTest, AWriteThatMustReadWaitsForThePeerNotForSpace) {
  // Renegotiation (TLS 1.2) makes the client's next write wait for the server's handshake reply.
  SSL_CTX* context =
      testing::makeServerContext(identity_.certificatePem, identity_.privateKeyPem, TLS1_2_VERSION);
  Latch answer;
  std::string serverGot;
  std::mutex serverMutex;
  BeastAcceptor server([&](boost::asio::ip::tcp::socket& socket) {
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket.native_handle());
    if (SSL_accept(ssl) == 1 && SSL_renegotiate(ssl) == 1 && SSL_do_handshake(ssl) == 1) {
      answer.wait();
      char buffer[64];
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      std::lock_guard lock(serverMutex);
      if (n > 0) serverGot.assign(buffer, static_cast<size_t>(n));
    }
    SSL_free(ssl);
  });

  auto driver = open(server.port(), {.validatesCertificateChain = false, .caFile = {}});
  ASSERT_TRUE(runLoopUntil([&] { return driver->bytesSeen; })) << "the server's hello request";
  driver->pending = "after renegotiation";
  driver->writePending();
  ASSERT_FALSE(driver->pending.empty()) << "the write waits for the handshake";
  // The server stays silent for a while: a stream waiting for space would spin meanwhile.
  RunLoop::current().runUntil([&] { return driver->spaceEvents > 50; },
                              std::chrono::milliseconds(300));
  EXPECT_LT(driver->spaceEvents, 3u);
  answer.release();
  ASSERT_TRUE(runLoopUntil([&] {
    std::lock_guard lock(serverMutex);
    return !serverGot.empty();
  }));
  EXPECT_EQ(serverGot, "after renegotiation");
  SSL_CTX_free(context);
}

TEST_F(TlsStreamTest, AReconnectResumesTheSessionButNoTwoConnectionsShareOne) {
  dz::testing::ScopedSandbox sandbox;
  const std::string caFile = authority_->writeCertificate(sandbox.root()).string();
  SSL_CTX* context = testing::makeServerContext(identity_.certificatePem, identity_.privateKeyPem);
  std::mutex serverMutex;
  std::vector<bool> resumed;
  std::atomic<size_t> accepted{0};
  Latch secondMayAnswer;
  BeastAcceptor server([&](boost::asio::ip::tcp::socket& socket) {
    const size_t number = ++accepted;
    // The second connection's handshake waits until the third has finished its own.
    if (number == 2) secondMayAnswer.wait();
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket.native_handle());
    // Only the first connection is given a session to resume.
    if (number > 1) SSL_set_num_tickets(ssl, 0);
    char byte;
    if (SSL_accept(ssl) == 1 && SSL_read(ssl, &byte, 1) == 1) {
      {
        std::lock_guard lock(serverMutex);
        resumed.push_back(SSL_session_reused(ssl) == 1);
      }
      SSL_write(ssl, "b", 1);
      SSL_read(ssl, &byte, 1);  // until the client goes
    }
    SSL_free(ssl);
  });
  const TlsSettings settings{.validatesCertificateChain = true, .caFile = caFile};
  auto exchange = [&](const std::shared_ptr<Driver>& driver) {
    ASSERT_TRUE(runLoopUntil([&] { return driver->opened; }));
    driver->pending = "a";
    driver->writePending();
    ASSERT_TRUE(runLoopUntil([&] { return driver->received == "b"; }));
  };
  auto first = open(server.port(), settings);
  exchange(first);
  first->pair.input->close();
  first->pair.output->close();
  // The library changes a session as its connection resumes it: a second connection that has
  // the first one's session and is still in its handshake must not share it with a third.
  auto second = open(server.port(), settings);
  ASSERT_TRUE(runLoopUntil([&] { return accepted == 2; }));
  auto third = open(server.port(), settings);
  exchange(third);
  secondMayAnswer.release();
  exchange(second);
  for (const auto& driver : {second, third}) {
    driver->pair.input->close();
    driver->pair.output->close();
  }
  std::lock_guard lock(serverMutex);
  ASSERT_EQ(resumed.size(), 3u);
  // The third connection finished first: it resumed nothing.
  EXPECT_EQ(resumed, (std::vector<bool>{false, false, true}));
  SSL_CTX_free(context);
}

// The failure of a connection that ends in its handshake; empty when none came.
std::string failureOf(const std::shared_ptr<Driver>& driver) {
  if (!runLoopUntil([&] { return driver->pair.input->error() != nullptr; })) return {};
  return driver->pair.input->error()->localizedDescription();
}

// The failure of a handshake with a plain-text server that `answers` the hello or not.
std::string failureAgainstPlainText(bool answers) {
  BeastAcceptor plain(BeastAcceptor::plainText(answers));
  return failureOf(open(plain.port(), {.validatesCertificateChain = false, .caFile = {}}));
}

TEST_F(TlsStreamTest, APlainTextPeerIsNamedWhetherItAnswersOrNot) {
  const std::string silent = failureAgainstPlainText(false);
  EXPECT_NE(silent.find("the server did not answer TLS: a plain-text port?"), std::string::npos)
      << silent;
  const std::string answering = failureAgainstPlainText(true);
  EXPECT_NE(answering.find("the server answered in plain text: does the URL need http?"),
            std::string::npos)
      << answering;
  EXPECT_EQ(answering.find("did not answer"), std::string::npos) << answering;
}

TEST_F(TlsStreamTest, AnEnvironmentCaFileThatGivesNoAnchorsIsNamedAndLoggedOnce) {
  dz::testing::ScopedSandbox sandbox;
  const auto notPem = sandbox.root() / "not-pem.txt";
  std::ofstream(notPem) << "no certificate here\n";
  SSL_CTX* context = testing::makeServerContext(identity_.certificatePem, identity_.privateKeyPem);
  BeastAcceptor server([&](boost::asio::ip::tcp::socket& socket) {
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, socket.native_handle());
    SSL_accept(ssl);
    SSL_free(ssl);
  });
  for (const std::string& file : {(sandbox.root() / "missing.pem").string(), notPem.string()}) {
    testing::ScopedEnvironment caFile("DZ_CA_FILE", file.c_str());
    dz::testing::StderrCapture capture;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const std::string failure =
          failureOf(open(server.port(), {.validatesCertificateChain = true, .caFile = {}}));
      EXPECT_NE(failure.find("DZ_CA_FILE"), std::string::npos) << failure;
      EXPECT_NE(failure.find(file), std::string::npos) << failure;
    }
    const std::string log = capture.text();
    const size_t first = log.find(file);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(file, first + 1), std::string::npos) << log;
  }
  SSL_CTX_free(context);
}

}  // namespace
}  // namespace dz::platform
