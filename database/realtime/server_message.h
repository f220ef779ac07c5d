// The server's data messages as typed values: replies to requests and pushes, decoded once by the
// connection layer (message_decoder.h) so that the layers above never read wire text. Plain
// values, made and used on the work queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/range_merge.h"

namespace dz::database {

// The answer to the request numbered `requestNumber`.
struct Reply {
  int64_t requestNumber = 0;
  std::string status;                 // "ok" or the server's status
  std::optional<std::string> reason;  // the data when it is text
  // The data of a failure as text (text as it is, else JSON); none if absent or ok.
  std::optional<std::string> data;
  bool noIndexWarning = false;  // a listen's data warns of a query without an index
  std::string text;             // the whole answer as JSON, for the debug log only
};

// New data at a path ("d").
struct DataPush {
  std::string path;  // as the server sent it
  std::optional<int64_t> tag;
  NodePtr data;  // never null
};

// Writes at paths relative to one location ("m").
struct MergePush {
  std::string path;
  std::optional<int64_t> tag;
  CompoundWrite merge;
};

struct RangeMergePush {
  std::string path;
  std::optional<int64_t> tag;
  std::vector<RangeMerge> ranges;
};

// The server no longer accepts the connection's credential.
struct AuthRevokedPush {
  std::string status;
  std::string reason;
};

// The server stopped serving the listens at a path.
struct ListenRevokedPush {
  std::string path;
};

// Security rule diagnostics, one line per rule.
struct SecurityDebugPush {
  std::string message;
};

struct UnknownPush {
  std::string action;
};

// The server gave up on this connection.
struct ServerError {
  std::string error;
};

// What the client cannot use: a reply without a usable number or status, a push without a usable
// path, data or tag, or data that cannot be stored.
struct RefusedMessage {
  enum class Kind { Reply, Push, UnstorableData };
  Kind kind;
  std::string reason;  // a log line
};

using ServerMessage =
    std::variant<RefusedMessage, Reply, ServerError, DataPush, MergePush, RangeMergePush,
                 AuthRevokedPush, ListenRevokedPush, SecurityDebugPush, UnknownPush>;

// The data of a data push: new data, or writes below the push's path.
using PushedData = std::variant<NodePtr, CompoundWrite>;

// The data as JSON text in export form (for a merge, each relative path to its value).
std::string pushedDataText(const PushedData& data);

}  // namespace dz::database
