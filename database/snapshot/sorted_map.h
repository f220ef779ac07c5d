// SortedMap: a persistent (immutable, structurally shared) sorted map. insert and remove return a
// new map and leave the old one unchanged. Lookups are O(log n), size() is O(1).
//
// A map of at most kFlatMax entries (most records) is one heap block of its keys and values in
// order, searched by bisection; insert and remove copy the block. A larger map is a
// weight-balanced binary search tree with one heap allocation per entry (the key, the value, two
// child pointers, the subtree size and an intrusive atomic reference count); insert and remove
// copy only the O(log n) entries on the way to the change and share every other entry with the
// old map. Maps and their entries may be read and copied from several threads at once.
//
// The comparator is held by value and may carry state. It is called as cmp(a, b) and returns
// either a three-way result (an int or a std::*_ordering, compared with 0) or a bool "a < b".
// Pointers and iterators into a map stay valid while that map (or a map sharing the entry) lives.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <compare>
#include <concepts>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

namespace dz::database {

namespace sorted_map_detail {

// -1, 0 or 1 from either kind of comparator.
template <class Compare, class K>
int compareKeys(const Compare& cmp, const K& a, const K& b) {
  using Result = std::invoke_result_t<const Compare&, const K&, const K&>;
  if constexpr (std::is_same_v<Result, bool>) {
    if (cmp(a, b)) return -1;
    return cmp(b, a) ? 1 : 0;
  } else {
    auto result = cmp(a, b);
    if (result < 0) return -1;
    return result == 0 ? 0 : 1;
  }
}

struct NoValue {
  friend bool operator==(NoValue, NoValue) { return true; }
};

}  // namespace sorted_map_detail

template <class K, class V, class Compare = std::compare_three_way>
class SortedMap {
 public:
  // One entry of the map; iterators and lookups hand these out.
  class Entry {
   public:
    const K key;
    [[no_unique_address]] const V value;

   private:
    friend class SortedMap;
    template <class KK, class VV>
    Entry(KK&& k, VV&& v) : key(std::forward<KK>(k)), value(std::forward<VV>(v)) {}
  };

  // Maps of at most this many entries are kept in one block.
  static constexpr size_t kFlatMax = 16;
  static constexpr size_t kMaxRoomBytes = 1024;

 private:
  // Trees of fewer than 2^32 entries are at most this deep (each child holds at most about 3/4
  // of its parent's entries).
  static constexpr size_t kMaxDepth = 96;

  struct TreeEntry : Entry {
    template <class KK, class VV>
    TreeEntry(KK&& k, VV&& v, const TreeEntry* left, const TreeEntry* right, uint32_t size)
        : Entry(std::forward<KK>(k), std::forward<VV>(v)),
          size_(size),
          left_(left),
          right_(right) {}

    mutable std::atomic<uint32_t> refs_{1};
    uint32_t size_;
    const TreeEntry* left_;
    const TreeEntry* right_;
  };

  // The header of a small map's block; its entries follow it, in order. The block's allocation
  // starts `room_` bytes before it (see fromOrderedEntries).
  struct alignas(std::max(alignof(Entry), alignof(uint32_t))) Block {
    mutable std::atomic<uint32_t> refs_{1};
    uint16_t size_ = 0;
    uint16_t room_ = 0;
    const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
  };
  static_assert(alignof(Block) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  // Forward or backward through a tree (a stack of the entries still to visit) or through a
  // block (from `flat_` to `flatLast_`).
  template <bool Reverse>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;

    Iterator() = default;
    // Copies only the live part of the stack.
    Iterator(const Iterator& other)
        : depth_(other.depth_), flat_(other.flat_), flatLast_(other.flatLast_) {
      std::copy_n(other.stack_.begin(), depth_, stack_.begin());
    }
    Iterator& operator=(const Iterator& other) {
      depth_ = other.depth_;
      flat_ = other.flat_;
      flatLast_ = other.flatLast_;
      std::copy_n(other.stack_.begin(), depth_, stack_.begin());
      return *this;
    }
    reference operator*() const { return *current(); }
    pointer operator->() const { return current(); }
    Iterator& operator++() {
      if (flat_) {
        if (flat_ == flatLast_) {
          flat_ = nullptr;
        } else {
          flat_ += Reverse ? -1 : 1;
        }
        return *this;
      }
      const TreeEntry* done = stack_[--depth_];
      pushSpine(Reverse ? done->left_ : done->right_);
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.current() == b.current();
    }

   private:
    friend class SortedMap;
    // From `first` to `last` of a block, both included.
    Iterator(const Entry* first, const Entry* last) : flat_(first), flatLast_(last) {}
    const Entry* current() const {
      if (flat_) return flat_;
      return depth_ ? stack_[depth_ - 1] : nullptr;
    }
    void push(const TreeEntry* e) { stack_[depth_++] = e; }
    void pushSpine(const TreeEntry* e) {
      for (; e; e = Reverse ? e->right_ : e->left_) push(e);
    }

    std::array<const TreeEntry*, kMaxDepth> stack_;
    size_t depth_ = 0;
    const Entry* flat_ = nullptr;
    const Entry* flatLast_ = nullptr;
  };

 public:
  using key_type = K;
  using mapped_type = V;
  using iterator = Iterator<false>;
  using const_iterator = iterator;
  using reverse_iterator = Iterator<true>;

  SortedMap() requires std::default_initializable<Compare>
  = default;
  explicit SortedMap(Compare cmp) : cmp_(std::move(cmp)) {}

  // A map of the given entries, built in O(n) allocations; of equal keys the last one wins.
  static SortedMap fromEntries(std::vector<std::pair<K, V>> entries, Compare cmp = Compare()) {
    auto less = [&cmp](const auto& a, const auto& b) {
      return sorted_map_detail::compareKeys(cmp, a.first, b.first) < 0;
    };
    if (!std::is_sorted(entries.begin(), entries.end(), less)) {
      std::stable_sort(entries.begin(), entries.end(), less);
    }
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      bool lastOfKey =
          i + 1 == entries.size() ||
          sorted_map_detail::compareKeys(cmp, entries[i].first, entries[i + 1].first) != 0;
      if (lastOfKey) {
        if (kept != i) entries[kept] = std::move(entries[i]);
        ++kept;
      }
    }
    entries.resize(kept);
    return fromSortedEntries(entries, std::move(cmp));
  }

  // A map of `entries`, which must already be in ascending order without equal keys; their keys
  // and values are moved out, and the vector keeps its storage for reuse.
  static SortedMap fromSortedEntries(std::vector<std::pair<K, V>>& entries,
                                     Compare cmp = Compare()) {
    return fromOrderedEntries(
        entries.size(), [&entries](size_t i) -> auto& { return entries[i]; }, std::move(cmp));
  }

  // A map of `count` entries given in ascending order without equal keys by `entryAt(i)`, a
  // std::pair<K, V>& whose key and value are moved out. With `room`, a map of 1 to kFlatMax
  // entries also gets `roomBytes` (at most kMaxRoomBytes, a multiple of 8) of raw memory at the
  // start of its block's allocation, handed out in `room` (null for other maps): one allocation
  // for an owner and its entries. The room is freed, not destroyed, with the entries when the
  // last map sharing them goes; an object placed there must end its life before that.
  template <class EntryAt>
  static SortedMap fromOrderedEntries(size_t count, EntryAt entryAt, Compare cmp = Compare(),
                                      size_t roomBytes = 0, void** room = nullptr) {
    SortedMap map(std::move(cmp));
    if (room) *room = nullptr;
    if (count == 0) return map;
    if (count <= kFlatMax) {
      BlockWriter block(count, room ? roomBytes : 0);
      if (room) *room = block.room();
      for (size_t i = 0; i < count; ++i) {
        auto& [key, value] = entryAt(i);
        block.add(std::move(key), std::move(value));
      }
      map.root_ = Root(block.finish());
      return map;
    }
    auto makeAt = [&entryAt](size_t i, Ref left, Ref right) {
      auto& [key, value] = entryAt(i);
      return make(std::move(key), std::move(value), std::move(left), std::move(right));
    };
    map.root_ = Root(buildBalanced(0, count, makeAt));
    return map;
  }

  size_t size() const {
    const Block* b = root_.block();
    return b ? b->size_ : sizeOf(root_.tree());
  }
  // Entries on the longest path from the root (a block counts as one), O(n): for tests and
  // benchmarks of the balance.
  size_t height() const { return root_.block() ? 1 : heightOf(root_.tree()); }
  bool isEmpty() const { return root_.isEmpty(); }
  const Compare& comparator() const { return cmp_; }

  // The entry or value of the key; null when absent.
  const Entry* findEntry(const K& key) const {
    if (const Block* b = root_.block()) {
      size_t i = bound(b, key, false);
      const Entry* e = b->entries() + i;
      return i < b->size_ && compareKeys(key, e->key) == 0 ? e : nullptr;
    }
    const TreeEntry* e = root_.tree();
    while (e) {
      int c = compareKeys(key, e->key);
      if (c == 0) return e;
      e = c < 0 ? e->left_ : e->right_;
    }
    return nullptr;
  }
  const V* find(const K& key) const {
    const Entry* e = findEntry(key);
    return e ? &e->value : nullptr;
  }
  bool contains(const K& key) const { return findEntry(key) != nullptr; }

  // A map with the key set to the value (replacing any earlier value).
  SortedMap insert(K key, V value) const {
    if (root_.block() || root_.isEmpty()) return insertFlat(std::move(key), std::move(value));
    return SortedMap(cmp_, Root(insertAt(root_.tree(), std::move(key), std::move(value))));
  }
  // A map without the key; this very map (sharing everything) when the key is absent.
  SortedMap remove(const K& key) const {
    if (!contains(key)) return *this;
    if (const Block* b = root_.block()) return removeFlat(b, key);
    return SortedMap(cmp_, Root(removeAt(root_.tree(), key)));
  }

  // Smallest and largest entry; null when empty.
  const Entry* minEntry() const {
    if (const Block* b = root_.block()) return b->entries();
    return extreme(root_.tree(), false);
  }
  const Entry* maxEntry() const {
    if (const Block* b = root_.block()) return b->entries() + b->size_ - 1;
    return extreme(root_.tree(), true);
  }
  // The entry with the largest key below `key` / the smallest key above it, whether or not
  // `key` itself is in the map; null when there is none.
  const Entry* predecessor(const K& key) const {
    if (const Block* b = root_.block()) {
      size_t i = bound(b, key, false);
      return i > 0 ? b->entries() + i - 1 : nullptr;
    }
    const TreeEntry* best = nullptr;
    for (const TreeEntry* e = root_.tree(); e;) {
      if (compareKeys(e->key, key) < 0) {
        best = e;
        e = e->right_;
      } else {
        e = e->left_;
      }
    }
    return best;
  }
  const Entry* successor(const K& key) const {
    if (const Block* b = root_.block()) {
      size_t i = bound(b, key, true);
      return i < b->size_ ? b->entries() + i : nullptr;
    }
    const TreeEntry* best = nullptr;
    for (const TreeEntry* e = root_.tree(); e;) {
      if (compareKeys(e->key, key) > 0) {
        best = e;
        e = e->left_;
      } else {
        e = e->right_;
      }
    }
    return best;
  }
  const K* predecessorKey(const K& key) const {
    const Entry* e = predecessor(key);
    return e ? &e->key : nullptr;
  }
  const K* successorKey(const K& key) const {
    const Entry* e = successor(key);
    return e ? &e->key : nullptr;
  }

  // Ascending order.
  iterator begin() const {
    if (const Block* b = root_.block()) return iterator(b->entries(), b->entries() + b->size_ - 1);
    iterator it;
    it.pushSpine(root_.tree());
    return it;
  }
  iterator end() const { return iterator(); }
  // Ascending from the first key at or above `key`.
  iterator iteratorFrom(const K& key) const {
    if (const Block* b = root_.block()) {
      size_t i = bound(b, key, false);
      if (i == b->size_) return iterator();
      return iterator(b->entries() + i, b->entries() + b->size_ - 1);
    }
    iterator it;
    for (const TreeEntry* e = root_.tree(); e;) {
      if (compareKeys(e->key, key) >= 0) {
        it.push(e);
        e = e->left_;
      } else {
        e = e->right_;
      }
    }
    return it;
  }

  // Descending order.
  reverse_iterator rbegin() const {
    if (const Block* b = root_.block()) {
      return reverse_iterator(b->entries() + b->size_ - 1, b->entries());
    }
    reverse_iterator it;
    it.pushSpine(root_.tree());
    return it;
  }
  reverse_iterator rend() const { return reverse_iterator(); }
  // Descending from the last key at or below `key`.
  reverse_iterator reverseIteratorFrom(const K& key) const {
    if (const Block* b = root_.block()) {
      size_t i = bound(b, key, true);
      if (i == 0) return reverse_iterator();
      return reverse_iterator(b->entries() + i - 1, b->entries());
    }
    reverse_iterator it;
    for (const TreeEntry* e = root_.tree(); e;) {
      if (compareKeys(e->key, key) <= 0) {
        it.push(e);
        e = e->right_;
      } else {
        e = e->left_;
      }
    }
    return it;
  }

  // For range-for in descending order: `for (const auto& entry : map.reversed())`.
  struct ReverseRange {
    reverse_iterator first;
    reverse_iterator begin() const { return first; }
    reverse_iterator end() const { return reverse_iterator(); }
  };
  ReverseRange reversed() const { return ReverseRange{rbegin()}; }

  // Same keys (by the comparator) with equal values, in the same order.
  friend bool operator==(const SortedMap& a,
                         const SortedMap& b) requires std::equality_comparable<V> {
    if (a.root_.sameAs(b.root_)) return true;
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (a.compareKeys(i->key, j->key) != 0 || !(i->value == j->value)) return false;
    }
    return true;
  }

  // Calls visit(key) once for each key whose entry differs between this map and `other`: in one
  // map only, or with values that `sameValue` does not take for the same. Subtrees the maps
  // share are passed over, so a map against an earlier version of itself costs about what the
  // changes between them cost.
  template <class SameValue, class Visit>
  void forEachDifference(const SortedMap& other, const SameValue& sameValue, Visit&& visit) const {
    if (root_.sameAs(other.root_)) return;
    if (root_.block() || other.root_.block()) {
      return visitDifferences(begin(), other.begin(), sameValue, visit);
    }
    differentSubtrees(root_.tree(), other.root_.tree(), sameValue, visit);
  }

 private:
  static constexpr uint64_t kDelta = 3;  // a subtree holds at most 3 times its sibling's entries
  static constexpr uint64_t kRatio = 2;  // single rotation below this inner/outer proportion

  // Two subtrees that hold the same range of keys.
  template <class SameValue, class Visit>
  void differentSubtrees(const TreeEntry* a, const TreeEntry* b, const SameValue& sameValue,
                         Visit& visit) const {
    if (a == b) return;
    if (!a || !b || compareKeys(a->key, b->key) != 0) {
      // Shaped apart (a rotation, an insert or a removal here): walk both in order.
      iterator i, j;
      i.pushSpine(a);
      j.pushSpine(b);
      return visitDifferences(i, j, sameValue, visit);
    }
    if (!sameValue(a->value, b->value)) visit(a->key);
    differentSubtrees(a->left_, b->left_, sameValue, visit);
    differentSubtrees(a->right_, b->right_, sameValue, visit);
  }
  template <class SameValue, class Visit>
  void visitDifferences(iterator i, iterator j, const SameValue& sameValue, Visit& visit) const {
    const iterator end{};
    while (i != end || j != end) {
      const int c = i == end ? 1 : (j == end ? -1 : compareKeys(i->key, j->key));
      if (c < 0) {
        visit(i->key);
        ++i;
      } else if (c > 0) {
        visit(j->key);
        ++j;
      } else {
        if (!sameValue(i->value, j->value)) visit(i->key);
        ++i;
        ++j;
      }
    }
  }

  static const TreeEntry* retain(const TreeEntry* e) {
    if (e) e->refs_.fetch_add(1, std::memory_order_relaxed);
    return e;
  }
  static void release(const TreeEntry* e) {
    // From the last entry to the first, as blocks are: the allocator hands freed memory out
    // last-freed first, so the next tree built in key order gets it back in address order.
    // Recursion on the right, a loop on the left: the depth stays within the tree height.
    while (e && e->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      const TreeEntry* left = e->left_;
      release(e->right_);
      delete e;
      e = left;
    }
  }

  // An owning reference to a subtree.
  class Ref {
   public:
    Ref() = default;
    static Ref adopt(const TreeEntry* e) { return Ref(e); }
    static Ref share(const TreeEntry* e) { return Ref(retain(e)); }
    Ref(const Ref& other) : e_(retain(other.e_)) {}
    Ref(Ref&& other) noexcept : e_(std::exchange(other.e_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
      std::swap(e_, other.e_);
      return *this;
    }
    ~Ref() { SortedMap::release(e_); }
    const TreeEntry* get() const { return e_; }
    const TreeEntry* operator->() const { return e_; }
    const TreeEntry* take() { return std::exchange(e_, nullptr); }

   private:
    explicit Ref(const TreeEntry* e) : e_(e) {}
    const TreeEntry* e_ = nullptr;
  };

  // Builds a block entry by entry; destroys what it built when dropped unfinished.
  class BlockWriter {
   public:
    explicit BlockWriter(size_t size, size_t room = 0)
        : block_(
              new (static_cast<char*>(::operator new(room + sizeof(Block) + size * sizeof(Entry))) +
                   room) Block) {
      static_assert(kFlatMax <= UINT16_MAX);
      assert(room <= kMaxRoomBytes && room % alignof(Block) == 0);
      block_->size_ = static_cast<uint16_t>(size);
      block_->room_ = static_cast<uint16_t>(room);
    }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;
    ~BlockWriter() {
      if (block_) destroyBlock(block_, built_);
    }
    template <class KK, class VV>
    void add(KK&& key, VV&& value) {
      new (const_cast<Entry*>(block_->entries()) + built_)
          Entry(std::forward<KK>(key), std::forward<VV>(value));
      ++built_;
    }
    void copy(const Entry& e) { add(e.key, e.value); }
    const Block* finish() { return std::exchange(block_, nullptr); }
    void* room() const { return reinterpret_cast<char*>(block_) - block_->room_; }

   private:
    Block* block_;
    size_t built_ = 0;
  };

  static void destroyBlock(const Block* b, size_t built) {
    for (size_t i = built; i > 0; --i) b->entries()[i - 1].~Entry();
    const size_t room = b->room_;
    b->~Block();
    ::operator delete(reinterpret_cast<char*>(const_cast<Block*>(b)) - room);
  }

  // What a map holds: nothing, a tree, or a block (marked by the pointer's low bit).
  class Root {
   public:
    Root() = default;
    explicit Root(Ref tree) : bits_(reinterpret_cast<uintptr_t>(tree.take())) {}
    explicit Root(const Block* block) : bits_(reinterpret_cast<uintptr_t>(block) | kBlockBit) {}
    Root(const Root& other) : bits_(other.bits_) {
      if (const Block* b = block()) {
        b->refs_.fetch_add(1, std::memory_order_relaxed);
      } else {
        retain(tree());
      }
    }
    Root(Root&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
    Root& operator=(Root other) noexcept {
      std::swap(bits_, other.bits_);
      return *this;
    }
    ~Root() {
      if (const Block* b = block()) {
        if (b->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroyBlock(b, b->size_);
      } else {
        SortedMap::release(tree());
      }
    }
    bool isEmpty() const { return bits_ == 0; }
    bool sameAs(const Root& other) const { return bits_ == other.bits_; }
    // The tree; null when empty or a block.
    const TreeEntry* tree() const {
      return bits_ & kBlockBit ? nullptr : reinterpret_cast<const TreeEntry*>(bits_);
    }
    // The block; null when empty or a tree.
    const Block* block() const {
      return bits_ & kBlockBit ? reinterpret_cast<const Block*>(bits_ & ~kBlockBit) : nullptr;
    }

   private:
    static constexpr uintptr_t kBlockBit = 1;
    uintptr_t bits_ = 0;
  };

  SortedMap(const Compare& cmp, Root root) : cmp_(cmp), root_(std::move(root)) {}

  int compareKeys(const K& a, const K& b) const {
    return sorted_map_detail::compareKeys(cmp_, a, b);
  }
  static uint32_t sizeOf(const TreeEntry* e) { return e ? e->size_ : 0; }
  static size_t heightOf(const TreeEntry* e) {
    return e ? 1 + std::max(heightOf(e->left_), heightOf(e->right_)) : 0;
  }
  static const TreeEntry* extreme(const TreeEntry* e, bool right) {
    if (!e) return nullptr;
    while (const TreeEntry* next = right ? e->right_ : e->left_) e = next;
    return e;
  }

  // The position in the block of the first key at or above `key` (above it, with `after`).
  size_t bound(const Block* b, const K& key, bool after) const {
    size_t low = 0;
    size_t high = b->size_;
    while (low < high) {
      size_t middle = low + (high - low) / 2;
      int c = compareKeys(b->entries()[middle].key, key);
      if (c < 0 || (after && c == 0)) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low;
  }

  // Insert into a block (or an empty map): a copy of the block with the entry in place, or a
  // tree once the map outgrows a block.
  SortedMap insertFlat(K&& key, V&& value) const {
    const Block* b = root_.block();
    const Entry* entries = b ? b->entries() : nullptr;
    const size_t count = b ? b->size_ : 0;
    const size_t at = b ? bound(b, key, false) : 0;
    const bool replaces = at < count && compareKeys(key, entries[at].key) == 0;
    const size_t size = replaces ? count : count + 1;
    // Entries after the new one come from this far back in the old block.
    const size_t shift = size - count;
    if (size > kFlatMax) {
      auto makeAt = [&](size_t i, Ref left, Ref right) {
        if (i == at)
          return make(std::move(key), std::move(value), std::move(left), std::move(right));
        const Entry& e = entries[i < at ? i : i - shift];
        return make(e.key, e.value, std::move(left), std::move(right));
      };
      return SortedMap(cmp_, Root(buildBalanced(0, size, makeAt)));
    }
    BlockWriter block(size);
    for (size_t i = 0; i < at; ++i) block.copy(entries[i]);
    block.add(std::move(key), std::move(value));
    for (size_t i = at + 1; i < size; ++i) block.copy(entries[i - shift]);
    return SortedMap(cmp_, Root(block.finish()));
  }

  // `key` must be in the block.
  SortedMap removeFlat(const Block* b, const K& key) const {
    if (b->size_ == 1) return SortedMap(cmp_, Root());
    const size_t at = bound(b, key, false);
    BlockWriter block(b->size_ - 1);
    for (size_t i = 0; i < b->size_; ++i) {
      if (i != at) block.copy(b->entries()[i]);
    }
    return SortedMap(cmp_, Root(block.finish()));
  }

  template <class KK, class VV>
  static Ref make(KK&& key, VV&& value, Ref left, Ref right) {
    uint32_t size = sizeOf(left.get()) + sizeOf(right.get()) + 1;
    const TreeEntry* e = new TreeEntry(std::forward<KK>(key), std::forward<VV>(value), left.get(),
                                       right.get(), size);
    left.take();
    right.take();
    return Ref::adopt(e);
  }

  // A subtree of the key and value over the two subtrees, rotated back into balance when one
  // side outweighs the other (they differ by at most one entry from a balanced pair).
  template <class KK, class VV>
  static Ref balance(KK&& key, VV&& value, Ref left, Ref right) {
    uint64_t sl = sizeOf(left.get());
    uint64_t sr = sizeOf(right.get());
    if (sl + sr > 1) {
      if (sr > kDelta * sl) {
        const TreeEntry* rl = right->left_;
        const TreeEntry* rr = right->right_;
        if (sizeOf(rl) < kRatio * sizeOf(rr)) {
          return make(
              right->key, right->value,
              make(std::forward<KK>(key), std::forward<VV>(value), std::move(left), Ref::share(rl)),
              Ref::share(rr));
        }
        return make(rl->key, rl->value,
                    make(std::forward<KK>(key), std::forward<VV>(value), std::move(left),
                         Ref::share(rl->left_)),
                    make(right->key, right->value, Ref::share(rl->right_), Ref::share(rr)));
      }
      if (sl > kDelta * sr) {
        const TreeEntry* ll = left->left_;
        const TreeEntry* lr = left->right_;
        if (sizeOf(lr) < kRatio * sizeOf(ll)) {
          return make(left->key, left->value, Ref::share(ll),
                      make(std::forward<KK>(key), std::forward<VV>(value), Ref::share(lr),
                           std::move(right)));
        }
        return make(lr->key, lr->value,
                    make(left->key, left->value, Ref::share(ll), Ref::share(lr->left_)),
                    make(std::forward<KK>(key), std::forward<VV>(value), Ref::share(lr->right_),
                         std::move(right)));
      }
    }
    return make(std::forward<KK>(key), std::forward<VV>(value), std::move(left), std::move(right));
  }

  template <class KK, class VV>
  Ref insertAt(const TreeEntry* e, KK&& key, VV&& value) const {
    if (!e) return make(std::forward<KK>(key), std::forward<VV>(value), Ref(), Ref());
    int c = compareKeys(key, e->key);
    if (c < 0) {
      return balance(e->key, e->value,
                     insertAt(e->left_, std::forward<KK>(key), std::forward<VV>(value)),
                     Ref::share(e->right_));
    }
    if (c > 0) {
      return balance(e->key, e->value, Ref::share(e->left_),
                     insertAt(e->right_, std::forward<KK>(key), std::forward<VV>(value)));
    }
    return make(std::forward<KK>(key), std::forward<VV>(value), Ref::share(e->left_),
                Ref::share(e->right_));
  }

  // `key` must be in the subtree.
  Ref removeAt(const TreeEntry* e, const K& key) const {
    int c = compareKeys(key, e->key);
    if (c < 0) return balance(e->key, e->value, removeAt(e->left_, key), Ref::share(e->right_));
    if (c > 0) return balance(e->key, e->value, Ref::share(e->left_), removeAt(e->right_, key));
    return glue(e->left_, e->right_);
  }

  // One subtree of the entries of two balanced siblings.
  static Ref glue(const TreeEntry* left, const TreeEntry* right) {
    if (!left) return Ref::share(right);
    if (!right) return Ref::share(left);
    if (sizeOf(left) > sizeOf(right)) {
      const TreeEntry* last = extreme(left, true);
      return balance(last->key, last->value, removeExtreme(left, true), Ref::share(right));
    }
    const TreeEntry* first = extreme(right, false);
    return balance(first->key, first->value, Ref::share(left), removeExtreme(right, false));
  }
  static Ref removeExtreme(const TreeEntry* e, bool right) {
    if (right) {
      if (!e->right_) return Ref::share(e->left_);
      return balance(e->key, e->value, Ref::share(e->left_), removeExtreme(e->right_, true));
    }
    if (!e->left_) return Ref::share(e->right_);
    return balance(e->key, e->value, removeExtreme(e->left_, false), Ref::share(e->right_));
  }

  // A balanced tree of the entries [begin, end), each made by makeAt(i, left, right).
  template <class MakeAt>
  static Ref buildBalanced(size_t begin, size_t end, MakeAt& makeAt) {
    if (begin == end) return Ref();
    size_t middle = begin + (end - begin) / 2;
    Ref left = buildBalanced(begin, middle, makeAt);
    Ref right = buildBalanced(middle + 1, end, makeAt);
    return makeAt(middle, std::move(left), std::move(right));
  }

  [[no_unique_address]] Compare cmp_;
  Root root_;
};

// SortedSet: the keys of a SortedMap without values, with the same persistence and costs.
template <class K, class Compare = std::compare_three_way>
class SortedSet {
  using Map = SortedMap<K, sorted_map_detail::NoValue, Compare>;

  template <class MapIterator>
  class KeyIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = K;
    using difference_type = std::ptrdiff_t;
    using pointer = const K*;
    using reference = const K&;

    KeyIterator() = default;
    explicit KeyIterator(MapIterator it) : it_(it) {}
    reference operator*() const { return it_->key; }
    pointer operator->() const { return &it_->key; }
    KeyIterator& operator++() {
      ++it_;
      return *this;
    }
    KeyIterator operator++(int) {
      KeyIterator before = *this;
      ++it_;
      return before;
    }
    friend bool operator==(const KeyIterator& a, const KeyIterator& b) { return a.it_ == b.it_; }

   private:
    MapIterator it_;
  };

 public:
  using iterator = KeyIterator<typename Map::iterator>;
  using reverse_iterator = KeyIterator<typename Map::reverse_iterator>;

  SortedSet() requires std::default_initializable<Compare>
  = default;
  explicit SortedSet(Compare cmp) : map_(std::move(cmp)) {}

  size_t size() const { return map_.size(); }
  bool isEmpty() const { return map_.isEmpty(); }
  bool contains(const K& key) const { return map_.contains(key); }
  SortedSet insert(K key) const {
    return SortedSet(map_.insert(std::move(key), sorted_map_detail::NoValue()));
  }
  SortedSet remove(const K& key) const { return SortedSet(map_.remove(key)); }

  const K* minKey() const { return keyOf(map_.minEntry()); }
  const K* maxKey() const { return keyOf(map_.maxEntry()); }
  const K* predecessorKey(const K& key) const { return map_.predecessorKey(key); }
  const K* successorKey(const K& key) const { return map_.successorKey(key); }

  iterator begin() const { return iterator(map_.begin()); }
  iterator end() const { return iterator(map_.end()); }
  iterator iteratorFrom(const K& key) const { return iterator(map_.iteratorFrom(key)); }
  reverse_iterator rbegin() const { return reverse_iterator(map_.rbegin()); }
  reverse_iterator rend() const { return reverse_iterator(map_.rend()); }
  reverse_iterator reverseIteratorFrom(const K& key) const {
    return reverse_iterator(map_.reverseIteratorFrom(key));
  }

  friend bool operator==(const SortedSet& a, const SortedSet& b) { return a.map_ == b.map_; }

 private:
  explicit SortedSet(Map map) : map_(std::move(map)) {}
  static const K* keyOf(const typename Map::Entry* e) { return e ? &e->key : nullptr; }

  Map map_;
};

}  // namespace dz::database
