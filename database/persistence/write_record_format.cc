#include "database/persistence/write_record_format.h"

#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "platform/value.h"

namespace dz::database {
namespace {

constexpr char kPathKey[] = "path";
constexpr char kWriteIdKey[] = "id";
constexpr char kOverwriteKey[] = "overwrite";
constexpr char kMergeKey[] = "merge";
constexpr char kRecordLabel[] = "stored write";

}  // namespace

std::string encodeWriteRecord(const WriteRecord& record) {
  Value::Map fields;
  fields.emplace(kPathKey, record.path().toString());
  fields.emplace(kWriteIdKey, Value(static_cast<long long>(record.writeId())));
  if (record.isMerge()) {
    fields.emplace(kMergeKey, record.merge().valForExport(true));
  } else {
    const NodePtr& node = record.overwrite();
    fields.emplace(kOverwriteKey, (node ? node : EmptyNode::emptyNode())->val(true));
  }
  return Value(std::move(fields)).toJsonString();
}

std::optional<WriteRecord> decodeWriteRecord(std::string_view text, ErrorPtr& error) {
  auto fail = [&](std::string reason) {
    error = std::make_shared<Error>(kWriteRecordErrorDomain, kUnreadableWriteRecordCode,
                                    std::move(reason));
    return std::nullopt;
  };
  std::optional<Value> parsed = Value::parseJson(text);
  if (!parsed || !parsed->isMap()) return fail("not a JSON object");
  const std::string* pathText = (*parsed)[kPathKey].getString();
  std::optional<int64_t> writeId = (*parsed)[kWriteIdKey].getInt();
  if (!pathText || !writeId) return fail("missing path or id");
  Path path(*pathText);
  // A path no writer takes did not come from one and would not read back.
  if (!Validation::isValidUpdatePath(path)) return fail("not a path a write is made at");
  try {
    if (const Value* overwrite = parsed->find(kOverwriteKey)) {
      return WriteRecord::overwrite(*writeId, path, SnapshotUtilities::nodeFrom(*overwrite));
    }
    if (const Value* merge = parsed->find(kMergeKey)) {
      const Value::Map* children = merge->getMap();
      if (!children) return fail("merge is not an object");
      return WriteRecord::merge(
          *writeId, path, SnapshotUtilities::compoundWriteFromDictionary(*children, kRecordLabel));
    }
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return fail("neither overwrite nor merge");
}

}  // namespace dz::database
