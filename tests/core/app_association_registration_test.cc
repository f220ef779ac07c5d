#include "core/app_association_registration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"

namespace dz::core {
namespace {

struct Host {};
struct Thing {
  int id = 0;
};

std::shared_ptr<Thing> registered(const std::shared_ptr<Host>& host, const std::string& key,
                                  const std::function<std::shared_ptr<Thing>()>& create) {
  return AppAssociationRegistration::registeredObject<Thing>(host, key, create);
}

TEST(AppAssociationRegistrationTest, CreatesOncePerHostAndKey) {
  auto host = std::make_shared<Host>();
  auto other = std::make_shared<Host>();
  int created = 0;
  auto make = [&] { return std::make_shared<Thing>(Thing{++created}); };

  auto first = registered(host, "DZAuth", make);
  EXPECT_EQ(registered(host, "DZAuth", make), first);
  EXPECT_NE(registered(host, "Other", make), first);
  EXPECT_NE(registered(other, "DZAuth", make), first);
  EXPECT_EQ(created, 3);
}

TEST(AppAssociationRegistrationTest, ReenteringThePairThrowsInsteadOfDeadlocking) {
  auto host = std::make_shared<Host>();
  std::string name;
  std::string reason;
  auto outer = registered(host, "DZAuth", [&] {
    try {
      registered(host, "DZAuth", [] { return std::make_shared<Thing>(); });
    } catch (const Exception& e) {
      name = e.name();
      reason = e.reason();
    }
    // Other pairs may be registered from inside a creation closure.
    EXPECT_NE(registered(host, "Inner", [] { return std::make_shared<Thing>(); }), nullptr);
    return std::make_shared<Thing>(Thing{7});
  });
  EXPECT_EQ(name, "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
  EXPECT_EQ(reason.rfind("host: 0x", 0), 0u) << reason;
  EXPECT_TRUE(reason.ends_with(" key: DZAuth")) << reason;
  EXPECT_EQ(outer->id, 7);
  EXPECT_EQ(registered(host, "DZAuth", [] { return std::make_shared<Thing>(); })->id, 7);
}

TEST(AppAssociationRegistrationTest, ThrowingCreationLeavesNothingBehind) {
  auto host = std::make_shared<Host>();
  EXPECT_THROW(
      registered(host, "DZAuth",
                 []() -> std::shared_ptr<Thing> { throw std::runtime_error("creation failed"); }),
      std::runtime_error);
  // A placeholder left behind would make this a reentry error.
  auto thing = registered(host, "DZAuth", [] { return std::make_shared<Thing>(Thing{3}); });
  EXPECT_EQ(thing->id, 3);
}

TEST(AppAssociationRegistrationTest, ConcurrentFirstCallsShareOneObject) {
  auto host = std::make_shared<Host>();
  std::atomic<int> created{0};
  std::vector<std::future<std::shared_ptr<Thing>>> results;
  for (int i = 0; i < 8; ++i) {
    results.push_back(std::async(std::launch::async, [&] {
      return registered(host, "DZAuth", [&] {
        ++created;
        return std::make_shared<Thing>();
      });
    }));
  }
  auto first = results[0].get();
  for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i].get(), first);
  EXPECT_EQ(created.load(), 1);
}

TEST(AppAssociationRegistrationTest, RegistrationsDoNotKeepTheHostAlive) {
  auto host = std::make_shared<Host>();
  std::weak_ptr<Host> weakHost = host;
  auto thing = registered(host, "DZAuth", [] { return std::make_shared<Thing>(); });
  std::weak_ptr<Thing> weakThing = thing;
  thing.reset();
  host.reset();
  EXPECT_TRUE(weakHost.expired());
  // The next call drops the dead host's registrations.
  auto fresh = std::make_shared<Host>();
  registered(fresh, "DZAuth", [] { return std::make_shared<Thing>(); });
  EXPECT_TRUE(weakThing.expired());
}

}  // namespace
}  // namespace dz::core
