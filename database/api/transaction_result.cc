#include "database/api/transaction_result.h"

namespace dz::database {

TransactionResult TransactionResult::successWithValue(MutableData value) {
  return TransactionResult(std::move(value));
}

TransactionResult TransactionResult::abort() { return TransactionResult(std::nullopt); }

}  // namespace dz::database
