#include "database/core/auth_token_provider.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/app.h"
#include "database/utilities/work_queue.h"
#include "platform/notification_center.h"

namespace dz::database {
namespace {

using namespace std::chrono_literals;

// Collects answers that arrive on other threads and waits for them.
template <typename T>
class Inbox {
 public:
  void put(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(std::move(value));
    changed_.notify_all();
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return values_.size() >= count; });
  }
  std::vector<T> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> values_;
};

struct Answer {
  std::optional<std::string> token;
  ErrorPtr error;
  bool onWorkQueue = false;
};

// Makes and deletes the named apps of a test.
class AuthTokenProviderTest : public ::testing::Test {
 protected:
  core::AppPtr makeApp(const std::string& name) {
    core::App::configure(name, core::Options{});
    names_.push_back(name);
    return core::App::appNamed(name);
  }
  void TearDown() override {
    for (const auto& name : names_) {
      if (auto app = core::App::appNamed(name)) app->deleteApp();
    }
  }

  Answer fetch(AuthTokenProvider& provider) {
    Inbox<Answer> inbox;
    provider.fetchTokenForcingRefresh(false, [&](std::optional<std::string> token, ErrorPtr error) {
      inbox.put({std::move(token), std::move(error), workQueue()->isCurrent()});
    });
    EXPECT_TRUE(inbox.waitFor(1));
    return inbox.values().at(0);
  }

  void postAuthState(const core::AppPtr& app, Value::Map userInfo) {
    platform::NotificationCenter::defaultCenter().post(
        core::kAuthStateDidChangeInternalNotification, app.get(), std::move(userInfo));
  }

  // Waits until every task queued on the work queue so far has run.
  static void drainWorkQueue() {
    workQueue()->sync([] {});
  }

  std::vector<std::string> names_;
};

TEST_F(AuthTokenProviderTest, AppWithoutTokenGetterAnswersNoneOnTheWorkQueue) {
  auto provider = AuthTokenProvider::authTokenProviderForApp(makeApp("provider-a"));
  Answer answer = fetch(*provider);
  EXPECT_FALSE(answer.token);
  EXPECT_EQ(answer.error, nullptr);
  EXPECT_TRUE(answer.onWorkQueue);
}

TEST_F(AuthTokenProviderTest, GetterAnswersFromAnyThreadArriveOnTheWorkQueue) {
  auto app = makeApp("provider-a");
  std::vector<bool> forced;
  app->setGetTokenImplementation([&](bool force, core::GetTokenCallback callback) {
    forced.push_back(force);
    std::thread([callback] { callback("token-1", nullptr); }).detach();
  });
  AppAuthTokenProvider provider(app);
  Answer answer = fetch(provider);
  EXPECT_EQ(answer.token, "token-1");
  EXPECT_EQ(answer.error, nullptr);
  EXPECT_TRUE(answer.onWorkQueue);
  EXPECT_EQ(forced, std::vector<bool>{false});
}

TEST_F(AuthTokenProviderTest, ErrorCodesZeroAndOneMeanNoTokenOthersArePassedOn) {
  auto app = makeApp("provider-a");
  int64_t code = 0;
  app->setGetTokenImplementation([&](bool, core::GetTokenCallback callback) {
    callback(std::nullopt, std::make_shared<Error>("DZAuthErrorDomain", code));
  });
  AppAuthTokenProvider provider(app);
  for (int64_t quiet : {0, 1}) {
    code = quiet;
    Answer answer = fetch(provider);
    EXPECT_FALSE(answer.token);
    EXPECT_EQ(answer.error, nullptr) << quiet;
  }
  code = 17020;
  Answer answer = fetch(provider);
  ASSERT_NE(answer.error, nullptr);
  EXPECT_EQ(answer.error->code(), 17020);
  EXPECT_TRUE(answer.onWorkQueue);
}

TEST_F(AuthTokenProviderTest, ListenerHearsItsOwnAppOnlyOnTheWorkQueue) {
  auto app = makeApp("provider-a");
  auto other = makeApp("provider-b");
  AppAuthTokenProvider provider(app);
  Inbox<std::pair<std::optional<std::string>, bool>> heard;
  auto registration = provider.listenForTokenChanges([&](std::optional<std::string> token) {
    heard.put({token, workQueue()->isCurrent()});
  });

  postAuthState(other, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("other")}});
  postAuthState(app, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("mine")}});
  postAuthState(app, {});  // sign-out
  ASSERT_TRUE(heard.waitFor(2));
  drainWorkQueue();
  auto values = heard.values();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].first, "mine");
  EXPECT_TRUE(values[0].second);
  EXPECT_FALSE(values[1].first);
  EXPECT_TRUE(values[1].second);
}

TEST_F(AuthTokenProviderTest, DroppingTheRegistrationRemovesTheListener) {
  auto app = makeApp("provider-a");
  auto provider = AuthTokenProvider::authTokenProviderForApp(app);
  Inbox<std::optional<std::string>> heard;
  auto registration =
      provider->listenForTokenChanges([&](std::optional<std::string> token) { heard.put(token); });
  postAuthState(app, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("t1")}});
  ASSERT_TRUE(heard.waitFor(1));

  registration.reset();
  postAuthState(app, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("t2")}});
  drainWorkQueue();
  EXPECT_EQ(heard.values().size(), 1u);

  // remove() works the same and may be repeated.
  auto again =
      provider->listenForTokenChanges([&](std::optional<std::string> token) { heard.put(token); });
  again->remove();
  again->remove();
  postAuthState(app, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("t3")}});
  drainWorkQueue();
  EXPECT_EQ(heard.values().size(), 1u);
}

TEST_F(AuthTokenProviderTest, NoopProviderNeverYieldsATokenNorCallsListeners) {
  NoopAuthTokenProvider provider;
  Answer answer = fetch(provider);
  EXPECT_FALSE(answer.token);
  EXPECT_EQ(answer.error, nullptr);
  EXPECT_TRUE(answer.onWorkQueue);

  auto app = makeApp("provider-a");
  bool called = false;
  auto registration = provider.listenForTokenChanges([&](auto) { called = true; });
  ASSERT_NE(registration, nullptr);
  postAuthState(app, {{core::kAuthStateDidChangeInternalNotificationTokenKey, Value("t")}});
  drainWorkQueue();
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace dz::database
