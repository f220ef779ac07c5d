// Transaction: one running transaction as the repository's transaction queue keeps it: the
// caller's update function and completion, where it stands (status, sends, abort reason) and the
// data it last saw and produced. Owned by the queue; work queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/persistence/write_record.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"
#include "platform/error.h"

namespace dz::database {

// The numbers are those of the design.
enum class TransactionStatus : int {
  Initial = 0,           // built; the update function has not returned yet
  Run = 1,               // has a result; waits to be sent
  Sent = 2,              // part of a put whose reply is outstanding
  Done = 3,              // committed or aborted; leaves the queue at the next prune
  SentAbortPending = 4,  // sent, and aborts when the reply comes
  AbortPending = 5,      // aborts at the next rerun
};

// The update function as the engine calls it: the current data in, the data to commit out, or
// null to abort. It may throw; its transaction then aborts with an error.
using TransactionUpdate = std::function<NodePtr(const NodePtr& currentData)>;
// Called once: the error (none for a commit or an abort by the update function), whether the
// data was committed, and the data (null when there is none to show).
using TransactionCompletion =
    std::function<void(const ErrorPtr& error, bool committed, const NodePtr& data)>;

// Abort statuses of the engine's own making.
inline constexpr char kTransactionAbortSet[] = "set";
inline constexpr char kTransactionAbortMaxRetry[] = "maxretry";
inline constexpr char kTransactionAbortUpdateFailed[] = "update_failed";

struct Transaction {
  Path path;
  TransactionUpdate update;
  TransactionCompletion onComplete;
  TransactionStatus status = TransactionStatus::Initial;
  uint64_t order = 0;  // start order across the process; queues are sorted by it
  bool applyLocally = true;
  int32_t retryCount = 0;  // sends so far
  std::function<void()> unwatcher;
  std::optional<std::string> abortStatus;
  std::optional<std::string> abortReason;
  WriteId currentWriteId = -1;
  NodePtr currentInputSnapshot;
  NodePtr currentOutputSnapshotRaw;       // server-value placeholders kept
  NodePtr currentOutputSnapshotResolved;  // placeholders resolved

  void setAbortStatus(std::optional<std::string> status, std::optional<std::string> reason) {
    abortStatus = std::move(status);
    abortReason = std::move(reason);
  }
  // None when no abort status is set.
  ErrorPtr abortError() const;
  // Part of a put whose reply is outstanding.
  bool isSent() const {
    return status == TransactionStatus::Sent || status == TransactionStatus::SentAbortPending;
  }
};

using TransactionPtr = std::shared_ptr<Transaction>;

}  // namespace dz::database
