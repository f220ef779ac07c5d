// A PersistentConnection over scripted realtime connections: the test plays the server (ready,
// replies, pushes, drops), answers token fetches and moves time with a ManualScheduler. Every
// call into the connection runs on the test's work queue.
#pragma once

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <deque>

#include "database/core/persistent_connection.h"
#include "database/realtime/message_decoder.h"
#include "database/realtime/request_encoder.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "platform/wall_clock.h"
#include "tests/support/sandbox.h"

namespace dz::database::testing {

// Test data: a node of a plain value, a node of JSON text, and a merge of relative paths to
// values (JSON text).
inline NodePtr valueNode(const Value& value) { return SnapshotUtilities::nodeFrom(value); }
inline NodePtr textNode(const std::string& json) {
  return SnapshotUtilities::nodeFromJsonText(json);
}
inline CompoundWrite pathsMerge(std::string_view json) {
  return CompoundWrite::compoundWriteWithValueDictionary(Value::parseJson(json)->asMap());
}

// A listen's outcome as a log word: "ok" or the error's description.
inline std::string outcome(const ErrorPtr& error) {
  return error ? error->localizedDescription() : "ok";
}

class FakeRealtimeConnection : public RealtimeConnection {
 public:
  explicit FakeRealtimeConnection(std::weak_ptr<ConnectionDelegate> delegate)
      : delegate_(std::move(delegate)) {}

  void open() override { opened = true; }
  void close() override {
    if (closed) return;
    closed = true;
    if (auto d = delegate_.lock()) d->onDisconnect(this, ConnectionCloseReason::Other);
  }
  void sendRequest(Request request, bool sensitive) override {
    EXPECT_FALSE(closed) << "request sent on a closed connection";
    requests.push_back(encodeRequest(request));
    sensitiveFlags.push_back(sensitive);
  }

  // The server's side (call on the work queue).
  void ready(double timestamp = 1.7e12, const std::string& sessionId = "session") {
    if (auto d = delegate_.lock()) d->onReady(this, timestamp, sessionId);
  }
  void message(const std::string& json) {
    if (auto d = delegate_.lock()) {
      d->onDataMessage(this, decodeServerMessage(boost::json::parse(json).as_object()));
    }
  }
  void reply(int64_t requestNumber, const std::string& status, boost::json::value data = nullptr) {
    boost::json::object body{{"s", status}, {"d", std::move(data)}};
    if (auto d = delegate_.lock()) {
      d->onDataMessage(this, decodeServerMessage(boost::json::object{{"r", requestNumber},
                                                                     {"b", std::move(body)}}));
    }
  }
  void push(const std::string& action, const std::string& bodyJson) {
    message(R"({"a":")" + action + R"(","b":)" + bodyJson + "}");
  }
  void drop(ConnectionCloseReason reason = ConnectionCloseReason::Other) {
    if (closed) return;
    closed = true;
    if (auto d = delegate_.lock()) d->onDisconnect(this, reason);
  }
  void kill(const std::string& reason) {
    if (auto d = delegate_.lock()) d->onKill(this, reason);
    close();
  }

  // Requests sent so far, as "action" or "action body".
  std::vector<std::string> actions() const {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(std::string(r.at("a").as_string()));
    return out;
  }
  // The number of the last request with `action`, or -1.
  int64_t lastNumberOf(const std::string& action) const {
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
      if (it->at("a").as_string() == action) return it->at("r").as_int64();
    }
    return -1;
  }
  const boost::json::object& lastBodyOf(const std::string& action) const {
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
      if (it->at("a").as_string() == action) return it->at("b").as_object();
    }
    static const boost::json::object kNone;
    ADD_FAILURE() << "no request " << action;
    return kNone;
  }

  bool opened = false;
  bool closed = false;
  std::vector<boost::json::object> requests;
  std::vector<bool> sensitiveFlags;

 private:
  std::weak_ptr<ConnectionDelegate> delegate_;
};

// Token fetches wait until the test answers them, or are answered with `autoToken`.
class FakeTokenProvider : public AuthTokenProvider {
 public:
  explicit FakeTokenProvider(platform::DispatchQueuePtr queue) : queue_(std::move(queue)) {}

  void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override {
    forceFlags.push_back(forceRefresh);
    if (autoAnswer) {
      queue_->async([callback, token = autoToken] { callback(token, nullptr); });
    } else {
      pending.push_back(std::move(callback));
    }
  }
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener) override {
    return std::make_unique<TokenListenerRegistration>();
  }
  // Answers the oldest pending fetch (call on the work queue).
  void answer(std::optional<std::string> token, ErrorPtr error = nullptr) {
    ASSERT_FALSE(pending.empty());
    auto callback = std::move(pending.front());
    pending.pop_front();
    callback(std::move(token), std::move(error));
  }

  bool autoAnswer = true;
  std::optional<std::string> autoToken = std::string("token-1");
  std::vector<bool> forceFlags;
  std::deque<TokenCallback> pending;

 private:
  platform::DispatchQueuePtr queue_;
};

struct RecordingConnectionDelegate : PersistentConnectionDelegate {
  void onDataUpdate(PersistentConnection*, const std::string& pathString, PushedData message,
                    bool isMerge, std::optional<int64_t> tagId) override {
    events.push_back(std::string(isMerge ? "merge " : "set ") + pathString + " " +
                     pushedDataText(message) + (tagId ? " tag " + std::to_string(*tagId) : ""));
  }
  void onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                    std::optional<int64_t> tagId) override {
    std::string text = "range " + pathString;
    for (const auto& r : ranges) {
      text += " [" + (r.start() ? r.start()->toString() : std::string("open")) + "," +
              (r.end() ? r.end()->toString() : std::string("open")) + "]" +
              r.updates()->description();
    }
    if (tagId) text += " tag " + std::to_string(*tagId);
    events.push_back(text);
  }
  void onConnect(PersistentConnection*) override { events.push_back("connect"); }
  void onDisconnect(PersistentConnection*) override { events.push_back("disconnect"); }
  void onServerInfoUpdate(PersistentConnection*, const Value::Map& updates) override {
    serverTimeOffset = updates.at("serverTimeOffset").asDouble();
  }
  std::vector<std::string> events;
  std::optional<double> serverTimeOffset;
};

struct FixedHash : SyncTreeHash {
  explicit FixedHash(std::string hash) : hash_(std::move(hash)) {}
  std::string simpleHash() const override { return hash_; }
  CompoundHash compoundHash() const override { return {}; }
  bool includeCompoundHash() const override { return false; }
  std::string hash_;
};

class PersistentConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repoInfo_ = RepoInfo::create("ns.dz.test", true, "ns");
    tokens_ = std::make_shared<FakeTokenProvider>(queue_);
    config_ = DatabaseConfig::create("test", tokens_);
    delegate_ = std::make_shared<RecordingConnectionDelegate>();
    PersistentConnection::Dependencies dependencies;
    dependencies.connectionFactory = [this](std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr,
                                            std::optional<std::string> lastSessionId,
                                            std::weak_ptr<ConnectionDelegate> delegate) {
      lastSessionIds_.push_back(lastSessionId.value_or(""));
      auto fake = std::make_shared<FakeRealtimeConnection>(std::move(delegate));
      connections_.push_back(fake);
      return fake;
    };
    dependencies.scheduler = scheduler_;
    dependencies.random = [] { return 0.0; };  // every delay is 0.3 times its base
    dependencies.reachability = &reachability_;
    dependencies.notificationCenter = &notifications_;
    platform::setWallClockSource([this] { return wallClock_; });
    onQueue([&] {
      connection_ = PersistentConnection::create(repoInfo_, queue_, config_, dependencies);
      connection_->setDelegate(delegate_);
    });
  }
  void TearDown() override {
    onQueue([&] { connection_.reset(); });
    onQueue([] {});
    platform::setWallClockSource({});
  }

  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  void flush() {
    onQueue([] {});
  }
  void advance(std::chrono::milliseconds by) {
    scheduler_->advance(by);
    flush();
  }
  PersistentConnection::State state() {
    PersistentConnection::State s;
    onQueue([&] { s = connection_->state(); });
    return s;
  }
  FakeRealtimeConnection& realtime() { return *connections_.back(); }

  // open(), token fetched, connection made (not ready yet).
  void openAndConnect() {
    onQueue([&] { connection_->open(); });
    flush();
    flush();
    ASSERT_FALSE(connections_.empty());
    ASSERT_EQ(state(), PersistentConnection::State::Opening);
  }
  // Ready, with the auth reply when a token is set: the connection is online.
  void becomeReady() {
    onQueue([&] { realtime().ready(); });
    if (state() == PersistentConnection::State::Authorizing) {
      onQueue([&] { realtime().reply(realtime().lastNumberOf("auth"), "ok"); });
    }
    flush();
    ASSERT_EQ(state(), PersistentConnection::State::Online);
  }
  void connectOnline() {
    openAndConnect();
    becomeReady();
  }
  // Drops the current connection and waits out the backoff until the next one is made.
  void dropAndReconnect() {
    size_t before = connections_.size();
    onQueue([&] { realtime().drop(); });
    for (int i = 0; i < 120 && connections_.size() == before; ++i) {
      advance(std::chrono::milliseconds(500));
      flush();
    }
    ASSERT_EQ(connections_.size(), before + 1);
  }

  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.work");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  platform::Reachability reachability_;
  platform::NotificationCenter notifications_;
  double wallClock_ = 1.7e9;
  RepoInfoPtr repoInfo_;
  std::shared_ptr<FakeTokenProvider> tokens_;
  DatabaseConfigPtr config_;
  std::shared_ptr<RecordingConnectionDelegate> delegate_;
  std::vector<std::shared_ptr<FakeRealtimeConnection>> connections_;
  std::vector<std::string> lastSessionIds_;
  std::shared_ptr<PersistentConnection> connection_;
};

}  // namespace dz::database::testing
