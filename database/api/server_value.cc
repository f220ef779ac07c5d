#include "database/api/server_value.h"

#include "database/snapshot/node.h"
#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {

const Value& ServerValue::timestamp() {
  static const Value placeholder(Value::Map{{kServerValueKey, Value(kServerValueTimestamp)}});
  return placeholder;
}

}  // namespace dz::database
