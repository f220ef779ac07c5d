// The session fetcher against a real HTTPS peer (the development server's HTTPS listener) on
// 127.0.0.1, reached by name through the resolver's overrides, with its CA trusted through
// DZ_CA_FILE.
#include "toolbox/session_fetcher.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <future>
#include <thread>

#include "platform/exception.h"
#include "platform/resolver.h"
#include "tests/support/beast_raw_server.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/certificate_authority.h"
#include "tools/devserver/https_listener.h"

namespace dz::toolbox {
namespace {

namespace asio = boost::asio;
using devserver::HttpRequest;
using devserver::HttpResponse;
using std::chrono::milliseconds;

constexpr auto kWait = std::chrono::seconds(20);

struct Outcome {
  std::optional<std::string> data;
  ErrorPtr error;
  bool onCallbackQueue = false;
};

class HttpsPeer {
 public:
  explicit HttpsPeer(std::function<HttpResponse(const HttpRequest&)> answer)
      : folder_(std::filesystem::temp_directory_path() /
                ("dz-toolbox-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(folder_);
    auto authority = devserver::CertificateAuthority::create("toolbox test CA");
    caFile_ = authority->writeCertificate(folder_);
    auto issued = authority->issue({"api.dz.test"}, {"127.0.0.1"});
    auto tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    tls->use_certificate_chain(asio::buffer(issued.certificatePem));
    tls->use_private_key(asio::buffer(issued.privateKeyPem), asio::ssl::context::pem);
    listener_ = devserver::HttpsListener::create(
        io_, 0, tls,
        [this, answer = std::move(answer)](const HttpRequest& request,
                                           devserver::HttpResponder respond) {
          {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
          }
          respond(answer(request));
        });
    listener_->start();
    thread_ = std::thread([this] { io_.run(); });
    platform::Resolver::setOverride("api.dz.test", "127.0.0.1");
  }
  ~HttpsPeer() {
    std::promise<void> stopped;
    asio::post(io_, [&] {
      listener_->stop();
      stopped.set_value();
    });
    stopped.get_future().wait();
    work_.reset();
    thread_.join();
    std::filesystem::remove_all(folder_);
  }

  std::string url(const std::string& path) const {
    return "https://api.dz.test:" + std::to_string(listener_->port()) + path;
  }
  const std::filesystem::path& caFile() const { return caFile_; }
  size_t acceptedConnections() const { return listener_->acceptedConnections(); }
  std::vector<HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  std::filesystem::path folder_;
  std::filesystem::path caFile_;
  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::shared_ptr<devserver::HttpsListener> listener_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
};

class SessionFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_->setCallbackQueue(queue_);
    service_->setUserAgent("toolbox-test/1.0 machine");
  }
  void trust(const HttpsPeer& peer) { caFile_.emplace("DZ_CA_FILE", peer.caFile().c_str()); }

  Outcome fetch(URLRequest request, std::optional<std::string> body = std::nullopt) {
    auto fetcher = service_->fetcherWithRequest(std::move(request));
    if (body) fetcher->setBodyData(*body);
    std::promise<Outcome> done;
    fetcher->beginFetch([&](std::optional<std::string> data, ErrorPtr error) {
      done.set_value({std::move(data), std::move(error), queue_->isCurrent()});
    });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
    return future.get();
  }

  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("toolbox.callbacks");
  SessionFetcherServicePtr service_ = SessionFetcherService::create();
  std::optional<dz::testing::ScopedEnvironment> caFile_;
};

TEST_F(SessionFetcherTest, PostsTheBodyOverVerifiedTlsAndAnswersOnTheCallbackQueue) {
  HttpsPeer peer([](const HttpRequest& request) {
    return HttpResponse{.body = "{\"echo\":" + std::to_string(request.body.size()) + "}"};
  });
  trust(peer);
  Outcome outcome =
      fetch({.url = peer.url("/v1/thing?key=k"),
             .headers = {{"Content-Type", "application/json"}, {"X-Injected", "a\r\nEvil: yes"}}},
            std::string("{\"a\":1}"));
  ASSERT_EQ(outcome.error, nullptr) << outcome.error->localizedDescription();
  EXPECT_EQ(outcome.data, "{\"echo\":7}");
  EXPECT_TRUE(outcome.onCallbackQueue);
  auto requests = peer.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v1/thing?key=k");
  EXPECT_EQ(requests[0].body, "{\"a\":1}");
  EXPECT_EQ(requests[0].headers["user-agent"], "toolbox-test/1.0 machine");
  EXPECT_EQ(requests[0].headers["content-type"], "application/json");
  // A header value with a line break is never sent, so it cannot add headers.
  EXPECT_EQ(requests[0].headers.count("x-injected"), 0u);
  EXPECT_EQ(requests[0].headers.count("evil"), 0u);
}

TEST_F(SessionFetcherTest, StatusAboveTwoNinetyNineIsAnErrorWithTheBodyKept) {
  HttpsPeer peer([](const HttpRequest&) {
    return HttpResponse{.status = 400, .body = "{\"error\":{\"message\":\"NOPE\"}}"};
  });
  trust(peer);
  Outcome outcome = fetch({.url = peer.url("/x")}, std::string("{}"));
  ASSERT_NE(outcome.error, nullptr);
  EXPECT_EQ(outcome.error->domain(), kFetcherStatusErrorDomain);
  EXPECT_EQ(outcome.error->code(), 400);
  EXPECT_EQ(outcome.data, "{\"error\":{\"message\":\"NOPE\"}}");
  EXPECT_EQ(peer.requests().at(0).method, "POST");
}

TEST_F(SessionFetcherTest, TransportFailuresHaveNoData) {
  HttpsPeer slow([](const HttpRequest&) { return HttpResponse{.delay = std::chrono::seconds(5)}; });
  trust(slow);
  service_->setTimeout(milliseconds(300));
  Outcome timedOut = fetch({.url = slow.url("/slow")});
  ASSERT_NE(timedOut.error, nullptr);
  EXPECT_EQ(timedOut.error->domain(), kFetcherNetworkErrorDomain);
  EXPECT_EQ(timedOut.data, std::nullopt);
  EXPECT_TRUE(timedOut.onCallbackQueue);

  HttpsPeer dropping([](const HttpRequest&) { return HttpResponse{.drop = true}; });
  trust(dropping);
  Outcome dropped = fetch({.url = dropping.url("/drop")});
  ASSERT_NE(dropped.error, nullptr);
  EXPECT_EQ(dropped.error->domain(), kFetcherNetworkErrorDomain);
}

TEST_F(SessionFetcherTest, AnUntrustedCertificateIsRefused) {
  HttpsPeer peer([](const HttpRequest&) { return HttpResponse{.body = "{}"}; });
  Outcome outcome = fetch({.url = peer.url("/")});
  ASSERT_NE(outcome.error, nullptr);
  EXPECT_EQ(outcome.error->domain(), kFetcherNetworkErrorDomain);
  EXPECT_EQ(outcome.data, std::nullopt);
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(SessionFetcherTest, ACaFileThatGivesNoAnchorsIsNamedInTheFailure) {
  HttpsPeer peer([](const HttpRequest&) { return HttpResponse{.body = "{}"}; });
  const std::string missing = (peer.caFile().parent_path() / "missing.pem").string();
  dz::testing::ScopedEnvironment caFile("DZ_CA_FILE", missing.c_str());
  Outcome untrusted = fetch({.url = peer.url("/")});
  ASSERT_NE(untrusted.error, nullptr);
  EXPECT_NE(untrusted.error->localizedDescription().find("DZ_CA_FILE"), std::string::npos);
  EXPECT_NE(untrusted.error->localizedDescription().find(missing), std::string::npos)
      << untrusted.error->localizedDescription();
}

TEST_F(SessionFetcherTest, APlainTextPortReachedOverHttpsIsNamed) {
  using dz::testing::BeastAcceptor;
  auto failure = [&](bool answers) {
    BeastAcceptor plain(BeastAcceptor::plainText(answers));
    Outcome outcome = fetch({.url = "https://127.0.0.1:" + std::to_string(plain.port()) + "/"});
    return outcome.error ? outcome.error->localizedDescription() : "no failure";
  };
  const std::string silent = failure(false);
  EXPECT_NE(silent.find("the server did not answer TLS: a plain-text port?"), std::string::npos)
      << silent;
  const std::string answering = failure(true);
  EXPECT_NE(answering.find("the server answered in plain text: does the URL need http?"),
            std::string::npos)
      << answering;
  EXPECT_EQ(answering.find("did not answer"), std::string::npos) << answering;
}

TEST_F(SessionFetcherTest, SequentialFetchesReuseOneConnection) {
  HttpsPeer peer([](const HttpRequest&) { return HttpResponse{.body = "{}"}; });
  trust(peer);
  for (int i = 0; i < 5; ++i) {
    Outcome outcome = fetch({.url = peer.url("/n")}, std::string("{}"));
    ASSERT_EQ(outcome.error, nullptr);
  }
  EXPECT_EQ(peer.acceptedConnections(), 1u);
  EXPECT_EQ(service_->connectionsOpened(), 1u);
}

// A kept-open connection that ends after the server read a request and before any answer: the
// request may have run, so a POST fails with a transport error and is never sent again.
TEST_F(SessionFetcherTest, APostWhoseKeptConnectionClosesBeforeTheAnswerIsNotSentAgain) {
  std::atomic<int> received{0};
  HttpsPeer peer([&](const HttpRequest&) {
    return ++received == 2 ? HttpResponse{.drop = true} : HttpResponse{.body = "{}"};
  });
  trust(peer);
  ASSERT_EQ(fetch({.url = peer.url("/first")}, std::string("{}")).error, nullptr);
  Outcome dropped = fetch({.url = peer.url("/second")}, std::string("{\"n\":2}"));
  ASSERT_NE(dropped.error, nullptr);
  EXPECT_EQ(dropped.error->domain(), kFetcherNetworkErrorDomain);
  EXPECT_EQ(dropped.data, std::nullopt);
  EXPECT_EQ(peer.requests().size(), 2u);
  // The next fetch goes out on a new connection.
  ASSERT_EQ(fetch({.url = peer.url("/third")}, std::string("{}")).error, nullptr);
  EXPECT_EQ(peer.requests().size(), 3u);
}

// The same with a reset, over plain HTTP. A GET cannot run twice to harm, so it may still go out
// again on a new connection.
TEST_F(SessionFetcherTest, OnlyRepeatableRequestsGoOutAgainAfterAReset) {
  std::mutex mutex;
  std::vector<std::string> received;  // request lines
  dz::testing::RawScriptedServer peer([&](dz::testing::RawScriptedServer::Connection& connection) {
    for (int answered = 0;; ++answered) {
      std::string request = connection.readRequest();
      if (request.empty()) return;
      {
        std::lock_guard lock(mutex);
        received.push_back(request.substr(
            request.find('/'), request.find(' ', request.find('/')) - request.find('/')));
      }
      // Every connection answers once; the next request kills it.
      if (answered == 1) return connection.resetOnClose();
      connection.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
    }
  });
  const std::string base = "http://127.0.0.1:" + std::to_string(peer.port());
  auto requests = [&] {
    std::lock_guard lock(mutex);
    return received;
  };
  ASSERT_EQ(fetch({.url = base + "/a"}, std::string()).error, nullptr);
  Outcome reset = fetch({.url = base + "/b"}, std::string());
  ASSERT_NE(reset.error, nullptr);
  EXPECT_EQ(reset.error->domain(), kFetcherNetworkErrorDomain);
  EXPECT_EQ(requests(), (std::vector<std::string>{"/a", "/b"}));

  ASSERT_EQ(fetch({.url = base + "/c"}).error, nullptr);  // a new connection, answered
  Outcome repeated = fetch({.url = base + "/d"});
  EXPECT_EQ(repeated.error, nullptr);
  EXPECT_EQ(repeated.data, "{}");
  EXPECT_EQ(requests(), (std::vector<std::string>{"/a", "/b", "/c", "/d", "/d"}));
}

TEST_F(SessionFetcherTest, MisuseIsRefusedOnTheCallersThread) {
  auto fetcher = service_->fetcherWithRequest({.url = "ftp://api.dz.test/"});
  EXPECT_THROW(fetcher->beginFetch([](auto, auto) {}), Exception);
  auto good = service_->fetcherWithRequest({.url = "https://api.dz.test/"});
  EXPECT_THROW(good->beginFetch(nullptr), Exception);
}

}  // namespace
}  // namespace dz::toolbox
