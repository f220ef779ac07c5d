#include "database/api/mutable_data.h"

#include "database/snapshot/indexed_node.h"
#include "database/snapshot/path.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"

namespace dz::database {

namespace {

constexpr char kSetValueLabel[] = "setValue:";
constexpr char kSetPriorityLabel[] = "setPriority:";
constexpr char kHasChildAtPathLabel[] = "hasChildAtPath:";
constexpr char kChildDataLabel[] = "childDataByAppendingPath:";

}  // namespace

// The data of one transaction run: replaced as a whole on every change (nodes are immutable).
struct MutableData::Holder {
  NodePtr rootNode = EmptyNode::emptyNode();

  NodePtr getNode(const Path& path) const { return rootNode->getChild(path); }
  void updateSnapshot(const Path& path, NodePtr node) {
    rootNode = rootNode->updateChild(path, std::move(node));
  }
};

struct MutableData::Location {
  Path prefix;
};

MutableData::MutableData(NodePtr node)
    : holder_(std::make_shared<Holder>()), location_(std::make_shared<const Location>()) {
  if (node) holder_->rootNode = std::move(node);
}

MutableData::MutableData(std::shared_ptr<Holder> holder, std::shared_ptr<const Location> location)
    : holder_(std::move(holder)), location_(std::move(location)) {}

const Path& MutableData::prefix() const { return location_->prefix; }

NodePtr MutableData::nodeValue() const { return holder_->getNode(prefix()); }

Value MutableData::value() const { return nodeValue()->val(); }

Value MutableData::priority() const { return nodeValue()->getPriority()->val(); }

void MutableData::setValue(const Value& value) {
  holder_->updateSnapshot(prefix(), SnapshotUtilities::nodeFrom(value, Value(), kSetValueLabel));
}

void MutableData::setPriority(const Value& priority) {
  // A priority is checked as a priority (not as data: true is a value, never a priority) before
  // it replaces anything; any leaf carries it through the conversion.
  NodePtr priorityNode =
      SnapshotUtilities::nodeFrom(Value(true), priority, kSetPriorityLabel)->getPriority();
  holder_->updateSnapshot(prefix(), nodeValue()->updatePriority(priorityNode));
}

bool MutableData::hasChildren() const {
  NodePtr node = nodeValue();
  return !node->isLeafNode() && !node->isEmpty();
}

bool MutableData::hasChildAtPath(std::string_view path) const {
  Validation::validatePathString(kHasChildAtPathLabel, path);
  return !nodeValue()->getChild(Path(path))->isEmpty();
}

uint64_t MutableData::childrenCount() const { return nodeValue()->numChildren(); }

detail::ChildSequence<MutableData> MutableData::children() const {
  auto holder = holder_;
  Path prefix = this->prefix();
  return {detail::ChildCursor(IndexedNode(nodeValue())),
          [holder, prefix](const std::string& key, const NodePtr&) {
            return MutableData(holder,
                               std::make_shared<const Location>(Location{prefix.child(key)}));
          }};
}

MutableData MutableData::childDataByAppendingPath(std::string_view path) const {
  Validation::validatePathString(kChildDataLabel, path);
  return MutableData(holder_,
                     std::make_shared<const Location>(Location{prefix().child(Path(path))}));
}

std::optional<MutableData> MutableData::parent() const {
  std::optional<Path> parentPath = prefix().parent();
  if (!parentPath) return std::nullopt;
  return MutableData(holder_, std::make_shared<const Location>(Location{*parentPath}));
}

std::optional<std::string> MutableData::key() const {
  if (prefix().isEmpty()) return std::nullopt;
  return prefix().back();
}

bool MutableData::isEqualToData(const MutableData& other) const {
  return holder_ == other.holder_ && prefix().toString() == other.prefix().toString();
}

std::string MutableData::description() const {
  std::string value = this->value().toJsonString();
  if (std::optional<std::string> name = key()) return "DZMutableData (" + *name + ") " + value;
  return "DZMutableData (top-most transaction) (null) " + value;
}

}  // namespace dz::database
