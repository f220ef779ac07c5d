#include "tools/devserver/node_push_cache.h"

namespace dz::devserver {

SharedFrames NodePushCache::frames(const database::NodePtr& node, const std::string& key,
                                   const std::function<SharedFrames()>& make) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->node == node && it->key == key) {
      entries_.splice(entries_.begin(), entries_, it);
      return it->frames;
    }
  }
  SharedFrames made = make();
  size_t bytes = 0;
  for (const auto& frame : made) bytes += frame->size();
  if (bytes < minBytes_ || bytes > maxBytes_) return made;
  entries_.push_front({node, key, made, bytes});
  bytes_ += bytes;
  while (bytes_ > maxBytes_) {
    bytes_ -= entries_.back().bytes;
    entries_.pop_back();
  }
  return made;
}

}  // namespace dz::devserver
