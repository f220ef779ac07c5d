// WriteRecord: one pending user write (an overwrite with its node or a merge with its compound
// write) under its write id, as the write tree keeps it and storage returns it. An immutable value.
#pragma once

#include <cstdint>
#include <optional>

#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

using WriteId = int64_t;

class WriteRecord {
 public:
  static WriteRecord overwrite(WriteId writeId, Path path, NodePtr node, bool visible = true) {
    return WriteRecord(writeId, std::move(path), std::move(node), std::nullopt, visible);
  }
  static WriteRecord merge(WriteId writeId, Path path, CompoundWrite merge) {
    return WriteRecord(writeId, std::move(path), nullptr, std::move(merge), true);
  }

  WriteId writeId() const { return writeId_; }
  const Path& path() const { return path_; }
  bool isOverwrite() const { return overwrite_ != nullptr; }
  bool isMerge() const { return merge_.has_value(); }
  // The node of an overwrite (null for a merge).
  const NodePtr& overwrite() const { return overwrite_; }
  // The compound write of a merge (empty for an overwrite).
  const CompoundWrite& merge() const;
  // Hidden writes (transactions without local events) raise no events.
  bool visible() const { return visible_; }

 private:
  WriteRecord(WriteId writeId, Path path, NodePtr overwrite, std::optional<CompoundWrite> merge,
              bool visible)
      : writeId_(writeId),
        path_(std::move(path)),
        overwrite_(std::move(overwrite)),
        merge_(std::move(merge)),
        visible_(visible) {}

  WriteId writeId_;
  Path path_;
  NodePtr overwrite_;
  std::optional<CompoundWrite> merge_;
  bool visible_;
};

inline const CompoundWrite& WriteRecord::merge() const {
  static const CompoundWrite* const kEmpty = new CompoundWrite();
  return merge_ ? *merge_ : *kEmpty;
}

}  // namespace dz::database
