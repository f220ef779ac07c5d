#include "database/snapshot/sorted_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace dz::database {
namespace {

using IntMap = SortedMap<int, int>;

std::vector<std::pair<int, int>> entriesOf(const IntMap& map) {
  std::vector<std::pair<int, int>> entries;
  for (const auto& entry : map) entries.emplace_back(entry.key, entry.value);
  return entries;
}

std::vector<std::pair<int, int>> entriesOf(const std::map<int, int>& map) {
  return {map.begin(), map.end()};
}

// Walks the whole map through every read operation and compares with the reference.
void expectSame(const IntMap& map, const std::map<int, int>& reference) {
  ASSERT_EQ(map.size(), reference.size());
  EXPECT_EQ(map.isEmpty(), reference.empty());
  EXPECT_EQ(entriesOf(map), entriesOf(reference));

  std::vector<std::pair<int, int>> backwards;
  for (const auto& entry : map.reversed()) backwards.emplace_back(entry.key, entry.value);
  std::vector<std::pair<int, int>> expectedBackwards(reference.rbegin(), reference.rend());
  EXPECT_EQ(backwards, expectedBackwards);

  if (reference.empty()) {
    EXPECT_EQ(map.minEntry(), nullptr);
    EXPECT_EQ(map.maxEntry(), nullptr);
  } else {
    EXPECT_EQ(map.minEntry()->key, reference.begin()->first);
    EXPECT_EQ(map.maxEntry()->key, reference.rbegin()->first);
  }
}

// Random inserts and removes of keys in [-range, range], checked against std::map.
void matchesStdMap(int range, int steps, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> keys(-range, range);
  IntMap map;
  std::map<int, int> reference;
  // Earlier versions with what they held then: every one must stay as it was.
  std::vector<std::pair<IntMap, std::map<int, int>>> versions;

  for (int step = 0; step < steps; ++step) {
    int key = keys(random);
    int action = random() % 10;
    if (action < 6) {
      int value = static_cast<int>(random());
      map = map.insert(key, value);
      reference[key] = value;
    } else {
      map = map.remove(key);
      reference.erase(key);
    }
    if (step % 50 == 0) versions.emplace_back(map, reference);
    if (step % 97 == 0 || range < 100) expectSame(map, reference);

    int probe = keys(random);
    auto found = reference.find(probe);
    const int* value = map.find(probe);
    ASSERT_EQ(value != nullptr, found != reference.end());
    if (value) {
      EXPECT_EQ(*value, found->second);
    }
    EXPECT_EQ(map.contains(probe), found != reference.end());

    auto above = reference.upper_bound(probe);
    const int* successor = map.successorKey(probe);
    ASSERT_EQ(successor != nullptr, above != reference.end());
    if (successor) {
      EXPECT_EQ(*successor, above->first);
    }

    auto atOrAbove = reference.lower_bound(probe);
    const int* predecessor = map.predecessorKey(probe);
    ASSERT_EQ(predecessor != nullptr, atOrAbove != reference.begin());
    if (predecessor) {
      EXPECT_EQ(*predecessor, std::prev(atOrAbove)->first);
    }

    auto from = map.iteratorFrom(probe);
    if (atOrAbove == reference.end()) {
      EXPECT_TRUE(from == map.end());
    } else {
      ASSERT_FALSE(from == map.end());
      EXPECT_EQ(from->key, atOrAbove->first);
    }
    auto down = map.reverseIteratorFrom(probe);
    auto atOrBelow = reference.upper_bound(probe);
    if (atOrBelow == reference.begin()) {
      EXPECT_TRUE(down == map.rend());
    } else {
      ASSERT_FALSE(down == map.rend());
      EXPECT_EQ(down->key, std::prev(atOrBelow)->first);
    }
  }
  expectSame(map, reference);
  EXPECT_LE(map.height(), 2 * 10u);  // about 500 entries: a perfect tree is 9 deep
  for (const auto& [version, held] : versions) expectSame(version, held);
}

TEST(SortedMapTest, MatchesStdMapUnderRandomInsertsAndRemoves) {
  matchesStdMap(500, 6000, 12345);
  // Few keys, many fresh maps: small maps growing into trees and shrinking.
  for (unsigned seed = 0; seed < 40; ++seed) matchesStdMap(12, 150, seed);
}

TEST(SortedMapTest, IteratesFromAKeyToTheEndInBothDirections) {
  IntMap map;
  for (int key = 0; key < 100; key += 10) map = map.insert(key, key);

  std::vector<int> up;
  for (auto it = map.iteratorFrom(35); it != map.end(); ++it) up.push_back(it->key);
  EXPECT_EQ(up, (std::vector<int>{40, 50, 60, 70, 80, 90}));

  std::vector<int> down;
  for (auto it = map.reverseIteratorFrom(40); it != map.rend(); ++it) down.push_back(it->key);
  EXPECT_EQ(down, (std::vector<int>{40, 30, 20, 10, 0}));

  EXPECT_TRUE(map.iteratorFrom(91) == map.end());
  EXPECT_TRUE(map.reverseIteratorFrom(-1) == map.rend());
}

TEST(SortedMapTest, PredecessorAndSuccessorAtTheEnds) {
  IntMap map = IntMap().insert(1, 1).insert(2, 2).insert(3, 3);
  EXPECT_EQ(map.predecessorKey(1), nullptr);
  EXPECT_EQ(*map.predecessorKey(2), 1);
  EXPECT_EQ(*map.successorKey(2), 3);
  EXPECT_EQ(map.successorKey(3), nullptr);
  EXPECT_EQ(IntMap().predecessorKey(5), nullptr);
  EXPECT_TRUE(IntMap().begin() == IntMap().end());
}

TEST(SortedMapTest, InsertReplacesTheValueOfAPresentKey) {
  IntMap before = IntMap().insert(1, 10).insert(2, 20);
  IntMap after = before.insert(1, 11);
  EXPECT_EQ(after.size(), 2u);
  EXPECT_EQ(*after.find(1), 11);
  EXPECT_EQ(*before.find(1), 10);
}

TEST(SortedMapTest, RemovingAnAbsentKeySharesTheWholeMap) {
  IntMap map = IntMap().insert(1, 1).insert(2, 2);
  IntMap same = map.remove(7);
  EXPECT_EQ(same.minEntry(), map.minEntry());  // the very same entries
  EXPECT_EQ(same.size(), 2u);
  EXPECT_TRUE(IntMap().remove(1).isEmpty());
}

TEST(SortedMapTest, StaysBalancedForAscendingAndDescendingInserts) {
  // Sorted input is the worst case of an unbalanced tree. 2^14 entries: a perfect tree is 15
  // deep, and a child holds at most about 3/4 of its parent's entries.
  constexpr int kCount = 1 << 14;
  constexpr size_t kMaxHeight = 34;  // log(2^14) / log(4/3), rounded up
  IntMap up;
  IntMap down;
  for (int i = 0; i < kCount; ++i) {
    up = up.insert(i, i);
    down = down.insert(-i, i);
  }
  EXPECT_EQ(up.size(), size_t{kCount});
  EXPECT_LE(up.height(), kMaxHeight);
  EXPECT_LE(down.height(), kMaxHeight);
  int expected = 0;
  for (const auto& entry : up) ASSERT_EQ(entry.key, expected++);
  for (int i = 0; i < kCount; i += 2) up = up.remove(i);
  for (int i = 0; i < kCount / 2; ++i) down = down.remove(-i);
  EXPECT_EQ(up.size(), size_t{kCount / 2});
  EXPECT_EQ(up.minEntry()->key, 1);
  EXPECT_LE(up.height(), kMaxHeight - 1);
  EXPECT_LE(down.height(), kMaxHeight - 1);
}

TEST(SortedMapTest, FromEntriesSortsAndKeepsTheLastOfEqualKeys) {
  auto map = IntMap::fromEntries({{3, 30}, {1, 10}, {2, 20}, {1, 11}, {3, 31}});
  EXPECT_EQ(entriesOf(map), (std::vector<std::pair<int, int>>{{1, 11}, {2, 20}, {3, 31}}));
  EXPECT_TRUE(IntMap::fromEntries({}).isEmpty());

  std::vector<std::pair<int, int>> many;
  for (int i = 0; i < 1000; ++i) many.emplace_back(i, i);
  IntMap built = IntMap::fromEntries(many);
  // A map built at once behaves like one built step by step, also when changed afterwards.
  IntMap stepped;
  for (const auto& [key, value] : many) stepped = stepped.insert(key, value);
  EXPECT_TRUE(built == stepped);
  EXPECT_TRUE(built.remove(500).insert(2000, 1) == stepped.remove(500).insert(2000, 1));
}

TEST(SortedMapTest, EqualityComparesKeysAndValuesInOrder) {
  IntMap a = IntMap().insert(1, 1).insert(2, 2);
  IntMap b = IntMap().insert(2, 2).insert(1, 1);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == b.insert(2, 3));
  EXPECT_FALSE(a == b.insert(3, 3));
  EXPECT_TRUE(IntMap() == IntMap());
}

// The keys each in one map only or with other values, against the two maps as std::maps; every
// key is visited once. Versions of a map a few edits apart, and maps of the same or other entries
// built apart (so shaped apart), small ones kept in a block and larger ones as trees.
TEST(SortedMapTest, DifferencesAreTheKeysChangedBetweenTwoMaps) {
  std::mt19937 random(7);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  auto differences = [](const IntMap& a, const IntMap& b) {
    std::vector<int> keys;
    a.forEachDifference(b, std::equal_to<int>(), [&](int key) { keys.push_back(key); });
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  auto expected = [](const std::map<int, int>& a, const std::map<int, int>& b) {
    std::vector<int> keys;
    for (const auto& [key, value] : a) {
      auto other = b.find(key);
      if (other == b.end() || other->second != value) keys.push_back(key);
    }
    for (const auto& [key, value] : b) {
      if (!a.count(key)) keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  for (int round = 0; round < 300; ++round) {
    const int range = 1 + pick(round % 3 == 0 ? 20 : 400);
    IntMap map;
    std::map<int, int> reference;
    for (int i = 0, n = pick(range); i < n; ++i) {
      int key = pick(range);
      map = map.insert(key, i);
      reference[key] = i;
    }
    IntMap version = map;
    std::map<int, int> versionReference = reference;
    for (int i = 0, edits = pick(6); i < edits; ++i) {
      int key = pick(range + 5);
      if (pick(3) == 0) {
        version = version.remove(key);
        versionReference.erase(key);
      } else {
        // Now and then the value it already has: not a difference.
        int value = pick(4) == 0 && versionReference.count(key) ? versionReference[key] : -i;
        version = version.insert(key, value);
        versionReference[key] = value;
      }
    }
    std::vector<std::pair<int, int>> entries(versionReference.begin(), versionReference.end());
    IntMap builtApart = IntMap::fromEntries(entries);
    ASSERT_EQ(differences(map, version), expected(reference, versionReference)) << round;
    ASSERT_EQ(differences(version, map), expected(versionReference, reference)) << round;
    ASSERT_EQ(differences(map, builtApart), expected(reference, versionReference)) << round;
    ASSERT_TRUE(differences(version, builtApart).empty()) << round;
    ASSERT_TRUE(differences(map, map).empty()) << round;
  }
}

TEST(SortedMapTest, DifferencesPassOverSharedSubtrees) {
  IntMap map;
  for (int i = 0; i < 5000; ++i) map = map.insert(i, i);
  IntMap version = map.insert(1234, -1).insert(4321, -1);
  int compared = 0;
  std::vector<int> keys;
  map.forEachDifference(
      version,
      [&](int a, int b) {
        ++compared;
        return a == b;
      },
      [&](int key) { keys.push_back(key); });
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<int>{1234, 4321}));
  // Only the entries on the ways down to the two changes, not the 5,000.
  EXPECT_LE(compared, static_cast<int>(2 * map.height()));
}

// Orders by priority first and key second, as an index order does: a comparator with state.
struct ByRank {
  std::shared_ptr<const std::map<std::string, int>> ranks;
  int operator()(const std::string& a, const std::string& b) const {
    int ra = ranks->at(a);
    int rb = ranks->at(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    return a.compare(b);
  }
};

TEST(SortedMapTest, HoldsAStatefulThreeWayComparator) {
  auto ranks = std::make_shared<const std::map<std::string, int>>(
      std::map<std::string, int>{{"a", 3}, {"b", 1}, {"c", 2}, {"d", 1}});
  SortedMap<std::string, int, ByRank> map{ByRank{ranks}};
  for (const auto& [key, rank] : *ranks) map = map.insert(key, rank);
  std::vector<std::string> order;
  for (const auto& entry : map) order.push_back(entry.key);
  EXPECT_EQ(order, (std::vector<std::string>{"b", "d", "c", "a"}));
  EXPECT_EQ(*map.predecessorKey("c"), "d");
}

TEST(SortedMapTest, AcceptsALessThanComparator) {
  SortedMap<int, int, std::greater<int>> map;
  for (int i = 0; i < 5; ++i) map = map.insert(i, i);
  EXPECT_EQ(map.minEntry()->key, 4);
  EXPECT_TRUE(map.contains(3));
  EXPECT_EQ(*map.successorKey(3), 2);
}

// Counts live instances so the test can see that entries are freed exactly once.
struct Counted {
  static inline std::atomic<int> live{0};
  int id;
  explicit Counted(int i) : id(i) { ++live; }
  Counted(const Counted& other) : id(other.id) { ++live; }
  ~Counted() { --live; }
  friend bool operator==(const Counted& a, const Counted& b) { return a.id == b.id; }
};

TEST(SortedMapTest, FreesEveryEntryWhenTheLastMapGoes) {
  {
    SortedMap<int, Counted> map;
    std::vector<SortedMap<int, Counted>> versions;
    for (int i = 0; i < 2000; ++i) {
      map = map.insert(i * 7 % 2000, Counted(i));
      if (i % 3 == 0) map = map.remove(i % 500);
      if (i % 100 == 0) versions.push_back(map);
    }
    EXPECT_GT(Counted::live.load(), 0);
  }
  EXPECT_EQ(Counted::live.load(), 0);
}

// Records the order in which values are destroyed.
struct Logged {
  static inline std::vector<int>* log = nullptr;
  int id;
  explicit Logged(int i) : id(i) {}
  Logged(Logged&& other) noexcept : id(std::exchange(other.id, -1)) {}
  ~Logged() {
    if (id >= 0 && log) log->push_back(id);
  }
  friend bool operator==(const Logged& a, const Logged& b) { return a.id == b.id; }
};

// A freed map gives its memory back from the last key to the first, so that the allocator
// (last freed, first handed out) gives the next map built in key order ascending addresses.
TEST(SortedMapTest, FreesFromTheLastKeyToTheFirst) {
  for (int count : {5, 1000}) {
    std::vector<int> freed;
    Logged::log = &freed;
    {
      std::vector<std::pair<int, Logged>> entries;
      for (int i = 0; i < count; ++i) entries.emplace_back(i, Logged(i));
      auto map = SortedMap<int, Logged>::fromSortedEntries(entries);
      entries.clear();
      freed.clear();
    }
    Logged::log = nullptr;
    std::vector<int> expected;
    for (int i = count - 1; i >= 0; --i) expected.push_back(i);
    EXPECT_EQ(freed, expected) << count << " entries";
  }
}

TEST(SortedMapTest, VersionsAreSharedAcrossThreads) {
  IntMap base;
  for (int i = 0; i < 1000; ++i) base = base.insert(i, i);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([base, t, &failures] {
      IntMap mine = base;
      for (int i = 0; i < 1000; ++i) {
        mine = mine.insert(1000 + t * 1000 + i, i).remove(i);
        if (base.size() != 1000 || !base.contains(i)) ++failures;
      }
      if (mine.size() != 1000) ++failures;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(base.size(), 1000u);
}

TEST(SortedSetTest, KeepsKeysInOrderAndPersists) {
  SortedSet<std::string> set;
  set = set.insert("b").insert("a").insert("c");
  SortedSet<std::string> fewer = set.remove("b");
  EXPECT_EQ(std::vector<std::string>(set.begin(), set.end()),
            (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(std::vector<std::string>(fewer.begin(), fewer.end()),
            (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(std::vector<std::string>(set.rbegin(), set.rend()),
            (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_EQ(*set.minKey(), "a");
  EXPECT_EQ(*set.maxKey(), "c");
  EXPECT_EQ(*fewer.successorKey("a"), "c");
  EXPECT_TRUE(set.contains("b"));
  EXPECT_FALSE(fewer.contains("b"));
  EXPECT_FALSE(set == fewer);
  EXPECT_TRUE(set.remove("b") == fewer);
}

TEST(SortedSetTest, CostsNoMoreThanAKeyPerEntry) {
  using Set = SortedSet<uint64_t>;
  using Map = SortedMap<uint64_t, uint64_t>;
  EXPECT_EQ(sizeof(Map::Entry) - sizeof(uint64_t),
            sizeof(SortedMap<uint64_t, sorted_map_detail::NoValue>::Entry));
  EXPECT_EQ(Set().size(), 0u);
}

}  // namespace
}  // namespace dz::database
