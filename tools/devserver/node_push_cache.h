// NodePushCache: the frames of recent large pushes of whole nodes, kept by the node they carry, so
// a listen on data that has not changed since it last went out is sent without serializing the
// data again. Nodes never change, so a node names its text; an entry holds its node, so that
// node's address is not reused while the entry lives. Bounded in bytes, the least recently used
// going first. Not thread-safe: the database service uses it under its lock.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <string>

#include "database/snapshot/node.h"
#include "tools/devserver/message_frames.h"

namespace dz::devserver {

class NodePushCache {
 public:
  // Keeps pushes of at least `minBytes`, together at most `maxBytes`.
  NodePushCache(size_t minBytes, size_t maxBytes) : minBytes_(minBytes), maxBytes_(maxBytes) {}

  // The frames that push `node` as `key` (the rest of the push: its action, path and tag), made
  // by `make` unless kept.
  SharedFrames frames(const database::NodePtr& node, const std::string& key,
                      const std::function<SharedFrames()>& make);

 private:
  struct Entry {
    database::NodePtr node;
    std::string key;
    SharedFrames frames;
    size_t bytes = 0;
  };

  size_t minBytes_;
  size_t maxBytes_;
  size_t bytes_ = 0;
  std::list<Entry> entries_;  // the most recently used first
};

}  // namespace dz::devserver
