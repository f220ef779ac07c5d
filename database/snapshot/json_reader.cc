#include "database/snapshot/json_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "platform/json_text.h"

namespace dz::database {
namespace {

using boost::json::string_view;
using boost::system::error_code;

// The members with a meaning of their own.
enum class Member { kChild, kPriority, kValue, kServerValue };

Member memberOf(std::string_view key) {
  if (key.empty() || key[0] != '.') return Member::kChild;
  if (key == kPriorityKey) return Member::kPriority;
  if (key == kValueKey) return Member::kValue;
  if (key == kServerValueKey) return Member::kServerValue;
  return Member::kChild;  // refused as a key later
}

// compareKeys, settled by the first byte when it differs and neither key can be an integer or a
// sentinel (most member names): sorting a document's members compares keys a lot.
int keyOrder(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0] && isPlainKey(a) && isPlainKey(b)) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
  }
  return compareKeys(a, b);
}

// The first sixteen bytes of a key as numbers (zeros past its end): prefixes in order are keys
// in byte order, and equal prefixes leave it to the keys.
struct Prefix {
  uint64_t high = 0;
  uint64_t low = 0;
  friend auto operator<=>(const Prefix&, const Prefix&) = default;
};

// The bytes at `p` as a big-endian number.
template <class Word>
Word bigEndianAt(const char* p) {
  Word word;
  std::memcpy(&word, p, sizeof(word));
  if constexpr (std::endian::native == std::endian::big) return word;
  if constexpr (sizeof(Word) == 8) return __builtin_bswap64(word);
  return __builtin_bswap32(word);
}

// Loads of whole words (overlapping for keys between their sizes) instead of bytes copied into
// a buffer that is read back as words: every member of a large object needs its prefix.
Prefix prefixOf(std::string_view key) {
  const char* p = key.data();
  const size_t n = key.size();
  Prefix prefix;
  if (n >= 16) {
    prefix.high = bigEndianAt<uint64_t>(p);
    prefix.low = bigEndianAt<uint64_t>(p + 8);
  } else if (n > 8) {
    prefix.high = bigEndianAt<uint64_t>(p);
    prefix.low = bigEndianAt<uint64_t>(p + n - 8) << (8 * (16 - n));
  } else if (n >= 4) {
    // The second load ends at the key's end; where the two overlap they hold the same bytes.
    prefix.high = uint64_t{bigEndianAt<uint32_t>(p)} << 32 |
                  uint64_t{bigEndianAt<uint32_t>(p + n - 4)} << (8 * (8 - n));
  } else if (n > 0) {
    auto byteAt = [p](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
    prefix.high =
        byteAt(0) << 56 | byteAt(n / 2) << (56 - 8 * (n / 2)) | byteAt(n - 1) << (64 - 8 * n);
  }
  return prefix;
}

class NodeHandler {
 public:
  static constexpr size_t max_object_size = boost::json::object::max_size();
  static constexpr size_t max_array_size = boost::json::array::max_size();
  static constexpr size_t max_key_size = boost::json::string::max_size();
  static constexpr size_t max_string_size = boost::json::string::max_size();

  explicit NodeHandler(size_t writtenLevels) : writtenLevels_(writtenLevels) {}

  bool needsDocument() const { return needsDocument_; }
  NodePtr takeResult() { return std::move(result_); }
  std::vector<Path> takeReshaped() { return std::move(reshaped_); }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code& ec) { return open(false, ec); }
  bool on_array_begin(error_code& ec) { return open(true, ec); }

  bool on_object_end(size_t, error_code& ec) {
    Level& level = levels_[depth_ - 1];
    const bool asWritten = !level.hasValue && !level.hasPriority;
    NodePtr node;
    if (level.hasValue) {
      node = level.value ? LeafNode::create(std::move(*level.value), std::move(level.priority))
                         : EmptyNode::emptyNode();
    } else if (!childrenNode(level, node)) {
      return documentPath(ec);
    }
    return close(std::move(node), asWritten, ec);
  }

  bool on_array_end(size_t, error_code& ec) {
    NodePtr node;
    childrenNode(levels_[depth_ - 1], node);  // ascending keys, never repeated
    return close(std::move(node), false, ec);
  }

  // The key is read straight into the entry that its value completes.
  bool on_key_part(string_view s, size_t, error_code&) {
    Level& level = levels_[depth_ - 1];
    if (!level.keyOpen) {
      level.entries.emplace_back();
      level.keyOpen = true;
    }
    level.entries.back().first.append(s.data(), s.size());
    return true;
  }
  bool on_key(string_view s, size_t n, error_code& ec) {
    Level& level = levels_[depth_ - 1];
    if (level.keyOpen) {
      on_key_part(s, n, ec);
      level.keyOpen = false;
    } else {
      level.entries.emplace_back(std::piecewise_construct,
                                 std::forward_as_tuple(s.data(), s.size()),
                                 std::forward_as_tuple());
    }
    level.member = memberOf(level.entries.back().first);
    return true;
  }

  bool on_string_part(string_view s, size_t, error_code&) {
    string_.append(s.data(), s.size());
    return true;
  }
  bool on_string(string_view s, size_t, error_code& ec) {
    // Most strings come in one piece: straight into the leaf, without the buffer.
    if (string_.empty()) {
      return scalar(LeafNode::Data(std::in_place_type<std::string>, s.data(), s.size()), ec);
    }
    string_.append(s.data(), s.size());
    bool ok = scalar(LeafNode::Data(std::move(string_)), ec);
    string_.clear();
    return ok;
  }

  bool on_number_part(string_view s, error_code&) {
    number_.append(s);
    return true;
  }
  bool on_int64(int64_t i, string_view, error_code& ec) {
    number_.clear();
    return scalar(LeafNode::Data(i), ec);
  }
  bool on_uint64(uint64_t u, string_view, error_code& ec) {
    number_.clear();
    if (u <= static_cast<uint64_t>(INT64_MAX)) {
      return scalar(LeafNode::Data(static_cast<int64_t>(u)), ec);
    }
    return scalar(LeafNode::Data(static_cast<double>(u)), ec);
  }
  bool on_double(double approximate, string_view s, error_code& ec) {
    double d = number_.take(s, approximate);
    if (!std::isfinite(d)) return documentPath(ec);
    return scalar(LeafNode::Data(d), ec);
  }
  bool on_bool(bool b, error_code& ec) { return scalar(LeafNode::Data(b), ec); }
  bool on_null(error_code& ec) { return scalar(nullptr, ec); }

  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

 private:
  using Entries = std::vector<std::pair<std::string, NodePtr>>;

  // One open array or object; kept for reuse by later containers at the same depth.
  struct Level {
    bool array = false;
    size_t index = 0;  // next element of an array
    // Children so far (null children hold a null node); in an object, the last one is the
    // current member, whose value is still being read.
    Entries entries;
    bool keyOpen = false;            // the current member's key is still being read
    Member member = Member::kChild;  // what the current member means
    bool sorted = true;              // keys strictly ascending so far
    bool plainKeys = true;           // no key so far is an integer key or a sentinel
    bool hasNull = false;
    bool hasPriority = false;
    bool hasValue = false;
    NodePtr priority;
    std::optional<LeafNode::Data> value;  // empty for a null ".value"

    void reset(bool isArray) {
      array = isArray;
      index = 0;
      entries.clear();
      keyOpen = false;
      member = Member::kChild;
      sorted = true;
      plainKeys = true;
      hasNull = false;
      hasPriority = false;
      hasValue = false;
      priority = nullptr;
      value.reset();
    }
  };

  bool documentPath(error_code& ec) {
    needsDocument_ = true;
    ec = boost::json::error::exception;
    return false;
  }

  // The member the next value belongs to (kChild in arrays and at the top).
  Member currentMember() const {
    if (depth_ == 0 || levels_[depth_ - 1].array) return Member::kChild;
    return levels_[depth_ - 1].member;
  }

  // Checks shared by every plain child value: a valid key and the depth limit.
  bool childAllowed() const {
    if (depth_ > kMaxObjectDepth) return false;
    if (depth_ == 0) return true;
    const Level& parent = levels_[depth_ - 1];
    return parent.array || Validation::isValidKey(parent.entries.back().first);
  }

  bool open(bool array, error_code& ec) {
    if (currentMember() != Member::kChild || !childAllowed()) return documentPath(ec);
    if (levels_.size() == depth_) levels_.emplace_back();
    levels_[depth_++].reset(array);
    return true;
  }

  // Leaves are never empty; a closed container may be.
  bool close(NodePtr node, bool asWritten, error_code& ec) {
    --depth_;
    if (node->isEmpty()) node = nullptr;
    return add(std::move(node), asWritten, ec);
  }

  bool scalar(LeafNode::Data&& data, error_code& ec) { return scalar(&data, ec); }
  // A scalar value (moved from); none for null.
  bool scalar(LeafNode::Data* data, error_code& ec) {
    if (const double* d = data ? std::get_if<double>(&*data) : nullptr; d && !std::isfinite(*d)) {
      return documentPath(ec);
    }
    switch (currentMember()) {
      case Member::kChild:
        break;
      case Member::kPriority: {
        Level& level = levels_[depth_ - 1];
        // Booleans are refused as priorities; a repeated member is the document's to settle.
        if (level.hasPriority || (data && std::holds_alternative<bool>(*data))) {
          return documentPath(ec);
        }
        level.hasPriority = true;
        if (data) level.priority = LeafNode::create(std::move(*data));
        level.entries.pop_back();
        return true;
      }
      case Member::kValue: {
        Level& level = levels_[depth_ - 1];
        if (level.hasValue) return documentPath(ec);
        level.hasValue = true;
        if (data) level.value = std::move(*data);
        level.entries.pop_back();
        return true;
      }
      case Member::kServerValue:
        return documentPath(ec);
    }
    if (!childAllowed()) return documentPath(ec);
    return add(data ? LeafNode::create(std::move(*data)) : nullptr, true, ec);
  }

  // Adds a finished child value (null for none) to the open container, or makes it the result.
  // On the levels read as written, a value that vanishes (null, empty) or that the node shows as
  // something else is noted.
  bool add(NodePtr node, bool asWritten, error_code&) {
    if (depth_ < writtenLevels_ && !(asWritten && node)) noteReshaped();
    if (depth_ == 0) {
      result_ = node ? std::move(node) : EmptyNode::emptyNode();
      return true;
    }
    Level& level = levels_[depth_ - 1];
    level.hasNull |= !node;
    if (level.array) {
      // Dropped elements still take their index.
      if (node) level.entries.emplace_back(std::to_string(level.index), std::move(node));
      ++level.index;
      return true;
    }
    Entries& entries = level.entries;
    entries.back().second = std::move(node);
    level.plainKeys = level.plainKeys && isPlainKey(entries.back().first);
    if (level.sorted && entries.size() > 1 &&
        keyOrder(entries[entries.size() - 2].first, entries.back().first) >= 0) {
      level.sorted = false;
    }
    return true;
  }

  // The path of the value being added: the current member or element of each open level.
  void noteReshaped() {
    std::vector<std::string> keys;
    keys.reserve(depth_);
    for (size_t i = 0; i < depth_; ++i) {
      const Level& level = levels_[i];
      keys.push_back(level.array ? std::to_string(level.index) : level.entries.back().first);
    }
    reshaped_.emplace_back(std::move(keys));
  }

  // Plain keys: sorting their prefixes with their positions settles most comparisons without
  // reaching the keys, and moves no entry. Leaves the positions of the non-null children in key
  // order in positions_; false when a key repeats.
  bool sortByPrefix(const Level& level) {
    const Entries& entries = level.entries;
    order_.clear();
    for (uint32_t i = 0; i < entries.size(); ++i) {
      order_.push_back({prefixOf(entries[i].first), i});
    }
    sortPositions(entries);
    auto same = [&entries](const Position& a, const Position& b) {
      return a.prefix == b.prefix && entries[a.index].first == entries[b.index].first;
    };
    if (std::adjacent_find(order_.begin(), order_.end(), same) != order_.end()) return false;
    positions_.clear();
    for (const Position& p : order_) {
      if (entries[p.index].second) positions_.push_back(p.index);
    }
    return true;
  }

  static constexpr size_t kRadixSortFrom = 1024;

  // Orders order_ by prefix and, among equal prefixes, by key. Many positions are sorted a byte
  // at a time, least significant first (each pass keeps the order of the one before), over only
  // the bytes in which the prefixes differ: the keys of one object mostly share their first
  // bytes, and a comparison sort of many keys spends its time on mispredicted branches.
  void sortPositions(const Entries& entries) {
    auto byKey = [&entries](const Position& a, const Position& b) {
      return entries[a.index].first < entries[b.index].first;
    };
    if (order_.size() < kRadixSortFrom) {
      std::sort(order_.begin(), order_.end(), [&byKey](const Position& a, const Position& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : byKey(a, b);
      });
      return;
    }
    Prefix differs;
    for (const Position& p : order_) {
      differs.high |= p.prefix.high ^ order_[0].prefix.high;
      differs.low |= p.prefix.low ^ order_[0].prefix.low;
    }
    scratch_.resize(order_.size());
    for (int byte = 15; byte >= 0; --byte) {
      const bool high = byte < 8;
      const int shift = 8 * (7 - byte % 8);
      if ((((high ? differs.high : differs.low) >> shift) & 0xFF) == 0) continue;
      auto digit = [high, shift](const Position& p) {
        return ((high ? p.prefix.high : p.prefix.low) >> shift) & 0xFF;
      };
      std::array<size_t, 257> starts{};
      for (const Position& p : order_) ++starts[digit(p) + 1];
      std::partial_sum(starts.begin(), starts.end(), starts.begin());
      for (const Position& p : order_) scratch_[starts[digit(p)]++] = p;
      order_.swap(scratch_);
    }
    // Keys sharing their first sixteen bytes are next to each other now.
    for (auto run = order_.begin(); run != order_.end();) {
      auto end = std::find_if(run + 1, order_.end(),
                              [&run](const Position& p) { return p.prefix != run->prefix; });
      if (end - run > 1) std::sort(run, end, byKey);
      run = end;
    }
  }

  // Puts the level's entries in key order without null children; false when a key repeats.
  static bool sortInPlace(Level& level) {
    Entries& entries = level.entries;
    if (!level.sorted) {
      auto less = [](const auto& a, const auto& b) { return keyOrder(a.first, b.first) < 0; };
      std::sort(entries.begin(), entries.end(), less);
      auto same = [](const auto& a, const auto& b) { return a.first == b.first; };
      if (std::adjacent_find(entries.begin(), entries.end(), same) != entries.end()) return false;
    }
    if (level.hasNull) {
      std::erase_if(entries, [](const auto& entry) { return !entry.second; });
    }
    return true;
  }

  // The children node of the level's entries; false when a key repeats.
  bool childrenNode(Level& level, NodePtr& node) {
    Entries& entries = level.entries;
    if (!level.sorted && level.plainKeys) {
      if (!sortByPrefix(level)) return false;
      node = positions_.empty()
                 ? EmptyNode::emptyNode()
                 : ChildrenNode::fromEntriesInOrder(entries, positions_, std::move(level.priority));
    } else {
      if (!sortInPlace(level)) return false;
      node = entries.empty() ? EmptyNode::emptyNode()
                             : ChildrenNode::fromSortedEntries(entries, std::move(level.priority));
    }
    entries.clear();
    return true;
  }

  std::vector<Level> levels_;
  size_t depth_ = 0;
  // The buffers of sortByPrefix, kept for reuse.
  struct Position {
    Prefix prefix;
    uint32_t index;
  };
  std::vector<Position> order_;
  std::vector<Position> scratch_;
  std::vector<uint32_t> positions_;
  std::string string_;
  JsonNumberText number_;
  NodePtr result_;
  bool needsDocument_ = false;
  const size_t writtenLevels_;
  std::vector<Path> reshaped_;
};

}  // namespace

struct JsonTextReader::Impl {
  Impl(size_t maxDepth, size_t writtenLevels) : parser(optionsOf(maxDepth), writtenLevels) {}
  static boost::json::parse_options optionsOf(size_t maxDepth) {
    boost::json::parse_options options;
    options.max_depth = maxDepth;
    return options;
  }
  boost::json::basic_parser<NodeHandler> parser;
  error_code error;
};

JsonTextReader::JsonTextReader(size_t maxDepth, size_t writtenLevels)
    : impl_(std::make_unique<Impl>(maxDepth, writtenLevels)) {}
JsonTextReader::~JsonTextReader() = default;

bool JsonTextReader::write(std::string_view piece) { return read(true, piece); }

JsonTextRead JsonTextReader::finish(std::string_view lastPiece) {
  read(false, lastPiece);
  JsonTextRead result;
  if (impl_->parser.handler().needsDocument()) {
    result.needsDocument = true;
    return result;
  }
  result.error = impl_->error;
  if (!result.error) {
    result.node = impl_->parser.handler().takeResult();
    result.reshaped = impl_->parser.handler().takeReshaped();
  }
  return result;
}

bool JsonTextReader::read(bool more, std::string_view piece) {
  if (impl_->error) return false;
  size_t used = impl_->parser.write_some(more, piece.data(), piece.size(), impl_->error);
  if (!impl_->error && used < piece.size()) impl_->error = boost::json::error::extra_data;
  return !impl_->error;
}

JsonTextRead readJsonText(std::string_view text, size_t maxDepth, size_t writtenLevels) {
  // One piece read as the last: the parser need not stop at its end to wait for more.
  return JsonTextReader(maxDepth, writtenLevels).finish(text);
}

}  // namespace dz::database
