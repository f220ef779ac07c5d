// A PersistentConnection over the whole real stack (WebSocketConnection, WebSocket, socket
// streams) against an in-process development server on 127.0.0.1. Time is real: the backoff's
// random part is fixed at 0, so every retry waits 0.3 times its base delay.
#pragma once

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "database/core/persistent_connection.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "platform/resolver.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/dev_server.h"

namespace dz::e2e {

using namespace dz::database;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr auto kWait = seconds(20);

// Test data: a node of a plain value, and a merge of relative paths to values (JSON text).
inline NodePtr node(const Value& value) { return SnapshotUtilities::nodeFrom(value); }
inline CompoundWrite merge(std::string_view json) {
  return CompoundWrite::compoundWriteWithValueDictionary(Value::parseJson(json)->asMap());
}

// What the connection reports, as lines, with waiting for a line to appear.
class EventLog {
 public:
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  size_t count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return std::count(lines_.begin(), lines_.end(), line);
  }
  // Waits until `line` was added `times` times in all.
  bool waitFor(const std::string& line, size_t times = 1) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line)) >= times;
    });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class LoggingDelegate : public PersistentConnectionDelegate {
 public:
  explicit LoggingDelegate(EventLog& log) : log_(log) {}
  void onDataUpdate(PersistentConnection*, const std::string& pathString, PushedData message,
                    bool isMerge, std::optional<int64_t>) override {
    // The server names paths in wire form ("a/b"); log them as paths.
    log_.add(std::string(isMerge ? "merge " : "set ") + Path(pathString).toString() + " " +
             pushedDataText(message));
  }
  void onRangeMerge(const std::vector<RangeMerge>&, const std::string& pathString,
                    std::optional<int64_t>) override {
    log_.add("range " + pathString);
  }
  void onConnect(PersistentConnection*) override { log_.add("connect"); }
  void onDisconnect(PersistentConnection*) override { log_.add("disconnect"); }
  void onServerInfoUpdate(PersistentConnection*, const Value::Map&) override {}

 private:
  EventLog& log_;
};

// Hands out a fixed token and records whether each fetch forced a refresh.
class StaticTokenProvider : public AuthTokenProvider {
 public:
  explicit StaticTokenProvider(platform::DispatchQueuePtr queue) : queue_(std::move(queue)) {}
  void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override {
    {
      std::lock_guard lock(mutex_);
      forced_.push_back(forceRefresh);
    }
    queue_->async([callback, token = token_] { callback(token, nullptr); });
  }
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener) override {
    return std::make_unique<TokenListenerRegistration>();
  }
  std::vector<bool> forced() const {
    std::lock_guard lock(mutex_);
    return forced_;
  }

 private:
  platform::DispatchQueuePtr queue_;
  std::optional<std::string> token_ = std::string("e2e-token");
  mutable std::mutex mutex_;
  std::vector<bool> forced_;
};

class ConnectionEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { startServer({}); }
  void TearDown() override {
    if (connection_) onQueue([&] { connection_.reset(); });
    server_.reset();
    caFile_.reset();
  }

  void startServer(devserver::Options options) {
    server_ = devserver::DevServer::start(std::move(options));
    host_ = "ns.dz.test:" + std::to_string(server_->port());
    platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    platform::Resolver::setOverride("ns2.dz.test", "127.0.0.1");
  }
  // A TLS server whose CA the client trusts through DZ_CA_FILE.
  void startTlsServer() {
    devserver::Options options;
    options.tls = true;
    startServer(std::move(options));
    caFile_.emplace("DZ_CA_FILE", server_->caFile().c_str());
  }
  void makeConnection(bool secure = false) {
    repoInfo_ = RepoInfo::create(host_, secure, "ns");
    tokens_ = std::make_shared<StaticTokenProvider>(queue_);
    PersistentConnection::Dependencies dependencies;
    dependencies.random = [] { return 0.0; };
    dependencies.reachability = &reachability_;
    dependencies.notificationCenter = &notifications_;
    onQueue([&] {
      connection_ = PersistentConnection::create(
          repoInfo_, queue_, DatabaseConfig::create("e2e", tokens_), dependencies);
      connection_->setDelegate(delegate_);
    });
  }
  void openAndWaitConnected() {
    if (!connection_) makeConnection();
    onQueue([&] { connection_->open(); });
    ASSERT_TRUE(events_.waitFor("connect"));
    ASSERT_TRUE(waitOnQueue([&] { return connection_->canSendWrites(); }));
  }

  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  // Checks `condition` on the work queue after every reported event, up to the time-out.
  bool waitOnQueue(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      bool met = false;
      onQueue([&] { met = condition(); });
      if (met) return true;
      std::this_thread::yield();
    }
    return false;
  }
  WriteCallback writeLog(const std::string& name) {
    return [this, name](const WriteResult& result) { events_.add(name + " " + result.status); };
  }
  ListenCallback listenLog(const std::string& name) {
    return [this, name](const ErrorPtr& error) {
      events_.add(name + " " + (error ? error->localizedDescription() : "ok"));
    };
  }
  void listen(const std::string& path) {
    onQueue([&] {
      connection_->listen(QuerySpec::defaultQueryAtPath(Path(path)), std::nullopt, nullptr,
                          listenLog("listen " + path));
    });
  }
  // Requests of one action the server received, in order, as their bodies' paths.
  std::vector<std::string> serverPaths(const std::string& action) const {
    std::vector<std::string> paths;
    for (const auto& request : server_->requests()) {
      if (request.action != action) continue;
      const auto* body = request.body.if_object();
      const auto* path = body ? body->if_contains("p") : nullptr;
      paths.push_back(path && path->is_string() ? std::string(path->get_string()) : "?");
    }
    return paths;
  }

  dz::testing::ScopedSandbox sandbox_;
  std::unique_ptr<devserver::DevServer> server_;
  std::optional<dz::testing::ScopedEnvironment> caFile_;  // while a TLS server runs
  std::string host_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("e2e.work");
  platform::Reachability reachability_;
  platform::NotificationCenter notifications_;
  EventLog events_;
  std::shared_ptr<LoggingDelegate> delegate_ = std::make_shared<LoggingDelegate>(events_);
  RepoInfoPtr repoInfo_;
  std::shared_ptr<StaticTokenProvider> tokens_;
  std::shared_ptr<PersistentConnection> connection_;
};

}  // namespace dz::e2e
