// OutstandingPut: a put or merge not yet acknowledged by the server, kept by the persistent
// connection under its put id and sent again after every reconnection; TupleCallbackStatus: a
// write's completion held back until the listens sent before it are answered. Plain records,
// touched only on the work queue.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "database/realtime/request.h"

namespace dz::database {

// Receives the reply's status ("ok", the server's status, or the connection's own "disconnect"
// and "write_canceled") and the reason the server gave, when it gave one as text.
using WriteCallback =
    std::function<void(const std::string& status, const std::optional<std::string>& errorReason)>;

struct OutstandingPut {
  bool sent = false;
  Request request;  // "p" or "m"; numbered each time it is sent
  WriteCallback onCompleteBlock;
};

struct TupleCallbackStatus {
  WriteCallback block;
  std::string status;
  std::optional<std::string> errorReason;
};

}  // namespace dz::database
