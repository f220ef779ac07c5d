// Connection set-up cost of the socket streams, plain and TLS, against local servers, beside the
// floors measured in the same run: a TLS handshake done in memory (the handshake's own crypto,
// both sides) and a fresh client context with the system trust store (what every connection
// paid before contexts were shared). Then 2,000 TLS connections of the whole client stack open
// at once against the development server and each listens; prints the time that took and the
// process's peak thread count.
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "database/core/persistent_connection.h"
#include "database/utilities/repo_info.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/socket_stream.h"
#include "tests/support/beast_acceptor.h"
#include "tests/support/tls_server_context.h"
#include "tools/devserver/certificate_authority.h"
#include "tools/devserver/dev_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace dz;

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Mean time from open() to the open event, over `rounds` connections made one after another.
// With `readGreeting`, each connection then reads the server's first byte (untimed), which takes
// in the session tickets that arrive before it, so the next connection resumes.
double connectMicroseconds(uint16_t port, std::optional<platform::TlsSettings> tls, int rounds,
                           bool readGreeting = false) {
  struct Opened : platform::StreamDelegate {
    bool open = false, failed = false, bytes = false;
    void handleStreamEvent(platform::Stream&, platform::StreamEvent event) override {
      open = open || event == platform::StreamEvent::kOpenCompleted;
      failed = failed || event == platform::StreamEvent::kErrorOccurred;
      bytes = bytes || event == platform::StreamEvent::kHasBytesAvailable;
    }
  };
  Clock::duration total{};
  for (int i = 0; i < rounds; ++i) {
    auto delegate = std::make_shared<Opened>();
    auto pair = platform::createStreamPair("bench.dz.test", port);
    if (tls) pair.output->setTlsSettings(*tls);
    const auto start = Clock::now();
    for (platform::Stream* s : {static_cast<platform::Stream*>(pair.input.get()),
                                static_cast<platform::Stream*>(pair.output.get())}) {
      s->setDelegate(delegate);
      s->scheduleIn(platform::RunLoop::current());
      s->open();
    }
    platform::RunLoop::current().runUntil([&] { return delegate->open || delegate->failed; },
                                          std::chrono::seconds(10));
    total += Clock::now() - start;
    if (!delegate->open) {
      std::fprintf(stderr, "connection %d failed\n", i);
      std::exit(1);
    }
    uint8_t greeting = 0;
    while (readGreeting && greeting == 0 && !delegate->failed) {
      platform::RunLoop::current().runUntil([&] { return delegate->bytes || delegate->failed; },
                                            std::chrono::seconds(10));
      delegate->bytes = false;
      pair.input->read(&greeting, 1);
    }
    pair.input->close();
    pair.output->close();
  }
  return microseconds(total) / rounds;
}

// A full handshake between two SSL objects joined by a memory BIO pair, on this thread.
double inMemoryHandshakeMicroseconds(SSL_CTX* serverContext, const std::string& caFile,
                                     int rounds) {
  SSL_CTX* client = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(client, caFile.c_str(), nullptr);
  SSL_CTX_set_verify(client, SSL_VERIFY_PEER, nullptr);
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    SSL* c = SSL_new(client);
    SSL* s = SSL_new(serverContext);
    BIO *clientBio, *serverBio;
    BIO_new_bio_pair(&clientBio, 0, &serverBio, 0);
    SSL_set_bio(c, clientBio, clientBio);
    SSL_set_bio(s, serverBio, serverBio);
    SSL_set_connect_state(c);
    SSL_set_accept_state(s);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c), "127.0.0.1");
    bool clientDone = false, serverDone = false;
    while (!clientDone || !serverDone) {
      clientDone = clientDone || SSL_do_handshake(c) == 1;
      serverDone = serverDone || SSL_do_handshake(s) == 1;
    }
    SSL_free(c);
    SSL_free(s);
  }
  const double result = microseconds(Clock::now() - start) / rounds;
  SSL_CTX_free(client);
  return result;
}

// The peer: a blocking OpenSSL client with a context made once, on this thread.
double blockingClientMicroseconds(uint16_t port, const std::string& caFile, int rounds) {
  SSL_CTX* client = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(client, caFile.c_str(), nullptr);
  SSL_CTX_set_verify(client, SSL_VERIFY_PEER, nullptr);
  boost::asio::io_context io;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    socket.set_option(boost::asio::ip::tcp::no_delay(true));
    SSL* ssl = SSL_new(client);
    SSL_set_fd(ssl, socket.native_handle());
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    if (SSL_connect(ssl) != 1) std::fprintf(stderr, "peer handshake failed\n");
    SSL_free(ssl);
  }
  const double result = microseconds(Clock::now() - start) / rounds;
  SSL_CTX_free(client);
  return result;
}

double freshContextMicroseconds(int rounds) {
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_free(context);
  }
  return microseconds(Clock::now() - start) / rounds;
}

void connectCost() {
  auto authority = devserver::CertificateAuthority::create("bench");
  const auto identity = authority->issue({"bench.dz.test"}, {"127.0.0.1"});
  const auto folder =
      std::filesystem::temp_directory_path() / ("dz-bench-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string caFile = authority->writeCertificate(folder).string();
  SSL_CTX* context = testing::makeServerContext(identity.certificatePem, identity.privateKeyPem);

  testing::BeastAcceptor plainServer([](boost::asio::ip::tcp::socket& socket) {
    char byte;
    boost::system::error_code error;
    socket.read_some(boost::asio::buffer(&byte, 1), error);
  });
  std::atomic<int> resumedHandshakes = 0;
  testing::BeastAcceptor tlsServer(
      [context, &resumedHandshakes](boost::asio::ip::tcp::socket& socket) {
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, socket.native_handle());
        char byte;
        if (SSL_accept(ssl) == 1 && SSL_write(ssl, "g", 1) == 1) {
          if (SSL_session_reused(ssl) == 1) ++resumedHandshakes;
          SSL_read(ssl, &byte, 1);
        }
        SSL_free(ssl);
      });
  platform::Resolver::setOverride("bench.dz.test", "127.0.0.1");
  constexpr int kRounds = 300;
  platform::TlsSettings tls{.validatesCertificateChain = true, .caFile = caFile};
  connectMicroseconds(plainServer.port(), std::nullopt, 10);  // warm-up
  const double plain = connectMicroseconds(plainServer.port(), std::nullopt, kRounds);
  const double secure = connectMicroseconds(tlsServer.port(), tls, kRounds);
  const int resumedBefore = resumedHandshakes;
  const double resumed = connectMicroseconds(tlsServer.port(), tls, kRounds, true);
  const int resumedCount = resumedHandshakes - resumedBefore;
  const double handshake = inMemoryHandshakeMicroseconds(context, caFile, kRounds);
  const double freshContext = freshContextMicroseconds(20);
  const double peer = blockingClientMicroseconds(tlsServer.port(), caFile, kRounds);
  std::printf("%-44s %10s\n", "connection set-up", "us");
  std::printf("%-44s %10.1f\n", "plain connect", plain);
  std::printf("%-44s %10.1f\n", "TLS connect (ours)", secure);
  std::printf("%-44s %10.1f  (%d of %d resumed)\n", "TLS reconnect, session resumed (ours)",
              resumed, resumedCount, kRounds);
  std::printf("%-44s %10.1f\n", "peer: blocking OpenSSL client", peer);
  std::printf("%-44s %10.1f\n", "floor: full handshake in memory", handshake);
  std::printf("%-44s %10.1f\n", "a fresh context with the system trust store", freshContext);
  std::printf("TLS connect / (plain connect + handshake): %.2f (goal: at most 2)\n",
              secure / (plain + handshake));
  std::printf("TLS connect / blocking OpenSSL client: %.2f\n", secure / peer);
  SSL_CTX_free(context);
  std::filesystem::remove_all(folder);
}

size_t threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
  }
  return 0;
}

class NoTokenProvider : public database::AuthTokenProvider {
 public:
  void fetchTokenForcingRefresh(bool, database::TokenCallback callback) override {
    callback(std::nullopt, nullptr);
  }
  database::TokenListenerRegistrationPtr listenForTokenChanges(
      database::TokenChangeListener) override {
    return std::make_unique<database::TokenListenerRegistration>();
  }
};

void manyConnections(size_t count) {
  using namespace dz::database;
  devserver::Options options;
  options.tls = true;
  auto server = devserver::DevServer::start(options);
  ::setenv("DZ_CA_FILE", server->caFile().c_str(), 1);
  platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto repoInfo = RepoInfo::create("ns.dz.test:" + std::to_string(server->port()), true, "ns");
  auto config = DatabaseConfig::create("bench", std::make_shared<NoTokenProvider>());
  std::mutex mutex;
  std::condition_variable changed;
  size_t listening = 0, failed = 0, peakThreads = 0;
  std::atomic<bool> sampling = true;
  std::thread sampler([&] {
    while (sampling) {
      {
        std::lock_guard lock(mutex);
        peakThreads = std::max(peakThreads, threadCount());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::pair<platform::DispatchQueuePtr, std::shared_ptr<PersistentConnection>>> clients;
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    auto queue = platform::DispatchQueue::create("bench.client");
    auto connection = PersistentConnection::create(repoInfo, queue, config);
    queue->async([&, connection, i] {
      connection->open();
      connection->listen(QuerySpec::defaultQueryAtPath(Path("/scale/c" + std::to_string(i))),
                         std::nullopt, nullptr, [&](const ErrorPtr& error) {
                           std::lock_guard lock(mutex);
                           (error ? failed : listening)++;
                           changed.notify_all();
                         });
    });
    clients.emplace_back(queue, connection);
  }
  {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(120), [&] { return listening + failed == count; });
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sampling = false;
  sampler.join();
  std::printf("%zu TLS connections listening: %zu ok, %zu failed, in %.2f s; peak threads %zu\n",
              count, listening, failed, seconds, peakThreads);
  for (auto& [queue, connection] : clients) queue->sync([&connection] { connection.reset(); });
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // the test server's OpenSSL writes to clients that have gone
  connectCost();
  // scripts/bench passes its arguments to every program: only a plain count is ours.
  const bool counted = argc > 1 && std::all_of(argv[1], argv[1] + std::strlen(argv[1]), ::isdigit);
  manyConnections(counted ? std::stoul(argv[1]) : 2000);
  return 0;
}
