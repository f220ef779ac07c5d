// Arbitrary bytes as a stored write record. Reading never throws, and a record read back from
// the text it is stored as is the same record, stored as the same text.
#include <cstdint>
#include <string>
#include <string_view>

#include "database/persistence/write_record_format.h"
#include "fuzz/support.h"

namespace {

using dz::database::WriteRecord;
using dz::fuzz::require;

bool sameRecord(const WriteRecord& a, const WriteRecord& b) {
  if (a.writeId() != b.writeId() || a.path() != b.path() || a.isMerge() != b.isMerge()) {
    return false;
  }
  if (a.isMerge()) return a.merge().valForExport(true) == b.merge().valForExport(true);
  return dz::database::nodesEqual(a.overwrite(), b.overwrite());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  dz::ErrorPtr error;
  std::optional<WriteRecord> record = dz::database::decodeWriteRecord(text, error);
  require(record || error, "a record refused without a reason");
  if (!record) return 0;
  const std::string stored = dz::database::encodeWriteRecord(*record);
  std::optional<WriteRecord> again = dz::database::decodeWriteRecord(stored, error);
  require(again && sameRecord(*record, *again), "a stored record does not read back: " + stored);
  const std::string storedAgain = dz::database::encodeWriteRecord(*again);
  require(storedAgain == stored,
          "a record is stored differently: " + stored + " then " + storedAgain);
  return 0;
}
