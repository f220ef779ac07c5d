// TupleOnDisconnect: an on-disconnect operation waiting to be sent because writes could not be
// sent when it was made, or sent and waiting for the server's answer. A plain record, touched
// only on the work queue.
#pragma once

#include <string>

#include "database/core/outstanding_put.h"
#include "database/realtime/request.h"

namespace dz::database {

struct TupleOnDisconnect {
  std::string pathString;
  std::string action;  // "o", "om" or "oc"
  RequestData data;
  WriteCallback onComplete;
};

}  // namespace dz::database
