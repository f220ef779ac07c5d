// What one listen is sent: all the data at its path, or, for a query (index, bounds, limit),
// only the children in its window, chosen by the server's own QueryWindow. A filtered listen
// remembers the window it last sent, so a write that leaves the window unchanged sends nothing.
// A window without a limit changes child by child; a limited one goes out whole, as a client
// merging entering and leaving children into a limited window could evict the wrong child.
// Also the answers to a listen's hashes: whether the client's data is current, and the ranges
// of a compound hash that differ. Used on the thread that owns the tree.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"
#include "tools/devserver/query_window.h"

namespace dz::devserver {

// One push a filtered listen is sent after a write.
struct WindowChange {
  enum class Kind {
    kWhole,    // `data` is the whole window
    kWritten,  // the child `key` was inside before and after: the write itself goes out
    kEntered,  // the child `key` entered the window with `data`
    kLeft,     // the child `key` left the window
  };
  Kind kind;
  std::string key;
  database::NodePtr data;
};

class ListenWindow {
 public:
  // The window of the wire query parameters (null or absent for none); none when they are
  // malformed. Parameters that load all data filter nothing, whatever their index.
  static std::optional<ListenWindow> create(const boost::json::value& query);

  bool filtered() const { return query_.filters(); }

  // The window of `data`, the whole data at the listen's path (`data` itself when unfiltered),
  // remembered as sent.
  database::NodePtr reset(const database::NodePtr& data);
  // For a filtered listen, after writes below its path under the child `keys` (`data` is the new
  // data at the path; no keys for a write at or above the path): what to push so the client's
  // window becomes the new one, remembered as sent; nothing when the window did not change.
  std::vector<WindowChange> update(const database::NodePtr& data,
                                   const std::set<std::string>& keys);

 private:
  QueryWindow query_;
  // Whether the data at the path was a leaf when the window was last sent.
  bool dataWasLeaf_ = false;
  database::NodePtr window_ = database::EmptyNode::emptyNode();
};

// Path order: key by key in key order, a path before the paths below it.
int pathOrder(const database::Path& a, const database::Path& b);

// The hash of each range of `data` the posts mark off (one more than the posts): range i holds
// the entries after post i-1 up to and including post i, the last range those after the last
// post; "" for a range without entries.
std::vector<std::string> rangeHashes(const database::Node& data,
                                     const std::vector<database::Path>& posts);

// The ranges of `data` whose hashes differ from the client's compound hash ("ps" post paths in
// wire form, "hs" one hash per range), as a range merge's list: {"s": start, "e": end, "m": the
// data in the range}, the first range without "s" and the last without "e". Empty when nothing
// differs; none when the hash is malformed.
std::optional<boost::json::array> differingRanges(const database::Node& data,
                                                  const boost::json::value& compoundHash);

// The data of `node` whose paths lie after `start` and up to and including `end`, as the client
// applying a range places it (a priority at its node's ".priority" child, carried only by a node
// with children in the range; a leaf whole, by its own path); an absent bound leaves that side
// open.
database::NodePtr dataInRange(const database::NodePtr& node,
                              const std::optional<database::Path>& start,
                              const std::optional<database::Path>& end);

}  // namespace dz::devserver
