// TransactionResult: a transaction update function's answer: commit this data, or abort. A
// plain value type.
#pragma once

#include <optional>

#include "database/api/mutable_data.h"

namespace dz::database {

class TransactionResult {
 public:
  // Commit the data of `value` (a view of the update function's data).
  static TransactionResult successWithValue(MutableData value);
  // Abort the transaction.
  static TransactionResult abort();

  bool isSuccess() const { return update_.has_value(); }
  // The data to commit; none for an abort.
  const std::optional<MutableData>& update() const { return update_; }

 private:
  explicit TransactionResult(std::optional<MutableData> update) : update_(std::move(update)) {}
  std::optional<MutableData> update_;
};

}  // namespace dz::database
