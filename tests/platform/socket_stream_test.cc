#include "platform/socket_stream.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <condition_variable>
#include <csignal>
#include <cstdlib>

#include "platform/crypto.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "tests/platform/generous_wait.h"
#include "tests/support/beast_acceptor.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/scoped_environment.h"

namespace dz::platform {
namespace {

using testing::BeastAcceptor;
struct Recorder : StreamDelegate {
  std::vector<std::pair<bool, StreamEvent>> events;
  void handleStreamEvent(Stream& stream, StreamEvent event) override {
    events.emplace_back(stream.isInput(), event);
  }
  bool saw(bool input, StreamEvent event) const {
    return std::find(events.begin(), events.end(), std::make_pair(input, event)) != events.end();
  }
};

struct Connected {
  StreamPair pair = {};
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

// Opens a pair on this thread's run loop, which the test pumps while it waits.
Connected connect(const std::string& host, uint16_t port) {
  Connected c;
  c.pair = createStreamPair(host, port);
  for (Stream* s :
       {static_cast<Stream*>(c.pair.input.get()), static_cast<Stream*>(c.pair.output.get())}) {
    s->setDelegate(c.recorder);
    s->scheduleIn(RunLoop::current());
    s->open();
  }
  return c;
}

std::string readAll(InputStream& input, size_t count) {
  std::string got;
  uint8_t buffer[256];
  runLoopUntil([&] {
    const ssize_t n = input.read(buffer, sizeof buffer);
    if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    return got.size() >= count || n < 0;
  });
  return got;
}

BeastAcceptor::Serve echoBytes() {
  return [](boost::asio::ip::tcp::socket& socket) {
    char buffer[4096];
    boost::system::error_code error;
    while (true) {
      const size_t n = socket.read_some(boost::asio::buffer(buffer), error);
      if (error) return;
      boost::asio::write(socket, boost::asio::buffer(buffer, n));
    }
  };
}

TEST(SocketStreamTest, OpensThroughAnOverrideAndEchoesBytes) {
  BeastAcceptor server(echoBytes());
  Resolver::setOverride("echo.dz.test", "127.0.0.1");
  Connected c = connect("echo.dz.test", server.port());
  ASSERT_TRUE(runLoopUntil([&] { return c.recorder->saw(true, StreamEvent::kOpenCompleted); }));
  EXPECT_TRUE(c.recorder->saw(false, StreamEvent::kOpenCompleted));
  EXPECT_TRUE(c.recorder->saw(false, StreamEvent::kHasSpaceAvailable));
  EXPECT_EQ(c.pair.input->status(), StreamStatus::kOpen);
  EXPECT_GE(c.pair.output->nativeSocket(), 0);
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(
      ::getsockopt(c.pair.output->nativeSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0) << "small frames must not wait for the peer's delayed acknowledgement";
  EXPECT_TRUE(c.pair.output->peerCertificateChain().empty());
  ASSERT_TRUE(c.pair.output->hasSpaceAvailable());

  const std::string message = "hello over a socket stream";
  EXPECT_EQ(c.pair.output->write(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
            static_cast<ssize_t>(message.size()));
  ASSERT_TRUE(runLoopUntil([&] { return c.recorder->saw(true, StreamEvent::kHasBytesAvailable); }));
  EXPECT_EQ(readAll(*c.pair.input, message.size()), message);
  c.pair.input->close();
  c.pair.output->close();
  EXPECT_EQ(c.pair.input->status(), StreamStatus::kClosed);
  Resolver::removeOverride("echo.dz.test");
}

TEST(SocketStreamTest, PeerClosingEndsTheInputStream) {
  BeastAcceptor server([](boost::asio::ip::tcp::socket& socket) {
    boost::asio::write(socket, boost::asio::buffer("last words", 10));
  });
  Connected c = connect("127.0.0.1", server.port());
  EXPECT_EQ(readAll(*c.pair.input, 10), "last words");
  ASSERT_TRUE(runLoopUntil([&] {
    uint8_t byte;
    c.pair.input->read(&byte, 1);
    return c.recorder->saw(true, StreamEvent::kEndEncountered);
  }));
  EXPECT_EQ(c.pair.input->status(), StreamStatus::kAtEnd);
  EXPECT_FALSE(c.pair.input->error());
}

TEST(SocketStreamTest, RefusedConnectionIsAnErrorEvent) {
  // A bound socket that does not listen: connecting to its port is refused.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  Connected c = connect("127.0.0.1", ntohs(address.sin_port));
  ASSERT_TRUE(runLoopUntil([&] { return c.recorder->saw(true, StreamEvent::kErrorOccurred); }));
  ::close(fd);
  ASSERT_TRUE(c.pair.input->error());
  EXPECT_EQ(c.pair.input->error()->domain(), kSocketErrorDomain);
  EXPECT_EQ(c.pair.input->error()->code(), ECONNREFUSED);
  EXPECT_EQ(c.pair.output->status(), StreamStatus::kError);
  EXPECT_EQ(c.pair.output->write(reinterpret_cast<const uint8_t*>("x"), 1), -1);
}

TEST(SocketStreamTest, WritingToAVanishedPeerIsAnErrorNotASignal) {
  BeastAcceptor server([](boost::asio::ip::tcp::socket&) {});  // closes at once
  Connected c = connect("127.0.0.1", server.port());
  ASSERT_TRUE(runLoopUntil([&] { return c.recorder->saw(false, StreamEvent::kOpenCompleted); }));
  const auto previous = std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test program
  const std::string chunk(65536, 'w');
  ssize_t result = 0;
  runLoopUntil([&] {
    result = c.pair.output->write(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
    return result < 0;
  });
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(result, -1);
  ASSERT_TRUE(c.pair.output->error());
  EXPECT_EQ(c.pair.output->error()->domain(), kSocketErrorDomain);
}

TEST(ResolverTest, OverridesFromTheApiAndTheEnvironment) {
  ErrorPtr error;
  {
    testing::ScopedEnvironment resolve("DZ_RESOLVE", "a.dz.test=127.0.0.2, bad , b.dz.test=::1");
    auto found = Resolver::resolve("A.dz.test", 80, error);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].family(), AF_INET);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(found[0].address())->sin_addr.s_addr,
              htonl(0x7F000002));
    Resolver::setOverride("a.dz.test", "127.0.0.3");
    found = Resolver::resolve("a.dz.test", 80, error);
    Resolver::removeOverride("a.dz.test");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(found[0].address())->sin_addr.s_addr,
              htonl(0x7F000003));
  }

  Resolver::setOverride("broken.dz.test", "not an address");
  auto found = Resolver::resolve("broken.dz.test", 80, error);
  Resolver::removeOverride("broken.dz.test");
  EXPECT_TRUE(found.empty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kResolverErrorDomain);

  // A name where the address goes is the entry's fault, not the host's.
  testing::ScopedEnvironment resolve("DZ_RESOLVE", "named.dz.test=localhost");
  error = nullptr;
  EXPECT_TRUE(Resolver::resolve("named.dz.test", 80, error).empty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(),
            "cannot resolve named.dz.test: its DZ_RESOLVE entry or override needs a numeric "
            "address, not \"localhost\"");
}

TEST(ResolverTest, AnEnvironmentEntryWithoutAnAddressIsLoggedOnce) {
  // The process remembers what it logged: an entry of each run's own keeps a repetition honest.
  static int run = 0;
  const std::string entry = "forgot-address-" + std::to_string(run++) + ".dz.test";
  testing::ScopedEnvironment resolve("DZ_RESOLVE", (entry + ",a.dz.test=127.0.0.2").c_str());
  testing::StderrCapture capture;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ErrorPtr error;
    Resolver::resolve("a.dz.test", 80, error);
  }
  const std::string log = capture.text();
  const size_t first = log.find(entry);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(entry, first + 1), std::string::npos) << log;
  EXPECT_NE(log.find("DZ_RESOLVE"), std::string::npos) << log;
}

TEST(ResolverTest, AsynchronousLookUpsRunOnAFewThreads) {
  // Numeric hosts need no look-up and complete at once; names complete later, all of them.
  bool numericDone = false;
  Resolver::resolveAsync("127.0.0.1", 80, [&](std::vector<SocketAddress> found, auto) {
    numericDone = found.size() == 1;
  });
  EXPECT_TRUE(numericDone);
  constexpr int kLookUps = 64;
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0, found = 0;
  for (int i = 0; i < kLookUps; ++i) {
    Resolver::resolveAsync("localhost", 80, [&](std::vector<SocketAddress> addresses, auto) {
      std::lock_guard lock(mutex);
      found += addresses.empty() ? 0 : 1;
      ++done;
      changed.notify_all();
    });
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, kGenerousWait, [&] { return done == kLookUps; }));
  EXPECT_EQ(found, kLookUps);
}

// --- Exit -------------------------------------------------------------------------------------

// The network thread never stops, so a connection may still be opening while the process exits.
// This handler is registered before main, so at exit it runs after the exit work of everything
// set up later (library clean-ups, static destructors): armed, it opens a TLS connection through
// a resolver override and succeeds once the ClientHello reaches the listener.
std::atomic<int> exitProbeListener{-1};
void openTlsAtExit() {
  const int listener = exitProbeListener.load();
  if (listener < 0) return;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  Resolver::setOverride("exit.dz.test", "127.0.0.1");
  StreamPair pair = createStreamPair("exit.dz.test", ntohs(address.sin_port));
  pair.output->setTlsSettings({});
  pair.input->scheduleIn(RunLoop::current());
  pair.input->open();
  int accepted = -1;
  const bool helloArrived = RunLoop::current().runUntil(
      [&] {
        if (pair.input->status() == StreamStatus::kError) return true;
        if (accepted < 0) accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        char byte;
        return accepted >= 0 && ::recv(accepted, &byte, 1, 0) == 1;
      },
      kGenerousWait);
  std::_Exit(helloArrived && pair.input->status() != StreamStatus::kError ? 0 : 3);
}
[[maybe_unused]] const bool exitProbeRegistered = std::atexit(openTlsAtExit) == 0;

TEST(SocketStreamExitTest, ATlsConnectionOpensWhileTheProcessExits) {
  // A child forked while earlier tests' threads hold the allocator's lock would hang in it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // The resolver and OpenSSL in use before exit, as in any program that connects.
        Resolver::setOverride("exit.dz.test", "127.0.0.1");
        ErrorPtr error;
        Resolver::resolve("exit.dz.test", 1, error);
        secureRandomBytes(16);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 1) != 0) {
          std::_Exit(4);
        }
        exitProbeListener = listener;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dz::platform
