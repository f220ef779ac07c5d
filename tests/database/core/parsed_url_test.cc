#include "database/core/parsed_url.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/exception.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

class ParsedUrlTest : public ::testing::Test {
 protected:
  dz::testing::ScopedSandbox sandbox_;  // repo infos read the internal-host cache
};

TEST_F(ParsedUrlTest, ThreeLabelHostsGiveHostNamespaceAndPath) {
  ParsedUrl parsed = parseUrl("https://Polls-1.DZ.test/a/b");
  EXPECT_EQ(parsed.repoInfo->host(), "polls-1.dz.test");
  EXPECT_EQ(parsed.repoInfo->namespaceName(), "polls-1");
  EXPECT_TRUE(parsed.repoInfo->secure());
  EXPECT_EQ(parsed.path, Path("a/b"));

  EXPECT_EQ(parseUrl("https://polls.dz.test").path, Path());
  EXPECT_EQ(parseUrl("https://polls.dz.test/").path, Path());
  EXPECT_EQ(parseUrl("polls.dz.test/x").path, Path("x"));
  EXPECT_EQ(parseUrl("polls.dz.test/x").repoInfo->host(), "polls.dz.test");
}

TEST_F(ParsedUrlTest, OnlyAPortWithAPlainSchemeMakesItInsecure) {
  EXPECT_TRUE(parseUrl("http://polls.dz.test/").repoInfo->secure());
  EXPECT_TRUE(parseUrl("polls.dz.test").repoInfo->secure());
  EXPECT_TRUE(parseUrl("https://polls.dz.test:8443").repoInfo->secure());
  EXPECT_TRUE(parseUrl("HTTPS://polls.dz.test:8443").repoInfo->secure());
  EXPECT_TRUE(parseUrl("wss://polls.dz.test:8443").repoInfo->secure());
  EXPECT_TRUE(parseUrl("WSS://polls.dz.test:8443").repoInfo->secure());

  ParsedUrl plain = parseUrl("http://polls.dz.test:9000/a");
  EXPECT_FALSE(plain.repoInfo->secure());
  EXPECT_EQ(plain.repoInfo->host(), "polls.dz.test:9000");
  EXPECT_EQ(plain.repoInfo->namespaceName(), "polls");
  EXPECT_EQ(plain.path, Path("a"));
  EXPECT_FALSE(parseUrl("polls.dz.test:9000").repoInfo->secure());
  EXPECT_FALSE(parseUrl("ws://polls.dz.test:9000").repoInfo->secure());
}

TEST_F(ParsedUrlTest, PathIsPercentDecoded) {
  EXPECT_EQ(parseUrl("https://polls.dz.test/a%20b/c%C3%A9").path,
            Path(std::vector<std::string>{"a b", "c\xC3\xA9"}));
  // An encoded slash separates keys like a plain one.
  EXPECT_EQ(parseUrl("https://polls.dz.test/a%2Fb").path, Path("a/b"));
  // Lone or broken sequences stay as written.
  EXPECT_EQ(parseUrl("https://polls.dz.test/100%/x%zz/%4").path.toString(), "/100%/x%zz/%4");
  // Sequences that would not make UTF-8 text leave the path as written.
  EXPECT_EQ(parseUrl("https://polls.dz.test/%FF%41").path.toString(), "/%FF%41");
  EXPECT_EQ(parseUrl("https://polls.dz.test/%ED%A0%80").path.toString(), "/%ED%A0%80");
}

TEST_F(ParsedUrlTest, OtherHostsAreRefused) {
  for (const char* url :
       {"https://dz.test", "https://a.polls.dz.test", "https://localhost:9000", "", "https://",
        "//", "https:///a/b", "https://127.0.0.1:5000", "https://..", "https://a..b",
        "https://.a.b", "https://a.b.", "https://user@polls.dz.test", "https://polls.dz.test:x",
        "https://polls.dz.test:0", "https://po lls.dz.test", "https://polls.dz.test?x=1",
        "https://[::1]:80", "https://polls.dz.test:99999"}) {
    try {
      parseUrl(url);
      ADD_FAILURE() << "accepted " << url;
    } catch (const dz::Exception& e) {
      EXPECT_EQ(e.name(), "No Dezuvura database specified.");
      EXPECT_EQ(e.reason(), std::string("No Dezuvura database found for input: ") + url);
    }
  }
}

TEST_F(ParsedUrlTest, GarbageNeverCrashes) {
  std::mt19937 random(7);
  const std::string pieces[] = {"https", ":", "//", "/", ".", "%", "%4",   "%41",  "%ff", "a",
                                "Z",     "9", "@",  "?", "#", " ", "\xC3", "\xA9", ":80", ""};
  for (int round = 0; round < 3000; ++round) {
    std::string url;
    int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) url += pieces[random() % std::size(pieces)];
    try {
      ParsedUrl parsed = parseUrl(url);
      EXPECT_NE(parsed.repoInfo, nullptr);
      EXPECT_EQ(std::count(parsed.repoInfo->host().begin(), parsed.repoInfo->host().end(), '.'), 2);
    } catch (const dz::Exception& e) {
      EXPECT_EQ(e.name(), "No Dezuvura database specified.");
    }
  }
}

}  // namespace
}  // namespace dz::database
