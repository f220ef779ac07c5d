#include "database/utilities/next_push_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>

namespace dz::database {
namespace {

// Key order of push ids is plain byte order: the alphabet is in ascending ASCII order.
constexpr std::string_view kAlphabet(kPushChars, 64);

TEST(NextPushIdTest, AlphabetIsInAscendingOrder) {
  EXPECT_TRUE(std::is_sorted(kAlphabet.begin(), kAlphabet.end()));
}

TEST(NextPushIdTest, TwentyCharactersOfTheAlphabetWithTheTimeFirst) {
  std::string id = nextPushId(1500000000.123);
  ASSERT_EQ(id.size(), 20u);
  for (char c : id) EXPECT_NE(kAlphabet.find(c), std::string_view::npos) << c;
  // 1500000000123 ms in 8 base-64 digits.
  int64_t ms = 1500000000123;
  std::string time(8, ' ');
  for (int i = 7; i >= 0; --i, ms /= 64) time[i] = kAlphabet[ms % 64];
  EXPECT_EQ(id.substr(0, 8), time);
  EXPECT_EQ(nextPushId(0).substr(0, 8), "--------");
}

TEST(NextPushIdTest, KeysOfOneMillisecondIncrease) {
  std::string previous = nextPushId(1700000000.5);
  for (int i = 0; i < 10000; ++i) {
    std::string next = nextPushId(1700000000.5004);  // the same whole millisecond
    ASSERT_GT(next, previous);
    ASSERT_EQ(next.substr(0, 8), previous.substr(0, 8));
    previous = next;
  }
  EXPECT_LT(previous, nextPushId(1700000000.501));
}

TEST(NextPushIdTest, LaterMillisecondsSortLater) {
  std::string earlier = nextPushId(1700000001.000);
  std::string later = nextPushId(1700000001.001);
  EXPECT_LT(earlier, later);
}

TEST(NextPushIdTest, OutOfRangeTimesAreClamped) {
  EXPECT_EQ(nextPushId(-5).substr(0, 8), "--------");
  EXPECT_EQ(nextPushId(std::nan("")).substr(0, 8), "--------");
  EXPECT_EQ(nextPushId(1e300).substr(0, 8), "zzzzzzzz");
  EXPECT_EQ(nextPushId(INFINITY).size(), 20u);
}

TEST(NextPushIdTest, SuccessorCarriesIntoTheTime) {
  EXPECT_EQ(push_id_detail::successorOf("--------------------"), "-------------------0");
  EXPECT_EQ(push_id_detail::successorOf("-------0zzzzzzzzzzzz"), "-------1------------");
  EXPECT_EQ(push_id_detail::successorOf("-------0-----------y"), "-------0-----------z");
  EXPECT_EQ(push_id_detail::successorOf("0000000_zzzzzzzzzzzz"), "0000000a------------");
  // Each successor is greater than its key.
  std::string key = "-----aZzzzzzzzzzzzzz";
  for (int i = 0; i < 200; ++i) {
    std::string next = push_id_detail::successorOf(key);
    ASSERT_GT(next, key);
    key = next;
  }
}

TEST(NextPushIdTest, ThreadsShareOneSequence) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<std::string>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (auto& mine : drawn) {
    threads.emplace_back([&mine] {
      for (int i = 0; i < kPerThread; ++i) mine.push_back(nextPushId(1800000000.0));
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  for (const auto& mine : drawn) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    all.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
}

}  // namespace
}  // namespace dz::database
