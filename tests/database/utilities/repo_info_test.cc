#include "database/utilities/repo_info.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/user_defaults.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

class RepoInfoTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

  testing::ScopedSandbox sandbox_;
};

TEST_F(RepoInfoTest, FieldsAndConnectionUrls) {
  auto secure = RepoInfo::create("polls.dz.test", true, "polls");
  EXPECT_EQ(secure->host(), "polls.dz.test");
  EXPECT_EQ(secure->namespaceName(), "polls");
  EXPECT_EQ(secure->domain(), "dz.test");
  EXPECT_EQ(secure->internalHost(), "polls.dz.test");
  EXPECT_EQ(secure->connectionURL(), "wss://polls.dz.test/.ws?v=5&ns=polls");
  EXPECT_EQ(secure->connectionURL("s1"), "wss://polls.dz.test/.ws?v=5&ns=polls&ls=s1");
  EXPECT_EQ(secure->description(), "https://polls.dz.test");

  auto plain = RepoInfo::create("polls.dz.test:9000", false, "polls");
  EXPECT_EQ(plain->connectionURL(), "ws://polls.dz.test:9000/.ws?v=5&ns=polls");
  EXPECT_EQ(plain->description(), "http://polls.dz.test:9000");
  EXPECT_EQ(plain->domain(), "dz.test:9000");
}

TEST_F(RepoInfoTest, LastSessionIdIsPercentEncoded) {
  auto info = RepoInfo::create("polls.dz.test", true, "polls");
  EXPECT_EQ(info->connectionURL("a&ns=evil #/é"),
            "wss://polls.dz.test/.ws?v=5&ns=polls&ls=a%26ns%3Devil%20%23%2F%C3%A9");
}

TEST_F(RepoInfoTest, InternalHostIsCachedAcrossInstances) {
  auto info = RepoInfo::create("polls.dz.test", true, "polls");
  info->setInternalHost("s-usc1c-nss-1.dz.test:8443");
  EXPECT_EQ(info->internalHost(), "s-usc1c-nss-1.dz.test:8443");
  EXPECT_EQ(defaults()->stringForKey("dezuvura:host:polls.dz.test"), "s-usc1c-nss-1.dz.test:8443");

  // A later launch connects straight to the cached host; the description keeps the configured one.
  auto next = RepoInfo::create("polls.dz.test", true, "polls");
  EXPECT_EQ(next->connectionURL(), "wss://s-usc1c-nss-1.dz.test:8443/.ws?v=5&ns=polls");
  EXPECT_EQ(next->description(), "https://polls.dz.test");

  next->clearInternalHostCache();
  EXPECT_EQ(next->internalHost(), "polls.dz.test");
  EXPECT_FALSE(defaults()->objectForKey("dezuvura:host:polls.dz.test"));
  EXPECT_EQ(RepoInfo::create("polls.dz.test", true, "polls")->internalHost(), "polls.dz.test");
}

TEST_F(RepoInfoTest, SettingTheCurrentHostWritesNothing) {
  auto info = RepoInfo::create("polls.dz.test", true, "polls");
  info->setInternalHost("polls.dz.test");
  EXPECT_FALSE(defaults()->objectForKey("dezuvura:host:polls.dz.test"));
}

TEST_F(RepoInfoTest, HostsThatAreNotPlainHostAndPortAreIgnored) {
  auto info = RepoInfo::create("polls.dz.test", true, "polls");
  for (const char* bad : {"", "evil.test/path", "evil.test?x=1", "user@evil.test", "evil.test:0",
                          "evil.test:65536", "evil.test:", ":443", "evil.test:44a", "a b.test",
                          "evil.test:443:1", "evil.test#frag", "[::1]:443"}) {
    info->setInternalHost(bad);
    EXPECT_EQ(info->internalHost(), "polls.dz.test") << bad;
  }
  EXPECT_FALSE(defaults()->objectForKey("dezuvura:host:polls.dz.test"));

  // A bad value already in the cache (written by hand or an older build) is not used either.
  defaults()->setString("evil.test/x?", "dezuvura:host:polls.dz.test");
  EXPECT_EQ(RepoInfo::create("polls.dz.test", true, "polls")->internalHost(), "polls.dz.test");
}

TEST_F(RepoInfoTest, PlainHostRule) {
  EXPECT_TRUE(isPlainHostAndPort("a"));
  EXPECT_TRUE(isPlainHostAndPort("s-1.dz.test"));
  EXPECT_TRUE(isPlainHostAndPort("127.0.0.1:1"));
  EXPECT_TRUE(isPlainHostAndPort("Host.Test:65535"));
  EXPECT_FALSE(isPlainHostAndPort("host:+80"));
  EXPECT_FALSE(isPlainHostAndPort("host:99999"));
}

TEST_F(RepoInfoTest, EqualityCoversHostNamespaceAndSecurity) {
  auto a = RepoInfo::create("polls.dz.test", true, "polls");
  auto b = RepoInfo::create("polls.dz.test", true, "polls");
  b->setInternalHost("other.dz.test");
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_EQ(std::hash<RepoInfo>()(*a), a->hash());
  EXPECT_FALSE(*a == *RepoInfo::create("polls.dz.test", false, "polls"));
  EXPECT_FALSE(*a == *RepoInfo::create("other.dz.test", true, "other"));
  EXPECT_FALSE(*a == *RepoInfo::create("polls.dz.test", true, "other"));
}

}  // namespace
}  // namespace dz::database
