// Fixtures of the authentication tests: a scripted RPC issuer for the backend's own behaviour,
// and a development server with its authentication endpoints (HTTPS, reached by name through
// the resolver, its CA trusted through DZ_CA_FILE) for the flows end to end. Completions arrive
// on the main queue, which the test's thread (the main thread) pumps while it waits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

#include "auth/auth.h"
#include "auth/rpc/auth_backend.h"
#include "auth/serial_task_queue.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/wall_clock.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/dev_server.h"

namespace dz::auth::testing {

inline constexpr auto kWait = std::chrono::seconds(20);

// Pumps the main run loop until `done` holds.
inline bool waitFor(const std::function<bool()>& done) {
  return platform::RunLoop::main().runUntil(done, kWait);
}

// Answers posts from a script, on the global work queue, and records what was posted.
class ScriptedIssuer : public AuthBackendRPCIssuer {
 public:
  struct Post {
    std::string url;
    Value body;
  };
  struct Answer {
    std::optional<std::string> data;
    ErrorPtr error;
  };

  void answer(std::optional<std::string> data, ErrorPtr error = nullptr) {
    std::lock_guard lock(mutex_);
    answers_.push_back({std::move(data), std::move(error)});
  }
  // An answer with an HTTP status error, as the fetcher reports a status above 299.
  void answerStatus(int status, std::string body) {
    answer(std::move(body), std::make_shared<Error>("status", status));
  }
  std::vector<Post> posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
  }

  void asyncPostToURL(const std::string& url, std::string body, const std::string&,
                      Completion completion) override {
    Answer next{std::nullopt, std::make_shared<Error>("network", -1004, "no answer scripted")};
    {
      std::lock_guard lock(mutex_);
      posts_.push_back({url, Value::parseJson(body).value_or(Value())});
      if (!answers_.empty()) {
        next = answers_.front();
        answers_.pop_front();
      }
    }
    globalWorkQueue()->async([completion, next] { completion(next.data, next.error); });
  }

 private:
  mutable std::mutex mutex_;
  std::deque<Answer> answers_;
  std::vector<Post> posts_;
};

// The backend over a scripted issuer, restored to the real one afterwards.
class ScriptedBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { AuthBackend::setDefaultBackendImplementationWithRPCIssuer(issuer_); }
  void TearDown() override {
    AuthBackend::setBackendImplementation(nullptr);
    platform::setWallClockSource({});
  }

  std::shared_ptr<ScriptedIssuer> issuer_ = std::make_shared<ScriptedIssuer>();
};

// A real development server with authentication, a sandboxed key chain and a fresh app.
class AuthServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devserver::Options options;
    options.auth = true;
    options.tls = true;
    options.authSettings.apiKey = kAPIKey;
    options.authSettings.clockMs = [this] { return serverClockMs(); };
    options.clockMs = options.authSettings.clockMs;
    server_ = devserver::DevServer::start(options);
    caFile_.emplace("DZ_CA_FILE", server_->caFile().c_str());
    platform::Resolver::setOverride("auth.dz.test", "127.0.0.1");
    platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    IdentityKitRequest::setHost(server_->authHost());
    SecureTokenRequest::setHost(server_->authHost());
    AuthBackend::setBackendImplementation(nullptr);
    platform::setWallClockSource([this] { return clientSeconds(); });
    // As the program does at start: every configured app gets its Auth when it announces itself.
    // Process-wide and for good, so suites sharing a process with other apps' tests leave it out.
    if (registerHooks_) registerAuthLibrary();
    app_ = makeApp();
  }
  void TearDown() override {
    if (app_) app_->deleteApp();
    // The deletion hook clears the key chain on the work queue: while the sandbox still stands.
    globalWorkQueue()->sync([] {});
    platform::setWallClockSource({});
    AuthBackend::setBackendImplementation(nullptr);
    server_.reset();
    caFile_.reset();
  }

  static std::string nextAppName() {
    static std::atomic<int> next{0};
    return "auth-test-" + std::to_string(next++);
  }
  static core::AppPtr makeApp(std::optional<std::string> databaseURL = std::nullopt,
                              std::string name = nextAppName()) {
    core::Options options;
    options.databaseURL = std::move(databaseURL);
    options.APIKey = kAPIKey;
    options.vivuroAppID = kAppID;
    core::App::configure(name, options);
    return core::App::appNamed(name);
  }

  // Moves the client's clock (the auth library's) ahead of the wall clock.
  double clientSeconds() const {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
               .count() +
           clientSkewSeconds_.load();
  }
  int64_t serverClockMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() +
           serverSkewMs_.load();
  }
  devserver::AuthService& authServer() { return *server_->authService(); }

  struct Result {
    bool done = false;
    UserPtr user;
    ErrorPtr error;
  };
  Result run(const std::function<void(AuthResultCallback)>& start) {
    auto result = std::make_shared<Result>();
    start([result](UserPtr user, ErrorPtr error) {
      result->user = user;
      result->error = error;
      result->done = true;
    });
    EXPECT_TRUE(waitFor([&] { return result->done; }));
    return *result;
  }
  ErrorPtr runError(const std::function<void(ErrorCompletion)>& start) {
    bool done = false;
    ErrorPtr error;
    start([&](ErrorPtr e) {
      error = e;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return error;
  }
  UserPtr signUp(const AuthPtr& auth, const std::string& email,
                 const std::string& password = "secret-1") {
    Result result =
        run([&](AuthResultCallback done) { auth->createUserWithEmail(email, password, done); });
    EXPECT_EQ(result.error, nullptr) << result.error->localizedDescription();
    return result.user;
  }
  // Runs the main queue until everything queued so far has run.
  void drainMain() {
    bool reached = false;
    globalWorkQueue()->sync([] {});
    platform::DispatchQueue::main()->async([&] { reached = true; });
    waitFor([&] { return reached; });
  }

  static constexpr char kAPIKey[] = "dev-key&=1";
  static constexpr char kAppID[] = "1:dz:test";
  static std::string userKey(const std::string& appName) { return appName + "_dezuvura_user"; }
  static AuthKeychain keychain() { return AuthKeychain(std::string("dezuvura_auth_") + kAppID); }
  dz::testing::ScopedSandbox sandbox_;
  std::unique_ptr<devserver::DevServer> server_;
  std::optional<dz::testing::ScopedEnvironment> caFile_;
  core::AppPtr app_;
  bool registerHooks_ = true;
  std::atomic<double> clientSkewSeconds_{0};
  std::atomic<int64_t> serverSkewMs_{0};
};

}  // namespace dz::auth::testing
