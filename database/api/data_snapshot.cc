#include "database/api/data_snapshot.h"

#include "database/api/database_reference.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/path.h"
#include "database/snapshot/validation.h"

namespace dz::database {

namespace {

constexpr char kSnapshotChildLabel[] = "child:";
constexpr char kHasChildLabel[] = "hasChild:";
// Printed for an absent key, as a format of the key would print it.
constexpr char kNoKey[] = "(null)";

}  // namespace

namespace detail {

struct ChildCursor::State {
  explicit State(const IndexedNode& indexed) : node(indexed), it(node.begin()), end(node.end()) {}
  IndexedNode node;  // keeps the children alive while walking them
  IndexedNode::Iterator it;
  IndexedNode::Iterator end;
  NamedNode current;
};

ChildCursor::ChildCursor(const IndexedNode& node) : state_(std::make_shared<State>(node)) {
  if (!atEnd()) state_->current = *state_->it;
}

bool ChildCursor::atEnd() const { return !state_ || state_->it == state_->end; }

const std::string& ChildCursor::key() const { return state_->current.name; }

const NodePtr& ChildCursor::node() const { return state_->current.node; }

void ChildCursor::next() {
  if (atEnd()) return;
  ++state_->it;
  if (!atEnd()) state_->current = *state_->it;
}

}  // namespace detail

struct DataSnapshot::State {
  std::shared_ptr<Repo> repo;
  Path path;
  IndexedNode node;
};

DataSnapshot::DataSnapshot(const DatabaseReference& ref, const IndexedNode& node)
    : DataSnapshot(ref.repo(), ref.path(), node) {}

DataSnapshot::DataSnapshot(std::shared_ptr<Repo> repo, const Path& path, const IndexedNode& node)
    : state_(std::make_shared<const State>(State{std::move(repo), path, node})) {}

Value DataSnapshot::value() const { return node()->val(); }

Value DataSnapshot::valueInExportFormat() const { return node()->val(true); }

Value DataSnapshot::priority() const { return node()->getPriority()->val(); }

bool DataSnapshot::exists() const { return !node()->isEmpty(); }

bool DataSnapshot::hasChildren() const { return !node()->isLeafNode() && !node()->isEmpty(); }

bool DataSnapshot::hasChild(std::string_view path) const {
  Validation::validatePathString(kHasChildLabel, path);
  return !node()->getChild(Path(path))->isEmpty();
}

uint64_t DataSnapshot::childrenCount() const { return node()->numChildren(); }

DataSnapshot DataSnapshot::childSnapshot(std::string_view path) const {
  Validation::validatePathString(kSnapshotChildLabel, path);
  Path relative(path);
  return DataSnapshot(state_->repo, state_->path.child(relative),
                      IndexedNode(node()->getChild(relative)));
}

detail::ChildSequence<DataSnapshot> DataSnapshot::children() const {
  auto repo = state_->repo;
  Path path = state_->path;
  return {detail::ChildCursor(state_->node),
          [repo, path](const std::string& key, const NodePtr& child) {
            return DataSnapshot(repo, path.child(key), IndexedNode(child));
          }};
}

std::optional<std::string> DataSnapshot::key() const {
  if (state_->path.isEmpty()) return std::nullopt;
  return state_->path.back();
}

std::string DataSnapshot::description() const {
  return "Snap (" + key().value_or(kNoKey) + ") " + node()->description();
}

const IndexedNode& DataSnapshot::indexedNode() const { return state_->node; }

const NodePtr& DataSnapshot::node() const { return state_->node.node(); }

const Path& DataSnapshot::path() const { return state_->path; }

DatabaseReference DataSnapshot::ref() const {
  return DatabaseReference(state_->repo, state_->path);
}

}  // namespace dz::database
