// Request: what the client asks of the server, as typed values; the realtime connection writes it
// as JSON ({"r", "a", "b"}) when it sends it (request_encoder.h). A plain value, made and sent on
// the work queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "database/snapshot/compound_hash.h"
#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "platform/value.h"

namespace dz::database {

// A request's data: none, null (an on-disconnect cancel), a node in export form, or a merge of
// relative paths to nodes.
using RequestData = std::variant<std::monostate, std::nullptr_t, NodePtr, CompoundWrite>;

// The members of a request's body; each one present is written, in this order. Each has an
// initializer, so that a body names only the members it sets.
struct RequestBody {
  std::optional<std::string> path{};           // "p"
  RequestData data{};                          // "d"
  std::optional<Value> query{};                // "q": the query's parameters in wire form
  std::optional<int64_t> tag{};                // "t"
  std::optional<std::string> hash{};           // "h"
  std::optional<CompoundHash> compoundHash{};  // "ch"
  std::optional<std::string> credential{};     // "cred"
  // "c": statistics, each name to its count, in this order.
  std::optional<std::vector<std::pair<std::string, int64_t>>> counters{};
};

struct Request {
  int64_t number = 0;  // "r", set by the persistent connection when it sends
  std::string action;  // "a"
  RequestBody body;    // "b"
};

}  // namespace dz::database
