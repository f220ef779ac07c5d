// The JSON form of a request ({"r", "a", "b"}), written by the realtime connection when it sends
// one, and its text for logs. Plain functions, called on the work queue.
#pragma once

#include <boost/json/object.hpp>
#include <string>

#include "database/realtime/request.h"

namespace dz::database {

boost::json::object encodeRequest(const Request& request);
// The body as JSON text.
std::string requestBodyText(const RequestBody& body);

}  // namespace dz::database
