// Helpers shared by the files of the persistent connection; work queue only.
#pragma once

#include <optional>
#include <string>

#include "database/core/persistent_connection.h"
#include "database/realtime/json_fields.h"
#include "database/utilities/wire_protocol.h"
#include "platform/exception.h"

namespace dz::database::detail {

inline void check(bool condition, const std::string& message) {
  if (!condition) throw Exception(kInternalInconsistencyException, message);
}

// Replies reach their callbacks only with a status string (see onDataMessage).
inline std::string statusOf(const boost::json::object& reply) {
  auto status = json::asString(json::member(reply, wire::kReplyStatus));
  return status ? std::string(*status) : std::string();
}

// The reply's "d" when it is text: the reason a failed write reports to its caller.
inline std::optional<std::string> reasonOf(const boost::json::object& reply) {
  auto reason = json::asString(json::member(reply, wire::kReplyData));
  if (!reason) return std::nullopt;
  return std::string(*reason);
}

inline std::string stringOrText(const boost::json::value* value) {
  if (!value) return std::string();
  if (auto s = json::asString(value)) return std::string(*s);
  return json::text(*value);
}

}  // namespace dz::database::detail
