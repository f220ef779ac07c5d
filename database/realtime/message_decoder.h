// Decoding of the server's data messages ({"r", "b"} replies, {"a", "b"} pushes, {"error"}) into
// the typed values of server_message.h. Never throws: what cannot be used comes back refused.
// Plain functions, called on the work queue.
#pragma once

#include <boost/json/object.hpp>

#include "database/realtime/server_message.h"

namespace dz::database {

ServerMessage decodeServerMessage(const boost::json::object& message) noexcept;

}  // namespace dz::database
