// Helpers shared by the files of the persistent connection; work queue only.
#pragma once

#include <optional>
#include <string>

#include "database/core/persistent_connection.h"
#include "database/utilities/wire_protocol.h"
#include "platform/exception.h"

namespace dz::database::detail {

inline void check(bool condition, const std::string& message) {
  if (!condition) throw Exception(kInternalInconsistencyException, message);
}

}  // namespace dz::database::detail
