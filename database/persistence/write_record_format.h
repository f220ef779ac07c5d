// The stored form of a pending write, shared by the storage engine that writes and reads it and
// the tests and fuzz target that check it: one JSON object {"path": text, "id": integer, and
// either "overwrite": value or "merge": {relative path: value}}, values in export form
// (priorities kept). Plain functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "database/persistence/write_record.h"

namespace dz::database {

std::string encodeWriteRecord(const WriteRecord& record);

// The record stored as `text`; none when it cannot be read back as one, with the reason in `why`.
// Never throws.
std::optional<WriteRecord> decodeWriteRecord(std::string_view text, std::string& why);

}  // namespace dz::database
