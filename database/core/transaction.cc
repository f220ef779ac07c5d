#include "database/core/transaction.h"

#include "database/utilities/utilities.h"

namespace dz::database {

ErrorPtr Transaction::abortError() const {
  if (!abortStatus) return nullptr;
  return errorForStatus(*abortStatus, abortReason);
}

}  // namespace dz::database
