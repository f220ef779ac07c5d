// Fixture of the application's store tests: one development server (database, authentication and
// update documents over TLS, reached by name) and simulated devices, each with an app, an auth
// object, a database, a notification center and user defaults of its own, so several signed-in
// users run side by side in the test's process. Callbacks arrive on the main queue, which the
// test's thread pumps while it waits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/database_layout.h"
#include "app/location_storage.h"
#include "app/notification_storage.h"
#include "app/poll_storage.h"
#include "app/shared_stores.h"
#include "app/user_storage.h"
#include "auth/rpc/requests.h"
#include "auth/serial_task_queue.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/wall_clock.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"
#include "tools/devserver/dev_server.h"

namespace pollapp::testing {

using dz::Value;

inline constexpr auto kWait = std::chrono::seconds(20);

inline bool waitFor(const std::function<bool()>& done) {
  return dz::platform::RunLoop::main().runUntil(done, kWait);
}

// One signed-in user's phone.
struct Device {
  std::string email;
  Environment environment;
  std::shared_ptr<UserStorage> users;
  std::shared_ptr<PollStorage> polls;
  std::shared_ptr<NotificationStorage> notifications;
  std::shared_ptr<LocationStorage> locations;
  std::vector<dz::platform::Notification> posted;  // everything posted on its center

  std::string uid() const { return *environment.signedInUid(); }
  dz::database::DatabaseReference root() const { return environment.rootRef(); }
  size_t postedCount(const std::string& name) const {
    size_t count = 0;
    for (const auto& notification : posted) count += notification.name == name;
    return count;
  }
};

// Waits until `device` has delivered everything the server sent it before this call: a write's
// answer comes after the pushes that preceded it on the same connection.
inline void settle(Device& device) {
  bool done = false;
  device.root()
      .child("settle")
      .child(device.uid())
      .setValue(Value(dz::platform::wallClockSeconds()),
                [&](const dz::ErrorPtr&, const auto&) { done = true; });
  ASSERT_TRUE(waitFor([&] { return done; }));
}

class AppServerTest : public ::testing::Test {
 protected:
  // Deleting an app removes its stored user on the authentication queue, and the screens' fixtures
  // delete theirs after this fixture's TearDown: that work ends while this test's sandbox stands.
  ~AppServerTest() override {
    dz::auth::globalWorkQueue()->sync([] {});
    bool drained = false;
    dz::platform::DispatchQueue::main()->async([&] { drained = true; });
    EXPECT_TRUE(waitFor([&] { return drained; }));
  }

  void SetUp() override {
    dz::devserver::Options options;
    options.auth = true;
    options.tls = true;
    options.updates = true;
    options.authSettings.apiKey = kAPIKey;
    server_ = dz::devserver::DevServer::start(options);
    caFile_.emplace("DZ_CA_FILE", server_->caFile().c_str());
    dz::platform::Resolver::setOverride("auth.dz.test", "127.0.0.1");
    dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    dz::platform::Resolver::setOverride("updates.dz.test", "127.0.0.1");
    dz::auth::IdentityKitRequest::setHost(server_->authHost());
    dz::auth::SecureTokenRequest::setHost(server_->authHost());
  }
  void TearDown() override {
    for (auto& device : devices_) {
      device->locations.reset();
      device->notifications.reset();
      device->polls.reset();
      device->users.reset();
      dz::database::Database::databaseForApp(device->environment.app)->goOffline();
      device->environment.app->deleteApp();
    }
    devices_.clear();
    resetSharedStores();
    server_.reset();
    caFile_.reset();
  }

  // Signs a new user up on a device of its own and writes the user record as sign-up does.
  Device& addDevice(const std::string& email, const std::string& firstName,
                    const std::string& lastName, Value::Map experiments = {}) {
    static std::atomic<int> next{0};
    const std::string name = "app-test-" + std::to_string(next++);
    dz::core::Options options;
    options.databaseURL = server_->databaseUrl();
    options.APIKey = kAPIKey;
    options.vivuroAppID = "1:dz:test";
    dz::core::App::configure(name, options);
    auto device = std::make_unique<Device>();
    device->email = email;
    Environment& environment = device->environment;
    environment.app = dz::core::App::appNamed(name);
    environment.notificationCenter = std::make_shared<dz::platform::NotificationCenter>();
    environment.defaults =
        dz::platform::UserDefaults::create(sandbox_.root() / (name + "-defaults.json"));
    bool signedUp = false;
    environment.auth()->createUserWithEmail(email, "secret-1",
                                            [&](dz::auth::UserPtr user, dz::ErrorPtr error) {
                                              EXPECT_EQ(error, nullptr);
                                              signedUp = user != nullptr;
                                            });
    EXPECT_TRUE(waitFor([&] { return signedUp; }));
    Device* raw = device.get();
    for (const char* note : {kAddedPollNotification, kUpdatedPollNotification,
                             kDeletedPollNotification, kAddedUserNotification}) {
      environment.center().addObserver(note, nullptr, nullptr,
                                       [raw](const dz::platform::Notification& notification) {
                                         raw->posted.push_back(notification);
                                       });
    }
    write(*device, std::string(layout::kUsers) + "/" + device->uid(),
          Value::Map{{"firstName", firstName},
                     {"lastName", lastName},
                     {"emailAddress", email},
                     {"domain", domainForEmail(email)},
                     {"localPollsOn", false},
                     {"experiments", std::move(experiments)},
                     {"createdAt", dz::platform::wallClockSeconds()}});
    device->users = UserStorage::create(environment);
    device->polls = PollStorage::create(environment, device->users);
    device->notifications = NotificationStorage::create(environment, device->users);
    device->locations = LocationStorage::create(environment, device->polls);
    devices_.push_back(std::move(device));
    return *devices_.back();
  }

  // Waits for the current user and the domain's users, as the polls and compose screens do.
  void loadUsers(Device& device, size_t domainUsers) {
    bool known = false;
    device.users->fetchOrGetCurrentUserWithCompletionBlock(
        [&](UserPtr user) { known = user != nullptr; });
    ASSERT_TRUE(waitFor([&] { return known; }));
    device.users->fetchRelatedUsers();
    ASSERT_TRUE(waitFor([&] { return device.users->usersArray().size() == domainUsers; }));
  }

  // Writes and waits for the server's answer.
  static void write(Device& device, const std::string& path, const Value& value) {
    bool done = false;
    device.root().child(path).setValue(value, [&](const dz::ErrorPtr& error, const auto&) {
      EXPECT_EQ(error, nullptr);
      done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done; }));
  }

  // Creates a poll and waits for the server's answer; returns its key.
  static std::string createPoll(Device& device, PollType type, const std::string& question,
                                std::optional<dz::platform::Location> location = std::nullopt,
                                std::optional<double> createdAt = std::nullopt) {
    bool done = false;
    std::string key;
    device.polls->createPollAtLocation(location, question, {"yes", "no"}, type,
                                       createdAt.value_or(dz::platform::wallClockSeconds()),
                                       [&](const dz::ErrorPtr& error, const auto& poll) {
                                         EXPECT_EQ(error, nullptr);
                                         key = *poll.key();
                                         done = true;
                                       });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return key;
  }

  Value serverValue(const std::string& path) const {
    return Value::fromJson(server_->snapshot(path));
  }

  static constexpr char kAPIKey[] = "app-test-key";
  dz::testing::ScopedSandbox sandbox_;
  std::unique_ptr<dz::devserver::DevServer> server_;
  std::optional<dz::testing::ScopedEnvironment> caFile_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace pollapp::testing
