#include "tools/devserver/on_disconnect_store.h"

#include "tools/devserver/query_window.h"

namespace dz::devserver {

using database::NodePtr;
using database::Path;

bool OnDisconnectStore::KeyOrderLess::operator()(const std::string& a, const std::string& b) const {
  return keyOrder(a, b) < 0;
}

void OnDisconnectStore::set(const Path& path, NodePtr value) {
  Location* at = &root_;
  for (size_t depth = 0; depth < path.size(); ++depth) {
    if (at->value) {
      std::vector<std::string> below(path.keys().begin() + depth, path.keys().end());
      at->value = at->value->updateChild(Path(std::move(below)), std::move(value));
      return;
    }
    at = &at->children[path[depth]];
  }
  at->value = std::move(value);
  at->children.clear();
}

void OnDisconnectStore::cancel(const Path& path) { cancelAt(root_, path, 0); }

bool OnDisconnectStore::cancelAt(Location& at, const Path& path, size_t depth) {
  if (depth == path.size()) {
    at = Location();
    return true;
  }
  if (at.value) {
    if (at.value->isLeafNode()) return false;
    for (const auto& entry : at.value->children()) at.children[entry.key].value = entry.value;
    at.value = nullptr;
  }
  auto child = at.children.find(path[depth]);
  if (child != at.children.end() && cancelAt(child->second, path, depth + 1)) {
    at.children.erase(child);
  }
  return !at.value && at.children.empty();
}

std::vector<std::pair<Path, NodePtr>> OnDisconnectStore::writes() const {
  std::vector<std::pair<Path, NodePtr>> out;
  std::vector<std::string> keys;
  collect(root_, keys, out);
  return out;
}

void OnDisconnectStore::collect(const Location& at, std::vector<std::string>& keys,
                                std::vector<std::pair<Path, NodePtr>>& out) {
  if (at.value) {
    out.emplace_back(Path(keys), at.value);
    return;
  }
  for (const auto& [key, child] : at.children) {
    keys.push_back(key);
    collect(child, keys, out);
    keys.pop_back();
  }
}

}  // namespace dz::devserver
