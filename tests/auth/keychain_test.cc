// The user store over a key chain file of the test's own.
#include <gtest/gtest.h>

#include "auth/auth_errors.h"
#include "auth/auth_keychain.h"
#include "auth/user.h"
#include "platform/exception.h"
#include "tests/support/sandbox.h"

namespace dz::auth {
namespace {

class AuthKeychainTest : public ::testing::Test {
 protected:
  dz::testing::ScopedSandbox sandbox_;
  std::shared_ptr<platform::Keychain> keychain_ =
      platform::Keychain::create(sandbox_.root() / "keychain.json");
  AuthKeychain store_{"dezuvura_auth_app", keychain_};
};

TEST_F(AuthKeychainTest, AnOldLayoutItemMovesToTheCurrentLayoutOnFirstRead) {
  ASSERT_EQ(keychain_->add({"k", std::nullopt, "old bytes"}), platform::kKeychainSuccess);
  ErrorPtr error;
  EXPECT_EQ(store_.dataForKey("k", error), "old bytes");
  EXPECT_EQ(keychain_->copyMatching({"k", std::nullopt}).status, platform::kKeychainItemNotFound);
  auto current = keychain_->copyMatching({"dezuvura_auth_1_k", "dezuvura_auth_app"});
  ASSERT_EQ(current.items.size(), 1u);
  EXPECT_EQ(current.items[0].data, "old bytes");
}

TEST_F(AuthKeychainTest, WritesUpdateInPlace) {
  EXPECT_EQ(store_.setData("one", "k"), nullptr);
  EXPECT_EQ(store_.setData("two", "k"), nullptr);
  ErrorPtr error;
  EXPECT_EQ(store_.dataForKey("k", error), "two");
  EXPECT_EQ(store_.removeDataForKey("never"), nullptr);
  EXPECT_THROW(store_.setData("x", ""), Exception);
  EXPECT_EQ(keychain_->copyMatching({"dezuvura_auth_1_k", std::nullopt}).items.size(), 1u);
}

TEST(UserArchiveTest, RoundTripsAndRefusesArchivesOfTheWrongShape) {
  UserPtr user = User::create("key", SecureTokenService::create("key", "a", 5.0, "r"));
  Value archive = user->archive();
  EXPECT_EQ(User::fromArchive(archive), nullptr);  // a user without a uid
  EXPECT_EQ(User::fromArchive(Value("u1")), nullptr);
  Value::Map map = archive.asMap();
  map["userID"] = Value("u1");
  map.erase("anonymous");
  map["hasEmailPassword"] = Value(false);
  UserPtr restored = User::fromArchive(Value(map));
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->uid(), "u1");
  EXPECT_TRUE(restored->isAnonymous());  // no flag, no providers
  // Any member of the wrong type, of the user or of one of its providers, refuses the archive.
  map["email"] = Value(42);
  EXPECT_EQ(User::fromArchive(Value(map)), nullptr);
  map.erase("email");
  map["emailVerified"] = Value("yes");
  EXPECT_EQ(User::fromArchive(Value(map)), nullptr);
  map.erase("emailVerified");
  map["providerData"] = Value(Value::Map{{"password", Value::Map{{"email", Value(true)}}}});
  EXPECT_EQ(User::fromArchive(Value(map)), nullptr);
  map["providerData"] = Value(Value::Map{{"password", Value("a@b.c")}});
  EXPECT_EQ(User::fromArchive(Value(map)), nullptr);
  map["providerData"] = Value(Value::Map{{"password", Value::Map{{"email", Value("a@b.c")}}}});
  ASSERT_NE(User::fromArchive(Value(map)), nullptr);
  map.erase("providerData");
  map.erase("tokenService");
  EXPECT_EQ(User::fromArchive(Value(map)), nullptr);
}

}  // namespace
}  // namespace dz::auth
