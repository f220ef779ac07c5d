// The stored form of a pending write, shared by the storage engine that writes and reads it and
// the tests and fuzz target that check it: one JSON object {"path": text, "id": integer, and
// either "overwrite": value or "merge": {relative path: value}}, values in export form
// (priorities kept). Plain functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "database/persistence/write_record.h"
#include "platform/error.h"

namespace dz::database {

inline constexpr char kWriteRecordErrorDomain[] = "dz.database.WriteRecordError";
inline constexpr int kUnreadableWriteRecordCode = 1;

std::string encodeWriteRecord(const WriteRecord& record);

// The record stored as `text`; none when it cannot be read back as one, with `error` set to a
// kUnreadableWriteRecordCode error whose description says why. Never throws.
std::optional<WriteRecord> decodeWriteRecord(std::string_view text, ErrorPtr& error);

}  // namespace dz::database
