// ServerValue: placeholders that the server replaces with its own value when it applies a
// write. Thread-safe.
#pragma once

#include "platform/value.h"

namespace dz::database {

class ServerValue {
 public:
  // {".sv": "timestamp"}: the server's clock in milliseconds since 1970 when the write lands.
  static const Value& timestamp();
};

}  // namespace dz::database
