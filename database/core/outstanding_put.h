// OutstandingPut: a put or merge not yet acknowledged by the server, kept by the persistent
// connection under its put id and sent again after every reconnection; TupleCallbackStatus: a
// write's completion held back until the listens sent before it are answered. Plain records,
// touched only on the work queue.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "database/realtime/request.h"
#include "database/utilities/utilities.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {

// A write's outcome, decoded once by the connection: the status ("ok", the server's status, or the
// connection's own "disconnect" and "write_canceled"), the reason the server gave when it gave one
// as text, and the error they stand for.
struct WriteResult {
  std::string status;
  std::optional<std::string> reason;
  ErrorPtr error;  // none for "ok"

  static WriteResult from(std::string status, std::optional<std::string> reason = std::nullopt) {
    ErrorPtr error = errorForStatus(status, reason);
    return WriteResult{std::move(status), std::move(reason), std::move(error)};
  }
  bool ok() const { return error == nullptr; }
  bool canceled() const { return status == wire::kStatusWriteCanceled; }
};

using WriteCallback = std::function<void(const WriteResult& result)>;

struct OutstandingPut {
  bool sent = false;
  Request request;  // "p" or "m"; numbered each time it is sent
  WriteCallback onCompleteBlock;
};

struct TupleCallbackStatus {
  WriteCallback block;
  WriteResult result;
};

}  // namespace dz::database
