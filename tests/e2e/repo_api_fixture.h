// Clients of the public database interface against an in-process development server: each
// client is an app of its own with its own callback queue, so two clients in one process talk
// only through the server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "database/api/database.h"
#include "platform/resolver.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/dev_server.h"

namespace dz::e2e {

using namespace dz::database;

inline constexpr auto kApiWait = std::chrono::seconds(20);

// Values seen by observers, with waiting until a condition holds.
class Seen {
 public:
  void add(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    values_[key].push_back(std::move(value));
    changed_.notify_all();
  }
  std::vector<Value> of(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    return found == values_.end() ? std::vector<Value>{} : found->second;
  }
  // Waits until the values seen under `key` satisfy `condition`.
  bool waitFor(const std::string& key,
               const std::function<bool(const std::vector<Value>&)>& condition) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kApiWait, [&] {
      auto found = values_.find(key);
      return condition(found == values_.end() ? std::vector<Value>{} : found->second);
    });
  }
  // Waits until the last value seen under `key` is `value`.
  bool waitForLast(const std::string& key, const Value& value) const {
    return waitFor(
        key, [&](const std::vector<Value>& seen) { return !seen.empty() && seen.back() == value; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, std::vector<Value>> values_;
};

class RepoApiTest : public ::testing::Test {
 protected:
  void SetUp() override { startServer(false); }
  void TearDown() override {
    for (auto& database : databases_) database->goOffline();
    server_.reset();
    caFile_.reset();
  }

  void startServer(bool tls, devserver::Options options = {}) {
    options.tls = tls;
    server_ = devserver::DevServer::start(std::move(options));
    platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    if (tls) {
      caFile_.emplace("DZ_CA_FILE", server_->caFile().c_str());
    } else {
      caFile_.reset();
    }
  }

  // A client: a new app on the server's URL with its own callback queue.
  std::shared_ptr<Database> client(const std::string& name, bool persistence = false) {
    core::Options options;
    options.databaseURL = server_->databaseUrl();
    std::string appName = uniqueName(name);
    core::App::configure(appName, options);
    return makeDatabase(core::App::appNamed(appName), persistence);
  }
  std::shared_ptr<Database> makeDatabase(const core::AppPtr& app, bool persistence) {
    auto database = Database::databaseForApp(app);
    database->setCallbackQueue(platform::DispatchQueue::create("e2e.callbacks." + app->name()));
    database->setPersistenceEnabled(persistence);
    databases_.push_back(database);
    return database;
  }
  // dz-e2e-client with `arguments`, its output in the sandbox's `log`.
  std::unique_ptr<dz::testing::Child> spawnClient(std::vector<std::string> arguments,
                                                  const std::string& log) {
    return std::make_unique<dz::testing::Child>(
        DZ_E2E_CLIENT_PROGRAM, std::move(arguments), sandbox_.root() / log,
        std::vector<std::string>{"DZ_RESOLVE=ns.dz.test=127.0.0.1"});
  }
  static std::string uniqueName(const std::string& name) {
    static std::atomic<int> counter{0};
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->name()) + "-" + name + "-" + std::to_string(++counter);
  }

  // Records every value event of `query` under `key`.
  void recordValues(const DatabaseQuery& query, const std::string& key) {
    query.observeEventType(
        DataEventType::Value,
        [seen = seenPtr_, key](const DataSnapshot& snapshot) { seen->add(key, snapshot.value()); });
  }

  dz::testing::ScopedSandbox sandbox_;
  std::unique_ptr<devserver::DevServer> server_;
  std::optional<dz::testing::ScopedEnvironment> caFile_;  // while a TLS server runs
  std::vector<std::shared_ptr<Database>> databases_;
  // Shared with the callbacks: databases outlive the test, and so may their late events.
  std::shared_ptr<Seen> seenPtr_ = std::make_shared<Seen>();
  Seen& seen_ = *seenPtr_;
};

}  // namespace dz::e2e
